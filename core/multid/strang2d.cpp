#include "core/multid/strang2d.hpp"

#include <algorithm>

#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"
#include "core/multid/sizes.hpp"

namespace quorvane {
namespace {

// Steps `count` strided lines of `len` nodes over `axis`: line p starts at
// base(p) and advances by `stride`. Two pooled buffers serve every line.
template <class Base>
Status sweep_strided(const DiffusionChernoff& kernel, const Grid1D<double>& axis, std::span<const double> src,
                     std::span<double> dst, std::size_t count, std::size_t len, std::size_t stride, Base base,
                     ScratchPool<double>& pool, double tau) {
    GridFn<double> in{axis, pool.take(len)};
    GridFn<double> out{axis, pool.take(len)};
    for (std::size_t p = 0; p < count; ++p) {
        if (Status st = poll_stop(); !st) return st;
        const std::size_t b = base(p);
        for (std::size_t k = 0; k < len; ++k) in.values[k] = src[b + k * stride];
        if (Status st = par_apply_pointwise(out, kernel, in, tau); !st) return st;
        for (std::size_t k = 0; k < len; ++k) dst[b + k * stride] = out.values[k];
    }
    pool.give_back(std::move(in.values));
    pool.give_back(std::move(out.values));
    return {};
}

}  // namespace

Status AxisLift::apply_into(const GridFn2D& src, GridFn2D& dst, ScratchPool<double>& pool, double tau) const {
    if (!finite_nonneg(tau)) return domain_error("AxisLift::apply_into: tau must be finite and >= 0", tau);
    const std::size_t len = src.values.size();
    const std::size_t nx = src.grid.nx(), ny = src.grid.ny();
    if (!length_matches(len, {nx, ny})) {
        return domain_error("AxisLift::apply_into: f.values.len() != f.grid.len() (I-T3)", static_cast<double>(len));
    }
    dst.grid = src.grid;
    dst.values.resize(len, 0.0);
    const std::span<const double> in(src.values);
    const std::span<double> out(dst.values);
    switch (axis) {
        case Axis::X:
            for (std::size_t j = 0; j < ny; ++j) {
                if (Status st = poll_stop(); !st) return st;
                Status st = apply_kernel_on_line(kernel, in.subspan(j * nx, nx), out.subspan(j * nx, nx), src.grid.x,
                                                 pool, tau);
                if (!st) return st;
            }
            return {};
        case Axis::Y:
            return sweep_strided(kernel, src.grid.y, in, out, nx, ny, nx, [](std::size_t i) { return i; }, pool, tau);
        case Axis::Z: break;
    }
    return domain_error("AxisLift (2D): Axis::Z is not valid for GridFn2D; use AxisLift3D for 3D lifts", 0.0);
}

Strang2D Strang2D::unit(const Grid2D& grid) {
    return Strang2D{AxisLift{DiffusionChernoff::unit(grid.x), Axis::X}, AxisLift{DiffusionChernoff::unit(grid.y), Axis::Y}};
}

Status Strang2D::leg(const AxisLift& lift, std::span<const double> in, std::vector<double>& out, const Grid2D& grid,
                     ScratchPool<double>& pool, double tau) {
    std::vector<double> buffer = pool.take(in.size());
    std::copy(in.begin(), in.end(), buffer.begin());
    GridFn2D source{grid, std::move(buffer)};
    GridFn2D dest{grid, std::move(out)};
    out = {};
    if (Status st = lift.apply_into(source, dest, pool, tau); !st) return st;
    out = std::move(dest.values);
    pool.give_back(std::move(source.values));
    return {};
}

Status Strang2D::step(const GridFn2D& src, GridFn2D& dst, const AxisLift& x_lift, const AxisLift& y_lift,
                      ScratchPool<double>& pool, double tau) {
    const std::size_t len = src.values.size();
    dst.values.resize(len, 0.0);
    dst.grid = src.grid;
    std::vector<double> a = pool.take(len);
    std::copy(src.values.begin(), src.values.end(), a.begin());
    std::vector<double> b = pool.take(len);
    const double half = tau * 0.5;
    if (Status st = leg(x_lift, a, b, src.grid, pool, half); !st) return st;
    if (Status st = leg(y_lift, b, a, src.grid, pool, tau); !st) return st;
    if (Status st = leg(x_lift, a, b, src.grid, pool, half); !st) return st;
    if (b.size() != len) internal_fault("Strang2D::step: leg result has the wrong length");
    std::copy(b.begin(), b.end(), dst.values.begin());
    pool.give_back(std::move(a));
    pool.give_back(std::move(b));
    return {};
}

Status pencil_sweep_2d(const Strang2DPencil& pencil, std::span<const double> src, std::span<double> dst,
                       ScratchPool<double>& pool, double tau) {
    const std::size_t nx = pencil.grid.nx(), ny = pencil.grid.ny();
    if (pencil.row_kernels.size() < ny || src.size() / std::max<std::size_t>(nx, 1) < ny || dst.size() < src.size()) {
        internal_fault("pencil_sweep_2d: rows beyond the kernels or the values");
    }
    for (std::size_t j = 0; j < ny; ++j) {
        if (Status st = poll_stop(); !st) return st;
        Status st = apply_kernel_on_line(pencil.row_kernels[j], src.subspan(j * nx, nx), dst.subspan(j * nx, nx),
                                         pencil.grid.x, pool, tau);
        if (!st) return st;
    }
    return {};
}

Status Strang2DPencil::step(std::span<const double> src, std::span<double> dst, double tau,
                            ScratchPool<double>& pool) const {
    const std::size_t nx = grid.nx(), ny = grid.ny();
    if (!length_matches(src.size(), {nx, ny}) || dst.size() != src.size() || col_kernels.size() < nx) {
        internal_fault("Strang2DPencil::step: values do not match the grid");
    }
    std::vector<double> work = pool.take(src.size());
    std::vector<double> second = pool.take(src.size());
    const double half = tau * 0.5;
    if (Status st = pencil_sweep_2d(*this, src, work, pool, half); !st) return st;
    // Each column has its own kernel, so the columns are stepped one by one.
    GridFn<double> in{grid.y, pool.take(ny)};
    GridFn<double> out{grid.y, pool.take(ny)};
    for (std::size_t i = 0; i < nx; ++i) {
        if (Status st = poll_stop(); !st) return st;
        for (std::size_t j = 0; j < ny; ++j) in.values[j] = work[i + j * nx];
        if (Status st = par_apply_pointwise(out, col_kernels[i], in, tau); !st) return st;
        for (std::size_t j = 0; j < ny; ++j) second[i + j * nx] = out.values[j];
    }
    pool.give_back(std::move(in.values));
    pool.give_back(std::move(out.values));
    if (Status st = pencil_sweep_2d(*this, second, dst, pool, half); !st) return st;
    pool.give_back(std::move(work));
    pool.give_back(std::move(second));
    return {};
}

}  // namespace quorvane
