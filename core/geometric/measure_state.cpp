#include "core/geometric/measure_state.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace quorvane {

namespace {

// A moment's term as m 2^e with |m| below a few units: the product taken on
// the mantissas rounds as the plain product does wherever that stays in the
// normal range, and stays exact in exponent where the plain one would
// overflow (x^2 beyond DBL_MAX) or underflow (x^2 below the normal range,
// x^2 w not).
struct ScaledTerm {
    double m;
    int e;
    double value() const { return std::ldexp(m, e); }
};

ScaledTerm scaled(double v) {
    int e = 0;
    const double m = std::frexp(v, &e);
    return {m, e};
}

// (x x) w.
ScaledTerm atom_second_moment(const Atom& a) {
    const ScaledTerm x = scaled(a.x), w = scaled(a.w);
    return {(x.m * x.m) * w.m, x.e + x.e + w.e};
}

// (mean mean + var) w, the bracket formed on mean 2^-p and var 2^-2p.
ScaledTerm component_second_moment(const GaussianComponent& c) {
    int p = 0;
    if (c.mean != 0.0 && std::isfinite(c.mean)) p = std::ilogb(c.mean) + 1;
    if (c.var != 0.0 && std::isfinite(c.var)) p = std::max(p, (std::ilogb(c.var) + 2) / 2);
    const double mean = std::ldexp(c.mean, -p);
    const ScaledTerm w = scaled(c.w);
    return {(mean * mean + std::ldexp(c.var, -p - p)) * w.m, p + p + w.e};
}

// A sum from 0.0 in a double of unbounded exponent: each addition aligns
// both operands to the larger exponent (exact) and rounds as a double
// addition does, so it is the plain sum wherever that stays in the normal
// range, and the right one where a term or a partial sum leaves it (signed
// terms beyond the range that cancel, partial sums that overflow).
struct WideSum {
    ScaledTerm s{0.0, 0};
    void add(const ScaledTerm& t) {
        if (t.m == 0.0) return;
        if (s.m == 0.0) {
            s = scaled(t.m);
            s.e += t.e;
            return;
        }
        const int top = std::max(s.e, t.e);
        const ScaledTerm sum = scaled(std::ldexp(s.m, s.e - top) + std::ldexp(t.m, t.e - top));
        s = {sum.m, sum.e + top};
    }
};

// The sum over the components from 0.0 in list order, the sum over the
// atoms likewise, then the two added: the double of that sum, or +-inf
// where it lies beyond the range, never NaN for finite data. A measure
// holding NaN or inf gives the plain sums as computed.
template <class ComponentTerm, class AtomTerm>
double moment(const MeasureState& ms, ComponentTerm component_term, AtomTerm atom_term) {
    WideSum g, s;
    double plain_g = 0.0, plain_s = 0.0;
    bool finite = true;
    for (const GaussianComponent& c : ms.gaussians) {
        const ScaledTerm t = component_term(c);
        finite = finite && std::isfinite(t.m);
        plain_g += t.value();
        g.add(t);
    }
    for (const Atom& a : ms.atoms) {
        const ScaledTerm t = atom_term(a);
        finite = finite && std::isfinite(t.m);
        plain_s += t.value();
        s.add(t);
    }
    if (!finite) return plain_g + plain_s;
    g.add(s.s);
    return g.s.value();
}

}  // namespace

double MeasureState::second_moment() const {
    return moment(*this, component_second_moment, atom_second_moment);
}

double MeasureState::total_variation() const {
    return moment(*this, [](const GaussianComponent& c) { return scaled(std::fabs(c.w)); },
                  [](const Atom& a) { return scaled(std::fabs(a.w)); });
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

double diffusive_shift(double a, double tau) {
    const double p = tau * a;
    const double root = (std::isfinite(p) && p >= DBL_MIN) ? std::sqrt(p) : std::sqrt(tau) * std::sqrt(a);
    return root + root;
}

double drift_shift(double b, double tau) { return std::isfinite(b + b) ? tau * (b + b) : (tau * b) * 2.0; }

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
