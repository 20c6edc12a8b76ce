#include "core/geometric/measure_state.hpp"

#include <algorithm>
#include <cmath>

namespace quorvane {

double MeasureState::second_moment() const {
    double g = 0.0;
    for (const GaussianComponent& c : gaussians) g += (c.mean * c.mean + c.var) * c.w;
    double s = 0.0;
    for (const Atom& a : atoms) s += (a.x * a.x) * a.w;
    return g + s;
}

double MeasureState::total_variation() const {
    double g = 0.0;
    for (const GaussianComponent& c : gaussians) g += std::fabs(c.w);
    double s = 0.0;
    for (const Atom& a : atoms) s += std::fabs(a.w);
    return g + s;
}

std::optional<double> MeasureState::first_non_finite() const {
    for (const Atom& a : atoms) {
        for (double v : {a.x, a.w}) {
            if (!std::isfinite(v)) return v;
        }
    }
    for (const GaussianComponent& c : gaussians) {
        for (double v : {c.mean, c.var, c.w}) {
            if (!std::isfinite(v)) return v;
        }
    }
    return std::nullopt;
}

MeasureState zip_positions_weights(std::span<const double> positions, std::span<const double> weights) {
    MeasureState m;
    const std::size_t n = std::min(positions.size(), weights.size());
    m.atoms.reserve(n);
    for (std::size_t i = 0; i < n; ++i) m.atoms.push_back({positions[i], weights[i]});
    return m;
}

std::optional<std::uint64_t> peak_atom_count(std::uint64_t n0, std::uint64_t factor, std::uint64_t n_steps,
                                             std::optional<std::uint64_t> cap) {
    std::uint64_t n = n0, peak = n0;
    // The count either overflows within 64 steps or reaches a fixed point
    // (0 atoms, a factor of 1, or the cap), so the loop is short.
    for (std::uint64_t s = 0; s < n_steps; ++s) {
        std::uint64_t branched;
        if (__builtin_mul_overflow(n, factor, &branched)) return std::nullopt;
        peak = std::max(peak, branched);
        const std::uint64_t next = cap && branched > *cap ? *cap : branched;
        if (next == n) break;
        n = next;
    }
    return peak;
}

}  // namespace quorvane
