#include "core/graph/rayleigh.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "core/foundation/numeric.hpp"

namespace quorvane {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();

// Entries of splitmix64 mapped to [-1, 1): no structure a graph's node
// numbering could make orthogonal to its top eigenvector.
std::vector<double> start_vector(std::uint64_t n) {
    std::vector<double> x(n);
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (double& v : x) v = static_cast<double>(splitmix64_next(state) >> 11) * 0x1.0p-52 - 1.0;
    return x;
}

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double s = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}

// The operator the steps work with: L / spectral_bound, or the symmetric
// part of that for caller arrays. The scale keeps every vector and sum far
// from overflow whatever the weights; the Ritz values are scaled back.
template <class F>
class ScaledOperator {
public:
    explicit ScaledOperator(const Laplacian<F>& lap)
        : lap_(lap),
          symmetrize_(lap.kind == LaplacianKind::GeneralSymmetric),
          scale_(static_cast<double>(lap.spectral_bound)) {
        if (symmetrize_) transposed_.resize(lap.n_nodes);
    }

    // w = A v - beta v_prev for A = L / scale, or ((L + L') / 2) / scale,
    // and alpha = v'w, in one sweep. False when L v and L' v disagree
    // beyond rounding: L is not symmetric.
    bool step(const std::vector<double>& v, const std::vector<double>& v_prev, double beta, std::vector<double>& w,
              double& alpha) {
        const double inv = 1.0 / scale_;
        const std::uint64_t n = lap_.n_nodes;
        alpha = 0.0;
        if (!symmetrize_) {
            for (std::uint64_t i = 0; i < n; ++i) {
                double sum = 0.0;
                for (std::uint64_t k = lap_.row_ptr[i]; k < lap_.row_ptr[i + 1]; ++k) {
                    sum += static_cast<double>(lap_.vals[k]) * v[lap_.col_idx[k]];
                }
                w[i] = sum * inv - beta * v_prev[i];
                alpha += v[i] * w[i];
            }
            return true;
        }
        std::fill(transposed_.begin(), transposed_.end(), 0.0);
        for (std::uint64_t i = 0; i < n; ++i) {
            double sum = 0.0;
            for (std::uint64_t k = lap_.row_ptr[i]; k < lap_.row_ptr[i + 1]; ++k) {
                const double a = static_cast<double>(lap_.vals[k]);
                sum += a * v[lap_.col_idx[k]];
                transposed_[lap_.col_idx[k]] += a * v[i];
            }
            w[i] = sum * inv;
        }
        double diff = 0.0;
        for (std::uint64_t i = 0; i < n; ++i) {
            const double t = transposed_[i] * inv;
            diff += (w[i] - t) * (w[i] - t);
            w[i] = 0.5 * (w[i] + t) - beta * v_prev[i];
            alpha += v[i] * w[i];
        }
        // v is a unit vector.
        return !(diff > kSymmetryTolerance * kSymmetryTolerance);
    }

private:
    const Laplacian<F>& lap_;
    bool symmetrize_;
    double scale_;
    std::vector<double> transposed_;
};

// The largest eigenvalue of the symmetric tridiagonal T (diagonal a,
// off-diagonal b) and, when asked for, its unit eigenvector.
struct TopPair {
    double value = 0.0;
    std::vector<double> vector;
};

// Number of eigenvalues of T below x (Sturm sequence of the LDL' pivots).
int count_below(const std::vector<double>& a, const std::vector<double>& b, double x) {
    int count = 0;
    double d = 1.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double off = i == 0 ? 0.0 : b[i - 1] * b[i - 1] / d;
        d = (a[i] - x) - off;
        if (d == 0.0) d = -kEps * (std::fabs(a[i]) + std::fabs(x) + 1e-300);
        if (d < 0.0) ++count;
    }
    return count;
}

TopPair top_of_tridiagonal(const std::vector<double>& a, const std::vector<double>& b, bool with_vector) {
    const std::size_t k = a.size();
    TopPair top;
    top.vector.assign(with_vector ? k : 0, 0.0);
    if (k == 1) {
        top.value = a[0];
        if (with_vector) top.vector[0] = 1.0;
        return top;
    }
    // The largest eigenvalue lies between the largest diagonal entry and the
    // largest Gershgorin row sum; bisection keeps the lower end, a value
    // with an eigenvalue at or above it.
    double lo = a[0], hi = a[0];
    for (std::size_t i = 0; i < k; ++i) {
        const double radius = (i > 0 ? std::fabs(b[i - 1]) : 0.0) + (i + 1 < k ? std::fabs(b[i]) : 0.0);
        lo = std::max(lo, a[i]);
        hi = std::max(hi, a[i] + radius);
    }
    const int n = static_cast<int>(k);
    for (int it = 0; it < 200 && hi - lo > 4.0 * kEps * std::max(std::fabs(lo), std::fabs(hi)); ++it) {
        const double mid = 0.5 * (lo + hi);
        if (mid <= lo || mid >= hi) break;
        if (count_below(a, b, mid) == n) hi = mid;
        else lo = mid;
    }
    top.value = lo;
    if (!with_vector) return top;
    // Inverse iteration with a shift just above the top eigenvalue: sI - T
    // is then positive definite, so its LDL' needs no pivoting.
    const double shift = hi + 1e-12 * std::max({std::fabs(lo), std::fabs(hi), 1e-300});
    std::vector<double> d(k), l(k, 0.0), z(k, 1.0);
    d[0] = shift - a[0];
    for (std::size_t i = 1; i < k; ++i) {
        l[i] = -b[i - 1] / d[i - 1];
        d[i] = std::max((shift - a[i]) + l[i] * b[i - 1], 1e-300);
    }
    for (int sweep = 0; sweep < 3; ++sweep) {
        for (std::size_t i = 1; i < k; ++i) z[i] -= l[i] * z[i - 1];
        for (std::size_t i = 0; i < k; ++i) z[i] /= d[i];
        for (std::size_t i = k - 1; i-- > 0;) z[i] -= l[i + 1] * z[i + 1];
        double norm = 0.0;
        for (const double v : z) norm = std::max(norm, std::fabs(v));
        if (!(norm > 0.0) || !std::isfinite(norm)) return top;  // no vector: a zero start, replaced by the fixed one
        for (double& v : z) v /= norm;
    }
    double norm2 = 0.0;
    for (const double v : z) norm2 += v * v;
    const double inv = 1.0 / std::sqrt(norm2);
    for (std::size_t i = 0; i < k; ++i) top.vector[i] = z[i] * inv;
    return top;
}

}  // namespace

template <class F>
std::optional<RitzEstimate> largest_ritz_value(const Laplacian<F>& lap, int max_iterations, std::vector<double>* x) {
    const std::uint64_t n = lap.n_nodes;
    // Column indices below n are the Laplacian's invariant (from_graph,
    // from_csr_parts).
    if (n == 0 || lap.row_ptr.size() != n + 1 || max_iterations < 1) return std::nullopt;
    const double scale = static_cast<double>(lap.spectral_bound);
    if (!std::isfinite(scale)) return std::nullopt;
    // Every stored entry is zero (a NaN row never raises the bound, and the
    // first product then reports it): every quotient is 0.
    if (scale == 0.0) {
        bool zero = true;
        for (const F v : lap.vals) zero = zero && v == F(0);
        if (!zero) return std::nullopt;
        if (x) x->assign(n, 1.0 / std::sqrt(static_cast<double>(n)));
        return RitzEstimate{0.0, 1};
    }
    ScaledOperator<F> op(lap);
    std::vector<double> v = x && x->size() == n ? *x : start_vector(n);
    double vv = dot(v, v);
    if (!(vv > 0.0) || !std::isfinite(vv)) {
        v = start_vector(n);
        vv = dot(v, v);
    }
    const double inv_norm = 1.0 / std::sqrt(vv);
    for (double& e : v) e *= inv_norm;

    std::vector<double> v_prev(n, 0.0), w(n);
    std::vector<double> alpha, beta;
    std::vector<std::vector<double>> basis;
    std::optional<RitzEstimate> estimate;
    std::vector<double> ritz;  // eigenvector of T behind the estimate
    double beta_prev = 0.0;
    for (int it = 0; it < max_iterations; ++it) {
        if (x) basis.push_back(v);
        double a = 0.0;
        if (!op.step(v, v_prev, beta_prev, w, a)) return std::nullopt;
        double bb = 0.0;
        for (std::uint64_t i = 0; i < n; ++i) {
            w[i] -= a * v[i];
            bb += w[i] * w[i];
        }
        const double b = std::sqrt(bb);
        if (!std::isfinite(a) || !std::isfinite(b)) break;
        alpha.push_back(a);
        TopPair top = top_of_tridiagonal(alpha, beta, x != nullptr);
        estimate = RitzEstimate{top.value * scale, it + 1};
        ritz = std::move(top.vector);
        // An invariant subspace: T holds eigenvalues of L, the estimate is
        // exact up to rounding.
        if (b <= 64.0 * kEps * (std::fabs(a) + beta_prev)) break;
        beta.push_back(b);
        beta_prev = b;
        const double inv_b = 1.0 / b;
        for (std::uint64_t i = 0; i < n; ++i) v_prev[i] = w[i] * inv_b;
        std::swap(v, v_prev);
    }
    if (!estimate) return std::nullopt;
    if (x) {
        std::vector<double> y(n, 0.0);
        for (std::size_t j = 0; j < ritz.size(); ++j) {
            for (std::uint64_t i = 0; i < n; ++i) y[i] += ritz[j] * basis[j][i];
        }
        *x = std::move(y);
    }
    return estimate;
}

template <class F>
std::optional<double> largest_eigenvalue_lower_bound(const Laplacian<F>& lap, std::vector<double>& x, int iterations) {
    const std::optional<RitzEstimate> e =
        largest_ritz_value(lap, iterations, &x);
    if (!e) return std::nullopt;
    return e->value;
}

template <class F>
std::optional<double> largest_eigenvalue_lower_bound(const Laplacian<F>& lap) {
    const std::optional<RitzEstimate> e =
        largest_ritz_value(lap, kRayleighIterations);
    if (!e) return std::nullopt;
    return e->value;
}

template <class F>
double norm_growth_rate(const Laplacian<F>& lap) {
    if (lap.kind != LaplacianKind::GeneralSymmetric) return 0.0;
    const std::uint64_t n = lap.n_nodes;
    if (lap.row_ptr.size() != n + 1) return 0.0;
    // Row i of (L + L')/2 has diagonal L_ii and off-diagonal mass at most
    // half of row i's plus half of column i's: each off-diagonal entry takes
    // half its size from both of its nodes.
    std::vector<double> margin(n, 0.0);
    for (std::uint64_t i = 0; i < n; ++i) {
        for (std::uint64_t k = lap.row_ptr[i]; k < lap.row_ptr[i + 1]; ++k) {
            const std::uint32_t j = lap.col_idx[k];
            const double v = static_cast<double>(lap.vals[k]);
            if (j >= n) continue;
            if (j == i) {
                margin[i] += v;
            } else {
                margin[i] -= 0.5 * std::fabs(v);
                margin[j] -= 0.5 * std::fabs(v);
            }
        }
    }
    double low = 0.0;
    for (const double m : margin) low = std::min(low, m);
    return std::isfinite(low) ? -low : std::numeric_limits<double>::infinity();
}

template std::optional<RitzEstimate> largest_ritz_value<double>(const Laplacian<double>&, int, std::vector<double>*);
template std::optional<RitzEstimate> largest_ritz_value<float>(const Laplacian<float>&, int, std::vector<double>*);
template std::optional<double> largest_eigenvalue_lower_bound<double>(const Laplacian<double>&);
template std::optional<double> largest_eigenvalue_lower_bound<float>(const Laplacian<float>&);
template std::optional<double> largest_eigenvalue_lower_bound<double>(const Laplacian<double>&, std::vector<double>&,
                                                                      int);
template std::optional<double> largest_eigenvalue_lower_bound<float>(const Laplacian<float>&, std::vector<double>&,
                                                                     int);
template double norm_growth_rate<double>(const Laplacian<double>&);
template double norm_growth_rate<float>(const Laplacian<float>&);

}  // namespace quorvane
