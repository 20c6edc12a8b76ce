#include "core/multid/heat_grid.hpp"

#include <utility>

#include "core/multid/strang2d_parallel.hpp"

namespace quorvane {
Expected<std::vector<double>> heat2d_evolve_grid(const Strang2D& stepper, const Grid2D& grid,
                                                 std::vector<double> values, std::size_t n_steps, double tau) {
    Expected<GridFn2D> start = GridFn2D::make(grid, std::move(values));
    if (!start) return fail(start.error());
    if (Status st = strang2d_steps(stepper, grid, start->values, n_steps, tau); !st) return fail(st.error());
    return std::move(start->values);
}

Expected<std::vector<double>> heat3d_evolve_grid(const Strang3D& stepper, const Grid3D& grid,
                                                 std::vector<double> values, std::size_t n_steps, double tau) {
    Expected<GridFn3D> start = GridFn3D::new_generic(grid, std::move(values));
    if (!start) return fail(start.error());
    if (Status st = strang3d_steps(stepper, grid, start->values, n_steps, tau); !st) return fail(st.error());
    return std::move(start->values);
}

Expected<std::vector<double>> pencil_evolve(const Strang2DPencil& pencil, std::vector<double> values,
                                            std::size_t n_steps, double tau) {
    Expected<GridFn2D> start = GridFn2D::make(pencil.grid, std::move(values));
    if (!start) return fail(start.error());
    if (Status st = pencil2d_steps(pencil, start->values, n_steps, tau); !st) return fail(st.error());
    return std::move(start->values);
}

}  // namespace quorvane
