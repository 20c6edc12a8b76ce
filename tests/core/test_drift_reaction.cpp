// Drift-reaction kernel: the reaction factor, the reversed-characteristic
// step and the state builder (accuracy is checked from Python).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/drift_reaction.hpp"

namespace quorvane {
namespace {

Grid1D<double> grid_of(BoundaryTag tag) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::of(tag), InterpKind::septic(), -2.0, 2.0, 41);
}

GridFn<double> gaussian(const Grid1D<double>& g) {
    std::vector<double> v(g.n);
    for (std::size_t i = 0; i < g.n; ++i) v[i] = std::exp(-4.0 * g.node(i) * g.node(i));
    return *GridFn<double>::make(g, v);
}

TEST(DriftNodeStep, NoDriftIsTheReactionFactor) {
    const auto g = grid_of(BoundaryTag::Reflect);
    const auto u = gaussian(g);
    const auto k = DriftReactionChernoff::constant(g, 0.0, 0.8, 0.8);
    // Sampling at a node goes through the interpolant: exact up to rounding.
    for (std::size_t i = 0; i < g.n; ++i) EXPECT_NEAR(*k.apply_node(u, i, 0.1), std::exp(0.08) * u.values[i], 1e-15);
}

TEST(DriftAdjoint, ReversedStepIsTheForwardStepWithNegatedConstantDrift) {
    const auto g = grid_of(BoundaryTag::Reflect);
    const auto u = gaussian(g);
    GridFn<double> fwd{g, {}}, rev{g, {}};
    ScratchPool<double> pool;
    ASSERT_TRUE(DriftReactionChernoff::constant(g, -0.6, 0.3, 0.0).apply_into(u, fwd, pool, 0.05).has_value());
    ASSERT_TRUE(DriftReactionChernoff::constant(g, 0.6, 0.3, 0.0).apply_adjoint_into(u, rev, pool, 0.05).has_value());
    EXPECT_EQ(fwd.values, rev.values);
}

TEST(DriftAdjoint, TakesTheInputGridAndRefusesABadStep) {
    const auto g = grid_of(BoundaryTag::Reflect);
    const auto u = gaussian(g);
    const auto k = DriftReactionChernoff::constant(g, 0.5, 0.0, 0.0);
    ScratchPool<double> pool;
    GridFn<double> out{grid_of(BoundaryTag::Zero), std::vector<double>(3, 9.0)};
    auto st = k.apply_adjoint_into(u, out, pool, -1.0);
    EXPECT_EQ(st.error().display(), CoreError::domain("tau must be finite and >= 0", -1.0).display());
    EXPECT_EQ(out.values, std::vector<double>(3, 9.0));
    ASSERT_TRUE(k.apply_adjoint_into(u, out, pool, 0.0).has_value());
    EXPECT_EQ(out.grid.boundary.tag, BoundaryTag::Reflect);
    ASSERT_EQ(out.values.size(), u.values.size());
    for (std::size_t i = 0; i < g.n; ++i) EXPECT_NEAR(out.values[i], u.values[i], 1e-15);
}

TEST(DriftState, StepCountAndBound) {
    const std::vector<double> u0(4, 1.0);
    const auto refl = BoundaryPolicy<double>::reflect();
    EXPECT_EQ(build_drift_reaction_state(4, 0, u0, refl, 0.0, 1.0, 0.5, 0.0).error().display(),
              CoreError::domain("ChernoffSemigroup n must be >= 1", 0.0).display());
    auto ok = build_drift_reaction_state(4, 1, u0, refl, 0.0, 1.0, -0.5, 0.25);
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(ok->first.n, 1u);
    EXPECT_EQ(ok->first.kernel.c_norm_bound, 0.75);
    EXPECT_EQ((*ok->first.kernel.coef_override->b)(0.3), -0.5);
}

}  // namespace
}  // namespace quorvane
