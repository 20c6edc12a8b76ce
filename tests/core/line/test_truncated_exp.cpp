// Truncated-exponential steps: what the unit-coefficient Python classes
// cannot reach (the a_norm_bound check and its place in the check order, the
// CFL limit scaled by the bound, variable coefficients, the node-sum guard).
// Steps against the operator's exponential series, the orders and the unit
// CFL thresholds are tested through the Python classes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/line/truncated_exp.hpp"
#include "core/line/truncated_exp4.hpp"
#include "core/line/truncated_exp4_compute.hpp"

namespace quorvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Grid1D<double> grid01(std::size_t n) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0.0, 1.0, n);
}

GridFn<double> sampled(const Grid1D<double>& g, double (*f)(double)) {
    std::vector<double> v(g.n);
    for (std::size_t i = 0; i < g.n; ++i) v[i] = f(g.node(i));
    return GridFn<double>{g, v};
}

double one_plus_x(double x) { return 1.0 + x; }

template <class K>
Status step(double tau, double bound, ScratchPool<double>& pool) {
    const GridFn<double> u = sampled(grid01(5), [](double x) { return x * x; });
    K k = K::unit(u.grid);
    k.a_norm_bound = bound;
    GridFn<double> out{u.grid, {}};
    return k.apply_into(u, out, pool, tau);
}
using Second = TruncatedExpDiffusionChernoff;
using Fourth = TruncatedExp4thDiffusionChernoff;

TEST(TruncatedExpChecks, TauThenBoundThenTheCflLimitScaledByTheBound) {
    ScratchPool<double> pool;
    auto debug = [](const Status& st) { return st.error().debug(); };  // NaN values compare by text
    const char* tau_what = "tau must be finite and >= 0";
    EXPECT_EQ(debug(step<Second>(kNaN, kNaN, pool)), CoreError::domain(tau_what, kNaN).debug());
    EXPECT_EQ(step<Fourth>(-1e-300, 0.0, pool).error(), CoreError::domain(tau_what, -1e-300));
    for (double bound : {0.0, -0.0, kNaN, kInf}) {
        const std::string want = CoreError::domain("a_norm_bound must be finite and > 0", bound).debug();
        EXPECT_EQ(debug(step<Second>(1.0, bound, pool)), want);
        EXPECT_EQ(debug(step<Fourth>(1.0, bound, pool)), want);
    }
    // dx^2 = 0.0625 on 5 nodes: 2 tau ||a|| < dx^2 and 8 tau ||a|| < 3 dx^2, equality failing.
    EXPECT_EQ(step<Second>(0.0078125, 4.0, pool).error(), CoreError::cfl_violated(0.0078125, 0.0625, 4.0));
    // The fourth-order gate shows 3 dx^2 / 4 as dx^2: the condition the text states is its own.
    EXPECT_EQ(step<Fourth>(0.005859375, 4.0, pool).error(), CoreError::cfl_violated(0.005859375, 0.046875, 4.0));
    EXPECT_EQ(pool.peak(), 0u) << "no buffer is taken before the checks pass";
    EXPECT_TRUE(step<Fourth>(0.0058, 4.0, pool));
    EXPECT_TRUE(step<Second>(1.0, std::numeric_limits<double>::denorm_min(), pool));
    EXPECT_EQ(pool.spare_count(), 4u) << "k1..k4 are handed back";
}

// The conservative stencil differentiates (a u')' exactly when a is linear
// and u quadratic (the half-point flux a u' is then quadratic); a coefficient
// taken anywhere but at the half-way points breaks this.
TEST(TruncatedExpStencil, ExactForLinearCoefficientAndQuadratic) {
    const Grid1D<double> g = grid01(11);
    const GridFn<double> u = sampled(g, [](double x) { return x * x; });
    std::vector<double> out(g.n);
    ASSERT_TRUE(truncated_exp_stencil(one_plus_x, g, u.values, out, g.n, g.dx()).has_value());
    // Exact up to rounding divided by dx^2 = 0.01.
    // On the series' grid: L u in units of series_unit(dx)^2.
    const double unit2 = series_unit(g.dx()) * series_unit(g.dx());
    for (std::size_t i = 1; i + 1 < g.n; ++i) EXPECT_NEAR(out[i] / unit2, 2.0 + 4.0 * g.node(i), 1e-11) << i;
}

// With a = 1 the five-point stencil is exact up to degree 5; with a linear
// coefficient it weighs a at x +- h/2 and x +- 3h/2 as 15/12 and 1/12.
TEST(TruncatedExp4Stencil, UnitExactForQuinticAndCoefficientPlacement) {
    const Grid1D<double> g = grid01(13);
    const double h = g.dx();
    const double unit2 = series_unit(h) * series_unit(h);  // the stencils work on the series' grid
    auto p = [](double x) { return ((x - 0.3) * x - 0.7) * x * x * x; };
    std::vector<double> v(g.n), out(g.n), lin(g.n);
    for (std::size_t i = 0; i < g.n; ++i) v[i] = p(g.node(i));
    ASSERT_TRUE(truncated_exp4_compute(coeff_one, g, v, out, g.n, h).has_value());
    for (std::size_t i = 0; i < g.n; ++i) lin[i] = g.node(i);
    std::vector<double> w(g.n);
    ASSERT_TRUE(truncated_exp4_compute(one_plus_x, g, lin, w, g.n, h).has_value());
    for (std::size_t i = 2; i + 2 < g.n; ++i) {  // exact up to rounding divided by h^2 ~ 0.007
        const double x = g.node(i);
        EXPECT_NEAR(out[i] / unit2, 20.0 * x * x * x - 3.6 * x * x - 4.2 * x, 1e-9) << i;
        // u = x: ((15/12)(a(x+h/2) - a(x-h/2)) - (1/12)(a(x+3h/2) - a(x-3h/2))) / h = 15/12 - 3/12 = 1
        EXPECT_NEAR(w[i] / unit2, 1.0, 1e-11) << i;
    }
}

TEST(TruncatedExp4NodeSum, IndexBeyondAVectorIsAnInternalFault) {
    const std::vector<double> five(5, 1.0), four(4, 1.0);
    const std::array<std::span<const double>, 5> vs{five, five, five, four, five};
    EXPECT_DOUBLE_EQ(truncated_exp4_node_sum(vs, 3, 0.5), 1.0 + 0.5 + 0.125 + 0.125 / 6.0 + 0.0625 / 24.0);
    EXPECT_THROW(truncated_exp4_node_sum(vs, 4, 0.5), InternalFault);
}

}  // namespace
}  // namespace quorvane
