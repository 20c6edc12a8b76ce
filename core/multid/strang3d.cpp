#include "core/multid/strang3d.hpp"

#include <algorithm>

#include "core/foundation/parallel1d.hpp"
#include "core/multid/strang2d_parallel.hpp"

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
                st = apply_kernel_on_line(lift.kernel, ws.subspan(r * nx, nx), os.subspan(r * nx, nx), grid.x, pool,
                                          tau);
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

namespace {

// A y or z leg: every pencil is stepped into its contiguous slot of the
// pencil-major buffer, then whole rows are copied back. The copy-back runs on
// the same bounded number of blocks as the pencils; one block per few rows
// would start tens of thousands of threads on long grids.
Status sweep_strided_parallel(std::vector<double>& values, const Grid1D<double>& axis, std::size_t pencils,
                              std::size_t threads, const DiffusionChernoff& kernel, std::vector<double>& buffer,
                              double tau, std::size_t nx, std::size_t ny, bool z_axis) {
    const std::size_t len = axis.n;
    const std::size_t nxy = nx * ny;
    buffer.resize(values.size(), 0.0);
    // Pencil p: for y, i = p % nx, k = p / nx (node (i, j, k) at k*nxy + j*nx + i);
    // for z, p = j*nx + i (node at p + k*nxy).
    auto base = [&](std::size_t p) { return z_axis ? p : (p / nx) * nxy + p % nx; };
    const std::size_t stride = z_axis ? nxy : nx;
    Status st = sweep_lines(
        pencils, axis, threads, kernel, tau,
        [&](std::size_t p, std::span<double> line) {
            const std::size_t b = base(p);
            for (std::size_t k = 0; k < len; ++k) line[k] = values[b + k * stride];
        },
        [&](std::size_t p, std::span<const double> out) {
            std::copy(out.begin(), out.end(), buffer.begin() + static_cast<std::ptrdiff_t>(p * len));
        });
    if (!st) return st;
    const std::size_t rows = values.size() / nx;
    run_chunked(rows, threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            const std::size_t k = r / ny, j = r % ny;
            for (std::size_t i = 0; i < nx; ++i) {
                values[r * nx + i] = z_axis ? buffer[(j * nx + i) * len + k] : buffer[(k * nx + i) * len + j];
            }
        }
    });
    return {};
}

}  // namespace

Status strang3d_parallel_step(const Strang3D& stepper, const GridFn3D& src, GridFn3D& dst,
                              ScratchPool<double>& pool, double tau) {
    const std::size_t nx = src.grid.nx(), ny = src.grid.ny(), nz = src.grid.nz();
    if (std::min({nx * ny, nx * nz, ny * nz, nx}) < 32) return Strang3D::step(stepper, src, dst, pool, tau);
    const std::size_t threads = strang_thread_count(nx * ny);
    if (src.values.size() != nx * ny * nz) internal_fault("strang3d_parallel_step: values do not match the grid");
    std::vector<double> work = src.values;
    std::vector<double> ybuf;
    std::vector<double> zbuf;
    const double h = tau * 0.5;
    if (Status st = sweep_rows_in_place(work, src.grid.x, threads, stepper.x_lift.kernel, h); !st) return st;
    Status st = sweep_strided_parallel(work, src.grid.y, nx * nz, threads, stepper.y_lift.kernel, ybuf, h, nx, ny, false);
    if (!st) return st;
    st = sweep_strided_parallel(work, src.grid.z, nx * ny, threads, stepper.z_lift.kernel, zbuf, tau, nx, ny, true);
    if (!st) return st;
    st = sweep_strided_parallel(work, src.grid.y, nx * nz, threads, stepper.y_lift.kernel, ybuf, h, nx, ny, false);
    if (!st) return st;
    if (Status s2 = sweep_rows_in_place(work, src.grid.x, threads, stepper.x_lift.kernel, h); !s2) return s2;
    dst.values = std::move(work);
    dst.grid = src.grid;
    return {};
}

}  // namespace quorvane
