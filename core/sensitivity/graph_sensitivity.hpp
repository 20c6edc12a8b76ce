// The derivative of the graph heat generator A = -L with respect to one edge
// weight.
//
// For a combinatorial Laplacian L = D - W, dL/dw_ij = (e_i - e_j)(e_i - e_j)^T,
// so (dA/dw_ij) x = -(x_i - x_j)(e_i - e_j): two entries, whatever the graph.
// The pair need not be an edge of the graph (it is then the derivative with
// respect to a zero-weight edge), and (j, i) names the same weight as (i, j).
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/graph/graph.hpp"

namespace quorvane {

// One parameter: the weight of the undirected pair {i, j}.
using EdgePair = std::pair<std::uint64_t, std::uint64_t>;

// The pair's indices against n nodes: "apply_edge_weight_deriv: index out of
// range" (value max(i, j)) before "apply_edge_weight_deriv: self-loop (i==j)"
// (value i), both DomainViolation.
Status check_edge_pair(const EdgePair& p, std::uint64_t n);

// out = (dA/dw_ij) x: out_i = -(x_i - x_j), out_j = x_i - x_j, every other
// entry -0.0. Checked against x's length; out (at least that long) is not
// written on failure.
Status apply_edge_weight_deriv(std::uint64_t i, std::uint64_t j, std::span<const double> x, std::span<double> out);

// Every undirected edge once, (i, j) with i < j, rows in order and
// neighbours as stored (ascending).
std::vector<EdgePair> all_edge_pairs(const Graph<double>& g);

}  // namespace quorvane
