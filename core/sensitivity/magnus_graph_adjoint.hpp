// Transposed fourth-order Magnus steps of graph heat and the backward costate
// sweeps built from them.
//
// The forward step is S = T4(Omega) with Omega = -(tau/2)(L1 + L2)
// + (sqrt(3)/12) tau^2 (L2 L1 - L1 L2). Every sampled Laplacian is
// symmetric, so Omega^T flips only the commutator's sign and
// S^T = T4(Omega^T): the adjoint step is the forward kernel with sign -1,
// and <S^T lambda, u> = <lambda, S u> holds to rounding. A sweep maps a
// terminal costate lambda_n to lambda_0 = S_1^T ... S_n^T lambda_n, the
// last step's transpose first.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/graph/laplacian.hpp"
#include "core/graph/magnus_graph.hpp"

namespace quorvane {

// out = T4(Omega^T) x for the Laplacians of the two Gauss points; five
// vectors from the pool.
void magnus4_adjoint_step(const Laplacian<double>& l1, const Laplacian<double>& l2, std::span<const double> x,
                          std::span<double> out, ScratchPool<double>& pool, double tau);

// The same for the variable-coefficient exponent, s1 and s2 = sqrt(a) at the
// two Gauss points; seven vectors from the pool.
void varcoef_magnus4_adjoint_step(const Laplacian<double>& l1, std::span<const double> s1,
                                  const Laplacian<double>& l2, std::span<const double> s2,
                                  std::span<const double> x, std::span<double> out, ScratchPool<double>& pool,
                                  double tau);

// The transpose of step.apply_into over [t, t + tau]: the same checks (tau,
// then the radius when checked) and the same provider calls, in the same
// order. Nothing is written on failure.
Status magnus_graph_adjoint_step(const MagnusGraphHeatChernoff& step, std::span<const double> x,
                                 std::span<double> out, ScratchPool<double>& pool, double t, double tau);

// r = sqrt(a) element-wise, every root finite and > 0, else DomainViolation
// "VarCoef adjoint: a(t) not positive/finite" with the first bad root (NaN
// for a negative a).
Status varcoef_adjoint_roots(std::span<const double> a, std::span<double> r);

// lambda_0 from lambda_n over n_steps steps of tau; step k covers
// [k tau, (k + 1) tau] and k runs from n_steps - 1 down to 0. The Magnus
// sweep checks each step as magnus_graph_adjoint_step does (a refused radius
// fails before any provider call). The variable-coefficient sweep checks
// tau and the radius tau * rho_bar_max * a_sup_max^2 once, then per step
// samples L(s1), L(s2), a(s1), a(s2) (s_i = c_i tau + k tau) and takes the
// roots. The first failure ends the sweep.
Expected<std::vector<double>> magnus_graph_adjoint_sweep(const MagnusGraphHeatChernoff& step,
                                                         std::vector<double> lambda, std::uint64_t n_steps,
                                                         double tau);
Expected<std::vector<double>> varcoef_magnus_graph_adjoint_sweep(const VarCoefMagnusGraphHeatChernoff& step,
                                                                 std::vector<double> lambda, std::uint64_t n_steps,
                                                                 double tau);

}  // namespace quorvane
