// Vector-Jacobian products of the exponential action u(t) = e^{-tM} u0 with
// respect to parameters of the symmetric matrix M: the edge weights of a
// graph Laplacian, or the symmetric entries of an assembled operator.
//
// With A = -M and the caller's cotangent dj = dJ/du(t), the Duhamel formula
// for the Frechet derivative of the exponential gives
//
//   dJ/dtheta_k = t * int_0^1 < e^{-(1-s) t M} dj, (dA/dtheta_k) e^{-s t M} u0 > ds,
//
// summed over the channels (columns). The integrand carries terms
// e^{-t((1-s) lambda_a + s lambda_b)} that vary over [0, 1] at rates up to
// t * rho (rho the spectral bound), so [0, 1] is cut into
// P = max(1, ceil(t rho / 4)) equal panels, each with the 8-point
// Gauss-Legendre rule: every panel then sees a rate of at most 4, where the
// rule is accurate to ~1e-13 relative.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/graph/graph_krylov.hpp"
#include "core/sensitivity/graph_sensitivity.hpp"
#include "core/sparse/symmetric_operator.hpp"

namespace quorvane {

// (i, j): the edge between nodes i and j, or the entry pair M_ij = M_ji.
using IndexPair = EdgePair;

// dJ/dw_k for the edge weights w_k = w_{i_k j_k} of the Laplacian L held by
// op, whose derivative is taken as that of L = D - W:
// (dA/dw_ij) x = -(x_i - x_j)(e_i - e_j). u0_cols and dj_cols hold n_cols
// columns of n = L's node count values, column after column. grad_len is
// the length the caller expects (it must equal params.size()). Every
// exponential action is op.apply_into, with op's path and tolerance.
//
// Fails (DomainViolation) for t not finite and > 0, column buffers of the
// wrong lengths, grad_len != params.size(), a pair with an index >= n or
// i == j, a t * rho whose quadrature would exceed kKrylovMaxProducts
// operator products; Unsupported for a normalized Laplacian (the edge
// derivative of I - D^-1/2 W D^-1/2 is not that of D - W); an action's own
// failure is returned unchanged.
Expected<std::vector<double>> graph_expmv_frechet(const GraphKrylovChernoff& op, std::span<const IndexPair> params,
                                                  std::span<const double> u0_cols, std::span<const double> dj_cols,
                                                  std::size_t grad_len, std::size_t n_cols, double t);

// dJ/dtheta_k for the symmetric entries theta_k = M_ij = M_ji of op (a
// diagonal pair (i, i) is the one entry M_ii). The actions are Chebyshev
// expansions of tolerance 1e-12 over op's matrix and Gershgorin bound. The
// same checks as above, but for the edge-only ones; an index >= n is a
// DomainViolation.
Expected<std::vector<double>> symmetric_op_expmv_frechet(const SymmetricOperator& op,
                                                         std::span<const IndexPair> entries,
                                                         std::span<const double> u0_cols,
                                                         std::span<const double> dj_cols, std::size_t n_cols,
                                                         double t);

}  // namespace quorvane
