// Consistent and lumped mass: the generalized heat semigroup of K x = lambda M x.
//
// With a dense symmetric positive-definite M = R^T R (R upper triangular) the
// operator A_hat = R^-T K R^-1 is symmetric positive semi-definite with the
// spectrum of the pencil (K, M), and is evolved by the Krylov actions (small
// n: the factor is dense). With a diagonal (lumped) M = D the congruence
// D^-1/2 K D^-1/2 keeps K's sparsity, and
// e^{-t M^-1 K} = D^-1/2 e^{-t D^-1/2 K D^-1/2} D^1/2.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/graph/graph_krylov.hpp"
#include "core/graph/pcg.hpp"
#include "core/sparse/symmetric_operator.hpp"

namespace quorvane {

struct TriangularFactor {
    // R row-major (R[i][j] at i*n + j), zero below the diagonal, diagonal > 0.
    std::vector<double> data;
    std::uint64_t n = 0;

    // Cholesky M = R^T R with the bits of the column-by-column recurrence,
    // reading only the diagonal and the upper triangle of the row-major
    // n x n m_dense (the lower triangle is ignored, symmetry is not checked).
    // A non-finite entry of the part read is refused first (it would pass a
    // pivot test d <= 0 as NaN and build a NaN factor); then, in row order,
    // the first pivot that is not finite and > 0: <= 0 (-inf from overflowed
    // squares included) or NaN (overflowed products of opposite signs).
    // Every entry of the factor returned is finite.
    // O(n^3), blocked, on the calling thread: a stop request is answered
    // between rows and blocks.
    static Expected<TriangularFactor> cholesky(std::span<const double> m_dense, std::uint64_t n);
    // R x = b by back substitution.
    void solve_upper(std::span<const double> b, std::span<double> x) const;
    // R^T x = b by forward substitution with the bits of the loop over
    // column i of R, read by rows (contiguous). x may be b itself.
    void solve_upper_transpose(std::span<const double> b, std::span<double> x) const;
};

class MassKOperator final : public SpdOperator {
public:
    // Factors M and forms the bound max_i sum_j |A_hat_ij| once, from the n
    // columns A_hat e_j (O(n^3), like the factor). A row-sum norm bounds the
    // spectral radius from above whatever M is; a few power iterations on
    // M^-1 do not (they underestimate it for the usual finite-element mass).
    // For M = c I the bound is rho_bar(K) / c. The bound's columns run on the
    // workers from n = 256, each with the bits of apply(e_j) whatever their
    // count. Both O(n^3) parts answer a stop request between blocks; nothing
    // is kept from a stopped one. Fails as cholesky, then for an A_hat whose
    // row sums leave the double range (the bound would be inf or NaN).
    static Expected<std::shared_ptr<const MassKOperator>> from_k_and_mass(const SymmetricOperator& k,
                                                                          std::span<const double> m_dense);

    std::size_t n() const override { return static_cast<std::size_t>(k_.n()); }
    double spectral_bound() const override { return spectral_bound_; }
    // y = R^-T K R^-1 x.
    void apply(std::span<const double> x, std::span<double> y) const override;
    // Kept from the columns the bound is formed from: n products less per
    // implicit evolution.
    bool diagonal(std::span<double> d) const override;

    const TriangularFactor& factor() const { return factor_; }
    const SymmetricOperator& k() const { return k_; }

    // out = e^{-t A_hat} v by the path (no change of variables by R); out is
    // written only on success.
    Status evolve(double t, const KrylovPath& path, double tol, std::span<const double> v, std::span<double> out,
                  ScratchPool<double>& pool) const;

private:
    MassKOperator(TriangularFactor factor, SymmetricOperator k) : factor_(std::move(factor)), k_(std::move(k)) {}
    TriangularFactor factor_;
    SymmetricOperator k_;
    double spectral_bound_ = 0.0;
    std::vector<double> diagonal_;
};

// D^-1/2 K D^-1/2 with D = diag(masses): K's pattern, values
// k_ij / (sqrt(m_i) sqrt(m_j)), its own Gershgorin bound. Refuses a count
// other than n and a mass that is not finite and > 0.
Expected<Laplacian<double>> lumped_congruence(const Laplacian<double>& k, std::span<const double> masses);

// Every column of src_cols replaced by e^{-t M^-1 K} of it, M = diag(masses),
// through the congruence and the batched Krylov driver. t = 0 copies src_cols
// (after the mass, tol and m_max checks), whatever the masses. Where the
// congruence leaves the normal doubles, the masses spread over more than
// 2^128, or a mass takes a column of D^1/2 v down near the subnormals (an
// entry of v_nc subnormal on its own, or far below its column's top, does
// not), both are scaled by powers of two (the operator to a bound
// near 2^100 for the time t times that power, each column of D^1/2 v to a
// largest entry near 2^297) and each entry is formed from the parts of its
// factors, so masses from the smallest subnormal to the largest double evolve;
// the Chebyshev recurrence then computes the same values up to those powers
// wherever the unscaled one kept every value a normal double. On the Lanczos
// and implicit paths tol holds in the mass-weighted norm ||D^1/2 v||_2, so the
// relative error in the plain 2-norm can reach sqrt(max m / min m) tol; the
// Chebyshev path keeps each node's own scale. Fails as lumped_congruence, then
// for tol and m_max as check_krylov_settings, then on those two paths when
// rounding alone, sqrt(max m / min m) 2^-52, exceeds tol (value sqrt(max m /
// min m), at most DBL_MAX), then when an entry of the congruence that matters
// over t, or sqrt(m_i) v_i where v_nc alone would keep it (its mass puts it
// that far below its column's top), would fall below the normal doubles after
// that scaling (value the same), when t times the bound overflows, then as
// krylov_evolve_columns, then for a result beyond the double range (dst_cols
// then holds no result).
Status mass_lumped_evolve(const SymmetricOperator& k, std::span<const double> masses, double t,
                          const KrylovPath& path, double tol, std::span<const double> src_cols,
                          std::span<double> dst_cols);

}  // namespace quorvane
