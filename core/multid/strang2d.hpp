// Palindromic Strang splitting on a rectangle: the axis lift of a 1-D
// Chernoff function and the sequential two-axis step X(tau/2) Y(tau) X(tau/2).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn2d.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/diffusion.hpp"

namespace quorvane {

enum class Axis : std::uint8_t { X = 0, Y = 1, Z = 2 };

// One 1-D kernel applied along every line of one axis of a GridFn2D.
struct AxisLift {
    DiffusionChernoff kernel;
    Axis axis = Axis::X;

    // dst := one kernel step of tau along `axis` on every line of src. dst
    // takes src's grid and length first; on error it holds the lines
    // written so far.
    Status apply_into(const GridFn2D& src, GridFn2D& dst, ScratchPool<double>& pool, double tau) const;
};

struct Strang2D {
    AxisLift x_lift;
    AxisLift y_lift;

    // Unit-diffusion kernels over each axis of `grid`.
    static Strang2D unit(const Grid2D& grid);

    // One sequential step X(tau/2) Y(tau) X(tau/2) with the given lifts; dst
    // takes src's grid and the stepped values. On error dst keeps src's
    // length and grid but not the stepped values.
    static Status step(const GridFn2D& src, GridFn2D& dst, const AxisLift& x_lift, const AxisLift& y_lift,
                       ScratchPool<double>& pool, double tau);

    // One leg: out := lift applied to `in` on `grid` (out is left empty on error).
    static Status leg(const AxisLift& lift, std::span<const double> in, std::vector<double>& out, const Grid2D& grid,
                      ScratchPool<double>& pool, double tau);
};

// One kernel per row and one per column: the full-grid variable-coefficient
// form, in which every line carries its own coefficient.
struct Strang2DPencil {
    Grid2D grid;
    std::vector<DiffusionChernoff> row_kernels;  // kernel j steps row j along x
    std::vector<DiffusionChernoff> col_kernels;  // kernel i steps column i along y

    // X(tau/2) Y(tau) X(tau/2) from src into dst (both nx*ny values).
    Status step(std::span<const double> src, std::span<double> dst, double tau, ScratchPool<double>& pool) const;
};

// Row j of src stepped by row kernel j into row j of dst, j < ny.
Status pencil_sweep_2d(const Strang2DPencil& pencil, std::span<const double> src, std::span<double> dst,
                       ScratchPool<double>& pool, double tau);

}  // namespace quorvane
