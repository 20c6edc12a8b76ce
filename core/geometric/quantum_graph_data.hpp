// Metric graphs: a combinatorial graph whose edges carry lengths, each edge
// sampled on its own uniform grid of the same node count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"

namespace quorvane {

// The largest vertex count a graph may name. Every index below the largest
// one is a vertex (of degree 0 when no edge names it) and owns an incidence
// slot, so a huge index would allocate for vertices that do not exist.
inline constexpr std::uint64_t kMaxGraphVertices = std::uint64_t{1} << 24;

// One edge end that meets a vertex, with the mass its end node carries.
struct VertexEnd {
    std::size_t edge = 0;
    bool at_start = true;  // node 0 of the edge grid, else node n - 1
    double weight = 0.0;   // spacing h_e = length / (n - 1) of the edge grid
};

// The Kirchhoff projection of one vertex: the values meeting there are
// replaced by their mean weighted by the end nodes' spacings, which is the
// projection that keeps the trapezoidal mass of the graph (a plain mean
// would move mass between edges of unequal spacing).
struct VertexProjection {
    std::uint64_t vertex = 0;
    std::vector<VertexEnd> ends;  // in incidence order; a loop edge gives its start, then its end
    std::size_t degree() const { return ends.size(); }
};

struct QuantumGraph {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> edge_endpoints;
    std::vector<double> edge_lengths;
    std::vector<Grid1D<double>> edge_grids;
    // Incidence lists in compressed form: the edges meeting vertex v are
    // incidence[incidence_start[v] .. incidence_start[v + 1]), in increasing
    // edge order, a loop edge twice.
    std::vector<std::uint64_t> incidence_start;
    std::vector<std::uint64_t> incidence;
    std::uint64_t n_vertices = 0;
    std::size_t n_edges = 0;

    // Checks, first failure returned: list lengths, at least one edge,
    // n >= 4, lengths finite and positive, vertex count representable.
    static Expected<QuantumGraph> make(std::vector<std::pair<std::uint64_t, std::uint64_t>> edge_endpoints,
                                       std::vector<double> edge_lengths, std::uint64_t edge_n_grid_points);
    static Expected<QuantumGraph> path(std::uint64_t n_edges, double edge_length, std::uint64_t n_grid);
    static Expected<QuantumGraph> star(std::uint64_t n_arms, double edge_length, std::uint64_t n_grid);
    // Flat triplets [va, vb, length, ...]; the length is a multiple of 3
    // (checked by the caller). Indices are truncated toward zero, negative
    // and NaN giving 0, values beyond the index range the largest index.
    static Expected<QuantumGraph> from_triplets(std::span<const double> edges, std::uint64_t n_grid);

    std::size_t n_per_edge() const { return edge_grids.front().n; }
    std::size_t degree(std::uint64_t v) const {
        return static_cast<std::size_t>(incidence_start[v + 1] - incidence_start[v]);
    }
    std::span<const std::uint64_t> incident_edges(std::uint64_t v) const {
        return {incidence.data() + incidence_start[v], degree(v)};
    }
    // Sum of the lengths in edge order.
    double total_arc_length() const;
    // The projection of vertex v ("vertex_index must be < graph.n_vertices").
    Expected<VertexProjection> vertex_projection(std::uint64_t v) const;
};

}  // namespace quorvane
