// The second-order diffusion node step ("heat2"): the coefficient check and
// the coordinate it reports, and the Zero policy's worked value. Orders in
// time, the divergence form with variable coefficients and the coefficient
// sources are measured through Heat1D.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/line/diffusion.hpp"

namespace quorvane {
namespace {

Grid1D<double> grid(double xmin, double xmax, std::size_t n, BoundaryTag b = BoundaryTag::Reflect) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::of(b), InterpKind::septic(), xmin, xmax, n);
}

TEST(Heat2, BadCoefficientReportsThePointWhereItWasRead) {
    const char* what = "a(x) must be finite and >= 0 (strict ellipticity required for sqrt)";
    const Grid1D<double> g = grid(-1.0, 1.0, 11);
    const GridFn<double> u{g, std::vector<double>(g.n, 1.0)};
    for (double a : {-1e-300, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()})
        EXPECT_EQ((DiffusionChernoff{CoeffSource::constant(a), g, 1.0}.apply_node(u, 3, 0.1).error()),
                  CoreError::domain(what, -1.0 + 0.2 * 3));  // the node coordinate xmin + dx*i
    // a'(x) = 1 moves the drift foot to x + tau/2, where a is not finite.
    const double x = g.node(6);
    const DiffusionChernoff k{
        CoeffSource::shared(make_coeff([x](double p) { return p == x ? 1.0 : std::numeric_limits<double>::quiet_NaN(); }),
                            constant_coeff(1.0), constant_coeff(0.0)),
        g, 1.0};
    EXPECT_EQ(k.apply_node(u, 6, 0.5).error(), CoreError::domain(what, x + 0.25));
}

TEST(Heat2, ZeroBoundaryContributesNothingBeyondTheEnds) {
    // At the end node of constant data with h1 = 0.2 and h3 = 0.35 (5 and 9
    // cells): the two outer points lie so far out that every tap reads 0, so
    // only w0 + w1 + w3 = 19/24 remains. Tolerance: rounding of the weights.
    const Grid1D<double> g = grid(0.0, 1.0, 41, BoundaryTag::Zero);
    const GridFn<double> u{g, std::vector<double>(g.n, 1.0)};
    const DiffusionChernoff k{CoeffSource::constant(1.0), g, 1.0};
    EXPECT_NEAR(*k.apply_node(u, 40, 0.01), 19.0 / 24.0, 1e-12);
    EXPECT_NEAR(*k.apply_node(u, 20, 0.01), 1.0, 1e-12);
}

}  // namespace
}  // namespace quorvane
