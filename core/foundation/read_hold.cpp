#include "core/foundation/read_hold.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quorvane {

DriftChange drift_change(double b0, double b1) {
    const double m0 = std::fabs(b0), m1 = std::fabs(b1);
    const double m = std::max(m0, m1);
    if (!(m > 0.0)) return {};
    const double diff = b1 - b0;
    DriftChange c;
    c.value = std::fabs(diff) / m;
    const double s = diff < 0.0 ? -1.0 : 1.0;
    // The larger magnitude moves with the node that holds it.
    const double dm0 = m0 > m1 ? (b0 < 0.0 ? -1.0 : 1.0) : 0.0;
    const double dm1 = m0 > m1 ? 0.0 : (b1 < 0.0 ? -1.0 : 1.0);
    c.d0 = (-s - c.value * dm0) / m;
    c.d1 = (s - c.value * dm1) / m;
    return c;
}

std::size_t coefficient_node(std::int64_t m, BoundaryTag tag, std::size_t n) {
    const auto sn = static_cast<std::int64_t>(n);
    if (m >= 0 && m < sn) return static_cast<std::size_t>(m);
    switch (tag) {
        case BoundaryTag::Periodic:
            return static_cast<std::size_t>(periodic_index(m, n));
        case BoundaryTag::Reflect:
        case BoundaryTag::RobinImage:
        case BoundaryTag::OddReflect:
            return static_cast<std::size_t>(mirror_index(m, n));
        default:
            return m < 0 ? 0 : n - 1;
    }
}

FootCell foot_cell(double at, BoundaryTag tag, std::size_t n) {
    constexpr double far = 4503599627370496.0;  // 2^52
    const double held = std::clamp(at, -far, far);
    const double below = std::floor(held);
    const auto cell = static_cast<std::int64_t>(below);
    return {coefficient_node(cell, tag, n), coefficient_node(cell + 1, tag, n), held - below};
}

DriftChange drift_meeting(double b0, double b1) {
    const double m0 = std::fabs(b0), m1 = std::fabs(b1);
    const double m = std::max(m0, m1);
    const double in0 = b0 > 0.0 ? b0 : 0.0, in1 = b1 < 0.0 ? -b1 : 0.0;
    if (!(m > 0.0) || !(in0 > 0.0) || !(in1 > 0.0)) return {};
    DriftChange c;
    const bool first = in0 <= in1;
    c.value = (first ? in0 : in1) / m;
    const double dm0 = m0 > m1 ? (b0 < 0.0 ? -1.0 : 1.0) : 0.0;
    const double dm1 = m0 > m1 ? 0.0 : (b1 < 0.0 ? -1.0 : 1.0);
    c.d0 = ((first ? 1.0 : 0.0) - c.value * dm0) / m;
    c.d1 = ((first ? 0.0 : -1.0) - c.value * dm1) / m;
    return c;
}

DriftChange drift_share(double b0, double b1) {
    const DriftChange meeting = drift_meeting(b0, b1), change = drift_change(b0, b1);
    double dm = 0.0, dc = 0.0;
    const double m = meeting_widen(meeting.value, &dm), c = change_widen(change.value, &dc);
    return {m * c, dm * meeting.d0 * c + m * dc * change.d0, dm * meeting.d1 * c + m * dc * change.d1};
}

DriftChange cell_drift_share(std::span<const double> b, BoundaryTag tag, std::size_t n, std::int64_t cell) {
    if (b.size() < n || n == 0) return {1.0, 0.0, 0.0};
    return drift_share(b[coefficient_node(cell, tag, n)], b[coefficient_node(cell + 1, tag, n)]);
}

DriftRoughness drift_roughness(double b_prev, double b_here, double b_next) {
    const double m_prev = std::fabs(b_prev), m_here = std::fabs(b_here), m_next = std::fabs(b_next);
    const double m = std::max({m_prev, m_here, m_next});
    if (!(m > 0.0)) return {};
    const double bend = (b_next - 2.0 * b_here) + b_prev;
    DriftRoughness r;
    r.value = std::fabs(bend) / m;
    const double s = bend < 0.0 ? -1.0 : 1.0;
    // The largest magnitude moves with the node that holds it (the first of
    // equal ones).
    const int top = m_prev >= m_here && m_prev >= m_next ? 0 : m_here >= m_next ? 1 : 2;
    const double dm_prev = top == 0 ? (b_prev < 0.0 ? -1.0 : 1.0) : 0.0;
    const double dm_here = top == 1 ? (b_here < 0.0 ? -1.0 : 1.0) : 0.0;
    const double dm_next = top == 2 ? (b_next < 0.0 ? -1.0 : 1.0) : 0.0;
    r.d_prev = (s - r.value * dm_prev) / m;
    r.d_here = (-2.0 * s - r.value * dm_here) / m;
    r.d_next = (s - r.value * dm_next) / m;
    return r;
}

double hold_weight(double roughness, double change, double* d_roughness, double* d_change) {
    const double by_roughness = (roughness - kRoughFree) / (kRoughHeld - kRoughFree);
    const double by_change = (change - kChangeFree) / (kChangeHeld - kChangeFree);
    const bool rough = !(by_change > by_roughness);
    const double ramp = rough ? by_roughness : by_change;
    double weight = 1.0, d = 0.0;
    if (!(ramp >= 1.0) && !std::isnan(by_roughness) && !std::isnan(by_change)) {
        if (ramp > 0.0) {
            weight = ramp * ramp * (3.0 - 2.0 * ramp);
            d = 6.0 * ramp * (1.0 - ramp);
        } else {
            weight = 0.0;
        }
    }
    if (d_roughness) *d_roughness = rough ? d / (kRoughHeld - kRoughFree) : 0.0;
    if (d_change) *d_change = rough ? 0.0 : d / (kChangeHeld - kChangeFree);
    return weight;
}

double node_fold(std::span<const double> b, BoundaryTag tag, std::size_t i, double reach, double* d_prev,
                 double* d_here, double* d_next) {
    const std::size_t n = b.size();
    const bool periodic = tag == BoundaryTag::Periodic && n > 1;
    // The gap to the neighbour before and after node i, in cells, and which
    // of them is the smaller.
    double gap = 1.0;
    int side = 0;
    if (i > 0 || periodic) {
        const double g = 1.0 + reach * (b[i] - b[i > 0 ? i - 1 : n - 1]);
        if (g < gap) {
            gap = g;
            side = -1;
        }
    }
    if (i + 1 < n || periodic) {
        const double g = 1.0 + reach * (b[i + 1 < n ? i + 1 : 0] - b[i]);
        if (g < gap) {
            gap = g;
            side = 1;
        }
    }
    double slope = 0.0;
    const double fold = fold_widen(gap, &slope);
    if (d_prev) *d_prev = side < 0 ? -slope * reach : 0.0;
    if (d_here) *d_here = side < 0 ? slope * reach : side > 0 ? -slope * reach : 0.0;
    if (d_next) *d_next = side > 0 ? slope * reach : 0.0;
    return fold;
}

namespace {

// The bend at node i and the larger change across its cells, with their
// derivatives with respect to b at nodes i - 1, i, i + 1.
struct NodeDrift {
    DriftRoughness rough;
    double change = 0.0, dc_prev = 0.0, dc_here = 0.0, dc_next = 0.0;
    bool has_prev = false, has_next = false;
    std::size_t prev = 0, next = 0;
};

NodeDrift node_drift(std::span<const double> b, BoundaryTag tag, std::size_t i) {
    const std::size_t n = b.size();
    const bool periodic = tag == BoundaryTag::Periodic && n > 1;
    NodeDrift d;
    d.has_prev = i > 0 || periodic;
    d.has_next = i + 1 < n || periodic;
    d.prev = i > 0 ? i - 1 : n - 1;
    d.next = i + 1 < n ? i + 1 : 0;
    // The cells on either side of node i that the grid has (both, around a
    // periodic seam).
    if (d.has_prev) {
        const DriftChange c = drift_change(b[d.prev], b[i]);
        if (!(c.value <= d.change)) {
            d.change = c.value;
            d.dc_prev = c.d0;
            d.dc_here = c.d1;
        }
    }
    if (d.has_next) {
        const DriftChange c = drift_change(b[i], b[d.next]);
        if (!(c.value <= d.change)) {
            d.change = c.value;
            d.dc_prev = 0.0;
            d.dc_here = c.d0;
            d.dc_next = c.d1;
        }
    }
    // The bend where node i has both neighbours (an end node of a
    // non-periodic grid is weighed by its one cell's change).
    if (d.has_prev && d.has_next) d.rough = drift_roughness(b[d.prev], b[i], b[d.next]);
    return d;
}

}  // namespace

FootChange foot_change(std::span<const double> b, BoundaryTag tag, std::size_t i, double reach) {
    const std::size_t n = b.size();
    FootChange f;
    if (n == 0) return f;
    const FootCell foot = foot_cell(static_cast<double>(i) + reach * b[i], tag, n);
    const double t = foot.t;
    f.first = foot.first;
    f.second = foot.second;
    const double read = (1.0 - t) * b[f.first] + t * b[f.second];
    const DriftChange c = drift_change(b[i], read);
    f.value = c.value;
    // The read moves with the foot, which b[i] moves by reach cells a unit.
    f.d_here = c.d0 + c.d1 * (reach * (b[f.second] - b[f.first]));
    f.d_first = c.d1 * (1.0 - t);
    f.d_second = c.d1 * t;
    return f;
}

double step_hold_weight(std::span<const double> b, BoundaryTag tag, std::size_t i, double reach, HoldSlope* slope) {
    const NodeDrift nd = node_drift(b, tag, i);
    // A foot within a cell next to the node changes the weight nowhere (see
    // DriftHold::at, which takes the same weight).
    const FootChange foot = reaches_past_a_cell(b[i], reach) ? foot_change(b, tag, i, reach) : FootChange{};
    const bool to_foot = foot.value > nd.change;
    double by_rough = 0.0, by_change = 0.0;
    const double weight = hold_weight(nd.rough.value, to_foot ? foot.value : nd.change, &by_rough, &by_change);
    if (slope) {
        *slope = {};
        if (nd.has_prev) slope->add(nd.prev, by_rough * nd.rough.d_prev + (to_foot ? 0.0 : by_change * nd.dc_prev));
        slope->add(i, by_rough * nd.rough.d_here + by_change * (to_foot ? foot.d_here : nd.dc_here));
        if (nd.has_next) slope->add(nd.next, by_rough * nd.rough.d_next + (to_foot ? 0.0 : by_change * nd.dc_next));
        if (to_foot) {
            slope->add(foot.first, by_change * foot.d_first);
            slope->add(foot.second, by_change * foot.d_second);
        }
    }
    return weight;
}

std::shared_ptr<const DriftHold> DriftHold::make(std::vector<double> b, BoundaryTag tag, bool always_held) {
    const std::size_t n = b.size();
    if (!always_held && std::all_of(b.begin(), b.end(), [&](double v) { return v == b[0]; })) return nullptr;
    auto hold = std::make_shared<DriftHold>();
    hold->weight.resize(n);
    hold->roughness.resize(n);
    hold->change.resize(n);
    hold->rise.resize(n);
    const bool periodic = tag == BoundaryTag::Periodic && n > 1;
    for (std::size_t i = 0; i < n; ++i) {
        const NodeDrift nd = node_drift(b, tag, i);
        hold->roughness[i] = nd.rough.value;
        hold->change[i] = nd.change;
        hold->weight[i] = always_held ? 1.0 : hold_weight(nd.rough.value, nd.change);
        // As node_fold: gaps of 1 + reach * (b[i] - b[i - 1]) and
        // 1 + reach * (b[i + 1] - b[i]); none beyond a non-periodic end.
        double rise = std::numeric_limits<double>::infinity();
        if (i > 0 || periodic) rise = std::min(rise, b[i] - b[i > 0 ? i - 1 : n - 1]);
        if (i + 1 < n || periodic) rise = std::min(rise, b[i + 1 < n ? i + 1 : 0] - b[i]);
        hold->rise[i] = rise;
    }
    hold->drift = std::move(b);
    hold->tag = tag;
    return hold;
}

ReadHold DriftHold::at(std::size_t i, double reach) const {
    const double fold = fold_widen(1.0 + reach * rise[i]);
    // The foot's change can only add to a weight below 1, and only from
    // beyond the cells next to the node: within one, where b keeps its sign,
    // it is no more than that cell's change, and where b changes sign there
    // the cell's change (1 or more) holds the reads fully already.
    if (weight[i] >= 1.0 || !reaches_past_a_cell(drift[i], reach)) return {weight[i], drift, fold};
    const double to_foot = foot_change(drift, tag, i, reach).value;
    return {hold_weight(roughness[i], std::max(change[i], to_foot)), drift, fold};
}

}  // namespace quorvane
