#include "core/bounded/killing.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "core/foundation/parallel1d.hpp"

namespace quorvane {

double box_end_in_cells(double end, double xmin, double dx) {
    const double c = (end - xmin) / dx;
    const double node = std::round(c);
    // The rounding of end - xmin and of the quotient, in cells.
    const double eps = std::numeric_limits<double>::epsilon();
    const double slack = 8.0 * eps * (std::abs(c) + (std::abs(end) + std::abs(xmin)) / dx + 1.0);
    return std::abs(c - node) <= slack ? node : c;
}

Expected<BoxRegion> BoxRegion::make(double lo, double hi) {
    if (!(lo < hi)) return domain_error("BoxRegion: lo[k] must be < hi[k] for all k", lo);
    return BoxRegion{lo, hi};
}

Status KillingChernoff::apply_into(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>&,
                                   double tau) const {
    if (Status st = par_apply_pointwise(dst, inner, src, tau); !st) return st;
    const Grid1D<double>& g = inner.grid;
    const double dx = (g.xmax - g.xmin) / static_cast<double>(g.n - 1);
    // Node i is inside when lo <= xmin + i dx < hi, decided in cells: an end that lies on a
    // node within the rounding of its position is on it, whatever the unit of length.
    const double first = box_end_in_cells(box.lo, g.xmin, dx);
    const double past = box_end_in_cells(box.hi, g.xmin, dx);
    for (std::size_t i = 0; i < dst.values.size(); ++i) {
        const double c = static_cast<double>(i);
        if (!(first <= c && c < past)) dst.values[i] = 0.0;
    }
    return {};
}

Status SoftKillingChernoff::apply_into(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>&,
                                       double tau) const {
    const std::size_t n = src.values.size();
    const double f = std::exp(-(tau * 0.5 * kappa));
    GridFn<double> damped{src.grid, std::vector<double>(n, 0.0)};
    for (std::size_t i = 0; i < n; ++i) damped.values[i] = f * src.values[i];
    GridFn<double> stepped{src.grid, std::vector<double>(n, 0.0)};
    if (Status st = par_apply_pointwise(stepped, inner, damped, tau); !st) return st;
    dst.values.resize(n);
    for (std::size_t i = 0; i < n; ++i) dst.values[i] = f * stepped.values[i];
    return {};
}

}  // namespace quorvane
