// Edge lists of the edge-weight gradients: the Python forms of a list of
// node index pairs (i, j), one gradient entry per pair in list order.
#pragma once

#include <vector>

#include "core/graph/graph.hpp"
#include "core/sensitivity/graph_sensitivity.hpp"
#include "python/frame.hpp"

namespace quorvane::py {

// "all_edges" (every undirected edge once, ascending (i, j), i < j) or a
// sequence of 2-tuples of non-negative integers, not checked against the
// graph here; OutOfDomain "params string must be \"all_edges\"" for another
// string, "params must be list[(int,int)] or \"all_edges\"" for anything
// else that is not a pair list.
std::vector<EdgePair> parse_edge_params(PyObject* params, const Graph<double>& graph);

// A sequence of 2-tuples of non-negative integers, else OutOfDomain
// `message` (an exception that is not an Exception, such as a
// KeyboardInterrupt raised while reading the sequence, stays itself).
std::vector<EdgePair> edge_pair_list(PyObject* params, const char* message);

}  // namespace quorvane::py
