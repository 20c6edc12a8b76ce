#include "core/tensor_train/tt_coupled_pair.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "core/tensor_train/tt_dense_expm.hpp"
#include "core/tensor_train/tt_spectral.hpp"

namespace quorvane {

namespace {

// The block [[c_j, rho], [rho, c_k]] times 2^-e. Entries far from unit size
// square out of the double range: c_j + c_k or rho^2 overflowing gives
// inf - inf = NaN. When the largest finite entry lies outside
// [2^-200, 2^200] the block is measured scaled to unit size (exact); an
// infinite entry stays infinite. Within the range e = 0 and nothing changes.
// Smaller entries may still underflow here: what needs them, the
// determinant, is formed from the entries themselves (split_det).
struct ScaledBlock {
    double c_j, c_k, rho;
    int e;
};

ScaledBlock scaled_block(double c_j, double c_k, double rho) {
    const double finite[3] = {std::isfinite(c_j) ? c_j : 0.0, std::isfinite(c_k) ? c_k : 0.0,
                              std::isfinite(rho) ? rho : 0.0};
    const int e = decomposition_scale_exponent(finite);
    return {std::ldexp(c_j, -e), std::ldexp(c_k, -e), std::ldexp(rho, -e), e};
}

// det(B) = m 2^e.
struct SplitDet {
    double m;
    int e;
};

// The determinant c_j c_k - rho^2 of finite entries with the sign of the
// exact one: the entries' exponents are split off (frexp), so neither
// product leaves the double range, and the two products are subtracted by
// Kahan's scheme, the rounding error of rho^2 being recovered exactly by an
// fma and added back. That difference is within 2 ulp of the exact one
// (Jeannerod, Louvet and Muller), so it is 0 only for a singular block and
// keeps its sign where the products cancel. One factor of the smaller
// product carries the exponent difference; it loses bits only when that
// product is below 2^-960 of the other, which it can then not outweigh.
SplitDet split_det(double c_j, double c_k, double rho) {
    int e_j = 0, e_k = 0, e_r = 0;
    const double m_j = std::frexp(c_j, &e_j), m_k = std::frexp(c_k, &e_k), m_r = std::frexp(rho, &e_r);
    if (m_j == 0.0 || m_k == 0.0) return {0.0 - m_r * m_r, 2 * e_r};
    if (m_r == 0.0) return {m_j * m_k, e_j + e_k};
    const int e_diag = e_j + e_k, e_off = 2 * e_r, e = std::max(e_diag, e_off);
    const double x = std::ldexp(m_k, e_diag - e), y = std::ldexp(m_r, e_off - e);
    const double w = m_r * y;
    const double w_err = std::fma(-m_r, y, w);  // w - m_r y, exact
    return {std::fma(m_j, x, -w) + w_err, e};
}

bool all_finite(double c_j, double c_k, double rho) {
    return std::isfinite(c_j) && std::isfinite(c_k) && std::isfinite(rho);
}

}  // namespace

double pair_block_min_eigenvalue(double c_j, double c_k, double rho) {
    const ScaledBlock b = scaled_block(c_j, c_k, rho);
    const double mean = (b.c_j + b.c_k) * 0.5;
    const double half_diff = (b.c_j - b.c_k) * 0.5;
    const double root = std::sqrt(b.rho * b.rho + half_diff * half_diff);
    // mean - root cancels when the eigenvalues are far apart (c_j = 1e-20,
    // c_k = 1, rho = 0 gives 0): only the larger one, mean + root, is formed
    // by addition, and the smaller is det / lambda_max. A negative mean has no
    // cancellation in mean - root.
    if (!all_finite(c_j, c_k, rho) || mean < 0.0) return std::ldexp(mean - root, b.e);
    const double lambda_max = mean + root;  // >= the largest |entry|: 0 only for the zero block
    if (lambda_max == 0.0) return 0.0;
    const SplitDet det = split_det(c_j, c_k, rho);
    const double lambda = std::ldexp(det.m / lambda_max, det.e - b.e);
    // A positive eigenvalue far below the double range keeps the least
    // positive double, so that its sign still decides the test.
    return det.m > 0.0 ? std::fmax(lambda, std::numeric_limits<double>::denorm_min()) : lambda;
}

double pair_block_det(double c_j, double c_k, double rho) {
    // Products that neither overflow nor underflow give the determinant as
    // it has always been shown; only beyond them is the split form used.
    auto in_range = [](double product, double x, double y) {
        return product == 0.0 ? x == 0.0 || y == 0.0 : std::isnormal(product);
    };
    const double diag = c_j * c_k, off = rho * rho, det = diag - off;
    if (in_range(diag, c_j, c_k) && in_range(off, rho, rho) && std::isfinite(det)) return det;
    if (!all_finite(c_j, c_k, rho)) {
        const ScaledBlock b = scaled_block(c_j, c_k, rho);
        return std::ldexp(b.c_j * b.c_k - b.rho * b.rho, 2 * b.e);
    }
    const SplitDet split = split_det(c_j, c_k, rho);
    return std::ldexp(split.m, split.e);
}

namespace {

// The pair symbol t (c_j lambda_j + c_k lambda_k - 2 rho mu_j mu_k) with
// the spacings and the block scaled out: lambda = L/h^2 and mu = S/h with
// L = 2 cos - 2 and S = sin, so with h_min = min(h_j, h_k), x = h_min/h_j,
// y = h_min/h_k and c_max = max(c_j, c_k, |rho|) it is
//   ((t Q) c_max / h_min) / h_min,
//   Q = (c_j/c_max) L_j x^2 + (c_k/c_max) L_k y^2 - 2 (rho/c_max) (S_j x)(S_k y),
// where Q is of order one. Since -L >= S^2 and the block is positive
// definite, Q <= 0: the product can only run to -inf (a mode the pair kills),
// never to inf - inf. Spacings whose squares underflow (h < 1e-154) or
// coefficients near the double range need it.
struct ScaledPairSymbol {
    SpectralTables unit_j, unit_k;
    double cj, ck, two_rho, c_max, h_min, x, y;

    ScaledPairSymbol(std::size_t n_j, std::size_t n_k, double c_j, double c_k, double rho, double h_j, double h_k)
        : unit_j(tt_spectral_tables(n_j, 1.0)), unit_k(tt_spectral_tables(n_k, 1.0)) {
        c_max = std::max({c_j, c_k, std::abs(rho)});
        cj = c_j / c_max;
        ck = c_k / c_max;
        two_rho = 2.0 * (rho / c_max);
        h_min = std::min(h_j, h_k);
        x = h_min / h_j;
        y = h_min / h_k;
    }

    double exponent(std::size_t p, std::size_t q, double t) const {
        const double q_form = (cj * unit_j.lambda[p] * (x * x) + ck * unit_k.lambda[q] * (y * y)) -
                              two_rho * (unit_j.mu[p] * x) * (unit_k.mu[q] * y);
        return (((t * q_form) * c_max) / h_min) / h_min;
    }
};

}  // namespace

Expected<std::vector<double>> pair_expsym(const std::vector<TtCore>& cores, std::size_t j, std::size_t k, double c_j,
                                          double c_k, double rho, double t, double h_j, double h_k) {
    if (j >= cores.size() || k >= cores.size()) internal_fault("pair_expsym: axis index out of range");
    const double lambda_min = pair_block_min_eigenvalue(c_j, c_k, rho);
    if (std::isnan(lambda_min)) return domain_error(kPairBlockNaN, 0.0);
    if (lambda_min <= 0.0) {
        return domain_error(
            "CoupledTtChernoff pair block not SPD: det(B)=cj*ck-r^2<=0. Reduce |rho| or adjust topology (tridiagonal "
            "d>=4: requires |rho|<0.5; see ss10.12 risk 1)",
            0.0);
    }
    const std::size_t n_j = cores[j].n, n_k = cores[k].n;
    const SpectralTables tj = tt_spectral_tables(n_j, h_j);
    const SpectralTables tk = tt_spectral_tables(n_k, h_k);
    const double two_rho = 2.0 * rho;
    std::optional<ScaledPairSymbol> scaled;
    std::vector<double> table(core_size(1, n_j, n_k));
    for (std::size_t p = 0; p < n_j; ++p) {
        for (std::size_t q = 0; q < n_k; ++q) {
            double e = t * (c_j * tj.lambda[p] + c_k * tk.lambda[q] - two_rho * tj.mu[p] * tk.mu[q]);
            // The symbol is never positive: NaN or +inf means its terms left
            // the double range (inf - inf), and -inf may be a term that
            // overflowed before a small t would have brought it back (t c
            // lambda with c near 1e308); the scaled form gives either.
            if (!std::isfinite(e)) {
                if (!scaled) scaled.emplace(n_j, n_k, c_j, c_k, rho, h_j, h_k);
                e = scaled->exponent(p, q, t);
            }
            table[p * n_k + q] = std::exp(e);
        }
    }
    return table;
}

Status apply_pair_factor(double eps_round, std::vector<TtCore>& cores, std::size_t j, std::size_t k,
                         const std::vector<double>& expsym) {
    if (j >= cores.size() || k >= cores.size() || k != j + 1) internal_fault("apply_pair_factor: bad axis pair");
    TtCore& left = cores[j];
    TtCore& right = cores[k];
    if (expsym.size() != left.n * right.n) {
        return domain_error("apply_pair_factor: expsym length != n_j * n_k", static_cast<double>(expsym.size()));
    }
    // The merge skips zero entries of the left core, so a NaN of the right
    // core facing one would vanish: both are checked first.
    if (Status st = check_finite_values(left.data); !st) return st;
    if (Status st = check_finite_values(right.data); !st) return st;
    // The merge multiplies the two cores: far from unit size (1e-300 against
    // 1e-300, the train's size held by a third core) it would leave the double
    // range, so such cores are merged at unit size, the powers of two carried.
    const int e_left = decomposition_scale_exponent(left.data);
    const int e_right = decomposition_scale_exponent(right.data);
    std::vector<double> theta = merge_adjacent_cores(left, right, e_left, e_right);
    spectral_multiply_2d(theta, left.r_left, left.n, right.n, right.r_right, expsym);
    // A NaN column of the split would sort anywhere and could be truncated
    // away with the noise.
    if (Status st = check_finite_values(theta); !st) return st;

    const std::size_t m = left.r_left * left.n;
    const std::size_t nc = right.n * right.r_right;
    // One-sided Jacobi orthogonalises the columns of the narrower side: the
    // columns of M when it is tall, else the columns of M^T (the rows of M,
    // contiguous in theta). Rotating more columns than rows would spend its
    // sweeps on columns that can only shrink towards zero.
    const bool on_columns = nc <= m;
    std::vector<double> cols;
    if (on_columns) {
        cols.resize(theta.size());
        for (std::size_t row = 0; row < m; ++row)
            for (std::size_t col = 0; col < nc; ++col) cols[col * m + row] = theta[row * nc + col];
    } else {
        cols = std::move(theta);
    }
    // Column norms square the values: out of [2^-200, 2^200] they are split
    // scaled by 2^-e, and core j (U Sigma) takes the scale back with that of
    // the merge (restore_power_of_two: core k's rows share it only where
    // U Sigma alone would leave the normal range).
    const int e = decomposition_scale_exponent(cols);
    if (e != 0) {
        for (double& x : cols) x = std::ldexp(x, -e);
    }
    Expected<JacobiSvd> split = on_columns ? jacobi_svd(std::move(cols), m, nc) : jacobi_svd(std::move(cols), nc, m);
    if (!split) return fail(split.error());
    const JacobiSvd& svd = *split;
    const std::size_t rank_max = std::min(m, nc);
    const double s0 = svd.sigma[svd.order[0]];
    const double threshold = s0 > 0.0 ? eps_round * s0 : 0.0;
    double frob2 = 0.0;
    for (double s : svd.sigma) frob2 += s * s;
    std::size_t count = 0;
    for (std::size_t r = 0; r < svd.ncols; ++r) {
        const double s = svd.sigma[svd.order[r]];
        count += s > threshold && s * s >= kNegligibleColumn * frob2 ? 1 : 0;
    }
    // The merged matrix has rank at most min(m, nc), and directions at the
    // level of rounding noise carry nothing: keeping them (eps_round <= ~1e-15)
    // would let the ranks, and the storage, grow past the full tensor.
    const std::size_t r_new = std::min(std::max<std::size_t>(count, 1), rank_max);

    // M = sum_r sigma_r u_r v_r^T: core j gets U Sigma, core k the rows v_r^T.
    std::vector<double> left_data(core_size(left.r_left, left.n, r_new));
    std::vector<double> right_data(core_size(r_new, right.n, right.r_right));
    for (std::size_t r = 0; r < r_new; ++r) {
        const std::size_t c = svd.order[r];
        const double s = svd.sigma[c];
        const double inv = s > 0.0 ? 1.0 / s : 0.0;
        if (on_columns) {  // B = M W: u_r = b_c / s, v_r = w_c
            for (std::size_t row = 0; row < m; ++row) {
                left_data[row * r_new + r] = (svd.b[c * m + row] * inv) * s;
            }
            for (std::size_t col = 0; col < nc; ++col) right_data[r * nc + col] = svd.w[c * nc + col];
        } else {  // B = M^T W: v_r = b_c / s, u_r = w_c
            for (std::size_t row = 0; row < m; ++row) left_data[row * r_new + r] = svd.w[c * m + row] * s;
            for (std::size_t col = 0; col < nc; ++col) right_data[r * nc + col] = svd.b[c * nc + col] * inv;
        }
    }
    const std::span<double> halves[2] = {left_data, right_data};
    restore_power_of_two(halves, 0, std::int64_t{e} + e_left + e_right);
    // The product can still overflow when the scale is put back.
    if (Status st = check_finite_values(left_data); !st) return st;
    if (Status st = check_finite_values(right_data); !st) return st;
    left.data = std::move(left_data);
    left.r_right = r_new;
    right.data = std::move(right_data);
    right.r_left = r_new;
    return {};
}

}  // namespace quorvane
