// The range a transport flow keeps its values in.
//
// The exact flow of du/dt = a u'' + b u' + c u carries values along the
// characteristics, averages them by diffusion and scales them by the
// reaction: from data with values in [lo, hi] it never leaves
// [lo, hi] scaled by the reaction's factors e^{t min c} ... e^{t max c}. The
// degree-7 reads the transport steps take are central differences in the
// limit of small steps: where characteristics meet or stop, or on data
// rough on the grid's scale, their overshoot is carried on and added to step
// after step. Each new node value of such a step is therefore clipped to a
// range read from the data when they are set, rescaled every step by the
// flow's reaction factors.
//
// That range is the nodes' own, widened by what the read takes between two
// nodes only as far as the data there are smooth. Where they are smooth the
// read between the nodes is the function's, and the range holds every value
// it takes (a proven outer bound, not an estimate), so no clip moves a value
// of smooth data. Where they are rough on the grid's scale a between-node
// overshoot is the read's, not the function's, and counts for nothing: data
// that lie in a range read before (a state rebuilt from the values of an
// earlier one, which carry its overshoot) then read no wider a range, and a
// chain of rebuilt states keeps the first one's bound.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>

#include "core/foundation/coeff.hpp"
#include "core/foundation/grid_fn.hpp"

namespace quorvane {

// The least and the greatest factor by which one step's reaction
// multiplies a value (both >= 0; {1, 1} without a reaction).
struct ReactionFactors {
    double down = 1.0, up = 1.0;

    bool identity() const { return down == 1.0 && up == 1.0; }
};

struct FlowRange {
    static constexpr double kInfinity = std::numeric_limits<double>::infinity();
    double lo = 0.0, hi = 0.0;

    // The range after a step whose reaction scales by factors in f: a
    // positive end moves by the factor that takes it farthest out, a
    // negative one likewise, 0 stays.
    // An infinite end stays so.
    FlowRange after(const ReactionFactors& f) const {
        return {lo > 0.0 ? lo * f.down : lo < 0.0 && lo > -kInfinity ? lo * f.up : lo,
                hi > 0.0 && hi < kInfinity ? hi * f.up : hi < 0.0 ? hi * f.down : hi};
    }
    // The range after `steps` such steps, one after another (the bits a
    // step-by-step walk gives).
    FlowRange after(const ReactionFactors& f, std::size_t steps) const;

    // v held to the range; NaN passes unchanged, to the refusal of a
    // non-finite result.
    double clip(double v) const { return v < lo ? lo : v > hi ? hi : v; }
    void clip(std::span<double> values) const {
        for (double& v : values) v = clip(v);
    }

    // 0 added to the range: the inflow of a "zero" end.
    FlowRange with_zero() const { return {lo < 0.0 ? lo : 0.0, hi > 0.0 ? hi : 0.0}; }
    // The range of both.
    FlowRange joined(const FlowRange& o) const { return {lo < o.lo ? lo : o.lo, hi > o.hi ? hi : o.hi}; }

    bool operator==(const FlowRange&) const = default;
};

// How smooth the data are around the cell from node i to node i + 1, from 1
// (every between-node value of the read is the function's) down to 0 (rough
// on the grid's scale), continuously: the larger of r = |D8 u| / |D4 u|
// (eighth and fourth undivided differences, the read's own nine-node
// stencil) at the cell's two nodes, 1 up to r = kSmoothRatio and 0 from
// kRoughRatio, linear between. A sampled wave of m nodes a wavelength has
// r = (4 sin^2(pi/m))^2: 1 at 6 nodes a wavelength, 0.34 at 8, 4 at 4, 16 at
// the grid's scale, so the read of data with 6 or more nodes a wavelength
// counts whole; on noise a ratio below 2 at both nodes of a cell is rare
// (the ratio of second and fourth differences, r = 4 sin^2(pi/m), lets a
// chain of rebuilt noisy states creep). The larger is taken over the six
// nodes i - 2 .. i + 3 (kSmoothReach). Off a periodic grid only nodes four
// or more from both ends have their differences inside: near an end the six
// are the nearest six such nodes (all there are on a shorter grid).
// Fewer than 9 values, or no fourth difference at all, count as smooth.
inline constexpr double kSmoothRatio = 1.2;
// The nodes judged besides the cell's own, on either side: a cell counts as
// smooth only where the six nodes around it do. Data the steps have made
// rough (or a drift has drawn out from rough data) show a ratio below 2 at
// both nodes of a cell now and then, and a rebuilt state that counted its
// read's overshoot there crept a little beyond the last one's range with
// every such cell (1.147 after 2000 rebuilds, 60 nodes); six nodes in a row
// are rare enough.
inline constexpr std::ptrdiff_t kSmoothReach = 2;
// What a smooth cell's extreme is widened by, in |D8 u| at its nodes.
inline constexpr double kReadErrorShare = 1e-2;
inline constexpr double kRoughRatio = 2.0;
double cell_smoothness(std::span<const double> values, bool periodic, std::size_t i);
// The same, and the larger |D8 u| at the cell's two nodes in `eighth` (left
// as it is for fewer than 9 values).
double cell_smoothness(std::span<const double> values, bool periodic, std::size_t i, double& eighth);

// How a smooth extremum between nodes i and i + 1 bends the data there: D2 u
// at both nodes, the one nearer 0 where both have one sign (< 0 under a
// crest, > 0 under a trough), else 0 (off a periodic grid an end node has
// the D2 of the straight line the range read continues the data by, 0, so
// the end cells, whose feet are read on that line anyway, count no
// overshoot: judged by its neighbour's D2, a jump next to an end read as a
// crest, 0.16 above the data under "reflect"). The read of smooth data rises beyond the larger
// node of its cell by about |D2 u| / 8 (0.155 |D2 u| at 6 nodes a
// wavelength) and never without bending them so.
double cell_bend(std::span<const double> values, bool periodic, std::size_t i);
// The share of a cell's between-node overshoot `beyond` (> 0) that counts
// for a bend of `bend` towards it (-cell_bend for a crest): whole where the
// bend is 4 times the overshoot or more, none at 2 times or less (a plateau
// of equal values, as clipped steps leave them, bends nothing), linear
// between.
double bent_share(double bend, double beyond);

// What diffusion brings in across "linear" ends, whose reads beyond an end
// continue the data by the straight line through the two end values, out to
// `cells` cells (a length in cells, not a count): the rule's points reach
// both sides of a node alike, so a straight line comes back as the node's
// own value and only the data's curvature near the end moves it, by at most
// k (k + 1) / 2 times |D2 u| over the nodes that reach spans (k = cells),
// and only the way the line lies from the data: below convex data, above
// concave ones. That much beyond each end value joins the range,
// taken as far as the data next to that end are smooth (cell_smoothness of
// the end cell, from the nine values next to it): the continuation of data a
// step's own overshoot has made rough is no part of what the flow carries
// in, and a straight line's continuation adds nothing (the line itself is a
// steady state). Nothing comes in through an end by the drift: a "linear"
// end refuses an inflow.
FlowRange continued_ends(std::span<const double> values, double cells);

// How one step moves the range its values are clipped to: its reaction's
// factors, and on a grid with "linear" ends (whose free ends keep no
// maximum principle of the data alone) how far beyond an end, in cells, the
// step's reads reach: what the ends continue the step's input by out there
// joins the range, as a boundary's values join a maximum principle's.
struct RangeStep {
    ReactionFactors factors;
    double end_cells = 0.0;  // 0: no end feeds the step

    bool moves() const { return !factors.identity() || end_cells > 0.0; }
    // The range of a step from `input`, the range before it `r`.
    FlowRange next(const FlowRange& r, std::span<const double> input) const {
        const FlowRange walked = r.after(factors);
        return end_cells > 0.0 ? walked.joined(continued_ends(input, end_cells)) : walked;
    }
};

// Data whose largest |u| reaches 2^kLargeDataExponent are stepped and read
// scaled down to largest |u| in [2^kScaledDataExponent, 2^(kScaledDataExponent
// + 1)) and scaled back: the reads' differences sum up to 1750 max|u|
// (D1's taps), which overflows from about 1e305. Scaling by a power of two
// is exact, and the steps and the read are linear, so the result is that of
// u itself.
inline constexpr int kLargeDataExponent = 1000;
inline constexpr int kScaledDataExponent = 960;
// The power of two by which data of that size are scaled down (0 below it).
int large_data_shift(std::span<const double> values);

// How far a transport step's reads reach per step, for the refusal of a
// step whose foot lies beyond the double range: the largest |b| of its drift
// and the largest a of its diffusion (reads at x +- 2 sqrt(tau a)) over the
// nodes; NaN where a node gives NaN. The drift's foot lies `drift_span`
// tau |b| from its node, as `drift_foot` writes it: x + 2 tau b for the shift
// step, x + tau b (at the midpoint's b) for the drift-reaction step.
struct FootReach {
    double b = 0.0, a = 0.0;
    double drift_span = 2.0;
    const char* drift_foot = "x + 2 tau b(x)";

    void take_b(double v) { b = std::isnan(v) || std::isnan(b) ? std::nan("") : std::max(b, std::fabs(v)); }
    void take_a(double v) { a = std::isnan(v) || std::isnan(a) ? std::nan("") : std::max(a, v); }
    // The longest step whose reads stay within `cells` cells of dx beyond
    // the nodes (infinite for no reach; 0 for an infinite or NaN one).
    double longest_step(double dx, double cells) const;
};

// Samples of a read per cell when its range is measured, the cell's first
// node included.
inline constexpr std::size_t kRangeSamplesPerCell = 16;

// The range of the grid's read of `values` (Grid1D::interp) over every cell,
// the seam between the last and the first node of a periodic grid included.
// For the degree-7 read: the nodes, and each cell's between-node extremes
// beyond its two node values, widened by kReadErrorShare |D8 u| (the plain
// steps' own error on smooth data is some 1e-4 |D8 u|, and may carry a value
// that far past the read's extreme), weighted by cell_smoothness and
// bent_share. Those extremes are
// proven bounds (read_extreme), never estimates, so on smooth data every
// value the read takes lies in the range. Other reads: the nodes and
// kRangeSamplesPerCell - 1 points inside each cell, a sample that is the
// largest (smallest) of its cell's raised (lowered) to the vertex of the
// parabola through it and its two neighbours. Cells whose stencil reaches
// past a non-periodic end are read with the data continued by their straight
// line (a zero end's ghost zeros or a mirror's kink are no part of the data);
// 0 joins the range under a "zero" end, whose inflow it is (what a "linear"
// end feeds a step joins it step by step: RangeStep). The values are finite.
// A stop request (poll_stop), looked at between blocks of cells, ends it.
Expected<FlowRange> read_range(const Grid1D<double>& grid, std::span<const double> values);

// The least and the greatest value of a coefficient over a grid's cells and
// where each is taken: c at the nodes and kCoefficientSamplesPerCell - 1
// points inside each cell, across the seam of a periodic grid too. The exact
// flow's reaction reads c between the nodes (at the feet of the
// characteristics), so its growth over t lies between e^{t lo} and
// e^{t hi}, which the nodes alone may not bound (a peak of c between two
// nodes, where characteristics gather). NaN samples are passed over.
struct CoefficientBounds {
    double lo = 0.0, hi = 0.0;
    double x_lo = 0.0, x_hi = 0.0;
};
inline constexpr std::size_t kCoefficientSamplesPerCell = 32;
template <class C>
CoefficientBounds coefficient_bounds(const Grid1D<double>& grid, const C& c) {
    const std::size_t cells = grid.boundary.tag == BoundaryTag::Periodic ? grid.n : grid.n - 1;
    const double dx = grid.dx();
    CoefficientBounds b{FlowRange::kInfinity, -FlowRange::kInfinity, grid.xmin, grid.xmin};
    if constexpr (std::is_base_of_v<CoeffFn, C>) {
        if (const std::optional<double> v = c.constant()) return {*v, *v, grid.xmin, grid.xmin};
    }
    auto take = [&](double x) {
        const double v = c(x);
        if (v < b.lo) b.lo = v, b.x_lo = x;
        if (v > b.hi) b.hi = v, b.x_hi = x;
    };
    for (std::size_t i = 0; i < grid.n; ++i) take(grid.node(i));
    for (std::size_t i = 0; i < cells; ++i) {
        const double x = grid.xmin + dx * static_cast<double>(i);
        if constexpr (std::is_base_of_v<CoeffFn, C>) {
            // A cell whose values provably stay within the bounds so far
            // needs no samples.
            const auto hull = c.hull(x, grid.xmin + dx * static_cast<double>(i + 1));
            if (hull && hull->first >= b.lo && hull->second <= b.hi) continue;
        }
        for (std::size_t k = 1; k < kCoefficientSamplesPerCell; ++k) {
            take(grid.xmin + dx * (static_cast<double>(i) +
                                   static_cast<double>(k) / static_cast<double>(kCoefficientSamplesPerCell)));
        }
    }
    return b;
}

// A proven bound of the greatest (`upper`) or the least value the degree-7
// read of one cell takes, from its Bernstein coefficients b and its read at
// cell fractions t (`read`): every interval's larger end widened by h^2 M / 8
// (h its length, M >= |P''| over the cell from the second differences of b),
// an interval that could hold a value beyond the samples so far split in 16
// (from the whole cell, six levels deep, 4096 reads a cell at most), and a
// rounding allowance of 16 ulps of the largest |b|. On smooth data it lies
// within about 1e-15 M of the read's own extreme; it never lies beyond the
// hull of b.
template <class Read>
double read_extreme(const std::array<double, 8>& b, const Read& read, bool upper);

// The extreme of the sampled values s[0 .. count) of one cell, refined by
// the parabola through the extreme sample and its neighbours when it lies
// inside (`upper` for the largest, else the smallest).
double refined_extreme(const double* s, std::size_t count, bool upper);

template <class Read>
double read_extreme(const std::array<double, 8>& b, const Read& read, bool upper) {
    constexpr int kSplit = 16, kLevels = 6, kBudget = 4096;
    double curve = 0.0, scale = 0.0;
    for (std::size_t k = 0; k < 8; ++k) scale = std::max(scale, std::fabs(b[k]));
    for (std::size_t k = 0; k + 2 < 8; ++k) curve = std::max(curve, std::fabs((b[k + 2] - 2.0 * b[k + 1]) + b[k]));
    const double sign = upper ? 1.0 : -1.0;  // the least of P is minus the greatest of -P
    const double rounding = 16.0 * std::numeric_limits<double>::epsilon() * scale;
    // P'' = 42 sum_k D2 b_k B_k^5 in units of the cell: on an interval of
    // length h, P exceeds the larger of its ends by at most h^2 42 curve / 8.
    const auto margin = [&](double h) { return h * h * (42.0 * curve) / 8.0; };
    double best = -FlowRange::kInfinity;
    int reads = 0;
    const auto at = [&](double t) {
        const double v = sign * read(t);
        best = std::max(best, v);
        ++reads;
        return v;
    };
    // The bound over [t0, t0 + h] with end values l and r: the ends' larger
    // widened by the margin, or its kSplit parts' bounds where that could
    // lie beyond the best sample so far (and the margin is still above the
    // rounding allowance and the reads within budget).
    const auto bound = [&](auto& self, double t0, double h, double l, double r, int level) -> double {
        const double plain = std::max(l, r) + margin(h);
        if (plain <= best || level == kLevels || margin(h) <= rounding || reads + kSplit > kBudget) return plain;
        const double part = h / kSplit;
        double most = -FlowRange::kInfinity, left = l;
        double values[kSplit + 1];
        values[0] = l;
        values[kSplit] = r;
        for (int j = 1; j < kSplit; ++j) values[j] = at(t0 + part * j);
        for (int j = 0; j < kSplit; ++j) {
            left = values[j];
            most = std::max(most, self(self, t0 + part * j, part, left, values[j + 1], level + 1));
        }
        return most;
    };
    const double first = at(0.0), last = at(1.0);
    const double result = std::max(bound(bound, 0.0, 1.0, first, last, 0), best);
    const double hull = upper ? *std::max_element(b.begin(), b.end()) : -*std::min_element(b.begin(), b.end());
    return sign * (std::min(result, hull) + rounding);
}

}  // namespace quorvane
