#include "core/tensor_train/tt_axis_growth.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "core/foundation/dense_eigenvalues.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

namespace {

using C = std::complex<double>;

constexpr double kEps = std::numeric_limits<double>::epsilon();

// Krylov dimension and rounds of the search: a growing mode that stands out
// of the spectrum (rates of 0.1 |L| and more, the noisy drifts) converges in
// the first round at every n tried up to 4096; a slower one is left to the
// QR or undecided.
constexpr std::size_t kKrylov = 64;
constexpr int kRounds = 3;
// A Ritz pair is taken when its residual is below this share of |L|: then
// it is an exact pair of a matrix within that of L, far inside the margin.
constexpr double kResidualShare = 1e-8;

std::size_t prev_of(std::size_t i, std::size_t n) { return i == 0 ? n - 1 : i - 1; }
std::size_t next_of(std::size_t i, std::size_t n) { return i + 1 == n ? 0 : i + 1; }

// pi with pi^T L = 0 and pi_0 = 1: the equations of columns 1 .. n-1 with
// pi_0 moved to the right side form a tridiagonal system (L^T without its
// first row and column), solved by elimination with partial pivoting.
// nullopt where that system is singular.
std::optional<std::vector<double>> left_null_vector(const PeriodicTridiag& op) {
    const std::size_t n = op.diag.size();
    const std::size_t m = n - 1;  // unknowns pi_1 .. pi_{n-1}, row k for pi_{k+1}
    // Row k of L^T: L(k, k+1) = sup_k below, L(k+1, k+1) on, L(k+2, k+1) = sub_{k+2} above.
    std::vector<double> dl(m, 0.0), d(m), du(m, 0.0), du2(m, 0.0), rhs(m, 0.0);
    for (std::size_t k = 0; k < m; ++k) {
        d[k] = op.diag[k + 1];
        if (k + 1 < m) {
            du[k] = op.sub[k + 2];
            dl[k] = op.sup[k + 1];
        }
    }
    rhs[0] -= op.sup[0];      // L(0, 1) pi_0
    rhs[m - 1] -= op.sub[0];  // L(0, n-1) pi_0
    for (std::size_t k = 0; k + 1 < m; ++k) {
        if (std::abs(d[k]) >= std::abs(dl[k])) {
            if (d[k] == 0.0) return std::nullopt;
            const double f = dl[k] / d[k];
            d[k + 1] -= f * du[k];
            rhs[k + 1] -= f * rhs[k];
        } else {
            const double f = d[k] / dl[k];
            d[k] = dl[k];
            const double t = d[k + 1];
            d[k + 1] = du[k] - f * t;
            if (k + 2 < m) {
                du2[k] = du[k + 1];
                du[k + 1] = -f * du2[k];
            }
            du[k] = t;
            const double r = rhs[k];
            rhs[k] = rhs[k + 1];
            rhs[k + 1] = r - f * rhs[k + 1];
        }
    }
    if (d[m - 1] == 0.0) return std::nullopt;
    std::vector<double> pi(n, 1.0);
    std::vector<double> x(m);
    x[m - 1] = rhs[m - 1] / d[m - 1];
    if (m > 1) x[m - 2] = (rhs[m - 2] - du[m - 2] * x[m - 1]) / d[m - 2];
    for (std::size_t k = m - 2; k-- > 0;) x[k] = ((rhs[k] - du[k] * x[k + 1]) - du2[k] * x[k + 2]) / d[k];
    for (std::size_t k = 0; k < m; ++k) pi[k + 1] = x[k];
    return pi;
}

// Is the symmetric periodic tridiagonal matrix with diagonal `d` and
// couplings e_i = M(i, i+1 mod n) positive definite? Elimination in order,
// which fills only the last row and column; every pivot must be > 0. n >= 3.
bool positive_definite(const std::vector<double>& d, const std::vector<double>& e) {
    const std::size_t n = d.size();
    double pivot = d[0], last = d[n - 1];
    double corner = e[n - 1];  // M(k, n-1) as elimination reaches row k
    for (std::size_t k = 0; k + 2 < n; ++k) {
        if (!(pivot > 0.0)) return false;
        const double l = e[k] / pivot;
        last -= corner * (corner / pivot);
        const double next_corner = (k + 2 == n - 1 ? e[n - 2] : 0.0) - l * corner;
        pivot = d[k + 1] - l * e[k];
        corner = next_corner;
    }
    if (!(pivot > 0.0)) return false;
    last -= corner * (corner / pivot);
    return last > 0.0;
}

// P L + L^T P <= 2 tol P with P = diag(pi), pi the left null vector
// normalised to max 1: then x* P L x + x* L^T P x = 2 Re(lambda) x* P x for
// an eigenpair bounds Re(lambda) by tol. The matrix tested is formed from
// L's entries as stored, so rounding only enters its entries (each within
// eps |pi_i L_ij|, far below tol pi_i).
bool weighted_dissipative(const PeriodicTridiag& op, double tol) {
    const std::size_t n = op.diag.size();
    std::optional<std::vector<double>> pi = left_null_vector(op);
    if (!pi) return false;
    double peak = 0.0;
    for (double p : *pi) {
        if (!std::isfinite(p) || !(p > 0.0)) return false;
        peak = std::max(peak, p);
    }
    std::vector<double> d(n), e(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double p = (*pi)[i] / peak, q = (*pi)[next_of(i, n)] / peak;
        d[i] = p * (tol - op.diag[i]);
        e[i] = -((p * op.sup[i] + q * op.sub[next_of(i, n)]) * 0.5);
    }
    return positive_definite(d, e);
}

// L x for a periodic tridiagonal L.
template <class T>
void apply(const PeriodicTridiag& op, const std::vector<T>& x, std::vector<T>& out) {
    const std::size_t n = x.size();
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = (op.sub[i] * x[prev_of(i, n)] + op.diag[i] * x[i]) + op.sup[i] * x[next_of(i, n)];
    }
}

// LU of the periodic tridiagonal A = s I - L without pivoting (strictly
// diagonally dominant by rows for s = |L|_inf, as L's diagonal is
// negative), eliminating in order: fill only in the last row and column.
// n >= 3.
class ShiftedSolve {
public:
    ShiftedSolve(const PeriodicTridiag& op, double s)
        : n_(op.diag.size()), pivot_(n_), up_(n_), col_(n_), low_(n_), row_(n_) {
        const std::size_t n = n_;
        for (std::size_t i = 0; i < n; ++i) {
            pivot_[i] = s - op.diag[i];
            up_[i] = -op.sup[i];  // A(i, i+1)
        }
        double col = -op.sub[0];      // A(k, n-1) as elimination reaches row k
        double row = -op.sup[n - 1];  // A(n-1, k)
        for (std::size_t k = 0; k + 2 < n; ++k) {
            col_[k] = col;
            low_[k] = -op.sub[k + 1] / pivot_[k];
            row_[k] = row / pivot_[k];
            pivot_[k + 1] -= low_[k] * up_[k];
            pivot_[n - 1] -= row_[k] * col;
            col = -(low_[k] * col);
            row = (k + 2 == n - 1 ? -op.sub[n - 1] : 0.0) - row_[k] * up_[k];
        }
        // Row n-2 reaches column n-1 as its neighbour and by fill alike.
        col_[n - 2] = up_[n - 2] + col;
        row_[n - 2] = row / pivot_[n - 2];
        pivot_[n - 1] -= row_[n - 2] * col_[n - 2];
    }

    // x <- A^-1 x.
    void solve(std::vector<double>& x) const {
        const std::size_t n = n_;
        for (std::size_t k = 0; k + 2 < n; ++k) {
            x[k + 1] -= low_[k] * x[k];
            x[n - 1] -= row_[k] * x[k];
        }
        x[n - 1] -= row_[n - 2] * x[n - 2];
        x[n - 1] /= pivot_[n - 1];
        x[n - 2] = (x[n - 2] - col_[n - 2] * x[n - 1]) / pivot_[n - 2];
        for (std::size_t k = n - 2; k-- > 0;) x[k] = ((x[k] - up_[k] * x[k + 1]) - col_[k] * x[n - 1]) / pivot_[k];
    }

private:
    std::size_t n_;
    std::vector<double> pivot_, up_, col_, low_, row_;
};

double dot(const std::vector<double>& x, const std::vector<double>& y) {
    double s = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) s += x[i] * y[i];
    return s;
}

// A start with no special relation to any eigenvector: a fixed
// pseudo-random sequence in [-1, 1).
std::vector<double> arnoldi_start(std::size_t n) {
    std::vector<double> x(n);
    std::uint64_t state = 0x9e3779b97f4a7c15ull;
    for (double& v : x) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        v = static_cast<double>(state >> 11) * 0x1.0p-52 - 1.0;
    }
    return x;
}

// A growing mode found by Arnoldi on (s I - L)^-1, or nullopt.
Expected<std::optional<AxisGrowth>> search_growing_mode(const PeriodicTridiag& op, double norm, double tol,
                                                        PollBudget& budget) {
    const std::size_t n = op.diag.size();
    const std::size_t m = std::min(kKrylov, n - 1);
    const double s = norm;
    const ShiftedSolve solve(op, s);
    std::vector<double> start = arnoldi_start(n);
    std::vector<std::vector<double>> v(m + 1, std::vector<double>(n));
    std::vector<C> x(n), lx(n);
    for (int round = 0; round < kRounds; ++round) {
        double start_norm = std::sqrt(dot(start, start));
        if (!(start_norm > 0.0) || !std::isfinite(start_norm)) return std::optional<AxisGrowth>{};
        for (std::size_t i = 0; i < n; ++i) v[0][i] = start[i] / start_norm;
        std::vector<double> h((m + 1) * m, 0.0);
        std::size_t size = m;
        for (std::size_t j = 0; j < m; ++j) {
            if (Status st = budget.spend(4 * (j + 4) * n); !st) return fail(st.error());
            std::vector<double>& w = v[j + 1];
            w = v[j];
            solve.solve(w);
            const double before = std::sqrt(dot(w, w));
            // Two passes of Gram-Schmidt keep the basis orthogonal to rounding.
            for (int pass = 0; pass < 2; ++pass) {
                for (std::size_t i = 0; i <= j; ++i) {
                    const double c = dot(v[i], w);
                    h[i * m + j] += c;
                    for (std::size_t k = 0; k < n; ++k) w[k] -= c * v[i][k];
                }
            }
            const double beta = std::sqrt(dot(w, w));
            if (j + 1 < m) h[(j + 1) * m + j] = beta;
            // An invariant subspace: its Ritz pairs are exact.
            if (!(beta > 1e-12 * before)) {
                size = j + 1;
                break;
            }
            for (double& z : w) z /= beta;
        }
        std::vector<double> hm(size * size);
        for (std::size_t i = 0; i < size; ++i) {
            for (std::size_t j = 0; j < size; ++j) hm[i * size + j] = h[i * m + j];
        }
        Expected<std::optional<std::vector<C>>> theta = dense_eigenvalues(hm, size);
        if (!theta) return fail(theta.error());
        if (!*theta) return std::optional<AxisGrowth>{};
        // theta = 1/(s - lambda): the largest real part of lambda.
        std::optional<C> best;
        for (const C& t : **theta) {
            if (t == C(0.0)) continue;
            const C lambda = s - 1.0 / t;
            if (!best || lambda.real() > (s - 1.0 / *best).real()) best = t;
        }
        if (!best) return std::optional<AxisGrowth>{};
        Expected<std::optional<std::vector<C>>> y = dense_eigenvector(hm, size, *best);
        if (!y) return fail(y.error());
        if (!*y) return std::optional<AxisGrowth>{};
        std::fill(x.begin(), x.end(), C(0.0));
        for (std::size_t i = 0; i < size; ++i) {
            for (std::size_t k = 0; k < n; ++k) x[k] += v[i][k] * (**y)[i];
        }
        const C lambda = s - 1.0 / *best;
        apply(op, x, lx);
        double residual = 0.0, size_x = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            residual += std::norm(lx[k] - lambda * x[k]);
            size_x += std::norm(x[k]);
        }
        residual = std::sqrt(residual / size_x);
        if (residual <= kResidualShare * norm && lambda.real() - residual > tol) {
            AxisGrowth out;
            out.verdict = AxisGrowth::Verdict::kGrows;
            out.lambda = lambda;
            out.weight.resize(n);
            for (std::size_t k = 0; k < n; ++k) out.weight[k] = std::abs(x[k]);
            return std::optional<AxisGrowth>{std::move(out)};
        }
        // The next round starts from what this one found.
        for (std::size_t k = 0; k < n; ++k) start[k] = x[k].real() + x[k].imag();
    }
    return std::optional<AxisGrowth>{};
}

// The QR of L itself: the rightmost eigenvalue, and its eigenvector where
// it grows.
Expected<AxisGrowth> dense_growth(const PeriodicTridiag& op, double tol) {
    const std::size_t n = op.diag.size();
    std::vector<double> dense(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        dense[i * n + prev_of(i, n)] += op.sub[i];
        dense[i * n + i] += op.diag[i];
        dense[i * n + next_of(i, n)] += op.sup[i];
    }
    Expected<std::optional<std::vector<C>>> eig = dense_eigenvalues(dense, n);
    if (!eig) return fail(eig.error());
    // No verdict without converged eigenvalues: what runs is not refused.
    if (!*eig) return AxisGrowth{};
    C top = (*eig)->front();
    for (const C& z : **eig) {
        if (z.real() > top.real() || (z.real() == top.real() && z.imag() > top.imag())) top = z;
    }
    if (!(top.real() > tol)) return AxisGrowth{};
    AxisGrowth out;
    out.verdict = AxisGrowth::Verdict::kGrows;
    out.lambda = top;
    Expected<std::optional<std::vector<C>>> vec = dense_eigenvector(dense, n, top);
    if (!vec) return fail(vec.error());
    if (*vec) {
        out.weight.resize(n);
        for (std::size_t i = 0; i < n; ++i) out.weight[i] = std::abs((**vec)[i]);
    }
    return out;
}

}  // namespace

double growth_rounding(std::size_t n, double norm) {
    return 16.0 * std::sqrt(static_cast<double>(n) * kEps) * norm;
}

Expected<AxisGrowth> judge_axis_growth(const PeriodicTridiag& op, double norm, std::size_t max_dense_nodes) {
    const std::size_t n = op.diag.size();
    const double tol = growth_rounding(n, norm);
    if (n > kDenseFirst) {
        PollBudget budget(std::uint64_t{1} << 22);
        if (Status st = budget.spend(n); !st) return fail(st.error());
        if (weighted_dissipative(op, tol)) return AxisGrowth{};
        Expected<std::optional<AxisGrowth>> found = search_growing_mode(op, norm, tol, budget);
        if (!found) return fail(found.error());
        if (*found) return std::move(**found);
        if (n > max_dense_nodes) return AxisGrowth{AxisGrowth::Verdict::kUndecided, {}, {}};
    }
    return dense_growth(op, tol);
}

}  // namespace quorvane
