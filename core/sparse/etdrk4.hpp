// Fourth-order exponential time differencing Runge-Kutta (Cox-Matthews) for
// du/dt = A u + N(u), A = -L of a SymmetricOperator, with every exponential
// and phi-function product one phi action (no phi matrix is formed).
#pragma once

#include <cstdint>
#include <span>

#include "core/foundation/error.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/sparse/phi_functions.hpp"

namespace quorvane {

enum class Etdrk4Nonlinearity : std::uint8_t { AllenCahn };  // N(u) = u - u^3

struct Etdrk4 {
    NegLaplacianGenerator generator;
    double h = 0.0;
    std::uint64_t n = 0;
    Etdrk4Nonlinearity nonlinearity = Etdrk4Nonlinearity::AllenCahn;
    // Gershgorin lower bound of the spectrum of L, min_i (L_ii - sum_{j != i}
    // |L_ij|): 0 for a Laplacian (zero row sums, off-diagonals <= 0).
    double spectrum_floor = 0.0;

    // Refuses an operator of dimension 0. h is the caller's (checked finite
    // and > 0 before).
    static Expected<Etdrk4> make(NegLaplacianGenerator generator, Etdrk4Nonlinearity nonlinearity, double h);
};

// Where the steps of Allen-Cahn follow the solution, and what the exact
// solution keeps.
//
// At the largest |u_i| the equation gives d|u_i|/dt <= |u_i| (1 - g - u_i^2),
// g = spectrum_floor, so max|u| never rises above
// M = max(max|u0|, sqrt(max(0, 1 - g))) and falls towards sqrt(max(0, 1 - g))
// (1 on a Laplacian: the states +-1); on the way N'(u) = 1 - 3u^2 stays
// >= -(3M^2 - 1). On a Laplacian's constant mode the step is the scalar map
// of u' = u - u^3 by classical RK4, whose iterates from (0, 1) rise to 1
// while h * 2 < 2.7412 (measured: beyond it a spurious fixed point appears
// below 1, and the iterates from 0.5 stall at 0.930 for h = 1.38; the
// linear stability of RK4, to 2.7853, does not prevent that). The rule
// h * (3M^2 - 1) <= 2.7 keeps a margin below that edge, where the iterates
// crawl past the ghost of those points (from 0.5 to 1e-6 of 1: 101 steps at
// h = 1.35, 423 at 1.37, 12 at 1). Measured on the constant mode of
// u' = -g u + u - u^3 for g in [0, 1.5] and u0 in (0, 100], steps within
// the rule settle at sqrt(max(0, 1 - g)) with the sign of u0 and never
// exceed max(1, u0); beyond it, u0 = 1.4 at h = 1 (g = 0) gives 0.494 after one step
// (exact 1.035), and at g = 0.5 steps of 5.46 take u0 = 1 to -0.707.
//
// The rule depends only on h and max|u0|, so it is judged before the first
// step and holds for any number of steps. The steps are not monotone where
// the data jump: near +-1 they overshoot by a fixed amount, at most 1.75 %
// at h = 1.35 (the limit of a stiff operator, where the step acts on the
// mean of the data and of N(data); a spike of +1 in -1 on a path, a star or a
// grid gives 1.1-1.5 %), the same after 1 and after 100 steps. Data that
// far beyond the settled level S = sqrt(max(1, 1 - g)) are judged as S,
// so that a step from the result of an admitted step is admitted too: from
// |u| <= 1.05 the steps of h = 1.35 stay within 1.03 and return to 1, and
// N' there falls to -2.31 instead of -2 (h * 2.31 = 3.1 on the way back).
struct Etdrk4Limits {
    double reach = 1.0;    // M (S for data within the overshoot of S)
    double damping = 0.0;  // max(0, 3M^2 - 1)
    double h_max = 0.0;    // 2.7 / damping, +inf when damping is 0
};
inline constexpr double kEtdrk4SettleLimit = 2.7;
// The fixed overshoot the steps may add near fronts (a relative 5 %, above
// the 1.75 % measured), both for the data the rule judges as S and for a
// result against the bound the solution keeps.
inline constexpr double kEtdrk4Overshoot = 0.05;
// The rule for data whose largest magnitude is `top`.
Etdrk4Limits etdrk4_limits(const Etdrk4& scheme, double top);
// max(top, sqrt(max(1, 1 - g))) >= M: max(1, max|u0|) on a Laplacian.
double etdrk4_bound(const Etdrk4& scheme, double top);

// The product-cap refusal of etdrk4_step for the scheme's h, or success.
Status etdrk4_fits(const Etdrk4& scheme);

// Relative rounding that n_steps steps may add to the largest |u| (a few
// units per sparse product of the step's nine phi actions); the scheme's h
// must pass etdrk4_fits.
double etdrk4_rounding(const Etdrk4& scheme, std::uint64_t n_steps);

// The first entry of out with |out_i| > bound (1 + kEtdrk4Overshoot) (1 +
// rounding), or nullptr.
const double* etdrk4_beyond(std::span<const double> out, double bound, double rounding);

// One step of size h from u into out (n values each), buffers from the pool
// (repeated steps with one pool allocate only during the first). Refused
// (OutOfDomain) before any work when one of its phi actions would exceed the
// product cap of phi_plan; fails on a stop request, and when a stage's
// nonlinearity or the new state leaves the double range (DomainViolation
// with the non-finite value).
Status etdrk4_step(const NegLaplacianGenerator& gen, std::span<const double> u, std::span<double> out,
                   ScratchPool<double>& pool, double h);

// n_steps steps from u0; out = u0 for n_steps = 0.
Status etdrk4_integrate(const Etdrk4& scheme, std::span<const double> u0, std::uint64_t n_steps, std::span<double> out);

}  // namespace quorvane
