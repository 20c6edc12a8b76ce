#include "core/line/diffusion_expmv.hpp"

#include <cmath>
#include <vector>

#include "core/foundation/numeric.hpp"

namespace quorvane {

std::optional<ExpmvPlan> expmv_cheapest(double x, std::uint32_t max_degree) {
    bool kept = false;
    std::uint32_t best_m = 0;
    std::uint64_t best_s = 0;
    std::uint64_t best_cost = 0;
    for (const ExpmvTheta& row : kExpmvThetaTable) {
        if (row.m > max_degree) break;
        const double r = std::ceil(x / row.theta);
        if (r > 1e14) continue;
        const std::uint64_t s = r < 1.0 ? 1 : saturating_cast<std::uint32_t>(r);
        const std::uint64_t cost = static_cast<std::uint64_t>(row.m) * s;
        // Strictly cheaper only: ties keep the earlier, smaller degree.
        if (!kept || cost < best_cost) {
            kept = true;
            best_m = row.m;
            best_s = s;
            best_cost = cost;
        }
    }
    if (!kept) return std::nullopt;
    return ExpmvPlan{best_m, best_s};
}

Expected<ExpmvPlan> expmv_plan(double x, double tau, const char* too_large) {
    // A NaN bound would slip through every comparison below as s = 0.
    if (std::isnan(x)) return domain_error("DiffusionExpmvChernoff: tau * op_norm_bound is NaN", x);
    const std::optional<ExpmvPlan> plan = expmv_cheapest(x, kExpmvMaxDegree);
    // No admissible pair (tau * rho beyond 3.54e14), or one whose sub-step
    // count is clipped to 32 bits (so each piece would leave the Taylor
    // polynomial's accurate range), or simply one that would run for hours:
    // refuse rather than return an inaccurate or overflowing series.
    if (!plan || static_cast<std::uint64_t>(plan->m) * plan->s > kExpmvMaxApplications) {
        return domain_error(too_large, tau);
    }
    return *plan;
}

DiffusionExpmvChernoff DiffusionExpmvChernoff::unit(const Grid1D<double>& grid) {
    const double dx = grid.dx();
    return {CoeffSource::unit(), grid, 4.0 / (dx * dx)};
}

void DiffusionExpmvChernoff::apply_operator(std::span<const double> b, std::span<double> w) const {
    const double dx = grid.dx();
    const double half = 0.5 * dx;
    const std::size_t n = b.size();
    for (std::size_t i = 0; i < n; ++i) {
        const double x = grid.xmin + static_cast<double>(i) * dx;
        const double a_plus = coef.eval_a(half + x);
        const double a_minus = coef.eval_a(x - half);
        const double right = i + 1 < n ? b[i + 1] : b[n - 1];
        const double left = i > 0 ? b[i - 1] : b[0];
        w[i] = (a_plus * (right - b[i]) - a_minus * (b[i] - left)) / (dx * dx);
    }
}

Status DiffusionExpmvChernoff::apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>& pool,
                                          double tau) const {
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and >= 0", tau);
    const std::size_t n = in.values.size();
    if (n < 3) return domain_error("expmv requires >= 3 grid points", static_cast<double>(n));
    if (tau == 0.0) {
        out.values = in.values;
        return {};
    }
    auto plan = expmv_plan(tau * op_norm_bound, tau);
    if (!plan) return fail(plan.error());
    const auto [m, s] = *plan;

    std::vector<double> f = pool.take(n);
    std::copy(in.values.begin(), in.values.end(), f.begin());
    std::vector<double> b = pool.take(n);
    std::vector<double> w = pool.take(n);
    const double h = tau / static_cast<double>(s);
    for (std::uint64_t piece = 0; piece < s; ++piece) {
        b = f;
        // b runs through (hA)^k/k! F_start and each term is added to F; no
        // early stop, so every piece costs exactly m applications.
        for (std::uint32_t k = 1; k <= m; ++k) {
            apply_operator(b, w);
            const double hk = h / static_cast<double>(k);
            for (std::size_t i = 0; i < n; ++i) b[i] = hk * w[i];
            for (std::size_t i = 0; i < n; ++i) f[i] = b[i] + f[i];
        }
    }
    if (const double* bad = first_non_finite<double>(f)) return domain_error(kExpmvNotFiniteMessage, *bad);
    out.values.assign(f.begin(), f.end());
    pool.give_back(std::move(f));
    pool.give_back(std::move(b));
    pool.give_back(std::move(w));
    return {};
}

}  // namespace quorvane
