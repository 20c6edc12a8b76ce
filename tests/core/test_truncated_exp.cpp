// Truncated-exponential steps: what the Python classes cannot reach (the
// a_norm_bound check and its place in the check order, variable
// coefficients, the drift path, the node-sum guard) and the CFL tests on the
// small grid where the thresholds are exact decimals. Stepping against the
// operator's own exponential series, the orders and the threshold on
// arbitrary grids are tested through the Python classes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <ostream>
#include <vector>

#include "core/truncated_exp.hpp"
#include "core/truncated_exp4.hpp"
#include "core/truncated_exp4_compute.hpp"

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
double no_shift(double) { return 0.0; }

// Both steps behind one signature for the shared checks.
struct Twin {
    const char* name;
    Status (*step)(const GridFn<double>&, GridFn<double>&, ScratchPool<double>&, double, double);
};
template <class K>
Status run_step(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>& pool, double tau, double bound) {
    K k = K::unit(in.grid);
    k.a_norm_bound = bound;
    return k.apply_into(in, out, pool, tau);
}
const Twin kSecond{"second", run_step<TruncatedExpDiffusionChernoff>};
const Twin kFourth{"fourth", run_step<TruncatedExp4thDiffusionChernoff>};

struct CheckCase {
    const Twin* twin;
    double tau;
    double bound;
    std::optional<CoreError> expected;  // none: the step runs
};
void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << c.twin->name << " tau=" << c.tau << " bound=" << c.bound;
}

class TruncatedExpChecks : public ::testing::TestWithParam<CheckCase> {};

TEST_P(TruncatedExpChecks, TauThenBoundThenCfl) {
    const auto& c = GetParam();
    const GridFn<double> u = sampled(grid01(5), [](double x) { return x * x; });
    GridFn<double> out{u.grid, {}};
    ScratchPool<double> pool;
    Status st = c.twin->step(u, out, pool, c.tau, c.bound);
    if (!c.expected) {
        EXPECT_TRUE(st.has_value());
        EXPECT_EQ(pool.spare_count(), 4u) << "k1..k4 are handed back";
        return;
    }
    ASSERT_FALSE(st.has_value());
    EXPECT_EQ(st.error().debug(), c.expected->debug());
    EXPECT_EQ(pool.peak(), 0u) << "no buffer is taken before the checks pass";
    EXPECT_TRUE(out.values.empty()) << "a refused step writes nothing";
}

// On [0, 1] with n = 5, dx^2 = 0.0625: limits 0.03125 (2 tau < dx^2) and
// 0.0234375 (8 tau < 3 dx^2), equality failing; the bound scales them.
INSTANTIATE_TEST_SUITE_P(
    Order, TruncatedExpChecks,
    ::testing::Values(
        CheckCase{&kSecond, 0.0312, 1.0, std::nullopt},
        CheckCase{&kSecond, 0.03125, 1.0, CoreError::cfl_violated(0.03125, 0.0625, 1.0)},
        CheckCase{&kFourth, 0.0234, 1.0, std::nullopt},
        CheckCase{&kFourth, 0.0234375, 1.0, CoreError::cfl_violated(0.0234375, 0.0625, 1.0)},
        CheckCase{&kSecond, 0.0234375, 1.0, std::nullopt},
        CheckCase{&kSecond, 0.0078125, 4.0, CoreError::cfl_violated(0.0078125, 0.0625, 4.0)},
        CheckCase{&kFourth, 0.0058, 4.0, std::nullopt},
        CheckCase{&kSecond, 1.0, std::numeric_limits<double>::denorm_min(), std::nullopt},
        // tau first, even with a bad bound; then the bound, before the CFL test
        CheckCase{&kSecond, -1e-300, 0.0, CoreError::domain("tau must be finite and >= 0", -1e-300)},
        CheckCase{&kFourth, kNaN, kNaN, CoreError::domain("tau must be finite and >= 0", kNaN)},
        CheckCase{&kFourth, kInf, 1.0, CoreError::domain("tau must be finite and >= 0", kInf)},
        CheckCase{&kSecond, 1.0, 0.0, CoreError::domain("a_norm_bound must be finite and > 0", 0.0)},
        CheckCase{&kFourth, 1.0, -0.0, CoreError::domain("a_norm_bound must be finite and > 0", -0.0)},
        CheckCase{&kSecond, 1.0, kNaN, CoreError::domain("a_norm_bound must be finite and > 0", kNaN)},
        CheckCase{&kFourth, 1.0, kInf, CoreError::domain("a_norm_bound must be finite and > 0", kInf)}));

// The conservative stencil differentiates (a u')' exactly when a is linear
// and u quadratic (the half-point flux a u' is then quadratic); a coefficient
// taken anywhere but at the half-way points breaks this.
TEST(TruncatedExpStencil, ExactForLinearCoefficientAndQuadratic) {
    const Grid1D<double> g = grid01(11);
    const GridFn<double> u = sampled(g, [](double x) { return x * x; });
    std::vector<double> out(g.n);
    ASSERT_TRUE(truncated_exp_stencil(one_plus_x, g, u.values, out, g.n, g.dx()).has_value());
    for (std::size_t i = 1; i + 1 < g.n; ++i) EXPECT_NEAR(out[i], 2.0 + 4.0 * g.node(i), 1e-11) << i;
}

// With a = 1 the five-point stencil is exact up to degree 5; with a linear
// coefficient it weighs a at x +- h/2 and x +- 3h/2 as 15/12 and 1/12.
TEST(TruncatedExp4Stencil, UnitExactForQuinticAndCoefficientPlacement) {
    const Grid1D<double> g = grid01(13);
    const double h = g.dx();
    auto p = [](double x) { return ((x - 0.3) * x - 0.7) * x * x * x; };
    std::vector<double> v(g.n), out(g.n), lin(g.n);
    for (std::size_t i = 0; i < g.n; ++i) v[i] = p(g.node(i));
    ASSERT_TRUE(truncated_exp4_compute(coeff_one, g, v, out, g.n, h).has_value());
    for (std::size_t i = 0; i < g.n; ++i) lin[i] = g.node(i);
    std::vector<double> w(g.n);
    ASSERT_TRUE(truncated_exp4_compute(one_plus_x, g, lin, w, g.n, h).has_value());
    for (std::size_t i = 2; i + 2 < g.n; ++i) {
        const double x = g.node(i);
        EXPECT_NEAR(out[i], 20.0 * x * x * x - 3.6 * x * x - 4.2 * x, 1e-9) << i;
        // u = x: ((15/12)(a(x+h/2) - a(x-h/2)) - (1/12)(a(x+3h/2) - a(x-3h/2))) h / h^2 = (15/12 - 3/12) = 1
        EXPECT_NEAR(w[i], 1.0, 1e-11) << i;
    }
}

TEST(TruncatedExp, ZeroDriftEqualsNoDrift) {
    const Grid1D<double> g = grid01(9);
    const GridFn<double> u = sampled(g, [](double x) { return std::exp(-x) * std::sin(3.0 * x); });
    const double tau = 0.3 * g.dx() * g.dx();  // inside both limits
    GridFn<double> plain{g, {}}, shifted{g, {}};
    ScratchPool<double> pool;
    TruncatedExpDiffusionChernoff k2 = TruncatedExpDiffusionChernoff::unit(g);
    ASSERT_TRUE(k2.apply_into(u, plain, pool, tau).has_value());
    k2.drift = no_shift;
    ASSERT_TRUE(k2.apply_into(u, shifted, pool, tau).has_value());
    EXPECT_EQ(plain.values, shifted.values) << "p = x_i - (tau/2) 0 = x_i: the same evaluation";

    TruncatedExp4thDiffusionChernoff k4 = TruncatedExp4thDiffusionChernoff::unit(g);
    ASSERT_TRUE(k4.apply_into(u, plain, pool, tau).has_value());
    k4.drift = no_shift;
    ASSERT_TRUE(k4.apply_into(u, shifted, pool, tau).has_value());
    // The drift path interpolates at the node instead of summing node values.
    for (std::size_t i = 0; i < g.n; ++i) EXPECT_NEAR(plain.values[i], shifted.values[i], 1e-14) << i;
}

TEST(TruncatedExp4NodeSum, IndexBeyondAVectorIsAnInternalFault) {
    const std::vector<double> five(5, 1.0), four(4, 1.0);
    const std::array<std::span<const double>, 5> vs{five, five, five, four, five};
    EXPECT_DOUBLE_EQ(truncated_exp4_node_sum(vs, 3, 0.5), 1.0 + 0.5 + 0.125 + 0.125 / 6.0 + 0.0625 / 24.0);
    EXPECT_THROW(truncated_exp4_node_sum(vs, 4, 0.5), InternalFault);
}

}  // namespace
}  // namespace quorvane
