#include "core/sparse/mass_operator.hpp"

#include <algorithm>
#include <cmath>

#include "core/foundation/grid_fn.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

Expected<TriangularFactor> TriangularFactor::cholesky(std::span<const double> m_dense, std::uint64_t n) {
    if (n != 0 && (n > UINT32_MAX || m_dense.size() != n * n)) {
        return domain_error("TriangularFactor: m_dense length != n*n", static_cast<double>(m_dense.size()));
    }
    for (std::uint64_t j = 0; j < n; ++j) {
        for (std::uint64_t i = j; i < n; ++i) {
            const double v = m_dense[j * n + i];
            if (!std::isfinite(v)) return domain_error("TriangularFactor: mass matrix has a non-finite entry", v);
        }
    }
    std::vector<double> r(n * n, 0.0);
    for (std::uint64_t j = 0; j < n; ++j) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        double d = m_dense[j * n + j];
        for (std::uint64_t k = 0; k < j; ++k) d -= r[k * n + j] * r[k * n + j];
        if (d <= 0.0) {
            return domain_error("TriangularFactor: mass matrix is not positive-definite (pivot \u2264 0)", d);
        }
        const double rjj = std::sqrt(d);
        r[j * n + j] = rjj;
        for (std::uint64_t i = j + 1; i < n; ++i) {
            double s = m_dense[j * n + i];
            for (std::uint64_t k = 0; k < j; ++k) s -= r[k * n + j] * r[k * n + i];
            r[j * n + i] = s / rjj;
        }
    }
    return TriangularFactor{std::move(r), n};
}

void TriangularFactor::solve_upper(std::span<const double> b, std::span<double> x) const {
    for (std::uint64_t ii = n; ii-- > 0;) {
        double s = b[ii];
        for (std::uint64_t j = ii + 1; j < n; ++j) s -= data[ii * n + j] * x[j];
        x[ii] = s / data[ii * n + ii];
    }
}

void TriangularFactor::solve_upper_transpose(std::span<const double> b, std::span<double> x) const {
    for (std::uint64_t i = 0; i < n; ++i) {
        double s = b[i];
        for (std::uint64_t k = 0; k < i; ++k) s -= data[k * n + i] * x[k];
        x[i] = s / data[i * n + i];
    }
}

Expected<std::shared_ptr<const MassKOperator>> MassKOperator::from_k_and_mass(const SymmetricOperator& k,
                                                                              std::span<const double> m_dense) {
    auto factor = TriangularFactor::cholesky(m_dense, k.n());
    if (!factor) return fail(factor.error());
    auto op = std::shared_ptr<MassKOperator>(new MassKOperator(std::move(*factor), k));
    const std::size_t n = op->n();
    std::vector<double> e(n, 0.0), col(n, 0.0), row_sum(n, 0.0);
    op->diagonal_.assign(n, 0.0);
    for (std::size_t j = 0; j < n; ++j) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        e[j] = 1.0;
        op->apply(e, col);
        e[j] = 0.0;
        for (std::size_t i = 0; i < n; ++i) row_sum[i] += std::fabs(col[i]);
        op->diagonal_[j] = col[j];
    }
    double bound = 0.0;
    for (const double s : row_sum) bound = max_ignore_nan(bound, s);
    op->spectral_bound_ = bound;
    return std::shared_ptr<const MassKOperator>(std::move(op));
}

void MassKOperator::apply(std::span<const double> x, std::span<double> y) const {
    const std::size_t n = this->n();
    std::vector<double> w(n, 0.0), z(n, 0.0);
    factor_.solve_upper(x, w);
    k_.laplacian()->spmv(w, z);
    factor_.solve_upper_transpose(z, y);
}

bool MassKOperator::diagonal(std::span<double> d) const {
    std::copy(diagonal_.begin(), diagonal_.end(), d.begin());
    return true;
}

Status MassKOperator::evolve(double t, const KrylovPath& path, double tol, std::span<const double> v,
                             std::span<double> out, ScratchPool<double>& pool) const {
    return krylov_path_action(*this, path, tol, t, v, out, pool);
}

Expected<Laplacian<double>> lumped_congruence(const Laplacian<double>& k, std::span<const double> masses) {
    if (masses.size() != k.n_nodes) {
        return domain_error("lumped_congruence: masses.len() != n", static_cast<double>(masses.size()));
    }
    for (const double m : masses) {
        if (!std::isfinite(m) || !(m > 0.0)) return domain_error("lumped_congruence: non-positive or non-finite mass", m);
    }
    std::vector<double> vals(k.vals.size());
    for (std::uint64_t i = 0; i < k.n_nodes; ++i) {
        const double si = std::sqrt(masses[i]);
        for (std::uint64_t p = k.row_ptr[i]; p < k.row_ptr[i + 1]; ++p) {
            vals[p] = k.vals[p] / (si * std::sqrt(masses[k.col_idx[p]]));
        }
    }
    auto hat = from_csr_parts(k.n_nodes, k.row_ptr, k.col_idx, std::move(vals), LaplacianKind::GeneralSymmetric);
    if (!hat) internal_fault("lumped_congruence: derived CSR is always valid (validated source)", hat.error());
    return hat;
}

Status mass_lumped_evolve(const SymmetricOperator& k, std::span<const double> masses, double t,
                          const KrylovPath& path, double tol, std::span<const double> src_cols,
                          std::span<double> dst_cols) {
    auto hat = lumped_congruence(*k.laplacian(), masses);
    if (!hat) return fail(hat.error());
    const SharedLaplacian shared = std::make_shared<const Laplacian<double>>(std::move(*hat));
    if (Status st = check_krylov_settings(path, tol); !st) return st;
    const std::size_t n = masses.size();
    std::vector<double> x(src_cols.size());
    for (std::size_t p = 0; p < x.size(); ++p) x[p] = src_cols[p] * std::sqrt(masses[p % n]);
    // D^1/2 v can overflow while v and the result are finite. The action is
    // linear: evolve 2^-shift D^1/2 v instead (largest entry below 4) and
    // scale the result back by 2^shift; powers of two are exact, and
    // shift = 0 changes no bit.
    int shift = 0;
    if (first_non_finite<double>(x) != nullptr) {
        for (std::size_t p = 0; p < x.size(); ++p) {
            if (src_cols[p] == 0.0 || !std::isfinite(src_cols[p])) continue;
            shift = std::max(shift, std::ilogb(src_cols[p]) + std::ilogb(std::sqrt(masses[p % n])));
        }
        for (std::size_t p = 0; p < x.size(); ++p) x[p] = std::ldexp(src_cols[p], -shift) * std::sqrt(masses[p % n]);
    }
    if (Status st = krylov_evolve_columns(shared, path, tol, t, x, dst_cols); !st) return st;
    for (std::size_t p = 0; p < dst_cols.size(); ++p) {
        dst_cols[p] = std::ldexp(dst_cols[p] / std::sqrt(masses[p % n]), shift);
    }
    // A mass far below the others amplifies its entries by up to
    // sqrt(max m / min m): the result itself can leave the double range.
    if (const double* bad = first_non_finite<double>(dst_cols)) {
        return domain_error("mass_lumped_evolve: e^{-t M^-1 K} v overflows the double range", *bad);
    }
    return {};
}

}  // namespace quorvane
