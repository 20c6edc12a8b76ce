// The range a transport flow keeps: its walk under a reaction, the clip, and
// the measure of a read's range.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
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
    const FlowRange r = *read_range(g, u);
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
    const FlowRange zero = *read_range(grid(BoundaryTag::Zero, n), u);
    EXPECT_NEAR(zero.lo, -3.0, 1e-12);
    EXPECT_EQ(zero.hi, 0.0);
    const FlowRange reflect = *read_range(grid(BoundaryTag::Reflect, n), u);
    EXPECT_NEAR(reflect.lo, -3.0, 1e-12);
    EXPECT_NEAR(reflect.hi, -1.0, 1e-12);
    // "linear" ends feed each step the data continued by their straight
    // line, out to where the step reads: that joins the range step by step.
    const RangeStep fed{{}, 3.0};
    const std::vector<double> sloped = {1.0, 2.0, 2.5, 2.0, 0.5};
    EXPECT_EQ(fed.next(FlowRange{0.5, 2.5}, sloped), (FlowRange{-4.0, 2.5}));  // 0.5 + 3 (0.5 - 2)
    EXPECT_EQ(continued_ends(sloped, 3.0), (FlowRange{-4.0, 1.0}));
    // An infinite end stays so under any factor (no 0 * inf).
    EXPECT_EQ((FlowRange{-FlowRange::kInfinity, 1.0}.after({0.0, 0.0})), (FlowRange{-FlowRange::kInfinity, 0.0}));
}

// A jump: the read's overshoot between the nodes is the range (the fixed
// overshoot that clipped steps keep rough data at).
TEST(FlowRange, JumpReadsBeyondItsNodes) {
    const std::size_t n = 101;
    std::vector<double> u(n);
    for (std::size_t i = 0; i < n; ++i) u[i] = 2.0 * static_cast<double>(i) < static_cast<double>(n) ? -1.0 : 1.0;
    const FlowRange r = *read_range(grid(BoundaryTag::Periodic, n, 1.0 - 1.0 / n), u);
    EXPECT_NEAR(r.hi, 1.2415, 1e-4);
    EXPECT_NEAR(r.lo, -1.2415, 1e-4);
}

// The hulls that let cells go unsampled hold every value of their cell:
// the read's Bernstein form is the read itself, and random data, read
// densely, never leave either hull. A sampled coefficient's
// bounds are then those of a dense scan, and the range that of every sample.
TEST(FlowRange, HullsHoldTheirCells) {
    const std::size_t n = 64;
    const Grid1D<double> g = grid(BoundaryTag::Reflect, n);
    std::vector<double> u(n);
    std::uint64_t state = 12345;
    for (double& v : u) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        v = static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5;
    }
    SepticSamples samples;
    samples.fill(u, g, 0, static_cast<std::int64_t>(n));
    const double h = g.dx();
    const SharedCoeff c = sampled_coeff(u, 0.0, h);
    constexpr double binomial7[8] = {1, 7, 21, 35, 35, 21, 7, 1};
    double dense_lo = u[0], dense_hi = u[0], read_lo = u[0], read_hi = u[0];
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const std::array<double, 8> bern = samples.cell_bernstein(static_cast<std::int64_t>(i));
        const double lo = *std::min_element(bern.begin(), bern.end());
        const double hi = *std::max_element(bern.begin(), bern.end());
        const auto [clo, chi] = *c->hull(h * static_cast<double>(i), h * static_cast<double>(i + 1));
        for (int k = 0; k <= 256; ++k) {
            const double x = h * (static_cast<double>(i) + k / 256.0);
            const double t = k / 256.0;
            const double v = samples.at_cell(static_cast<std::int64_t>(i), hermite7_weights(t));
            double bernstein = 0.0;
            for (int j = 0; j < 8; ++j) {
                bernstein += bern[static_cast<std::size_t>(j)] * binomial7[j] * std::pow(t, j) * std::pow(1.0 - t, 7 - j);
            }
            EXPECT_NEAR(bernstein, v, 1e-14);
            EXPECT_GE(v, lo - 1e-15);
            EXPECT_LE(v, hi + 1e-15);
            const double w = (*c)(x);
            EXPECT_GE(w, clo - 1e-15);
            EXPECT_LE(w, chi + 1e-15);
            dense_lo = std::min(dense_lo, w), dense_hi = std::max(dense_hi, w);
            read_lo = std::min(read_lo, v), read_hi = std::max(read_hi, v);
        }
    }
    const CoefficientBounds b = coefficient_bounds(g, *c);
    EXPECT_NEAR(b.lo, dense_lo, 1e-4);
    EXPECT_NEAR(b.hi, dense_hi, 1e-4);
    EXPECT_EQ((*c)(b.x_lo), b.lo);
    const FlowRange r = *read_range(g, u);
    EXPECT_NEAR(r.lo, read_lo, 1e-4);
    EXPECT_NEAR(r.hi, read_hi, 1e-4);
    EXPECT_LE(r.lo, read_lo + 1e-12);
    EXPECT_GE(r.hi, read_hi - 1e-12);
}

}  // namespace
}  // namespace quorvane
