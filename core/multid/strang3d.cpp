#include "core/multid/strang3d.hpp"

#include <algorithm>
#include <array>

#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"
#include "core/multid/line_sweep.hpp"
#include "core/multid/sizes.hpp"

namespace quorvane {
namespace {

// Pencils of `len` nodes with stride `stride`, pencil p starting at base(p).
template <class Base>
Status sweep_pencils(const DiffusionChernoff& kernel, const Grid1D<double>& axis, std::span<const double> w,
                     std::span<double> out, std::size_t count, std::size_t len, std::size_t stride, Base base,
                     ScratchPool<double>& pool, double tau) {
    GridFn<double> in{axis, pool.take(len)};
    GridFn<double> o{axis, pool.take(len)};
    for (std::size_t p = 0; p < count; ++p) {
        if (Status st = poll_stop(); !st) return st;
        const std::size_t b = base(p);
        for (std::size_t k = 0; k < len; ++k) in.values[k] = w[b + k * stride];
        if (Status st = par_apply_pointwise(o, kernel, in, tau); !st) return st;
        for (std::size_t k = 0; k < len; ++k) out[b + k * stride] = o.values[k];
    }
    pool.give_back(std::move(in.values));
    pool.give_back(std::move(o.values));
    return {};
}

}  // namespace

Strang3D Strang3D::unit(const Grid3D& grid) {
    return Strang3D{AxisLift3D{DiffusionChernoff::unit(grid.x), Axis::X},
                    AxisLift3D{DiffusionChernoff::unit(grid.y), Axis::Y},
                    AxisLift3D{DiffusionChernoff::unit(grid.z), Axis::Z}};
}

Status pencil_sweep_3d(const AxisLift3D& lift, std::span<const double> src, std::vector<double>& dst,
                       const Grid3D& grid, ScratchPool<double>& pool, double tau) {
    const std::size_t n = src.size();
    std::vector<double> w = pool.take(n);
    std::copy(src.begin(), src.end(), w.begin());
    std::vector<double> out = std::move(dst);
    dst = {};
    out.resize(n, 0.0);
    const std::size_t nx = grid.nx(), ny = grid.ny(), nz = grid.nz();
    if (n != nx * ny * nz) internal_fault("pencil_sweep_3d: values do not match the grid");
    Status st;
    switch (lift.axis) {
        case Axis::X: {
            const std::span<const double> ws(w);
            const std::span<double> os(out);
            for (std::size_t r = 0; r < ny * nz && st; ++r) {
                st = poll_stop();
                if (st) {
                    st = apply_kernel_on_line(lift.kernel, ws.subspan(r * nx, nx), os.subspan(r * nx, nx), grid.x,
                                              pool, tau);
                }
            }
            break;
        }
        case Axis::Y:
            st = sweep_pencils(lift.kernel, grid.y, w, out, nx * nz, ny, nx,
                               [&](std::size_t p) { return (p / nx) * nx * ny + p % nx; }, pool, tau);
            break;
        case Axis::Z:
            st = sweep_pencils(lift.kernel, grid.z, w, out, nx * ny, nz, nx * ny, [](std::size_t p) { return p; },
                               pool, tau);
            break;
    }
    if (!st) return st;
    dst = std::move(out);
    pool.give_back(std::move(w));
    return {};
}

Status Strang3D::step(const Strang3D& s, const GridFn3D& src, GridFn3D& dst, ScratchPool<double>& pool, double tau) {
    const std::size_t n = src.values.size();
    dst.values.resize(n, 0.0);
    dst.grid = src.grid;
    std::vector<double> a = pool.take(n);
    if (a.size() != n) internal_fault("Strang3D::step: pooled buffer has the wrong length");
    std::copy(src.values.begin(), src.values.end(), a.begin());
    std::vector<double> b = pool.take(n);
    const double h = tau * 0.5;
    if (Status st = pencil_sweep_3d(s.x_lift, a, b, src.grid, pool, h); !st) return st;
    if (Status st = pencil_sweep_3d(s.y_lift, b, a, src.grid, pool, h); !st) return st;
    if (Status st = pencil_sweep_3d(s.z_lift, a, b, src.grid, pool, tau); !st) return st;
    if (Status st = pencil_sweep_3d(s.y_lift, b, a, src.grid, pool, h); !st) return st;
    if (Status st = pencil_sweep_3d(s.x_lift, a, b, src.grid, pool, h); !st) return st;
    if (b.size() != n) internal_fault("Strang3D::step: leg result has the wrong length");
    std::copy(b.begin(), b.end(), dst.values.begin());
    pool.give_back(std::move(a));
    pool.give_back(std::move(b));
    return {};
}

Status strang3d_steps(const Strang3D& stepper, const Grid3D& grid, std::vector<double>& values, std::size_t n_steps,
                      double tau, std::size_t workers) {
    const double h = tau * 0.5;
    if (!finite_nonneg(h)) return domain_error("tau must be finite and >= 0", h);
    const std::array<std::size_t, 3> n{grid.nx(), grid.ny(), grid.nz()};
    if (!length_matches(values.size(), {n[0], n[1], n[2]})) {
        internal_fault("strang3d_steps: values do not match the grid");
    }
    if (n_steps == 0 || values.empty()) return {};
    const LineLayout lx = LineLayout::along(n, 0), ly = LineLayout::along(n, 1), lz = LineLayout::along(n, 2);
    const std::size_t w = workers != 0 ? workers
                                       : sweep_worker_count(values.size(), std::min({lx.count, ly.count, lz.count}),
                                                            sweeps_of(5, n_steps));
    // The x and y steppers serve two legs of every step, z one.
    HeatLines x(stepper.x_lift.kernel, grid.x, h, w, plan_pays(lx.count, w, 2, n_steps));
    HeatLines y(stepper.y_lift.kernel, grid.y, h, w, plan_pays(ly.count, w, 2, n_steps));
    HeatLines z(stepper.z_lift.kernel, grid.z, tau, w, plan_pays(lz.count, w, 1, n_steps));
    const SweepLeg legs[] = {{&x, lx}, {&y, ly}, {&z, lz}, {&y, ly}, {&x, lx}};
    return run_sweeps(legs, n_steps, w, values);
}

Status strang3d_parallel_step(const Strang3D& stepper, const GridFn3D& src, GridFn3D& dst, ScratchPool<double>&,
                              double tau) {
    std::vector<double> values = src.values;
    if (Status st = strang3d_steps(stepper, src.grid, values, 1, tau); !st) return st;
    dst.values = std::move(values);
    dst.grid = src.grid;
    return {};
}

}  // namespace quorvane
