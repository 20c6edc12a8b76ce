#include "core/foundation/grid_fn3d.hpp"

namespace quorvane {

Expected<GridFn3D> GridFn3D::new_generic(const Grid3D& grid, std::vector<double> values) {
    // A product that overflows equals no vector length; it must not wrap
    // around to a small one.
    std::size_t expected = 0;
    const bool overflow = __builtin_mul_overflow(grid.nx(), grid.ny(), &expected) ||
                          __builtin_mul_overflow(expected, grid.nz(), &expected);
    if (overflow || values.size() != expected) {
        return domain_error("GridFn3D::new_generic: values.len() must equal nx*ny*nz",
                            static_cast<double>(values.size()));
    }
    if (const double* bad = first_non_finite<double>(values)) {
        return domain_error("GridFn3D::new_generic: all values must be finite (no NaN/Inf)", *bad);
    }
    return GridFn3D{grid, std::move(values)};
}

}  // namespace quorvane
