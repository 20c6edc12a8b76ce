// A lower bound of the largest eigenvalue of a symmetric Laplacian, to test
// a caller's spectral bound before a stability decision rests on it.
//
// Lanczos steps from a fixed start vector build an orthonormal basis V of a
// Krylov space and the tridiagonal T = V'LV. The largest eigenvalue of T (a
// Ritz value) is the Rayleigh quotient of its Ritz vector Vs, so it never
// exceeds lambda_max however few steps were taken: a caller's bound below
// it is provably wrong, and a valid bound (>= lambda_max) never is. In
// floating point, without reorthogonalization, the Ritz values stay within
// a few rounding units of ||L|| of the spectrum (Paige), which the refusal's
// margin (bound_below_lower) covers. Each step costs one sparse product, and
// the largest Ritz value converges towards lambda_max as a Chebyshev
// polynomial in the steps, much faster than power iterations.
//
// A Laplacian taken from caller arrays is probed through its symmetric part
// (L + L')/2, whose Rayleigh quotients are those of L: entries that disagree
// with their transposed partner in the last bits (float assembly), or a
// zero stored in one triangle only, change nothing. An operator whose
// products show an asymmetry beyond what rounding explains is not probed.
#pragma once

#include <optional>
#include <vector>

#include "core/graph/laplacian.hpp"

namespace quorvane {

// Lanczos steps of the probe of a fixed Laplacian (kept per object), and of
// largest_eigenvalue_lower_bound without a step count.
inline constexpr int kLanczosMaxIterations = 64;
inline constexpr int kRayleighIterations = 16;
// Relative asymmetry ||(L - L')v|| / (spectral_bound ||v||) above which an
// operator from caller arrays counts as not symmetric (the entrywise
// tolerance of the symmetric operators from caller arrays).
inline constexpr double kSymmetryTolerance = 1e-10;

struct RitzEstimate {
    // The largest Ritz value: a Rayleigh quotient of L, so <= lambda_max.
    double value = 0.0;
    int iterations = 0;
};

// max_iterations Lanczos steps (fewer when the Krylov space closes: T then
// holds eigenvalues of L), in double precision whatever F is. With x given,
// the steps start from x (the fixed start when x is empty, of another
// length or zero) and leave the Ritz vector in x, for a probe of a nearby
// operator to start from; they then keep their basis, max_iterations
// vectors. nullopt when L has no nodes, is malformed, is not symmetric
// (above), or its first product is not finite.
template <class F>
std::optional<RitzEstimate> largest_ritz_value(const Laplacian<F>& lap, int max_iterations,
                                               std::vector<double>* x = nullptr);

// The largest Ritz value of kRayleighIterations steps from the fixed start.
template <class F>
std::optional<double> largest_eigenvalue_lower_bound(const Laplacian<F>& lap);

// The same over `iterations` steps from x (the fixed start when x is empty
// or of another length than L's node count), leaving the Ritz vector in x:
// a caller probing an operator that changes little between probes starts
// each from the last one's vector, near the top eigenvector already, and
// needs fewer steps.
template <class F>
std::optional<double> largest_eigenvalue_lower_bound(const Laplacian<F>& lap, std::vector<double>& x, int iterations);

// A bound below `lower` by more than the rounding of the quotient (a few
// ulps per term of the sums) can account for.
inline bool bound_below_lower(double bound, double lower) { return bound < lower * (1.0 - 1e-6); }

// A rate mu >= 0 with ||exp(-t L)|| <= exp(t mu) in the 2-norm: minus the
// Gershgorin lower bound of the smallest eigenvalue of (L + L')/2 when that
// is negative (the logarithmic norm of -L), else 0. The kinds assembled from
// a graph are positive semi-definite (0); caller arrays take one pass.
template <class F>
double norm_growth_rate(const Laplacian<F>& lap);

extern template std::optional<RitzEstimate> largest_ritz_value<double>(const Laplacian<double>&, int,
                                                                        std::vector<double>*);
extern template std::optional<RitzEstimate> largest_ritz_value<float>(const Laplacian<float>&, int,
                                                                       std::vector<double>*);
extern template std::optional<double> largest_eigenvalue_lower_bound<double>(const Laplacian<double>&);
extern template std::optional<double> largest_eigenvalue_lower_bound<float>(const Laplacian<float>&);
extern template std::optional<double> largest_eigenvalue_lower_bound<double>(const Laplacian<double>&,
                                                                             std::vector<double>&, int);
extern template std::optional<double> largest_eigenvalue_lower_bound<float>(const Laplacian<float>&,
                                                                            std::vector<double>&, int);
extern template double norm_growth_rate<double>(const Laplacian<double>&);
extern template double norm_growth_rate<float>(const Laplacian<float>&);

}  // namespace quorvane
