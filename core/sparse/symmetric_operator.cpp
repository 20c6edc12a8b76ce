#include "core/sparse/symmetric_operator.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "core/graph/graph_batched.hpp"

namespace quorvane {

Expected<SymmetricOperator> SymmetricOperator::from_csr(std::uint64_t n, std::span<const std::uint64_t> row_ptr,
                                                        std::span<const std::uint32_t> col_idx,
                                                        std::span<const double> vals, double sym_tol) {
    // Values first: a NaN is reported as such even in a malformed structure.
    for (const double v : vals) {
        if (!std::isfinite(v)) return domain_error("SymmetricOperator::from_csr: non-finite entry", v);
    }
    auto parts = from_csr_parts(n, std::vector<std::uint64_t>(row_ptr.begin(), row_ptr.end()),
                                std::vector<std::uint32_t>(col_idx.begin(), col_idx.end()),
                                std::vector<double>(vals.begin(), vals.end()), LaplacianKind::GeneralSymmetric);
    if (!parts) return fail(parts.error());
    const Laplacian<double>& l = *parts;
    for (std::uint64_t i = 0; i < n; ++i) {
        for (std::uint64_t k = l.row_ptr[i]; k < l.row_ptr[i + 1]; ++k) {
            if (l.col_idx[k] == i && l.vals[k] < 0.0) {
                return domain_error("SymmetricOperator::from_csr: diagonal entry < 0", l.vals[k]);
            }
        }
    }
    const auto cols_begin = l.col_idx.begin();
    for (std::uint64_t i = 0; i < n; ++i) {
        for (std::uint64_t k = l.row_ptr[i]; k < l.row_ptr[i + 1]; ++k) {
            const std::uint32_t j = l.col_idx[k];
            if (j == i) continue;
            const auto lo = cols_begin + static_cast<std::ptrdiff_t>(l.row_ptr[j]);
            const auto hi = cols_begin + static_cast<std::ptrdiff_t>(l.row_ptr[j + 1]);
            const auto pos = std::lower_bound(lo, hi, static_cast<std::uint32_t>(i));
            if (pos == hi || *pos != i) {
                return domain_error("SymmetricOperator::from_csr: no (j,i) entry for existing (i,j)",
                                    static_cast<double>(i));
            }
            const double a = l.vals[k];
            const double b = l.vals[static_cast<std::size_t>(pos - cols_begin)];
            const double scale = std::max(std::fabs(a), std::fabs(b));
            const double diff = std::fabs(a - b);
            if (scale > 0.0 && diff > sym_tol * scale) {
                return domain_error("SymmetricOperator::from_csr: asymmetric entry exceeds sym_tol", diff);
            }
        }
    }
    return SymmetricOperator(std::make_shared<const Laplacian<double>>(std::move(*parts)));
}

Status krylov_evolve_columns(const SharedLaplacian& op, const KrylovPath& path, double tol, double t,
                             std::span<const double> src_cols, std::span<double> dst_cols) {
    auto kernel = GraphKrylovChernoff::make(path, op, tol);
    if (!kernel) return fail(kernel.error());
    const GraphKrylovChernoff& k = *kernel;
    return evolve_columns(op->n_nodes, 1, src_cols, dst_cols,
                          [&](std::span<const double> s, std::span<double> d, ScratchPool<double>& pool) {
                              return k.apply_into(t, s, d, pool);
                          });
}

}  // namespace quorvane
