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
//   bounds how much a call can amplify a grid mode. The exact evolution
//   amplifies none, so every call, of one step or of many, is held to the
//   same limit, kCallGrowthLimit, a small allowance (an allowance of ten
//   over the call let one large step return its data amplified several
//   times while two smaller ones were refused).
//   The symbol is a screen, and a pessimistic one: frozen coefficients and
//   high frequencies near aliasing quadrature points make it exceed 1 by
//   1 % to 50 % over ranges of steps where the real steps grow nothing (the
//   excess sits in narrow bands of frequency whose place moves with a, so
//   no wave packet stays in it), and giant steps whose reads span much of
//   the grid are beyond what a frozen symbol describes. A call the screen
//   flags is therefore measured on the real step: its matrix M, found by
//   applying the step to combs of unit vectors (columns no row reads
//   together share a comb) and checked against the step on noise, and the
//   norm of M^n_steps in the grid's 2-norm (end weights 1/2 on reflecting
//   grids), in which the exact evolution contracts, by Lanczos on
//   (M^n)^T M^n. That norm also counts transient growth: a non-normal step
//   can grow some data by 10-30 % over a few steps with no eigenvalue
//   above 1, which no power iteration of the call itself would show. Long
//   calls are bounded by powers of shorter runs (kNormPower). A call passes
//   when that bound keeps to the limit; the refusal names the largest step
//   that passes the screen itself. On grids of up to 160 nodes, reflecting,
//   zero or periodic, no call admitted either way grows anything by more
//   than the limit, except on periodic grids whose coefficient does not
//   match across the seam (there the frozen symbol is blind to the jump).
//   Neither check sees the growth of the boundary rows under "linear"
//   extrapolation (radius up to 1.003 where the symbol is below 1).
#pragma once

#include <cstddef>
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

// The most a call of variable-coefficient heat steps may amplify a grid
// mode, by the symbol screen ((largest |symbol|)^(number of steps)) or by
// the norm of the real steps' matrix over the call: the exact evolution
// amplifies none, so only a small allowance is left, for rounding and for
// the real steps' slight transient growth at the boundary rows (0.1-0.5 %
// over a call of ordinary steps).
inline constexpr double kCallGrowthLimit = 1.01;

// How the real steps' growth is measured (real_call_norm in the .cpp):
// Lanczos steps per norm; the longest run of steps measured whole at
// first; the nodes at an end that a read past it may take (extrapolating
// policies); the most entries the matrix of one step may hold (2^23, with
// its indices and transpose 256 MiB) and the most multiply-adds the norms
// of one call may take (a few seconds). A call the screen flags beyond
// either budget is refused.
inline constexpr int kLanczosSteps = 30;
inline constexpr std::size_t kNormPower = 64;
inline constexpr std::size_t kEndBlock = 10;
inline constexpr double kMatrixBudget = 8388608.0;
inline constexpr double kNormWork = 4e9;

// The tenfold call limit of SmolyakD6V8's steps (spectral
// radius^n_steps), and a measure of noise growth in the core tests.
inline constexpr double kCallAmplificationLimit = 10.0;

// Largest modulus of the frozen-coefficient symbol of one step over every
// node of the kernel's grid and frequencies in (0, pi/dx]; 0 when no node
// runs the correction (the quadrature alone is a convex combination of reads).
double heat2_symbol_sup(const DiffusionChernoff& kernel, double tau);
double heat4_symbol_sup(const Diffusion4thChernoff& kernel, double tau);
double heat6_symbol_sup(const Diffusion6thChernoff& kernel, double tau);

// nullopt when a call advancing by t in steps of tau is admitted
// (sup^(t/tau) <= kCallGrowthLimit, or else the real steps' growth within
// the same limit); otherwise the steps for that t that pass the screen,
// [0, tau_max] with tau_max < tau, found by bisection.
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
