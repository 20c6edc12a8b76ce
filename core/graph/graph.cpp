#include "core/graph/graph.hpp"

#include <algorithm>
#include <cmath>

#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

template <class F>
Graph<F> Graph<F>::from_adjacency(std::uint64_t n_nodes, AdjacencyLists<F> lists) {
    std::size_t nnz = 0;
    for (auto& list : lists) {
        if (list.size() >= 2) {
            std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        }
        nnz += list.size();
    }
    Graph g;
    g.n_nodes = n_nodes;
    g.row_ptr.reserve(lists.size() + 1);
    g.col_idx.reserve(nnz);
    g.weights.reserve(nnz);
    g.row_ptr.push_back(0);
    for (const auto& list : lists) {
        for (const auto& [j, w] : list) {
            g.col_idx.push_back(j);
            g.weights.push_back(w);
        }
        g.row_ptr.push_back(g.col_idx.size());
    }
    return g;
}

template <class F>
Graph<F> Graph<F>::path(std::uint64_t n_nodes) {
    AdjacencyLists<F> lists(n_nodes);
    for (std::uint64_t i = 0; i + 1 < n_nodes; ++i) {
        lists[i].emplace_back(static_cast<std::uint32_t>(i + 1), F(1));
        lists[i + 1].emplace_back(static_cast<std::uint32_t>(i), F(1));
    }
    return from_adjacency(n_nodes, std::move(lists));
}

template <class F>
Graph<F> Graph<F>::cycle(std::uint64_t n_nodes) {
    AdjacencyLists<F> lists(n_nodes);
    for (std::uint64_t i = 0; i + 1 < n_nodes; ++i) {
        lists[i].emplace_back(static_cast<std::uint32_t>(i + 1), F(1));
        lists[i + 1].emplace_back(static_cast<std::uint32_t>(i), F(1));
    }
    lists[n_nodes - 1].emplace_back(0u, F(1));
    lists[0].emplace_back(static_cast<std::uint32_t>(n_nodes - 1), F(1));
    return from_adjacency(n_nodes, std::move(lists));
}

template <class F>
Graph<F> Graph<F>::edgeless(std::uint64_t n_nodes) {
    return from_adjacency(n_nodes, AdjacencyLists<F>(n_nodes));
}

namespace {

// The duplicate scans make a build O(M * max degree): a star of 10^5 leaves
// scans 5 * 10^9 entries. A stop request is looked at every ~2^20 scanned
// entries.
PollBudget scan_budget() { return PollBudget(std::uint64_t{1} << 20); }

// The checks of one edge and its insertion into both lists; the scan is
// spent from `budget`.
template <class F>
Status add_checked_edge(AdjacencyLists<F>& lists, std::uint64_t n_nodes, std::uint32_t u, std::uint32_t v, F w,
                        PollBudget& budget) {
    if (u == v) return domain_error("Graph::from_edges: self-loop not allowed", u);
    if (u >= n_nodes || v >= n_nodes) return domain_error("Graph::from_edges: node index >= n_nodes", std::max(u, v));
    if (!std::isfinite(w) || !(w > F(0))) {
        return domain_error("Graph::from_edges: weight must be finite and positive", static_cast<double>(w));
    }
    for (const auto& entry : lists[u]) {
        if (entry.first == v) return domain_error("Graph::from_edges: duplicate edge", u);
    }
    lists[u].emplace_back(v, w);
    lists[v].emplace_back(u, w);
    return budget.spend(lists[u].size());
}

}  // namespace

template <class F>
Expected<Graph<F>> Graph<F>::from_edges(std::uint64_t n_nodes, std::span<const Edge<F>> edges) {
    AdjacencyLists<F> lists(n_nodes);
    PollBudget budget = scan_budget();
    for (const Edge<F>& e : edges) {
        if (Status st = add_checked_edge(lists, n_nodes, e.u, e.v, e.w, budget); !st) return fail(st.error());
    }
    return from_adjacency(n_nodes, std::move(lists));
}

template struct Graph<double>;
template struct Graph<float>;

Expected<Graph<double>> graph_from_edge_values(std::uint64_t n_nodes, std::span<const double> triples) {
    AdjacencyLists<double> lists(n_nodes);
    PollBudget budget = scan_budget();
    auto node = [](double x) -> Expected<std::uint32_t> {
        // Truncation toward zero keeps fractions (1.9 is node 1, -0.5 node 0);
        // NaN and values <= -1 have no node and are refused.
        if (std::isnan(x) || x <= -1.0) return domain_error("Graph::from_edges: node index must be a number > -1", x);
        return saturating_cast<std::uint32_t>(x);
    };
    for (std::size_t k = 0; k + 3 <= triples.size(); k += 3) {
        auto u = node(triples[k]);
        if (!u) return fail(u.error());
        auto v = node(triples[k + 1]);
        if (!v) return fail(v.error());
        if (Status st = add_checked_edge(lists, n_nodes, *u, *v, triples[k + 2], budget); !st) return fail(st.error());
    }
    return Graph<double>::from_adjacency(n_nodes, std::move(lists));
}

std::optional<std::size_t> graph_build_bytes(std::uint64_t n_nodes, std::uint64_t nnz) {
    constexpr std::size_t per_node = sizeof(AdjacencyLists<double>::value_type) + sizeof(std::uint64_t);
    constexpr std::size_t per_entry =
        sizeof(AdjacencyLists<double>::value_type::value_type) + sizeof(std::uint32_t) + sizeof(double);
    std::size_t nodes = 0, entries = 0, bytes = 0;
    if (__builtin_mul_overflow(n_nodes, per_node, &nodes) || __builtin_mul_overflow(nnz, per_entry, &entries) ||
        __builtin_add_overflow(nodes, entries, &bytes) || __builtin_add_overflow(bytes, sizeof(std::uint64_t), &bytes)) {
        return std::nullopt;
    }
    return bytes;
}

Expected<Graph<double>> erdos_renyi(std::uint64_t n_nodes, double p, std::uint64_t seed) {
    // A stop request is looked at every 2^20 draws (a few milliseconds), across
    // rows: short rows would make a poll per row cost more than their draws.
    // The first chunk is empty: the budget polls before any draw.
    PollBudget budget(std::uint64_t{1} << 20);
    AdjacencyLists<double> lists(n_nodes);
    std::uint64_t state = seed;
    for (std::uint64_t i = 0; i < n_nodes; ++i) {
        for (std::uint64_t j = i + 1; j < n_nodes;) {
            const std::uint64_t draws = std::min(n_nodes - j, budget.left());
            for (const std::uint64_t end = j + draws; j < end; ++j) {
                const double u = static_cast<double>(splitmix64_next(state) >> 11) * 0x1.0p-53;
                if (u < p) {
                    lists[i].emplace_back(static_cast<std::uint32_t>(j), 1.0);
                    lists[j].emplace_back(static_cast<std::uint32_t>(i), 1.0);
                }
            }
            if (Status st = budget.spend(draws); !st) return fail(st.error());
        }
    }
    return Graph<double>::from_adjacency(n_nodes, std::move(lists));
}

std::vector<Edge<float>> graph_edges_f32(const Graph<double>& g) {
    std::vector<Edge<float>> edges;
    for (std::uint64_t i = 0; i < g.n_nodes; ++i) {
        for (std::uint64_t k = g.row_ptr[i]; k < g.row_ptr[i + 1]; ++k) {
            if (i < g.col_idx[k]) {
                edges.push_back({static_cast<std::uint32_t>(i), g.col_idx[k], narrow_to_float(g.weights[k])});
            }
        }
    }
    return edges;
}

Expected<Graph<float>> graph_to_f32(const Graph<double>& g) {
    const std::vector<Edge<float>> edges = graph_edges_f32(g);
    return Graph<float>::from_edges(g.n_nodes, edges);
}

}  // namespace quorvane
