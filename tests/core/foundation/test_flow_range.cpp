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

// The read's extremes over a grid's cells, read at 4096 points a cell.
FlowRange dense_read(const Grid1D<double>& g, const std::vector<double>& u) {
    SepticSamples samples;
    const std::size_t cells = g.boundary.tag == BoundaryTag::Periodic ? g.n : g.n - 1;
    samples.fill(u, g, 0, static_cast<std::int64_t>(cells) + 1);
    FlowRange r{u[0], u[0]};
    for (std::size_t i = 0; i < cells; ++i) {
        for (int k = 0; k <= 4096; ++k) {
            const double v = samples.at_cell(static_cast<std::int64_t>(i), hermite7_weights(k / 4096.0));
            r = r.joined({v, v});
        }
    }
    return r;
}

// A smooth periodic wave whose crest and trough fall between nodes: the
// range holds the read's own extreme there (an outer bound, never inside
// it), not only the node values; at 6 nodes a wavelength too.
TEST(FlowRange, ReadRangeFindsExtremaBetweenNodes) {
    for (const std::size_t n : {6, 7, 8, 24, 256}) {
        const Grid1D<double> g = grid(BoundaryTag::Periodic, n, 1.0 - 1.0 / static_cast<double>(n));
        std::vector<double> u(n);
        for (std::size_t i = 0; i < n; ++i) {
            u[i] = std::cos(2.0 * std::numbers::pi * (static_cast<double>(i) + 0.37) / static_cast<double>(n));
        }
        const FlowRange r = *read_range(g, u);
        const FlowRange dense = dense_read(g, u);
        EXPECT_GE(r.hi, dense.hi) << n;
        EXPECT_LE(r.lo, dense.lo) << n;
        // The proven bound is the read's extreme, with its allowance, to 1/100 of
        // its step beyond the nodes.
        EXPECT_LE(r.hi - dense.hi, 1e-2 * (dense.hi - *std::max_element(u.begin(), u.end()))) << n;
        if (n == 24) {
            // The read of 24 nodes a wavelength is within 3e-9 of the wave; the range allows
            // 1e-2 |D8 u| = 2.2e-7 for the steps' own error beyond it.
            EXPECT_NEAR(r.hi, 1.0 + 1e-2 * std::pow(4.0 * std::pow(std::sin(std::numbers::pi / 24.0), 2), 4), 1e-8);
        }
    }
}

// The smoothness of a cell: whole for waves of 6 nodes a wavelength and
// more, nothing at 4 and on the grid's scale or noise, and continuous
// between (a wave of 5 nodes a wavelength: r = (4 sin^2(pi/5))^2 = 1.91).
TEST(FlowRange, SmoothnessFallsFromResolvedToGridScale) {
    const auto wave = [](double nodes_a_wave, std::size_t n) {
        std::vector<double> u(n);
        for (std::size_t i = 0; i < n; ++i) u[i] = std::sin(2.0 * std::numbers::pi * static_cast<double>(i) / nodes_a_wave + 0.4);
        return u;
    };
    for (const double m : {6.0, 6.5, 8.0, 20.0, 200.0}) {
        for (std::size_t i = 0; i < 40; ++i) EXPECT_EQ(cell_smoothness(wave(m, 40), false, i), 1.0) << m << " " << i;
    }
    for (std::size_t i = 0; i < 40; ++i) EXPECT_EQ(cell_smoothness(wave(4.0, 40), false, i), 0.0) << i;
    const double five = cell_smoothness(wave(5.0, 40), true, 10);
    EXPECT_GT(five, 0.0);
    EXPECT_LT(five, 0.2);
    std::vector<double> noise = {0.3, -0.9, 0.1, 0.8, -0.4, -0.2, 0.9, -0.7, 0.5, 0.0, -0.6, 0.2};
    for (std::size_t i = 0; i < noise.size(); ++i) EXPECT_EQ(cell_smoothness(noise, true, i), 0.0) << i;
    // A straight line and a constant read exactly.
    EXPECT_EQ(cell_smoothness(std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, false, 4), 1.0);
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
    // line, out to where the step reads (k = 3 cells): a straight line comes
    // back as itself; curved data move their end value by k (k + 1) / 2
    // times their least |D2| over the four nodes next to it, taken at 2/3
    // where those differ twofold. Head: D2 = -0.5, -1, -1; tail: -1, -1,
    // -0.5; 6 * 0.5 * 2/3 = 2 either way of 1 and of 0.5.
    const RangeStep fed{{}, 3.0};
    const std::vector<double> sloped = {1.0, 2.0, 2.5, 2.0, 0.5};
    EXPECT_EQ(fed.next(FlowRange{0.5, 2.5}, sloped), (FlowRange{-1.5, 3.0}));
    EXPECT_EQ(continued_ends(sloped, 3.0), (FlowRange{-1.5, 3.0}));
    EXPECT_EQ(continued_ends(std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 3.0), (FlowRange{1.0, 11.0}));
    // Data the steps have roughened next to an end bring in nothing.
    const std::vector<double> rough = {2.0, 1.3, 1.1, 1.9, 0.6, 1.8, 0.0, 2.0, 0.4, 1.0, 1.2};
    EXPECT_EQ(continued_ends(rough, 3.0), (FlowRange{1.2, 2.0}));
    // An infinite end stays so under any factor (no 0 * inf).
    EXPECT_EQ((FlowRange{-FlowRange::kInfinity, 1.0}.after({0.0, 0.0})), (FlowRange{-FlowRange::kInfinity, 0.0}));
}

// A jump: the read overshoots between the nodes (to 1.2415), but data
// rough on the grid's scale there read no wider than their nodes, so data
// that lie in a range read before read no wider a range.
TEST(FlowRange, JumpReadsNoWiderThanItsNodes) {
    const std::size_t n = 101;
    std::vector<double> u(n);
    for (std::size_t i = 0; i < n; ++i) u[i] = 2.0 * static_cast<double>(i) < static_cast<double>(n) ? -1.0 : 1.0;
    const Grid1D<double> g = grid(BoundaryTag::Periodic, n, 1.0 - 1.0 / n);
    EXPECT_NEAR(dense_read(g, u).hi, 1.2415, 1e-4);
    EXPECT_EQ(*read_range(g, u), (FlowRange{-1.0, 1.0}));
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
    // Random data are rough: their range lies between the nodes' and the
    // read's.
    const FlowRange r = *read_range(g, u);
    EXPECT_GE(r.lo, read_lo - 1e-12);
    EXPECT_LE(r.hi, read_hi + 1e-12);
    EXPECT_LE(r.lo, *std::min_element(u.begin(), u.end()));
    EXPECT_GE(r.hi, *std::max_element(u.begin(), u.end()));
}

}  // namespace
}  // namespace quorvane
