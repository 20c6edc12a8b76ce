#include "core/tensor_train/tt_varcoef.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <span>

#include "core/foundation/stop.hpp"
#include "core/tensor_train/tt_drift_spectral.hpp"
#include "core/tensor_train/tt_varcoef_spectral.hpp"

namespace quorvane {

Expected<VarCoefTt> VarCoefTt::make(std::vector<std::vector<double>> a_axis, std::vector<std::vector<double>> b_axis,
                                    std::vector<std::vector<double>> v_axis,
                                    std::vector<std::pair<double, double>> domain, double eps_round) {
    const std::size_t d = a_axis.size();
    if (d == 0) return fail(CoreError::var_coef_out_of_class("d must be >= 1"));
    if (b_axis.size() != d || v_axis.size() != d || domain.size() != d) {
        return fail(CoreError::var_coef_out_of_class("a_axis, b_axis, v_axis, domain must all have length d"));
    }
    for (std::size_t j = 0; j < d; ++j) {
        const std::size_t n = a_axis[j].size();
        if (n < 2) return fail(CoreError::var_coef_out_of_class("n_j must be >= 2"));
        if (b_axis[j].size() != n) {
            return fail(CoreError::var_coef_out_of_class("b_axis[j] length must equal a_axis[j] length"));
        }
        if (!v_axis[j].empty() && v_axis[j].size() != n) {
            return fail(CoreError::var_coef_out_of_class("v_axis[j] length must equal a_axis[j] length or be empty"));
        }
        for (double a : a_axis[j]) {
            if (!(a > 0.0)) return fail(CoreError::var_coef_out_of_class("a_axis[j][i] must be > 0 (parabolicity)"));
        }
    }
    return VarCoefTt{std::move(a_axis), std::move(b_axis), std::move(v_axis), std::move(domain), eps_round};
}

double VarCoefTt::spacing(std::size_t j) const {
    const std::size_t n = a_axis[j].size();
    return n >= 2 ? (domain[j].second - domain[j].first) / (static_cast<double>(n) - 1.0) : 1.0;
}

namespace {

double mean_of(const std::vector<double>& a, std::size_t n) {
    double sum = 0.0;
    for (double x : a) sum += x;
    return sum / static_cast<double>(n);
}

}  // namespace

Status VarCoefTt::apply_axis(TtCore& core, std::size_t j, double dt) const {
    if (core.r_left == 0 || core.r_right == 0) return {};
    const std::size_t n = core.n;
    if (n != a_axis[j].size()) internal_fault("VarCoefTt::apply_axis: mode size differs from the coefficient samples");
    const double h = spacing(j);
    const double abar = mean_of(a_axis[j], n);
    const PeriodicTridiag op = residual_operator(a_axis[j], b_axis[j], v_axis[j], abar, h);
    SpectralHeatStep spectral(n, h, abar, dt);
    const double delta = dt * 0.5;
    std::vector<double> fibre(n), r, q;
    const std::size_t rr = core.r_right;
    for (std::size_t a = 0; a < core.r_left; ++a) {
        for (std::size_t b = 0; b < rr; ++b) {
            for (std::size_t i = 0; i < n; ++i) fibre[i] = core.data[(a * n + i) * rr + b];
            periodic_tridiag_apply(op, fibre, delta, r, q);
            if (Status st = spectral.apply(fibre); !st) return st;
            periodic_tridiag_apply(op, fibre, delta, r, q);
            for (std::size_t i = 0; i < n; ++i) core.data[(a * n + i) * rr + b] = fibre[i];
        }
    }
    return {};
}

namespace {

// Does one axis step of length dt amplify some frozen-coefficient mode
// beyond exp(dt max(v, 0))? The n symbols of a frequency are spent from
// `budget`.
Expected<bool> axis_amplifies(const std::vector<double>& a, const std::vector<double>& b, const std::vector<double>& v,
                              double h, double dt, PollBudget& budget) {
    const std::size_t n = a.size();
    const double abar = mean_of(a, n);
    double v_max = 0.0;
    for (double x : v) v_max = std::max(v_max, x);
    // A relative margin absorbs the rounding of abar against constant samples.
    const double bound = std::exp(dt * v_max) * (1.0 + 1e-12);
    const double delta = dt * 0.5;
    for (std::size_t k = 0; k < n; ++k) {
        if (Status st = budget.spend(n); !st) return fail(st.error());
        const double theta = (static_cast<double>(k) * (2.0 * std::numbers::pi)) / static_cast<double>(n);
        const double lambda = (2.0 * std::cos(theta) - 2.0) / (h * h);
        const double mu = std::sin(theta) / h;
        const double damping = std::exp(dt * (abar * lambda));
        for (std::size_t i = 0; i < n; ++i) {
            const double vi = v.empty() ? 0.0 : v[i];
            const std::complex<double> z = delta * std::complex<double>((a[i] - abar) * lambda + vi, b[i] * mu);
            const double taylor = std::abs(1.0 + z + z * z * 0.5);
            if (taylor * taylor * damping > bound) return true;
        }
    }
    return false;
}

}  // namespace

Expected<std::optional<double>> VarCoefTt::amplifying_step(double tau) const {
    const std::size_t d = ndim();
    PollBudget budget(std::uint64_t{1} << 20);
    auto amplifies = [&](double t) -> Expected<bool> {
        for (std::size_t j = 0; j < d; ++j) {
            // The last axis takes one step of tau, the others two of tau/2.
            const double dt = j + 1 == d ? t : t * 0.5;
            Expected<bool> hit = axis_amplifies(a_axis[j], b_axis[j], v_axis[j], spacing(j), dt, budget);
            if (!hit || *hit) return hit;
        }
        return false;
    };
    Expected<bool> at_tau = amplifies(tau);
    if (!at_tau) return fail(at_tau.error());
    if (!*at_tau) return std::optional<double>{};
    double lo = 0.0, hi = tau;
    for (int it = 0; it < 60; ++it) {
        const double mid = 0.5 * (lo + hi);
        Expected<bool> at_mid = amplifies(mid);
        if (!at_mid) return fail(at_mid.error());
        (*at_mid ? hi : lo) = mid;
    }
    return std::optional<double>{lo};
}

Status VarCoefTt::evolve(std::vector<TtCore>& cores, double t_final, std::size_t n_steps) const {
    const std::size_t d = ndim();
    if (cores.size() != d) internal_fault("VarCoefTt::evolve: one core per axis expected");
    const double tau = t_final / static_cast<double>(n_steps);
    const double tau_half = tau * 0.5;
    for (std::size_t step = 0; step < n_steps; ++step) {
        if (Status st = poll_stop(); !st) return st;
        for (std::size_t j = 0; j < d; ++j) {
            if (Status st = apply_axis(cores[j], j, j + 1 == d ? tau : tau_half); !st) return st;
        }
        for (std::size_t j = d - 1; j-- > 0;) {
            if (Status st = apply_axis(cores[j], j, tau_half); !st) return st;
        }
        if (Status st = TtState::round(cores, eps_round); !st) return st;
    }
    return {};
}

}  // namespace quorvane
