// Sampled coefficient fields of the multi-dimensional evolvers: the per-axis
// linear coefficient of the variable heat kernels and the bilinear 2-D field
// of the mixed-derivative coupling.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "core/foundation/coeff.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/line/diffusion.hpp"

namespace quorvane {

// x -> piecewise-linear interpolation of n samples spread evenly over
// [lo, hi], constant beyond the ends (v[0] alone when n = 1).
SharedCoeff linear_sampled_coeff(std::shared_ptr<const std::vector<double>> samples, double lo, double hi);

// The heat kernel of one line: a = the linear coefficient over the samples,
// zero derivatives (the coefficient is frozen at each node), bound the
// largest sample (at least 0).
DiffusionChernoff build_axis_diff(std::shared_ptr<const std::vector<double>> samples, const Grid1D<double>& axis);
DiffusionChernoff build_axis_diff(std::span<const double> samples, const Grid1D<double>& axis);

// A shared 2-D field (x, y) -> f64, callable from any thread.
class CoeffFn2D {
public:
    virtual ~CoeffFn2D() = default;
    virtual double operator()(double x, double y) const = 0;
};
using SharedCoeff2D = std::shared_ptr<const CoeffFn2D>;

// Bilinear interpolation of nx*ny samples (x fastest) with origin (x0, y0)
// and spacing (dx, dy); nearest edge value outside, 0 when an axis is empty.
SharedCoeff2D bilinear_coeff_2d(std::shared_ptr<const std::vector<double>> samples, double x0, double dx,
                                std::size_t nx, double y0, double dy, std::size_t ny);

// (x, y) -> c everywhere.
SharedCoeff2D constant_coeff_2d(double c);

}  // namespace quorvane
