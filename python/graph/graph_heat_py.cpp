// Python classes GraphHeat, GraphHeat4th and GraphHeat6: static graph heat by
// truncated-Taylor steps of orders 1, 4 and 6, one signal or many columns.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "core/foundation/numeric.hpp"
#include "core/graph/graph_signal.hpp"
#include "python/coeff.hpp"
#include "python/graph/graph_args.hpp"

namespace quorvane::py {

struct GraphHeatObj {
    SharedGraph graph;
    SharedLaplacian laplacian;
    // Given as laplacian= (the single-precision road then rounds its entries)
    // rather than built from a graph.
    bool from_laplacian = false;
    Dtype dtype = Dtype::F64;
    double rho_bar = 0.0;
    SharedLowerBoundMemo lower = std::make_shared<LowerBoundMemo>();
    static ClassDef& class_def();
};

// The fields of GraphHeat4th and GraphHeat6.
struct GraphHeatHoFields {
    SharedLaplacian laplacian;
    SharedGraph graph;
    std::uint64_t n_nodes = 0;
    double rho_bar = 0.0;
    SharedLowerBoundMemo lower = std::make_shared<LowerBoundMemo>();
};
struct GraphHeat4thObj : GraphHeatHoFields {
    static ClassDef& class_def();
};
struct GraphHeat6Obj : GraphHeatHoFields {
    static ClassDef& class_def();
};

namespace {

double checked_rho_bar(double rho_bar) {
    if (!std::isfinite(rho_bar) || !(rho_bar > 0.0)) py_err_with_kind("OutOfDomain", "rho_bar must be finite and > 0");
    return rho_bar;
}

// --- GraphHeat -----------------------------------------------------------------

#define QUORVANE_TRUSTED_RHO_BAR_DOC                                                         \
    "Steps that only rho_bar admits are taken on its word once Lanczos steps find no Ritz\n"   \
    "value of L above it; otherwise rho_bar is refused (kind OutOfDomain). A result whose\n"  \
    "2-norm grew over the steps, which heat never does, is refused (kind CflViolated).\n"    \
    "Not checked: a rho_bar within about 1e-4 (relative) below lambda_max, where the top\n"   \
    "eigenvalues cluster (paths of 1000 nodes and more, large grids), lies below the 64\n"     \
    "Lanczos steps' reach and passes; steps at the limit then grow the top mode a little each\n" \
    "(GraphHeat: about 1 + 2 delta, delta the relative shortfall), unseen by the norm check\n"  \
    "while the norm as a whole does not grow. Keep tau * rho_bar a little inside the limit.\n\n"

// The backstop of the 64-bit road (unit kUnit64) or of the single-precision
// one (kUnit32).
GrowthGuard heat_guard(const char* cls, int products, double unit, double rho_bar, const Laplacian<double>& lap) {
    return GrowthGuard{cls, products, unit, "a positive semi-definite L", rho_bar_cause(rho_bar, lap.spectral_bound)};
}

constexpr char kGraphHeatDoc[] =
    "GraphHeat(graph=None, laplacian=None, *, rho_bar, dtype=\"f64\")\n--\n\n"
    "Graph heat equation du/dt = -L u by first-order Chernoff steps f - tau L f.\n\n"
    "The error is first order in the step tau = t_final/n_steps. A step is stable while\n"
    "tau * rho <= 2 with rho = min(rho_bar, L.spectral_bound); longer steps are refused.\n"
    QUORVANE_TRUSTED_RHO_BAR_DOC
    "Parameters\n----------\n"
    "graph : GraphPath, Graph or Laplacian, optional\n    The graph (its combinatorial Laplacian is used).\n"
    "laplacian : Laplacian, optional\n    The operator; takes precedence over graph.\n"
    "rho_bar : float\n    A bound of L's spectral radius, finite and > 0.\n"
    "dtype : str, optional\n    \"f64\" (default) or \"f32\" (single-precision evolve).\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = quorvane.Graph.path(8)\n"
    ">>> h = quorvane.GraphHeat(graph=g, rho_bar=4.0)\n"
    ">>> f = h.evolve(1.0, 200, np.eye(8)[0])\n"
    ">>> print(round(float(f.sum()), 12), bool(f[0] > f[1] > f[7] > 0))\n"
    "1.0 True\n";
constexpr char kGhEvolveDoc[] =
    "evolve($self, t_final, n_steps, f0)\n--\n\n"
    "Evolve the node signal f0 over t_final in n_steps steps; returns a new array (float32\n"
    "with dtype=\"f32\").\n\n"
    "Raises\n------\nQuorvaneError\n"
    "    \"[OutOfDomain] t_final must be finite and >= 0\", \"[OutOfDomain] n_steps must be >= 1\",\n"
    "    kind GridMismatch when len(f0) is not the node count (the message gives both),\n"
    "    \"[NanInf]\" for non-finite f0,\n"
    "    \"[CflViolated]\" for steps beyond the stability limit (naming the least n_steps, or,\n"
    "    where none up to 2^32 - 1 is admitted, the longest t_final one call serves),\n"
    "    or when the result's 2-norm grew over the steps.\n";
constexpr char kGhBatchedDoc[] =
    "evolve_batched($self, t_final, n_steps, f0)\n--\n\n"
    "Evolve every column of the [N, C] array f0; column c equals evolve(t_final, n_steps,\n"
    "f0[:, c]). Columns are spread over the worker threads.\n";

GraphHeatObj graph_heat_new(const Args& a) {
    const double rho_bar_arg = a.f64(2);
    const std::string dtype_text = a.str_or(3, "f64");
    const double rho_bar = checked_rho_bar(rho_bar_arg);
    const Dtype dtype = parse_dtype(dtype_text);
    GraphHeatObj obj;
    obj.dtype = dtype;
    obj.rho_bar = rho_bar;
    // laplacian= wins; an argument that is not a Laplacian object is read as
    // a graph argument.
    PyObject* source = a.get(1) ? a.get(1) : a.get(0);
    if (!source) py_err_with_kind("OutOfDomain", "GraphHeat requires graph= or laplacian=");
    std::tie(obj.graph, obj.laplacian) = graph_and_laplacian_from_object(source);
    obj.from_laplacian = is_instance<LaplacianObj>(source);
    refuse_empty_laplacian(*obj.laplacian);
    return obj;
}

// The single-precision road fails in this order: the 32-bit operator, then
// t rounded to 32 bits, then the step size (on the 64-bit operator).
Ref graph_heat_evolve_f32(const GraphHeatObj& self, double t_final, std::uint64_t n_steps, std::vector<double> f0) {
    auto lap32 = unwrap(without_gil([&]() -> Expected<Laplacian<float>> {
        if (self.from_laplacian) return laplacian_to_f32(*self.laplacian);
        auto g32 = graph_to_f32(*self.graph);
        if (!g32) return fail(g32.error());
        return Laplacian<float>::from_graph(*g32, LaplacianKind::Combinatorial);
    }));
    const float t32 = narrow_to_float(t_final);
    if (!std::isfinite(t32)) raise_core_error(CoreError::domain("t must be finite and >= 0", t32));
    refuse_unstable_steps_trusting("GraphHeat", t_final, n_steps, self.rho_bar, *self.laplacian, *self.lower,
                                   kTaylor1StabilityLimit, kU32Counts);
    const GraphHeatChernoff<float> kernel{std::make_shared<const Laplacian<float>>(std::move(lap32)), false};
    std::vector<double> rounded(f0.size());
    for (std::size_t i = 0; i < f0.size(); ++i) rounded[i] = narrow_to_float(f0[i]);
    const double log_allowance = t_final * self.lower->growth_rate(*self.laplacian);
    const std::vector<double> wide =
        evolve_guarded(heat_guard("GraphHeat", 1, kUnit32, self.rho_bar, *self.laplacian), rounded, n_steps,
                       log_allowance, [&]() -> Expected<std::vector<double>> {
                           const float tau32 = t32 / static_cast<float>(n_steps);
                           std::vector<float> u(rounded.begin(), rounded.end());
                           auto out = evolve_steps<float>(kernel, std::move(u), n_steps, tau32);
                           if (!out) return fail(out.error());
                           return std::vector<double>(out->begin(), out->end());
                       });
    const std::vector<float> narrow(wide.begin(), wide.end());
    return new_array_f32(narrow);
}

Ref graph_heat_evolve(const GraphHeatObj& self, const Args& a) {
    const double t_final = a.f64(0);
    const std::uint32_t n_steps = a.u32(1);
    check_t_final_and_steps(t_final, n_steps);
    std::vector<double> f0 = extract_f0_vec(a.raw(2));
    check_f0_len(f0.size(), self.graph->n_nodes);
    check_finite_input(f0, "f0");
    if (self.dtype == Dtype::F32) return graph_heat_evolve_f32(self, t_final, n_steps, std::move(f0));
    refuse_unstable_steps_trusting("GraphHeat", t_final, n_steps, self.rho_bar, *self.laplacian, *self.lower,
                                   kTaylor1StabilityLimit, kU32Counts);
    const GraphHeatChernoff<double> kernel{self.laplacian, false};
    const double tau = t_final / static_cast<double>(n_steps);
    const double log_allowance = t_final * self.lower->growth_rate(*self.laplacian);
    return new_array_f64(evolve_signal_linear(
        heat_guard("GraphHeat", 1, kUnit64, self.rho_bar, *self.laplacian), f0, n_steps, log_allowance,
        [&](const std::vector<double>& v) { return evolve_steps<double>(kernel, v, n_steps, tau); }));
}

Ref graph_heat_evolve_batched(const GraphHeatObj& self, const Args& a) {
    const double t_final = a.f64(0);
    const std::uint32_t n_steps = a.u32(1);
    const Buffer f0 = extract_f64_array(a.raw(2), "f0");
    if (self.dtype == Dtype::F32) {
        py_err_with_kind("OutOfDomain", "evolve_batched requires dtype=\"f64\"; use evolve() per channel for f32");
    }
    check_t_final_and_steps(t_final, n_steps);
    const Columns cols = columns_from_f0(f0, self.graph->n_nodes, "f0");
    refuse_unstable_steps_trusting("GraphHeat", t_final, n_steps, self.rho_bar, *self.laplacian, *self.lower,
                                   kTaylor1StabilityLimit, kU32Counts);
    const GraphHeatChernoff<double> kernel{self.laplacian, false};
    const double tau = t_final / static_cast<double>(n_steps);
    const GrowthGuard guard = heat_guard("GraphHeat", 1, kUnit64, self.rho_bar, *self.laplacian);
    return evolve_columns_py(
        cols, self.graph->n_nodes, n_steps,
        [&](std::span<const double> s, std::span<double> d, ScratchPool<double>& pool) {
            return kernel.apply_into(s, d, pool, tau);
        },
        guard, t_final * self.lower->growth_rate(*self.laplacian));
}

// --- GraphHeat4th and GraphHeat6 ---------------------------------------------------

constexpr char kGraphHeat4thDoc[] =
    "GraphHeat4th(laplacian=None, graph=None, *, rho_bar)\n--\n\n"
    "Order-4 graph heat equation du/dt = -L u by the truncated Taylor step\n"
    "sum_{k<=4} (-tau L)^k / k! f.\n\n"
    "The error is fourth order in tau = t_final/n_steps. A step is stable while\n"
    "tau * rho <= 2.7852 with rho = min(rho_bar, L.spectral_bound); longer steps are refused.\n"
    QUORVANE_TRUSTED_RHO_BAR_DOC
    "Parameters\n----------\n"
    "laplacian : Laplacian, optional\n    The operator; takes precedence over graph.\n"
    "graph : Graph, optional\n    The graph (its combinatorial Laplacian is used).\n"
    "rho_bar : float\n    A bound of L's spectral radius, finite and > 0.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = quorvane.Graph.cycle(10)\n"
    ">>> h = quorvane.GraphHeat4th(graph=g, rho_bar=4.0)\n"
    ">>> f = h.evolve(1.0, 20, np.eye(10)[0])\n"
    ">>> L = quorvane.Laplacian.combinatorial(g).to_dense()\n"
    ">>> w, V = np.linalg.eigh(L)\n"
    ">>> print(f\"{abs(f - V @ (np.exp(-w) * V[0])).max():.0e}\")\n"
    "4e-07\n";
constexpr char kGraphHeat6Doc[] =
    "GraphHeat6(laplacian=None, graph=None, *, rho_bar)\n--\n\n"
    "Order-6 graph heat equation du/dt = -L u by the truncated Taylor step\n"
    "sum_{k<=6} (-tau L)^k / k! f.\n\n"
    "The error is sixth order in tau = t_final/n_steps. A step is stable while\n"
    "tau * rho <= 3.5534 with rho = min(rho_bar, L.spectral_bound); longer steps are refused.\n"
    QUORVANE_TRUSTED_RHO_BAR_DOC
    "Parameters\n----------\n"
    "laplacian : Laplacian, optional\n    The operator; takes precedence over graph.\n"
    "graph : Graph, optional\n    The graph (its combinatorial Laplacian is used).\n"
    "rho_bar : float\n    A bound of L's spectral radius, finite and > 0.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = quorvane.Graph.path(8)\n"
    ">>> h = quorvane.GraphHeat6(graph=g, rho_bar=4.0)\n"
    ">>> f = h.evolve(1.0, 10, np.eye(8)[0])\n"
    ">>> print(h.n_nodes, round(float(f.sum()), 12))\n"
    "8 1.0\n";
constexpr char kHoEvolveDoc[] =
    "evolve($self, t_final, n_steps, f0)\n--\n\n"
    "Evolve the node signal f0 over t_final in n_steps steps; returns a new float64 array.\n\n"
    "Raises\n------\nQuorvaneError\n"
    "    \"[OutOfDomain] t_final must be finite and >= 0\", \"[OutOfDomain] n_steps must be >= 1\",\n"
    "    kind GridMismatch when len(f0) is not the node count (the message gives both),\n"
    "    \"[NanInf]\" for non-finite f0,\n"
    "    \"[CflViolated]\" for steps beyond the stability limit (naming the least n_steps, or,\n"
    "    where none up to 2^32 - 1 is admitted, the longest t_final one call serves),\n"
    "    or when the result's 2-norm grew over the steps.\n";
constexpr char kHoBatchedDoc[] =
    "evolve_batched($self, t_final, n_steps, f0)\n--\n\n"
    "Evolve every column of the [N, C] array f0; column c equals evolve(t_final, n_steps,\n"
    "f0[:, c]). Columns are spread over the worker threads.\n";
constexpr char kHoNNodesDoc[] = "Number of nodes the kernel acts on.";

template <class Obj>
struct HoTraits;
template <>
struct HoTraits<GraphHeat4thObj> {
    using Kernel = GraphHeat4thChernoff;
    static constexpr const char* name = "GraphHeat4th";
    static constexpr int products = 4;
    static constexpr double limit = kTaylor4StabilityLimit;
};
template <>
struct HoTraits<GraphHeat6Obj> {
    using Kernel = GraphHeat6thChernoff;
    static constexpr const char* name = "GraphHeat6";
    static constexpr int products = 6;
    static constexpr double limit = kTaylor6StabilityLimit;
};

template <class Obj>
Obj graph_heat_ho_new(const Args& a) {
    PyObject* lap = a.get(0);
    PyObject* graph = a.get(1);
    if (lap) downcast_arg<LaplacianObj>(lap, "laplacian");
    if (graph) downcast_arg<GraphObj>(graph, "graph");
    const double rho_bar = checked_rho_bar(a.f64(2));
    auto [l, g] = resolve_laplacian_or_graph(lap, graph);
    refuse_empty_laplacian(*l);
    const std::uint64_t n = l->n_nodes;
    return Obj{{std::move(l), std::move(g), n, rho_bar}};
}

template <class Obj>
Ref graph_heat_ho_evolve(const Obj& self, const Args& a) {
    const double t_final = a.f64(0);
    const std::uint32_t n_steps = a.u32(1);
    check_t_final_and_steps(t_final, n_steps);
    std::vector<double> f0 = extract_f0_vec(a.raw(2));
    check_f0_len(f0.size(), self.n_nodes);
    check_finite_input(f0, "f0");
    refuse_unstable_steps_trusting(HoTraits<Obj>::name, t_final, n_steps, self.rho_bar, *self.laplacian, *self.lower,
                                   HoTraits<Obj>::limit, kU32Counts);
    const typename HoTraits<Obj>::Kernel kernel{self.laplacian};
    const double tau = t_final / static_cast<double>(n_steps);
    const double log_allowance = t_final * self.lower->growth_rate(*self.laplacian);
    return new_array_f64(evolve_signal_linear(
        heat_guard(HoTraits<Obj>::name, HoTraits<Obj>::products, kUnit64, self.rho_bar, *self.laplacian), f0, n_steps,
        log_allowance, [&](const std::vector<double>& v) { return evolve_steps<double>(kernel, v, n_steps, tau); }));
}

template <class Obj>
Ref graph_heat_ho_evolve_batched(const Obj& self, const Args& a) {
    const double t_final = a.f64(0);
    const std::uint32_t n_steps = a.u32(1);
    // GraphHeat6 takes only two-dimensional arrays; GraphHeat4th reports
    // another dimension count as a shape mismatch.
    std::optional<Buffer> f0;
    if constexpr (std::is_same_v<Obj, GraphHeat6Obj>) f0.emplace(std::move(*extract_f64_array_2d(a.raw(2), "f0").buf));
    else f0.emplace(extract_f64_array(a.raw(2), "f0"));
    check_t_final_and_steps(t_final, n_steps);
    const Columns cols = columns_from_f0(*f0, self.n_nodes, "f0");
    refuse_unstable_steps_trusting(HoTraits<Obj>::name, t_final, n_steps, self.rho_bar, *self.laplacian, *self.lower,
                                   HoTraits<Obj>::limit, kU32Counts);
    const typename HoTraits<Obj>::Kernel kernel{self.laplacian};
    const double tau = t_final / static_cast<double>(n_steps);
    const GrowthGuard guard =
        heat_guard(HoTraits<Obj>::name, HoTraits<Obj>::products, kUnit64, self.rho_bar, *self.laplacian);
    return evolve_columns_py(
        cols, self.graph->n_nodes, n_steps,
        [&](std::span<const double> s, std::span<double> d, ScratchPool<double>& pool) {
            return kernel.apply_into(s, d, pool, tau);
        },
        guard, t_final * self.lower->growth_rate(*self.laplacian));
}

Ref graph_heat6_n_nodes(const GraphHeat6Obj& self) { return py_int(self.n_nodes); }

}  // namespace

ClassDef& GraphHeatObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<GraphHeatObj>("GraphHeat", kGraphHeatDoc);
        d.tp_new = constructor<GraphHeatObj, kGraphHeatDoc, &graph_heat_new>();
        d.methods = {
            method<GraphHeatObj, kGhBatchedDoc, &graph_heat_evolve_batched>(),
            method<GraphHeatObj, kGhEvolveDoc, &graph_heat_evolve>(),
        };
        return d;
    }();
    return def;
}

ClassDef& GraphHeat4thObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<GraphHeat4thObj>("GraphHeat4th", kGraphHeat4thDoc);
        d.tp_new = constructor<GraphHeat4thObj, kGraphHeat4thDoc, &graph_heat_ho_new<GraphHeat4thObj>>();
        d.methods = {
            method<GraphHeat4thObj, kHoEvolveDoc, &graph_heat_ho_evolve<GraphHeat4thObj>>(),
            method<GraphHeat4thObj, kHoBatchedDoc, &graph_heat_ho_evolve_batched<GraphHeat4thObj>>(),
        };
        return d;
    }();
    return def;
}

ClassDef& GraphHeat6Obj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<GraphHeat6Obj>("GraphHeat6", kGraphHeat6Doc);
        d.tp_new = constructor<GraphHeat6Obj, kGraphHeat6Doc, &graph_heat_ho_new<GraphHeat6Obj>>();
        d.methods = {
            method<GraphHeat6Obj, kHoEvolveDoc, &graph_heat_ho_evolve<GraphHeat6Obj>>(),
            method<GraphHeat6Obj, kHoBatchedDoc, &graph_heat_ho_evolve_batched<GraphHeat6Obj>>(),
        };
        d.getters = {getter<GraphHeat6Obj, &graph_heat6_n_nodes>("n_nodes", kHoNNodesDoc)};
        return d;
    }();
    return def;
}

PyTypeObject* graph_heat_type_object() { return type_object<GraphHeatObj>(); }
PyTypeObject* graph_heat4th_type_object() { return type_object<GraphHeat4thObj>(); }
PyTypeObject* graph_heat6_type_object() { return type_object<GraphHeat6Obj>(); }

}  // namespace quorvane::py
