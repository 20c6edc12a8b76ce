// Palindromic Strang splitting on a box: X(tau/2) Y(tau/2) Z(tau) Y(tau/2)
// X(tau/2), each leg a 1-D Chernoff step along every pencil of one axis:
// the sequential step pencil by pencil, and the planned sweeps the evolvers
// call.
#pragma once

#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn3d.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/diffusion.hpp"
#include "core/multid/strang2d.hpp"

namespace quorvane {

struct AxisLift3D {
    DiffusionChernoff kernel;
    Axis axis = Axis::X;
};

struct Strang3D {
    AxisLift3D x_lift;
    AxisLift3D y_lift;
    AxisLift3D z_lift;

    static Strang3D unit(const Grid3D& grid);

    // The sequential step; dst takes src's grid and the stepped values.
    static Status step(const Strang3D& stepper, const GridFn3D& src, GridFn3D& dst, ScratchPool<double>& pool,
                       double tau);
};

// One leg: dst := lift.kernel applied to every pencil of src along
// lift.axis (dst resized to src's length; left empty on error).
Status pencil_sweep_3d(const AxisLift3D& lift, std::span<const double> src, std::vector<double>& dst,
                       const Grid3D& grid, ScratchPool<double>& pool, double tau);

// n_steps steps of tau on `values` (nx*ny*nz of them), in place: the
// planned sweeps of strang2d_steps with the five legs above, equal bit for
// bit to Strang3D::step whatever the worker count (0: sweep_worker_count).
// tau * 0.5 must be finite and >= 0 ("tau must be finite and >= 0").
Status strang3d_steps(const Strang3D& stepper, const Grid3D& grid, std::vector<double>& values, std::size_t n_steps,
                      double tau, std::size_t workers = 0);

// One step of strang3d_steps from src into dst (dst untouched on error);
// the pool is not used.
Status strang3d_parallel_step(const Strang3D& stepper, const GridFn3D& src, GridFn3D& dst,
                              ScratchPool<double>& pool, double tau);

}  // namespace quorvane
