// A lower bound of the largest eigenvalue of a symmetric Laplacian, to test
// a caller's spectral bound before a stability decision rests on it.
//
// Every Rayleigh quotient x'Lx / x'x of a symmetric L lies in
// [lambda_min, lambda_max], so the largest one met is a lower bound of
// lambda_max however far the iteration is from converging: a caller's bound
// below it is provably wrong, and a valid bound (>= lambda_max) never is.
// Power iterations from a fixed start push the quotient up towards
// lambda_max; each costs one sparse product.
#pragma once

#include <optional>
#include <vector>

#include "core/graph/laplacian.hpp"

namespace quorvane {

inline constexpr int kRayleighIterations = 16;

// The largest Rayleigh quotient met in kRayleighIterations power iterations
// from a fixed start vector of pseudo-random entries in [-1, 1), in double
// precision whatever F is. nullopt when L is not symmetric (its quotients
// then say nothing about its eigenvalues; the kinds assembled from a graph
// are taken as symmetric, caller arrays are checked in O(nnz)), has no
// nodes, or the iteration leaves the finite range before giving a quotient.
template <class F>
std::optional<double> largest_eigenvalue_lower_bound(const Laplacian<F>& lap);

// The same over `iterations` power iterations from `x` (the fixed start
// when x is empty), leaving the last iterate in x: a caller probing an
// operator that changes little between probes starts each from the last
// one's iterate, near the top eigenvector already, and needs fewer
// iterations. x of another length than L's node count is replaced by the
// fixed start.
template <class F>
std::optional<double> largest_eigenvalue_lower_bound(const Laplacian<F>& lap, std::vector<double>& x, int iterations);

// A bound below `lower` by more than the rounding of the quotient (a few
// ulps per term of the sums) can account for.
inline bool bound_below_lower(double bound, double lower) { return bound < lower * (1.0 - 1e-6); }

extern template std::optional<double> largest_eigenvalue_lower_bound<double>(const Laplacian<double>&);
extern template std::optional<double> largest_eigenvalue_lower_bound<float>(const Laplacian<float>&);
extern template std::optional<double> largest_eigenvalue_lower_bound<double>(const Laplacian<double>&,
                                                                             std::vector<double>&, int);
extern template std::optional<double> largest_eigenvalue_lower_bound<float>(const Laplacian<float>&,
                                                                            std::vector<double>&, int);

}  // namespace quorvane
