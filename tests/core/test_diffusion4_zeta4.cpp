// The heat4 node step, its driver, the first zeta rung and the heat4 state
// builder: moments of the quadrature on polynomials, the correction stencils,
// equality with heat2 for unit diffusion, the temporal order, the rung's
// contract (tau check, pool use, output length).
#include <gtest/gtest.h>

#include <cmath>
#include <array>
#include <limits>
#include <random>
#include <vector>

#include "core/diffusion.hpp"
#include "core/diffusion4_zeta4.hpp"

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

// With a = 1 the step is the five-point rule of heat2 in the same order of
// operations, so both kernels agree bit for bit under every policy.
class Heat4UnitIsHeat2 : public ::testing::TestWithParam<BoundaryTag> {};

TEST_P(Heat4UnitIsHeat2, BitIdentical) {
    const Grid1D<double> g = grid(-1.0, 2.0, 37, GetParam());
    const GridFn<double> u{g, noise(g.n, 7)};
    const Diffusion4thChernoff k4 = Diffusion4thChernoff::unit(g);
    const DiffusionChernoff k2 = DiffusionChernoff::unit(g);
    ScratchPool<double> pool;
    for (double tau : {0.0, 1e-5, 3e-3, 0.2}) {
        GridFn<double> a{g, {}}, b{g, {}};
        ASSERT_TRUE(k4.apply_into(u, a, pool, tau));
        ASSERT_TRUE(k2.apply_into(u, b, pool, tau));
        for (std::size_t i = 0; i < g.n; ++i) EXPECT_EQ(a.values[i], b.values[i]) << tau << " " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Policies, Heat4UnitIsHeat2,
                         ::testing::Values(BoundaryTag::Reflect, BoundaryTag::Zero, BoundaryTag::Periodic,
                                           BoundaryTag::Linear));

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
            const double want = x * x * x * x + 12.0 * c * tau * x * x + 12.0 * c * c * tau * tau;
            auto v = k.apply_node(u, i, tau);
            ASSERT_TRUE(v);
            EXPECT_NEAR(*v, want, 1e-12) << "c=" << c << " x=" << x;  // rounding of ~10-term sums of O(10) values
        }
    }
}

// Stencils on node multiples are exact for polynomials up to degree 6 (7-point:
// sixth-order D1, D2, fourth-order D3) and degree 8 (9-point).
TEST(CentralDerivatives, ExactOnPolynomialsUpToTheirDegree) {
    const Grid1D<double> g = grid(-3.0, 3.0, 61, BoundaryTag::Linear);
    const GridFn<double> p6 = sampled(g, [](double x) { return std::pow(x, 6) - 2.0 * std::pow(x, 5) + x; });
    const GridFn<double> p8 = sampled(g, [](double x) { return std::pow(x, 8) + 3.0 * std::pow(x, 7); });
    const double xs = g.node(33);  // off the origin, so odd terms show
    const double h = 2.0 * g.dx();
    auto d6 = [](double y, int k) {
        switch (k) {
            case 1: return 6.0 * std::pow(y, 5) - 10.0 * std::pow(y, 4) + 1.0;
            case 2: return 30.0 * std::pow(y, 4) - 40.0 * std::pow(y, 3);
            default: return 120.0 * std::pow(y, 3) - 120.0 * y * y;
        }
    };
    auto d8 = [](double y, int k) {
        switch (k) {
            case 1: return 8.0 * std::pow(y, 7) + 21.0 * std::pow(y, 6);
            case 2: return 56.0 * std::pow(y, 6) + 126.0 * std::pow(y, 5);
            default: return 336.0 * std::pow(y, 5) + 630.0 * std::pow(y, 4);
        }
    };
    const std::array<double, 7>* c7[3] = {&kCentral7D1, &kCentral7D2, &kCentral7D3};
    const std::array<double, 9>* c9[3] = {&kCentral9D1, &kCentral9D2, &kCentral9D3};
    for (int k = 1; k <= 3; ++k) {
        auto a = central_derivative_7pt(p6, xs, h, k, *c7[k - 1]);
        auto b = central_derivative_9pt(p8, xs, h, k, *c9[k - 1]);
        ASSERT_TRUE(a && b);
        // Rounding of O(1) samples divided by h^3 = 8e-3.
        EXPECT_NEAR(*a, d6(xs, k), 1e-10) << k;
        EXPECT_NEAR(*b, d8(xs, k), 1e-10) << k;
    }
}

TEST(Heat4Node, NegativeConstantReportsTheNode) {
    const Grid1D<double> g = grid(0.0, 1.0, 11);
    Diffusion4thChernoff k = Diffusion4thChernoff::unit(g);
    k.coef_override = CoeffSource::constant(-1.0);
    const GridFn<double> u{g, std::vector<double>(11, 1.0)};
    auto v = k.apply_node(u, 3, 0.01);
    ASSERT_FALSE(v);
    EXPECT_EQ(v.error(), CoreError::domain(kEllipticityMessage, g.node(3)));
}

// a'' NaN where a' = 0 does not count as locally constant: the correction runs
// and carries the NaN, which the evolvers then refuse as a result.
TEST(Heat4Node, NanSecondDerivativeRunsTheCorrection) {
    const Grid1D<double> g = grid(0.0, 1.0, 11);
    Diffusion4thChernoff k = Diffusion4thChernoff::unit(g);
    k.a_double_prime = [](double) { return std::numeric_limits<double>::quiet_NaN(); };
    const GridFn<double> u{g, std::vector<double>(11, 1.0)};
    auto v = k.apply_node(u, 5, 0.01);
    ASSERT_TRUE(v);
    EXPECT_TRUE(std::isnan(*v));
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

// Unit heat4 is second order in time: its symbol differs from e^z by
// -z^3/30. Cosine mode under "reflect" (an exact eigenvector of the step),
// error against e^{-k^2 t} cos(kx) as the step count doubles.
TEST(Heat4Order, UnitDiffusionIsSecondOrderInTime) {
    const Grid1D<double> g = grid(0.0, 1.0, 41);
    const double k = M_PI, t = 0.05;
    const Diffusion4thChernoff kern = Diffusion4thChernoff::unit(g);
    double prev = 0.0;
    for (std::size_t steps : {4, 8, 16, 32}) {
        GridFn<double> u = sampled(g, [](double x) { return std::cos(M_PI * x); });
        ScratchPool<double> pool;
        auto r = run_steps(kern, u, steps, t / static_cast<double>(steps), pool);
        ASSERT_TRUE(r);
        double e = 0.0;
        for (std::size_t i = 0; i < g.n; ++i)
            e = std::max(e, std::fabs(r->values[i] - std::exp(-k * k * t) * std::cos(k * g.node(i))));
        if (prev > 0.0) {
            EXPECT_NEAR(std::log2(prev / e), 2.0, 0.1) << steps;  // spatial error 1e3 times smaller
        }
        prev = e;
    }
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
            EXPECT_NEAR(std::log2(prev / e), 3.0, 0.05) << tau;
        }
        prev = e;
    }
}

// --- first rung ------------------------------------------------------------

TEST(Zeta4Step, RejectsBadTauBeforeTouchingAnything) {
    const Grid1D<double> g = grid(0.0, 1.0, 9);
    const auto z = Diffusion4thZeta4Chernoff::over(Diffusion4thChernoff::unit(g));
    const GridFn<double> u{g, noise(9, 1)};
    for (double tau : {-1e-300, -1.0, kNaN, kInf, -kInf}) {
        ScratchPool<double> pool;
        GridFn<double> out{g, {1.0, 2.0}};
        auto st = z.apply_into(u, out, pool, tau);
        ASSERT_FALSE(st);
        EXPECT_EQ(st.error().text(), std::string("tau must be finite and >= 0"));
        EXPECT_TRUE(std::isnan(tau) ? std::isnan(st.error().f0()) : st.error().f0() == tau);
        EXPECT_EQ(out.values, (std::vector<double>{1.0, 2.0}));
        EXPECT_EQ(pool.spare_count(), 0u);
    }
    ScratchPool<double> pool;
    GridFn<double> out{g, {}};
    EXPECT_TRUE(z.apply_into(u, out, pool, -0.0));
}

// tau = 0: (4u - u)/3 to rounding, and the three buffers end in the pool.
TEST(Zeta4Step, ZeroStepIsTheIdentityToRounding) {
    const Grid1D<double> g = grid(0.0, 1.0, 17);
    const auto z = Diffusion4thZeta4Chernoff::over(Diffusion4thChernoff::unit(g));
    const GridFn<double> u{g, noise(17, 2)};
    ScratchPool<double> pool;
    GridFn<double> out{g, std::vector<double>(30, 9.0)};  // longer output is cut to n
    ASSERT_TRUE(z.apply_into(u, out, pool, 0.0));
    ASSERT_EQ(out.values.size(), 17u);
    for (std::size_t i = 0; i < 17; ++i) EXPECT_NEAR(out.values[i], u.values[i], 4e-16);  // one rounding of (4u-u)/3
    EXPECT_EQ(pool.spare_count(), 3u);
}

TEST(Zeta4Step, EmptyInputGivesEmptyOutput) {
    const Grid1D<double> g = grid(0.0, 1.0, 5);
    const auto z = Diffusion4thZeta4Chernoff::over(Diffusion4thChernoff::unit(g));
    ScratchPool<double> pool;
    GridFn<double> out{g, {1.0}};
    ASSERT_TRUE(z.apply_into(GridFn<double>{g, {}}, out, pool, 0.1));
    EXPECT_TRUE(out.values.empty());
    EXPECT_EQ(pool.spare_count(), 3u);
}

// The rung is the stated combination of three heat4 steps, node by node.
TEST(Zeta4Step, IsTheRichardsonCombinationOfHeat4Steps) {
    const Grid1D<double> g = grid(0.0, 2.0, 33, BoundaryTag::Periodic);
    const Diffusion4thChernoff k = Diffusion4thChernoff::unit(g);
    const auto z = Diffusion4thZeta4Chernoff::over(k);
    const GridFn<double> u{g, noise(33, 4)};
    const double tau = 3e-3;
    ScratchPool<double> pool;
    GridFn<double> coarse{g, {}}, half{g, {}}, fine{g, {}}, out{g, {}};
    ASSERT_TRUE(k.apply_into(u, coarse, pool, tau));
    ASSERT_TRUE(k.apply_into(u, half, pool, tau / 2.0));
    ASSERT_TRUE(k.apply_into(half, fine, pool, tau / 2.0));
    ASSERT_TRUE(z.apply_into(u, out, pool, tau));
    for (std::size_t i = 0; i < 33; ++i) EXPECT_EQ(out.values[i], (4.0 * fine.values[i] - coarse.values[i]) / 3.0);
}

// --- state builder -----------------------------------------------------------

TEST(BuildDiffusion4thState, ChecksInOrderAndBuildsTheUnitKernel) {
    const auto refl = BoundaryPolicy<double>::reflect();
    auto e1 = build_diffusion4th_state(4, 100, std::vector<double>{1.0, 2.0, kNaN}, refl, kInf, 1.0);
    ASSERT_FALSE(e1);
    EXPECT_EQ(e1.error().text(), std::string("u0 contains NaN or Inf"));
    auto e2 = build_diffusion4th_state(4, 100, std::vector<double>(4, 0.0), refl, 1.0, 1.0);
    EXPECT_EQ(e2.error(), CoreError::domain("xmin must be < xmax", 1.0));
    auto e3 = build_diffusion4th_state(3, 100, std::vector<double>(3, 0.0), refl, 0.0, 1.0);
    EXPECT_EQ(e3.error(), CoreError::domain("n must be >= 4 (septic Hermite stencil)", 3.0));
    auto e4 = build_diffusion4th_state(4, 100, std::vector<double>{}, refl, 0.0, 1.0);
    EXPECT_EQ(e4.error(), CoreError::domain("values.len() must equal grid.n", 0.0));
    auto ok = build_diffusion4th_state(4, 7, std::vector<double>{1, 2, 3, 4}, refl, 0.0, 1.0);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->first.n, 7u);
    const Diffusion4thChernoff& k = ok->first.kernel;
    EXPECT_FALSE(k.coef_override.has_value());
    EXPECT_EQ(k.a_norm_bound, 1.0);
    EXPECT_EQ(k.chebyshev_m, 64u);
    EXPECT_FALSE(k.use_chebyshev || k.use_octonic);
    EXPECT_EQ(ok->second.values, (std::vector<double>{1, 2, 3, 4}));
}

}  // namespace
}  // namespace quorvane
