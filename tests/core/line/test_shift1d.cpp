// Shift kernel node step: the diffusion check and the coordinate it reports
// (accuracy, schedules and batches are checked from Python).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/line/shift1d.hpp"

namespace quorvane {
namespace {

TEST(ShiftNodeStep, RejectsBadDiffusionAtTheNodeCoordinate) {
    const auto g = *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0.0, 1.0, 11);
    const auto u = *GridFn<double>::make(g, std::vector<double>(11, 1.0));
    EXPECT_TRUE(ShiftChernoff1D::constant(g, -0.0, 0.0, 0.0).apply_node(u, 3, 0.1).has_value());
    for (double a : {-1e-300, std::nan(""), double(INFINITY)})
        EXPECT_EQ(ShiftChernoff1D::constant(g, a, 0.0, 0.0).apply_node(u, 3, 0.1).error(),
                  CoreError::domain(kShiftEllipticityMessage, g.node(3)));
}

}  // namespace
}  // namespace quorvane
