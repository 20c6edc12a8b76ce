#include "core/line/diffusion_expmv.hpp"

#include <algorithm>
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

bool expmv_step_fits(const DiffusionExpmvChernoff& kernel, double tau) {
    return tau == 0.0 || expmv_plan(tau * kernel.op_norm_bound, tau).has_value();
}

DiffusionExpmvChernoff DiffusionExpmvChernoff::unit(const Grid1D<double>& grid) {
    const double dx = grid.dx();
    return {CoeffSource::unit(), grid, 4.0 / (dx * dx)};
}

double DiffusionExpmvChernoff::operator_at(std::span<const double> b, std::size_t i) const {
    const double dx = grid.dx();
    const double half = 0.5 * dx;
    const std::size_t n = b.size();
    const double x = grid.xmin + static_cast<double>(i) * dx;
    const double a_plus = coef.eval_a(half + x);
    const double a_minus = coef.eval_a(x - half);
    const double right = i + 1 < n ? b[i + 1] : b[n - 1];
    const double left = i > 0 ? b[i - 1] : b[0];
    return (a_plus * (right - b[i]) - a_minus * (b[i] - left)) / (dx * dx);
}

void DiffusionExpmvChernoff::apply_operator(std::span<const double> b, std::span<double> w) const {
    for (std::size_t i = 0; i < b.size(); ++i) w[i] = operator_at(b, i);
}

ExpmvSteps::ExpmvSteps(const DiffusionExpmvChernoff& kernel, double tau, std::size_t shares)
    : kernel_(&kernel), tau_(tau), shares_(std::max<std::size_t>(shares, 1)) {
    if (tau == 0.0) return;
    auto plan = expmv_plan(tau * kernel.op_norm_bound, tau);
    if (!plan) {
        refusal_ = fail(plan.error());
        return;
    }
    m_ = plan->m;
    s_ = plan->s;
    // m s <= kExpmvMaxApplications: it fits.
    sweeps_ = static_cast<std::size_t>(static_cast<std::uint64_t>(m_) * s_);
}

void ExpmvSteps::prepare(std::size_t n) {
    if (n < 3) {
        refusal_ = domain_error("expmv requires >= 3 grid points", static_cast<double>(n));
        sweeps_ = 1;
    }
    if (!refusal_ || tau_ == 0.0) return;
    f_.assign(n, 0.0);
    b_[0].assign(n, 0.0);
    b_[1].assign(n, 0.0);
    // A coefficient that is a plain function or a constant is sampled once
    // for the call (the same points every application); shared closures,
    // which may call back into the caller, keep their calls per application.
    const CoeffSource& coef = kernel_->coef;
    if (coef.tag == CoeffSource::Tag::Shared) return;
    const double dx = kernel_->grid.dx();
    const double half = 0.5 * dx;
    a_plus_.resize(n);
    a_minus_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double x = kernel_->grid.xmin + static_cast<double>(i) * dx;
        a_plus_[i] = coef.eval_a(half + x);
        a_minus_[i] = coef.eval_a(x - half);
    }
}

Status ExpmvSteps::non_finite() const {
    for (const Share& sh : shares_) {
        if (sh.bad) return domain_error(kExpmvNotFiniteMessage, *sh.bad);
    }
    return {};
}

Status ExpmvSteps::phase(std::size_t p, const GridFn<double>& src, GridFn<double>& dst, std::size_t begin,
                         std::size_t end, std::size_t share) {
    if (p == 0) {
        if (!refusal_) return refusal_;
        // The previous step's result, complete since the last barrier.
        if (Status st = non_finite(); !st) return st;
    }
    if (tau_ == 0.0) {
        std::copy(src.values.begin() + begin, src.values.begin() + end, dst.values.begin() + begin);
        return {};
    }
    // Sweep p is term k of piece p / m: b_out = (h/k) A b_in, f += b_out.
    // b_in is the input (first sweep), the previous sweep's b_out, or the
    // previous piece's f copied into it by that piece's last sweep.
    const std::uint32_t k = static_cast<std::uint32_t>(p % m_) + 1;
    const std::span<const double> b_in = p == 0 ? std::span<const double>(src.values) : b_[(p - 1) % 2];
    std::vector<double>& b_out = b_[p % 2];
    if (p == 0) std::copy(src.values.begin() + begin, src.values.begin() + end, f_.begin() + begin);
    const double h = tau_ / static_cast<double>(s_);
    const double hk = h / static_cast<double>(k);
    if (a_plus_.empty()) {
        for (std::size_t i = begin; i < end; ++i) {
            b_out[i] = hk * kernel_->operator_at(b_in, i);
            f_[i] = b_out[i] + f_[i];
        }
    } else {
        // operator_at with the coefficient's samples taken once per call.
        const double dx = kernel_->grid.dx();
        const double dx2 = dx * dx;
        const std::size_t n = b_in.size();
        const double* b = b_in.data();
        const double* ap = a_plus_.data();
        const double* am = a_minus_.data();
        double* bo = b_out.data();
        double* f = f_.data();
        auto node = [&](std::size_t i, double right, double left) {
            bo[i] = hk * ((ap[i] * (right - b[i]) - am[i] * (b[i] - left)) / dx2);
            f[i] = bo[i] + f[i];
        };
        const std::size_t lo = std::max<std::size_t>(begin, 1), hi = std::min(end, n - 1);
        if (begin == 0) node(0, b[1], b[0]);
        for (std::size_t i = lo; i < hi; ++i) node(i, b[i + 1], b[i - 1]);
        if (end == n) node(n - 1, b[n - 1], b[n - 2]);
    }
    if (k < m_) return {};
    if (p + 1 < sweeps_) {
        std::copy(f_.begin() + begin, f_.begin() + end, b_out.begin() + begin);
        return {};
    }
    const double* bad = first_non_finite<double>(std::span<const double>(f_).subspan(begin, end - begin));
    shares_[share].bad = bad ? std::optional<double>(*bad) : std::nullopt;
    std::copy(f_.begin() + begin, f_.begin() + end, dst.values.begin() + begin);
    return {};
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
