#include "core/multid/heat_grid.hpp"

#include <utility>

#include "core/foundation/parallel_pool.hpp"
#include "core/foundation/stop.hpp"
#include "core/multid/strang2d_parallel.hpp"

namespace quorvane {
namespace {

template <class GridFnT, class Stepper, class Step>
Expected<std::vector<double>> fresh_steps(const Stepper& stepper, GridFnT current, std::size_t n_steps, double tau,
                                          Step step) {
    for (std::size_t k = 0; k < n_steps; ++k) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        GridFnT next{current.grid, current.values};
        ScratchPool<double> pool;
        if (Status st = step(stepper, current, next, pool, tau); !st) return fail(st.error());
        current = std::move(next);
    }
    return std::move(current.values);
}

template <class GridFnT, class Stepper, class Step>
Expected<std::vector<double>> swapping_steps(const Stepper& stepper, GridFnT src, std::size_t n_steps, double tau,
                                             Step step) {
    GridFnT dst{src.grid, std::vector<double>(src.values.size(), 0.0)};
    ScratchPool<double> pool;
    for (std::size_t k = 0; k < n_steps; ++k) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        if (Status st = step(stepper, src, dst, pool, tau); !st) return fail(st.error());
        std::swap(src, dst);
    }
    return std::move(src.values);
}

}  // namespace

Expected<std::vector<double>> heat2d_evolve_grid(const Strang2D& stepper, const Grid2D& grid,
                                                 std::vector<double> values, std::size_t n_steps, double tau) {
    Expected<GridFn2D> start = GridFn2D::make(grid, std::move(values));
    if (!start) return fail(start.error());
    return fresh_steps(stepper, std::move(*start), n_steps, tau, &strang2d_parallel_step);
}

Expected<std::vector<double>> heat3d_evolve_grid(const Strang3D& stepper, const Grid3D& grid,
                                                 std::vector<double> values, std::size_t n_steps, double tau) {
    Expected<GridFn3D> start = GridFn3D::new_generic(grid, std::move(values));
    if (!start) return fail(start.error());
    return fresh_steps(stepper, std::move(*start), n_steps, tau, &strang3d_parallel_step);
}

Expected<std::vector<double>> heat2d_evolve_swapping(const Strang2D& stepper, const Grid2D& grid,
                                                     std::vector<double> values, std::size_t n_steps, double tau) {
    Expected<GridFn2D> start = GridFn2D::make(grid, std::move(values));
    if (!start) return fail(start.error());
    return swapping_steps(stepper, std::move(*start), n_steps, tau, &strang2d_parallel_step);
}

Expected<std::vector<double>> heat3d_evolve_swapping(const Strang3D& stepper, const Grid3D& grid,
                                                     std::vector<double> values, std::size_t n_steps, double tau) {
    Expected<GridFn3D> start = GridFn3D::new_generic(grid, std::move(values));
    if (!start) return fail(start.error());
    return swapping_steps(stepper, std::move(*start), n_steps, tau, &strang3d_parallel_step);
}

Expected<std::vector<double>> pencil_evolve_swapping(const Strang2DPencil& pencil, std::vector<double> values,
                                                     std::size_t n_steps, double tau) {
    Expected<GridFn2D> start = GridFn2D::make(pencil.grid, std::move(values));
    if (!start) return fail(start.error());
    return swapping_steps(pencil, std::move(*start), n_steps, tau,
                          [](const Strang2DPencil& p, const GridFn2D& src, GridFn2D& dst, ScratchPool<double>& pool,
                             double t) { return p.step(src.values, dst.values, t, pool); });
}

}  // namespace quorvane
