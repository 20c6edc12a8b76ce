// Python class GraphTraj: a fixed-topology graph trajectory over
// [0, t_horizon], one segment whose Laplacian is the graph's combinatorial
// one at every time.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "python/graph/graph_args.hpp"

namespace quorvane::py {

struct GraphTrajObj {
    SharedGraph graph;
    std::uint64_t n_nodes = 0;
    double t_horizon = 1.0;
    std::uint64_t n_segments = 1;

    std::string repr() const {
        // Fixed notation with four decimals, however large the horizon.
        const int len = std::snprintf(nullptr, 0, "%.4f", t_horizon);
        std::string horizon(static_cast<std::size_t>(len), '\0');
        std::snprintf(horizon.data(), horizon.size() + 1, "%.4f", t_horizon);
        return "GraphTraj(n_nodes=" + std::to_string(n_nodes) + ", t_horizon=" + horizon +
               ", n_segments=" + std::to_string(n_segments) + ")";
    }
    static ClassDef& class_def();
};

namespace {

constexpr char kGraphTrajDoc[] =
    "GraphTraj(graph, t_horizon)\n--\n\n"
    "A fixed-topology graph trajectory: one segment [0, t_horizon] whose Laplacian is the\n"
    "combinatorial Laplacian L = D - W of graph at every time.\n\n"
    "Parameters\n----------\n"
    "graph : Graph\n    The topology and weights (shared, not copied).\n"
    "t_horizon : float\n    The horizon, finite and > 0.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> tr = quorvane.GraphTraj(quorvane.Graph.path(4), 2.0)\n"
    ">>> print(tr.n_nodes, tr.t_horizon, tr.n_segments)\n"
    "4 2.0 1\n";

GraphTrajObj graph_traj_new(const Args& a) {
    return with_shared_arg<GraphObj>(a.raw(0), "graph", [&](const GraphObj& g) {
        const double t_horizon = a.f64(1);
        if (!std::isfinite(t_horizon) || !(t_horizon > 0.0)) {
            py_err_with_kind("OutOfDomain", "t_horizon must be finite and > 0");
        }
        return GraphTrajObj{g.graph, g.graph->n_nodes, t_horizon, 1};
    });
}

Ref graph_traj_n_nodes(const GraphTrajObj& self) { return py_int(self.n_nodes); }
Ref graph_traj_t_horizon(const GraphTrajObj& self) { return py_float(self.t_horizon); }
Ref graph_traj_n_segments(const GraphTrajObj& self) { return py_int(self.n_segments); }

}  // namespace

ClassDef& GraphTrajObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<GraphTrajObj>("GraphTraj", kGraphTrajDoc);
        d.tp_new = constructor<GraphTrajObj, kGraphTrajDoc, &graph_traj_new>();
        d.getters = {
            getter<GraphTrajObj, &graph_traj_n_nodes>("n_nodes", "Number of nodes in the trajectory's graph."),
            getter<GraphTrajObj, &graph_traj_t_horizon>("t_horizon", "Total time horizon."),
            getter<GraphTrajObj, &graph_traj_n_segments>("n_segments",
                                                         "Number of segments (always 1 for fixed-topology)."),
        };
        return d;
    }();
    return def;
}

PyTypeObject* graph_traj_type_object() { return type_object<GraphTrajObj>(); }

}  // namespace quorvane::py
