// Fourth-order drift-reaction step: the checks the Python class cannot reach
// (it refuses a bad t first). Order 4 against exact solutions and the stable
// step range are measured through DriftReaction4th1D.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/line/drift_reaction_zeta4.hpp"

namespace quorvane {
namespace {

TEST(DriftReactionZeta4, RejectsBadTauBeforeTakingBuffersAndReusesThem) {
    const auto g = *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0.0, 1.0, 11);
    const auto k = DriftReactionZeta4Chernoff::unit_half_drift(g);
    const GridFn<double> u{g, std::vector<double>(11, 1.0)};
    ScratchPool<double> pool;
    GridFn<double> out{g, {}};
    for (double tau : {-1.0, std::nan(""), double(INFINITY)})
        EXPECT_STREQ(k.apply_into(u, out, pool, tau).error().text(), "tau must be finite and >= 0");
    EXPECT_EQ(pool.peak(), 0u);
    ASSERT_TRUE(k.apply_into(u, out, pool, -0.0));
    // Buffers go back to the pool: a second step allocates nothing new.
    const std::size_t spares = pool.spare_count();
    ASSERT_TRUE(k.apply_into(out, out, pool, 1e-3));
    EXPECT_EQ(pool.spare_count(), spares);
}

TEST(DriftReactionZeta4, InflowRefusalIsTheStepsOwnFoundBeforeAnyWork) {
    // b = 1/2 > 0 carries values in across the right end: refused under "linear" at every step
    // size whose foot leaves the grid, with the step's own error; other policies and t = 0 pass.
    for (const BoundaryTag tag : {BoundaryTag::Linear, BoundaryTag::Reflect, BoundaryTag::Zero}) {
        const auto g = *Grid1D<double>::make(BoundaryPolicy<double>::of(tag), InterpKind::septic(), 0.0, 1.0, 11);
        const auto k = DriftReactionZeta4Chernoff::unit_half_drift(g);
        const GridFn<double> u{g, std::vector<double>(11, 1.0)};
        ScratchPool<double> pool;
        GridFn<double> out{g, {}};
        EXPECT_TRUE(k.inflow_refusal(g, 0.0));
        for (double tau : {1e-12, 1e-3, 10.0}) {
            const Status pre = k.inflow_refusal(g, tau);
            const Status step = k.apply_into(u, out, pool, tau);
            EXPECT_EQ(pre.has_value(), tag != BoundaryTag::Linear) << tau;
            if (!pre) {
                ASSERT_FALSE(step);
                EXPECT_EQ(pre.error(), step.error());
            }
        }
    }
}

}  // namespace
}  // namespace quorvane
