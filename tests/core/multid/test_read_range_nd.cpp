// The range of the tensor cubic read: its proven cell extremes against a
// read that is exact (a quadratic, which the central-slope cubic
// reproduces), against dense reads of random cells, and rough data read no
// wider than their nodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "core/multid/read_range_nd.hpp"

namespace quorvane {
namespace {

// Nodes k / n of [0, 1] on a periodic grid (the seam cell ends at 1), else
// k / (n - 1).
template <std::size_t D>
GridND<D> unit_grid(std::size_t n, BoundaryTag tag) {
    GridND<D> grid;
    grid.interp_kind = InterpKind::of(InterpTag::CubicHermite);
    const double hi = tag == BoundaryTag::Periodic ? 1.0 - 1.0 / static_cast<double>(n) : 1.0;
    for (std::size_t a = 0; a < D; ++a) {
        grid.axes[a] = *Grid1D<double>::make(BoundaryPolicy<double>::of(tag), grid.interp_kind, 0.0, hi, n);
    }
    return grid;
}

// The value of the tensor Bernstein form at t (one fraction per axis).
template <std::size_t D>
double bernstein_at(const std::array<double, kCellCoefficients<D>>& b, const std::array<double, D>& t) {
    double sum = 0.0;
    for (std::size_t k = 0; k < b.size(); ++k) {
        double w = 1.0;
        std::size_t digits = k;
        for (std::size_t a = 0; a < D; ++a, digits /= 4) {
            const auto j = static_cast<int>(digits % 4);
            const double binomial = j == 0 || j == 3 ? 1.0 : 3.0;
            w *= binomial * std::pow(t[a], j) * std::pow(1.0 - t[a], 3 - j);
        }
        sum += w * b[k];
    }
    return sum;
}

// Random cells: the bounds hold every dense read and lie within the hull.
template <std::size_t D>
void expect_bounds_hold(std::size_t dense) {
    std::uint64_t state = 99;
    for (int cell = 0; cell < 20; ++cell) {
        std::array<double, kCellCoefficients<D>> b{};
        for (double& v : b) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            v = static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5;
        }
        const double hi = tensor_cubic_extreme<D>(b, true), lo = tensor_cubic_extreme<D>(b, false);
        EXPECT_LE(hi, *std::max_element(b.begin(), b.end()) + 1e-14);
        EXPECT_GE(lo, *std::min_element(b.begin(), b.end()) - 1e-14);
        double most = -1e300, least = 1e300;
        std::array<std::size_t, D> i{};
        for (bool more = true; more;) {
            std::array<double, D> t{};
            for (std::size_t a = 0; a < D; ++a) t[a] = static_cast<double>(i[a]) / static_cast<double>(dense);
            const double v = bernstein_at<D>(b, t);
            most = std::max(most, v), least = std::min(least, v);
            std::size_t a = 0;
            while (a < D && ++i[a] > dense) i[a++] = 0;
            more = a < D;
        }
        EXPECT_GE(hi, most);
        EXPECT_LE(lo, least);
        // Dense reads come within (1/dense)^2 of the extreme.
        EXPECT_LE(hi - most, 2.0 / static_cast<double>(dense * dense)) << cell;
        EXPECT_LE(least - lo, 2.0 / static_cast<double>(dense * dense)) << cell;
    }
}

TEST(ReadRangeND, CellBoundsHoldEveryReadOfTheCell) {
    expect_bounds_hold<2>(48);
    expect_bounds_hold<3>(16);
}

// The dense read of u on g over [lo, hi] per axis, `dense` points an axis.
template <std::size_t D>
double dense_top(const GridND<D>& g, const std::vector<double>& u, double lo, double hi, std::size_t dense) {
    const GridFnND<D> f = *GridFnND<D>::make(g, u);
    double most = -1e300;
    std::array<std::size_t, D> i{};
    for (bool more = true; more;) {
        std::array<double, D> p{};
        for (std::size_t a = 0; a < D; ++a) p[a] = lo + (hi - lo) * static_cast<double>(i[a]) / dense;
        most = std::max(most, GridND<D>::interp_axis(f, D, *build_point_taps(g, p), 0));
        std::size_t a = 0;
        while (a < D && ++i[a] > dense) i[a++] = 0;
        more = a < D;
    }
    return most;
}

// A smooth periodic crest between nodes (12 nodes a wavelength): the range
// holds the read's own extreme there, an outer bound within its allowance
// (1e-2 |D8 u|, 5e-5 here), not the nodes' top; so does a read whose work
// allowance is spent from the start, looser by 1.2e-3 |D2 u| (3e-4 here).
TEST(ReadRangeND, SmoothCrestBetweenNodesIsTheReadsOwn) {
    const std::size_t n = 12;
    const auto wave = [&](std::size_t i, double shift) {
        return std::cos(2.0 * std::numbers::pi * (static_cast<double>(i) + shift) / static_cast<double>(n));
    };
    std::vector<double> u2(n * n), u3(n * n * n);
    for (std::size_t k = 0; k < u2.size(); ++k) u2[k] = wave(k % n, 0.37) * wave(k / n, 0.61);
    for (std::size_t k = 0; k < u3.size(); ++k) u3[k] = wave(k % n, 0.37) * wave(k / n % n, 0.61) * wave(k / (n * n), 0.45);
    const GridND<2> g2 = unit_grid<2>(n, BoundaryTag::Periodic);
    const GridND<3> g3 = unit_grid<3>(n, BoundaryTag::Periodic);
    const double top2 = dense_top(g2, u2, 0.9, 1.0, 100), top3 = dense_top(g3, u3, 0.9, 1.0, 30);
    EXPECT_GT(top2 - *std::max_element(u2.begin(), u2.end()), 1e-2);
    for (const bool spent : {false, true}) {
        RangeWork w2{spent ? 0 : RangeWork::allowance(u2.size())}, w3{spent ? 0 : RangeWork::allowance(u3.size())};
        const double hi2 = read_range_nd(g2, u2, w2)->hi, hi3 = read_range_nd(g3, u3, w3)->hi;
        EXPECT_GE(hi2, top2);
        EXPECT_GE(hi3, top3);
        EXPECT_LE(hi2 - top2, spent ? 4e-4 : 1e-4);
        EXPECT_LE(hi3 - top3, spent ? 4e-4 : 1e-4);
    }
}

// The work of the cells' bounds on 32^3 nodes, in cubic extremes a value:
// cos(1e-3 k) of the flat index k has crests on slanted planes, each almost
// equal to the last, and every cell near one was bounded whole (5,700 a
// value, 50 times what noise costs); noise takes none.
TEST(ReadRangeND, SmoothDataCostAboutWhatNoiseDoes) {
    const std::size_t n = 32;
    std::uint64_t state = 7;
    for (const bool noise : {true, false}) {
        std::vector<double> u(n * n * n);
        for (std::size_t k = 0; k < u.size(); ++k) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            u[k] = noise ? static_cast<double>(state >> 11) / 4503599627370496.0 - 1.0 : std::cos(1e-3 * static_cast<double>(k));
        }
        RangeWork work{RangeWork::allowance(u.size())};
        ASSERT_TRUE(read_range_nd(unit_grid<3>(n, BoundaryTag::Reflect), u, work));
        EXPECT_LE(work.taken, noise ? 0 : 16 * u.size()) << noise;
    }
}

// Data rough on the grid's scale read no wider than their nodes, whatever
// their read overshoots; 0 joins under "zero".
TEST(ReadRangeND, RoughDataReadTheirNodesRange) {
    const std::size_t n = 12;
    for (const BoundaryTag tag : {BoundaryTag::Reflect, BoundaryTag::Periodic, BoundaryTag::Linear}) {
        const GridND<2> g = unit_grid<2>(n, tag);
        std::vector<double> jump(n * n), alternating(n * n);
        for (std::size_t k = 0; k < n * n; ++k) {
            const std::size_t i = k % n, j = k / n;
            jump[k] = (i < n / 2) == (j < n / 2) ? 0.25 : 1.0;
            alternating[k] = (i + j) % 2 == 0 ? 0.5 : 1.0;
        }
        EXPECT_EQ(*read_range_nd(g, jump), (FlowRange{0.25, 1.0})) << static_cast<int>(tag);
        EXPECT_EQ(*read_range_nd(g, alternating), (FlowRange{0.5, 1.0})) << static_cast<int>(tag);
    }
    EXPECT_EQ(*read_range_nd(unit_grid<3>(6, BoundaryTag::Zero), std::vector<double>(216, 0.5)), (FlowRange{0.0, 0.5}));
}

}  // namespace
}  // namespace quorvane
