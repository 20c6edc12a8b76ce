// Heat with a mixed derivative, du/dt = u_xx + u_yy + beta(x, y) u_xy, on a
// rectangle: X(tau/2) Y(tau/2) T(tau) Y(tau/2) X(tau/2), where T is the
// second-order Taylor polynomial of exp(tau M) for M u = beta u_xy on the
// central cross stencil. A zero coupling is the plain two-axis Strang step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn2d.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/multid/axis_coeff.hpp"
#include "core/multid/strang2d.hpp"

namespace quorvane {

// The mixed term: beta shared between copies, its bound, and whether it
// counts as zero (decided by the bound, not the data).
struct MixedCoupling {
    SharedCoeff2D beta;
    double norm_bound = 0.0;
    bool is_zero = true;

    // out[j*nx + i] = beta(x_i, y_j) * (f(i+1, j+1) - f(i+1, j-1) - f(i-1, j+1) + f(i-1, j-1)) / (4 dx dy),
    // neighbours beyond the grid read through each axis's boundary policy.
    void apply_mixed_into(const GridFn2D& f, GridFn2D& out, const Grid2D& grid) const;
};

struct NonSeparable2DChernoff {
    AxisLift x_lift;
    AxisLift y_lift;
    Grid2D grid;
    MixedCoupling coupling;
};

// Unit-diffusion lifts, a sampled or closure beta and its bound; a NaN,
// infinite or negative bound is "beta_norm_bound".
Expected<NonSeparable2DChernoff> nonseparable2d_new(const DiffusionChernoff& x_inner, const DiffusionChernoff& y_inner,
                                                    SharedCoeff2D beta, const Grid2D& grid, double beta_norm_bound);

// The checks of a step of a non-zero coupling: tau finite and >= 0 ("tau
// must be finite and >= 0"), then 4 tau bound < dx dy (CflViolated).
Status nonseparable2d_check_tau(const NonSeparable2DChernoff& op, double tau);

// Whether every read of a step of tau can be located (the heat legs': the
// coupling reads only neighbouring nodes); a longer step reads no nearer.
bool nonseparable2d_reads_located(const NonSeparable2DChernoff& op, double tau);

// One step from src into dst, after nonseparable2d_check_tau.
Status nonseparable2d_step(const NonSeparable2DChernoff& op, const GridFn2D& src, GridFn2D& dst,
                           ScratchPool<double>& pool, double tau);

// n_steps steps of tau on `values` (nx*ny, x fastest), in place, equal bit
// for bit to repeated nonseparable2d_step (the same checks once): the heat
// legs through the planned sweeps, beta taken once at every node, the
// workers kept for the call (0: sweep_worker_count) with one barrier per
// leg or stencil pass. On error `values` is unspecified.
Status nonseparable2d_steps(const NonSeparable2DChernoff& op, std::vector<double>& values, std::size_t n_steps,
                            double tau, std::size_t workers = 0);

// The mixed term divides by (4 dx dy)^2 and multiplies by tau^2/2, which
// leave the double range on cells far from unit size although the flow is
// the same on every scale: the k that brings dx dy near 1 where it lies
// outside [2^-400, 2^400], else 0.
int nonseparable2d_scale_exponent(const NonSeparable2DChernoff& op);
// The operator on its grid scaled by 2^-k, beta read at the unscaled
// points: its steps of tau 2^-2k are the original's steps of tau, scaled
// exactly, wherever those keep every intermediate a normal double.
NonSeparable2DChernoff nonseparable2d_rescaled(const NonSeparable2DChernoff& op, int k);

// The value at node (i, j), -1 <= i <= nx, -1 <= j <= ny, rows resolved
// under the y policy first, then columns under the x policy.
double node_value_2d(const GridFn2D& f, std::int64_t i, std::int64_t j);

// How far a step can grow a grid mode: the largest modulus over the grid
// frequencies of the product of the legs' own symbols and of
// 1 + z + z^2/2 with z = tau * beta_max * |sin(kx dx) sin(ky dy)| / (dx dy),
// beta_max the field's own max |beta| (not the bound, which may be padded).
// The strict bound 4 tau bound < dx dy does not keep it at 1 or below.
double nonseparable2d_amplification(const NonSeparable2DChernoff& op, double tau, double beta_max);

// The largest tau (below dx dy / (4 bound)) up to which no step amplifies;
// 0 when every step does (beta_max of 2 or more: the coupling is not
// elliptic). Ellipticity is the field's own: a padded bound only sizes the
// step.
double nonseparable2d_largest_stable_tau(const NonSeparable2DChernoff& op, double beta_max);

}  // namespace quorvane
