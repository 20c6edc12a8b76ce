// The fourth-order five-point divergence stencil and the series sum of the
// fourth-order truncated-exponential step.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "core/foundation/coeff.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"

namespace quorvane {

// out[i] = (L v)_i for i < count, with
//   L v = (t4 + ((t1 - t2) - t3)) / h^2,
//   t1 = (v[i+1]-v[i]) 5 a(x+h/2)/4,   t2 = (v[i+2]-v[i+1]) a(x+3h/2)/12,
//   t3 = (v[i]-v[i-1]) 5 a(x-h/2)/4,   t4 = (v[i-1]-v[i-2]) a(x-3h/2)/12,
// which for a = 1 is (-v[i+2] + 16 v[i+1] - 30 v[i] + 16 v[i-1] - v[i-2])/(12 h^2),
// fourth order. Neighbours outside [0, count) are read off-grid through
// grid.interp.
Status truncated_exp4_compute(PlainFn a, const Grid1D<double>& grid, std::span<const double> v,
                              std::span<double> out, std::size_t count, double h);
// The same for nodes [begin, end) of the `count` only.
Status truncated_exp4_compute_nodes(PlainFn a, const Grid1D<double>& grid, std::span<const double> v,
                                    std::span<double> out, std::size_t count, std::size_t begin, std::size_t end,
                                    double h);

// u + tau k1 + tau^2/2 k2 + tau^3/6 k3 + tau^4/24 k4 at node i, from the
// vectors (u, k1, k2, k3, k4). An index beyond any vector is an internal
// fault.
double truncated_exp4_node_sum(const std::array<std::span<const double>, 5>& vectors, std::size_t i, double tau);

}  // namespace quorvane
