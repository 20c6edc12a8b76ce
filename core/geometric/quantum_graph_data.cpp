#include "core/geometric/quantum_graph_data.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quorvane {
namespace {

// Truncation toward zero into the index range: negative and NaN give 0,
// anything at or beyond 2^64 the largest index.
std::uint64_t to_vertex_index(double x) {
    if (!(x > 0.0)) return 0;
    if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(x);
}

}  // namespace

Expected<QuantumGraph> QuantumGraph::make(std::vector<std::pair<std::uint64_t, std::uint64_t>> edge_endpoints,
                                          std::vector<double> edge_lengths, std::uint64_t edge_n_grid_points) {
    if (edge_endpoints.size() != edge_lengths.size()) {
        return domain_error("edge_endpoints.len() must equal edge_lengths.len()",
                            static_cast<double>(edge_endpoints.size()));
    }
    if (edge_endpoints.empty()) return domain_error("graph must have at least 1 edge", 0.0);
    if (edge_n_grid_points < 4) {
        return domain_error("edge_n_grid_points must be >= 4 (Catmull-Rom stencil)",
                            static_cast<double>(edge_n_grid_points));
    }
    for (std::size_t e = 0; e < edge_lengths.size(); ++e) {
        if (!(std::isfinite(edge_lengths[e]) && edge_lengths[e] > 0.0)) {
            return domain_error("all edge lengths must be finite and positive", static_cast<double>(e));
        }
    }
    std::uint64_t largest = 0;
    for (const auto& [va, vb] : edge_endpoints) largest = std::max({largest, va, vb});
    if (largest >= kMaxGraphVertices) return domain_error("vertex index must be < 16777216", static_cast<double>(largest));

    QuantumGraph g;
    g.n_vertices = largest + 1;
    g.n_edges = edge_endpoints.size();
    g.edge_grids.reserve(g.n_edges);
    // The lengths and n passed the checks above, so of Grid1D::make only the
    // spacing guard could refuse here. The graph never steps its grids: the
    // heat operator applies that guard to the grids it steps, after its own
    // test of the joined length.
    for (double len : edge_lengths) {
        g.edge_grids.push_back(Grid1D<double>{BoundaryPolicy<double>::reflect(), InterpKind{}, 0.0, len,
                                              static_cast<std::size_t>(edge_n_grid_points)});
    }
    // Counting sort by vertex: edge e is appended at va, then at vb, so each
    // list is in increasing edge order and a loop edge stands twice in a row.
    g.incidence_start.assign(static_cast<std::size_t>(g.n_vertices) + 1, 0);
    for (const auto& [va, vb] : edge_endpoints) {
        ++g.incidence_start[va + 1];
        ++g.incidence_start[vb + 1];
    }
    for (std::size_t v = 0; v < g.n_vertices; ++v) g.incidence_start[v + 1] += g.incidence_start[v];
    g.incidence.resize(2 * g.n_edges);
    std::vector<std::uint64_t> fill(g.incidence_start.begin(), g.incidence_start.end() - 1);
    for (std::size_t e = 0; e < g.n_edges; ++e) {
        g.incidence[fill[edge_endpoints[e].first]++] = e;
        g.incidence[fill[edge_endpoints[e].second]++] = e;
    }
    g.edge_endpoints = std::move(edge_endpoints);
    g.edge_lengths = std::move(edge_lengths);
    return g;
}

Expected<QuantumGraph> QuantumGraph::path(std::uint64_t n_edges, double edge_length, std::uint64_t n_grid) {
    if (n_edges == 0) return domain_error("path graph requires n_edges >= 1", 0.0);
    if (n_edges >= kMaxGraphVertices) return domain_error("vertex index must be < 16777216", static_cast<double>(n_edges));
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ends(n_edges);
    for (std::uint64_t i = 0; i < n_edges; ++i) ends[i] = {i, i + 1};
    return make(std::move(ends), std::vector<double>(n_edges, edge_length), n_grid);
}

Expected<QuantumGraph> QuantumGraph::star(std::uint64_t n_arms, double edge_length, std::uint64_t n_grid) {
    if (n_arms == 0) return domain_error("star graph requires n_arms >= 1", 0.0);
    if (n_arms >= kMaxGraphVertices) return domain_error("vertex index must be < 16777216", static_cast<double>(n_arms));
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ends(n_arms);
    for (std::uint64_t k = 1; k <= n_arms; ++k) ends[k - 1] = {0, k};
    return make(std::move(ends), std::vector<double>(n_arms, edge_length), n_grid);
}

Expected<QuantumGraph> QuantumGraph::from_triplets(std::span<const double> edges, std::uint64_t n_grid) {
    const std::size_t m = edges.size() / 3;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ends(m);
    std::vector<double> lengths(m);
    for (std::size_t k = 0; k < m; ++k) {
        ends[k] = {to_vertex_index(edges[3 * k]), to_vertex_index(edges[3 * k + 1])};
        lengths[k] = edges[3 * k + 2];
    }
    return make(std::move(ends), std::move(lengths), n_grid);
}

double QuantumGraph::total_arc_length() const {
    double s = -0.0;
    for (double l : edge_lengths) s += l;
    return s;
}

Expected<VertexProjection> QuantumGraph::vertex_projection(std::uint64_t v) const {
    if (v >= n_vertices) return domain_error("vertex_index must be < graph.n_vertices", static_cast<double>(v));
    VertexProjection p;
    p.vertex = v;
    const auto list = incident_edges(v);
    p.ends.reserve(list.size());
    for (std::size_t k = 0; k < list.size(); ++k) {
        const std::size_t e = static_cast<std::size_t>(list[k]);
        const auto [va, vb] = edge_endpoints[e];
        // A loop edge stands twice in a row: its first entry is its start,
        // the second its end, so both end nodes take part in the mean.
        const bool second_of_loop = va == vb && k > 0 && list[k - 1] == e && p.ends.back().at_start;
        const double h = edge_lengths[e] / static_cast<double>(edge_grids[e].n - 1);
        p.ends.push_back({e, va == v && !second_of_loop, h});
    }
    return p;
}

}  // namespace quorvane
