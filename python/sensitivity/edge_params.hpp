// Edge lists of the graph gradients: the Python forms of a list of node
// index pairs (i, j), one gradient entry per pair in list order.
#pragma once

#include <optional>
#include <vector>

#include "core/graph/graph.hpp"
#include "core/sensitivity/graph_sensitivity.hpp"
#include "python/frame.hpp"

namespace quorvane::py {

// A sequence (not a str) whose items are 2-tuples of non-negative integers
// (anything with __index__ that fits 64 bits); nullopt, with no Python error
// left set, for anything else. Indices are not checked against a graph.
std::optional<std::vector<EdgePair>> try_index_pairs(PyObject* o);

// "all_edges" (every undirected edge once, ascending (i, j), i < j) or an
// explicit pair list; OutOfDomain "params string must be \"all_edges\"" for
// another string, "params must be list[(int,int)] or \"all_edges\"" for
// anything else that is not a pair list.
std::vector<EdgePair> parse_edge_params(PyObject* params, const Graph<double>& graph);

}  // namespace quorvane::py
