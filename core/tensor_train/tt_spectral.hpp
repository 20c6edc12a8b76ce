// Fourier symbols of the periodic difference operators of one axis and the
// two-dimensional Fourier multiplier of a pair of axes.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace quorvane {

// On n points spaced h: lambda[f] = (2 cos(2 pi f/n) - 2)/h^2, the symbol of
// D2 u(p) = (u(p+1) - 2u(p) + u(p-1))/h^2, and mu[f] = sin(2 pi f/n)/h, with
// i mu the symbol of D1 u(p) = (u(p+1) - u(p-1))/(2h). f is not shifted to
// negative frequencies.
struct SpectralTables {
    std::vector<double> lambda;
    std::vector<double> mu;
};
SpectralTables tt_spectral_tables(std::size_t n, double h);

// For every outer pair (a, b) of the merged tensor theta (r_left x n_j x n_k
// x r_right), the slice X[p, q] becomes the real part of
// F^-1 diag(expsym) F X, F the 2-D discrete Fourier transform (n_j x n_k,
// expsym row-major p*n_k + q).
void spectral_multiply_2d(std::vector<double>& theta, std::size_t r_left, std::size_t n_j, std::size_t n_k,
                          std::size_t r_right, std::span<const double> expsym);

}  // namespace quorvane
