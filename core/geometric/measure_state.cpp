#include "core/geometric/measure_state.hpp"

#include <algorithm>
#include <cmath>

namespace quorvane {

namespace {

// Sum of term(item) over the list from 0.0, in order. Signed terms may
// cancel: where a partial sum overflowed though every term is finite, the
// terms are summed again scaled by 2^-32 (room for 2^32 terms of DBL_MAX)
// and the sum scaled back, so a representable sum is returned as such and
// one beyond the double range as +-inf, never NaN.
template <class Item, class Term>
double ordered_sum(const std::vector<Item>& items, Term term) {
    double s = 0.0;
    bool terms_finite = true;
    for (const Item& it : items) {
        const double t = term(it);
        terms_finite = terms_finite && std::isfinite(t);
        s += t;
    }
    if (std::isfinite(s) || !terms_finite) return s;
    double scaled = 0.0;
    for (const Item& it : items) scaled += std::ldexp(term(it), -32);
    return std::ldexp(scaled, 32);
}

// (x x) w; where x x alone overflows (|x| above about 1.34e154) x (x w) is
// the same product, finite whenever x^2 w is.
double atom_second_moment(const Atom& a) {
    const double xx = a.x * a.x;
    return (std::isfinite(xx) || !std::isfinite(a.x)) ? xx * a.w : a.x * (a.x * a.w);
}

}  // namespace

double MeasureState::second_moment() const {
    const double g =
        ordered_sum(gaussians, [](const GaussianComponent& c) { return (c.mean * c.mean + c.var) * c.w; });
    const double s = ordered_sum(atoms, atom_second_moment);
    return g + s;
}

double MeasureState::total_variation() const {
    const double g = ordered_sum(gaussians, [](const GaussianComponent& c) { return std::fabs(c.w); });
    const double s = ordered_sum(atoms, [](const Atom& a) { return std::fabs(a.w); });
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
