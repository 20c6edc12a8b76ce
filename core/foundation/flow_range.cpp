#include "core/foundation/flow_range.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "core/foundation/stop.hpp"

namespace quorvane {

FlowRange FlowRange::after(const ReactionFactors& f, std::size_t steps) const {
    FlowRange r = *this;
    if (f.identity()) return r;
    for (std::size_t k = 0; k < steps; ++k) r = r.after(f);
    return r;
}

FlowRange continued_ends(std::span<const double> values, double cells) {
    const std::size_t n = values.size();
    if (n < 2) return n == 1 ? FlowRange{values[0], values[0]} : FlowRange{};
    const double k = cells;
    const double ends[4] = {values[0], values[0] + k * (values[0] - values[1]), values[n - 1],
                            values[n - 1] + k * (values[n - 1] - values[n - 2])};
    FlowRange r{ends[0], ends[0]};
    for (const double v : ends) {
        if (v < r.lo) r.lo = v;
        if (v > r.hi) r.hi = v;
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

Expected<FlowRange> read_range(const Grid1D<double>& policy_grid, std::span<const double> values) {
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
    // The degree-7 read of a cell at a fixed offset t is one dot product of
    // the cell's samples with hermite7_weights(t), the same for every cell.
    std::array<Hermite7Weights<double>, kCount> w;
    for (std::size_t k = 0; k < kCount; ++k) {
        w[k] = hermite7_weights(static_cast<double>(k) / static_cast<double>(kRangeSamplesPerCell));
    }
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
            }
            for (std::size_t k = 0; k < kCount; ++k) {
                if (septic) {
                    s[k] = samples.at_cell(cell, w[k]);
                } else {
                    const double x = grid.xmin + dx * (static_cast<double>(i) + static_cast<double>(k) /
                                                                                     static_cast<double>(kRangeSamplesPerCell));
                    const Expected<double> v = grid.interp(values, x);
                    s[k] = v ? *v : values[std::min(i, n - 1)];
                }
            }
            r.lo = std::min(r.lo, refined_extreme(s.data(), kCount, false));
            r.hi = std::max(r.hi, refined_extreme(s.data(), kCount, true));
        }
    }
    return policy_grid.boundary.tag == BoundaryTag::Zero ? r.with_zero() : r;
}

}  // namespace quorvane
