// Python class VarCoefGraphHeat: graph heat with a conductivity per node.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/foundation/numeric.hpp"
#include "core/graph/graph_signal.hpp"
#include "core/graph/graph_var_coef.hpp"
#include "python/coeff.hpp"
#include "python/graph/graph_args.hpp"

namespace quorvane::py {

struct VarCoefGraphHeatObj {
    std::vector<double> a;
    SharedGraph graph;
    double rho_bar = 0.0;
    std::uint64_t n_nodes = 0;
    Dtype dtype = Dtype::F64;
    SharedLaplacian laplacian;  // L of the graph, for the test of rho_bar
    SharedLowerBoundMemo lower = std::make_shared<LowerBoundMemo>();
    static ClassDef& class_def();
};

namespace {

constexpr char kVarCoefDoc[] =
    "VarCoefGraphHeat(graph, a, *, rho_bar, dtype=\"f64\")\n--\n\n"
    "Graph heat du/dt = -L_a u with a conductivity a_i per node: L_a = A^1/2 L A^1/2,\n"
    "A = diag(a), L the combinatorial Laplacian of graph.\n\n"
    "One step is f - tau L_a f + (tau^2/2) L_a^2 f, second order in tau = t_final/n_steps.\n"
    "A step with max(a) * tau * rho_bar > 0.5 is refused before any work (kind CflViolated),\n"
    "naming the largest admissible tau and the least n_steps from which every count passes.\n"
    "Steps admitted only because rho_bar is below 2 max_i deg(i) are taken on its word once\n"
    "Lanczos steps find no Ritz value of L above it; otherwise rho_bar is refused (kind\n"
    "OutOfDomain). A result whose 2-norm grew over the steps is refused (kind CflViolated).\n"
    "Not checked: a rho_bar within about 1e-4 (relative) below lambda_max of L, where the\n"
    "top eigenvalues cluster (long paths, large grids), passes the Lanczos steps; the limit\n"
    "0.5 lies well inside the step's stability interval (tau * lambda_max(L_a) <= 2), so\n"
    "such steps stay stable.\n\n"
    "Parameters\n----------\n"
    "graph : Graph\n    The graph.\n"
    "a : numpy.ndarray[float64] or sequence of float\n    n_nodes finite positive conductivities.\n"
    "rho_bar : float\n    A bound of the spectral radius of L, finite and > 0.\n"
    "dtype : str, optional\n    \"f64\" (default) or \"f32\" (single-precision evolve).\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = quorvane.Graph.path(5)\n"
    ">>> h = quorvane.VarCoefGraphHeat(g, [1.0, 2.0, 1.0, 2.0, 1.0], rho_bar=8.0)\n"
    ">>> f = h.evolve(2.0, 100, [1.0, 0.0, 0.0, 0.0, 0.0])\n"
    ">>> print(bool(np.all(f > 0)), f.shape)\n"
    "True (5,)\n";
constexpr char kEvolveDoc[] =
    "evolve($self, t_final, n_steps, f0)\n--\n\n"
    "Evolve the node signal f0 over t_final in n_steps steps; returns a new float64 array.\n";
constexpr char kBatchedDoc[] =
    "evolve_batched($self, t_final, n_steps, f0)\n--\n\n"
    "Evolve every column of the [N, C] array f0; column c equals evolve(t_final, n_steps,\n"
    "f0[:, c]).\n";

VarCoefGraphHeatObj var_coef_new(const Args& a) {
    const SharedGraph graph = with_shared_arg<GraphObj>(a.raw(0), "graph", [](const GraphObj& o) { return o.graph; });
    const double rho_bar = a.f64(2);
    const std::string dtype_text = a.str_or(3, "f64");
    if (!std::isfinite(rho_bar) || !(rho_bar > 0.0)) py_err_with_kind("OutOfDomain", "rho_bar must be finite and > 0");
    const Dtype dtype = parse_dtype(dtype_text);
    std::vector<double> coef = extract_f0_vec(a.raw(1));
    for (const double v : coef) {
        if (!std::isfinite(v) || !(v > 0.0)) py_err_with_kind("OutOfDomain", "a must contain finite positive values");
    }
    SharedLaplacian laplacian = unwrap(VarCoefGraphHeatChernoff<double>::make(*graph, coef, rho_bar)).laplacian;
    const std::uint64_t n = graph->n_nodes;
    return VarCoefGraphHeatObj{std::move(coef), graph, rho_bar, n, dtype, std::move(laplacian)};
}

// Whether steps of t_final / n_steps pass the step's gate max(a) tau rho_bar
// <= 0.5, in the arithmetic of the road the call takes (a, rho_bar, t_final
// and the step rounded to single precision for dtype "f32"), as the step
// itself tests it.
bool gate_admits(const VarCoefGraphHeatObj& self, double a_max, double t_final, std::uint64_t n_steps) {
    if (self.dtype == Dtype::F32) {
        const float tau = narrow_to_float(t_final) / static_cast<float>(n_steps);
        return !(narrow_to_float(a_max) * (tau * narrow_to_float(self.rho_bar)) > 0.5f);
    }
    return !(a_max * ((t_final / static_cast<double>(n_steps)) * self.rho_bar) > 0.5);
}

// A call whose steps fail the gate is refused before any work with the shared
// text of the truncated series' rule, which states this gate (dx^2 read as
// 1/rho_bar, ||a|| as max(a)), followed by the largest admissible tau (four
// digits, rounded down) and the counts from which every count passes.
void refuse_long_steps(const VarCoefGraphHeatObj& self, double t_final, std::uint64_t n_steps) {
    double a_max = 0.0;
    for (const double v : self.a) a_max = std::max(a_max, v);
    if (gate_admits(self, a_max, t_final, n_steps)) return;
    const double tau = t_final / static_cast<double>(n_steps);
    const std::string fixed = CoreError::cfl_violated(tau, 1.0 / self.rho_bar, a_max).display();
    const double shown = floor_4_digits(greatest_admitted_double(0.0, tau, [&](double step) {
        return !(a_max * (step * self.rho_bar) > 0.5);
    }));
    // The least count is found over whole counts, each judged as the call
    // would judge it, and takes steps within the tau shown: refusal is
    // closed downwards, so the counts refused form [1, least).
    auto admitted = [&](std::uint64_t n) {
        return t_final / static_cast<double>(n) <= shown && gate_admits(self, a_max, t_final, n);
    };
    StepCounts counts;
    if (!admitted(kU32Counts)) {
        counts.outcome = StepCounts::Outcome::TooLong;
        counts.longest_t = greatest_admitted_double(0.0, t_final, [&](double t) {
            return t / static_cast<double>(kU32Counts) <= shown && gate_admits(self, a_max, t, kU32Counts);
        });
    } else {
        counts.least = greatest_count(n_steps, kU32Counts, [&](std::uint64_t n) { return !admitted(n); }) + 1;
        counts.most = kU32Counts;
    }
    py_err_with_kind("CflViolated", fixed + "; the largest admissible tau is " + fmt_exp3(shown) + "; " +
                                        count_advice(counts, "n_steps", kU32Counts, {"t_final", t_final}));
}

// The step gate max(a) tau rho_bar <= 0.5 rests on rho_bar where the graph's
// own Gershgorin bound 2 max_i deg(i) would close it: a rho_bar that a
// Rayleigh quotient proves below the spectrum of L is refused there.
void refuse_trusted_rho_bar(const VarCoefGraphHeatObj& self, double t_final, std::uint64_t n_steps) {
    const double tau = t_final / static_cast<double>(n_steps);
    double a_max = 0.0;
    for (const double v : self.a) a_max = std::max(a_max, v);
    if (!(a_max * (tau * self.rho_bar) <= 0.5)) return;
    const Graph<double>& g = *self.graph;
    double degree = 0.0;
    for (std::uint64_t i = 0; i < g.n_nodes; ++i) {
        double d = 0.0;
        for (std::uint64_t k = g.row_ptr[i]; k < g.row_ptr[i + 1]; ++k) d += g.weights[k];
        degree = std::max(degree, d);
    }
    if (!(a_max * (tau * (degree + degree)) > 0.5)) return;
    refuse_bound_below_spectrum("VarCoefGraphHeat", "rho_bar", self.rho_bar, *self.laplacian, *self.lower);
}

// The backstop: L_a = A^1/2 L A^1/2 is symmetric positive semi-definite
// with L, so its heat never grows the 2-norm (two products per step).
GrowthGuard var_coef_guard(const VarCoefGraphHeatObj& self, double unit) {
    return GrowthGuard{"VarCoefGraphHeat", 2, unit, "a positive semi-definite L_a",
                       rho_bar_cause(self.rho_bar, self.laplacian->spectral_bound)};
}

// The single-precision road fails in this order: the 32-bit graph, the
// constructor's checks in single precision, t rounded to 32 bits, then the
// step size.
Ref evolve_f32(const VarCoefGraphHeatObj& self, double t_final, std::uint64_t n_steps, const std::vector<double>& f0) {
    auto kernel = unwrap(without_gil([&]() -> Expected<VarCoefGraphHeatChernoff<float>> {
        auto g32 = graph_to_f32(*self.graph);
        if (!g32) return fail(g32.error());
        std::vector<float> a32(self.a.size());
        for (std::size_t i = 0; i < a32.size(); ++i) a32[i] = narrow_to_float(self.a[i]);
        return VarCoefGraphHeatChernoff<float>::make(*g32, std::move(a32), narrow_to_float(self.rho_bar));
    }));
    const float t32 = narrow_to_float(t_final);
    if (!std::isfinite(t32)) raise_core_error(CoreError::domain("t must be finite and >= 0", t32));
    refuse_long_steps(self, t_final, n_steps);
    refuse_trusted_rho_bar(self, t_final, n_steps);
    std::vector<double> rounded(f0.size());
    for (std::size_t i = 0; i < rounded.size(); ++i) rounded[i] = narrow_to_float(f0[i]);
    return new_array_f64(
        evolve_guarded(var_coef_guard(self, kUnit32), rounded, n_steps, 0.0, [&]() -> Expected<std::vector<double>> {
            std::vector<float> u(rounded.begin(), rounded.end());
            auto out = evolve_steps<float>(kernel, std::move(u), n_steps, t32 / static_cast<float>(n_steps));
            if (!out) return fail(out.error());
            return std::vector<double>(out->begin(), out->end());
        }));
}

Ref var_coef_evolve(const VarCoefGraphHeatObj& self, const Args& a) {
    const double t_final = a.f64(0);
    const std::uint32_t n_steps = a.u32(1);
    check_t_final_and_steps(t_final, n_steps);
    std::vector<double> f0 = extract_f0_vec(a.raw(2));
    check_f0_len(f0.size(), self.n_nodes);
    check_finite_input(f0, "f0");
    if (self.dtype == Dtype::F32) return evolve_f32(self, t_final, n_steps, f0);
    refuse_long_steps(self, t_final, n_steps);
    refuse_trusted_rho_bar(self, t_final, n_steps);
    return new_array_f64(
        evolve_signal_linear(var_coef_guard(self, kUnit64), f0, n_steps, 0.0,
                             [&](const std::vector<double>& v) -> Expected<std::vector<double>> {
                                 auto kernel = VarCoefGraphHeatChernoff<double>::make(*self.graph, self.a, self.rho_bar);
                                 if (!kernel) return fail(kernel.error());
                                 return evolve_steps<double>(*kernel, v, n_steps, t_final / static_cast<double>(n_steps));
                             }));
}

Ref var_coef_evolve_batched(const VarCoefGraphHeatObj& self, const Args& a) {
    const double t_final = a.f64(0);
    const std::uint32_t n_steps = a.u32(1);
    const Buffer f0 = extract_f64_array(a.raw(2), "f0");
    if (self.dtype == Dtype::F32) {
        py_err_with_kind("OutOfDomain", "evolve_batched requires dtype=\"f64\"; use evolve() per channel for f32");
    }
    check_t_final_and_steps(t_final, n_steps);
    const Columns cols = columns_from_f0(f0, self.n_nodes, "f0");
    refuse_long_steps(self, t_final, n_steps);
    refuse_trusted_rho_bar(self, t_final, n_steps);
    const VarCoefGraphHeatChernoff<double> kernel =
        unwrap(VarCoefGraphHeatChernoff<double>::make(*self.graph, self.a, self.rho_bar));
    const double tau = t_final / static_cast<double>(n_steps);
    const GrowthGuard guard = var_coef_guard(self, kUnit64);
    return evolve_columns_py(
        cols, self.graph->n_nodes, n_steps,
        [&](std::span<const double> s, std::span<double> d, ScratchPool<double>& pool) {
            return kernel.apply_into(s, d, pool, tau);
        },
        guard);
}

}  // namespace

ClassDef& VarCoefGraphHeatObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<VarCoefGraphHeatObj>("VarCoefGraphHeat", kVarCoefDoc);
        d.tp_new = constructor<VarCoefGraphHeatObj, kVarCoefDoc, &var_coef_new>();
        d.methods = {
            method<VarCoefGraphHeatObj, kEvolveDoc, &var_coef_evolve>(),
            method<VarCoefGraphHeatObj, kBatchedDoc, &var_coef_evolve_batched>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* var_coef_graph_heat_type_object() { return type_object<VarCoefGraphHeatObj>(); }

}  // namespace quorvane::py
