// Value, delta and gamma of 1-D heat u_t = theta u'' with respect to the
// constant diffusivity theta, from one sweep of heat2 steps in hyper-dual
// arithmetic: theta enters as (theta, 1, 1, 0) and the parts of the result
// are u, du/dtheta (twice) and d2u/dtheta2.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"

namespace quorvane {

struct HeatGreeks {
    std::vector<double> value, delta, gamma;
};

// n_chernoff steps of t / n_chernoff from `values` (which do not depend on
// theta) on `grid`'s bounds, reflecting ends, the degree-7 Hermite
// interpolant. t = 0 gives the values with zero sensitivities; theta = 0
// with t > 0 is refused: the step's offsets 2 sqrt(tau theta) have no
// finite theta-derivative there.
Expected<HeatGreeks> heat1d_greeks(const Grid1D<double>& grid, std::span<const double> values,
                                   std::uint64_t n_chernoff, double theta, double t);

}  // namespace quorvane
