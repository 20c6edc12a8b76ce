#include "core/foundation/flow_range.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

namespace quorvane {

FlowRange FlowRange::after(const ReactionFactors& f, std::size_t steps) const {
    FlowRange r = *this;
    if (f.identity()) return r;
    for (std::size_t k = 0; k < steps; ++k) r = r.after(f);
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

FlowRange read_range(const Grid1D<double>& policy_grid, std::span<const double> values) {
    // Next to a non-periodic end the read continues the data by their
    // straight line: a zero end's ghost zeros or a mirror's kink would make
    // the read of smooth data overshoot there, a range the data never had.
    if (policy_grid.boundary.tag == BoundaryTag::Linear) return FlowRange::whole_line();
    Grid1D<double> grid = policy_grid;
    if (grid.boundary.tag != BoundaryTag::Periodic) grid.boundary = BoundaryPolicy<double>::of(BoundaryTag::Linear);
    const std::size_t n = grid.n;
    // Cells 0 .. n - 2, and the seam cell n - 1 of a periodic grid.
    const std::size_t cells = grid.boundary.tag == BoundaryTag::Periodic ? n : n - 1;
    constexpr std::size_t kCount = kRangeSamplesPerCell + 1;
    FlowRange r{values.empty() ? 0.0 : values[0], values.empty() ? 0.0 : values[0]};
    std::array<double, kCount> s{};
    auto take_cell = [&] {
        r.lo = std::min(r.lo, refined_extreme(s.data(), kCount, false));
        r.hi = std::max(r.hi, refined_extreme(s.data(), kCount, true));
    };
    if (grid.interp_kind.tag == InterpTag::SepticHermite && values.size() >= n) {
        // The degree-7 read of a cell at a fixed offset t is one dot product
        // of the cell's samples with hermite7_weights(t), the same for every
        // cell.
        std::array<Hermite7Weights<double>, kCount> w;
        for (std::size_t k = 0; k < kCount; ++k) {
            w[k] = hermite7_weights(static_cast<double>(k) / static_cast<double>(kRangeSamplesPerCell));
        }
        SepticSamples samples;
        samples.fill(values, grid, 0, static_cast<std::int64_t>(cells) + 1);
        for (std::size_t i = 0; i < cells; ++i) {
            const auto cell = static_cast<std::int64_t>(i);
            for (std::size_t k = 0; k < kCount; ++k) s[k] = samples.at_cell(cell, w[k]);
            take_cell();
        }
    } else {
        const double dx = grid.dx();
        for (std::size_t i = 0; i < cells; ++i) {
            for (std::size_t k = 0; k < kCount; ++k) {
                const double x = grid.xmin + dx * (static_cast<double>(i) + static_cast<double>(k) /
                                                                                 static_cast<double>(kRangeSamplesPerCell));
                const Expected<double> v = grid.interp(values, x);
                s[k] = v ? *v : values[std::min(i, n - 1)];
            }
            take_cell();
        }
    }
    for (const double v : values) {
        r.lo = std::min(r.lo, v);
        r.hi = std::max(r.hi, v);
    }
    return policy_grid.boundary.tag == BoundaryTag::Zero ? r.with_zero() : r;
}

}  // namespace quorvane
