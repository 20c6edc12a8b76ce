#include "core/sensitivity/reverse_ad.hpp"

#include <algorithm>
#include <cmath>

namespace quorvane {

std::uint64_t checkpoint_interval(std::uint64_t n_steps) {
    const double r = std::ceil(std::sqrt(static_cast<double>(n_steps)));
    return std::max<std::uint64_t>(static_cast<std::uint64_t>(r), 1);
}

Expected<ReverseSweepConfig> reverse_heat1d_setup(double theta, double xmin, double xmax, std::size_t n_grid,
                                                  std::uint64_t n_steps) {
    const InterpKind cubic = InterpKind::of(InterpTag::CubicHermite);
    auto grid = Grid1D<double>::make(BoundaryPolicy<double>::of(BoundaryTag::Reflect), cubic, xmin, xmax, n_grid);
    if (!grid) return fail(grid.error());
    auto dual_grid = Grid1D<Dual1>::make(BoundaryPolicy<Dual1>::of(BoundaryTag::Reflect), cubic, Dual1(xmin),
                                         Dual1(xmax), n_grid);
    if (!dual_grid) return fail(dual_grid.error());
    auto regions = RegionMap::contiguous(n_grid, 1);
    if (!regions) return fail(regions.error());
    return ReverseSweepConfig{
        DiffusionChernoff{CoeffSource::constant(theta), *grid, theta},
        DualDiffusionChernoff<Dual1>{DualCoeffSource<Dual1>::constant(Dual1(theta, 1.0)), *dual_grid, theta},
        std::move(*regions),
        checkpoint_interval(n_steps),
        n_steps,
    };
}

}  // namespace quorvane
