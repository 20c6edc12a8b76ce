// The third zeta rung: nesting on the second and its scratch-pool use. The
// temporal order of the ladder is measured through the classes in the Python
// suite, the growth the Chebyshev resampling causes at tau = 0 in
// test_heat_stability.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "core/foundation/parallel1d.hpp"
#include "core/line/diffusion8_zeta8.hpp"

namespace quorvane {
namespace {

Grid1D<double> grid(std::size_t n) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0.0, 1.0, n);
}

std::vector<double> noise(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<double> v(n);
    for (auto& x : v) x = d(rng);
    return v;
}

// Level 8 is (64 Z6(tau/2) Z6(tau/2) - Z6(tau))/63 node by node, bit for bit.
TEST(Zeta8Step, NestsTheSecondRung) {
    const Grid1D<double> g = grid(23);
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

// Heat1DZeta8's kernel stepped for a call (its quadrature points read from
// a plan of the Chebyshev interpolant) gives the bits of its step taken
// point by point through interp, on every policy (a "linear" grid reads
// its continuation point by point) and split.
TEST(Zeta8Step, PlannedChebyshevReadsSameBitsAsThePointwiseStep) {
    for (BoundaryTag b : {BoundaryTag::Reflect, BoundaryTag::Periodic, BoundaryTag::Zero, BoundaryTag::Linear}) {
        const Grid1D<double> g =
            *Grid1D<double>::make(BoundaryPolicy<double>::of(b), InterpKind::septic(), -1.0, 2.0, 301);
        const auto z8 = Diffusion8thZeta8Chernoff::unit_chebyshev(g);
        const std::vector<double> u0 = noise(g.n, 11);
        const double tau = 1.3 * g.dx() * g.dx();
        GridFn<double> a{g, u0}, out{g, {}};
        ScratchPool<double> pool;
        for (int s = 0; s < 3; ++s) {
            ASSERT_TRUE(z8.apply_into(a, out, pool, tau));
            std::swap(a, out);
        }
        for (std::size_t workers : {1, 3}) {
            WorkerCountOverride w(workers);
            auto got = evolve_values(z8, g, u0, tau, 3);
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(*got, a.values) << int(b) << " " << workers;
        }
    }
}

// A rung holds its three buffers while the rungs below run: nine at once,
// all spares after the step, and a second step takes no new memory.
TEST(Zeta8Step, NineScratchBuffersReusedAcrossSteps) {
    const Grid1D<double> g = grid(40);
    const auto z8 = Diffusion8thZeta8Chernoff::over(Diffusion4thChernoff::unit(g));
    ScratchPool<double> pool;
    GridFn<double> a{g, noise(40, 8)}, b{g, {}};
    std::set<const double*> seen[2];
    for (auto& buffers : seen) {
        ASSERT_TRUE(z8.apply_into(a, b, pool, 1e-3));
        std::swap(a, b);
        ASSERT_EQ(pool.spare_count(), 9u);
        for (const auto& v : pool.spares()) buffers.insert(v.data());
    }
    EXPECT_EQ(seen[0], seen[1]);
}

}  // namespace
}  // namespace quorvane
