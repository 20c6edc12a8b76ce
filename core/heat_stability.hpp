// Step-size limits of the heat4/heat6 steps and of the zeta ladder, read off
// each step's symbol on its grid.
//
// Rounding noise lives in every grid mode; a step whose symbol exceeds 1 in
// modulus for some mode amplifies it geometrically, so after enough steps the
// result is noise. The evolvers refuse such steps up front ("CflViolated"),
// naming the admissible range computed here, instead of returning the noise.
//
// - Unit diffusion, septic sampling (Heat1DZeta4, Heat1DZeta6): the step
//   commutes with grid translations and the cosine modes of a reflecting grid
//   are its eigenvectors. The heat4 step itself never amplifies (positive
//   weights summing to 1), but the Richardson rungs do: their first crossing of
//   |symbol| = 1 happens at the Nyquist mode (-1)^j, at
//   tau/dx^2 = 1.7889 (rung 4), 3.5031 (rung 6), 6.9905 (rung 8). The bound is
//   computed from the kernel's own Nyquist eigenvalue, so it follows the
//   kernel's sampling.
// - Chebyshev sampling (Heat1DZeta8): the resampling through the degree-64
//   polynomial is not the identity (its eigenvalues reach 1.04-1.05), and the
//   third rung amplifies any eigenvalue above 1 by about 9.7 per step at
//   tau = 0 (spectral radius 1.2-1.6 there). Diffusion damps those modes only
//   once tau/dx^2 exceeds about 0.05; above about 6.9 the Nyquist instability
//   of the rung takes over. The admissible window is the measured one with a
//   margin (see kZeta8ChebyshevWindow in the .cpp).
// - Variable coefficient (Heat1D4th, Heat1D6th from sampled a): the
//   derivative correction tau^2 (A A' D3 + A A''/2 D2 + A' A''/4 D1) is not
//   bounded by the quadrature; its stencils sit 3 dx (4 dx for heat6) apart at
//   small tau, so D3 ~ 1/dx^3 and the correction exceeds 1 at high
//   frequencies once tau^2 a |a'| / dx^3 is of order one. The bound uses the
//   frozen-coefficient symbol at every node (quadrature points with their
//   actual drift, stencils at their actual width) with exact Fourier
//   sampling; interpolation only damps high modes, so this errs on the safe
//   side.
#pragma once

#include <limits>
#include <optional>

#include "core/diffusion4_zeta4.hpp"
#include "core/diffusion6_zeta6.hpp"

namespace quorvane {

// The admissible steps [tau_min, tau_max].
struct StepRange {
    double tau_min = 0.0;
    double tau_max = std::numeric_limits<double>::infinity();

    bool contains(double tau) const { return tau >= tau_min && tau <= tau_max; }
};

// Largest modulus of the frozen-coefficient symbol of one step over every
// node of the kernel's grid and frequencies in (0, pi/dx]; 0 when no node
// runs the correction (the quadrature alone never exceeds 1).
double heat4_symbol_sup(const Diffusion4thChernoff& kernel, double tau);
double heat6_symbol_sup(const Diffusion6thChernoff& kernel, double tau);

// nullopt when a step of tau is admissible; otherwise the admissible range
// (a stable interval [0, tau_max] with tau_max < tau, found by bisection on
// the symbol).
std::optional<StepRange> heat4_step_violation(const Diffusion4thChernoff& kernel, double tau);
std::optional<StepRange> heat6_step_violation(const Diffusion6thChernoff& kernel, double tau);

// Eigenvalue of one unit-diffusion heat4 step (the kernel's sampling, a = 1)
// on the Nyquist mode of a grid with the kernel's spacing.
double heat4_nyquist_eigenvalue(const Diffusion4thChernoff& kernel, double tau);

// The admissible steps of the zeta rung `level` (4, 6 or 8) over the
// unit-diffusion kernel `inner`.
StepRange zeta_stable_steps(const Diffusion4thChernoff& inner, int level);

}  // namespace quorvane
