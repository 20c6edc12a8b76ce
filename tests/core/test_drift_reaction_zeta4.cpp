// Fourth-order drift-reaction step: the Richardson combination is exact at
// tau = 0, reduces to combined heat steps without drift, reaches order 4
// against the exact advected Gaussian, and knows where it is unstable.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/drift_reaction_zeta4.hpp"
#include "core/state.hpp"

namespace quorvane {
namespace {

Grid1D<double> grid_of(double xmin, double xmax, std::size_t n) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), xmin, xmax, n);
}

double advected_gauss(double x, double t, double b) {
    const double xs = x + b * t;
    const double v = 1.0 + 2.0 * t;
    return std::exp(-xs * xs / (2.0 * v)) / std::sqrt(v);
}

std::vector<double> sample(const Grid1D<double>& g, double t, double b) {
    std::vector<double> v(g.n);
    for (std::size_t i = 0; i < g.n; ++i) v[i] = advected_gauss(g.node(i), t, b);
    return v;
}

double max_abs_diff(const std::vector<double>& a, const std::vector<double>& b) {
    double m = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) m = std::max(m, std::fabs(a[i] - b[i]));
    return m;
}

TEST(DriftReactionZeta4, ZeroStepIsTheIdentity) {
    const auto g = grid_of(-8.0, 8.0, 161);
    const auto k = DriftReactionZeta4Chernoff::unit_half_drift(g);
    const GridFn<double> u{g, sample(g, 0.0, 0.5)};
    ScratchPool<double> pool;
    GridFn<double> out{g, {}};
    ASSERT_TRUE(k.apply_into(u, out, pool, 0.0));
    // Every K is the identity up to the rounding of the node positions fed
    // to the interpolant (a few ulps of the values); (32 - 12 + 1)/21 = 1.
    EXPECT_LT(max_abs_diff(out.values, u.values), 1e-13);
    // Buffers go back to the pool: a second step allocates nothing new.
    const std::size_t spares = pool.spare_count();
    ASSERT_TRUE(k.apply_into(out, out, pool, 0.0));
    EXPECT_EQ(pool.spare_count(), spares);
}

TEST(DriftReactionZeta4, WithoutDriftItCombinesHeatSteps) {
    const auto g = grid_of(-8.0, 8.0, 161);
    auto k = DriftReactionZeta4Chernoff::unit_half_drift(g);
    k.b = coeff_zero;
    const GridFn<double> u{g, sample(g, 0.0, 0.0)};
    ScratchPool<double> pool;
    GridFn<double> got{g, {}};
    const double tau = 0.08;
    ASSERT_TRUE(k.apply_into(u, got, pool, tau));
    auto heat = [&](std::size_t m, double h) {
        return run_steps(k.diffusion, u, m, h, pool)->values;
    };
    const auto y1 = heat(1, tau), y2 = heat(2, tau / 2), y4 = heat(4, tau / 4);
    // Half steps without drift and reaction sample the nodes: identities up
    // to the rounding of the node positions (relative 1e-14 of the peak).
    std::vector<double> want(g.n);
    for (std::size_t i = 0; i < g.n; ++i) want[i] = ((32.0 * y4[i] - 12.0 * y2[i]) + y1[i]) / 21.0;
    EXPECT_LT(max_abs_diff(got.values, want), 1e-14);
}

TEST(DriftReactionZeta4, FourthOrderAgainstTheAdvectedGaussian) {
    // dx = 0.05 keeps the spatial error of the septic interpolant (~1e-12)
    // below the temporal errors measured here; these few steps lie beyond
    // the stable range, but 32 steps amplify rounding by at most 1.32^32.
    const auto g = grid_of(-20.0, 20.0, 801);
    const auto k = DriftReactionZeta4Chernoff::unit_half_drift(g);
    const double t = 1.0;
    std::vector<double> errs;
    for (std::size_t steps : {4, 8, 16, 32}) {
        ScratchPool<double> pool;
        auto r = run_steps(k, GridFn<double>{g, sample(g, 0.0, 0.5)}, steps, t / steps, pool);
        ASSERT_TRUE(r);
        errs.push_back(max_abs_diff(r->values, sample(g, t, 0.5)));
    }
    for (std::size_t k2 = 1; k2 < errs.size(); ++k2) {
        EXPECT_NEAR(std::log2(errs[k2 - 1] / errs[k2]), 4.0, 0.25) << errs[k2 - 1] << " " << errs[k2];
    }
}

TEST(DriftReactionZeta4, StabilityBoundFollowsTheSymbol) {
    const auto g = grid_of(-20.0, 20.0, 801);  // dx^2 = 0.0025
    const auto k = DriftReactionZeta4Chernoff::unit_half_drift(g);
    const double tmax = k.max_stable_tau();
    const double dx2 = g.dx() * g.dx();
    // The continuous symbol leaves the unit disc at k^2 tau = 35.2, i.e. at
    // tau = 35.2/pi^2 dx^2 = 3.57 dx^2 for the highest grid frequency.
    EXPECT_NEAR(tmax / dx2, 3.57, 0.1);
    EXPECT_TRUE(k.is_stable_step(0.99 * tmax));
    EXPECT_FALSE(k.is_stable_step(1.01 * tmax));
    EXPECT_FALSE(k.is_stable_step(std::nan("")));

    // What the bound protects against: 100 steps just above it amplify
    // rounding noise far beyond the method's error, just below they do not.
    auto run = [&](double tau) {
        ScratchPool<double> pool;
        auto r = run_steps(k, GridFn<double>{g, sample(g, 0.0, 0.5)}, 100, tau, pool);
        return max_abs_diff(r->values, sample(g, 100 * tau, 0.5));
    };
    EXPECT_LT(run(0.95 * tmax), 1e-9);
    EXPECT_GT(run(4.0 * dx2), 1e-7);
}

TEST(DriftReactionZeta4, RejectsBadTauBeforeTakingBuffers) {
    const auto g = grid_of(0.0, 1.0, 11);
    const auto k = DriftReactionZeta4Chernoff::unit_half_drift(g);
    const GridFn<double> u{g, std::vector<double>(11, 1.0)};
    ScratchPool<double> pool;
    GridFn<double> out{g, {}};
    for (double tau : {-1.0, std::nan(""), double(INFINITY)}) {
        auto st = k.apply_into(u, out, pool, tau);
        ASSERT_FALSE(st);
        EXPECT_STREQ(st.error().text(), "tau must be finite and >= 0");
    }
    EXPECT_EQ(pool.spare_count(), 0u);
    EXPECT_TRUE(k.apply_into(u, out, pool, -0.0));
}

}  // namespace
}  // namespace quorvane
