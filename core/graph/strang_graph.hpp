// Graph heat by a palindromic Strang split of the edges: the edges, numbered
// in row order, go to A (even numbers) and B (odd numbers), and one step is
// T_A(tau/2) T_B(tau) T_A(tau/2) with T_X(s) = I - s L_X + (s^2/2) L_X^2 on
// the unit-weight sub-graph Laplacians. Each factor is second order and the
// composition is symmetric, so a step has local error O(tau^3): order 2.
#pragma once

#include <cstdint>
#include <span>

#include "core/foundation/error.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/graph/graph.hpp"
#include "core/graph/graph_signal.hpp"
#include "core/line/strang.hpp"

namespace quorvane {

struct StrangSplitGraph {
    StrangSplit<GraphHeatChernoff<double>, GraphHeatChernoff<double>> split;
    bool commuting = true;

    // n >= 2 nodes. The sub-graphs are built with the duplicate scans of
    // Graph::from_edges, which answer a stop request (poll_stop).
    static Expected<StrangSplitGraph> new_bipartite_path(const Graph<double>& g);
    // n >= 4 nodes, n even.
    static Expected<StrangSplitGraph> new_bipartite_cycle(const Graph<double>& g);

    int order() const { return commuting && split.diffusion.second_order && split.drift.second_order ? 2 : 1; }
    const Laplacian<double>& laplacian_a() const { return *split.diffusion.laplacian; }
    const Laplacian<double>& laplacian_b() const { return *split.drift.laplacian; }

    Status apply_into(std::span<const double> src, std::span<double> dst, ScratchPool<double>& pool,
                      double tau) const;
};

}  // namespace quorvane
