// Palindromic Strang splitting on a box: X(tau/2) Y(tau/2) Z(tau) Y(tau/2)
// X(tau/2), each leg a 1-D Chernoff step along every pencil of one axis;
// sequential below the parallel bound, threaded above it.
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

// The step the evolvers call: parallel when min(nx*ny, nx*nz, ny*nz, nx)
// reaches 32, else Strang3D::step. dst is untouched on error of the
// parallel path.
Status strang3d_parallel_step(const Strang3D& stepper, const GridFn3D& src, GridFn3D& dst,
                              ScratchPool<double>& pool, double tau);

}  // namespace quorvane
