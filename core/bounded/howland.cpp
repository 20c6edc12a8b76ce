#include "core/bounded/howland.hpp"

#include <cmath>

#include "core/foundation/numeric.hpp"
#include "core/foundation/parallel1d.hpp"
#include "core/foundation/parallel_phases.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

Expected<HowlandLift> HowlandLift::make(const Grid1D<double>& grid, std::size_t n_t, double t_horizon) {
    if (n_t < 2) return domain_error("HowlandLift: n_t must be >= 2", static_cast<double>(n_t));
    if (!(std::isfinite(t_horizon) && t_horizon > 0.0))
        return domain_error("HowlandLift: t_horizon must be finite and > 0", t_horizon);
    return HowlandLift{DiffusionChernoff::unit(grid), t_horizon, n_t, t_horizon / static_cast<double>(n_t - 1)};
}

namespace {

// The checks of a lifted step: a step of exactly delta_s, on states of the
// lift's n_t slices (`n_t_seen` is the count the message shows).
Status check_lifted_step(double tau, double delta_s, bool slices_match, std::size_t n_t_seen) {
    if (std::fabs(tau - delta_s) > delta_s * 2.220446049250313e-16)
        return domain_error("HowlandLift: tau must equal delta_s (matched-step requirement \u00a723.4)", tau);
    if (!slices_match)
        return domain_error("HowlandLift: src/dst n_t must match HowlandLift n_t", static_cast<double>(n_t_seen));
    return {};
}

}  // namespace

Status HowlandLift::apply_into(const HowlandState& src, HowlandState& dst, ScratchPool<double>&, double tau) const {
    if (Status st = check_lifted_step(tau, delta_s, src.n_t == n_t && dst.n_t == n_t, src.n_t); !st) return st;
    for (double& v : dst.slices[0].values) v = 0.0;
    // A lifted step is n_t heat steps: with 10^5 slices it alone takes
    // seconds, so a stop request is looked at between the slices.
    for (std::size_t k = 0; k + 1 < n_t; ++k) {
        if (Status st = poll_stop(); !st) return st;
        if (Status st = par_apply_pointwise(dst.slices[k + 1], inner, src.slices[k], delta_s); !st) return st;
    }
    return {};
}

Expected<HowlandState> HowlandLift::evolve(const HowlandState& state) const {
    const std::size_t steps = n_t - 1;
    const double total = delta_s * static_cast<double>(steps);
    if (!finite_nonneg(total)) return domain_error("t must be finite and >= 0", total);
    const double tau = total / static_cast<double>(steps);
    // The checks of every lifted step, which do not change from step to step.
    if (Status st = check_lifted_step(tau, delta_s, state.n_t == n_t && state.slices.size() == n_t, state.n_t); !st)
        return fail(st.error());
    HowlandState buffers[2] = {state, state};
    for (GridFn<double>& s : buffers[1].slices)
        for (double& v : s.values) v = 0.0;
    // Every slice is a line of the same grid stepped by the same kernel: one
    // plan per worker serves every slice of every lifted step.
    const std::size_t n = inner.grid.n;
    const std::size_t workers = sweep_worker_count(steps * n, steps, steps);
    Heat2Steps heat = inner.node_steps(state.slices[0].grid, delta_s, workers, 2);
    Status st = run_phases(steps, workers, [&](std::size_t k, std::size_t w, PhaseControl& control) -> Status {
        const HowlandState& src = buffers[k % 2];
        HowlandState& dst = buffers[(k + 1) % 2];
        if (w == 0)
            for (double& v : dst.slices[0].values) v = 0.0;
        const WorkShare share = share_of(steps, workers, w);
        for (std::size_t s = share.begin; s < share.end; ++s) {
            if (!control.keep_going()) return {};
            if (src.slices[s].values.size() != n) internal_fault("HowlandLift::evolve: slice of the wrong length");
            dst.slices[s + 1].values.resize(n);
            if (Status r = heat.step(src.slices[s], dst.slices[s + 1], 0, n, w); !r) return r;
        }
        return {};
    });
    if (!st) return fail(st.error());
    return std::move(buffers[steps % 2]);
}

std::optional<std::uint64_t> howland_stack_values(std::uint64_t n_t, std::uint64_t n) {
    std::uint64_t r = 0;
    if (__builtin_mul_overflow(n_t, n, &r)) return std::nullopt;
    return r;
}

}  // namespace quorvane
