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

#include <cstddef>
#include <limits>
#include <span>

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

    // No range: nothing is clipped.
    static FlowRange whole_line() { return {-kInfinity, kInfinity}; }

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

    bool operator==(const FlowRange&) const = default;
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
// joins the range under a "zero" end, whose inflow it is. A "linear" end
// keeps no range (the whole line): its free ends keep no maximum principle,
// so the flow leaves the data's range there. The values are finite.
FlowRange read_range(const Grid1D<double>& grid, std::span<const double> values);

// The extreme of the sampled values s[0 .. count) of one cell, refined by
// the parabola through the extreme sample and its neighbours when it lies
// inside (`upper` for the largest, else the smallest).
double refined_extreme(const double* s, std::size_t count, bool upper);

}  // namespace quorvane
