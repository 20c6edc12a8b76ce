// Python classes MagnusGraphHeat and MagnusGraphHeat6: graph heat under a
// time-dependent Laplacian given by a Python callable, by fourth- and
// sixth-order Magnus steps.
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/foundation/numeric.hpp"
#include "core/graph/magnus_graph.hpp"
#include "python/callback.hpp"
#include "python/coeff.hpp"
#include "python/graph/graph_args.hpp"
#include "python/graph/graph_callbacks.hpp"

namespace quorvane::py {

// The fields shared by both classes; the object keeps no evolution state.
struct MagnusFields {
    SharedGraph graph;
    Ref lap_at_t;
    double rho_bar_max = 1.0;
    bool convergence_check = true;

    // lap_at_t may refer back to the object.
    int visit_refs(visitproc visit, void* arg) const { return visit_held(visit, arg, lap_at_t); }
    void clear_refs() { clear_held(lap_at_t); }
};

struct MagnusGraphHeatObj : MagnusFields {
    Dtype dtype = Dtype::F64;
    static ClassDef& class_def();
};

struct MagnusGraphHeat6Obj : MagnusFields {
    static ClassDef& class_def();
};

namespace {

#define QUORVANE_LAP_AT_T_DOC                                                                      \
    "lap_at_t : callable\n"                                                                        \
    "    lap_at_t(t) -> Laplacian, Graph or GraphPath: the operator at the absolute time t (a\n"      \
    "    Graph stands for its combinatorial Laplacian), with the stored graph's node count.\n"     \
    "    Called with the interpreter lock, on the calling thread; an exception it raises ends\n"  \
    "    the call and is raised unchanged.\n"                                                     \
    "rho_bar_max : float\n"                                                                        \
    "    A bound of the spectral radius of L(t) over the run (e.g. the largest\n"                  \
    "    spectral_bound), finite and > 0.\n"                                                       \
    "convergence_check : bool, optional\n"                                                         \
    "    Refuse a step with tau * rho_bar_max >= pi/2, where the Magnus series need not\n"         \
    "    converge (default True). A sample of L(t) whose spectral_bound would fail that test\n"   \
    "    leaves it resting on rho_bar_max, which is then refused (kind OutOfDomain) if a\n"       \
    "    Ritz value of the sample (a few Lanczos steps) exceeds it; a result whose 2-norm\n"    \
    "    grew over the steps is refused (kind CflViolated). A sample whose rows could hold\n"   \
    "    an eigenvalue of 1.01 * rho_bar_max where no probe of the call has looked is probed\n"  \
    "    from a start with weight on every node. Not checked: a rho_bar_max less than that\n"  \
    "    below the top can pass where the top rises away from the last probe's vector, and\n"  \
    "    one within about 1e-5 (relative) below it where the top eigenvalues cluster (long\n"  \
    "    paths, large grids); such steps lie that much past the radius (the Taylor polynomial\n" \
    "    stays stable to 1.77 times it).\n"

constexpr char kMagnusDoc[] =
    "MagnusGraphHeat(graph=None, laplacian=None, *, lap_at_t, rho_bar_max, convergence_check=True, dtype=\"f64\")\n"
    "--\n\n"
    "Graph heat du/dt = -L(t) u with a time-dependent Laplacian on a fixed topology, by\n"
    "fourth-order Magnus steps: L sampled at the two Gauss points of each step, exp(Omega)\n"
    "applied by its degree-4 Taylor polynomial. The error is fourth order in\n"
    "tau = t_final/n_steps.\n\n"
    "Parameters\n----------\n"
    "graph : Graph or GraphPath, optional\n    The topology; fixes the node count.\n"
    "laplacian : Laplacian, optional\n    Used for its node count when graph is not given.\n" QUORVANE_LAP_AT_T_DOC
    "dtype : str, optional\n    \"f64\" (default) or \"f32\" (single-precision evolve).\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = quorvane.Graph.path(6)\n"
    ">>> lap_at_t = lambda t: quorvane.Laplacian.combinatorial(g)     # here L does not change in time\n"
    ">>> m = quorvane.MagnusGraphHeat(graph=g, lap_at_t=lap_at_t, rho_bar_max=4.0)\n"
    ">>> f = m.evolve(0.5, 8, np.eye(6)[0])\n"
    ">>> L = quorvane.Laplacian.combinatorial(g).to_dense()\n"
    ">>> w, V = np.linalg.eigh(L)\n"
    ">>> print(f\"{abs(f - V @ (np.exp(-0.5 * w) * V[0])).max():.0e}\")\n"
    "1e-06\n";
constexpr char kMagnus6Doc[] =
    "MagnusGraphHeat6(graph=None, laplacian=None, *, lap_at_t, rho_bar_max, convergence_check=True)\n--\n\n"
    "Graph heat du/dt = -L(t) u with a time-dependent Laplacian on a fixed topology, by\n"
    "sixth-order Magnus steps: L sampled at the three Gauss points of each step, exp(Omega)\n"
    "applied by its degree-6 Taylor polynomial. The error is sixth order in\n"
    "tau = t_final/n_steps.\n\n"
    "Parameters\n----------\n"
    "graph : Graph, optional\n    The topology; fixes the node count.\n"
    "laplacian : Laplacian, optional\n    Used for its node count when graph is not given.\n" QUORVANE_LAP_AT_T_DOC
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = quorvane.Graph.path(6)\n"
    ">>> lap_at_t = lambda t: quorvane.Laplacian.combinatorial(g)\n"
    ">>> m = quorvane.MagnusGraphHeat6(graph=g, lap_at_t=lap_at_t, rho_bar_max=4.0)\n"
    ">>> f = m.evolve(0.5, 4, np.eye(6)[0])\n"
    ">>> L = quorvane.Laplacian.combinatorial(g).to_dense()\n"
    ">>> w, V = np.linalg.eigh(L)\n"
    ">>> print(f\"{abs(f - V @ (np.exp(-0.5 * w) * V[0])).max():.0e}\")\n"
    "1e-07\n";
#define QUORVANE_MAGNUS_EVOLVE_DOC                                                          \
    "evolve($self, t_final, n_steps, f0)\n--\n\n"                                            \
    "Evolve the node signal f0 from t = 0 to t_final in n_steps steps of tau; step k samples\n" \
    "lap_at_t at k*tau + c*tau for each Gauss point c of the step. "
constexpr char kEvolveDoc[] = QUORVANE_MAGNUS_EVOLVE_DOC "Returns a new array (float32 with\ndtype=\"f32\").\n";
constexpr char kEvolve6Doc[] = QUORVANE_MAGNUS_EVOLVE_DOC "Returns a new float64 array.\n";
constexpr char kBatchedDoc[] =
    "evolve_batched($self, t_final, n_steps, f0)\n--\n\n"
    "Evolve every column of the [N, C] array f0 from t = 0; column c equals\n"
    "evolve(t_final, n_steps, f0[:, c]). lap_at_t is called once per sample time, as by one\n"
    "evolve, and the columns are spread over the worker threads.\n";

double checked_rho_bar(double rho_bar) {
    if (!std::isfinite(rho_bar) || !(rho_bar > 0.0)) py_err_with_kind("OutOfDomain", "rho_bar must be finite and > 0");
    return rho_bar;
}

// A zero-node Laplacian would give a one-node carrier graph that disagrees
// with it about the signal length.
SharedGraph topology(PyObject* graph, PyObject* laplacian) {
    if (!graph && laplacian) {
        with_shared_arg<LaplacianObj>(laplacian, "laplacian",
                                      [](const LaplacianObj& o) { refuse_empty_laplacian(*o.laplacian); });
    }
    return graph_from_graph_or_laplacian(graph, laplacian);
}

MagnusGraphHeatObj magnus_new(const Args& a) {
    PyObject* graph = a.get(0);
    PyObject* laplacian = a.get(1);
    if (laplacian) downcast_arg<LaplacianObj>(laplacian, "laplacian");
    Ref lap_at_t = Ref::borrowed(a.raw(2));
    const double rho_bar_max = a.f64(3);
    const bool check = a.flag_or(4, true);
    const std::string dtype_text = a.str_or(5, "f64");
    checked_rho_bar(rho_bar_max);
    const Dtype dtype = parse_dtype(dtype_text);
    MagnusGraphHeatObj obj;
    obj.graph = topology(graph, laplacian);
    obj.lap_at_t = std::move(lap_at_t);
    obj.rho_bar_max = rho_bar_max;
    obj.convergence_check = check;
    obj.dtype = dtype;
    return obj;
}

MagnusGraphHeat6Obj magnus6_new(const Args& a) {
    PyObject* graph = a.get(0);
    PyObject* laplacian = a.get(1);
    if (graph) downcast_arg<GraphObj>(graph, "graph");
    if (laplacian) downcast_arg<LaplacianObj>(laplacian, "laplacian");
    Ref lap_at_t = Ref::borrowed(a.raw(2));
    const double rho_bar_max = a.f64(3);
    const bool check = a.flag_or(4, true);
    checked_rho_bar(rho_bar_max);
    MagnusGraphHeat6Obj obj;
    obj.graph = topology(graph, laplacian);
    obj.lap_at_t = std::move(lap_at_t);
    obj.rho_bar_max = rho_bar_max;
    obj.convergence_check = check;
    return obj;
}

template <class Obj>
using ChernoffOf =
    std::conditional_t<std::is_same_v<Obj, MagnusGraphHeatObj>, MagnusGraphHeatChernoff, MagnusGraphHeat6thChernoff>;

template <class Obj>
constexpr const char* kClassName = std::is_same_v<Obj, MagnusGraphHeatObj> ? "MagnusGraphHeat" : "MagnusGraphHeat6";

// The call's provider; with the radius test on, rho_bar_max is tested on
// the samples whose own bound would not pass the test, and every sample's
// norm growth rate is kept for the backstop.
template <class Obj, class Provider>
Provider provider_of(const Obj& self, Provider provider, double tau, CallbackErrors& errors,
                     const SharedSampleGrowth& growth) {
    if (!self.convergence_check) return provider;
    provider = recording_growth(std::move(provider), growth);
    return checking_bound(std::move(provider), {kClassName<Obj>, "rho_bar_max", self.rho_bar_max, 1.0, tau}, errors);
}

// Sparse products per step: four applications of the fourth-order exponent
// (four each), six of the sixth-order one (about ten each).
template <class Obj>
constexpr int kProducts = std::is_same_v<Obj, MagnusGraphHeatObj> ? 16 : 64;

// The backstop belongs to the radius test: convergence_check=False lets any
// step through, as documented.
template <class Obj>
GrowthGuard magnus_guard(const Obj& self, double unit) {
    return GrowthGuard{kClassName<Obj>, kProducts<Obj>, unit, "positive semi-definite samples of lap_at_t",
                       ", so rho_bar_max = " + fmt_exp3(self.rho_bar_max) +
                           " does not bound the spectra of the samples; pass a bound of their spectral radius, or "
                           "use more steps"};
}

Ref magnus_evolve_f32(const MagnusGraphHeatObj& self, double t_final, std::uint32_t n_steps,
                      const std::vector<double>& f0) {
    CallbackErrors errors;
    auto growth = std::make_shared<SampleGrowth>();
    const LaplacianProviderF32 provider =
        provider_of(self, lap_at_t_adaptor_f32(held(self.lap_at_t, "lap_at_t"), self.graph->n_nodes, errors),
                    t_final / static_cast<double>(n_steps), errors, growth);
    std::vector<double> rounded(f0.size());
    for (std::size_t i = 0; i < rounded.size(); ++i) rounded[i] = narrow_to_float(f0[i]);
    const GrowthGuard guard = magnus_guard(self, kUnit32);
    std::optional<NormGrowth> grown;
    const std::vector<double> wide = evolve_with_callbacks(errors, [&]() -> Expected<std::vector<double>> {
        auto out = magnus4_evolve_f32(*self.graph, provider, self.convergence_check, self.rho_bar_max, t_final, n_steps,
                                      f0);
        if (!out) return fail(out.error());
        std::vector<double> result(out->begin(), out->end());
        if (self.convergence_check) {
            grown = grown_column(guard, rounded, result, result.size(), n_steps, t_final * growth->rate);
        }
        return result;
    });
    refuse_grown_norm(guard, grown, false);
    const std::vector<float> narrow(wide.begin(), wide.end());
    return new_array_f32(narrow);
}

template <class Obj>
Ref magnus_evolve(const Obj& self, const Args& a) {
    const double t_final = a.f64(0);
    const std::uint32_t n_steps = a.u32(1);
    check_t_final_and_steps(t_final, n_steps);
    const std::vector<double> f0 = extract_f0_vec(a.raw(2));
    check_f0_len(f0.size(), self.graph->n_nodes);
    check_finite_input(f0, "f0");
    if constexpr (std::is_same_v<Obj, MagnusGraphHeatObj>) {
        if (self.dtype == Dtype::F32) return magnus_evolve_f32(self, t_final, n_steps, f0);
    }
    CallbackErrors errors;
    auto growth = std::make_shared<SampleGrowth>();
    LaplacianProvider provider =
        provider_of(self, lap_at_t_adaptor(held(self.lap_at_t, "lap_at_t"), self.graph->n_nodes, errors),
                    t_final / static_cast<double>(n_steps), errors, growth);
    const GrowthGuard guard = magnus_guard(self, kUnit64);
    const std::vector<double> out = evolve_guarded_linear(
        guard, f0, 0, false, &errors,
        [&](std::vector<double> v, std::optional<NormGrowth>& grown) -> Expected<std::vector<double>> {
            auto m = ChernoffOf<Obj>::make(self.graph, std::move(provider), self.convergence_check, self.rho_bar_max);
            if (!m) return fail(m.error());
            auto r = magnus_evolve(*m, v, n_steps, t_final / static_cast<double>(n_steps));
            if (r && self.convergence_check) {
                grown = grown_column(guard, v, *r, v.size(), n_steps, t_final * growth->rate);
            }
            return r;
        });
    return new_array_f64(out);
}

template <class Obj>
Ref magnus_evolve_batched(const Obj& self, const Args& a) {
    const double t_final = a.f64(0);
    const std::uint32_t n_steps = a.u32(1);
    const Buffer f0 = extract_f64_array(a.raw(2), "f0");
    if constexpr (std::is_same_v<Obj, MagnusGraphHeatObj>) {
        if (self.dtype == Dtype::F32) {
            py_err_with_kind("OutOfDomain", "evolve_batched requires dtype=\"f64\"; use evolve() per channel for f32");
        }
    }
    check_t_final_and_steps(t_final, n_steps);
    const std::uint64_t n = self.graph->n_nodes;
    const Columns cols = columns_from_f0(f0, n, "f0");
    CallbackErrors errors;
    auto growth = std::make_shared<SampleGrowth>();
    LaplacianProvider provider = provider_of(self, lap_at_t_adaptor(held(self.lap_at_t, "lap_at_t"), n, errors),
                                             t_final / static_cast<double>(n_steps), errors, growth);
    const GrowthGuard guard = magnus_guard(self, kUnit64);
    const std::vector<double> out = evolve_guarded_linear(
        guard, cols.data, cols.n, true, &errors,
        [&](std::vector<double> v, std::optional<NormGrowth>& grown) -> Expected<std::vector<double>> {
            auto m = ChernoffOf<Obj>::make(self.graph, std::move(provider), self.convergence_check, self.rho_bar_max);
            if (!m) return fail(m.error());
            std::vector<double> dst(v.size(), 0.0);
            const double tau = t_final / static_cast<double>(n_steps);
            if (Status st = magnus_evolve_batched(*m, n, n_steps, tau, v, dst); !st) return fail(st.error());
            if (self.convergence_check) grown = grown_column(guard, v, dst, cols.n, n_steps, t_final * growth->rate);
            return dst;
        });
    return cols_to_features_nc(out, cols.n, cols.c);
}

}  // namespace

ClassDef& MagnusGraphHeatObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<MagnusGraphHeatObj>("MagnusGraphHeat", kMagnusDoc);
        d.tp_new = constructor<MagnusGraphHeatObj, kMagnusDoc, &magnus_new>();
        d.methods = {
            method<MagnusGraphHeatObj, kEvolveDoc, &magnus_evolve<MagnusGraphHeatObj>>(),
            method<MagnusGraphHeatObj, kBatchedDoc, &magnus_evolve_batched<MagnusGraphHeatObj>>(),
        };
        return d;
    }();
    return def;
}

ClassDef& MagnusGraphHeat6Obj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<MagnusGraphHeat6Obj>("MagnusGraphHeat6", kMagnus6Doc);
        d.tp_new = constructor<MagnusGraphHeat6Obj, kMagnus6Doc, &magnus6_new>();
        d.methods = {
            method<MagnusGraphHeat6Obj, kEvolve6Doc, &magnus_evolve<MagnusGraphHeat6Obj>>(),
            method<MagnusGraphHeat6Obj, kBatchedDoc, &magnus_evolve_batched<MagnusGraphHeat6Obj>>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* magnus_graph_heat_type_object() { return type_object<MagnusGraphHeatObj>(); }
PyTypeObject* magnus_graph_heat6_type_object() { return type_object<MagnusGraphHeat6Obj>(); }

}  // namespace quorvane::py
