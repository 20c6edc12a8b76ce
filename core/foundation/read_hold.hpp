// How far a transport read is held to the range of its cell, from the
// drift that carries it: the weight of the held value against the plain
// read, and the share of the margin allowed at a smooth extremum where
// characteristics meet or fold. The held reads themselves are Grid1D's
// (grid_fn.hpp) and AnisotropicShiftChernoffND's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/foundation/boundary.hpp"

namespace quorvane {

// How a read is held to the range of its cell (see the bounded reads in
// boundary.cpp). `weight` blends the held value into the plain degree-7
// read: 0 reads plainly, 1 takes the held value. For the read at the foot of
// a characteristic, `drift` (the drift at the grid's nodes) scales the
// margin allowed at a smooth extremum by how little the characteristics
// meet and the drift changes in the read's cell (drift_share); without it (a drift the same
// everywhere, or a read that is not carried by the drift) the whole margin
// is allowed. A read against the drift (an adjoint step) takes the drift
// negated. `fold` scales that margin further by how close the reading
// node's foot comes to its neighbours' within the step (fold_widen).
struct ReadHold {
    double weight = 0.0;
    std::span<const double> drift{};
    double fold = 1.0;

    bool held() const { return weight > 0.0; }
};
inline constexpr ReadHold kPlainRead{};
inline constexpr ReadHold kFullHold{1.0, {}, 1.0};

// How much a drift changes across one cell: |b1 - b0| / max(|b0|, |b1|) of
// its values b0, b1 at the cell's nodes (0 where both are 0), with its
// derivatives with respect to b0 and b1 where it is differentiable.
struct DriftChange {
    double value = 0.0;
    double d0 = 0.0, d1 = 0.0;
};
DriftChange drift_change(double b0, double b1);

// How strongly the characteristics of a cell's two nodes meet inside it: the
// smaller of the speeds at which the first node's read moves into the cell
// (b0 > 0) and the second's (b1 < 0), over max(|b0|, |b1|); 0 where either
// node reads away from the cell, 1 for equal and opposite drifts. Its
// derivatives as for drift_change.
DriftChange drift_meeting(double b0, double b1);

// The share of the extremum margin a held transport read keeps in a cell
// where the characteristics meet by `meeting` (drift_meeting):
// (1 - meeting / kMeetingFull)^2, none from kMeetingFull on. Where they
// meet, both nodes of the cell read inside it step after step, and a read
// that may leave the node values by any part of the cell's curvature lifts
// them by it every step. Smooth in the drift: a node whose drift passes
// through 0 starts or stops reading into the cell without a kink in the
// step. `slope`, when given, receives its derivative.
inline constexpr double kMeetingFull = 0.25;
inline double meeting_widen(double meeting, double* slope = nullptr) {
    const double rest = meeting < kMeetingFull ? 1.0 - meeting / kMeetingFull : 0.0;
    if (slope) *slope = -2.0 * rest / kMeetingFull;
    return rest * rest;
}

// The share it keeps where the drift changes by `change` (drift_change)
// across the cell: (1 - change / kChangeFull)^2. A drift that changes by its
// own size from node to node squeezes the data it carries to the grid's
// scale, where features the flow builds look like smooth extrema to the
// margin; a smooth drift changes by |b'| dx / |b| and keeps nearly all of
// it. Some share is left where one drift passes through 0 (a change of 1),
// so the step has no kink there either.
inline constexpr double kChangeFull = 1.5;
inline double change_widen(double change, double* slope = nullptr) {
    const double rest = change < kChangeFull ? 1.0 - change / kChangeFull : 0.0;
    if (slope) *slope = -2.0 * rest / kChangeFull;
    return rest * rest;
}

// The drift's share of the margin in a cell whose nodes carry b0 and b1:
// meeting_widen * change_widen, with its derivatives with respect to b0
// and b1.
DriftChange drift_share(double b0, double b1);

// The share of the extremum margin the foot read of a node keeps where the
// feet of its characteristic and a neighbour's lie `gap` cells apart after
// the step (1 where the drift is the same at both; less where they close
// in; 0 or less where they cross): all of it from 1 cell on, (2 gap - 1)^2
// between, none from half a cell on down. Steps long against the drift's
// change fold the characteristics over each other, and reads far apart then
// feed each other step after step, which a margin would lift every time
// (a sampled drift that changes sign from node to node, 10 cells a step:
// max |u| 1.5, 47, 3.8e4 after 100, 1000, 3000 steps). `slope`, when given,
// receives its derivative.
inline double fold_widen(double gap, double* slope = nullptr) {
    const double s = gap >= 1.0 ? 1.0 : gap > 0.5 ? 2.0 * gap - 1.0 : 0.0;
    if (slope) *slope = gap < 1.0 && gap > 0.5 ? 4.0 * s : 0.0;
    return s * s;
}

// fold_widen of node i of a grid whose drift takes the values b at the
// nodes and shifts node i's foot by reach * b[i] cells: the smaller gap to
// either neighbour (across a periodic seam too). `d_prev`, `d_here`,
// `d_next`, when given, receive its derivatives with respect to b at nodes
// i - 1, i, i + 1 (as drift_hold_weight's).
double node_fold(std::span<const double> b, BoundaryTag tag, std::size_t i, double reach, double* d_prev = nullptr,
                 double* d_here = nullptr, double* d_next = nullptr);

// The node whose sampled coefficient a node index m of a grid of n nodes
// takes: its image under the boundary policy, or the nearer end node where
// the policy names none.
std::size_t coefficient_node(std::int64_t m, BoundaryTag tag, std::size_t n);

// drift_share across the cell `cell` of a grid of n nodes with the drift b
// at its nodes, the cell's nodes mapped by coefficient_node (a share of 1
// where b does not cover the grid).
DriftChange cell_drift_share(std::span<const double> b, BoundaryTag tag, std::size_t n, std::int64_t cell);

// The weight of a held read (ReadHold::weight) next to a drift change
// `change` (drift_change): 0 up to rounding (a relative 64 ulps: Catmull-Rom
// weights return equal samples only to within a few ulps, and a shift that
// differs by so little drives no growth), 1 from kHoldRamp more on, a
// smooth step between (3 s^2 - 2 s^3), so that a step depends continuously
// on the drift, and smoothly where the drift is the same everywhere (a
// central difference of a constant drift sees the hold only to second
// order). `slope`, when given, receives its derivative.
inline constexpr double kHoldRamp = 1e-3;
double hold_weight(double change, double* slope = nullptr);

// The weight of the held read of node i where the drift takes the values b
// at the nodes: hold_weight of the larger change across the cells next to
// node i.
// `d_prev`, `d_here`, `d_next`, when given, receive its derivatives with
// respect to b at nodes i - 1, i, i + 1 (as the policy maps them; at the
// ends of a non-periodic grid the missing neighbour's is 0). A periodic
// grid (tag) takes the cell across its seam.
double drift_hold_weight(std::span<const double> b, BoundaryTag tag, std::size_t i, double* d_prev = nullptr,
                         double* d_here = nullptr, double* d_next = nullptr);

// A drift sampled at the grid's nodes with what its held reads take per
// node: the hold weight (drift_hold_weight, or 1 for a pure transport, whose
// reads are always held) and the smaller rise of b towards a neighbour,
// from which a step's fold follows at the cost of one multiply-add.
struct DriftHold {
    std::vector<double> drift;
    std::vector<double> weight;
    std::vector<double> rise;

    // From b at the nodes; null where no node's reads are held (a drift the
    // same at every node, for the weighed hold).
    static std::shared_ptr<const DriftHold> make(std::vector<double> b, BoundaryTag tag, bool always_held);

    // How node i's foot read is held in a step that shifts it by reach * b[i]
    // cells (node_fold's share).
    ReadHold at(std::size_t i, double reach) const {
        return {weight[i], drift, fold_widen(1.0 + reach * rise[i])};
    }
};

}  // namespace quorvane
