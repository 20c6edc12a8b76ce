#include "core/bounded/howland.hpp"

#include <cmath>

#include "core/foundation/numeric.hpp"
#include "core/foundation/parallel1d.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

Expected<HowlandLift> HowlandLift::make(const Grid1D<double>& grid, std::size_t n_t, double t_horizon) {
    if (n_t < 2) return domain_error("HowlandLift: n_t must be >= 2", static_cast<double>(n_t));
    if (!(std::isfinite(t_horizon) && t_horizon > 0.0))
        return domain_error("HowlandLift: t_horizon must be finite and > 0", t_horizon);
    return HowlandLift{DiffusionChernoff::unit(grid), t_horizon, n_t, t_horizon / static_cast<double>(n_t - 1)};
}

Status HowlandLift::apply_into(const HowlandState& src, HowlandState& dst, ScratchPool<double>&, double tau) const {
    if (std::fabs(tau - delta_s) > delta_s * 2.220446049250313e-16)
        return domain_error("HowlandLift: tau must equal delta_s (matched-step requirement \u00a723.4)", tau);
    if (src.n_t != n_t || dst.n_t != n_t)
        return domain_error("HowlandLift: src/dst n_t must match HowlandLift n_t", static_cast<double>(src.n_t));
    for (double& v : dst.slices[0].values) v = 0.0;
    for (std::size_t k = 0; k + 1 < n_t; ++k) {
        if (Status st = par_apply_pointwise(dst.slices[k + 1], inner, src.slices[k], delta_s); !st) return st;
    }
    return {};
}

Expected<HowlandState> HowlandLift::evolve(const HowlandState& state) const {
    const std::size_t steps = n_t - 1;
    const double total = delta_s * static_cast<double>(steps);
    if (!finite_nonneg(total)) return domain_error("t must be finite and >= 0", total);
    const double tau = total / static_cast<double>(steps);
    HowlandState a = state;
    HowlandState b = state;
    for (GridFn<double>& s : b.slices)
        for (double& v : s.values) v = 0.0;
    ScratchPool<double> pool;
    for (std::size_t k = 0; k < steps; ++k) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        if (Status st = apply_into(a, b, pool, tau); !st) return fail(st.error());
        std::swap(a, b);
    }
    return a;
}

std::optional<std::uint64_t> howland_stack_values(std::uint64_t n_t, std::uint64_t n) {
    std::uint64_t r = 0;
    if (__builtin_mul_overflow(n_t, n, &r)) return std::nullopt;
    return r;
}

}  // namespace quorvane
