// Exponential action of the zero-flux diffusion operator: the (m, s) choice
// and its refusals, the operator with a variable coefficient and the checks
// that the Python class cannot reach. The step against scipy's expm, the
// exact cap threshold and conservation are tested through the Python class.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include "core/line/diffusion_expmv.hpp"

namespace quorvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Grid1D<double> grid01(std::size_t n) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0.0, 1.0, n);
}

TEST(ExpmvPlan, CheapestPairEarlierOnTies) {
    // x = 1: theta_18 = 1.091 in one piece (cost 18; m = 14 would need 2,
    // cost 28). x = 10: m = 30, s = 3 (90) beats m = 25, s = 5 (125). Tiny x:
    // the first row whose theta covers it.
    const std::tuple<double, std::uint32_t, std::uint64_t> table[] = {
        {1.0, 18, 1}, {10.0, 30, 3}, {0.5, 14, 1}, {1e-17, 1, 1}, {2e-8, 2, 1}, {1.438, 20, 1}, {1e3, 30, 283}};
    for (auto [x, m, s] : table) {
        const auto p = *expmv_plan(x, 1.0);
        EXPECT_EQ(std::pair(p.m, p.s), std::pair(m, s)) << x;
    }
}

// Beyond the application cap, where s would be clipped to 2^32 - 1 (from
// about 4e9) and where no pair covers x (beyond 3.54e14), the plan is
// refused; so are an infinite x (a bound 4/dx^2 that overflowed) and NaN.
TEST(ExpmvPlan, ClippedUncoveredAndNonFiniteRangesAreRefused) {
    for (double x : {1.2e6, 1e12, 3.6e14, std::numeric_limits<double>::infinity()}) {
        ASSERT_FALSE(expmv_plan(x, 2.0).has_value()) << x;
        EXPECT_EQ(expmv_plan(x, 2.0).error(), CoreError::domain(kExpmvTooLargeMessage, 2.0)) << x;
    }
    EXPECT_FALSE(expmv_plan(kNaN, 2.0).has_value());
}

// (a u')' with a = 1 + x and u = x^2 is 2 + 4x; midpoint coefficients make
// the interior rows exact, and the end rows keep only the inner flux.
TEST(DiffusionExpmv, OperatorTakesTheCoefficientAtMidpoints) {
    const Grid1D<double> g = grid01(11);
    DiffusionExpmvChernoff kern = DiffusionExpmvChernoff::unit(g);
    kern.coef = CoeffSource::shared(make_coeff([](double x) { return 1.0 + x; }), constant_coeff(1.0),
                                    constant_coeff(0.0));
    std::vector<double> b(g.n), w(g.n);
    for (std::size_t i = 0; i < g.n; ++i) b[i] = g.node(i) * g.node(i);
    kern.apply_operator(b, w);
    // Exact up to rounding divided by dx^2 = 0.01.
    for (std::size_t i = 1; i + 1 < g.n; ++i) EXPECT_NEAR(w[i], 2.0 + 4.0 * g.node(i), 1e-11) << i;
    EXPECT_NEAR(w[0], 1.05 * (b[1] - b[0]) / 0.01, 1e-11);
    EXPECT_NEAR(w[10], -1.95 * (b[10] - b[9]) / 0.01, 1e-11);
    // A step keeps the sum (zero column sums) with the variable coefficient too.
    GridFn<double> out{g, {}};
    ScratchPool<double> pool;
    ASSERT_TRUE(kern.apply_into(GridFn<double>{g, b}, out, pool, 0.05).has_value());
    double before = 0.0, after = 0.0;
    for (std::size_t i = 0; i < g.n; ++i) before += b[i], after += out.values[i];
    EXPECT_NEAR(after, before, 1e-13);  // rounding of sums of O(1) values
    EXPECT_EQ(pool.spare_count(), 3u) << "F, b and w are handed back";
}

TEST(DiffusionExpmv, ChecksInOrderAndTheZeroStep) {
    const Grid1D<double> g = grid01(6);
    const DiffusionExpmvChernoff kern = DiffusionExpmvChernoff::unit(g);
    ScratchPool<double> pool;
    GridFn<double> out{g, {9.0}};
    // tau before the length (NaN compares unequal: compare the debug forms)
    EXPECT_EQ(kern.apply_into(GridFn<double>{g, {1.0, 2.0}}, out, pool, kNaN).error().debug(),
              CoreError::domain("tau must be finite and >= 0", kNaN).debug());
    EXPECT_EQ(kern.apply_into(GridFn<double>{g, {1.0, 2.0}}, out, pool, 0.1).error(),
              CoreError::domain("expmv requires >= 3 grid points", 2.0));
    EXPECT_EQ(out.values, std::vector<double>{9.0}) << "a failed check writes nothing";
    EXPECT_TRUE(kern.apply_into(GridFn<double>{g, {1.0, 2.0, 4.0}}, out, pool, 0.01).has_value());
    // tau = +-0 copies without taking a buffer, even data whose series would overflow
    const std::vector<double> huge{1e308, -1e308, 1e308, -1e308, 1e308, -1e308};
    ScratchPool<double> fresh;
    for (double z : {0.0, -0.0}) {
        ASSERT_TRUE(kern.apply_into(GridFn<double>{g, huge}, out, fresh, z).has_value());
        EXPECT_EQ(out.values, huge);
    }
    EXPECT_EQ(fresh.peak(), 0u);
}

}  // namespace
}  // namespace quorvane
