#include "core/line/point_eval.hpp"

#include <cmath>
#include <cstdint>
#include <utility>

#include "core/foundation/numeric.hpp"
#include "core/foundation/parallel1d.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

namespace {

// x in [lo, hi]; a NaN stays NaN.
double clamp_keep_nan(double x, double lo, double hi) {
    if (x < lo) x = lo;
    if (x > hi) x = hi;
    return x;
}

}  // namespace

double eval_bilinear_2d(const GridFn2D& f, double x, double y) {
    const std::size_t nx = f.grid.nx(), ny = f.grid.ny();
    if (nx < 2 || ny < 2) internal_fault("eval_bilinear_2d: each axis needs at least 2 nodes");
    const Grid1D<double>& gx = f.grid.x;
    const Grid1D<double>& gy = f.grid.y;
    // Clamped to the node range [0, n-1], the cell index to at most n-2:
    // on the far edge the cell is the last one with weight 1, so the edge
    // node's own value comes out (clamping to n-2 instead would return the
    // neighbour's).
    const double fx = clamp_keep_nan((x - gx.xmin) / (gx.xmax - gx.xmin) * static_cast<double>(nx - 1), 0.0,
                                     static_cast<double>(nx - 1));
    const double fy = clamp_keep_nan((y - gy.xmin) / (gy.xmax - gy.xmin) * static_cast<double>(ny - 1), 0.0,
                                     static_cast<double>(ny - 1));
    std::size_t i = saturating_cast<std::uint64_t>(std::floor(fx));
    std::size_t j = saturating_cast<std::uint64_t>(std::floor(fy));
    if (i > nx - 2) i = nx - 2;
    if (j > ny - 2) j = ny - 2;
    const std::size_t k00 = i + j * nx, k10 = k00 + 1;
    const std::size_t k01 = nx * (j + 1) + i, k11 = k01 + 1;
    const std::vector<double>& v = f.values;
    if (k00 >= v.size() || k10 >= v.size() || k01 >= v.size() || k11 >= v.size()) {
        internal_fault("eval_bilinear_2d: cell outside the values");
    }
    const double wx = clamp_keep_nan(fx - static_cast<double>(i), 0.0, 1.0);
    const double wy = clamp_keep_nan(fy - static_cast<double>(j), 0.0, 1.0);
    return (1.0 - wy) * ((1.0 - wx) * v[k00]) + (1.0 - wy) * (wx * v[k10]) + wy * ((1.0 - wx) * v[k01]) +
           wy * (wx * v[k11]);
}

Expected<double> eval_at(const DiffusionChernoff& kernel, const GridFn<double>& u0, std::span<const double> x,
                         std::uint32_t n_steps, double tau) {
    if (n_steps == 0) return domain_error("eval_at: n_steps must be >= 1", 0.0);
    if (x.size() != 1) return domain_error("eval_at: 1-D backend requires x.len() == 1", static_cast<double>(x.size()));
    GridFn<double> cur = u0;
    GridFn<double> next = u0;
    for (std::uint32_t k = 0; k < n_steps; ++k) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        if (Status st = par_apply_pointwise(next, kernel, cur, tau); !st) return fail(st.error());
        std::swap(cur, next);
    }
    return cur.grid.interp(cur.values, x[0]);
}

}  // namespace quorvane
