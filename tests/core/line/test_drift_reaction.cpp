// Drift-reaction kernel: the reversed-characteristic step that the adjoint
// evolution uses (accuracy of both directions is checked from Python).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/line/drift_reaction.hpp"

namespace quorvane {
namespace {

Grid1D<double> grid_of(BoundaryTag tag) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::of(tag), InterpKind::septic(), -2.0, 2.0, 41);
}

TEST(DriftAdjoint, ForwardStepWithNegatedDriftRefusalsWriteNothing) {
    const auto g = grid_of(BoundaryTag::Reflect);
    std::vector<double> v(g.n);
    for (std::size_t i = 0; i < g.n; ++i) v[i] = std::exp(-4.0 * g.node(i) * g.node(i));
    const GridFn<double> u{g, v};
    ScratchPool<double> pool;
    GridFn<double> fwd{g, {}}, rev{grid_of(BoundaryTag::Zero), std::vector<double>(3, 9.0)};
    const auto k = DriftReactionChernoff::constant(g, 0.6, 0.3, 0.0);
    EXPECT_EQ(k.apply_adjoint_into(u, rev, pool, -1.0).error(), CoreError::domain("tau must be finite and >= 0", -1.0));
    EXPECT_EQ(rev.values, std::vector<double>(3, 9.0));
    ASSERT_TRUE(DriftReactionChernoff::constant(g, -0.6, 0.3, 0.0).apply_into(u, fwd, pool, 0.05).has_value());
    ASSERT_TRUE(k.apply_adjoint_into(u, rev, pool, 0.05).has_value());
    EXPECT_EQ(fwd.values, rev.values);
    EXPECT_EQ(rev.grid.boundary.tag, BoundaryTag::Reflect);  // the output takes the input's grid
}

}  // namespace
}  // namespace quorvane
