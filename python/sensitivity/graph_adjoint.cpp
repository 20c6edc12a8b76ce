// Python classes GraphAdjoint and GraphAdjointPresampled: the costate of graph
// heat under a time-dependent Laplacian (optionally with node coefficients),
// swept backwards through the transposed fourth-order Magnus steps. The first
// calls its callables during every sweep, the second samples them once.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/foundation/numeric.hpp"
#include "core/graph/magnus_graph.hpp"
#include "core/sensitivity/graph_adjoint_presampled.hpp"
#include "core/sensitivity/magnus_graph_adjoint.hpp"
#include "python/array.hpp"
#include "python/callback.hpp"
#include "python/coeff.hpp"
#include "python/evolver.hpp"
#include "python/graph/graph_args.hpp"
#include "python/graph/graph_callbacks.hpp"
#include "python/step_counts.hpp"

namespace quorvane::py {

struct GraphAdjointObj {
    bool varcoef = false;
    bool convergence_check = true;
    double rho_bar = 1.0;
    Ref lap_at_t;
    SharedGraph graph;
    Ref a;  // null when not given

    // The callables may refer back to the object.
    int visit_refs(visitproc visit, void* arg) const { return visit_held(visit, arg, lap_at_t, a); }
    void clear_refs() { clear_held(lap_at_t, a); }
    static ClassDef& class_def();
};

struct GraphAdjointPresampledObj {
    SharedGraph graph;
    PresampledGraphAdjoint core;
    static ClassDef& class_def();
};

namespace {

constexpr char kMagnusKernel[] = "magnus_graph";
constexpr char kVarCoefKernel[] = "varcoef_magnus_graph";

#define QUORVANE_ADJOINT_CALLBACK_DOC                                                                 \
    "lap_at_t : callable\n"                                                                           \
    "    lap_at_t(t) -> Laplacian, Graph or GraphPath: the operator at time t (a Graph stands\n"        \
    "    for its combinatorial Laplacian D - W), with the graph's node count.\n"                       \
    "rho_bar : float\n"                                                                               \
    "    A bound of the spectral radius of L(t) over the horizon, finite and > 0; steps with\n"       \
    "    tau * rho_bar >= pi/2 are refused when convergence_check is set.\n"                          \
    "a : callable, optional\n"                                                                        \
    "    a(t) -> float64 array or sequence of n_nodes positive values; required by\n"                 \
    "    kernel=\"varcoef_magnus_graph\" (generator -A^1/2 L A^1/2, A = diag(a)), never called\n"     \
    "    by \"magnus_graph\".\n"                                                                        \
    "kernel : str, optional\n    \"magnus_graph\" (default) or \"varcoef_magnus_graph\".\n"

constexpr char kAdjointDoc[] =
    "GraphAdjoint(graph=None, laplacian=None, *, lap_at_t, rho_bar, a=None, kernel=\"magnus_graph\", "
    "convergence_check=True)\n--\n\n"
    "State adjoint of graph heat du/dt = -L(t) u discretised by fourth-order Magnus steps.\n\n"
    "Given a terminal costate lambda_n, evolve_state_adjoint returns lambda_0 = S_1^T ... S_n^T\n"
    "lambda_n, S_k the Magnus step over [(k-1) tau, k tau]: the exact transpose of the discrete\n"
    "forward map, so <lambda_0, u_0> = <lambda_n, u_n>. The callables are called during every\n"
    "sweep (twice per step each, latest step first), with the interpreter lock re-taken for\n"
    "each call; an exception one raises ends the sweep and is raised unchanged.\n\n"
    "Parameters\n----------\n"
    "graph : Graph or GraphPath, optional\n    The topology; fixes n_nodes.\n"
    "laplacian : Laplacian, optional\n"
    "    Used, when graph is not given, for its node count.\n" QUORVANE_ADJOINT_CALLBACK_DOC
    "convergence_check : bool, optional\n"
    "    Refuse tau * rho_bar >= pi/2 (default True; \"magnus_graph\" only: the variable-\n"
    "    coefficient kernel always refuses tau * rho_bar^3 >= pi/2). A sample of L(t) whose\n"
    "    spectral_bound would fail that test leaves it resting on rho_bar, which is then refused\n"
    "    (kind OutOfDomain) where a Rayleigh quotient q of the sample shows tau * q >= pi/2.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = quorvane.Graph.path(6)\n"
    ">>> lap = lambda t: quorvane.Laplacian.combinatorial(g)\n"
    ">>> adj = quorvane.GraphAdjoint(graph=g, lap_at_t=lap, rho_bar=4.0)\n"
    ">>> lam0 = adj.evolve_state_adjoint(np.eye(6)[5], 1.0, n_steps=16)\n"
    ">>> fwd = quorvane.MagnusGraphHeat(graph=g, lap_at_t=lap, rho_bar_max=4.0).evolve(1.0, 16, np.eye(6)[0])\n"
    ">>> print(bool(abs(lam0[0] - fwd[5]) < 1e-12))           # <lambda_0, u_0> = <lambda_n, u_n>\n"
    "True\n";
constexpr char kAdjointEvolveDoc[] =
    "evolve_state_adjoint($self, lambda_n, t, n_steps=100)\n--\n\n"
    "lambda_0 from the terminal costate lambda_n (n_nodes values) over the horizon t in\n"
    "n_steps steps of tau = t/n_steps. Returns a new float64 array.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    OutOfDomain for t or n_steps out of range or a refused Magnus radius, GridMismatch for\n"
    "    a lambda_n or a callback result of the wrong size, OutOfDomain for a callback result of\n"
    "    the wrong type or a(t) not positive.\n"
    QUORVANE_BEYOND_RANGE_DOC;
constexpr char kAdjointNNodesDoc[] = "n_nodes($self)\n--\n\nNumber of nodes of the graph.\n";

constexpr char kPresampledDoc[] =
    "State adjoint of graph heat by fourth-order Magnus steps over operator samples taken once.\n\n"
    "from_presampled calls lap_at_t (and a) at the 2 n_steps Gauss times of the horizon and stores\n"
    "the values on the sparsity pattern of the time-0 Laplacian; every sweep then runs without\n"
    "the interpreter lock and without calling Python, and equals GraphAdjoint's sweep bit for\n"
    "bit.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = quorvane.Graph.path(6)\n"
    ">>> lap = lambda t: quorvane.Laplacian.combinatorial(g)\n"
    ">>> pre = quorvane.GraphAdjointPresampled.from_presampled(g, lap, 4.0, 16, 1.0)\n"
    ">>> live = quorvane.GraphAdjoint(graph=g, lap_at_t=lap, rho_bar=4.0)\n"
    ">>> lam = np.eye(6)[5]\n"
    ">>> print(np.array_equal(pre.evolve_state_adjoint(lam), live.evolve_state_adjoint(lam, 1.0, n_steps=16)))\n"
    "True\n";
constexpr char kFromPresampledDoc[] =
    "from_presampled($cls, graph, lap_at_t, rho_bar, n_steps, t_horizon, a=None, kernel=\"magnus_graph\", "
    "convergence_check=True)\n--\n\n"
    "Sample lap_at_t at time 0 (the pattern) and at the 2 n_steps Gauss times of [0, t_horizon],\n"
    "latest step first, then a at the same times for \"varcoef_magnus_graph\". An exception a\n"
    "callable raises is raised unchanged; the callables are not kept. The arguments, kernel and\n"
    "a= included, are checked before lap_at_t is called.\n\n"
    "Every sample must store its entries on the time-0 pattern (the same row pointers and\n"
    "column indices, in the same order): one that does not is refused with kind GridMismatch\n"
    "naming its time. An n_steps whose samples cannot fit in this machine's memory is refused\n"
    "(kind OutOfDomain, naming n_steps and the bytes) before they are taken, and before\n"
    "lap_at_t is called at all when the times alone cannot.\n\n"
    "Parameters\n----------\n"
    "graph : Graph or GraphPath\n    The topology; fixes n_nodes.\n" QUORVANE_ADJOINT_CALLBACK_DOC
    "n_steps : int\n    Number of Magnus steps, >= 1.\n"
    "t_horizon : float\n    The horizon, finite and >= 0.\n"
    "convergence_check : bool, optional\n    Refuse tau * rho_bar >= pi/2 (\"magnus_graph\"; default True).\n";
constexpr char kPresampledEvolveDoc[] =
    "evolve_state_adjoint($self, lambda_n, n_steps=None)\n--\n\n"
    "lambda_0 from the terminal costate lambda_n (n_nodes values). n_steps, when given, must\n"
    "equal the construction n_steps. Returns a new float64 array.\n\n"
    "Raises\n------\nQuorvaneError\n"
    QUORVANE_BEYOND_RANGE_DOC;
constexpr char kPresampledBatchedDoc[] =
    "evolve_state_adjoint_batched($self, lambda_cols, n_steps=None)\n--\n\n"
    "lambda_0 of every column of the [N, C] array lambda_cols, each equal to\n"
    "evolve_state_adjoint of that column (the same radius test included). Returns a new\n"
    "[N, C] float64 array.\n";
constexpr char kPresampledNNodesDoc[] = "n_nodes($self)\n--\n\nNumber of nodes of the graph.\n";
constexpr char kPresampledNStepsDoc[] = "n_steps($self)\n--\n\nThe construction n_steps.\n";

void check_rho_bar(double rho_bar) {
    if (!(std::isfinite(rho_bar) && rho_bar > 0.0)) py_err_with_kind("OutOfDomain", "rho_bar must be finite and > 0");
}

// --- GraphAdjoint ---------------------------------------------------------------

GraphAdjointObj adjoint_new(const Args& a) {
    PyObject* laplacian = a.get(1);
    if (laplacian) downcast_arg<LaplacianObj>(laplacian, "laplacian");
    const double rho_bar = a.f64(3);
    const std::string kernel = a.raw(5) ? a.str(5) : std::string(kMagnusKernel);
    const bool check = a.raw(6) ? a.flag(6) : true;
    check_rho_bar(rho_bar);
    SharedGraph graph = graph_from_graph_or_laplacian(a.get(0), laplacian);
    PyObject* coef = a.get(4);
    bool varcoef = false;
    if (kernel == kVarCoefKernel) {
        if (!coef) py_err_with_kind("OutOfDomain", "varcoef_magnus_graph requires a= callback");
        varcoef = true;
    } else if (kernel != kMagnusKernel) {
        py_err_with_kind("OutOfDomain", "unknown kernel '" + kernel + "'; expected magnus_graph|varcoef_magnus_graph");
    }
    GraphAdjointObj obj;
    obj.varcoef = varcoef;
    obj.convergence_check = varcoef ? false : check;
    obj.rho_bar = rho_bar;
    obj.lap_at_t = Ref::borrowed(a.raw(2));
    obj.graph = std::move(graph);
    if (coef) obj.a = Ref::borrowed(coef);
    return obj;
}

Ref adjoint_evolve(const GraphAdjointObj& self, const Args& a) {
    const double t = a.f64(1);
    const bool steps_given = a.raw(2) != nullptr;
    const std::uint32_t n_steps = steps_given ? a.u32(2) : 100;
    if (!finite_nonneg(t)) py_err_with_kind("OutOfDomain", "t_final must be finite and >= 0");
    if (n_steps == 0) py_err_with_kind("OutOfDomain", "n_steps must be >= 1");
    std::vector<double> lambda = extract_f0_vec(a.raw(0));
    const std::uint64_t n = self.graph->n_nodes;
    check_f0_len(lambda.size(), n);
    const double tau = t / static_cast<double>(n_steps);
    CallbackErrors errors;
    LaplacianProvider lap = lap_at_t_adaptor(held(self.lap_at_t, "lap_at_t"), n, errors);
    // With the radius test on, rho_bar is tested on the samples whose own
    // bound would not pass it: refused where a sample's Rayleigh quotient puts
    // the step past the radius (a bound below the spectrum whose steps stay
    // within it gives the same sweep as a valid one).
    if (!self.varcoef && self.convergence_check) {
        lap = checking_bound(std::move(lap), {"GraphAdjoint", "rho_bar", self.rho_bar, 1.0, tau, true}, errors);
    }
    CoefficientProvider coef;
    if (self.varcoef) coef = varcoef_a_at_t_adaptor(held(self.a, "a"), n, errors, "a");
    // The sweep is linear in lambda: run at its unit scale (run_linear),
    // once, since the samples call Python.
    const std::vector<double> out = evolve_linear_with_callbacks(
        errors, "GraphAdjoint", lambda, [&](std::vector<double> v) -> Expected<std::vector<double>> {
            if (self.varcoef) {
                // Both bounds are rho_bar, so the step's radius test reads
                // tau * rho_bar^3 < pi/2, and it is always on.
                auto step = VarCoefMagnusGraphHeatChernoff::make(n, std::move(lap), std::move(coef), self.rho_bar,
                                                                 self.rho_bar);
                if (!step) return fail(step.error());
                return varcoef_magnus_graph_adjoint_sweep(*step, std::move(v), n_steps, tau);
            }
            auto step =
                MagnusGraphHeatChernoff::make(self.graph, std::move(lap), self.convergence_check, self.rho_bar);
            if (!step) return fail(step.error());
            return magnus_graph_adjoint_sweep(*step, std::move(v), n_steps, tau);
        });
    return new_array_f64(out);
}

Ref adjoint_n_nodes(const GraphAdjointObj& self, const Args&) { return py_int(self.graph->n_nodes); }

// --- GraphAdjointPresampled -------------------------------------------------------

// The samples of n_steps steps with nnz Laplacian entries and n_coef
// coefficients each, when they cannot fit in this machine's memory.
void refuse_store_beyond_memory(std::uint32_t n_steps, std::uint64_t nnz, std::uint64_t n_coef) {
    refuse_beyond_memory("n_steps", n_steps, "the presampled store", presampled_store_bytes(n_steps, nnz, n_coef));
}

Ref presampled_from(PyObject*, const Args& a) {
    const double rho_bar = a.f64(2);
    const std::uint32_t n_steps = a.u32(3);
    const double t_horizon = a.f64(4);
    PyObject* coef = a.get(5);
    const std::string kernel = a.raw(6) ? a.str(6) : std::string(kMagnusKernel);
    const bool check = a.raw(7) ? a.flag(7) : true;
    check_rho_bar(rho_bar);
    if (n_steps == 0) py_err_with_kind("OutOfDomain", "n_steps must be >= 1");
    if (!finite_nonneg(t_horizon)) py_err_with_kind("OutOfDomain", "t_final must be finite and >= 0");
    SharedGraph graph = graph_from_graph_or_laplacian(a.raw(0), nullptr);
    // The kernel is settled before anything is sampled: a refusal after
    // 2 n_steps + 1 calls of lap_at_t would have built the store for nothing.
    const bool varcoef = kernel == kVarCoefKernel;
    if (varcoef && !coef) py_err_with_kind("OutOfDomain", "varcoef_magnus_graph requires a= callback");
    if (!varcoef && kernel != kMagnusKernel) py_err_with_kind("OutOfDomain", "unknown kernel '" + kernel + "'");
    const std::uint64_t n = graph->n_nodes;
    const double tau = t_horizon / static_cast<double>(n_steps);
    // Coefficients are stored only for the variable-coefficient kernel. The
    // times and coefficients alone may be beyond reach, whatever lap_at_t
    // returns: refused before it is called.
    const std::uint64_t n_coef = varcoef ? n : 0;
    refuse_store_beyond_memory(n_steps, 0, n_coef);
    // The callables run here, on the calling thread with the lock held.
    CallbackErrors errors;
    LaplacianProvider lap = lap_at_t_adaptor(a.raw(1), n, errors);
    PresampledLaplacians store = unwrap(run_with_callbacks(errors, [&] { return presample_pattern(lap, n_steps); }));
    // The time-0 pattern fixes the store's size: refused before the samples.
    refuse_store_beyond_memory(n_steps, store.nnz(), n_coef);
    const std::vector<double> times = presample_times(n_steps, tau);
    if (Status st = run_with_callbacks(errors, [&] { return presample_values(store, lap, times); }); !st) {
        const CoreError& e = st.error();
        const bool other_pattern =
            e.variant() == CoreError::Variant::DomainViolation && std::string_view(e.text()) == kPresampledPatternMessage;
        if (other_pattern) {
            py_err_with_kind("GridMismatch", "lap_at_t(t) at t = " + exact_time(e.f0()) +
                                                 " has another sparsity pattern than lap_at_t(0.0), on which every "
                                                 "sample is stored");
        }
        raise_core_error(e);
    }
    Expected<PresampledGraphAdjoint> core = [&]() -> Expected<PresampledGraphAdjoint> {
        if (!varcoef) return PresampledGraphAdjoint::magnus(std::move(store), tau, rho_bar, check);
        CoefficientProvider a_at_t = varcoef_a_at_t_adaptor(coef, n, errors, "a");
        std::vector<double> a_seq =
            unwrap(run_with_callbacks(errors, [&] { return presample_coefficients(a_at_t, times, n); }));
        return PresampledGraphAdjoint::varcoef(std::move(store), std::move(a_seq), tau);
    }();
    return new_object(GraphAdjointPresampledObj{std::move(graph), unwrap(std::move(core))});
}

// n_steps of an evolve method: None or omitted, or the construction value.
void check_presampled_steps(const GraphAdjointPresampledObj& self, std::optional<std::uint32_t> given) {
    if (given && *given != self.core.n_steps()) {
        py_err_with_kind("OutOfDomain", "n_steps=" + std::to_string(*given) +
                                            " != construction n_steps=" + std::to_string(self.core.n_steps()));
    }
}

std::optional<std::uint32_t> optional_steps(const Args& a, std::size_t i) {
    if (!a.get(i)) return std::nullopt;
    return a.u32(i);
}

Ref presampled_evolve(const GraphAdjointPresampledObj& self, const Args& a) {
    const std::optional<std::uint32_t> given = optional_steps(a, 1);
    std::vector<double> lambda = extract_f0_vec(a.raw(0));
    check_f0_len(lambda.size(), self.graph->n_nodes);
    check_presampled_steps(self, given);
    return new_array_f64(evolve_linear("GraphAdjointPresampled", lambda, [&](std::vector<double> v) {
        return self.core.evolve_state_adjoint(std::move(v));
    }));
}

Ref presampled_evolve_batched(const GraphAdjointPresampledObj& self, const Args& a) {
    const Array2D arr = extract_f64_array_2d(a.raw(0), "lambda_cols");
    const std::optional<std::uint32_t> given = optional_steps(a, 1);
    const std::uint64_t n = self.graph->n_nodes;
    const std::size_t c = check_f0_columns(*arr.buf, n);
    check_presampled_steps(self, given);
    const std::vector<double> cols = features_nc_to_cols(*arr.buf, static_cast<std::size_t>(n), c);
    const std::vector<double> out = evolve_linear(
        "GraphAdjointPresampled",
        cols, [&](std::vector<double> v) { return self.core.evolve_state_adjoint_batched(v, c); },
        static_cast<std::size_t>(n));
    return cols_to_features_nc(out, static_cast<std::size_t>(n), c);
}

Ref presampled_n_nodes(const GraphAdjointPresampledObj& self, const Args&) { return py_int(self.graph->n_nodes); }
Ref presampled_n_steps(const GraphAdjointPresampledObj& self, const Args&) { return py_int(self.core.n_steps()); }

}  // namespace

ClassDef& GraphAdjointObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<GraphAdjointObj>("GraphAdjoint", kAdjointDoc);
        d.tp_new = constructor<GraphAdjointObj, kAdjointDoc, &adjoint_new>();
        d.methods = {
            method<GraphAdjointObj, kAdjointEvolveDoc, &adjoint_evolve>(),
            method<GraphAdjointObj, kAdjointNNodesDoc, &adjoint_n_nodes>(),
        };
        return d;
    }();
    return def;
}

ClassDef& GraphAdjointPresampledObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<GraphAdjointPresampledObj>("GraphAdjointPresampled", kPresampledDoc);
        d.methods = {
            method<GraphAdjointPresampledObj, kFromPresampledDoc, &presampled_from>(),
            method<GraphAdjointPresampledObj, kPresampledEvolveDoc, &presampled_evolve>(),
            method<GraphAdjointPresampledObj, kPresampledNNodesDoc, &presampled_n_nodes>(),
            method<GraphAdjointPresampledObj, kPresampledNStepsDoc, &presampled_n_steps>(),
            method<GraphAdjointPresampledObj, kPresampledBatchedDoc, &presampled_evolve_batched>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* graph_adjoint_type_object() { return type_object<GraphAdjointObj>(); }
PyTypeObject* graph_adjoint_presampled_type_object() { return type_object<GraphAdjointPresampledObj>(); }

}  // namespace quorvane::py
