// Evaluation of grid functions at single points.
#pragma once

#include <cstdint>
#include <span>

#include "core/line/diffusion.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/grid_fn2d.hpp"

namespace quorvane {

// Bilinear value of f at (x, y). The box [xmin, xmax] x [ymin, ymax] is
// continued by its edge values outside (the grid's boundary policies play no
// part); at a node the node value is returned; a NaN coordinate gives NaN.
// Axes with fewer than 2 nodes are an internal fault.
double eval_bilinear_2d(const GridFn2D& f, double x, double y);

// (F(tau)^n_steps u0)(x) for the heat2 kernel F: n_steps whole-grid steps
// alternating between two copies of u0, then the off-grid value of the result
// at the single coordinate x[0] (through u0's grid and boundary policy).
// n_steps = 0 and a point of other than one coordinate are refused, in that
// order; tau is checked by the step driver; a non-finite x fails in the
// interpolation.
Expected<double> eval_at(const DiffusionChernoff& kernel, const GridFn<double>& u0, std::span<const double> x,
                         std::uint32_t n_steps, double tau);

}  // namespace quorvane
