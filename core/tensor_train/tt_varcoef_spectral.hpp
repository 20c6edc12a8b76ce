// The residual operator of a variable-coefficient axis: the conservative
// three-point discretisation of d/dx(a d/dx) + b d/dx + v on a periodic axis,
// minus the constant part abar * D2 that the spectral step takes exactly.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace quorvane {

// Periodic tridiagonal coefficients: row i reads u_{i-1}, u_i, u_{i+1}.
struct PeriodicTridiag {
    std::vector<double> sub, diag, sup;
};

// Residual R = L_h - abar D2_h for the node samples a, b and v (v empty:
// no reaction), spacing h; a_{-1} = a_{m-1} and a_m = a_0.
PeriodicTridiag residual_operator(std::span<const double> a, std::span<const double> b, std::span<const double> v,
                                  double abar, double h);

// The whole three-point operator L_h of d/dx(a d/dx) + b d/dx (no reaction)
// on the same nodes: every row sums to zero up to rounding.
PeriodicTridiag axis_operator(std::span<const double> a, std::span<const double> b, double h);

// u <- (1 + delta R + delta^2 R^2 / 2) u, the second-order Taylor step of
// exp(delta R). `r` and `q` are work buffers of u's length.
void periodic_tridiag_apply(const PeriodicTridiag& op, std::span<double> u, double delta, std::vector<double>& r,
                            std::vector<double>& q);

}  // namespace quorvane
