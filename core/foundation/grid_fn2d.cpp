#include "core/foundation/grid_fn2d.hpp"

#include <cmath>
#include <string>

#include "core/foundation/stop.hpp"

namespace quorvane {

Expected<GridFn2D> GridFn2D::make(const Grid2D& grid, std::vector<double> values) {
    // A product that overflows equals no vector length; it must not wrap
    // around to a small one.
    std::size_t expected = 0;
    const bool overflow = __builtin_mul_overflow(grid.nx(), grid.ny(), &expected);
    if (overflow || values.size() != expected) {
        return domain_error("values.len() must equal grid.nx * grid.ny (I-T3)", static_cast<double>(values.size()));
    }
    if (const double* bad = first_non_finite<double>(values)) {
        return domain_error("all values must be finite (no NaN/Inf)", *bad);
    }
    return GridFn2D{grid, std::move(values)};
}

GridFn<double> GridFn2D::column(std::size_t i) const {
    const std::size_t nx = grid.nx(), ny = grid.ny();
    std::vector<double> line(ny);
    for (std::size_t k = 0; k < ny; ++k) {
        std::size_t idx = 0;
        if (__builtin_mul_overflow(k, nx, &idx) || __builtin_add_overflow(idx, i, &idx) || idx >= values.size()) {
            internal_fault("GridFn2D::column: index " + std::to_string(i) + " runs past the values");
        }
        line[k] = values[idx];
    }
    return GridFn<double>{grid.y, std::move(line)};
}

bool sheared_x_reads_located(const Grid2D& grid, double c) {
    const std::size_t nx = grid.nx(), ny = grid.ny();
    Grid1D<double> row_grid = grid.x;
    row_grid.interp_kind = InterpKind::septic();
    const double dy = (grid.y.xmax - grid.y.xmin) / static_cast<double>(ny - 1);
    const double dx = (grid.x.xmax - grid.x.xmin) / static_cast<double>(nx - 1);
    for (const std::size_t j : {std::size_t{0}, ny - 1}) {
        const double shift = c * (grid.y.xmin + dy * static_cast<double>(j));
        for (const std::size_t i : {std::size_t{0}, nx - 1}) {
            if (!read_is_located(row_grid, (grid.x.xmin + dx * static_cast<double>(i)) - shift)) return false;
        }
    }
    return true;
}

Status GridFn2D::sample_sheared_x(std::span<double> out, std::size_t nx, std::size_t ny, double c) const {
    const std::size_t nx_grid = grid.nx(), ny_grid = grid.ny();
    std::size_t out_needed = 0;
    if (__builtin_mul_overflow(nx, ny, &out_needed) || out.size() < out_needed) {
        internal_fault("GridFn2D::sample_sheared_x: output shorter than nx*ny");
    }
    if (ny != 0 && (nx_grid < 2 || ny_grid < 2 || ny > values.size() / nx_grid)) {
        internal_fault("GridFn2D::sample_sheared_x: rows beyond the values");
    }
    // Rows are always read with the degree-7 Hermite rule, whatever the
    // x-axis kind: it is exact for polynomials of degree 6 and has no
    // failure for finite points.
    Grid1D<double> row_grid = grid.x;
    row_grid.interp_kind = InterpKind::septic();
    const double dy = (grid.y.xmax - grid.y.xmin) / static_cast<double>(ny_grid - 1);
    const double dx = (grid.x.xmax - grid.x.xmin) / static_cast<double>(nx_grid - 1);
    if (ny == 0) return {};
    std::vector<double> row(nx_grid);
    for (std::size_t j = 0; j < ny; ++j) {
        // Every value is a degree-7 read: a stop request is looked at per row.
        if (Status st = poll_stop(); !st) return st;
        const double* src = values.data() + j * nx_grid;
        row.assign(src, src + nx_grid);
        const double shift = c * (grid.y.xmin + dy * static_cast<double>(j));
        for (std::size_t i = 0; i < nx; ++i) {
            const double xs = (grid.x.xmin + dx * static_cast<double>(i)) - shift;
            // A foot that overflowed from finite c and nodes lies past any
            // cell the grid can tell apart.
            if (std::isinf(xs) && std::isfinite(c)) return domain_error(kReadTooFar, xs);
            Expected<double> r = row_grid.interp_foot(row, xs, true);
            if (!r) return fail(r.error());
            out[j * nx + i] = *r;
        }
    }
    return {};
}

}  // namespace quorvane
