#include "core/sensitivity/heat1d_greeks.hpp"

#include <cmath>

#include "core/foundation/dual.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"
#include "core/line/diffusion.hpp"

namespace quorvane {

Expected<HeatGreeks> heat1d_greeks(const Grid1D<double>& grid, std::span<const double> values,
                                   std::uint64_t n_chernoff, double theta, double t) {
    if (!finite_nonneg(t)) return domain_error("t must be finite and >= 0", t);
    auto g2 = Grid1D<Dual2>::make(BoundaryPolicy<Dual2>::of(BoundaryTag::Reflect), InterpKind::septic(),
                                  Dual2(grid.xmin), Dual2(grid.xmax), grid.n, kCubicNMessage);
    if (!g2) return fail(g2.error());
    std::vector<Dual2> u(values.size());
    for (std::size_t i = 0; i < u.size(); ++i) u[i] = Dual2(values[i]);
    auto state = GridFn<Dual2>::make(*g2, std::move(u));
    if (!state) return fail(state.error());
    const double tau = t / static_cast<double>(n_chernoff);
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and >= 0", tau);
    // Every node would refuse a negative theta; the first reports it.
    if (!finite_nonneg(theta)) return domain_error(kEllipticityMessage, grid.xmin);
    if (t > 0.0 && theta > 0.0 && !(tau * theta > 0.0)) {
        // tau theta rounds to 0, where the root's derivatives are 0/0. Steps
        // this short are linear in t to far below the doubles' resolution:
        // taken at t 2^k, the least with tau theta normal (the derivatives
        // grow like tau/theta), and scaled back.
        const int k = -1020 - std::ilogb(t) + std::ilogb(static_cast<double>(n_chernoff)) - std::ilogb(theta) + 1;
        Expected<HeatGreeks> wide = heat1d_greeks(grid, values, n_chernoff, theta, std::ldexp(t, k));
        if (!wide) return wide;
        for (std::size_t i = 0; i < values.size(); ++i) {
            wide->value[i] = values[i] + std::ldexp(wide->value[i] - values[i], -k);
            wide->delta[i] = std::ldexp(wide->delta[i], -k);
            wide->gamma[i] = std::ldexp(wide->gamma[i], -k);
        }
        return wide;
    }

    const std::size_t n = values.size();
    HeatGreeks r{std::vector<double>(values.begin(), values.end()), std::vector<double>(n, 0.0),
                 std::vector<double>(n, 0.0)};
    if (t == 0.0) return r;
    if (theta == 0.0) {
        return domain_error("scale_theta must be > 0 for t > 0 (the theta-derivatives of sqrt(tau*theta) are "
                            "unbounded at theta = 0)",
                            theta);
    }

    const DualDiffusionChernoff<Dual2> kernel{
        DualCoeffSource<Dual2>::constant(Dual2(Dual1(theta, 1.0), Dual1(1.0, 0.0))), *g2, theta};
    std::vector<Dual2> cur = std::move(state->values);
    for (std::uint64_t s = 0; s < n_chernoff; ++s) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        auto next = diffusion_step_serial<Dual2>(kernel, cur, Dual2(tau));
        if (!next) return fail(next.error());
        cur = std::move(*next);
    }
    for (std::size_t i = 0; i < n; ++i) {
        r.value[i] = cur[i].v.v;
        r.delta[i] = cur[i].d.v;
        r.gamma[i] = cur[i].d.d;
        // tau * theta can underflow where both are positive; its root's
        // derivatives then overflow.
        for (double x : {r.value[i], r.delta[i], r.gamma[i]}) {
            if (!std::isfinite(x)) return domain_error("greeks: value, delta or gamma not finite", x);
        }
    }
    return r;
}

}  // namespace quorvane
