// The range a transport flow keeps: its walk under a reaction, the clip, and
// the measure of a read's range.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "core/foundation/flow_range.hpp"

namespace quorvane {
namespace {

Grid1D<double> grid(BoundaryTag tag, std::size_t n, double xmax = 1.0) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::of(tag), InterpKind::septic(), 0.0, xmax, n);
}

// Each end moves by the factor that takes it farther from 0; 0 stays, also
// under a factor of infinity (no 0 * inf).
TEST(FlowRange, WalksEachEndOutward) {
    const ReactionFactors f{0.5, 2.0};
    EXPECT_EQ((FlowRange{-1.0, 3.0}.after(f)), (FlowRange{-2.0, 6.0}));
    EXPECT_EQ((FlowRange{1.0, 3.0}.after(f)), (FlowRange{0.5, 6.0}));
    EXPECT_EQ((FlowRange{-3.0, -1.0}.after(f)), (FlowRange{-6.0, -0.5}));
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ((FlowRange{0.0, 0.0}.after({0.0, inf})), (FlowRange{0.0, 0.0}));
    // Walked step by step: the bits of repeated single steps.
    FlowRange r{-1.0, 1.0};
    for (int k = 0; k < 7; ++k) r = r.after({std::exp(-0.3), std::exp(0.1)});
    EXPECT_EQ((FlowRange{-1.0, 1.0}.after({std::exp(-0.3), std::exp(0.1)}, 7)), r);
}

TEST(FlowRange, ClipLetsNanThrough) {
    const FlowRange r{-1.0, 2.0};
    EXPECT_EQ(r.clip(-5.0), -1.0);
    EXPECT_EQ(r.clip(5.0), 2.0);
    EXPECT_EQ(r.clip(0.5), 0.5);
    EXPECT_TRUE(std::isnan(r.clip(std::nan(""))));
}

// A smooth periodic wave whose crest and trough fall between nodes: the
// range is the read's own extreme there, found between the 16 samples a
// cell by the parabola through the extreme one, not the node values.
TEST(FlowRange, ReadRangeFindsExtremaBetweenNodes) {
    const std::size_t n = 24;
    const Grid1D<double> g = grid(BoundaryTag::Periodic, n, 1.0 - 1.0 / n);
    std::vector<double> u(n);
    for (std::size_t i = 0; i < n; ++i) u[i] = std::cos(2.0 * std::numbers::pi * (static_cast<double>(i) + 0.37) / n);
    const FlowRange r = read_range(g, u);
    // The degree-7 read of 24 nodes a wavelength is within 3e-9 of the wave.
    EXPECT_NEAR(r.hi, 1.0, 3e-9);
    EXPECT_NEAR(r.lo, -1.0, 3e-9);
    EXPECT_GT(r.hi, *std::max_element(u.begin(), u.end()) + 1e-3);
}

// Next to a non-periodic end the data are read continued by their straight
// line: a zero end's ghost zeros beside data of -1 would overshoot below -1.
// The end's inflow, 0, joins the range.
TEST(FlowRange, EndsAreReadByTheStraightLineAndZeroJoins) {
    const std::size_t n = 41;
    std::vector<double> u(n);
    for (std::size_t i = 0; i < n; ++i) u[i] = std::cos(std::numbers::pi * static_cast<double>(i) / (n - 1)) - 2.0;
    const FlowRange zero = read_range(grid(BoundaryTag::Zero, n), u);
    EXPECT_NEAR(zero.lo, -3.0, 1e-12);
    EXPECT_EQ(zero.hi, 0.0);
    const FlowRange reflect = read_range(grid(BoundaryTag::Reflect, n), u);
    EXPECT_NEAR(reflect.lo, -3.0, 1e-12);
    EXPECT_NEAR(reflect.hi, -1.0, 1e-12);
    // "linear" free ends keep no maximum principle: no range, which no
    // reaction moves.
    const FlowRange linear = read_range(grid(BoundaryTag::Linear, n), u);
    EXPECT_EQ(linear, FlowRange::whole_line());
    EXPECT_EQ(linear.after({0.0, 0.0}), FlowRange::whole_line());
}

// A jump: the read's overshoot between the nodes is the range (the fixed
// overshoot that clipped steps keep rough data at).
TEST(FlowRange, JumpReadsBeyondItsNodes) {
    const std::size_t n = 101;
    std::vector<double> u(n);
    for (std::size_t i = 0; i < n; ++i) u[i] = 2.0 * static_cast<double>(i) < static_cast<double>(n) ? -1.0 : 1.0;
    const FlowRange r = read_range(grid(BoundaryTag::Periodic, n, 1.0 - 1.0 / n), u);
    EXPECT_NEAR(r.hi, 1.2415, 1e-4);
    EXPECT_NEAR(r.lo, -1.2415, 1e-4);
}

}  // namespace
}  // namespace quorvane
