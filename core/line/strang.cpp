#include "core/line/strang.hpp"

#include <cmath>
#include <vector>

namespace quorvane {

Expected<std::pair<StrangSemigroup, GridFn<double>>> build_strang_state(std::size_t n, std::span<const double> u0,
                                                                        BoundaryPolicy<double> boundary,
                                                                        double xmin, double xmax, double b) {
    return build_state(n, 100, u0, boundary, xmin, xmax, [&](const Grid1D<double>& g) {
        return StrangDiffusionDrift{DiffusionChernoff::unit(g), DriftReactionChernoff::constant(g, b, 0.0, std::fabs(b))};
    });
}

}  // namespace quorvane
