// The heat4 node step, its driver and the first zeta rung: moments of the
// quadrature on polynomials, the correction stencils, consistency with the
// divergence form, failures at a node, the rung's contract (tau check, pool
// use, output length). Equality with heat2, the temporal orders and the
// Richardson identity are checked through the classes in the Python suite.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/line/diffusion.hpp"
#include "core/line/diffusion4_zeta4.hpp"

namespace quorvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Grid1D<double> grid(double xmin, double xmax, std::size_t n, BoundaryTag tag = BoundaryTag::Reflect) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::of(tag), InterpKind::septic(), xmin, xmax, n);
}

GridFn<double> sampled(const Grid1D<double>& g, double (*f)(double)) {
    std::vector<double> v(g.n);
    for (std::size_t i = 0; i < g.n; ++i) v[i] = f(g.node(i));
    return GridFn<double>{g, v};
}

std::vector<double> noise(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<double> v(n);
    for (auto& x : v) x = d(rng);
    return v;
}

// The rule matches the Gaussian moments 2 a tau and 12 (a tau)^2: on x^4 the
// step is exact, x^4 + 12 a tau x^2 + 12 (a tau)^2. Interior nodes only, where
// degree-7 Hermite sampling reproduces the polynomial.
TEST(Heat4Node, ExactOnQuarticForConstantCoefficient) {
    const Grid1D<double> g = grid(-4.0, 4.0, 161);
    const GridFn<double> u = sampled(g, [](double x) { return x * x * x * x; });
    for (double c : {1.0, 0.3}) {
        Diffusion4thChernoff k = Diffusion4thChernoff::unit(g);
        if (c != 1.0) k.coef_override = CoeffSource::constant(c);
        const double tau = 0.01;
        for (std::size_t i = 60; i <= 100; i += 5) {
            const double x = g.node(i);
            auto v = k.apply_node(u, i, tau);
            ASSERT_TRUE(v);
            // Rounding of ~10-term sums of O(10) values.
            EXPECT_NEAR(*v, x * x * x * x + 12.0 * c * tau * x * x + 12.0 * c * c * tau * tau, 1e-12) << c << " " << x;
        }
    }
}

// Stencils on node multiples are exact for polynomials up to degree 6 (7-point:
// sixth-order D1, D2, fourth-order D3) and degree 8 (9-point).
TEST(CentralDerivatives, ExactOnPolynomialsUpToTheirDegree) {
    const Grid1D<double> g = grid(-3.0, 3.0, 61, BoundaryTag::Linear);
    const GridFn<double> p6 = sampled(g, [](double x) { return std::pow(x, 6) - 2.0 * std::pow(x, 5) + x; });
    const GridFn<double> p8 = sampled(g, [](double x) { return std::pow(x, 8) + 3.0 * std::pow(x, 7); });
    const double y = g.node(33), h = 2.0 * g.dx();  // off the origin, so odd terms show
    using std::pow;
    const double d6[3] = {6 * pow(y, 5) - 10 * pow(y, 4) + 1, 30 * pow(y, 4) - 40 * pow(y, 3),
                          120 * pow(y, 3) - 120 * y * y};
    const double d8[3] = {8 * pow(y, 7) + 21 * pow(y, 6), 56 * pow(y, 6) + 126 * pow(y, 5),
                          336 * pow(y, 5) + 630 * pow(y, 4)};
    const std::array<double, 7>* c7[3] = {&kCentral7D1, &kCentral7D2, &kCentral7D3};
    const std::array<double, 9>* c9[3] = {&kCentral9D1, &kCentral9D2, &kCentral9D3};
    for (int k = 1; k <= 3; ++k) {
        auto a = central_derivative_7pt(p6, y, h, k, *c7[k - 1]);
        auto b = central_derivative_9pt(p8, y, h, k, *c9[k - 1]);
        ASSERT_TRUE(a && b);
        EXPECT_NEAR(*a, d6[k - 1], 1e-10) << k;  // rounding of O(1) samples divided by h^3 = 8e-3
        EXPECT_NEAR(*b, d8[k - 1], 1e-10) << k;
    }
}

// A negative coefficient is refused at the node that reads it. A NaN a''
// where a' = 0 does not count as locally constant: the correction runs and
// carries the NaN, which the evolvers then refuse as a result.
TEST(Heat4Node, BadCoefficientsAtANode) {
    const Grid1D<double> g = grid(0.0, 1.0, 11);
    const GridFn<double> u{g, std::vector<double>(11, 1.0)};
    Diffusion4thChernoff negative = Diffusion4thChernoff::unit(g);
    negative.coef_override = CoeffSource::constant(-1.0);
    auto v = negative.apply_node(u, 3, 0.01);
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error(), CoreError::domain(kEllipticityMessage, g.node(3)));
    Diffusion4thChernoff nan_second = Diffusion4thChernoff::unit(g);
    nan_second.a_double_prime = [](double) { return kNaN; };
    auto w = nan_second.apply_node(u, 5, 0.01);
    ASSERT_TRUE(w);
    EXPECT_TRUE(std::isnan(*w));
}

// The driver samples through a copy on the kernel's grid with the requested
// sampling; the kernel's own grid policy applies, not the input's.
TEST(Heat4Driver, OctonicSwitchSamplesThroughDegreeNineCopy) {
    const Grid1D<double> g = grid(0.0, 1.0, 21);
    Diffusion4thChernoff k = Diffusion4thChernoff::unit(g);
    k.use_octonic = true;
    k.use_chebyshev = true;  // octonic wins
    GridFn<double> u{grid(0.0, 1.0, 21, BoundaryTag::Zero), noise(21, 3)};
    ScratchPool<double> pool;
    GridFn<double> out{g, {}};
    ASSERT_TRUE(k.apply_into(u, out, pool, 2e-3));
    GridFn<double> copy{g, u.values};
    copy.grid.interp_kind = InterpKind::of(InterpTag::OctonicHermite);
    for (std::size_t i = 0; i < 21; ++i) EXPECT_EQ(out.values[i], *k.apply_node(copy, i, 2e-3)) << i;
}

// For a variable coefficient the step is consistent with the divergence form
// L u = (a u')' = a u'' + a' u' to second order: on u = x^3 with
// a = 1 + 0.1 x^2, L maps span{x, x^3} into itself (L x = 0.2 x,
// L x^3 = 6 x + 1.2 x^3), so e^{tau L} x^3 is known in closed form and one
// step must miss it by O(tau^3). The non-divergence form a u'' would miss by
// O(tau), a wrong correction by O(tau^2).
TEST(Heat4Node, VariableCoefficientIsSecondOrderInDivergenceForm) {
    const Grid1D<double> g = grid(-2.0, 2.0, 401, BoundaryTag::Linear);
    const GridFn<double> u = sampled(g, [](double x) { return x * x * x; });
    Diffusion4thChernoff k = Diffusion4thChernoff::unit(g);
    k.a = [](double x) { return 1.0 + 0.1 * x * x; };
    k.a_prime = [](double x) { return 0.2 * x; };
    k.a_double_prime = [](double) { return 0.2; };
    const std::size_t i = 250;
    const double x = g.node(i);
    double prev = 0.0;
    for (double tau : {2e-2, 1e-2, 5e-3}) {
        const double exact = std::exp(1.2 * tau) * x * x * x + 6.0 * (std::exp(1.2 * tau) - std::exp(0.2 * tau)) * x;
        const double e = std::fabs(*k.apply_node(u, i, tau) - exact);
        if (prev > 0.0) {
            EXPECT_NEAR(std::log2(prev / e), 3.0, 0.05) << tau;  // measured within 0.01
        }
        prev = e;
    }
}

// A bad tau is refused before the output or the pool is touched. tau = -0.0
// gives (4u - u)/3, a longer output is cut to n, an empty input gives an
// empty output, and the rung's three buffers end in the pool.
TEST(Zeta4Step, TauCheckOutputLengthAndPool) {
    const Grid1D<double> g = grid(0.0, 1.0, 9);
    const auto z = Diffusion4thZeta4Chernoff::over(Diffusion4thChernoff::unit(g));
    const GridFn<double> u{g, noise(9, 1)};
    ScratchPool<double> pool;
    for (double tau : {-1e-300, -1.0, kNaN, kInf}) {
        GridFn<double> out{g, {1.0, 2.0}};
        auto st = z.apply_into(u, out, pool, tau);
        ASSERT_FALSE(st);
        EXPECT_EQ(st.error().text(), std::string("tau must be finite and >= 0"));
        EXPECT_TRUE(std::isnan(tau) ? std::isnan(st.error().f0()) : st.error().f0() == tau);
        EXPECT_EQ(out.values, (std::vector<double>{1.0, 2.0}));
    }
    EXPECT_EQ(pool.spare_count(), 0u);
    GridFn<double> out{g, std::vector<double>(30, 9.0)};
    ASSERT_TRUE(z.apply_into(u, out, pool, -0.0));
    ASSERT_EQ(out.values.size(), 9u);
    for (std::size_t i = 0; i < 9; ++i) EXPECT_NEAR(out.values[i], u.values[i], 4e-16);  // one rounding of (4u-u)/3
    EXPECT_EQ(pool.spare_count(), 3u);
    ASSERT_TRUE(z.apply_into(GridFn<double>{g, {}}, out, pool, 0.1));
    EXPECT_TRUE(out.values.empty());
    EXPECT_EQ(pool.spare_count(), 3u);
}

}  // namespace
}  // namespace quorvane
