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

double hold_weight(double change, double* slope) {
    constexpr double floor = 64.0 * std::numeric_limits<double>::epsilon();
    const double ramp = (change - floor) / kHoldRamp;
    double weight = 1.0, d = 0.0;
    if (!(ramp >= 1.0)) {
        if (ramp > 0.0) {
            weight = ramp * ramp * (3.0 - 2.0 * ramp);
            d = 6.0 * ramp * (1.0 - ramp) / kHoldRamp;
        } else if (!std::isnan(ramp)) {
            weight = 0.0;
        }
    }
    if (slope) *slope = d;
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

double drift_hold_weight(std::span<const double> b, BoundaryTag tag, std::size_t i, double* d_prev, double* d_here,
                         double* d_next) {
    const std::size_t n = b.size();
    double worst = 0.0, dw_prev = 0.0, dw_here = 0.0, dw_next = 0.0;
    const bool periodic = tag == BoundaryTag::Periodic;
    // The cells on either side of node i that the grid has (both, around a
    // periodic seam).
    if (i > 0 || (periodic && n > 1)) {
        const DriftChange c = drift_change(b[i > 0 ? i - 1 : n - 1], b[i]);
        if (!(c.value <= worst)) {
            worst = c.value;
            dw_prev = c.d0;
            dw_here = c.d1;
        }
    }
    if (i + 1 < n || (periodic && n > 1)) {
        const DriftChange c = drift_change(b[i], b[i + 1 < n ? i + 1 : 0]);
        if (!(c.value <= worst)) {
            worst = c.value;
            dw_prev = 0.0;
            dw_here = c.d0;
            dw_next = c.d1;
        }
    }
    double slope = 0.0;
    const double weight = hold_weight(worst, &slope);
    if (d_prev) *d_prev = slope * dw_prev;
    if (d_here) *d_here = slope * dw_here;
    if (d_next) *d_next = slope * dw_next;
    return weight;
}

std::shared_ptr<const DriftHold> DriftHold::make(std::vector<double> b, BoundaryTag tag, bool always_held) {
    auto hold = std::make_shared<DriftHold>();
    const std::size_t n = b.size();
    hold->weight.resize(n);
    hold->rise.resize(n);
    const bool periodic = tag == BoundaryTag::Periodic && n > 1;
    bool any = always_held;
    for (std::size_t i = 0; i < n; ++i) {
        hold->weight[i] = always_held ? 1.0 : drift_hold_weight(b, tag, i);
        any = any || hold->weight[i] > 0.0;
        // As node_fold: gaps of 1 + reach * (b[i] - b[i - 1]) and
        // 1 + reach * (b[i + 1] - b[i]); none beyond a non-periodic end.
        double rise = std::numeric_limits<double>::infinity();
        if (i > 0 || periodic) rise = std::min(rise, b[i] - b[i > 0 ? i - 1 : n - 1]);
        if (i + 1 < n || periodic) rise = std::min(rise, b[i + 1 < n ? i + 1 : 0] - b[i]);
        hold->rise[i] = rise;
    }
    if (!any) return nullptr;
    hold->drift = std::move(b);
    return hold;
}

}  // namespace quorvane
