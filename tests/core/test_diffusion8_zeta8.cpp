// The third zeta rung: nesting, scratch-pool use, the temporal order of the
// whole ladder, and the Chebyshev resampling of Heat1DZeta8's inner kernel.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>
#include <vector>

#include "core/diffusion8_zeta8.hpp"

namespace quorvane {
namespace {

Grid1D<double> grid(double xmin, double xmax, std::size_t n) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), xmin, xmax, n);
}

std::vector<double> noise(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<double> v(n);
    for (auto& x : v) x = d(rng);
    return v;
}

TEST(Zeta8Step, NestsTheSecondRung) {
    const Grid1D<double> g = grid(0.0, 1.0, 23);
    const Diffusion4thChernoff k = Diffusion4thChernoff::unit(g);
    const auto z6 = Diffusion6thZeta6Chernoff::over(k);
    const auto z8 = Diffusion8thZeta8Chernoff::over(k);
    const GridFn<double> u{g, noise(23, 6)};
    const double tau = 2e-3;
    ScratchPool<double> pool;
    GridFn<double> coarse{g, {}}, half{g, {}}, fine{g, {}}, out{g, {}};
    ASSERT_TRUE(z6.apply_into(u, coarse, pool, tau));
    ASSERT_TRUE(z6.apply_into(u, half, pool, tau / 2.0));
    ASSERT_TRUE(z6.apply_into(half, fine, pool, tau / 2.0));
    ASSERT_TRUE(z8.apply_into(u, out, pool, tau));
    for (std::size_t i = 0; i < g.n; ++i) EXPECT_EQ(out.values[i], (64.0 * fine.values[i] - coarse.values[i]) / 63.0);
}

// A rung holds its three buffers while the rungs below run: nine at once,
// all spares after the step, and a second step takes no new memory.
TEST(Zeta8Step, NineScratchBuffersReusedAcrossSteps) {
    const Grid1D<double> g = grid(0.0, 1.0, 40);
    const auto z8 = Diffusion8thZeta8Chernoff::over(Diffusion4thChernoff::unit(g));
    const GridFn<double> u{g, noise(40, 8)};
    ScratchPool<double> pool;
    GridFn<double> out{g, {}};
    ASSERT_TRUE(z8.apply_into(u, out, pool, 1e-3));
    ASSERT_EQ(pool.spare_count(), 9u);
    std::set<const double*> first;
    for (const auto& v : pool.spares()) first.insert(v.data());
    GridFn<double> out2{g, {}};
    ASSERT_TRUE(z8.apply_into(out, out2, pool, 1e-3));
    EXPECT_EQ(pool.spare_count(), 9u);
    std::set<const double*> second;
    for (const auto& v : pool.spares()) second.insert(v.data());
    EXPECT_EQ(first, second);
}

// The Richardson weights of every rung assume even powers of tau; heat4 has
// a tau^3 local error term, so every rung is of temporal order 3 (not 4, 6,
// 8). Measured on a cosine mode under "reflect" with degree-9 sampling (its
// spatial error is 500 times below the temporal one here), at steps inside
// each rung's stable range.
TEST(ZetaLadderOrder, EveryRungIsThirdOrder) {
    const Grid1D<double> g = grid(0.0, 1.0, 41);
    Diffusion4thChernoff k = Diffusion4thChernoff::unit(g);
    k.use_octonic = true;
    const auto z4 = Diffusion4thZeta4Chernoff::over(k);
    const auto z6 = Diffusion6thZeta6Chernoff::over(k);
    const auto z8 = Diffusion8thZeta8Chernoff::over(k);
    const double dx2 = g.dx() * g.dx();
    auto error = [&](const auto& kern, double t, std::size_t steps) {
        std::vector<double> v(g.n);
        for (std::size_t i = 0; i < g.n; ++i) v[i] = std::cos(M_PI * g.node(i));
        ScratchPool<double> pool;
        auto r = run_steps(kern, GridFn<double>{g, v}, steps, t / static_cast<double>(steps), pool);
        double e = 0.0;
        for (std::size_t i = 0; i < g.n; ++i)
            e = std::max(e, std::fabs(r->values[i] - std::exp(-M_PI * M_PI * t) * v[i]));
        return e;
    };
    // t = 16 steps at tau/dx^2 = 1.78, 3.5, 6.98 (just inside each bound).
    const double t4 = 16 * 1.78 * dx2, t6 = 16 * 3.5 * dx2, t8 = 16 * 6.98 * dx2;
    const double o4 = std::log2(error(z4, t4, 16) / error(z4, t4, 32));
    const double o6 = std::log2(error(z6, t6, 16) / error(z6, t6, 32));
    const double o8 = std::log2(error(z8, t8, 16) / error(z8, t8, 32));
    EXPECT_NEAR(o4, 3.0, 0.05);
    EXPECT_NEAR(o6, 3.0, 0.05);
    EXPECT_NEAR(o8, 3.0, 0.05);
}

// Heat1DZeta8's kernel samples through the degree-64 Chebyshev polynomial,
// which is not the identity on grid values; at tau = 0 the ladder turns each
// resampling eigenvalue lambda into g8(g6(g4(lambda))) (about 1 + 9.7 (lambda
// - 1) near 1), so rounding-level noise explodes over 80 zero steps.
TEST(Zeta8Chebyshev, ResamplingIsNotTheIdentityAndTheLadderAmplifiesIt) {
    const Grid1D<double> g = grid(0.0, 1.0, 17);
    const auto z8 = Diffusion8thZeta8Chernoff::unit_chebyshev(g);
    EXPECT_TRUE(z8.inner().use_chebyshev);
    EXPECT_EQ(z8.inner().chebyshev_m, 64u);
    GridFn<double> u{g, noise(17, 9)};
    for (auto& v : u.values) v *= 1e-12;
    ScratchPool<double> pool;
    GridFn<double> once{g, {}};
    ASSERT_TRUE(z8.inner().apply_into(u, once, pool, 0.0));
    double moved = 0.0;
    for (std::size_t i = 0; i < g.n; ++i) moved = std::max(moved, std::fabs(once.values[i] - u.values[i]));
    EXPECT_GT(moved, 1e-15);  // a resampling that moves values by ~1e-2 of their size
    auto r = run_steps(z8, u, 80, 0.0, pool);
    ASSERT_TRUE(r);
    double big = 0.0;
    for (double v : r->values) big = std::max(big, std::fabs(v));
    EXPECT_GT(big, 1e-3);  // 1e-12 noise grown by more than 1e9 (spectral radius 1.41 here)
}

}  // namespace
}  // namespace quorvane
