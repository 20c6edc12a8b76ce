// Eigenvalues of a small dense real matrix with no symmetry: balancing by
// powers of two, Householder reduction to upper Hessenberg form and Francis
// double-shift QR, eigenvalues only. A QR step costs O(m^2) on the active
// m x m block and an eigenvalue takes two or three steps, so the whole
// computation is about 10 n^3 flops: callers cap n, and a stop request
// (poll_stop) ends it, looked at every ~2^22 flops.
#pragma once

#include <complex>
#include <cstddef>
#include <optional>
#include <vector>

#include "core/foundation/error.hpp"

namespace quorvane {

// The n eigenvalues of the n x n matrix `a` (row by row), each conjugate pair
// with both members. Each computed eigenvalue is exact for a matrix within
// about n eps |a| of `a` (backward stable). nullopt when the QR iteration has
// not converged after 30 max(n, 10) steps, or `a` holds a NaN or an infinity;
// the stop request's failure when one came.
Expected<std::optional<std::vector<std::complex<double>>>> dense_eigenvalues(std::vector<double> a, std::size_t n);

// An eigenvector of `a` (n x n, row by row) for the computed eigenvalue
// `lambda`, scaled to largest modulus 1: two steps of inverse iteration with
// a pivoted LU of a - lambda I, a zero pivot replaced by eps |a|. nullopt when
// `a` or `lambda` is not finite or the iteration overflows; the stop
// request's failure when one came.
Expected<std::optional<std::vector<std::complex<double>>>> dense_eigenvector(const std::vector<double>& a,
                                                                             std::size_t n,
                                                                             std::complex<double> lambda);

}  // namespace quorvane
