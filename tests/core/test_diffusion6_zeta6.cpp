// The heat6 node step, the second zeta rung and the heat6 state builder.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/diffusion6_zeta6.hpp"

namespace quorvane {
namespace {

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

// The seven-point rule matches the Gaussian moments up to the sixth, so the
// step is exact on x^6: x^6 + 30 s x^4 + 180 s^2 x^2 + 120 s^3 with s = a tau
// (interior nodes, where Hermite sampling reproduces sextics).
TEST(Heat6Node, ExactOnSexticForConstantCoefficient) {
    const Grid1D<double> g = grid(-4.0, 4.0, 161);
    const GridFn<double> u = sampled(g, [](double x) { return std::pow(x, 6); });
    for (double c : {1.0, 0.4}) {
        Diffusion6thChernoff k = Diffusion6thChernoff::unit(g);
        if (c != 1.0) k.coef_override = CoeffSource::constant(c);
        const double tau = 0.01, s = c * tau;
        for (std::size_t i = 60; i <= 100; i += 8) {
            const double x = g.node(i);
            const double want = std::pow(x, 6) + 30.0 * s * std::pow(x, 4) + 180.0 * s * s * x * x + 120.0 * s * s * s;
            auto v = k.apply_node(u, i, tau);
            ASSERT_TRUE(v);
            EXPECT_NEAR(*v, want, 1e-11) << "c=" << c << " x=" << x;  // rounding of sums of values up to ~1e2
        }
    }
}

// Unit heat6 is third order in time (its symbol misses e^z at z^4).
TEST(Heat6Order, UnitDiffusionIsThirdOrderInTime) {
    const Grid1D<double> g = grid(0.0, 1.0, 41);
    const double k = 2.0 * M_PI, t = 0.01;
    const Diffusion6thChernoff kern = Diffusion6thChernoff::unit(g);
    double prev = 0.0;
    for (std::size_t steps : {2, 4, 8}) {
        GridFn<double> u = sampled(g, [](double x) { return std::cos(2.0 * M_PI * x); });
        ScratchPool<double> pool;
        auto r = run_steps(kern, u, steps, t / static_cast<double>(steps), pool);
        ASSERT_TRUE(r);
        double e = 0.0;
        for (std::size_t i = 0; i < g.n; ++i)
            e = std::max(e, std::fabs(r->values[i] - std::exp(-k * k * t) * std::cos(k * g.node(i))));
        if (prev > 0.0) {
            EXPECT_NEAR(std::log2(prev / e), 3.0, 0.25) << steps;  // the spatial error is 50 times smaller here
        }
        prev = e;
    }
}

// As for heat4: second-order consistency with (a u')' on u = x^3,
// a = 1 + 0.1 x^2, through all three correction terms.
TEST(Heat6Node, VariableCoefficientIsSecondOrderInDivergenceForm) {
    const Grid1D<double> g = grid(-2.0, 2.0, 401, BoundaryTag::Linear);
    const GridFn<double> u = sampled(g, [](double x) { return x * x * x; });
    Diffusion6thChernoff k = Diffusion6thChernoff::unit(g);
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

// Level 6 is (16 Z4(tau/2) Z4(tau/2) - Z4(tau))/15 node by node, bit for bit.
TEST(Zeta6Step, NestsTheFirstRung) {
    const Grid1D<double> g = grid(0.0, 1.0, 29, BoundaryTag::Zero);
    const Diffusion4thChernoff k = Diffusion4thChernoff::unit(g);
    const auto z4 = Diffusion4thZeta4Chernoff::over(k);
    const auto z6 = Diffusion6thZeta6Chernoff::over(k);
    const GridFn<double> u{g, noise(29, 5)};
    const double tau = 1e-3;
    ScratchPool<double> pool;
    GridFn<double> coarse{g, {}}, half{g, {}}, fine{g, {}}, out{g, {}};
    ASSERT_TRUE(z4.apply_into(u, coarse, pool, tau));
    ASSERT_TRUE(z4.apply_into(u, half, pool, tau / 2.0));
    ASSERT_TRUE(z4.apply_into(half, fine, pool, tau / 2.0));
    ASSERT_TRUE(z6.apply_into(u, out, pool, tau));
    for (std::size_t i = 0; i < g.n; ++i) EXPECT_EQ(out.values[i], (16.0 * fine.values[i] - coarse.values[i]) / 15.0);
}

TEST(BuildDiffusion6thState, UnitKernelWithStepCount) {
    auto ok = build_diffusion6th_state(5, 3, std::vector<double>{1, 2, 3, 4, 5}, BoundaryPolicy<double>::reflect(),
                                       -1.0, 1.0);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->first.n, 3u);
    EXPECT_FALSE(ok->first.kernel.coef_override.has_value());
    EXPECT_EQ(ok->first.kernel.grid.n, 5u);
    auto bad = build_diffusion6th_state(4, 3, std::vector<double>{1, 2, 3}, BoundaryPolicy<double>::reflect(), 0.0,
                                        1.0);
    EXPECT_EQ(bad.error(), CoreError::domain("values.len() must equal grid.n", 3.0));
}

}  // namespace
}  // namespace quorvane
