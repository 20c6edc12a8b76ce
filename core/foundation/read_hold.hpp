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
// i - 1, i, i + 1 (as the policy maps them; at the ends of a non-periodic
// grid the missing neighbour's is 0).
double node_fold(std::span<const double> b, BoundaryTag tag, std::size_t i, double reach, double* d_prev = nullptr,
                 double* d_here = nullptr, double* d_next = nullptr);

// The node whose sampled coefficient a node index m of a grid of n nodes
// takes: its image under the boundary policy, or the nearer end node where
// the policy names none.
std::size_t coefficient_node(std::int64_t m, BoundaryTag tag, std::size_t n);

// The nodes of a grid of n nodes around a point `at` cells from node 0
// (mapped by coefficient_node) and the point's offset t in [0, 1) from the
// first. `at` is held to where an index stays exact: a point so far off
// reads an end node, or wraps, either way.
struct FootCell {
    std::size_t first = 0, second = 0;
    double t = 0.0;
};
FootCell foot_cell(double at, BoundaryTag tag, std::size_t n);

// drift_share across the cell `cell` of a grid of n nodes with the drift b
// at its nodes, the cell's nodes mapped by coefficient_node (a share of 1
// where b does not cover the grid).
DriftChange cell_drift_share(std::span<const double> b, BoundaryTag tag, std::size_t n, std::int64_t cell);

// How much a drift bends at a node from its values b_prev, b_here, b_next at
// the node and its neighbours: |b_next - 2 b_here + b_prev| over the largest
// of |b_prev|, |b_here|, |b_next| (0 where all are 0), with its derivatives
// with respect to the three where it is differentiable. A wave of P nodes a
// wavelength about 0 bends by at most 4 sin^2(pi / P) (0.59 at P = 8, 0.25 at
// 12.5, 0.024 at 41), less about an offset; noise by 1 or 2 at most nodes.
struct DriftRoughness {
    double value = 0.0;
    double d_prev = 0.0, d_here = 0.0, d_next = 0.0;
};
DriftRoughness drift_roughness(double b_prev, double b_here, double b_next);

// The weight of a held read (ReadHold::weight) at a node where the drift
// bends by `roughness` (drift_roughness) and changes by `change`
// (drift_change: the larger across the node's cells and to the foot of its
// characteristic, see step_hold_weight): a smooth step (3 s^2 - 2 s^3) in
// the larger of (roughness - kRoughFree) / (kRoughHeld - kRoughFree) and
// (change - kChangeFree) / (kChangeHeld - kChangeFree), so 0 (the plain
// read) below both thresholds and 1 from either full value on. The hold
// acts where plain reads grow data: on a drift rough on the grid's scale
// (noise), within a few cells of a zero of the drift, where the
// characteristics stop and the plain reads' grid-scale modes stay without
// end (b = sin 8 pi x on 101 nodes of [0, 1], 25 nodes a wavelength,
// u0 = cos pi x, steps of 1e-4: max |u| 1.34, 320, 8.6e12 at t = 1, 3, 10),
// and in steps that carry the data across such a zero. A drift that keeps
// its sign changes by |b'| dx / |b| a cell, which passes kChangeFree only
// within about five cells of a zero. A smooth drift away from its zeros is
// read plainly, its results bit for bit the plain reads': held reads clip
// the smooth extrema that such a drift squeezes, step after step, so their
// error stalls or grows with the step count where the plain reads' falls.
// Continuous in the drift, and smooth except where the larger of the two
// ramps changes hands. `d_roughness` and `d_change`, when given, receive
// its derivatives.
inline constexpr double kRoughFree = 0.1, kRoughHeld = 0.3;
inline constexpr double kChangeFree = 0.2, kChangeHeld = 0.5;
double hold_weight(double roughness, double change, double* d_roughness = nullptr, double* d_change = nullptr);

// The change of the drift from node i to the foot of its characteristic in
// a step that carries the foot reach * b[i] cells: drift_change of b[i] and
// of b read linearly between the nodes around the foot (`first`, `second`,
// mapped by coefficient_node). Within one cell, where the drift keeps its
// sign, it is no more than the change across that cell; a step of several
// cells reads the data from where the drift may be of another size or sign,
// which those cells do not show (b = 2 sin 10 pi x on 101 periodic nodes,
// u0 = cos 2 pi x, steps that carry the foot up to 10 cells: max |u| 1, 1,
// 42, 9.3e28 after 100, 300, 1000, 3000 steps weighed by the cells' change
// alone). Its derivatives with respect to b[i] (through the foot too) and
// at the two nodes.
struct FootChange {
    double value = 0.0;
    double d_here = 0.0;
    std::size_t first = 0, second = 0;
    double d_first = 0.0, d_second = 0.0;
};
FootChange foot_change(std::span<const double> b, BoundaryTag tag, std::size_t i, double reach);

// A hold weight's derivatives with respect to b: at most five entries (node
// i, its neighbours, the two nodes around its foot; a node may come twice).
struct HoldSlope {
    std::size_t node[5] = {};
    double d[5] = {};
    std::size_t count = 0;
    void add(std::size_t k, double v) {
        node[count] = k;
        d[count] = v;
        ++count;
    }
};

// The weight of node i's held reads in a step that carries its foot
// reach * b[i] cells, where the drift takes the values b at the nodes:
// hold_weight of the bend at node i (none at an end of a non-periodic grid,
// which has one neighbour) and of the larger of the changes across the cells
// next to it (both around a periodic seam) and to its foot (foot_change).
// `slope`, when given, receives its derivatives.
double step_hold_weight(std::span<const double> b, BoundaryTag tag, std::size_t i, double reach,
                        HoldSlope* slope = nullptr);

// True when a step that shifts the foot by reach * b cells takes it past
// the cells next to its node.
inline bool reaches_past_a_cell(double b, double reach) { return !(reach * (b < 0.0 ? -b : b) <= 1.0); }

// A drift sampled at the grid's nodes with what its held reads take per
// node: the weight of a step that keeps the foot within the node's cells
// (or 1 for a pure transport, whose reads are always held), the bend and
// the larger change across the node's cells, from which a longer step's
// weight follows at the cost of a read of b at the foot (foot_change), and
// the smaller rise of b towards a neighbour, from which a step's fold
// follows at the cost of one multiply-add.
struct DriftHold {
    std::vector<double> drift;
    // The weight of steps that keep the foot within the node's cells.
    std::vector<double> weight;
    std::vector<double> roughness;
    std::vector<double> change;
    std::vector<double> rise;
    BoundaryTag tag = BoundaryTag::Reflect;

    // From b at the nodes; null for the weighed hold of a b the same at
    // every node, whose steps move every node alike.
    static std::shared_ptr<const DriftHold> make(std::vector<double> b, BoundaryTag tag, bool always_held);

    // How node i's reads are held in a step that shifts its foot by
    // reach * b[i] cells (step_hold_weight's weight, node_fold's share).
    ReadHold at(std::size_t i, double reach) const;
};

}  // namespace quorvane
