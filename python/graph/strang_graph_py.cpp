// Python class StrangGraph: graph heat by the Strang split of the edges by
// position parity.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/graph/graph_signal.hpp"
#include "core/graph/strang_graph.hpp"
#include "python/coeff.hpp"
#include "python/graph/graph_args.hpp"

namespace quorvane::py {

struct StrangGraphObj {
    std::uint64_t n_nodes = 0;
    SharedGraph graph;
    StrangSplitGraph split;

    std::string repr() const {
        return "StrangGraph(n_nodes=" + std::to_string(n_nodes) + ", order=" + std::to_string(split.order()) + ")";
    }
    static ClassDef& class_def();
};

namespace {

constexpr char kStrangGraphDoc[] =
    "Graph heat by a Strang split of the edges.\n\n"
    "The edges, numbered in row order, are split by parity into A and B; one step is\n"
    "T_A(tau/2) T_B(tau) T_A(tau/2) with the second-order steps T_X(s) = I - s L_X +\n"
    "(s^2/2) L_X^2 of the unit-weight sub-graph Laplacians, so the scheme is of order 2.\n"
    "Built by ``from_path(graph)`` or ``from_cycle(graph)``; edge weights are not read.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = quorvane.Graph.path(6)\n"
    ">>> s = quorvane.StrangGraph.from_path(g)\n"
    ">>> f = s.evolve(1.0, 50, np.eye(6)[0])\n"
    ">>> print(s.order(), s.n_nodes, round(float(f.sum()), 12))\n"
    "2 6 1.0\n";
constexpr char kFromPathDoc[] =
    "from_path(graph)\n--\n\nThe split of a graph of at least 2 nodes (meant for a path).\n";
constexpr char kFromCycleDoc[] =
    "from_cycle(graph)\n--\n\nThe split of a graph of an even number (>= 4) of nodes (meant for a cycle).\n";
constexpr char kEvolveDoc[] =
    "evolve($self, t_final, n_steps, f0)\n--\n\n"
    "Evolve the node signal f0 over t_final in n_steps Strang steps; returns a new float64\n"
    "array. Steps with (tau/2) rho_A > 2 or tau rho_B > 2 (rho_X the sub-Laplacian bounds)\n"
    "are refused (kind CflViolated), naming the least admissible n_steps, or, where none up\n"
    "    to 2^32 - 1 is, the longest t_final one call serves.\n";
constexpr char kOrderDoc[] = "order($self)\n--\n\nThe order of the scheme, 2.\n";

Ref strang_make(const Args& a, Expected<StrangSplitGraph> (*factory)(const Graph<double>&)) {
    const SharedGraph graph = with_shared_arg<GraphObj>(a.raw(0), "graph", [](const GraphObj& o) { return o.graph; });
    // The sub-graph builds scan each row for duplicates, O(M * max degree)
    // on a graph with hubs: Ctrl-C is answered between the scans.
    StrangSplitGraph split = unwrap(run_with_lock_held([&] { return factory(*graph); }));
    return new_object(StrangGraphObj{graph->n_nodes, graph, std::move(split)});
}

Ref strang_from_path(const Args& a) { return strang_make(a, &StrangSplitGraph::new_bipartite_path); }
Ref strang_from_cycle(const Args& a) { return strang_make(a, &StrangSplitGraph::new_bipartite_cycle); }

Ref strang_evolve(const StrangGraphObj& self, const Args& a) {
    const double t_final = a.f64(0);
    const std::uint32_t n_steps = a.u32(1);
    check_t_final_and_steps(t_final, n_steps);
    std::vector<double> f0 = extract_f0_vec(a.raw(2));
    if (f0.size() != self.n_nodes) {
        py_err_with_kind("GridMismatch",
                         "f0 length " + std::to_string(f0.size()) + ", expected " + std::to_string(self.n_nodes));
    }
    check_finite_input(f0, "f0");
    // The outer factors take half steps: (tau/2) rho_A <= 2 and tau rho_B <= 2.
    const double rho = std::max(0.5 * self.split.laplacian_a().spectral_bound, self.split.laplacian_b().spectral_bound);
    refuse_unstable_steps("StrangGraph", t_final, n_steps, rho, kTaylor2StabilityLimit,
                          "rho = max(spectral_bound(L_A)/2, spectral_bound(L_B))", kU32Counts);
    const double tau = t_final / static_cast<double>(n_steps);
    auto r = run_evolve([&] { return evolve_steps<double>(self.split, std::move(f0), n_steps, tau); });
    return new_array_f64(unwrap(std::move(r)));
}

Ref strang_order(const StrangGraphObj& self, const Args&) { return py_int(static_cast<std::uint64_t>(self.split.order())); }
Ref strang_n_nodes(const StrangGraphObj& self) { return py_int(self.n_nodes); }

}  // namespace

ClassDef& StrangGraphObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<StrangGraphObj>("StrangGraph", kStrangGraphDoc);
        d.methods = {
            method<StrangGraphObj, kFromPathDoc, &strang_from_path>(),
            method<StrangGraphObj, kFromCycleDoc, &strang_from_cycle>(),
            method<StrangGraphObj, kEvolveDoc, &strang_evolve>(),
            method<StrangGraphObj, kOrderDoc, &strang_order>(),
        };
        d.getters = {getter<StrangGraphObj, &strang_n_nodes>("n_nodes", "Number of nodes.")};
        return d;
    }();
    return def;
}

PyTypeObject* strang_graph_type_object() { return type_object<StrangGraphObj>(); }

}  // namespace quorvane::py
