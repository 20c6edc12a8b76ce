#include "core/sensitivity/magnus_graph_adjoint.hpp"

#include <cmath>
#include <utility>

#include "core/foundation/stop.hpp"

namespace quorvane {

void magnus4_adjoint_step(const Laplacian<double>& l1, const Laplacian<double>& l2, std::span<const double> x,
                          std::span<double> out, ScratchPool<double>& pool, double tau) {
    magnus4_step_kernel<double>(l1, l2, x, out, pool, tau, -1.0);
}

void varcoef_magnus4_adjoint_step(const Laplacian<double>& l1, std::span<const double> s1,
                                  const Laplacian<double>& l2, std::span<const double> s2,
                                  std::span<const double> x, std::span<double> out, ScratchPool<double>& pool,
                                  double tau) {
    varcoef_magnus4_step_kernel(l1, s1, l2, s2, x, out, pool, tau, -1.0);
}

Status magnus_graph_adjoint_step(const MagnusGraphHeatChernoff& step, std::span<const double> x,
                                 std::span<double> out, ScratchPool<double>& pool, double t, double tau) {
    return step.apply_into(x, out, pool, t, tau, -1.0);
}

Status varcoef_adjoint_roots(std::span<const double> a, std::span<double> r) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double v = std::sqrt(a[i]);
        if (!(std::isfinite(v) && v > 0.0)) return domain_error("VarCoef adjoint: a(t) not positive/finite", v);
        r[i] = v;
    }
    return {};
}

Expected<std::vector<double>> magnus_graph_adjoint_sweep(const MagnusGraphHeatChernoff& step,
                                                         std::vector<double> lambda, std::uint64_t n_steps,
                                                         double tau) {
    std::vector<double> next(lambda.size(), 0.0);
    ScratchPool<double> pool;
    for (std::uint64_t k = n_steps; k-- > 0;) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        const double t = tau * static_cast<double>(k);
        if (Status st = magnus_graph_adjoint_step(step, lambda, next, pool, t, tau); !st) return fail(st.error());
        std::swap(lambda, next);
    }
    return lambda;
}

Expected<std::vector<double>> varcoef_magnus_graph_adjoint_sweep(const VarCoefMagnusGraphHeatChernoff& step,
                                                                 std::vector<double> lambda, std::uint64_t n_steps,
                                                                 double tau) {
    if (Status st = step.check_step(tau); !st) return fail(st.error());
    const std::size_t n = lambda.size();
    std::vector<double> next(n, 0.0);
    ScratchPool<double> pool;
    for (std::uint64_t k = n_steps; k-- > 0;) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        const double t = tau * static_cast<double>(k);
        // The forward step's sample times, so the transpose pairs with it.
        const double s1 = tau * kGauss2C1 + t;
        const double s2 = tau * kGauss2C2 + t;
        Expected<SharedLaplacian> l1 = step.lap_at_t(s1);
        if (!l1) return fail(l1.error());
        Expected<SharedLaplacian> l2 = step.lap_at_t(s2);
        if (!l2) return fail(l2.error());
        Expected<std::vector<double>> a1 = step.a_at_t(s1);
        if (!a1) return fail(a1.error());
        Expected<std::vector<double>> a2 = step.a_at_t(s2);
        if (!a2) return fail(a2.error());
        if (a1->size() != n || a2->size() != n) {
            return domain_error("VarCoef adjoint: a(t).len() != n_nodes",
                                static_cast<double>(a1->size() != n ? a1->size() : a2->size()));
        }
        std::vector<double> r1 = pool.take(n), r2 = pool.take(n);
        Status roots = varcoef_adjoint_roots(*a1, r1);
        if (roots) roots = varcoef_adjoint_roots(*a2, r2);
        if (roots) varcoef_magnus4_adjoint_step(**l1, r1, **l2, r2, lambda, next, pool, tau);
        pool.give_back(std::move(r1));
        pool.give_back(std::move(r2));
        if (!roots) return fail(roots.error());
        std::swap(lambda, next);
    }
    return lambda;
}

}  // namespace quorvane
