#include "core/line/adaptive.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <cstdint>
#include <string_view>

#include "core/foundation/stop.hpp"
#include "core/line/kept_in_range.hpp"

namespace quorvane {
namespace {

// Largest |v_i|, or +inf when any entry is NaN or infinite: a non-finite
// state must never pass the tolerance test, which a NaN-ignoring maximum
// would let it do.
double max_abs_or_inf(const std::vector<double>& v) {
    double m = 0.0;
    for (double x : v) {
        if (!std::isfinite(x)) return INFINITY;
        const double a = std::fabs(x);
        if (a > m) m = a;
    }
    return m;
}

// How a step of tau of a transport kernel moves its range; the heat
// kernels keep none.
template <class K>
RangeStep step_range(const K& kernel, double tau) {
    if constexpr (requires { reaction_factors(kernel, tau); }) {
        return range_step(kernel, tau);
    } else {
        internal_fault("AdaptiveChernoff: a range for a kernel that keeps none");
    }
}

// The range after a step from `input`, and `out` clipped to it.
FlowRange clipped_step(const FlowRange& before, const RangeStep& step, std::span<const double> input,
                       std::vector<double>& out) {
    const FlowRange after = step.next(before, input);
    after.clip(out);
    return after;
}

}  // namespace

template <class K>
AdaptiveChernoff<K> AdaptiveChernoff<K>::make(K kernel, double tol_abs, double tol_rel) {
    AdaptiveChernoff a{std::move(kernel), std::nullopt, std::nullopt, std::nullopt, ScratchPool<double>{}, PiController{}};
    a.controller.tol_abs = tol_abs;
    a.controller.tol_rel = tol_rel;
    a.controller.k_i = AdaptiveTraits<K>::k_i;
    a.controller.k_p = AdaptiveTraits<K>::k_p;
    return a;
}

template <class K>
Expected<std::vector<double>> AdaptiveChernoff<K>::integrate(const GridFn<double>& state, double t,
                                                             FlowRange* range) {
    PiController& pc = controller;
    pc.err_prev = 1.0;
    if (!full) full = state;
    if (!half) half = state;
    if (!half2) half2 = state;
    GridFn<double> u = state;

    FlowRange walked = range ? *range : FlowRange{};
    // A t so short that t/100 underflows to 0 is taken in one substep.
    double h = t / 100.0;
    if (!(h > 0.0)) h = t;
    double elapsed = 0.0;
    std::size_t accepted = 0;
    std::size_t rejected = 0;
    double last_err = 0.0;
    for (;;) {
        const double tau = h < t - elapsed ? h : t - elapsed;
        // A step that has underflowed to zero can never cover the remaining
        // time; stop now rather than spin through the whole substep budget.
        if (!(tau > 0.0)) {
            return fail(CoreError::adaptive_step_rejected(h, last_err, accepted + rejected));
        }
        if (Status st = poll_stop(); !st) return fail(st.error());
        if (Status st = kernel.apply_into(u, *full, pool, tau); !st) return fail(st.error());
        if (Status st = kernel.apply_into(u, *half, pool, 0.5 * tau); !st) return fail(st.error());
        FlowRange after_halves = walked;
        RangeStep per_half;
        if (range) {
            per_half = step_range(kernel, 0.5 * tau);
            clipped_step(walked, step_range(kernel, tau), u.values, full->values);
            after_halves = clipped_step(walked, per_half, u.values, half->values);
        }
        if (Status st = kernel.apply_into(*half, *half2, pool, 0.5 * tau); !st) return fail(st.error());
        if (range) after_halves = clipped_step(after_halves, per_half, half->values, half2->values);

        // d = u_half - u_full, formed in place in `half`.
        std::vector<double>& d = half->values;
        d = half2->values;
        const std::size_t m = std::min(d.size(), full->values.size());
        for (std::size_t i = 0; i < m; ++i) d[i] = d[i] - full->values[i];

        // Non-finite results give err = +inf: rejected whatever the tolerance.
        const double err = max_abs_or_inf(d) / AdaptiveTraits<K>::error_divisor;
        last_err = err;
        const double norm = std::max(max_abs_or_inf(u.values), max_abs_or_inf(full->values));
        const double tol = pc.tol_abs + pc.tol_rel * norm;
        // An error below the rounding of the values is no error the
        // controller can read: 0 and 1e-17 of a state of size 0.2 are the
        // same exact step. Floored apart, their ratio (err_prev / e)^k_p
        // swung the step between x5 and x0.2 for ever once the state had
        // settled, and a call of 3e26 ended after 100000 substeps.
        // The floor follows the tolerance below it: a fixed 1e-300 above a
        // tolerance of tiny data (1.5e-300 max|u|: 1.5e-304) shrank every
        // accepted step, and the call ended after 100000 substeps where the
        // same data scaled up pass.
        const double floor = std::max(std::min(kPiErrorFloor, tol * 0x1p-52), std::numeric_limits<double>::denorm_min());
        const double e = std::max({err, floor, norm * 2.220446049250313e-16});

        const bool accept = std::isfinite(err) && err <= tol;
        double fac;
        if (!accept) {
            fac = std::isfinite(err) ? pc.safety * std::pow(tol / e, pc.k_i) : pc.fac_min;
        } else if (err == 0.0) {
            // An exact step (e.g. a constant state) has nothing to control:
            // grow as fast as allowed, whatever the tolerance.
            fac = pc.fac_max;
            pc.err_prev = e;
        } else {
            fac = pc.safety * std::pow(tol / e, pc.k_i) * std::pow(pc.err_prev / e, pc.k_p);
            // Stored floored, as used: a zero here would zero every later factor.
            pc.err_prev = e;
        }
        const double lo = tau * pc.fac_min;
        const double hi = tau * pc.fac_max;
        h = tau * fac;
        if (!(h >= lo)) h = lo;  // also catches a NaN factor
        if (h > hi) h = hi;

        if (!accept) {
            rejected += 1;
            if (accepted + rejected >= pc.max_substeps) {
                return fail(CoreError::adaptive_step_rejected(h, err, accepted + rejected));
            }
            continue;
        }
        u.values = half2->values;
        walked = after_halves;
        elapsed += tau;
        if (t - elapsed <= t * 2.220446049250313e-16) break;
        accepted += 1;
        if (accepted + rejected >= pc.max_substeps) {
            return fail(CoreError::adaptive_step_rejected(h, err, accepted + rejected));
        }
    }
    if (range) *range = walked;
    return std::move(u.values);
}

template <class K>
double AdaptiveChernoff<K>::longest_read_step(const GridFn<double>& state, double refused) {
    if (!full) full = state;
    auto reads_within = [&](double tau) {
        const Status st = kernel.apply_into(state, *full, pool, tau);
        return st || st.error().variant() != CoreError::Variant::DomainViolation ||
               std::string_view(st.error().text()) != kReadTooFar;
    };
    // Non-negative doubles are ordered as their bit patterns.
    std::uint64_t lo = 0, hi = std::bit_cast<std::uint64_t>(refused);
    while (hi - lo > 1) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        (reads_within(std::bit_cast<double>(mid)) ? lo : hi) = mid;
    }
    return std::bit_cast<double>(lo);
}

template struct AdaptiveChernoff<DiffusionChernoff>;
template struct AdaptiveChernoff<Diffusion4thChernoff>;
template struct AdaptiveChernoff<Diffusion6thChernoff>;
template struct AdaptiveChernoff<DriftReactionChernoff>;
template struct AdaptiveChernoff<ShiftChernoff1D>;

Expected<AdaptiveEvolver> AdaptiveEvolver::build(KernelName name, GridFn<double> state, double tol_abs,
                                                 double tol_rel) {
    const Grid1D<double>& g = state.grid;
    const std::size_t n = g.n;
    const std::span<const double> u0 = state.values;
    switch (name) {
        case KernelName::Heat2: {
            auto k = AdaptiveChernoff<DiffusionChernoff>::make(DiffusionChernoff::unit(g), tol_abs, tol_rel);
            return AdaptiveEvolver{std::move(state), std::move(k), std::nullopt};
        }
        case KernelName::Heat4: {
            auto built = build_diffusion4th_state(n, 1, u0, g.boundary, g.xmin, g.xmax);
            if (!built) return fail(built.error());
            auto k = AdaptiveChernoff<Diffusion4thChernoff>::make(std::move(built->first.kernel), tol_abs, tol_rel);
            return AdaptiveEvolver{std::move(state), std::move(k), std::nullopt};
        }
        case KernelName::Heat6: {
            auto built = build_diffusion6th_state(n, 1, u0, g.boundary, g.xmin, g.xmax);
            if (!built) return fail(built.error());
            auto k = AdaptiveChernoff<Diffusion6thChernoff>::make(std::move(built->first.kernel), tol_abs, tol_rel);
            return AdaptiveEvolver{std::move(state), std::move(k), std::nullopt};
        }
        case KernelName::Drift: {
            auto built = build_drift_reaction_state(n, 1, u0, g.boundary, g.xmin, g.xmax, 0.5, 0.0);
            if (!built) return fail(built.error());
            auto k =
                AdaptiveChernoff<DriftReactionChernoff>::make(std::move(built->first.kernel), tol_abs, tol_rel);
            const Expected<FlowRange> range = read_range(state.grid, state.values);
            if (!range) return fail(range.error());
            return AdaptiveEvolver{std::move(state), std::move(k), *range};
        }
        case KernelName::Shift:
        default: {
            ShiftChernoff1D kernel{std::nullopt, g, coeff_half, coeff_zero, coeff_zero, 0.5, std::nullopt};
            auto k = AdaptiveChernoff<ShiftChernoff1D>::make(std::move(kernel), tol_abs, tol_rel);
            const Expected<FlowRange> range = read_range(state.grid, state.values);
            if (!range) return fail(range.error());
            return AdaptiveEvolver{std::move(state), std::move(k), *range};
        }
    }
}

Expected<AdaptiveEvolver> AdaptiveEvolver::with_arrays(GridFn<double> state, SharedCoeff a, SharedCoeff b,
                                                       SharedCoeff c, double c_norm_bound, double tol_abs,
                                                       double tol_rel) {
    ShiftChernoff1D kernel = ShiftChernoff1D::from_arrays(std::move(a), std::move(b), std::move(c), state.grid,
                                                          c_norm_bound);
    auto k = AdaptiveChernoff<ShiftChernoff1D>::make(std::move(kernel), tol_abs, tol_rel);
    const Expected<FlowRange> range = read_range(state.grid, state.values);
    if (!range) return fail(range.error());
    return AdaptiveEvolver{std::move(state), std::move(k), *range};
}

Expected<std::vector<double>> AdaptiveEvolver::integrate(double t) {
    FlowRange* walked = range ? &*range : nullptr;
    return std::visit([&](auto& k) { return k.integrate(state, t, walked); }, kernel);
}

double AdaptiveEvolver::longest_read_step(double refused) {
    return std::visit([&](auto& k) { return k.longest_read_step(state, refused); }, kernel);
}

}  // namespace quorvane
