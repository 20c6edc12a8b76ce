// The fourth-order drift-reaction-diffusion step for
//   du/dt = a(x) u'' + b(x) u' + c(x) u.
//
// K(h) = H(h/2) D4(h) H(h/2) is a symmetric (Strang) splitting of a half
// drift-reaction step H along the characteristic and one heat4 diffusion
// step D4. n steps of K over a fixed interval carry an error c3 tau^3/n^2 +
// c4 tau^4/n^3 + O(tau^5); the Richardson combination
//   (32 K(tau/4)^4 - 12 K(tau/2)^2 + K(tau)) / 21
// has weights summing to 1 that cancel both terms (w1 + w2/4 + w4/16 = 0 and
// w1 + w2/8 + w4/64 = 0), so the step is of global order 4.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "core/foundation/coeff.hpp"
#include "core/line/diffusion4_zeta4.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/flow_range.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/line/heat_stability.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/state.hpp"

namespace quorvane {

struct DriftReactionZeta4Chernoff {
    Diffusion4thChernoff diffusion;
    Grid1D<double> drift_grid;  // node positions of the half steps
    PlainFn b = coeff_half;
    PlainFn b_prime = coeff_zero;
    PlainFn c = coeff_zero;
    double bound = 0.5;         // kept for callers; the step does not read it
    Grid1D<double> work_grid;   // first grid of the work buffers

    // Unit diffusion, b = 1/2, b' = c = 0, bound 1/2, all on `grid`.
    static DriftReactionZeta4Chernoff unit_half_drift(const Grid1D<double>& grid);

    // One order-4 step u -> out (out's grid is not changed).
    Status apply_into(const GridFn<double>& u, GridFn<double>& out, ScratchPool<double>& pool, double tau) const;

    // One splitting step K(h), u -> out; out takes u's grid.
    Status apply_k5(const GridFn<double>& u, GridFn<double>& out, ScratchPool<double>& pool, double h) const;

    // The refusal a step of tau on values over `grid` meets at an end node
    // whose foot lies beyond that end under boundary "linear" (see
    // refuse_linear_inflow), found from the end nodes' feet alone before any
    // work: the half steps of K(tau), K(tau/2) and K(tau/4) read them at
    // theta = tau/2, tau/4 and tau/8. A drift that enters across an end is
    // refused so at every step count, however small the step.
    Status inflow_refusal(const Grid1D<double>& grid, double tau) const;

    // Stability of the Richardson combination. Its weights (32, -12, 1)/21
    // have absolute sum 45/21, so the combined symbol can leave the unit disc
    // although each K stays inside it: for unit diffusion the continuous
    // symbol exceeds 1 once k^2 tau > 35.2, and on the grid every tau above
    // about 3.57 dx^2 amplifies some grid frequency (rounding noise then
    // grows geometrically with the step count). The checks below use the
    // symbol of the step on this grid: unit diffusion, the drift frozen at
    // b(xmin), modes sampled on [0, pi] (every interior mode of the grid
    // behaves like one of them away from the ends).

    // Largest modulus of the step's grid symbol over the sampled modes.
    double symbol_max(double tau) const;
    // Whether a step of size tau keeps every sampled mode within the unit
    // disc (up to 1e-6, the overshoot of the interpolant's own symbol).
    bool is_stable_step(double tau) const;
    // The smallest tau at which the step becomes unstable: every tau below
    // it is stable.
    double max_stable_tau() const;

private:
    // The foot of node x's characteristic over a half step of length theta.
    double foot(double x, double theta) const;
    // Half drift-reaction step of length theta from s into w (s's length).
    Status half_step(const GridFn<double>& s, std::vector<double>& w, double theta) const;
};

// The DriftReaction4th1D state: u0 finite ("u0 contains NaN or Inf"), the
// grid checks, the kernel with unit diffusion and b = 1/2 wrapped with step
// count 100, then the grid function of a copy of u0.
Expected<std::pair<ChernoffSemigroup<DriftReactionZeta4Chernoff>, GridFn<double>>> build_drift_reaction4th_state(
    std::size_t n, std::span<const double> u0, BoundaryPolicy<double> boundary, double xmin, double xmax);

// The factors by which the flow's reaction scales over a step of tau, which
// walk on the range its steps are clipped to (c is 0 in every evolver that
// builds this kernel: {1, 1}).
ReactionFactors reaction_factors(const DriftReactionZeta4Chernoff& k, double tau);
// On a grid with "linear" ends, how far beyond an end (in cells) a step
// reads the continued data: its diffusion steps reach 2 sqrt(3 tau) (the
// drift's feet stay inside).
double linear_end_cells(const DriftReactionZeta4Chernoff& k, double tau);

// The evolvers' admissible-step check (see heat_stability.hpp): steps above
// the first crossing of |symbol| = 1, outside the small stable islands.
std::optional<StepRange> step_violation(const DriftReactionZeta4Chernoff& k, double tau);
const char* instability_reason(const DriftReactionZeta4Chernoff&);

}  // namespace quorvane
