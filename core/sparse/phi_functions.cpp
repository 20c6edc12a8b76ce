#include "core/sparse/phi_functions.hpp"

#include <algorithm>
#include <cmath>

#include "core/foundation/grid_fn.hpp"
#include "core/foundation/stop.hpp"
#include "core/sparse/general_operator.hpp"

namespace quorvane {

namespace {

// A negative tau grows the data like e^{|tau| L}, which can leave the range.
constexpr const char* kPhiOverflow = "phi_action: phi_k(tau A) v overflows the double range";

// One augmented action from a zero-filled w: the start vector of index k,
// s sub-steps; the first n entries are then phi_k(tau A) v.
Status run_action(const NegLaplacianGenerator& gen, std::uint32_t k, std::span<const double> v, const ExpmvPlan& plan,
                  std::span<double> w, std::span<double> z, std::span<double> y, double tau) {
    const std::size_t n = v.size();
    std::fill(w.begin(), w.end(), 0.0);
    if (k == 0) std::copy(v.begin(), v.end(), w.begin());
    else w[n + k - 1] = 1.0;
    for (std::uint64_t i = 0; i < plan.s; ++i) {
        if (Status st = poll_stop(); !st) return st;
        augmented_taylor_step(gen, v, plan.s, plan.m, w, z, y, tau);
    }
    return {};
}

// eta = 2 (|tau| lambda_bar + ||v_scaled||_inf + 1).
double phi_eta(const NegLaplacianGenerator& gen, double tau, double scaled_norm) {
    return 2.0 * (std::fabs(tau) * gen.lap->spectral_bound + scaled_norm + 1.0);
}

}  // namespace

void NegLaplacianGenerator::apply(std::span<const double> x, std::span<double> y) const {
    lap->spmv(x, y);
    for (double& e : y) e = -e;
}

Expected<PhiPlan> phi_plan(const NegLaplacianGenerator& gen, double tau, std::span<const double> v) {
    double norm = 0.0;
    for (const double e : v) {
        if (std::isfinite(e)) norm = std::max(norm, std::fabs(e));
    }
    int scale_exp = 0;
    if (norm > 1.0) std::frexp(norm, &scale_exp);  // norm < 2^scale_exp
    const double scaled = std::ldexp(norm, -scale_exp);
    auto taylor = select_taylor_degree(phi_eta(gen, tau, scaled), tau, kPhiTooLarge);
    if (!taylor) return fail(taylor.error());
    return PhiPlan{*taylor, scale_exp};
}

Status phi_plans_fit(const NegLaplacianGenerator& gen, double tau, const char* too_large) {
    auto taylor = select_taylor_degree(phi_eta(gen, tau, 1.0), tau, too_large);
    if (!taylor) return fail(taylor.error());
    return {};
}

void augmented_taylor_step(const NegLaplacianGenerator& gen, std::span<const double> v, std::uint64_t s,
                           std::uint32_t m, std::span<double> w, std::span<double> z, std::span<double> y, double tau) {
    const std::size_t n = y.size();
    if (w.size() != z.size() || w.size() != n + PHI_MAX) internal_fault("augmented_taylor_step: buffer lengths");
    std::copy(w.begin(), w.end(), z.begin());
    for (std::uint32_t j = 1; j <= m; ++j) {
        gen.apply(z.first(n), y);
        const double c = z[n];
        const double d = static_cast<double>(s) * static_cast<double>(j);
        const double h = tau / d;
        const double r = 1.0 / d;
        for (std::size_t i = 0; i < n; ++i) z[i] = h * y[i] + c * (r * v[i]);
        z[n] = r * z[n + 1];
        z[n + 1] = r * z[n + 2];
        z[n + 2] = 0.0;
        for (std::size_t i = 0; i < w.size(); ++i) w[i] += z[i];
    }
}

namespace {

// Rows k = k_first..k_last of phi_k(tau A) v into out, one plan and one set
// of work buffers for all of them.
Status phi_rows(const NegLaplacianGenerator& gen, std::uint32_t k_first, std::uint32_t k_last,
                std::span<const double> v, std::span<double> out, ScratchPool<double>& pool, double tau) {
    const std::size_t n = v.size();
    if (k_last > PHI_MAX || n != gen.n() || out.size() != (k_last - k_first + 1) * n) {
        internal_fault("phi_action: argument lengths");
    }
    auto plan = phi_plan(gen, tau, v);
    if (!plan) return fail(plan.error());
    std::vector<double> w = pool.take(n + PHI_MAX);
    std::vector<double> z = pool.take(n + PHI_MAX);
    std::vector<double> y = pool.take(n);
    std::vector<double> vs = pool.take(n);
    for (std::size_t i = 0; i < n; ++i) vs[i] = std::ldexp(v[i], -plan->scale_exp);
    Status st;
    for (std::uint32_t k = k_first; k <= k_last && st; ++k) {
        st = run_action(gen, k, vs, plan->taylor, w, z, y, tau);
        if (!st) break;
        const std::span<double> row = out.subspan((k - k_first) * n, n);
        for (std::size_t i = 0; i < n; ++i) row[i] = std::ldexp(w[i], plan->scale_exp);
        if (const double* bad = first_non_finite<double>(row)) st = domain_error(kPhiOverflow, *bad);
    }
    pool.give_back(std::move(vs));
    pool.give_back(std::move(y));
    pool.give_back(std::move(z));
    pool.give_back(std::move(w));
    return st;
}

}  // namespace

Status phi_action_rows(const NegLaplacianGenerator& gen, std::uint32_t p, std::span<const double> v,
                       std::span<double> out, ScratchPool<double>& pool, double tau) {
    return phi_rows(gen, 0, p, v, out, pool, tau);
}

Status phi_action_expmv(const NegLaplacianGenerator& gen, std::uint32_t k, std::span<const double> v,
                        std::span<double> out, ScratchPool<double>& pool, double tau) {
    return phi_rows(gen, k, k, v, out, pool, tau);
}

}  // namespace quorvane
