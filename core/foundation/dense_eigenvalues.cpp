#include "core/foundation/dense_eigenvalues.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/foundation/stop.hpp"

namespace quorvane {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();

// Flops between two looks at a stop request: well below the poll interval.
constexpr std::uint64_t kPollFlops = std::uint64_t{1} << 22;

// Diagonal similarity by powers of two (exact) that brings each row's and
// column's off-diagonal sums within a factor of two of each other: the QR's
// backward error is relative to the norm, which balancing lowers for matrices
// whose rows differ in size by orders of magnitude. No index is scaled beyond
// 2^+-kMaxBalanceExponent in all: entries below rounding (a couplings of
// 1e-300 beside ones of 1) would otherwise be balanced into the subnormal
// range, where the QR's shifts lose their digits and it stalls. A sweep that
// changes nothing ends it; the sweeps are capped as well.
constexpr int kMaxBalanceExponent = 100;

Status balance(std::vector<double>& a, std::size_t n, PollBudget& budget) {
    std::vector<int> exponent(n, 0);
    for (int sweep = 0; sweep < 100; ++sweep) {
        if (Status st = budget.spend(2 * n * n); !st) return st;
        bool changed = false;
        for (std::size_t i = 0; i < n; ++i) {
            double c = 0.0, r = 0.0;
            for (std::size_t j = 0; j < n; ++j) {
                if (j == i) continue;
                c += std::abs(a[j * n + i]);
                r += std::abs(a[i * n + j]);
            }
            if (c == 0.0 || r == 0.0) continue;
            const double s = c + r;
            // Scaling column i by 2^k and row i by 2^-k multiplies c by 2^k
            // and r by 2^-k: the k that brings c within a factor 2 of r,
            // bounded so that the index stays within its range.
            int k = 0;
            const int lo = -kMaxBalanceExponent - exponent[i], hi = kMaxBalanceExponent - exponent[i];
            double cs = c, rs = r;
            while (cs < rs * 0.5 && k < hi) {
                ++k;
                cs *= 2.0;
                rs *= 0.5;
            }
            while (cs >= rs * 2.0 && k > lo) {
                --k;
                cs *= 0.5;
                rs *= 2.0;
            }
            if (k != 0 && cs + rs < 0.95 * s) {
                changed = true;
                exponent[i] += k;
                for (std::size_t j = 0; j < n; ++j) a[i * n + j] = std::scalbn(a[i * n + j], -k);
                for (std::size_t j = 0; j < n; ++j) a[j * n + i] = std::scalbn(a[j * n + i], k);
            }
        }
        if (!changed) return {};
    }
    return {};
}

// Orthogonal similarity to upper Hessenberg form by Householder reflections;
// the entries below the subdiagonal are set to zero. Only the nonzero
// components of each reflector are applied: a periodic band fills in slowly,
// which halves the work on it.
Status hessenberg(std::vector<double>& a, std::size_t n, PollBudget& budget) {
    std::vector<double> u(n), f(n);
    std::vector<std::size_t> nz;
    nz.reserve(n);
    for (std::size_t m = 1; m + 1 < n; ++m) {
        if (Status st = budget.spend(4 * n * (n - m)); !st) return st;
        double scale = 0.0;
        for (std::size_t i = m; i < n; ++i) scale += std::abs(a[i * n + (m - 1)]);
        if (scale == 0.0) continue;
        double hh = 0.0;
        for (std::size_t i = n; i-- > m;) {
            u[i] = a[i * n + (m - 1)] / scale;
            hh += u[i] * u[i];
        }
        const double g = u[m] > 0.0 ? -std::sqrt(hh) : std::sqrt(hh);
        hh -= u[m] * g;
        u[m] -= g;
        nz.clear();
        for (std::size_t i = m; i < n; ++i) {
            if (u[i] != 0.0) nz.push_back(i);
        }
        // (I - u u^T / hh) from the left, then from the right; the rows are
        // walked whole, as they are stored.
        std::fill(f.begin() + static_cast<std::ptrdiff_t>(m), f.end(), 0.0);
        for (std::size_t i : nz) {
            for (std::size_t j = m; j < n; ++j) f[j] += u[i] * a[i * n + j];
        }
        for (std::size_t j = m; j < n; ++j) f[j] /= hh;
        for (std::size_t i : nz) {
            for (std::size_t j = m; j < n; ++j) a[i * n + j] -= f[j] * u[i];
        }
        for (std::size_t i = 0; i < n; ++i) {
            double g_i = 0.0;
            for (std::size_t j : nz) g_i += u[j] * a[i * n + j];
            g_i /= hh;
            for (std::size_t j : nz) a[i * n + j] -= g_i * u[j];
        }
        a[m * n + (m - 1)] = scale * g;
        for (std::size_t i = m + 1; i < n; ++i) a[i * n + (m - 1)] = 0.0;
    }
    return {};
}

double with_sign_of(double magnitude, double sign) { return sign >= 0.0 ? std::abs(magnitude) : -std::abs(magnitude); }

// Francis double-shift QR on the Hessenberg matrix h, eigenvalues only (the
// transformations touch the active block alone); exceptional shifts after
// every 10 steps without deflation. At most 30 max(n, 10) steps in all;
// false when they did not converge.
Expected<bool> hessenberg_qr(std::vector<double>& hm, std::size_t n, std::vector<std::complex<double>>& out,
                             PollBudget& budget) {
    auto h = [&](std::size_t i, std::size_t j) -> double& { return hm[i * n + j]; };
    out.assign(n, {});
    double norm = 0.0;  // |h|_inf
    for (std::size_t i = 0; i < n; ++i) {
        double row = 0.0;
        for (std::size_t j = i == 0 ? 0 : i - 1; j < n; ++j) row += std::abs(h(i, j));
        norm = std::max(norm, row);
    }
    // Setting a subdiagonal entry below eps |h| to zero perturbs h within the
    // backward error the steps make anyway. Against its diagonal neighbours
    // alone, such an entry can stay undeflated for good where they vanish:
    // purely imaginary pairs, repeated, keep zero diagonals and deflate only
    // linearly.
    const double negligible = kEps * norm;
    std::size_t steps_left = 30 * std::max<std::size_t>(n, 10);
    std::size_t en = n;  // one past the last row of the active block
    while (en > 0) {
        const std::size_t e = en - 1;
        int its = 0;
        for (;;) {
            // A negligible subdiagonal entry splits the block at l.
            std::size_t l = e;
            for (; l > 0; --l) {
                const double sub = std::abs(h(l, l - 1));
                const double s = std::abs(h(l - 1, l - 1)) + std::abs(h(l, l));
                if (sub <= negligible || s + sub == s) break;
            }
            double x = h(e, e);
            if (l == e) {
                out[e] = {x, 0.0};
                en = e;
                break;
            }
            const std::size_t na = e - 1;
            double y = h(na, na);
            double w = h(e, na) * h(na, e);
            if (l == na) {
                // The trailing 2 x 2 block: a real pair or a conjugate pair.
                const double p = (y - x) * 0.5;
                const double q = p * p + w;
                double zz = std::sqrt(std::abs(q));
                if (q >= 0.0) {
                    zz = p + with_sign_of(zz, p);
                    out[na] = {x + zz, 0.0};
                    out[e] = {zz != 0.0 ? x - w / zz : x + zz, 0.0};
                } else {
                    out[na] = {x + p, zz};
                    out[e] = {x + p, -zz};
                }
                en = na;
                break;
            }
            if (steps_left == 0) return false;
            // A step chases its bulge through the active block: some 10 flops
            // per entry of it.
            if (Status st = budget.spend(10 * en * en); !st) return fail(st.error());
            if (its > 0 && its % 10 == 0) {
                // Shifts of no relation to the block break the cycles that
                // spectra symmetric about the origin or the imaginary axis can
                // hold the standard ones in; from the bottom and the top in turn.
                const bool bottom = its % 20 == 10;
                const double s = bottom ? std::abs(h(e, na)) + std::abs(h(na, na - 1))
                                        : std::abs(h(l + 1, l)) + std::abs(h(l + 2, l + 1));
                x = (bottom ? h(e, e) : h(l, l)) + 0.75 * s;
                y = x;
                w = -0.4375 * s * s;
            }
            ++its;
            --steps_left;
            // Start the step where two consecutive subdiagonal entries are
            // small enough that the bulge does not reach above them.
            const std::size_t enm2 = na - 1;
            std::size_t m = enm2;
            double p = 0.0, q = 0.0, r = 0.0;
            for (;; --m) {
                const double zz = h(m, m);
                r = x - zz;
                const double s0 = y - zz;
                p = (r * s0 - w) / h(m + 1, m) + h(m, m + 1);
                q = h(m + 1, m + 1) - zz - r - s0;
                r = h(m + 2, m + 1);
                const double s = std::abs(p) + std::abs(q) + std::abs(r);
                p /= s;
                q /= s;
                r /= s;
                if (m == l) break;
                const double tst1 = std::abs(p) * (std::abs(h(m - 1, m - 1)) + std::abs(zz) + std::abs(h(m + 1, m + 1)));
                if (tst1 + std::abs(h(m, m - 1)) * (std::abs(q) + std::abs(r)) == tst1) break;
            }
            for (std::size_t i = m + 2; i <= e; ++i) {
                h(i, i - 2) = 0.0;
                if (i != m + 2) h(i, i - 3) = 0.0;
            }
            for (std::size_t k = m; k <= na; ++k) {
                const bool notlast = k != na;
                if (k != m) {
                    p = h(k, k - 1);
                    q = h(k + 1, k - 1);
                    r = notlast ? h(k + 2, k - 1) : 0.0;
                    x = std::abs(p) + std::abs(q) + std::abs(r);
                    if (x == 0.0) continue;
                    p /= x;
                    q /= x;
                    r /= x;
                }
                const double s = with_sign_of(std::sqrt(p * p + q * q + r * r), p);
                if (k != m) {
                    h(k, k - 1) = -s * x;
                } else if (l != m) {
                    h(k, k - 1) = -h(k, k - 1);
                }
                p += s;
                x = p / s;
                y = q / s;
                const double zz = r / s;
                q /= p;
                r /= p;
                for (std::size_t j = k; j <= e; ++j) {
                    double pp = h(k, j) + q * h(k + 1, j);
                    if (notlast) {
                        pp += r * h(k + 2, j);
                        h(k + 2, j) -= pp * zz;
                    }
                    h(k + 1, j) -= pp * y;
                    h(k, j) -= pp * x;
                }
                const std::size_t last = std::min(e, k + 3);
                for (std::size_t i = l; i <= last; ++i) {
                    double pp = x * h(i, k) + y * h(i, k + 1);
                    if (notlast) {
                        pp += zz * h(i, k + 2);
                        h(i, k + 2) -= pp * r;
                    }
                    h(i, k + 1) -= pp * q;
                    h(i, k) -= pp;
                }
            }
        }
    }
    return true;
}

bool all_finite(const std::vector<double>& a) {
    return std::all_of(a.begin(), a.end(), [](double x) { return std::isfinite(x); });
}

}  // namespace

Expected<std::optional<std::vector<std::complex<double>>>> dense_eigenvalues(std::vector<double> a, std::size_t n) {
    using Result = std::optional<std::vector<std::complex<double>>>;
    if (a.size() != n * n || !all_finite(a)) return Result{};
    std::vector<std::complex<double>> out;
    if (n == 0) return Result{out};
    // A power of two brings the largest entry near 1 (exactly), so that
    // neither the products of the shifts nor the sums of squares overflow.
    double big = 0.0;
    for (double x : a) big = std::max(big, std::abs(x));
    if (big == 0.0) return Result{std::vector<std::complex<double>>(n)};
    const int e = std::ilogb(big);
    for (double& x : a) x = std::scalbn(x, -e);
    PollBudget budget(kPollFlops);
    if (Status st = balance(a, n, budget); !st) return fail(st.error());
    if (Status st = hessenberg(a, n, budget); !st) return fail(st.error());
    Expected<bool> converged = hessenberg_qr(a, n, out, budget);
    if (!converged) return fail(converged.error());
    if (!*converged) return Result{};
    for (std::complex<double>& z : out) z = {std::scalbn(z.real(), e), std::scalbn(z.imag(), e)};
    return Result{std::move(out)};
}

Expected<std::optional<std::vector<std::complex<double>>>> dense_eigenvector(const std::vector<double>& a,
                                                                             std::size_t n,
                                                                             std::complex<double> lambda) {
    using C = std::complex<double>;
    using Result = std::optional<std::vector<C>>;
    if (a.size() != n * n || !all_finite(a) || !std::isfinite(lambda.real()) || !std::isfinite(lambda.imag())) {
        return Result{};
    }
    PollBudget budget(kPollFlops);
    double norm = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double row = 0.0;
        for (std::size_t j = 0; j < n; ++j) row += std::abs(a[i * n + j]);
        norm = std::max(norm, row);
    }
    norm = std::max(norm, std::abs(lambda));
    // a - lambda I is singular up to rounding: a pivot below that rounding
    // stands for it, which moves the eigenvalue by no more than the QR did.
    const double tiny = norm > 0.0 ? kEps * norm : std::numeric_limits<double>::min();
    std::vector<C> lu(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) lu[i * n + j] = a[i * n + j];
        lu[i * n + i] -= lambda;
    }
    std::vector<std::size_t> perm(n);
    for (std::size_t k = 0; k < n; ++k) {
        if (Status st = budget.spend(8 * (n - k) * (n - k)); !st) return fail(st.error());
        std::size_t piv = k;
        for (std::size_t i = k + 1; i < n; ++i) {
            if (std::abs(lu[i * n + k]) > std::abs(lu[piv * n + k])) piv = i;
        }
        perm[k] = piv;
        if (piv != k) {
            for (std::size_t j = 0; j < n; ++j) std::swap(lu[k * n + j], lu[piv * n + j]);
        }
        if (std::abs(lu[k * n + k]) < tiny) lu[k * n + k] = tiny;
        const C pivot = lu[k * n + k];
        for (std::size_t i = k + 1; i < n; ++i) {
            const C f = lu[i * n + k] / pivot;
            lu[i * n + k] = f;
            if (f == C(0.0)) continue;
            for (std::size_t j = k + 1; j < n; ++j) lu[i * n + j] -= f * lu[k * n + j];
        }
    }
    // A start with no special relation to the eigenvector (all components
    // distinct), normalised after each solve.
    std::vector<C> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = 1.0 + static_cast<double>(i % 7) / 8.0;
    for (int it = 0; it < 2; ++it) {
        for (std::size_t k = 0; k < n; ++k) {
            if (perm[k] != k) std::swap(x[k], x[perm[k]]);
        }
        for (std::size_t i = 0; i < n; ++i) {
            C s = x[i];
            for (std::size_t j = 0; j < i; ++j) s -= lu[i * n + j] * x[j];
            x[i] = s;
        }
        for (std::size_t i = n; i-- > 0;) {
            C s = x[i];
            for (std::size_t j = i + 1; j < n; ++j) s -= lu[i * n + j] * x[j];
            x[i] = s / lu[i * n + i];
        }
        double peak = 0.0;
        for (const C& z : x) peak = std::max(peak, std::abs(z));
        if (!(peak > 0.0) || !std::isfinite(peak)) return Result{};
        for (C& z : x) z /= peak;
    }
    return Result{std::move(x)};
}

}  // namespace quorvane
