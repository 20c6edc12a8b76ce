#include "core/bounded/killed_dirichlet.hpp"

#include <algorithm>
#include <cmath>

#include "core/foundation/numeric.hpp"

namespace quorvane {

Expected<std::vector<double>> solve_tridiagonal(const std::vector<double>& sub, const std::vector<double>& diag,
                                                const std::vector<double>& sup, const std::vector<double>& rhs) {
    const std::size_t n = diag.size();
    std::vector<double> cp(n, 0.0), dp(n, 0.0), x(n, 0.0);
    if (n == 0) return x;
    auto inverse = [](double p) -> Expected<double> {
        if (p == 0.0) return domain_error("mat_inv_m1: singular matrix (det=0)", 0.0);
        return 1.0 / p;
    };
    auto g = inverse(diag[0]);
    if (!g) return fail(g.error());
    if (n >= 2) cp[0] = *g * sup[0];
    dp[0] = *g * rhs[0];
    for (std::size_t i = 1; i < n; ++i) {
        g = inverse(diag[i] - sub[i - 1] * cp[i - 1]);
        if (!g) return fail(g.error());
        if (i + 1 < n) cp[i] = *g * sup[i];
        dp[i] = *g * (rhs[i] - sub[i - 1] * dp[i - 1]);
    }
    x[n - 1] = dp[n - 1];
    for (std::size_t i = n - 1; i-- > 0;) x[i] = dp[i] - x[i + 1] * cp[i];
    return x;
}

Status KilledDirichletChernoff::apply_into(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>&,
                                           double tau) const {
    if (!finite_nonneg(tau)) return domain_error("KilledDirichletChernoff: tau must be finite and >= 0", tau);
    const std::size_t n = grid.n;
    const double h = (grid.xmax - grid.xmin) / static_cast<double>(n - 1);
    const double theta = tau * 0.5;
    const double h2 = h * h;
    const double two_h = h + h;
    std::vector<double> sub(n, 0.0), diag(n, 1.0), sup(n, 0.0), rhs(n, 0.0);
    auto absorbs = [&](std::size_t i) { return std::binary_search(absorbing.begin(), absorbing.end(), i); };
    const std::vector<double>& u = src.values;
    for (std::size_t i = 0; i < n; ++i) {
        if (absorbs(i)) {
            diag[i] = 1.0;
            rhs[i] = u[i];
            continue;
        }
        const double x = grid.xmin + h * static_cast<double>(i);
        const double ai = (*a)(x);
        const double bi = (*b)(x);
        const bool left = i > 0 && !absorbs(i - 1);
        const bool right = i + 1 < n && !absorbs(i + 1);
        const double l = left ? ai / h2 - bi / two_h : 0.0;
        const double d = -2.0 * ai / h2;
        const double r = right ? ai / h2 + bi / two_h : 0.0;
        const double um = i > 0 ? u[i - 1] : 0.0;
        const double up = i + 1 < n ? u[i + 1] : 0.0;
        const double below = -theta * l, above = -theta * r;
        diag[i] = 1.0 - theta * d;
        rhs[i] = u[i] + theta * (l * um + d * u[i] + r * up);
        if (!std::isfinite(below) || !std::isfinite(above) || !std::isfinite(diag[i]) || !std::isfinite(rhs[i])) {
            // A step so long that theta times the row overflows: the row's
            // equation divided by theta, which has the same solution.
            if (left) sub[i - 1] = -l;
            diag[i] = 1.0 / theta - d;
            if (right) sup[i] = -r;
            rhs[i] = u[i] / theta + (l * um + d * u[i] + r * up);
            continue;
        }
        if (left) sub[i - 1] = below;
        if (right) sup[i] = above;
    }
    auto x = solve_tridiagonal(sub, diag, sup, rhs);
    if (!x) return fail(x.error());
    const std::size_t m = std::min(n, dst.values.size());
    std::copy(x->begin(), x->begin() + static_cast<std::ptrdiff_t>(m), dst.values.begin());
    return {};
}

}  // namespace quorvane
