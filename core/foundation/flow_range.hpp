// The range a transport flow keeps its values in.
//
// The exact flow of du/dt = a u'' + b u' + c u carries values along the
// characteristics, averages them by diffusion and scales them by the
// reaction: from data with values in [lo, hi] it never leaves
// [lo, hi] scaled by the reaction's factors e^{t min c} ... e^{t max c}. The
// degree-7 reads the transport steps take are central differences in the
// limit of small steps: where characteristics meet or stop, or on data
// rough on the grid's scale, their overshoot is carried on and added to step
// after step. Each new node value of such a step is therefore clipped to the
// range of the read's own interpolant of the initial data, rescaled every
// step by the flow's reaction factors. Smooth data never reach that range's
// ends where the plain read converges (the exact solution lies inside it,
// so a clip can only move a value towards it), and rough data are held at
// a fixed overshoot, the interpolant's own, which no longer grows with the
// step count or the time.
#pragma once

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

// The values a "linear" end continues data by, out to `cells` cells (a
// length in cells, not a count) beyond each end: the straight line through
// the two end values, whose extremes lie at the end node and `cells` out.
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

// Samples of a read per cell when its range is measured, the cell's first
// node included.
inline constexpr std::size_t kRangeSamplesPerCell = 16;

// The range of the grid's read of `values` (Grid1D::interp) over every cell,
// the seam between the last and the first node of a periodic grid included:
// the nodes and kRangeSamplesPerCell - 1 points inside each cell, a sample
// that is the largest (smallest) of its cell's raised (lowered) to the
// vertex of the parabola through it and its two neighbours, so that an
// extremum between samples is not cut. Cells whose stencil reaches past a
// non-periodic end are read with the data continued by their straight line
// (a zero end's ghost zeros or a mirror's kink are no part of the data); 0
// joins the range under a "zero" end, whose inflow it is (what a "linear"
// end feeds a step joins it step by step: RangeStep). The values are
// finite. A stop request (poll_stop), looked at between blocks of cells,
// ends it.
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

// The extreme of the sampled values s[0 .. count) of one cell, refined by
// the parabola through the extreme sample and its neighbours when it lies
// inside (`upper` for the largest, else the smallest).
double refined_extreme(const double* s, std::size_t count, bool upper);

}  // namespace quorvane
