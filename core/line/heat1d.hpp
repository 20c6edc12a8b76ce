// The second-order heat evolver du/dt = a(x) u'' (divergence form when a
// varies, see diffusion.hpp): stepping in double precision through the heat2
// kernel, a serial single-precision path, and the variable-coefficient state
// builder.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/foundation/coeff.hpp"
#include "core/line/diffusion.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/line/state.hpp"

namespace quorvane {

struct Heat1DState {
    ChernoffSemigroup<DiffusionChernoff> semigroup;
    GridFn<double> state;
};

// The single-precision path: n_steps serial steps of the unit-diffusion
// five-point rule with all arithmetic in float, on the grid's own boundary
// policy; the result is widened back to double.
Expected<std::vector<double>> heat1d_evolve_f32(const Grid1D<double>& grid, std::span<const double> values,
                                                double t, std::size_t n_steps);

// Variable-coefficient heat state (a, a', a'' shared closures).
Expected<Heat1DState> build_heat1d_with_a(std::size_t n, std::span<const double> u0, SharedCoeff a,
                                          SharedCoeff a_prime, SharedCoeff a_double_prime,
                                          BoundaryPolicy<double> boundary, double xmin, double xmax,
                                          double a_norm_bound);

}  // namespace quorvane
