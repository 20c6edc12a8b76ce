// The problem a reverse sweep of 1-D heat differentiates: the step over
// doubles, the same step over Dual<double> seeded on the diffusivity, the
// regions and the checkpoint interval.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/foundation/error.hpp"
#include "core/line/diffusion.hpp"
#include "core/sensitivity/reverse_region.hpp"

namespace quorvane {

struct ReverseSweepConfig {
    DiffusionChernoff kernel;
    DualDiffusionChernoff<Dual1> tangent_kernel;
    RegionMap region_map;
    std::uint64_t checkpoint_every = 1;
    std::uint64_t n_steps = 0;
};

// max(ceil(sqrt(n_steps)), 1): O(sqrt(n_steps)) checkpoints and as many
// states per recomputed segment.
std::uint64_t checkpoint_interval(std::uint64_t n_steps);

// Constant diffusivity theta on a reflecting grid read by the four-point
// cubic Hermite interpolant, one region: the kernel a = theta, its tangent
// a = (theta, 1). The grid checks fail as Grid1D::make's.
Expected<ReverseSweepConfig> reverse_heat1d_setup(double theta, double xmin, double xmax, std::size_t n_grid,
                                                  std::uint64_t n_steps);

}  // namespace quorvane
