// The second-order diffusion node step ("heat2"): coefficient checks and
// their reported coordinate, degenerate steps, and temporal order 2 on a
// cosine mode.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "core/diffusion.hpp"
#include "core/state.hpp"

namespace quorvane {
namespace {

Grid1D<double> grid(double xmin, double xmax, std::size_t n, BoundaryTag b = BoundaryTag::Reflect) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::of(b), InterpKind::septic(), xmin, xmax, n);
}

GridFn<double> sampled(const Grid1D<double>& g, auto f) {
    GridFn<double> u{g, std::vector<double>(g.n)};
    for (std::size_t i = 0; i < g.n; ++i) u.values[i] = f(g.node(i));
    return u;
}

TEST(Heat2Constant, ZeroCoefficientReturnsTheSample) {
    const Grid1D<double> g = grid(0.0, 2.0, 21);
    const GridFn<double> u = sampled(g, [](double x) { return std::exp(x) * std::sin(5 * x); });
    for (double a : {0.0, -0.0}) {
        const DiffusionChernoff k{CoeffSource::constant(a), g, 0.0};
        for (std::size_t i : {0, 7, 20}) {
            const auto r = k.apply_node(u, i, 0.3);
            ASSERT_TRUE(r) << a;
            // Weights sum to 1 up to rounding of 7/12 + 2*3/16 + 2/48.
            EXPECT_NEAR(*r, u.values[i], 4e-16 * std::abs(u.values[i])) << i;
        }
    }
}

TEST(Heat2Constant, NegativeOrNonFiniteCoefficientReportsTheNode) {
    const Grid1D<double> g = grid(-1.0, 1.0, 11);
    const GridFn<double> u = sampled(g, [](double) { return 1.0; });
    for (double a : {-1e-300, -1.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        const DiffusionChernoff k{CoeffSource::constant(a), g, 1.0};
        const auto r = k.apply_node(u, 3, 0.1);
        ASSERT_FALSE(r) << a;
        EXPECT_STREQ(r.error().text(), "a(x) must be finite and >= 0 (strict ellipticity required for sqrt)");
        EXPECT_EQ(r.error().f0(), -1.0 + 0.2 * 3);  // node coordinate xmin + dx*i
    }
}

TEST(Heat2Variable, OutOfClassCoefficientReportsTheShiftedPoint) {
    const Grid1D<double> g = grid(0.0, 1.0, 11);
    const GridFn<double> u = sampled(g, [](double) { return 1.0; });
    const double x = 0.0 + 0.1 * 4;
    // a'(x) = 1 shifts the drift foot to x' = x + tau/2; a is fine at x only.
    const DiffusionChernoff k{
        CoeffSource::shared(make_coeff([x](double p) { return p == x ? 1.0 : std::numeric_limits<double>::quiet_NaN(); }),
                            constant_coeff(1.0), constant_coeff(0.0)),
        g, 1.0};
    const auto r = k.apply_node(u, 4, 0.5);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().f0(), x + 0.25);
    EXPECT_EQ(r.error().display(),
              "domain violation: a(x) must be finite and >= 0 (strict ellipticity required for sqrt) (value = 0.65)");
}

TEST(Heat2Variable, ZeroStepReturnsTheSample) {
    const Grid1D<double> g = grid(0.0, 1.0, 16);
    const GridFn<double> u = sampled(g, [](double x) { return std::cos(4 * x) + x; });
    const DiffusionChernoff k{
        CoeffSource::shared(make_coeff([](double x) { return 1.0 + x * x; }), make_coeff([](double x) { return 2 * x; }),
                            constant_coeff(2.0)),
        g, 2.0};
    for (std::size_t i = 0; i < 16; ++i) EXPECT_NEAR(*k.apply_node(u, i, 0.0), u.values[i], 1e-15 * 4) << i;
}

TEST(Heat2Variable, ZeroBoundaryContributesNothingBeyondTheEnds) {
    // At the end node of constant data with h1 = 0.2 and h3 = 0.35 (5 and 9
    // cells): the two outer points lie so far out that every tap reads 0, so
    // only w0 + w1 + w3 = 19/24 remains.
    const Grid1D<double> g = grid(0.0, 1.0, 41, BoundaryTag::Zero);
    const GridFn<double> u = sampled(g, [](double) { return 1.0; });
    const DiffusionChernoff k{CoeffSource::constant(1.0), g, 1.0};
    EXPECT_NEAR(*k.apply_node(u, 40, 0.01), 19.0 / 24.0, 1e-12);
    EXPECT_NEAR(*k.apply_node(u, 20, 0.01), 1.0, 1e-12);
}

// A cosine mode under reflecting ends: u = exp(-k^2 t) cos(k x) exactly.
// The five-point rule matches the Gaussian's moments of orders 2 and 4, so
// the error per step is O(tau^3) and after t/tau steps O(tau^2).
double cosine_mode_error(const CoeffSource& coef, std::size_t steps) {
    const double k = 3.0, t = 0.2;
    const Grid1D<double> g = grid(0.0, std::numbers::pi, 801);
    const GridFn<double> u0 = sampled(g, [&](double x) { return std::cos(k * x); });
    const auto sg = *ChernoffSemigroup<DiffusionChernoff>::make(DiffusionChernoff{coef, g, 1.0}, steps);
    const auto u = *sg.evolve(t, u0);
    double worst = 0.0;
    for (std::size_t i = 0; i < g.n; ++i)
        worst = std::max(worst, std::abs(u.values[i] - std::exp(-k * k * t) * std::cos(k * g.node(i))));
    return worst;
}

class Heat2Order : public ::testing::TestWithParam<int> {
protected:
    CoeffSource coef() const {
        switch (GetParam()) {
            case 0: return CoeffSource::constant(1.0);
            case 1: return CoeffSource::unit();
            default: return CoeffSource::shared(constant_coeff(1.0), constant_coeff(0.0), constant_coeff(0.0));
        }
    }
};

TEST_P(Heat2Order, TemporalOrderTwoOnCosineMode) {
    const double e8 = cosine_mode_error(coef(), 8);
    const double e16 = cosine_mode_error(coef(), 16);
    const double e32 = cosine_mode_error(coef(), 32);
    // Leading error k^6 t^3 / (30 N^2) e^{-k^2 t}: ~1e-3 at N = 8, far above
    // the spatial error of the septic interpolant on 801 nodes (~1e-12).
    EXPECT_GT(e32, 1e-6);
    EXPECT_NEAR(e8 / e16, 4.0, 0.4);
    EXPECT_NEAR(e16 / e32, 4.0, 0.2);
}

INSTANTIATE_TEST_SUITE_P(Sources, Heat2Order, ::testing::Values(0, 1, 2), [](const auto& info) {
    return std::string(info.param == 0 ? "Constant" : info.param == 1 ? "Plain" : "Shared");
});

TEST(Heat2Variable, SteadyStateOfDivergenceFormKeptToThirdOrderPerStep) {
    // With a = c (1 + x)^2 the function u = -1/(1 + x) has a u' = c, so it is
    // a steady state of u_t = (a u')' = a u'' + a' u' (the half drifts supply
    // the a' u' term). One step must leave it unchanged up to O(tau^3), the
    // local error of a second-order Chernoff function: the defect drops 8x per
    // halving. A wrong drift or correction leaves an O(tau) or O(tau^2) defect.
    const double c = 0.1;
    const Grid1D<double> g = grid(0.0, 2.0, 401, BoundaryTag::Linear);
    const GridFn<double> u = sampled(g, [](double x) { return -1.0 / (1.0 + x); });
    const DiffusionChernoff k{CoeffSource::shared(make_coeff([c](double x) { return c * (1 + x) * (1 + x); }),
                                                  make_coeff([c](double x) { return 2 * c * (1 + x); }),
                                                  constant_coeff(2 * c)),
                              g, 0.9};
    auto defect = [&](double tau) {
        double worst = 0.0;
        for (std::size_t i = 120; i <= 280; ++i)  // x in [0.6, 1.4]: all points stay inside
            worst = std::max(worst, std::abs(*k.apply_node(u, i, tau) - u.values[i]));
        return worst;
    };
    const double d8 = defect(8e-3), d4 = defect(4e-3), d2 = defect(2e-3);
    EXPECT_LT(d8, 1e-6);
    EXPECT_NEAR(d8 / d4, 8.0, 0.8);
    EXPECT_NEAR(d4 / d2, 8.0, 0.8);
}

TEST(Heat2Sources, UnitCoefficientSameStepWhateverTheSource) {
    // With a' = a'' = 0 the drift and the correction vanish: the three
    // sources give the same values up to the correction's rounding.
    const Grid1D<double> g = grid(0.0, 1.0, 30);
    const GridFn<double> u = sampled(g, [](double x) { return std::exp(-20 * (x - 0.4) * (x - 0.4)); });
    const DiffusionChernoff c{CoeffSource::constant(1.0), g, 1.0};
    const DiffusionChernoff p = DiffusionChernoff::unit(g);
    for (std::size_t i = 0; i < g.n; ++i) EXPECT_EQ(*c.apply_node(u, i, 1e-3), *p.apply_node(u, i, 1e-3)) << i;
}

}  // namespace
}  // namespace quorvane
