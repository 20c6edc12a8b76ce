#include "core/graph/graph_var_coef.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/foundation/numeric.hpp"

namespace quorvane {

template <class F>
Expected<VarCoefGraphHeatChernoff<F>> VarCoefGraphHeatChernoff<F>::make(const Graph<F>& g, std::vector<F> a,
                                                                         F rho_bar) {
    if (a.size() != g.n_nodes) {
        return domain_error("VarCoefGraphHeatChernoff: a.len() != graph.n_nodes()", static_cast<double>(a.size()));
    }
    F a_max = F(0);
    for (const F v : a) {
        if (v > a_max) a_max = v;
    }
    const F floor = F(1e-12) * a_max;
    for (const F v : a) {
        if (!std::isfinite(v) || v < floor) {
            return domain_error("VarCoefGraphHeatChernoff: a[i] must be finite and >= 1e-12 * max(a)",
                                static_cast<double>(v));
        }
    }
    if (!std::isfinite(rho_bar) || !(rho_bar > F(0))) {
        return domain_error("VarCoefGraphHeatChernoff: rho_bar must be finite and > 0", static_cast<double>(rho_bar));
    }
    VarCoefGraphHeatChernoff k;
    k.laplacian = std::make_shared<const Laplacian<F>>(Laplacian<F>::from_graph(g, LaplacianKind::Combinatorial));
    k.sqrt_a.resize(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) k.sqrt_a[i] = std::sqrt(a[i]);
    k.a = std::move(a);
    k.rho_bar = rho_bar;
    return k;
}

template <class F>
Status VarCoefGraphHeatChernoff<F>::apply_into(std::span<const F> src, std::span<F> dst, ScratchPool<F>& pool,
                                               F tau) const {
    if (!finite_nonneg(static_cast<double>(tau))) {
        return domain_error("VarCoefGraphHeatChernoff: tau must be finite and >= 0", static_cast<double>(tau));
    }
    F a_max = F(0);
    for (const F v : a) {
        if (v > a_max) a_max = v;
    }
    if (a_max * (tau * rho_bar) > F(0.5)) {
        // The shared CFL text states 2 tau ||a|| < dx^2: with dx^2 read as
        // 1/rho_bar and ||a|| as max(a) it states this gate.
        return fail(CoreError::cfl_violated(static_cast<double>(tau), 1.0 / static_cast<double>(rho_bar),
                                            static_cast<double>(a_max)));
    }
    const std::size_t n = src.size();
    std::vector<F> s0 = pool.take(n);
    std::vector<F> s1 = pool.take(n);
    std::vector<F> s2 = pool.take(n);
    std::vector<F> s3 = pool.take(n);
    for (std::size_t i = 0; i < n; ++i) s0[i] = sqrt_a[i] * src[i];
    laplacian->spmv(s0, s1);
    for (std::size_t i = 0; i < n; ++i) s2[i] = sqrt_a[i] * s1[i];
    if (dst.size() != n) internal_fault("VarCoefGraphHeatChernoff: destination length mismatch");
    const F half_tau2 = (tau * tau) * F(0.5);
    auto finite = [](std::span<const F> v) { return all_finite(v); };
    // The nested form f - tau L_a (f - (tau/2) L_a f), the same polynomial
    // with no power of tau and intermediates near a rho max|f| instead of
    // (a rho)^2 max|f|; s2 holds L_a f on entry.
    auto nested = [&](std::span<const F> f) {
        const F half_tau = tau * F(0.5);
        for (std::size_t i = 0; i < n; ++i) s3[i] = f[i] - half_tau * s2[i];
        apply_var_coef_laplacian<F>(*laplacian, sqrt_a, s3, s2, s0, s1);
        for (std::size_t i = 0; i < n; ++i) dst[i] = f[i] - tau * s2[i];
    };
    if (std::isfinite(half_tau2)) {
        apply_var_coef_laplacian<F>(*laplacian, sqrt_a, s2, s3, s0, s1);
        std::copy(src.begin(), src.end(), dst.begin());
        for (std::size_t i = 0; i < n; ++i) dst[i] -= tau * s2[i];
        for (std::size_t i = 0; i < n; ++i) dst[i] += half_tau2 * s3[i];
        if (!finite(dst) && finite(src)) {
            // L_a^2 f overflowed (large a, weights or data) where the stable
            // step is bounded by max|f|: the nested form on f scaled by a
            // power of two to unit size (exact), scaled back.
            const int e = unit_scale_exponent(src);
            std::vector<F> unit = pool.take(n);
            std::copy(src.begin(), src.end(), unit.begin());
            scale_by_power_of_two(std::span<F>(unit), -e);
            apply_var_coef_laplacian<F>(*laplacian, sqrt_a, unit, s2, s0, s1);
            nested(unit);
            scale_by_power_of_two(dst, e);
            pool.give_back(std::move(unit));
        }
    } else {
        // tau^2 overflows (a or rho_bar so small that the gate admits any
        // step): the nested form gives f where L_a f vanishes instead of
        // inf * 0.
        nested(src);
    }
    pool.give_back(std::move(s0));
    pool.give_back(std::move(s1));
    pool.give_back(std::move(s2));
    pool.give_back(std::move(s3));
    return {};
}

template struct VarCoefGraphHeatChernoff<double>;
template struct VarCoefGraphHeatChernoff<float>;

}  // namespace quorvane
