#include "core/bounded/killing.hpp"

#include <cmath>
#include <vector>

#include "core/foundation/parallel1d.hpp"

namespace quorvane {

Expected<BoxRegion> BoxRegion::make(double lo, double hi) {
    if (!(lo < hi)) return domain_error("BoxRegion: lo[k] must be < hi[k] for all k", lo);
    return BoxRegion{lo, hi};
}

Status KillingChernoff::apply_into(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>&,
                                   double tau) const {
    if (Status st = par_apply_pointwise(dst, inner, src, tau); !st) return st;
    const Grid1D<double>& g = inner.grid;
    const double dx = (g.xmax - g.xmin) / static_cast<double>(g.n - 1);
    for (std::size_t i = 0; i < dst.values.size(); ++i) {
        const double x = g.xmin + dx * static_cast<double>(i);
        if (!box.contains(x)) dst.values[i] = 0.0;
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
