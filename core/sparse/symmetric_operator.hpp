// A symmetric positive semi-definite sparse operator assembled outside the
// library (finite-element stiffness, finite-volume stencil, a Laplacian built
// elsewhere), validated once and shared immutably, and its exponential action
// e^{-tA} over a batch of columns.
#pragma once

#include <cstdint>
#include <span>

#include "core/foundation/error.hpp"
#include "core/graph/graph_krylov.hpp"
#include "core/graph/laplacian.hpp"

namespace quorvane {

class SymmetricOperator {
public:
    // Checks, in order: every value finite (before any structure), the CSR
    // structure (from_csr_parts, row_ptr[0] = 0 included), every diagonal
    // entry >= 0, then every off-diagonal (i, j) has a partner (j, i) found by
    // binary search in row j (columns ascending) with
    // |a_ij - a_ji| <= sym_tol * max(|a_ij|, |a_ji|). Positive
    // semi-definiteness itself is the caller's promise: an indefinite matrix
    // passes these checks. The arrays are copied.
    static Expected<SymmetricOperator> from_csr(std::uint64_t n, std::span<const std::uint64_t> row_ptr,
                                                std::span<const std::uint32_t> col_idx,
                                                std::span<const double> vals, double sym_tol);

    // The shared CSR record (kind GeneralSymmetric).
    const SharedLaplacian& laplacian() const { return lap_; }
    std::uint64_t n() const { return lap_->n_nodes; }
    // Gershgorin bound max_i sum_k |a_ik| >= rho(A); 0 without entries.
    double spectral_bound() const { return lap_->spectral_bound; }

private:
    explicit SymmetricOperator(SharedLaplacian lap) : lap_(std::move(lap)) {}
    SharedLaplacian lap_;
};

// Every column of src_cols (C columns of n values, column after column)
// replaced by e^{-t A} of it in dst_cols, by the Krylov path on the shared
// operator, columns spread over worker threads by the batched driver. Fails
// for a tol not finite and > 0, for n = 0 and with the first column's error;
// dst_cols is then not a result.
Status krylov_evolve_columns(const SharedLaplacian& op, const KrylovPath& path, double tol, double t,
                             std::span<const double> src_cols, std::span<double> dst_cols);

}  // namespace quorvane
