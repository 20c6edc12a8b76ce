#include "core/multid/heat_grid.hpp"

#include <utility>

#include "core/line/read_reach.hpp"
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

bool strang2d_reads_located(const Strang2D& stepper, double tau) {
    return heat_reads_located(stepper.x_lift.kernel, tau * 0.5) && heat_reads_located(stepper.y_lift.kernel, tau);
}

bool strang3d_reads_located(const Strang3D& stepper, double tau) {
    const double h = tau * 0.5;
    return heat_reads_located(stepper.x_lift.kernel, h) && heat_reads_located(stepper.y_lift.kernel, h) &&
           heat_reads_located(stepper.z_lift.kernel, tau);
}

bool pencil_reads_located(const Strang2DPencil& pencil, double tau) {
    const double h = tau * 0.5;
    for (const DiffusionChernoff& k : pencil.row_kernels) {
        if (!heat_reads_located(k, h)) return false;
    }
    for (const DiffusionChernoff& k : pencil.col_kernels) {
        if (!heat_reads_located(k, tau)) return false;
    }
    return true;
}

}  // namespace quorvane
