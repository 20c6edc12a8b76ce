// Evaluation of a grid function through the polynomial of degree M that
// interpolates its degree-7 Hermite values at the M+1 Chebyshev points.
#pragma once

#include <cstdint>
#include <span>

#include "core/foundation/grid_fn.hpp"

namespace quorvane {

// `grid` is the effective grid (its policy decides the treatment outside
// [xmin, xmax]); M must be one of 8, 16, ..., 512.
template <class F>
Expected<F> chebyshev_sample(std::span<const F> values, const Grid1D<F>& grid, std::uint64_t m, F x);

// Node j of the fixed table for M: cos(j*pi/M) correctly rounded to double.
// M not one of 8, 16, ..., 512, or j > M, is an internal fault.
double chebyshev_node(std::uint64_t m, std::uint64_t j);

}  // namespace quorvane
