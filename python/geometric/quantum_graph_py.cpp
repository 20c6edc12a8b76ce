// Python classes QuantumGraph (a read-only metric graph made by its
// factories) and QuantumGraphHeat (Kirchhoff heat on it).
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/geometric/quantum_graph.hpp"
#include "python/array.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"
#include "python/step_counts.hpp"

namespace quorvane::py {
namespace {

struct QuantumGraphObj {
    std::shared_ptr<const QuantumGraph> graph;

    std::string repr() const {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.4f", graph->total_arc_length());
        return "QuantumGraph(n_vertices=" + std::to_string(graph->n_vertices) +
               ", n_edges=" + std::to_string(graph->n_edges) + ", total_arc_length=" + buf + ")";
    }
    static ClassDef& class_def();
};

constexpr char kGraphDoc[] =
    "Metric graph: edges with lengths, each sampled on its own uniform grid.\n\n"
    "Made by the static factories ``path``, ``star`` and ``from_edges``; read-only afterwards.\n"
    "Edge e runs from its start vertex va (grid node 0) to its end vertex vb (node n - 1);\n"
    "n_vertices is 1 + the largest vertex index named (indices no edge names are vertices of\n"
    "degree 0), and at most 16777216. Reading total_arc_length raises QuorvaneError\n"
    "\"[NanInf] total_arc_length: the sum of the {n} edge lengths exceeds the double range\n"
    "(longest edge {l})\" where the lengths, each finite, sum beyond it (near 1e308).\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> qg = quorvane.QuantumGraph.star(3, edge_length=1.0, n_grid=11)\n"
    ">>> print(qg.n_vertices, qg.n_edges, qg.total_arc_length)\n"
    "4 3 3.0\n";

constexpr char kPathDoc[] =
    "path(n_edges, edge_length=1.0, n_grid=32)\n--\n\n"
    "Return the path 0 - 1 - ... - n_edges: edge i = (i, i + 1), all of length edge_length.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] path graph requires n_edges >= 1\", \"[OutOfDomain] all edge lengths must\n"
    "    be finite and positive\", \"[GridMismatch] edge_n_grid_points must be >= 4 (Catmull-Rom stencil)\".\n";

constexpr char kStarDoc[] =
    "star(n_arms, edge_length=1.0, n_grid=32)\n--\n\n"
    "Return the star with hub 0: edge k - 1 = (0, k) for k = 1 ... n_arms, all of length edge_length.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] star graph requires n_arms >= 1\", and the length and grid errors of ``path``.\n";

constexpr char kFromEdgesDoc[] =
    "from_edges(edges, n_grid=32)\n--\n\n"
    "Return the graph of the flat triplets [va, vb, length, ...].\n\n"
    "Vertex indices are truncated toward zero (negative and NaN give 0); self-loops and repeated\n"
    "edges are accepted.\n\n"
    "Raises\n------\n"
    "TypeError\n    \"edges must be a float64 array of triplets [va, vb, length, ...]\".\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] edges array length must be divisible by 3\", \"[OutOfDomain] graph must\n"
    "    have at least 1 edge\", \"[OutOfDomain] vertex index must be < 16777216\", and the length\n"
    "    and grid errors of ``path``.\n";

Ref graph_object(Expected<QuantumGraph> g) {
    return new_object(QuantumGraphObj{std::make_shared<const QuantumGraph>(unwrap(std::move(g)))});
}

Ref graph_path(const Args& a) {
    const std::uint64_t n_edges = a.u64(0);
    const double length = a.f64_or(1, 1.0);
    const std::uint64_t n_grid = a.u64_or(2, 32);
    return graph_object(QuantumGraph::path(n_edges, length, n_grid));
}

Ref graph_star(const Args& a) {
    const std::uint64_t n_arms = a.u64(0);
    const double length = a.f64_or(1, 1.0);
    const std::uint64_t n_grid = a.u64_or(2, 32);
    return graph_object(QuantumGraph::star(n_arms, length, n_grid));
}

Ref graph_from_edges(const Args& a) {
    auto edges = try_float_vector(a.raw(0));
    if (!edges) raise_type_error("edges must be a float64 array of triplets [va, vb, length, ...]");
    const std::uint64_t n_grid = a.u64_or(1, 32);
    if (edges->size() % 3 != 0) py_err_with_kind("OutOfDomain", "edges array length must be divisible by 3");
    return graph_object(QuantumGraph::from_triplets(*edges, n_grid));
}

Ref graph_n_vertices(const QuantumGraphObj& self) { return py_int(self.graph->n_vertices); }
Ref graph_n_edges(const QuantumGraphObj& self) { return py_int(self.graph->n_edges); }
Ref graph_total_length(const QuantumGraphObj& self) {
    const double total = self.graph->total_arc_length();
    // Every length is finite; only their sum can leave the double range.
    if (!std::isfinite(total)) {
        double longest = 0.0;
        for (double l : self.graph->edge_lengths) longest = std::fmax(longest, l);
        py_err_with_kind("NanInf", "total_arc_length: the sum of the " + std::to_string(self.graph->n_edges) +
                                       " edge lengths exceeds the double range (longest edge " + fmt_exp3(longest) +
                                       ")");
    }
    return py_float(total);
}

ClassDef& QuantumGraphObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<QuantumGraphObj>("QuantumGraph", kGraphDoc);
        d.methods = {
            method<QuantumGraphObj, kPathDoc, &graph_path>(),
            method<QuantumGraphObj, kStarDoc, &graph_star>(),
            method<QuantumGraphObj, kFromEdgesDoc, &graph_from_edges>(),
        };
        d.getters = {
            getter<QuantumGraphObj, &graph_n_vertices>("n_vertices", "Number of vertices in the metric graph."),
            getter<QuantumGraphObj, &graph_n_edges>("n_edges", "Number of edges in the metric graph."),
            getter<QuantumGraphObj, &graph_total_length>("total_arc_length",
                                                          "Sum of all edge lengths (total arc-length)."),
        };
        return d;
    }();
    return def;
}

// ---------------------------------------------------------------------------

struct QuantumGraphHeatObj {
    QuantumGraphHeatChernoff op;
    std::vector<double> values;  // edge e at e*n .. e*n + n - 1
    std::shared_ptr<const QuantumGraph> graph;

    std::size_t len() const { return values.size(); }
    std::string repr() const {
        return "QuantumGraphHeat(n_edges=" + std::to_string(op.graph.n_edges) +
               ", n_per_edge=" + std::to_string(op.n_per_edge) + ")";
    }
    static ClassDef& class_def();
};

constexpr char kHeatDoc[] =
    "QuantumGraphHeat(qgraph)\n--\n\n"
    "Heat du/dt = (1/2) u'' on every edge of a metric graph with Kirchhoff vertices.\n\n"
    "Continuity at every vertex and inward derivatives summing to zero; free (degree-1) ends\n"
    "reflect. One step applies the shift kernel u(x) -> u(x +- sqrt(2 tau))/4 + u(x)/2 on the\n"
    "edges and then sets the end values meeting at each vertex to their mean weighted by the end\n"
    "nodes' spacings (length / (n_grid - 1)). Steps keep the trapezoidal mass of the graph to\n"
    "rounding: sum_e h_e (u_e0/2 + u_e1 + ... + u_e,n-2 + u_e,n-1/2), which counts a vertex\n"
    "once, with the half cells of all its edges, when its end values agree.\n\n"
    "A graph whose edges run end to end in list order as one open chain of equal edges is stepped\n"
    "as a single interval (two half steps). Where values set on such a chain differ at an interior\n"
    "vertex, the interval takes the later edge's start value there: the first step drops the\n"
    "earlier edge's end value and its half cell of the mass (the other graphs take the mean, which\n"
    "keeps it). Any other graph steps its edges apart and couples them only at the vertices,\n"
    "which is consistent only on the scale tau ~ h^2 (h the smallest edge spacing): steps above\n"
    "h^2 are refused where edges meet, and steps far below it lose accuracy too; tau near h^2 / 2\n"
    "is best. Values are laid out edge after edge, n_grid each.\n\n"
    "Parameters\n----------\n"
    "qgraph : QuantumGraph\n    The graph; the state starts at 0.0 everywhere.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n    Kind OutOfDomain when the state would hold more than 2^25 values (n_edges * n_grid).\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> qg = quorvane.QuantumGraph.star(3, edge_length=1.0, n_grid=11)\n"
    ">>> h = quorvane.QuantumGraphHeat(qg)\n"
    ">>> u0 = np.zeros(33)\n"
    ">>> u0[:11] = 1.0                          # heat on the first arm (nodes of edge e at e*11 ... e*11 + 10)\n"
    ">>> h.set_state(u0)\n"
    ">>> h.evolve(0.1, n_steps=20)              # tau = h^2 / 2\n"
    ">>> print(bool(h.values()[11:].max() > 0))\n"
    "True\n";

constexpr char kHeatEvolveDoc[] =
    "evolve($self, t, n_steps=100)\n--\n\n"
    "Advance the state by time t in n_steps steps of t / n_steps.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\"; kind\n"
    "    CflViolated when edges stepped apart meet at a vertex and t / n_steps > h^2 (the message\n"
    "    names the smallest n_steps that fits, or, where none up to 2^64 - 1 does, the longest t\n"
    "    one call serves); kind NanInf when the result lies beyond the double range, naming the\n"
    "    max|u0| of the same values that stays within it (the steps are linear: values of every\n"
    "    size whose result is a double are served);\n"
    QUORVANE_FAR_READS_COUNT_DOC
    "    A failed call leaves the values unchanged.\n";

constexpr char kHeatSetDoc[] =
    "set_state($self, u0)\n--\n\n"
    "Replace all values by u0 (n_edges * n_per_edge floats, edge after edge).\n\n"
    "Raises\n------\n"
    "TypeError\n    \"u0 must be a float64 array\".\n"
    "QuorvaneError\n    \"[GridMismatch] u0 length {}, expected {}\", \"[NanInf] u0 contains NaN or Inf\".\n";

constexpr char kHeatValuesDoc[] =
    "values($self)\n--\n\n"
    "Return a copy of the values, edge after edge, as a new float64 array.\n";

QuantumGraphHeatObj heat_new(const Args& a) {
    return with_shared_arg<QuantumGraphObj>(a.raw(0), a.name(0), [](const QuantumGraphObj& g) {
        const std::optional<std::uint64_t> count = graph_heat_value_count(*g.graph);
        if (!count || *count > kMaxGraphHeatValues) {
            py_err_with_kind("OutOfDomain", "QuantumGraphHeat: the state needs n_edges*n_grid = " +
                                                (count ? std::to_string(*count) : std::string("more than 2^64")) +
                                                " values, above the cap of " + std::to_string(kMaxGraphHeatValues));
        }
        QuantumGraphHeatChernoff op = unwrap(QuantumGraphHeatChernoff::make(*g.graph));
        std::vector<double> values(op.n_per_edge * op.graph.n_edges, 0.0);
        return QuantumGraphHeatObj{std::move(op), std::move(values), g.graph};
    });
}

Ref heat_evolve(QuantumGraphHeatObj& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 100);
    check_steps_and_time(n_steps, t);
    const double tau = t / static_cast<double>(n_steps);
    if (!self.op.admits_step(tau)) {
        const double h = self.op.min_spacing();
        const double h2 = h * h;
        const StepCounts counts =
            admitted_counts(t, kU64Counts, [&](double step) { return self.op.admits_step(step); });
        py_err_with_kind("CflViolated", "QuantumGraphHeat: tau = " + fmt_exp3(tau) + " > h^2 = " + fmt_exp3(h2) +
                                            " (h the smallest edge spacing): edges stepped apart couple only "
                                            "through their end nodes; " +
                                            count_advice(counts, "n_steps", kU64Counts, {"t", t}, false));
    }
    // Steps within h^2 read within a few cells: only longer ones, on graphs
    // whose edges are never stepped apart, can read too far out.
    refuse_reads_beyond_grid("QuantumGraphHeat", {StepCall::Form::Count, t, tau},
                             "h = " + fmt_exp3(self.op.min_spacing()),
                             [&](double step) { return self.op.admits_step(step) && self.op.reads_located(step); });
    const QuantumGraphHeatChernoff op = self.op;
    const std::vector<double> u0 = self.values;
    BeyondRange beyond;
    auto r = run_evolve([&] {
        return run_linear(u0, beyond,
                          [&](std::vector<double> values) { return op.evolve(std::move(values), t, n_steps); });
    });
    refuse_beyond("QuantumGraphHeat", u0, beyond);
    self.values = unwrap(std::move(r));
    return none();
}

Ref heat_set_state(QuantumGraphHeatObj& self, const Args& a) {
    auto u0 = try_float_vector(a.raw(0));
    if (!u0) raise_type_error("u0 must be a float64 array");
    if (u0->size() != self.values.size()) {
        py_err_with_kind("GridMismatch",
                         "u0 length " + std::to_string(u0->size()) + ", expected " + std::to_string(self.values.size()));
    }
    if (first_non_finite<double>(*u0)) py_err_with_kind("NanInf", "u0 contains NaN or Inf");
    self.values = std::move(*u0);
    return none();
}

Ref heat_values(const QuantumGraphHeatObj& self, const Args&) { return new_array_f64(self.values); }

ClassDef& QuantumGraphHeatObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<QuantumGraphHeatObj>("QuantumGraphHeat", kHeatDoc);
        d.tp_new = constructor<QuantumGraphHeatObj, kHeatDoc, &heat_new>();
        d.methods = {
            method<QuantumGraphHeatObj, kHeatSetDoc, &heat_set_state>(),
            method<QuantumGraphHeatObj, kHeatEvolveDoc, &heat_evolve>(),
            method<QuantumGraphHeatObj, kHeatValuesDoc, &heat_values>(),
        };
        return d;
    }();
    return def;
}

}  // namespace

PyTypeObject* quantum_graph_type_object() { return type_object<QuantumGraphObj>(); }
PyTypeObject* quantum_graph_heat_type_object() { return type_object<QuantumGraphHeatObj>(); }

}  // namespace quorvane::py
