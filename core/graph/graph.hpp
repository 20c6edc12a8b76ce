// Weighted undirected graphs in symmetric compressed-row form.
//
// Every undirected edge {u, v} of weight w is stored twice, as (v, w) in row u
// and (u, w) in row v; rows list their neighbours in ascending order, there
// are no self-loops and no repeated neighbours, and every weight is finite and
// positive. A built graph never changes and is shared by handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/foundation/error.hpp"

namespace quorvane {

template <class F>
using AdjacencyLists = std::vector<std::vector<std::pair<std::uint32_t, F>>>;

template <class F>
struct Edge {
    std::uint32_t u;
    std::uint32_t v;
    F w;
};

template <class F>
struct Graph {
    std::vector<std::uint64_t> row_ptr;
    std::vector<std::uint32_t> col_idx;
    std::vector<F> weights;
    std::uint64_t n_nodes = 0;

    // No validation: symmetry, range and uniqueness are the caller's. Each
    // list is sorted by neighbour.
    static Graph from_adjacency(std::uint64_t n_nodes, AdjacencyLists<F> lists);
    // The path 0 - 1 - ... - (n - 1) with unit weights; n >= 1.
    static Graph path(std::uint64_t n_nodes);
    // The path closed by the edge {n - 1, 0}; n >= 3.
    static Graph cycle(std::uint64_t n_nodes);
    // n isolated nodes.
    static Graph edgeless(std::uint64_t n_nodes);
    // Validating builder; the first failing edge (self-loop, node index,
    // weight, duplicate, in that order) stops it, and so does a stop request
    // (poll_stop): the duplicate scans cost O(M * max degree).
    static Expected<Graph> from_edges(std::uint64_t n_nodes, std::span<const Edge<F>> edges);

    std::uint64_t degree(std::uint64_t node) const { return row_ptr[node + 1] - row_ptr[node]; }
    std::size_t n_directed_edges() const { return col_idx.size(); }
};

extern template struct Graph<double>;
extern template struct Graph<float>;

using SharedGraph = std::shared_ptr<const Graph<double>>;

// Graph::from_edges over flat (u, v, w) triples of doubles, as Python gives
// them. Node values truncate toward zero and saturate at 4294967295; a NaN
// node or one at or below -1 (which would silently become node 0) is refused
// with its value. Stop requests as Graph::from_edges.
Expected<Graph<double>> graph_from_edge_values(std::uint64_t n_nodes, std::span<const double> triples);

// A lower bound of the memory a builder holds at its peak for a graph of
// n_nodes nodes and nnz stored entries: one adjacency list per node with its
// entries, and the compressed rows filled from them while the lists are still
// alive (growth slack and allocator overhead come on top). nullopt when the
// count does not fit in size_t.
std::optional<std::size_t> graph_build_bytes(std::uint64_t n_nodes, std::uint64_t nnz);

// Erdos-Renyi G(n, p): one splitmix64 draw per unordered pair in
// lexicographic order, the pair joined (unit weight) when the draw is below p.
// n(n - 1)/2 draws: a stop request (poll_stop) ends it with nothing built.
Expected<Graph<double>> erdos_renyi(std::uint64_t n_nodes, double p, std::uint64_t seed);

// The undirected edges (i < j) of a graph in row order, weights rounded to
// single precision.
std::vector<Edge<float>> graph_edges_f32(const Graph<double>& g);

// The single-precision graph of a double-precision one, rebuilt through the
// validating builder (a weight that rounds to 0 or infinity is refused).
Expected<Graph<float>> graph_to_f32(const Graph<double>& g);

}  // namespace quorvane
