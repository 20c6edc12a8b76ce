// Banded operations of the real-pair Schrodinger step: the tridiagonal
// second difference and the Crank-Nicolson kinetic factor solved in real
// arithmetic through the pentadiagonal system I + K^2.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace quorvane {

// The work area of one step: the phase arrays A (real part) and B
// (imaginary part) and the kinetic arrays W1..W10 (w[0]..w[9]). Sized to n
// by the first step, reused without allocation by later ones.
struct SchrodingerWork {
    std::vector<double> a;
    std::vector<double> b;
    std::array<std::vector<double>, 10> w;
    // cos and sin of the half-step phase, shared by both phase factors.
    std::vector<double> cos_theta;
    std::vector<double> sin_theta;
};

// out_i = o*x_{i+1} + (o*x_{i-1} + d*x_i) with zero values beyond the ends;
// with d = -2r, o = r it applies K = r*tridiag(1, -2, 1). `out` is resized
// to n.
void tridiag_rhs(std::size_t n, std::span<const double> x, std::vector<double>& out, double d, double o);

// The kinetic factor on (A, B) in place: psi' = (I + iK)^{-1} (I - iK) psi
// for psi = A + iB, K = r*D (D the Dirichlet second difference), by
// eliminating A' from the real pair: (I + K^2) B' = B - K^2 B - 2 K A, then
// A' = A + K B + K B'. I + K^2 is symmetric positive definite with diagonal
// >= 1, so the elimination needs no pivoting.
void schrodinger_kinetic_step(std::size_t n, SchrodingerWork& work, double r);

}  // namespace quorvane
