#include "core/tensor_train/tt_core.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <optional>
#include <string_view>
#include <utility>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"

namespace quorvane {

std::size_t core_size(std::size_t r_left, std::size_t n, std::size_t r_right) {
    std::size_t out = 0;
    if (__builtin_mul_overflow(r_left, n, &out) || __builtin_mul_overflow(out, r_right, &out)) {
        internal_fault("tensor-train core size overflows");
    }
    return out;
}

Status check_finite_values(std::span<const double> values) {
    if (const double* bad = first_non_finite(values)) return domain_error(kTtNonFinite, *bad);
    return {};
}

Status check_finite_cores(const std::vector<TtCore>& cores) {
    for (const TtCore& c : cores) {
        if (Status st = check_finite_values(c.data); !st) return st;
    }
    return {};
}

bool is_tt_non_finite(const CoreError& e) {
    return e.variant() == CoreError::Variant::DomainViolation && std::string_view(e.text()) == kTtNonFinite;
}

namespace {

// max|values|, 0 for none (a NaN is passed over).
double max_abs(std::span<const double> values) {
    double amax = 0.0;
    for (double x : values) amax = std::max(amax, std::abs(x));
    return amax;
}

}  // namespace

int decomposition_scale_exponent(std::span<const double> values) {
    const double amax = max_abs(values);
    if (amax == 0.0 || (amax >= 0x1p-200 && amax <= 0x1p200)) return 0;
    int e = 0;
    std::frexp(amax, &e);
    return e;
}

namespace {

// The exponent p with max|values| in [2^(p-1), 2^p), or nullopt for all zeros.
std::optional<int> top_exponent(std::span<const double> values) {
    const double amax = max_abs(values);
    if (amax == 0.0) return std::nullopt;
    int p = 0;
    std::frexp(amax, &p);
    return p;
}

void scale_in_place(std::span<double> values, std::int64_t e) {
    // Beyond +-4000 every double already goes to 0 or infinity.
    const int k = static_cast<int>(std::clamp<std::int64_t>(e, -4000, 4000));
    for (double& x : values) x = std::ldexp(x, k);
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

void restore_power_of_two(std::span<const std::span<double>> blocks, std::size_t preferred, std::int64_t e) {
    if (e == 0) return;
    if (preferred >= blocks.size()) internal_fault("restore_power_of_two: no such block");
    // A zero factor makes the whole product zero, whatever the scale.
    const std::optional<int> p = top_exponent(blocks[preferred]);
    if (!p) return;
    const std::int64_t top = *p + e;
    if (top >= -1021 && top <= 1024) {
        scale_in_place(blocks[preferred], e);
        return;
    }
    // Shared out: block i with top exponent q_i gets c - q_i (plus one of the
    // remainder), the exponents summing to e.
    std::vector<std::optional<int>> tops(blocks.size());
    std::int64_t total = e, k = 0;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        tops[i] = top_exponent(blocks[i]);
        if (tops[i]) total += *tops[i], ++k;
    }
    const std::int64_t c = floor_div(total, k);
    std::int64_t extra = total - c * k;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (!tops[i]) continue;
        scale_in_place(blocks[i], c - *tops[i] + (extra > 0 ? 1 : 0));
        if (extra > 0) --extra;
    }
}

TtState TtState::from_slices(std::vector<std::vector<double>> slices) {
    TtState s;
    s.cores.reserve(slices.size());
    for (std::vector<double>& v : slices) {
        const std::size_t n = v.size();
        s.cores.push_back(TtCore{std::move(v), 1, n, 1});
    }
    return s;
}

std::size_t TtState::peak_rank() const {
    std::size_t r = 1;
    for (const TtCore& c : cores) r = std::max(r, c.r_right);
    return r;
}

std::size_t TtState::storage_size() const {
    std::size_t total = 0;
    for (const TtCore& c : cores) total += c.data.size();
    return total;
}

namespace {

// The values times 2^-e: a copy in `buf` when e != 0, else the values themselves.
std::span<const double> scaled_by_power_of_two(std::span<const double> values, int e, std::vector<double>& buf) {
    if (e == 0) return values;
    buf.resize(values.size());
    for (std::size_t k = 0; k < values.size(); ++k) buf[k] = std::ldexp(values[k], -e);
    return buf;
}

}  // namespace

Expected<double> TtState::inner_separable(const std::vector<std::vector<double>>& functionals) const {
    if (functionals.size() != cores.size()) internal_fault("inner_separable: one functional per core expected");
    // The partial products leave the double range long before the inner
    // product does (huge cores against tiny functionals, or a train whose
    // values run from 1e-200 to 1e300): the functional, the core and the
    // running vector are each brought to unit size by a power of two when
    // their largest magnitude lies outside [2^-200, 2^200], and the powers
    // are summed apart. Within that range nothing is scaled, so ordinary
    // trains take exactly the unscaled operations.
    std::vector<double> w{1.0};
    std::int64_t w_exp = 0;  // the contraction so far is w * 2^w_exp
    std::vector<double> f_buf, g_buf;
    for (std::size_t j = 0; j < cores.size(); ++j) {
        const TtCore& g = cores[j];
        if (functionals[j].size() != g.n || w.size() != g.r_left) internal_fault("inner_separable: sizes do not chain");
        const int e_f = decomposition_scale_exponent(functionals[j]);
        const int e_g = decomposition_scale_exponent(g.data);
        const int e_w = decomposition_scale_exponent(w);
        const std::span<const double> f = scaled_by_power_of_two(functionals[j], e_f, f_buf);
        const std::span<const double> gd = scaled_by_power_of_two(g.data, e_g, g_buf);
        for (double& x : w) x = std::ldexp(x, -e_w);
        w_exp += std::int64_t{e_f} + e_g + e_w;
        std::vector<double> next(g.r_right, 0.0);
        for (std::size_t b = 0; b < g.r_right; ++b) {
            double acc = 0.0;
            for (std::size_t a = 0; a < w.size(); ++a) {
                for (std::size_t i = 0; i < g.n; ++i) acc += f[i] * (w[a] * gd[(a * g.n + i) * g.r_right + b]);
            }
            next[b] = acc;
        }
        w = std::move(next);
    }
    if (w.size() != 1) internal_fault("inner_separable: the last rank is not 1");
    // |w| < 2^670 after the last core (terms below 2^600, at most 2^64 of
    // them), so an exponent beyond +-4000 already decides between infinity
    // and zero; the clamp keeps ldexp's int in range for any number of cores.
    const double out = std::ldexp(w[0], static_cast<int>(std::clamp<std::int64_t>(w_exp, -4000, 4000)));
    if (!std::isfinite(out)) return domain_error(kTtInnerOverflow, out);
    return out;
}

namespace {

// Diagonalises the symmetric r x r matrix g (row-major) in place by cyclic
// Jacobi rotations, accumulating them in v (starts as the identity). At most
// 50 sweeps; the last sweep's diagonal is used as it stands. The tolerances
// are relative to the trace, so a train of tiny (or huge) values is
// diagonalised like the same train scaled to unit size.
void jacobi_eigen(std::vector<double>& g, std::vector<double>& v, std::size_t r) {
    auto G = [&](std::size_t p, std::size_t q) -> double& { return g[p * r + q]; };
    auto V = [&](std::size_t p, std::size_t q) -> double& { return v[p * r + q]; };
    double trace = 0.0;
    for (std::size_t k = 0; k < r; ++k) trace += G(k, k);
    const double tol = 1e-30 * (trace * trace);
    if (!(trace > 0.0)) return;
    for (int sweep = 0; sweep < 50; ++sweep) {
        double off = 0.0;
        for (std::size_t p = 0; p < r; ++p) {
            for (std::size_t q = p + 1; q < r; ++q) off += G(p, q) * (G(p, q) + G(p, q));
        }
        if (off < tol) return;
        for (std::size_t p = 0; p + 1 < r; ++p) {
            for (std::size_t q = p + 1; q < r; ++q) {
                const double gpq = G(p, q);
                if (gpq * gpq < tol) continue;
                const double theta = (G(q, q) - G(p, p)) / (gpq + gpq);
                const double t = theta >= 0.0 ? 1.0 / (theta + std::sqrt(theta * theta + 1.0))
                                              : 1.0 / (theta - std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0);
                const double s = t * c;
                for (std::size_t k = 0; k < r; ++k) {
                    const double kp = G(k, p), kq = G(k, q);
                    G(k, p) = c * kp - s * kq;
                    G(k, q) = s * kp + c * kq;
                }
                for (std::size_t k = 0; k < r; ++k) {
                    const double pk = G(p, k), qk = G(q, k);
                    G(p, k) = c * pk - s * qk;
                    G(q, k) = s * pk + c * qk;
                }
                G(p, q) = 0.0;
                G(q, p) = 0.0;
                for (std::size_t k = 0; k < r; ++k) {
                    const double kp = V(k, p), kq = V(k, q);
                    V(k, p) = c * kp - s * kq;
                    V(k, q) = s * kp + c * kq;
                }
            }
        }
    }
}

// One bond of the rounding pass: core j (left) and core j + 1 (right). The
// left core's values are its data times 2^carry on entry; on return the left
// core is unscaled and the right core's values are its data times 2^carry.
Status round_bond(TtCore& left, TtCore& right, double eps_round, std::int64_t& carry) {
    const std::size_t m = left.r_left * left.n;
    const std::size_t r = left.r_right;
    if (m == 0 || r == 0) {
        // The left core holds no value to scale, the right one is unscaled.
        carry = 0;
        return {};
    }
    if (right.r_left != r) internal_fault("TtState::round: ranks do not chain");
    // A NaN here would give a NaN Gram matrix and sigma = sqrt(max(NaN, 0)) = 0:
    // the whole train to the right would silently become zero.
    if (Status st = check_finite_values(left.data); !st) return st;
    // Far from unit size the Gram matrix (squares) and the Jacobi tolerance
    // (fourth powers) leave the double range: an overflowing Gram matrix
    // gives sigma = inf and U = 0, a tolerance underflowing to 0 lets a zero
    // pivot give 0/0. Such a core is decomposed scaled by 2^-e.
    const int e = decomposition_scale_exponent(left.data);
    std::vector<double> scaled;
    const std::span<const double> A = scaled_by_power_of_two(left.data, e, scaled);

    // The right singular vectors and values of A from the eigenpairs of A^T A.
    std::vector<double> g(r * r, 0.0);
    for (std::size_t p = 0; p < r; ++p) {
        for (std::size_t q = 0; q < r; ++q) {
            double acc = 0.0;
            for (std::size_t k = 0; k < m; ++k) acc += A[k * r + p] * A[k * r + q];
            g[p * r + q] = acc;
        }
    }
    std::vector<double> v(r * r, 0.0);
    for (std::size_t k = 0; k < r; ++k) v[k * r + k] = 1.0;
    jacobi_eigen(g, v, r);
    // Finite, well-scaled input keeps the rotations finite; should one not
    // be, it is refused rather than read as sigma = 0.
    if (Status st = check_finite_values(g); !st) return st;
    if (Status st = check_finite_values(v); !st) return st;

    std::vector<double> sigma_raw(r);
    for (std::size_t k = 0; k < r; ++k) sigma_raw[k] = std::sqrt(std::fmax(g[k * r + k], 0.0));
    std::vector<std::size_t> perm(r);
    std::iota(perm.begin(), perm.end(), std::size_t{0});
    std::stable_sort(perm.begin(), perm.end(),
                     [&](std::size_t x, std::size_t y) { return sigma_raw[x] > sigma_raw[y]; });
    std::vector<double> sigma(r);
    for (std::size_t k = 0; k < r; ++k) sigma[k] = sigma_raw[perm[k]];

    const double threshold = sigma[0] > 0.0 ? eps_round * sigma[0] : 0.0;
    std::size_t count = 0;
    for (double s : sigma) count += s > threshold ? 1 : 0;
    // A has rank at most min(m, r): directions beyond that carry only
    // rounding noise, and keeping them would let ranks (and storage) outgrow
    // the full tensor when eps_round is 0.
    const std::size_t r_new = std::min({std::max<std::size_t>(count, 1), r, m});

    // Directions below 1e-30 of the largest are taken as zero (relative, so
    // that a train of tiny values is not wiped out).
    const double zero_below = 1e-30 * sigma[0];
    std::vector<double> u(core_size(1, m, r_new), 0.0);
    for (std::size_t row = 0; row < m; ++row) {
        for (std::size_t k = 0; k < r_new; ++k) {
            if (!(sigma[k] > zero_below) || !(sigma[k] > 0.0)) continue;
            double acc = 0.0;
            for (std::size_t c = 0; c < r; ++c) acc += A[row * r + c] * v[c * r + perm[k]];
            u[row * r_new + k] = acc / sigma[k];
        }
    }

    // The factor R = Sigma V^T of the kept directions goes into the right
    // core. R carries the scale 2^e of A and the right core may be far from
    // unit size too: their product can leave the double range although the
    // train's values do not (1e-300 against 1e-300, with a later core of
    // 1e300), so both are multiplied at unit size and the powers of two are
    // carried instead (exact; products and sums commute with them, so
    // values that stay in range give the same bits).
    const int e_right = decomposition_scale_exponent(right.data);
    std::vector<double> right_buf;
    const std::span<const double> B = scaled_by_power_of_two(right.data, e_right, right_buf);
    const std::size_t nb = right.n * right.r_right;
    std::vector<double> next(core_size(r_new, right.n, right.r_right), 0.0);
    for (std::size_t k = 0; k < r_new; ++k) {
        for (std::size_t c = 0; c < r; ++c) {
            const double rkc = sigma[k] * v[c * r + perm[k]];
            for (std::size_t ib = 0; ib < nb; ++ib) next[k * nb + ib] += rkc * B[c * nb + ib];
        }
    }
    carry += std::int64_t{e} + e_right;
    left.data = std::move(u);
    left.r_right = r_new;
    right.data = std::move(next);
    right.r_left = r_new;
    return {};
}

}  // namespace

Status TtState::round(std::vector<TtCore>& cores, double eps_round) {
    std::int64_t carry = 0;  // the current right core's values are its data * 2^carry
    for (std::size_t j = 0; j + 1 < cores.size(); ++j) {
        if (Status st = round_bond(cores[j], cores[j + 1], eps_round, carry); !st) return st;
    }
    if (carry != 0) {
        std::vector<std::span<double>> blocks;
        blocks.reserve(cores.size());
        for (TtCore& c : cores) blocks.emplace_back(c.data);
        restore_power_of_two(blocks, cores.size() - 1, carry);
    }
    // Every core but the last was checked as the left of its bond; the last
    // holds the pushed factors, and a shared-out scale may overflow any core.
    return cores.empty() ? Status{} : check_finite_cores(cores);
}

std::vector<double> merge_adjacent_cores(const TtCore& left, const TtCore& right, int e_left, int e_right) {
    if (left.r_right != right.r_left) internal_fault("merge_adjacent_cores: ranks do not chain");
    std::vector<double> left_buf, right_buf;
    const std::span<const double> L = scaled_by_power_of_two(left.data, e_left, left_buf);
    const std::span<const double> R = scaled_by_power_of_two(right.data, e_right, right_buf);
    const std::size_t rs = left.r_right;
    const std::size_t cols = core_size(1, right.n, right.r_right);
    std::vector<double> theta(core_size(left.r_left * left.n, right.n, right.r_right), 0.0);
    for (std::size_t ap = 0; ap < left.r_left * left.n; ++ap) {
        for (std::size_t s = 0; s < rs; ++s) {
            const double g = L[ap * rs + s];
            if (g == 0.0) continue;
            for (std::size_t qb = 0; qb < cols; ++qb) theta[ap * cols + qb] += g * R[s * cols + qb];
        }
    }
    return theta;
}

}  // namespace quorvane
