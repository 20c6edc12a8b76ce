#include "core/graph/strang_graph.hpp"

#include <memory>
#include <utility>
#include <vector>

#include "core/foundation/numeric.hpp"

namespace quorvane {

namespace {

Expected<StrangSplitGraph> parity_split(const Graph<double>& g) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> a;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> b;
    std::size_t number = 0;
    for (std::uint64_t i = 0; i < g.n_nodes; ++i) {
        for (std::uint64_t k = g.row_ptr[i]; k < g.row_ptr[i + 1]; ++k) {
            if (i < g.col_idx[k]) {
                (number % 2 == 0 ? a : b).emplace_back(static_cast<std::uint32_t>(i), g.col_idx[k]);
                ++number;
            }
        }
    }
    auto la = split_laplacian(g.n_nodes, a);
    if (!la) return fail(la.error());
    auto lb = split_laplacian(g.n_nodes, b);
    if (!lb) return fail(lb.error());
    return StrangSplitGraph{{GraphHeatChernoff<double>{std::make_shared<const Laplacian<double>>(std::move(*la)), true},
                             GraphHeatChernoff<double>{std::make_shared<const Laplacian<double>>(std::move(*lb)), true}},
                            true};
}

}  // namespace

Expected<StrangSplitGraph> StrangSplitGraph::new_bipartite_path(const Graph<double>& g) {
    if (g.n_nodes < 2) {
        return domain_error("StrangSplitGraph::new_bipartite_path: n_nodes >= 2 required", static_cast<double>(g.n_nodes));
    }
    return parity_split(g);
}

Expected<StrangSplitGraph> StrangSplitGraph::new_bipartite_cycle(const Graph<double>& g) {
    if (g.n_nodes < 4) {
        return domain_error("StrangSplitGraph::new_bipartite_cycle: n_nodes >= 4 required", static_cast<double>(g.n_nodes));
    }
    if (g.n_nodes % 2 != 0) {
        return domain_error("StrangSplitGraph::new_bipartite_cycle: n_nodes must be even (odd cycles not bipartite)",
                            static_cast<double>(g.n_nodes));
    }
    return parity_split(g);
}

Status StrangSplitGraph::apply_into(std::span<const double> src, std::span<double> dst, ScratchPool<double>& pool,
                                    double tau) const {
    if (!finite_nonneg(tau)) return domain_error("StrangSplitGraph: tau must be finite and >= 0", tau);
    return split.apply_into(src, dst, pool, tau);
}

}  // namespace quorvane
