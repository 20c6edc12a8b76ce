#include "core/multid/strang2d_parallel.hpp"

#include <array>

#include "core/foundation/numeric.hpp"
#include "core/multid/line_sweep.hpp"
#include "core/multid/sizes.hpp"

namespace quorvane {
Status strang2d_steps(const Strang2D& stepper, const Grid2D& grid, std::vector<double>& values, std::size_t n_steps,
                      double tau, std::size_t workers) {
    const double half = tau * 0.5;
    if (!finite_nonneg(half)) return domain_error("tau must be finite and >= 0", half);
    const std::array<std::size_t, 2> n{grid.nx(), grid.ny()};
    if (!length_matches(values.size(), {n[0], n[1]})) internal_fault("strang2d_steps: values do not match the grid");
    if (n_steps == 0 || values.empty()) return {};
    const std::size_t w =
        workers != 0 ? workers : sweep_worker_count(values.size(), std::min(n[0], n[1]), sweeps_of(3, n_steps));
    const LineLayout rows = LineLayout::along(n, 0), columns = LineLayout::along(n, 1);
    HeatLines x(stepper.x_lift.kernel, grid.x, half, w, plan_pays(rows.count, w, 2, n_steps));
    HeatLines y(stepper.y_lift.kernel, grid.y, tau, w, plan_pays(columns.count, w, 1, n_steps));
    const SweepLeg legs[] = {{&x, rows}, {&y, columns}, {&x, rows}};
    return run_sweeps(legs, n_steps, w, values);
}

Status pencil2d_steps(const Strang2DPencil& pencil, std::vector<double>& values, std::size_t n_steps, double tau,
                      std::size_t workers) {
    const double half = tau * 0.5;
    if (!finite_nonneg(half)) return domain_error("tau must be finite and >= 0", half);
    const std::array<std::size_t, 2> n{pencil.grid.nx(), pencil.grid.ny()};
    if (!length_matches(values.size(), {n[0], n[1]}) || pencil.row_kernels.size() < n[1] ||
        pencil.col_kernels.size() < n[0]) {
        internal_fault("pencil2d_steps: values or kernels do not match the grid");
    }
    if (n_steps == 0 || values.empty()) return {};
    const std::size_t w =
        workers != 0 ? workers : sweep_worker_count(values.size(), std::min(n[0], n[1]), sweeps_of(3, n_steps));
    PencilHeatLines x(pencil.row_kernels, pencil.grid.x, half, w);
    PencilHeatLines y(pencil.col_kernels, pencil.grid.y, tau, w);
    const LineLayout rows = LineLayout::along(n, 0), columns = LineLayout::along(n, 1);
    const SweepLeg legs[] = {{&x, rows}, {&y, columns}, {&x, rows}};
    return run_sweeps(legs, n_steps, w, values);
}

Status strang2d_parallel_step(const Strang2D& stepper, const GridFn2D& src, GridFn2D& dst, ScratchPool<double>&,
                              double tau) {
    std::vector<double> values = src.values;
    if (Status st = strang2d_steps(stepper, src.grid, values, 1, tau); !st) return st;
    dst.values = std::move(values);
    dst.grid = src.grid;
    return {};
}

}  // namespace quorvane
