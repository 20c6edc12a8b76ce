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
// - Variable coefficient (Heat1D, Heat1D4th, Heat1D6th from sampled or
//   callable a): the derivative correction tau^2 (A A' D3 + A A''/2 D2 +
//   A' A''/4 D1) is not bounded by the quadrature. Its differences saturate
//   at about 4/h^k for high modes, while the quadrature's symbol
//   7/12 + 3/8 cos(2 k sqrt(a tau)) + 1/24 cos(2 k sqrt(3 a tau)) comes back
//   close to 1 wherever 2 k sqrt(a tau) nears a multiple of 2 pi; there the
//   frozen-coefficient symbol of one step exceeds 1 once tau is moderately
//   large. It is evaluated at every node with the reads the step really
//   makes: the drifted quadrature points and the difference points at their
//   actual width, each read through the septic interpolant as the kernel
//   reads it (which damps the grid's highest modes). Its largest modulus is,
//   to the smoothness of a, the l2 norm of one step, so its power n_steps
//   bounds how much a call can amplify any perturbation. Frozen
//   coefficients and unmodelled boundary rows make that bound pessimistic
//   (it exceeds 1 by a few per cent on many stable steps), so it only
//   decides which calls need a closer look: such a call is refused only when
//   the actual steps, applied to fixed pseudo-random noise, amplify it by
//   more than kCallAmplificationLimit over the call; the step named in the
//   refusal is the symbol's bound, confirmed the same way.
//   A per-step bound (modulus <= 1) cannot be used: the frozen symbol
//   exceeds 1 by 1 % to 50 % over whole ranges of steps where the real step
//   has spectral radius 1 and powers bounded by 1.6 (the excess sits at
//   high frequencies near aliasing quadrature points, and wave packets drift
//   out of it), while real instabilities start with excesses of the same
//   size. It would refuse accurate evolutions. The criterion over the call
//   admits them when the call is short enough, and never admitted a call
//   whose real amplification exceeded the limit on the grids, coefficients
//   and reflect/periodic/zero boundaries it was checked on. It does not see
//   the boundary rows; under "linear" extrapolation the real steps can grow
//   slowly (radius up to 1.003) where the symbol is below 1.
#pragma once

#include <limits>
#include <optional>

#include "core/line/diffusion.hpp"
#include "core/line/diffusion4_zeta4.hpp"
#include "core/line/diffusion6_zeta6.hpp"
#include "core/line/diffusion8_zeta8.hpp"

namespace quorvane {

// The admissible steps [tau_min, tau_max].
struct StepRange {
    double tau_min = 0.0;
    double tau_max = std::numeric_limits<double>::infinity();

    bool contains(double tau) const { return tau >= tau_min && tau <= tau_max; }
};

// The most a call of a variable-coefficient heat step may amplify any
// perturbation: measured on fixed noise, estimated by
// (largest |symbol|)^(number of steps). What gets
// amplified is not only rounding noise but every high-frequency error the
// steps make (interpolation, boundary, the correction's own truncation):
// an order of magnitude keeps the result within reach of the steps' own
// accuracy.
inline constexpr double kCallAmplificationLimit = 10.0;

// Largest modulus of the frozen-coefficient symbol of one step over every
// node of the kernel's grid and frequencies in (0, pi/dx]; 0 when no node
// runs the correction (the quadrature alone is a convex combination of reads).
double heat2_symbol_sup(const DiffusionChernoff& kernel, double tau);
double heat4_symbol_sup(const Diffusion4thChernoff& kernel, double tau);
double heat6_symbol_sup(const Diffusion6thChernoff& kernel, double tau);

// nullopt when a call advancing by t in steps of tau is admissible
// (sup^(t/tau) <= kCallAmplificationLimit); otherwise the admissible steps
// for that t, [0, tau_max] with tau_max < tau, found by bisection.
std::optional<StepRange> heat2_step_violation(const DiffusionChernoff& kernel, double tau, double t);
std::optional<StepRange> heat4_step_violation(const Diffusion4thChernoff& kernel, double tau, double t);
std::optional<StepRange> heat6_step_violation(const Diffusion6thChernoff& kernel, double tau, double t);

// The admissible-step check of each kernel, under one name for the
// evolvers: nullopt when steps of tau are admissible, otherwise the
// admissible steps. The variable-coefficient steps are judged over the
// whole call of duration t; the zeta rungs step by step. Kernels without an
// overload are stable for every tau.
std::optional<StepRange> step_violation(const DiffusionChernoff& k, double tau, double t);
std::optional<StepRange> step_violation(const Diffusion4thChernoff& k, double tau, double t);
std::optional<StepRange> step_violation(const Diffusion6thChernoff& k, double tau, double t);
std::optional<StepRange> step_violation(const Diffusion4thZeta4Chernoff& k, double tau);
std::optional<StepRange> step_violation(const Diffusion6thZeta6Chernoff& k, double tau);
std::optional<StepRange> step_violation(const Diffusion8thZeta8Chernoff& k, double tau);

// Why a kernel's steps beyond its admissible range fail, for the message.
const char* instability_reason(const DiffusionChernoff&);
const char* instability_reason(const Diffusion4thChernoff&);
const char* instability_reason(const Diffusion6thChernoff&);
const char* instability_reason(const Diffusion4thZeta4Chernoff&);
const char* instability_reason(const Diffusion6thZeta6Chernoff&);
const char* instability_reason(const Diffusion8thZeta8Chernoff&);

// Eigenvalue of one unit-diffusion heat4 step (the kernel's sampling, a = 1)
// on the Nyquist mode of a grid with the kernel's spacing.
double heat4_nyquist_eigenvalue(const Diffusion4thChernoff& kernel, double tau);

// The admissible steps of the zeta rung `level` (4, 6 or 8) over the
// unit-diffusion kernel `inner`.
StepRange zeta_stable_steps(const Diffusion4thChernoff& inner, int level);

}  // namespace quorvane
