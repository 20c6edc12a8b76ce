#include "core/tensor_train/tt_varcoef_spectral.hpp"

#include "core/foundation/error.hpp"

namespace quorvane {

PeriodicTridiag residual_operator(std::span<const double> a, std::span<const double> b, std::span<const double> v,
                                  double abar, double h) {
    const std::size_t m = a.size();
    const double h2 = h * h;
    const double two_h = h + h;
    PeriodicTridiag op{std::vector<double>(m), std::vector<double>(m), std::vector<double>(m)};
    for (std::size_t i = 0; i < m; ++i) {
        const double a_prev = a[i == 0 ? m - 1 : i - 1];
        const double a_next = a[i + 1 == m ? 0 : i + 1];
        const double am = (a[i] + a_prev) * 0.5;
        const double ap = (a[i] + a_next) * 0.5;
        const double vi = v.empty() ? 0.0 : v[i];
        op.sub[i] = (am / h2 - b[i] / two_h) - abar / h2;
        op.diag[i] = (abar + abar) / h2 + (vi - (am + ap) / h2);
        op.sup[i] = (b[i] / two_h + ap / h2) - abar / h2;
    }
    return op;
}

PeriodicTridiag axis_operator(std::span<const double> a, std::span<const double> b, double h) {
    const std::size_t m = a.size();
    const double h2 = h * h;
    const double two_h = h + h;
    PeriodicTridiag op{std::vector<double>(m), std::vector<double>(m), std::vector<double>(m)};
    for (std::size_t i = 0; i < m; ++i) {
        const double am = (a[i] + a[i == 0 ? m - 1 : i - 1]) * 0.5;
        const double ap = (a[i] + a[i + 1 == m ? 0 : i + 1]) * 0.5;
        op.sub[i] = am / h2 - b[i] / two_h;
        op.diag[i] = -((am + ap) / h2);
        op.sup[i] = b[i] / two_h + ap / h2;
    }
    return op;
}

namespace {

void apply_op(const PeriodicTridiag& op, std::span<const double> u, std::vector<double>& out) {
    const std::size_t n = u.size();
    if (op.diag.size() < n) internal_fault("periodic_tridiag_apply: fewer coefficients than values");
    for (std::size_t i = 0; i < n; ++i) {
        const double um = u[i == 0 ? n - 1 : i - 1];
        const double up = u[i + 1 == n ? 0 : i + 1];
        out[i] = (op.sub[i] * um + op.diag[i] * u[i]) + op.sup[i] * up;
    }
}

}  // namespace

void periodic_tridiag_apply(const PeriodicTridiag& op, std::span<double> u, double delta, std::vector<double>& r,
                            std::vector<double>& q) {
    const std::size_t n = u.size();
    r.assign(n, 0.0);
    q.assign(n, 0.0);
    apply_op(op, u, r);
    apply_op(op, r, q);
    const double half_d2 = delta * (delta * 0.5);
    for (std::size_t i = 0; i < n; ++i) u[i] = (u[i] + delta * r[i]) + half_d2 * q[i];
}

}  // namespace quorvane
