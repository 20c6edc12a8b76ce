#include "core/line/heat_stability/lanczos.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/foundation/stop.hpp"

namespace quorvane::heat_judgement {

double tridiagonal_top(const std::vector<double>& alpha, const std::vector<double>& beta, std::vector<double>* vector) {
    const std::size_t m = alpha.size();
    double bound = 0.0;
    for (std::size_t k = 0; k < m; ++k) {
        bound = std::max(bound, std::fabs(alpha[k]) + (k > 0 ? beta[k - 1] : 0.0) + (k + 1 < m ? beta[k] : 0.0));
    }
    auto below = [&](double x) {  // eigenvalues below x
        std::size_t count = 0;
        double d = 1.0;
        for (std::size_t k = 0; k < m; ++k) {
            d = alpha[k] - x - (k > 0 ? beta[k - 1] * beta[k - 1] / d : 0.0);
            if (d == 0.0) d = -1e-300;
            if (d < 0.0) ++count;
        }
        return count;
    };
    double lo = -bound, hi = bound;
    for (int it = 0; it < 200 && hi - lo > 1e-15 * bound; ++it) {
        const double mid = 0.5 * (lo + hi);
        if (below(mid) == m) hi = mid;
        else lo = mid;
    }
    if (vector) {
        // Two sweeps of inverse iteration with the shift just above the
        // eigenvalue (Thomas algorithm on T - shift I).
        const double shift = hi + 1e-10 * std::max(bound, 1e-300);
        std::vector<double> y(m, 1.0), c(m), d(m);
        for (int sweep = 0; sweep < 3; ++sweep) {
            for (std::size_t k = 0; k < m; ++k) {
                const double off = k > 0 ? beta[k - 1] : 0.0;
                double piv = alpha[k] - shift - (k > 0 ? off * c[k - 1] : 0.0);
                if (piv == 0.0) piv = -1e-300;
                c[k] = k + 1 < m ? beta[k] / piv : 0.0;
                d[k] = (y[k] - (k > 0 ? off * d[k - 1] : 0.0)) / piv;
            }
            for (std::size_t k = m; k-- > 0;) y[k] = d[k] - (k + 1 < m ? c[k] * y[k + 1] : 0.0);
            double s = 0.0;
            for (double v : y) s += v * v;
            s = std::sqrt(s);
            if (!(s > 0.0) || !std::isfinite(s)) break;
            for (double& v : y) v /= s;
        }
        *vector = std::move(y);
    }
    return hi;
}

// A run that watches its top for settling takes at least this many steps:
// from a start near the top's vector the first few steps barely move it.
constexpr std::size_t kLeastSettled = 6;

std::optional<Ritz> lanczos_top(std::size_t n, LanczosApply apply, std::vector<double> start, bool want_vector,
                                bool& stopped, std::size_t most, bool reorthogonalise, double enough, double settle) {
    const std::size_t steps = std::min<std::size_t>(
        n, std::clamp<std::size_t>(static_cast<std::size_t>(kLanczosBytes / (8.0 * static_cast<double>(n))), 8,
                                   most));
    std::vector<std::vector<double>> q;
    std::vector<double> alpha, beta, w(n);
    auto dot = [n](const std::vector<double>& a, const std::vector<double>& b) {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
        return s;
    };
    std::vector<double> tops;  // the top Ritz value after each step, where it is watched
    std::vector<double> v = std::move(start);
    double norm = std::sqrt(dot(v, v));
    if (!(norm > 0.0)) return Ritz{0.0, {}};
    for (std::size_t k = 0; k < steps; ++k) {
        if (!poll_stop()) {
            stopped = true;
            return std::nullopt;
        }
        for (double& x : v) x /= norm;
        q.push_back(v);
        apply(v, w);
        const double a = dot(v, w);
        if (!std::isfinite(a)) return std::nullopt;
        alpha.push_back(a);
        for (std::size_t j = reorthogonalise || q.size() < 2 ? 0 : q.size() - 2; j < q.size(); ++j) {
            const double c = dot(q[j], w);
            for (std::size_t i = 0; i < n; ++i) w[i] -= c * q[j][i];
        }
        norm = std::sqrt(dot(w, w));
        if (std::isfinite(enough)) {
            const double t = tridiagonal_top(alpha, beta, nullptr);
            if (t > enough && !(settle > 0.0)) break;
            tops.push_back(t);
            const std::size_t k = tops.size();
            if (settle > 0.0 && k >= kLeastSettled && std::fabs(enough - t) > settle * (t - tops[k - 3])) break;
        }
        if (!(norm > 1e-13 * std::fabs(a) + 1e-300)) break;
        beta.push_back(norm);
        std::swap(v, w);
    }
    if (beta.size() >= alpha.size()) beta.resize(alpha.size() - 1);
    Ritz r;
    std::vector<double> y;
    r.value = tridiagonal_top(alpha, beta, want_vector ? &y : nullptr);
    if (want_vector) {
        r.vector.assign(n, 0.0);
        for (std::size_t k = 0; k < y.size(); ++k)
            for (std::size_t i = 0; i < n; ++i) r.vector[i] += y[k] * q[k][i];
    }
    return r;
}

}  // namespace quorvane::heat_judgement
