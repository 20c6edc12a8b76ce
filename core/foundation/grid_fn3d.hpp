// Tensor grids of three axes and 3-D grid functions.
#pragma once

#include <cstddef>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"

namespace quorvane {

// Three axes x, y, z; each carries its own boundary policy and
// interpolation kind.
struct Grid3D {
    Grid1D<double> x{};
    Grid1D<double> y{};
    Grid1D<double> z{};

    std::size_t nx() const { return x.n; }
    std::size_t ny() const { return y.n; }
    std::size_t nz() const { return z.n; }
};

// Values with x fastest, then y, then z: node (i, j, k) at
// values[(k*ny + j)*nx + i].
struct GridFn3D {
    Grid3D grid{};
    std::vector<double> values;

    // Length first ("GridFn3D::new_generic: values.len() must equal
    // nx*ny*nz", value = length), then the first non-finite value
    // ("GridFn3D::new_generic: all values must be finite (no NaN/Inf)").
    static Expected<GridFn3D> new_generic(const Grid3D& grid, std::vector<double> values);
};

}  // namespace quorvane
