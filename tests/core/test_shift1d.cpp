// Shift kernel node step and schedule segments (accuracy and the schedule
// walks are checked from Python against exact solutions).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/shift1d.hpp"

namespace quorvane {
namespace {

Grid1D<double> grid_of(std::size_t n) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0.0, 1.0, n);
}

TEST(ShiftNodeStep, ZeroDiffusionAndDriftIsExplicitReaction) {
    const auto g = grid_of(16);
    std::vector<double> v(16);
    for (std::size_t i = 0; i < 16; ++i) v[i] = std::sin(3.0 * g.node(i)) + 2.0;
    const auto u = *GridFn<double>::make(g, v);
    const auto k = ShiftChernoff1D::constant(g, 0.0, 0.0, -0.7);
    // All three samples fall on the node, so the step is (1 + tau c) u_i
    // up to the rounding of the interpolant at the node.
    for (std::size_t i = 0; i < 16; ++i) EXPECT_DOUBLE_EQ(*k.apply_node(u, i, 0.01), v[i] + (0.01 * -0.7) * v[i]);
}

TEST(ShiftNodeStep, RejectsBadDiffusionAtTheNodeCoordinate) {
    const auto g = grid_of(11);
    const auto u = *GridFn<double>::make(g, std::vector<double>(11, 1.0));
    EXPECT_TRUE(ShiftChernoff1D::constant(g, -0.0, 0.0, 0.0).apply_node(u, 3, 0.1).has_value());
    for (double a : {-1e-300, std::nan(""), double(INFINITY)}) {
        auto r = ShiftChernoff1D::constant(g, a, 0.0, 0.0).apply_node(u, 3, 0.1);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().display(), CoreError::domain(kShiftEllipticityMessage, g.node(3)).display());
    }
}

TEST(ScheduleEntry, SegmentKernelBoundAndSampledEntries) {
    const auto g = grid_of(4);
    const auto b = ScheduleEntry::array(std::vector<double>{-3.0, 1.0, 0.5, 2.0});
    EXPECT_EQ(ScheduleEntry::array(std::vector<double>{}).sup_norm(), 0.0);
    const auto sg = build_segment_kernel(g, ScheduleEntry::constant(2.0), b, ScheduleEntry::constant(-0.5));
    EXPECT_EQ(sg.n, 100u);
    EXPECT_EQ(sg.kernel.c_norm_bound, 5.5);  // 2 + max|b| + 0.5
    EXPECT_EQ((*sg.kernel.coef_override->b)(g.node(1)), 1.0);
    EXPECT_EQ((*sg.kernel.coef_override->b)(-5.0), -3.0);  // clamped to the end sample
    EXPECT_EQ((*sg.kernel.coef_override->a)(0.37), 2.0);
}

}  // namespace
}  // namespace quorvane
