// Tensor grids of two axes and 2-D grid functions.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"

namespace quorvane {

// Two axes, x then y; each carries its own boundary policy and
// interpolation kind.
struct Grid2D {
    Grid1D<double> x{};
    Grid1D<double> y{};

    std::size_t nx() const { return x.n; }
    std::size_t ny() const { return y.n; }
};

// Values row-major with x fastest: node (i, j) at values[j*nx + i].
struct GridFn2D {
    Grid2D grid{};
    std::vector<double> values;

    // Length first ("values.len() must equal grid.nx * grid.ny (I-T3)",
    // value = length), then the first non-finite value ("all values must be
    // finite (no NaN/Inf)").
    static Expected<GridFn2D> make(const Grid2D& grid, std::vector<double> values);

    // The line at x-index i as a 1-D grid function over the y axis:
    // values[i + k*nx], k = 0..ny-1. An index past the values is an internal
    // fault.
    GridFn<double> column(std::size_t i) const;

    // out[j*nx + i] = row j read at x_i - c*y_j (x_i, y_j the nodes of this
    // grid's axes) through the degree-7 Hermite rule and the x-axis policy,
    // for i < nx, j < ny. The first evaluation error is returned (what was
    // written stays written). `out` shorter than nx*ny, or rows j >= grid.ny,
    // are internal faults.
    Status sample_sheared_x(std::span<double> out, std::size_t nx, std::size_t ny, double c) const;
};

// Whether every read of sample_sheared_x with shift c over the whole grid
// can be located: x_i - c y_j, formed as it forms it, is farthest out at the
// corners of the grid.
bool sheared_x_reads_located(const Grid2D& grid, double c);

}  // namespace quorvane
