#include "core/strang.hpp"

#include <cmath>
#include <vector>

namespace quorvane {

Expected<std::pair<StrangSemigroup, GridFn<double>>> build_strang_state(std::size_t n, std::span<const double> u0,
                                                                        BoundaryPolicy<double> boundary,
                                                                        double xmin, double xmax, double b) {
    if (const double* bad = first_non_finite<double>(u0)) return domain_error("u0 contains NaN or Inf", *bad);
    auto grid = Grid1D<double>::make(boundary, InterpKind::septic(), xmin, xmax, n);
    if (!grid) return fail(grid.error());
    StrangDiffusionDrift split{DiffusionChernoff::unit(*grid),
                               DriftReactionChernoff::constant(*grid, b, 0.0, std::fabs(b))};
    auto sg = StrangSemigroup::make(std::move(split), 100);
    if (!sg) return fail(sg.error());
    auto fn = GridFn<double>::make(*grid, std::vector<double>(u0.begin(), u0.end()));
    if (!fn) return fail(fn.error());
    return std::pair{std::move(*sg), std::move(*fn)};
}

}  // namespace quorvane
