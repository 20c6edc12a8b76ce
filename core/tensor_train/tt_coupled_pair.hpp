// The exact factor exp(t L_pair) of two adjacent periodic axes j and k = j + 1,
// L_pair = c_j D2_j + c_k D2_k + 2 rho D1_j D1_k, applied to their two cores
// in the Fourier basis and split again by a truncated SVD.
#pragma once

#include <cstddef>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/tensor_train/tt_core.hpp"

namespace quorvane {

// The smallest eigenvalue of the block [[c_j, rho], [rho, c_k]], as
// det / lambda_max (no cancellation) and with the sign of the exact
// determinant of the entries when the trace is not negative: positive
// exactly for a positive definite block with finite entries, whatever their
// scales, and never rounded to 0; NaN for a NaN entry or an infinite
// diagonal, -inf for an infinite rho.
double pair_block_min_eigenvalue(double c_j, double c_k, double rho);
// Its determinant c_j c_k - rho^2: the plain difference of the two products
// where neither over- nor underflows, else formed without leaving the double
// range on the way (+-inf or +-0 only when the determinant itself lies
// beyond it, never inf - inf).
double pair_block_det(double c_j, double c_k, double rho);

// The refusal of a block whose smallest eigenvalue is NaN: no test of
// positive definiteness can pass it.
inline constexpr char kPairBlockNaN[] =
    "CoupledTtChernoff pair block has a NaN or an infinite entry: its definiteness is undefined";

// The table exp(t (c_j lambda_j[p] + c_k lambda_k[q] - 2 rho mu_j[p] mu_k[q])),
// row-major p*n_k + q over the mode sizes of cores j and k; DomainViolation
// when the block is not positive definite, or kPairBlockNaN when that cannot
// be decided (nothing else is computed then).
// An entry whose terms overflow (spacings below ~1e-154, where h^2
// underflows) is computed with the spacings scaled out, so it is exp of the
// true, very negative, exponent: 0 rather than exp(inf - inf) = NaN.
Expected<std::vector<double>> pair_expsym(const std::vector<TtCore>& cores, std::size_t j, std::size_t k, double c_j,
                                          double c_k, double rho, double t, double h_j, double h_k);

// Merges cores j and k = j + 1, multiplies every (left, right) slice by the
// table in Fourier space and splits the result again: core j gets U Sigma,
// core k orthonormal rows, the new rank keeping the singular values above
// eps_round times the largest (at least 1, at most min(rows, columns)).
// Cores far from unit size are merged scaled by powers of two; where U Sigma
// alone would then leave the normal range, the two halves share the scale
// (restore_power_of_two) and core k's rows are orthogonal, not orthonormal.
// DomainViolation for a table of the wrong length, a stop request
// (poll_stop) during the split, and kTtNonFinite for a NaN or an infinity in
// either core, in the multiplied pair or in the new cores, leave the cores
// unchanged.
Status apply_pair_factor(double eps_round, std::vector<TtCore>& cores, std::size_t j, std::size_t k,
                         const std::vector<double>& expsym);

}  // namespace quorvane
