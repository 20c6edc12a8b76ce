// Strang splitting: the palindromic composition reduces to two heat half
// steps without drift, is second order against the exact advected Gaussian,
// and stops at the first failing part.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/strang.hpp"

namespace quorvane {
namespace {

Grid1D<double> grid_of(double xmin, double xmax, std::size_t n, BoundaryTag tag = BoundaryTag::Reflect) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::of(tag), InterpKind::septic(), xmin, xmax, n);
}

std::vector<double> sample(const Grid1D<double>& g, auto f) {
    std::vector<double> v(g.n);
    for (std::size_t i = 0; i < g.n; ++i) v[i] = f(g.node(i));
    return v;
}

// Exact solution of u_t = u_xx + b u_x from exp(-x^2/2): the heat-spread
// Gaussian evaluated at x + b t.
double advected_gauss(double x, double t, double b) {
    const double xs = x + b * t;
    const double v = 1.0 + 2.0 * t;
    return std::exp(-xs * xs / (2.0 * v)) / std::sqrt(v);
}

double max_err(const std::vector<double>& got, const Grid1D<double>& g, double t, double b) {
    double m = 0.0;
    for (std::size_t i = 0; i < g.n; ++i) m = std::max(m, std::fabs(got[i] - advected_gauss(g.node(i), t, b)));
    return m;
}

TEST(StrangSplit, WithoutDriftItIsTwoHeatHalfSteps) {
    const auto g = grid_of(-6.0, 6.0, 121);
    const StrangDiffusionDrift split{DiffusionChernoff::unit(g), DriftReactionChernoff::constant(g, 0.0, 0.0, 0.0)};
    const GridFn<double> u{g, sample(g, [](double x) { return advected_gauss(x, 0.0, 0.0); })};
    ScratchPool<double> pool;
    GridFn<double> got{g, {}};
    ASSERT_TRUE(split.apply_into(u, got, pool, 0.3));
    // A zero drift samples at the nodes themselves: the middle step is the
    // identity up to the rounding of the node positions (a few ulps).
    GridFn<double> mid{g, {}}, want{g, {}};
    ASSERT_TRUE(par_apply_pointwise(mid, split.diffusion, u, 0.15));
    ASSERT_TRUE(par_apply_pointwise(want, split.diffusion, mid, 0.15));
    for (std::size_t i = 0; i < g.n; ++i) EXPECT_NEAR(got.values[i], want.values[i], 1e-15) << i;
    EXPECT_EQ(pool.spare_count(), 2u);  // both intermediates returned
}

TEST(StrangSplit, SecondOrderAgainstTheAdvectedGaussian) {
    const auto g = grid_of(-20.0, 20.0, 801);
    const double b = 0.5, t = 1.0;
    auto [sg, u0] = *build_strang_state(g.n, sample(g, [](double x) { return advected_gauss(x, 0.0, 0.0); }),
                                        g.boundary, g.xmin, g.xmax, b);
    std::vector<double> errs;
    for (std::size_t steps : {4, 8, 16, 32}) {
        sg.n = steps;
        errs.push_back(max_err(sg.evolve(t, u0)->values, g, t, b));
    }
    for (std::size_t k = 1; k < errs.size(); ++k) {
        const double order = std::log2(errs[k - 1] / errs[k]);
        // Local error O(tau^3) from the heat rule; the split parts commute for
        // constant b, so nothing spoils the second order.
        EXPECT_NEAR(order, 2.0, 0.15) << "steps " << (4u << k);
    }
}

TEST(StrangSplit, FirstFailingPartEndsTheStepAndLeavesTheGrid) {
    const auto g = grid_of(-1.0, 1.0, 21);
    const auto other = grid_of(0.0, 5.0, 21, BoundaryTag::Zero);
    const StrangDiffusionDrift split{DiffusionChernoff::unit(g),
                                     DriftReactionChernoff::constant(g, std::nan(""), 0.0, 0.0)};
    const GridFn<double> u{g, std::vector<double>(21, 1.0)};
    ScratchPool<double> pool;
    GridFn<double> dst{other, std::vector<double>(21, 7.0)};
    auto st = split.apply_into(u, dst, pool, 0.01);
    ASSERT_FALSE(st);
    // A NaN drift gives a NaN foot, which the interpolation refuses.
    EXPECT_TRUE(std::isnan(st.error().f0()));
    EXPECT_EQ(dst.values, std::vector<double>(21, 7.0));  // the last half step never ran
    EXPECT_EQ(dst.grid.xmax, 5.0);

    auto neg = split.apply_into(u, dst, pool, -1.0);
    ASSERT_FALSE(neg);
    EXPECT_STREQ(neg.error().text(), "tau must be finite and >= 0");
    EXPECT_EQ(neg.error().f0(), -0.5);  // the half step is checked first
}

TEST(StrangState, ChecksInOrder) {
    const std::vector<double> nan4{1.0, std::nan(""), 1.0, 1.0};
    const BoundaryPolicy<double> r = BoundaryPolicy<double>::reflect();
    // u0 finiteness comes before the grid checks, even with xmin >= xmax.
    EXPECT_STREQ(build_strang_state(4, nan4, r, 1.0, 0.0, 0.5).error().text(), "u0 contains NaN or Inf");
    EXPECT_STREQ(build_strang_state(3, std::vector<double>(3, 0.0), r, 0.0, 1.0, 0.5).error().text(),
                 "n must be >= 4 (septic Hermite stencil)");
    EXPECT_STREQ(build_strang_state(4, std::vector<double>(5, 0.0), r, 0.0, 1.0, 0.5).error().text(),
                 "values.len() must equal grid.n");
    auto ok = build_strang_state(4, std::vector<double>(4, 0.0), r, 0.0, 1.0, -2.0);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->first.n, 100u);
    EXPECT_EQ(ok->first.kernel.drift.c_norm_bound, 2.0);
}

}  // namespace
}  // namespace quorvane
