#include "core/bounded/wentzell.hpp"

#include <cmath>

#include "core/foundation/parallel1d.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

double GammaFamily::at(double t) const {
    switch (tag) {
        case Tag::Constant: return p1;
        case Tag::Linear: return p1 + p2 * t;
        case Tag::Exponential: break;
    }
    return std::exp(p1 * t);
}

Status DynamicWentzellChernoff::apply_into(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>&,
                                           double tau) const {
    const Grid1D<double>& g = inner.grid;
    if (g.n < 2) return domain_error("DynamicWentzellChernoff: grid must have >= 2 nodes", static_cast<double>(g.n));
    if (Status st = par_apply_pointwise(dst, inner, src, tau); !st) return st;
    const double h = (g.xmax - g.xmin) / static_cast<double>(g.n - 1);
    const double s = tau / 2.0;
    const double gh = gamma / h;
    const double p = 1.0 + (c + gh) * s;
    // Cayley step of u0' = -(c + gamma/h) u0 + (gamma/h) u1 with u1 held.
    if (std::fabs(p) < 2.220446049250313e-16) return {};
    std::vector<double>& u = dst.values;
    u[0] = ((1.0 - (c + gh) * s) * u[0] + 2.0 * (gamma * s / h) * u[1]) / p;
    return {};
}

Expected<std::vector<double>> evolve_wentzell(const Grid1D<double>& grid, std::vector<double> values, double c,
                                              std::size_t n, FunctionRef<double(std::size_t)> gamma_at, double tau) {
    auto cur = GridFn<double>::make(grid, std::move(values));
    if (!cur) return fail(cur.error());
    GridFn<double> other{grid, std::vector<double>(grid.n, 0.0)};
    ScratchPool<double> pool;
    const DiffusionChernoff unit = DiffusionChernoff::unit(grid);
    for (std::size_t k = 0; k < n; ++k) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        const DynamicWentzellChernoff step{unit, gamma_at(k), c};
        if (Status st = step.apply_into(*cur, other, pool, tau); !st) return fail(st.error());
        std::swap(*cur, other);
    }
    return std::move(cur->values);
}

}  // namespace quorvane
