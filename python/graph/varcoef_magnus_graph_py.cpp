// Python class VarCoefMagnusGraph: graph heat du/dt = -L_a(t) u with a
// time-dependent Laplacian and a time-dependent node coefficient, both given
// by Python callables, by fourth-order Magnus steps.
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/graph/magnus_graph.hpp"
#include "python/callback.hpp"
#include "python/coeff.hpp"
#include "python/graph/graph_args.hpp"
#include "python/graph/graph_callbacks.hpp"

namespace quorvane::py {

struct VarCoefMagnusGraphObj {
    std::uint64_t n_nodes = 0;
    Ref lap_at_t;
    Ref a_at_t;
    double rho_bar_max = 1.0;
    double a_sup_max = 1.0;
    bool convergence_check = true;

    // The callables may refer back to the object.
    int visit_refs(visitproc visit, void* arg) const { return visit_held(visit, arg, lap_at_t, a_at_t); }
    void clear_refs() { clear_held(lap_at_t, a_at_t); }
    static ClassDef& class_def();
};

namespace {

constexpr char kVarCoefMagnusDoc[] =
    "VarCoefMagnusGraph(n_nodes, *, lap_at_t, a_at_t, rho_bar_max, a_sup_max, convergence_check=True)\n--\n\n"
    "Graph heat du/dt = -L_a(t) u with L_a(t) = A(t)^1/2 L(t) A(t)^1/2, A(t) = diag(a(t)), by\n"
    "fourth-order Magnus steps: both callables sampled at the two Gauss points of each step.\n"
    "The error is fourth order in tau = t_final/n_steps.\n\n"
    "Parameters\n----------\n"
    "n_nodes : int\n    Number of nodes, >= 1.\n"
    "lap_at_t : callable\n"
    "    lap_at_t(t) -> Laplacian, Graph or GraphPath of n_nodes nodes at the absolute time t.\n"
    "a_at_t : callable\n"
    "    a_at_t(t) -> float64 array or sequence of n_nodes finite positive values.\n"
    "    Both are called with the interpreter lock, on the calling thread; an exception\n"
    "    either raises ends the call and is raised unchanged.\n"
    "rho_bar_max : float\n    A bound of the spectral radius of L(t) over the run, finite and > 0.\n"
    "a_sup_max : float\n    A bound of sqrt(max_i a_i(t)) over the run, finite and > 0\n"
    "    (compute_rho_bar estimates both).\n"
    "convergence_check : bool, optional\n"
    "    Refuse steps with tau * rho_bar_max * a_sup_max^2 >= pi/2 (default True). Where a\n"
    "    sample's own bounds would fail that test it rests on the two given ones, which are\n"
    "    then refused (kind OutOfDomain) when the sample disproves them: a Ritz value of\n"
    "    L(t) above rho_bar_max, or sqrt(max a(t)) above a_sup_max; a result whose 2-norm\n"
    "    grew over the steps is refused (kind CflViolated). A sample of L(t) whose rows could\n"
    "    hold an eigenvalue of 1.01 * rho_bar_max where no probe of the call has looked is\n"
    "    probed from a start with weight on every node. Not checked: a rho_bar_max less than\n"
    "    that below the top of L(t) can pass where the top rises away from the last probe's\n"
    "    vector, and one within about 1e-5 (relative) below it where the top eigenvalues\n"
    "    cluster; such steps lie that much past the radius (the Taylor polynomial stays\n"
    "    stable to 1.77 times it).\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = quorvane.Graph.path(5)\n"
    ">>> lap = lambda t: quorvane.Laplacian.combinatorial(g)\n"
    ">>> a = lambda t: np.full(5, 1.0 + t)                   # node coefficient a(t), finite and > 0\n"
    ">>> m = quorvane.VarCoefMagnusGraph(5, lap_at_t=lap, a_at_t=a, rho_bar_max=4.0, a_sup_max=2.0)\n"
    ">>> f = m.evolve(1.0, 20, np.eye(5)[0])\n"
    ">>> print(f.shape, bool(np.all(f > 0)))\n"
    "(5,) True\n";
constexpr char kEvolveDoc[] =
    "evolve($self, t_final, n_steps, f0, *, t_start=0.0)\n--\n\n"
    "Evolve the node signal f0 from t_start to t_start + t_final in n_steps steps of tau;\n"
    "step k samples both callables at t_start + k*tau + c*tau for the two Gauss points c.\n"
    "Returns a new float64 array.\n";
constexpr char kBatchedDoc[] =
    "evolve_batched($self, t_final, n_steps, f0)\n--\n\n"
    "Evolve every column of the [N, C] array f0 from t = 0; column c equals\n"
    "evolve(t_final, n_steps, f0[:, c]). The callables are called once per sample time, as\n"
    "by one evolve, and the columns are spread over the worker threads.\n";
constexpr char kNNodesDoc[] = "Number of nodes the kernel acts on.";
constexpr char kComputeRhoBarDoc[] =
    "compute_rho_bar(lap_at_t, a_at_t, t0, t1, n_nodes, *, n_samples=32)\n--\n\n"
    "Estimate (rho_bar_max, a_sup_max) from n_samples samples at t0 + (t1 - t0) * k/n_samples:\n"
    "the largest spectral_bound of lap_at_t(t) and the square root of the largest a_at_t(t)\n"
    "entry. The bounds hold at the sampled times only; add a margin for the times between.\n\n"
    "Both callables are called with the interpreter lock, on the calling thread, at every\n"
    "sample time in turn; an exception either raises ends the call and passes through\n"
    "unchanged (nothing is called after it).\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_nodes must be >= 1\", \"[OutOfDomain] n_samples must be >= 1\"; a\n"
    "    sample time that is not finite (kind NanInf); a lap_at_t result that is no Laplacian,\n"
    "    Graph or GraphPath (kind OutOfDomain) or whose spectral_bound is not finite (kind\n"
    "    NanInf); an a_at_t result of the wrong length (kind GridMismatch) or with an entry\n"
    "    that is not finite and > 0 (kind NanInf or OutOfDomain), as evolve refuses them.\n"
    "Exception\n    Whatever lap_at_t or a_at_t raises, unchanged.\n";

VarCoefMagnusGraphObj varcoef_magnus_new(const Args& a) {
    const std::uint32_t n_nodes = a.u32(0);
    Ref lap_at_t = Ref::borrowed(a.raw(1));
    Ref a_at_t = Ref::borrowed(a.raw(2));
    const double rho_bar_max = a.f64(3);
    const double a_sup_max = a.f64(4);
    const bool check = a.flag_or(5, true);
    if (n_nodes == 0) py_err_with_kind("OutOfDomain", "n_nodes must be >= 1");
    if (!std::isfinite(rho_bar_max) || !(rho_bar_max > 0.0)) {
        py_err_with_kind("OutOfDomain", "rho_bar must be finite and > 0");
    }
    if (!std::isfinite(a_sup_max) || !(a_sup_max > 0.0)) py_err_with_kind("OutOfDomain", "a_sup_max must be > 0 and finite");
    return VarCoefMagnusGraphObj{n_nodes, std::move(lap_at_t), std::move(a_at_t), rho_bar_max, a_sup_max, check};
}

// The step object of one call over the two adaptors (made with the lock
// held, used without it).
struct CallProviders {
    LaplacianProvider lap;
    CoefficientProvider a;
    SharedSampleGrowth growth = std::make_shared<SampleGrowth>();
    CallProviders(PyObject* lap_at_t, PyObject* a_at_t, std::uint64_t n, CallbackErrors& errors)
        : lap(lap_at_t_adaptor(lap_at_t, n, errors)), a(varcoef_a_at_t_adaptor(a_at_t, n, errors)) {}

    // L_a = A^1/2 L A^1/2 grows the norm at most at rate max(a) times L's.
    double log_allowance(double t_final) const {
        return growth->rate > 0.0 ? t_final * (growth->a_max * growth->rate) : 0.0;
    }

    // With the radius test on, its two bounds are tested on the samples that
    // leave the test resting on them, and every sample is kept for the
    // backstop.
    void check_bounds(const VarCoefMagnusGraphObj& self, double tau, CallbackErrors& errors) {
        if (!self.convergence_check) return;
        lap = recording_growth(std::move(lap), growth);
        const double scale = self.a_sup_max * self.a_sup_max;
        lap = checking_bound(std::move(lap), {"VarCoefMagnusGraph", "rho_bar_max", self.rho_bar_max, scale, tau}, errors);
        a = checking_a_sup(std::move(a), "VarCoefMagnusGraph", self.a_sup_max, self.rho_bar_max, tau, errors, growth);
    }

    Expected<VarCoefMagnusGraphHeatChernoff> make(const VarCoefMagnusGraphObj& self) {
        auto m = VarCoefMagnusGraphHeatChernoff::make(self.n_nodes, std::move(lap), std::move(a), self.rho_bar_max,
                                                      self.a_sup_max);
        if (m) m->convergence_check = self.convergence_check;
        return m;
    }
};

// The backstop belongs to the radius test: convergence_check=False lets any
// step through, as documented.
GrowthGuard varcoef_guard(const VarCoefMagnusGraphObj& self) {
    return GrowthGuard{"VarCoefMagnusGraph", 16, kUnit64, "positive semi-definite samples of L_a(t)",
                       ", so rho_bar_max = " + fmt_exp3(self.rho_bar_max) + " and a_sup_max = " +
                           fmt_exp3(self.a_sup_max) +
                           " do not bound the spectra of the samples; pass bounds of them, or use more steps"};
}

Ref varcoef_magnus_evolve(const VarCoefMagnusGraphObj& self, const Args& a) {
    const double t_final = a.f64(0);
    const std::uint32_t n_steps = a.u32(1);
    const double t_start = a.f64_or(3, 0.0);
    check_t_final_and_steps(t_final, n_steps);
    if (!std::isfinite(t_start)) py_err_with_kind("OutOfDomain", "t_start must be finite");
    const std::vector<double> f0 = extract_f0_vec(a.raw(2));
    check_f0_len(f0.size(), self.n_nodes);
    check_finite_input(f0, "f0");
    CallbackErrors errors;
    CallProviders providers(held(self.lap_at_t, "lap_at_t"), held(self.a_at_t, "a_at_t"), self.n_nodes, errors);
    providers.check_bounds(self, t_final / static_cast<double>(n_steps), errors);
    const GrowthGuard guard = varcoef_guard(self);
    const std::vector<double> out = evolve_guarded_linear(
        guard, f0, 0, false, &errors,
        [&](std::vector<double> v, std::optional<NormGrowth>& grown) -> Expected<std::vector<double>> {
            auto m = providers.make(self);
            if (!m) return fail(m.error());
            auto r = magnus_evolve(*m, v, n_steps, t_final / static_cast<double>(n_steps), t_start);
            if (r && self.convergence_check) {
                grown = grown_column(guard, v, *r, v.size(), n_steps, providers.log_allowance(t_final));
            }
            return r;
        });
    return new_array_f64(out);
}

Ref varcoef_magnus_evolve_batched(const VarCoefMagnusGraphObj& self, const Args& a) {
    const double t_final = a.f64(0);
    const std::uint32_t n_steps = a.u32(1);
    const Buffer f0 = extract_f64_array(a.raw(2), "f0");
    check_t_final_and_steps(t_final, n_steps);
    const Columns cols = columns_from_f0(f0, self.n_nodes, "f0");
    CallbackErrors errors;
    CallProviders providers(held(self.lap_at_t, "lap_at_t"), held(self.a_at_t, "a_at_t"), self.n_nodes, errors);
    providers.check_bounds(self, t_final / static_cast<double>(n_steps), errors);
    const GrowthGuard guard = varcoef_guard(self);
    const std::vector<double> out = evolve_guarded_linear(
        guard, cols.data, cols.n, true, &errors,
        [&](std::vector<double> v, std::optional<NormGrowth>& grown) -> Expected<std::vector<double>> {
            auto m = providers.make(self);
            if (!m) return fail(m.error());
            std::vector<double> dst(v.size(), 0.0);
            const double tau = t_final / static_cast<double>(n_steps);
            if (Status st = magnus_evolve_batched(*m, self.n_nodes, n_steps, tau, v, dst); !st) {
                return fail(st.error());
            }
            if (self.convergence_check) {
                grown = grown_column(guard, v, dst, cols.n, n_steps, providers.log_allowance(t_final));
            }
            return dst;
        });
    return cols_to_features_nc(out, cols.n, cols.c);
}

Ref varcoef_magnus_n_nodes(const VarCoefMagnusGraphObj& self) { return py_int(self.n_nodes); }

Ref varcoef_magnus_compute_rho_bar(const Args& a) {
    const double t0 = a.f64(2);
    const double t1 = a.f64(3);
    const std::uint32_t n_nodes = a.u32(4);
    const std::uint32_t n_samples = a.u32_or(5, 32);
    if (n_nodes == 0) py_err_with_kind("OutOfDomain", "n_nodes must be >= 1");
    if (n_samples == 0) py_err_with_kind("OutOfDomain", "n_samples must be >= 1");
    CallbackErrors errors;
    CallProviders providers(a.raw(0), a.raw(1), n_nodes, errors);
    const MagnusBounds b = unwrap(run_with_callbacks(
        errors, [&] { return without_gil([&] { return sample_magnus_bounds(providers.lap, providers.a, t0, t1, n_samples); }); }));
    return py_tuple({py_float(b.rho_bar_max), py_float(b.a_sup_max)});
}

}  // namespace

ClassDef& VarCoefMagnusGraphObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<VarCoefMagnusGraphObj>("VarCoefMagnusGraph", kVarCoefMagnusDoc);
        d.tp_new = constructor<VarCoefMagnusGraphObj, kVarCoefMagnusDoc, &varcoef_magnus_new>();
        d.methods = {
            method<VarCoefMagnusGraphObj, kEvolveDoc, &varcoef_magnus_evolve>(),
            method<VarCoefMagnusGraphObj, kBatchedDoc, &varcoef_magnus_evolve_batched>(),
            method<VarCoefMagnusGraphObj, kComputeRhoBarDoc, &varcoef_magnus_compute_rho_bar>(),
        };
        d.getters = {getter<VarCoefMagnusGraphObj, &varcoef_magnus_n_nodes>("n_nodes", kNNodesDoc)};
        return d;
    }();
    return def;
}

PyTypeObject* var_coef_magnus_graph_type_object() { return type_object<VarCoefMagnusGraphObj>(); }

}  // namespace quorvane::py
