#include "core/foundation/flow_range.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

FlowRange FlowRange::after(const ReactionFactors& f, std::size_t steps) const {
    FlowRange r = *this;
    if (f.identity()) return r;
    for (std::size_t k = 0; k < steps; ++k) r = r.after(f);
    return r;
}

namespace {

// The largest of |D8 u| / (|D4 u| + e |D2 u|) at nodes i - reach .. i + 1 +
// reach around the cell from node i to i + 1 (e = 0 for cell_smoothness),
// and of |D8 u| at nodes i and i + 1 in `eighth`.
double rough_ratio(std::span<const double> values, bool periodic, std::size_t i, double e, double& eighth,
                   std::ptrdiff_t reach) {
    const std::size_t n = values.size();
    auto at = [&](std::size_t j, std::ptrdiff_t k) {
        const std::ptrdiff_t m = static_cast<std::ptrdiff_t>(n);
        return values[static_cast<std::size_t>(((static_cast<std::ptrdiff_t>(j) + k) % m + m) % m)];
    };
    // D4 u_j = sum_k (-1)^k C(4, k) u_{j-2+k}; D8 = D4 D4, eight columns wide.
    auto d4 = [&](std::size_t j, std::ptrdiff_t k) {
        return ((at(j, k - 2) + at(j, k + 2)) - 4.0 * (at(j, k - 1) + at(j, k + 1))) + 6.0 * at(j, k);
    };
    double worst = 0.0;
    const auto m = static_cast<std::ptrdiff_t>(n);
    const auto cell = static_cast<std::ptrdiff_t>(i);
    // The node whose differences judge `node`: off a periodic grid, the
    // nearest one whose differences lie inside.
    auto judged = [&](std::ptrdiff_t node) {
        return periodic ? static_cast<std::size_t>((node % m + m) % m)
                        : static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(node, 4, m - 5));
    };
    // Off a periodic grid the nodes judged are moved inwards as a whole, so
    // that a cell near an end is judged by as many nodes as any other:
    // clamped one by one, they all fell on node n - 5 (or 4), and a steep
    // layer at the end (a "zero" end's diffusion pulls its node towards 0
    // every step, beside a plateau) passed as smooth whenever that one
    // node's ratio did by a chance cancellation.
    std::ptrdiff_t first = cell - reach;
    if (!periodic) first = std::max<std::ptrdiff_t>(4, std::min(first, m - 5 - (2 * reach + 1)));
    for (std::ptrdiff_t k = 0; k <= 2 * reach + 1; ++k) {
        const std::size_t j = judged(first + k);
        double low = std::fabs(d4(j, 0));
        if (e > 0.0) low += e * std::fabs((at(j, -1) - 2.0 * at(j, 0)) + at(j, 1));
        const double high = std::fabs(((d4(j, -2) + d4(j, 2)) - 4.0 * (d4(j, -1) + d4(j, 1))) + 6.0 * d4(j, 0));
        // Data without curvature read exactly; D8 without it is the grid's
        // scale.
        const double r = low > 0.0 ? high / low : high > 0.0 ? FlowRange::kInfinity : 0.0;
        worst = std::max(worst, r);
        // The cell's own nodes (as judged) are always among these.
        if (j == judged(cell) || j == judged(cell + 1)) eighth = std::max(eighth, high);
    }
    return worst;
}

// The smoothness ramp over rough_ratio.
double smoothness(std::span<const double> values, bool periodic, std::size_t i, double e, double& eighth,
                  std::ptrdiff_t reach = kSmoothReach) {
    if (values.size() < 9) return 1.0;
    const double worst = rough_ratio(values, periodic, i, e, eighth, reach);
    if (!(worst < kRoughRatio)) return 0.0;  // NaN too
    return worst <= kSmoothRatio ? 1.0 : (kRoughRatio - worst) / (kRoughRatio - kSmoothRatio);
}

}  // namespace

double cell_smoothness(std::span<const double> values, bool periodic, std::size_t i) {
    double eighth = 0.0;
    return smoothness(values, periodic, i, 0.0, eighth);
}

double cell_smoothness(std::span<const double> values, bool periodic, std::size_t i, double& eighth) {
    return smoothness(values, periodic, i, 0.0, eighth);
}

double cell_bend(std::span<const double> values, bool periodic, std::size_t i) {
    const std::size_t n = values.size();
    if (n < 3) return 0.0;
    double low = FlowRange::kInfinity, high = -FlowRange::kInfinity;
    for (const std::size_t node : {i, i + 1}) {
        const std::size_t j = periodic ? node % n : node;
        // An end node's own D2 is that of the straight line the range read
        // continues the data by: 0.
        const double d2 = !periodic && (j == 0 || j + 1 >= n)
                              ? 0.0
                              : (values[(j + n - 1) % n] - 2.0 * values[j]) + values[(j + 1) % n];
        low = std::min(low, d2);
        high = std::max(high, d2);
    }
    return low > 0.0 ? low : high < 0.0 ? high : 0.0;
}

double bent_share(double bend, double beyond) {
    if (!(bend > 0.0) || !(beyond > 0.0)) return 0.0;
    const double ratio = bend / beyond;
    return ratio >= 4.0 ? 1.0 : ratio <= 2.0 ? 0.0 : (ratio - 2.0) / 2.0;
}

FlowRange continued_ends(std::span<const double> values, double cells) {
    const std::size_t n = values.size();
    if (n < 3) {
        FlowRange r{n ? values[0] : 0.0, n ? values[0] : 0.0};
        for (const double v : values) r = r.joined({v, v});
        return r;
    }
    // The curvature at nodes 1 .. 1 + ceil(cells) from each end (the nodes
    // the reach spans; none past the other end), four at least: as the
    // read of smooth data has it, one sign and about one size. Its least
    // size, 0 where it changes sign or its sizes differ threefold, so that the
    // second differences of data the steps have roughened bring in nothing.
    const double k = cells;
    const std::size_t last = std::min<std::size_t>(
        n - 2, std::max<std::size_t>(4, 1 + static_cast<std::size_t>(std::ceil(std::min(k, 1e6)))));
    FlowRange r{values[0], values[0]};
    for (const bool tail : {false, true}) {
        auto at = [&](std::size_t j) { return tail ? values[n - 1 - j] : values[j]; };
        double low = FlowRange::kInfinity, high = -FlowRange::kInfinity;
        for (std::size_t j = 1; j <= last; ++j) {
            const double d2 = (at(j - 1) - 2.0 * at(j)) + at(j + 1);
            low = std::min(low, d2);
            high = std::max(high, d2);
        }
        const double least = low > 0.0 ? low : high < 0.0 ? -high : 0.0;
        const double most = std::max(std::fabs(low), std::fabs(high));
        // Sizes that differ by more than half (1.5 up to 3 times) count less
        // and less.
        const double spread = least > 0.0 ? most / least : FlowRange::kInfinity;
        const double curve = spread <= 1.5 ? least : spread < 3.0 ? least * ((3.0 - spread) / 1.5) : 0.0;
        // Next to an end, where the ends' own flow leaves a layer of almost
        // constant curvature (D4 near 0 beside D2), D2 joins the measure.
        double eighth = 0.0;
        const double smooth = n < 10 ? 1.0 : smoothness(values, false, tail ? n - 6 : 4, 1.0, eighth, 0);
        const double reach = smooth == 0.0 ? 0.0 : smooth * (0.5 * k * (k + 1.0)) * curve;
        r = r.joined({at(0) - reach, at(0) + reach});
    }
    return r;
}

double refined_extreme(const double* s, std::size_t count, bool upper) {
    std::size_t best = 0;
    for (std::size_t k = 1; k < count; ++k) {
        if (upper ? s[k] > s[best] : s[k] < s[best]) best = k;
    }
    const double b = s[best];
    if (best == 0 || best + 1 >= count) return b;
    // The parabola through the extreme sample and its neighbours has its
    // vertex within half a sample of it; a flat or wrongly bent triple
    // (rounding) keeps the sample.
    const double a = s[best - 1], c = s[best + 1];
    const double bend = (a - 2.0 * b) + c;
    if (upper ? !(bend < 0.0) : !(bend > 0.0)) return b;
    const double vertex = b - (a - c) * (a - c) / (8.0 * bend);
    return upper ? std::max(b, vertex) : std::min(b, vertex);
}

double FootReach::longest_step(double dx, double cells) const {
    if (!(b >= 0.0) || !(a >= 0.0) || std::isinf(b) || std::isinf(a)) return 0.0;
    const double reach = cells * dx;
    double tau = std::numeric_limits<double>::infinity();
    if (b > 0.0) tau = std::min(tau, reach / (drift_span * b));
    if (a > 0.0) tau = std::min(tau, (0.5 * reach) * (0.5 * reach) / a);
    return tau;
}

int large_data_shift(std::span<const double> values) {
    const int top = unit_scale_exponent(values);
    return top >= kLargeDataExponent ? top - kScaledDataExponent : 0;
}

Expected<FlowRange> read_range(const Grid1D<double>& policy_grid, std::span<const double> values) {
    if (const int shift = large_data_shift(values); shift > 0) {
        std::vector<double> scaled(values.begin(), values.end());
        scale_by_power_of_two(scaled, -shift);
        Expected<FlowRange> r = read_range(policy_grid, scaled);
        if (r) *r = {std::ldexp(r->lo, shift), std::ldexp(r->hi, shift)};
        return r;
    }
    // Next to a non-periodic end the read continues the data by their
    // straight line: a zero end's ghost zeros or a mirror's kink would make
    // the read of smooth data overshoot there, a range the data never had.
    Grid1D<double> grid = policy_grid;
    if (grid.boundary.tag != BoundaryTag::Periodic) grid.boundary = BoundaryPolicy<double>::of(BoundaryTag::Linear);
    const std::size_t n = grid.n;
    // Cells 0 .. n - 2, and the seam cell n - 1 of a periodic grid.
    const std::size_t cells = grid.boundary.tag == BoundaryTag::Periodic ? n : n - 1;
    constexpr std::size_t kCount = kRangeSamplesPerCell + 1;
    // Cells a block: the samples of one block at a time, and a stop request
    // looked at between blocks.
    constexpr std::size_t kBlockCells = 4096;
    // The nodes first: a cell whose read provably stays within the range
    // so far (the hull of its Bernstein coefficients) is not sampled.
    FlowRange r{values.empty() ? 0.0 : values[0], values.empty() ? 0.0 : values[0]};
    for (const double v : values) {
        r.lo = std::min(r.lo, v);
        r.hi = std::max(r.hi, v);
    }
    std::array<double, kCount> s{};
    const bool septic = grid.interp_kind.tag == InterpTag::SepticHermite && values.size() >= n;
    const bool periodic = grid.boundary.tag == BoundaryTag::Periodic;
    SepticSamples samples;
    const double dx = grid.dx();
    for (std::size_t first = 0; first < cells; first += kBlockCells) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        const std::size_t last = std::min(cells, first + kBlockCells);
        if (septic) {
            samples.fill(values, grid, static_cast<std::int64_t>(first), static_cast<std::int64_t>(last) + 1);
        }
        for (std::size_t i = first; i < last; ++i) {
            const auto cell = static_cast<std::int64_t>(i);
            if (septic) {
                const std::array<double, 8> b = samples.cell_bernstein(cell);
                const auto [lo, hi] = std::minmax_element(b.begin(), b.end());
                if (*lo >= r.lo && *hi <= r.hi) continue;
                double eighth = 0.0;
                const double w = smoothness(values, periodic, i, 0.0, eighth);
                if (w == 0.0) continue;
                // The steps' own error on smooth data, of the order of the
                // read's (some 1e-4 |D8 u|), may carry a value a little past
                // the read's extreme; 100 times that is allowed for.
                const double allowance = kReadErrorShare * eighth;
                const auto read = [&](double t) { return samples.at_cell(cell, hermite7_weights(t)); };
                const double left = values[i], right = values[(i + 1) % n];
                const double bend = cell_bend(values, periodic, i);
                if (*hi > r.hi) {
                    const double top = std::max(left, right);
                    const double beyond = read_extreme(b, read, true) - top;
                    if (beyond > 0.0) {
                        r.hi = std::max(r.hi, top + w * bent_share(-bend, beyond) * (beyond + allowance));
                    }
                }
                if (*lo < r.lo) {
                    const double bottom = std::min(left, right);
                    const double beyond = bottom - read_extreme(b, read, false);
                    if (beyond > 0.0) {
                        r.lo = std::min(r.lo, bottom - w * bent_share(bend, beyond) * (beyond + allowance));
                    }
                }
                continue;
            }
            for (std::size_t k = 0; k < kCount; ++k) {
                const double x = grid.xmin + dx * (static_cast<double>(i) +
                                                   static_cast<double>(k) / static_cast<double>(kRangeSamplesPerCell));
                const Expected<double> v = grid.interp(values, x);
                s[k] = v ? *v : values[std::min(i, n - 1)];
            }
            r.lo = std::min(r.lo, refined_extreme(s.data(), kCount, false));
            r.hi = std::max(r.hi, refined_extreme(s.data(), kCount, true));
        }
    }
    return policy_grid.boundary.tag == BoundaryTag::Zero ? r.with_zero() : r;
}

}  // namespace quorvane
