#include "core/sparse/general_operator.hpp"

#include <algorithm>
#include <cmath>

#include "core/foundation/csr_transpose.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

Expected<ExpmvPlan> select_taylor_degree(double x, double reported, const char* too_large) {
    if (std::isnan(x)) return domain_error(too_large, x);
    return expmv_plan(x, reported, too_large);
}

Expected<GeneralOperator> GeneralOperator::from_csr(std::uint64_t n, std::vector<std::uint64_t> row_ptr,
                                                    std::vector<std::uint32_t> col_idx, std::vector<double> vals) {
    // row_ptr.size() - 1, not n + 1: n = 2^64 - 1 would wrap to an empty row_ptr.
    if (n == 0 || row_ptr.empty() || row_ptr.size() - 1 != n) {
        return domain_error("GeneralOperator::from_csr: row_ptr.len() must be n + 1, n >= 1",
                            static_cast<double>(row_ptr.size()));
    }
    const double nnz_reported = static_cast<double>(vals.size());
    if (vals.size() != col_idx.size() || row_ptr[n] != col_idx.size()) {
        return domain_error("GeneralOperator::from_csr: col_idx/vals length mismatch with row_ptr[n]", nnz_reported);
    }
    // Entries before an offset start would be validated and then belong to
    // no row: refused, as SciPy refuses them.
    if (row_ptr[0] != 0) {
        return domain_error("GeneralOperator::from_csr: row_ptr[0] must be 0", static_cast<double>(row_ptr[0]));
    }
    for (std::uint64_t i = 0; i < n; ++i) {
        if (row_ptr[i] > row_ptr[i + 1]) {
            return domain_error("GeneralOperator::from_csr: row_ptr is not non-decreasing", static_cast<double>(i));
        }
    }
    for (std::size_t k = 0; k < vals.size(); ++k) {
        if (col_idx[k] >= n) {
            return domain_error("GeneralOperator::from_csr: column index out of range", static_cast<double>(col_idx[k]));
        }
        if (!std::isfinite(vals[k])) return domain_error("GeneralOperator::from_csr: non-finite entry", vals[k]);
    }
    double norm_inf = 0.0;
    for (std::uint64_t i = 0; i < n; ++i) {
        double s = 0.0;
        for (std::uint64_t k = row_ptr[i]; k < row_ptr[i + 1]; ++k) s += std::fabs(vals[k]);
        norm_inf = std::max(norm_inf, s);
    }
    // Rows of A^T list their columns ascending whatever the order within rows of A.
    CsrRows<double> t = csr_transpose(n, row_ptr, col_idx, vals);
    GeneralOperator op;
    op.row_ptr = std::make_shared<const std::vector<std::uint64_t>>(std::move(row_ptr));
    op.col_idx = std::make_shared<const std::vector<std::uint32_t>>(std::move(col_idx));
    op.vals = std::make_shared<const std::vector<double>>(std::move(vals));
    op.t_row_ptr = std::make_shared<const std::vector<std::uint64_t>>(std::move(t.ptr));
    op.t_col_idx = std::make_shared<const std::vector<std::uint32_t>>(std::move(t.col));
    op.t_vals = std::make_shared<const std::vector<double>>(std::move(t.val));
    op.n = n;
    op.norm_inf = norm_inf;
    return op;
}

namespace {

void csr_product(const std::vector<std::uint64_t>& rp, const std::vector<std::uint32_t>& ci,
                 const std::vector<double>& v, std::uint64_t n, std::span<const double> x, std::span<double> y) {
    for (std::uint64_t i = 0; i < n; ++i) {
        double s = 0.0;
        for (std::uint64_t k = rp[i]; k < rp[i + 1]; ++k) s += v[k] * x[ci[k]];
        y[i] = s;
    }
}

}  // namespace

void GeneralOperator::apply(std::span<const double> x, std::span<double> y) const {
    csr_product(*row_ptr, *col_idx, *vals, n, x, y);
}

Status GeneralOperator::apply_transpose(std::span<const double> x, std::span<double> y) const {
    csr_product(*t_row_ptr, *t_col_idx, *t_vals, n, x, y);
    // Only a non-finite y sends us back to x: the common finite case costs
    // one scan of the result.
    const double* bad = first_non_finite<double>(y);
    if (bad && !first_non_finite<double>(x)) {
        return domain_error("GeneralOperator::apply_transpose: A^T v overflows the double range", *bad);
    }
    return {};
}

bool CsrExpmvChernoff::fits(double tau) const {
    return select_taylor_degree(tau * op.norm_inf, tau, kCsrExpmvTooLarge).has_value();
}

Status CsrExpmvChernoff::apply(double tau, std::span<const double> x, std::span<double> y) const {
    if (!finite_nonneg(tau)) return domain_error("CsrExpmvChernoff: tau must be finite and >= 0", tau);
    if (x.size() != op.n) {
        return domain_error("CsrExpmvChernoff: slice length != operator dimension", static_cast<double>(x.size()));
    }
    auto plan = select_taylor_degree(tau * op.norm_inf, tau, kCsrExpmvTooLarge);
    if (!plan) return fail(plan.error());
    const auto [m, s] = *plan;
    const double h = tau / static_cast<double>(s);
    std::vector<double> v(x.begin(), x.end());
    std::vector<double> term(x.size(), 0.0);
    std::vector<double> w(x.size(), 0.0);
    for (std::uint64_t piece = 0; piece < s; ++piece) {
        if (Status st = poll_stop(); !st) return st;
        term = v;
        for (std::uint32_t k = 1; k <= m; ++k) {
            op.apply(term, w);
            const double c = -h / static_cast<double>(k);
            for (std::size_t i = 0; i < v.size(); ++i) {
                term[i] = c * w[i];
                v[i] += term[i];
            }
        }
    }
    for (const double e : v) {
        if (!std::isfinite(e)) {
            return domain_error("CsrExpmvChernoff: non-finite result (operator norm too large?)", op.norm_inf);
        }
    }
    std::copy(v.begin(), v.end(), y.begin());
    return {};
}

}  // namespace quorvane
