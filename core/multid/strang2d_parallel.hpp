// The planned form of the 2-D Strang steps, the one the evolvers call.
//
// A call of n steps makes its sweep steppers once (one per axis and leg
// length, each with one plan, one sample buffer and its line buffers per
// worker) and runs the 3n sweeps X(tau/2) Y(tau) X(tau/2) on workers
// started once for the call, one barrier per sweep. Every line is stepped
// as the sequential Strang2D::step steps it, so the values are those of
// Strang2D::step, bit for bit, whatever the worker count.
#pragma once

#include <cstddef>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn2d.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/multid/strang2d.hpp"

namespace quorvane {

// n_steps steps of tau on `values` (nx*ny of them, x fastest), in place, on
// `workers` workers (0: sweep_worker_count of the grid). tau * 0.5 must be
// finite and >= 0 ("tau must be finite and >= 0", value tau * 0.5); a
// failing line ends the call with its error and `values` unspecified.
Status strang2d_steps(const Strang2D& stepper, const Grid2D& grid, std::vector<double>& values, std::size_t n_steps,
                      double tau, std::size_t workers = 0);

// The same with one kernel per row and one per column (Strang2DPencil::step).
Status pencil2d_steps(const Strang2DPencil& pencil, std::vector<double>& values, std::size_t n_steps, double tau,
                      std::size_t workers = 0);

// One step of strang2d_steps from src into dst (src's grid and the stepped
// values; dst untouched on error). The pool is not used.
Status strang2d_parallel_step(const Strang2D& stepper, const GridFn2D& src, GridFn2D& dst,
                              ScratchPool<double>& pool, double tau);

}  // namespace quorvane
