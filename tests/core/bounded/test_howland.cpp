// The Howland lift: a lifted step of many slices answers a stop request
// between its slices.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "core/bounded/howland.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {
namespace {

// One lifted step of 10^5 slices takes seconds: a pending stop request ends
// it before the first slice is stepped.
TEST(HowlandLift, PendingStopEndsALiftedStepBeforeItsSlices) {
    const Grid1D<double> grid = *Grid1D<double>::make({}, InterpKind{}, 0.0, 1.0, 8);
    const HowlandLift lift = *HowlandLift::make(grid, 4, 0.3);
    HowlandState src{std::vector<GridFn<double>>(4, GridFn<double>{grid, std::vector<double>(8, 1.0)}), 4};
    HowlandState dst = src;
    ScratchPool<double> pool;
    std::atomic<bool> stop{true};
    const ScopedStopFlag flag(stop);
    EXPECT_EQ(lift.apply_into(src, dst, pool, lift.delta_s).error().variant(), CoreError::Variant::CallbackFailed);
    EXPECT_EQ(dst.slices[1].values, src.slices[1].values);
}

}  // namespace
}  // namespace quorvane
