// Module functions edge_weight_grad and edge_weight_grad_batched: gradients
// of a loss with respect to edge weights of a graph under fourth-order
// Magnus graph heat, by the discrete adjoint-state method.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/foundation/numeric.hpp"
#include "core/graph/magnus_graph.hpp"
#include "core/graph/rayleigh.hpp"
#include "core/sensitivity/graph_sensitivity_helpers.hpp"
#include "python/array.hpp"
#include "python/coeff.hpp"
#include "python/frame.hpp"
#include "python/graph/graph_args.hpp"
#include "python/sensitivity/edge_params.hpp"
#include "python/sensitivity/gradient_scale.hpp"

namespace quorvane::py {
namespace {

#define QUORVANE_EDGE_GRAD_COMMON                                                                    \
    "t : float\n    Total time, finite and >= 0.\n"                                                  \
    "n_steps : int\n    Number of Magnus steps of tau = t/n_steps, 1 ... 2**32 - 1.\n"               \
    "rho_bar : float\n"                                                                              \
    "    Bound of the spectral radius of L, finite and > 0 (e.g. Laplacian.spectral_bound); a\n"      \
    "    step with tau * rho_bar >= pi/2 is refused.\n"                                              \
    "params : str or sequence of (int, int)\n"                                                       \
    "    \"all_edges\" (every edge once, ascending (i, j) with i < j) or the node pairs whose\n"      \
    "    weights to differentiate, in the order of the result; (i, j) and (j, i) name the same\n"     \
    "    weight, and a pair that is not an edge gives the derivative at weight 0.\n\n"               \
    "Returns\n-------\nnumpy.ndarray[float64]\n    One entry per pair.\n\n"                          \
    "Raises\n------\n"                                                                               \
    "QuorvaneError\n"                                                                                \
    "    \"[OutOfDomain] t_final must be finite and >= 0\", \"[OutOfDomain] n_steps must be >= 1\",\n" \
    "    \"[OutOfDomain] rho_bar must be finite and > 0\", \"[OutOfDomain] provide either graph= or\n"  \
    "    laplacian=\", \"[OutOfDomain] graph must be a Graph or GraphPath\", the params errors,\n"      \
    "    \"[OutOfDomain] apply_edge_weight_deriv: index out of range\" and \"... self-loop (i==j)\",\n"  \
    "    [OutOfDomain] for tau * rho_bar >= pi/2 (Magnus convergence radius), and \"[NanInf] all\n"     \
    "    values must be finite (no NaN/Inf)\" when the gradient is not finite (a rho_bar below\n"     \
    "    the spectral radius of L lets the steps amplify); kind NanInf when the gradient lies\n"    \
    "    beyond the double range, naming the max|u0| that keeps it within (it is linear in u0 and\n" \
    "    in dJ/du_n apart: data and weights of every size whose gradient is a double are\n"        \
    "    served); a finite gradient whose steps passed\n"                                          \
    "    the radius test only on rho_bar, where a few power iterations find a Rayleigh quotient q\n" \
    "    of L with tau * q >= pi/2, is refused too (kind OutOfDomain, naming rho_bar and q);\n"

constexpr char kEdgeGradDoc[] =
    "edge_weight_grad(graph=None, a=None, *, u0, dj_du_n, t, n_steps, rho_bar, params)\n--\n\n"
    "Gradient of a loss with respect to edge weights under graph heat du/dt = -L u.\n\n"
    "u_n is n_steps fourth-order Magnus steps of u0 on the combinatorial Laplacian L = D - W of\n"
    "the graph (each step the degree-4 Taylor polynomial of exp(-tau L)). Given dJ/du_n, the\n"
    "result is dJ/dw_k for every listed pair, the exact gradient of the discrete scheme: the\n"
    "forward states are kept and the costate is carried back through the transposed steps.\n\n"
    "Parameters\n----------\n"
    "graph : Graph or GraphPath\n    The graph; required.\n"
    "a : None\n    Must be None (no variable-coefficient road).\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values, one per node.\n"
    "dj_du_n : numpy.ndarray[float64] or sequence of float\n"
    "    dJ/du_n at the final state (for J = 1/2 |u_n - target|^2 this is u_n - target).\n"
    QUORVANE_EDGE_GRAD_COMMON
    "    \"[OutOfDomain] edge_weight_grad: a != None (varcoef path not yet implemented; pass\n"
    "    a=None)\"; kind GridMismatch when u0 or dj_du_n is not one value per node.\n"
    "TypeError\n    If u0 or dj_du_n is neither a float64 array nor a sequence of floats.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = quorvane.Graph.path(4)\n"
    ">>> u0 = np.array([1.0, 0.0, 0.0, 0.0])\n"
    ">>> grad = quorvane.edge_weight_grad(g, u0=u0, dj_du_n=np.eye(4)[3], t=1.0, n_steps=16, rho_bar=4.0, params=[(0, 1)])\n"
    ">>> print(grad.shape, bool(grad[0] > 0))\n"
    "(1,) True\n";

constexpr char kEdgeGradBatchedDoc[] =
    "edge_weight_grad_batched(graph=None, a=None, *, u0_cols, dj_du_n_cols, t, n_steps, rho_bar, params)\n--\n\n"
    "Edge-weight gradient summed over C independent channels.\n\n"
    "Column c of u0_cols is evolved as by edge_weight_grad and driven back by column c of\n"
    "dj_du_n_cols; the result is the sum over the channels of their gradients, added in column\n"
    "order, so it equals the sum of the single-column results exactly. The channels run on\n"
    "at most as many threads as there are processors, in contiguous blocks of columns.\n\n"
    "Parameters\n----------\n"
    "graph : Graph or GraphPath\n    The graph; required.\n"
    "a : None\n    Must be None (no variable-coefficient road).\n"
    "u0_cols : numpy.ndarray[float64]\n    Initial values, shape [n_nodes, C], C >= 1.\n"
    "dj_du_n_cols : numpy.ndarray[float64]\n    dJ_c/du_n per channel, the same shape.\n"
    QUORVANE_EDGE_GRAD_COMMON
    "    \"[OutOfDomain] edge_weight_grad_batched: a != None (varcoef path not yet implemented)\";\n"
    "    \"[GridMismatch] f0.shape[0]=R != n_nodes=N\", \"[OutOfDomain] n_cols must be >= 1\",\n"
    "    \"[OutOfDomain] u0_cols shape [N,C] != dj_du_n_cols shape [N,C']\".\n"
    "TypeError\n    If u0_cols or dj_du_n_cols is not a two-dimensional float64 array.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = quorvane.Graph.path(4)\n"
    ">>> u0 = np.eye(4)[:, :2]                 # two channels as columns\n"
    ">>> dj = np.eye(4)[:, [3, 3]]\n"
    ">>> grad = quorvane.edge_weight_grad_batched(g, u0_cols=u0, dj_du_n_cols=dj, t=1.0, n_steps=16, rho_bar=4.0, params=\"all_edges\")\n"
    ">>> print(grad.shape)\n"
    "(3,)\n";

#undef QUORVANE_EDGE_GRAD_COMMON

struct Scalars {
    double t;
    std::uint32_t n_steps;
    double rho_bar;
};

// The scalar checks, then a, then the graph, in this order.
SharedGraph checked_graph(const Args& a, const Scalars& s, const char* a_message) {
    if (!finite_nonneg(s.t)) py_err_with_kind("OutOfDomain", "t_final must be finite and >= 0");
    if (s.n_steps == 0) py_err_with_kind("OutOfDomain", "n_steps must be >= 1");
    if (!std::isfinite(s.rho_bar) || s.rho_bar <= 0.0) py_err_with_kind("OutOfDomain", "rho_bar must be finite and > 0");
    if (a.get(1) != nullptr) py_err_with_kind("OutOfDomain", a_message);
    return graph_from_graph_or_laplacian(a.get(0), nullptr);
}

// The steps' radius test tau * rho_bar < pi/2 rests on rho_bar where L's own
// Gershgorin bound would fail it; a gradient whose steps a Rayleigh quotient
// of L puts past the radius is refused. A sweep that failed on its own
// (states overflowing) keeps its error, so the probe runs after it.
void refuse_gradient_past_the_radius(const char* fn, const SharedGraph& graph, double tau, double rho_bar) {
    if (!(tau * rho_bar < kMagnusRadius)) return;
    const SharedLaplacian lap = combinatorial_of(graph);
    if (!(tau * lap->spectral_bound >= kMagnusRadius)) return;
    const std::optional<double> lower = without_gil([&] { return largest_eigenvalue_lower_bound(*lap); });
    if (!lower || !(tau * *lower >= kMagnusRadius)) return;
    if (const std::optional<std::string> text = bound_refutation(fn, "rho_bar", rho_bar, lower, lap->spectral_bound, "L")) {
        py_err_with_kind("OutOfDomain", *text);
    }
}

// The steps see the weights only through tau L: the same steps run on the
// weights W 2^-m with tau 2^m and rho_bar 2^-m (tau L and the tau^2
// commutator term unchanged, the scalings exact), and dJ/dW is 2^-m times
// the gradient of the scaled weights. A plain call that overflowed inside
// (L^2 x beyond the range for large weights while its factor tau^2
// underflows) is computed again at rho_bar 2^-m in [1, 2), where no power of
// L grows x much; m is 0 where a weight or tau would leave the normal range.
int weight_scale_exponent(const Graph<double>& g, double tau, double rho_bar) {
    const int m = std::ilogb(rho_bar);
    double least = rho_bar;
    for (double w : g.weights) {
        if (w != 0.0) least = std::fmin(least, std::fabs(w));
    }
    return std::ldexp(least, -m) < DBL_MIN || std::ldexp(tau, m) < DBL_MIN ? 0 : m;
}

// `grad(graph, u0, dj, tau, rho_bar)` served at every scale of the data and
// of the weights (see gradient_at_any_scale).
template <class Grad>
std::vector<double> edge_gradient(const char* fn, const SharedGraph& graph, std::span<const double> u0,
                                  std::span<const double> dj, double tau, double rho_bar, Grad&& grad) {
    const int m = weight_scale_exponent(*graph, tau, rho_bar);
    GradientBeyond beyond;
    auto r = run_evolve([&] {
        return gradient_at_any_scale(u0, dj, m, beyond, [&](std::span<const double> u, std::span<const double> d,
                                                            int k) {
            if (k == 0) return grad(graph, u, d, tau, rho_bar);
            Graph<double> scaled = *graph;
            scale_by_power_of_two(scaled.weights, -k);
            return grad(std::make_shared<const Graph<double>>(std::move(scaled)), u, d, std::ldexp(tau, k),
                        std::ldexp(rho_bar, -k));
        });
    });
    if (beyond.top_out > 0.0) raise_gradient_beyond(fn, beyond);
    return unwrap(std::move(r));
}

Ref edge_weight_grad_body(const Args& a) {
    const Scalars s{a.f64(4), a.u32(5), a.f64(6)};
    const SharedGraph graph =
        checked_graph(a, s, "edge_weight_grad: a != None (varcoef path not yet implemented; pass a=None)");
    const std::vector<double> u0 = extract_f0_vec(a.raw(2));
    const std::vector<double> dj = extract_f0_vec(a.raw(3));
    check_f0_len(u0.size(), graph->n_nodes);
    check_f0_len(dj.size(), graph->n_nodes);
    const std::vector<EdgePair> params = parse_edge_params(a.raw(7), *graph);
    const double tau = s.t / static_cast<double>(s.n_steps);
    const std::vector<double> grad = edge_gradient(
        "edge_weight_grad", graph, u0, dj, tau, s.rho_bar,
        [&](const SharedGraph& g, std::span<const double> u, std::span<const double> d, double step, double rho) {
            return compute_edge_weight_grad(g, u, d, params, step, s.n_steps, rho);
        });
    refuse_gradient_past_the_radius("edge_weight_grad", graph, tau, s.rho_bar);
    return new_array_f64(grad);
}

Ref edge_weight_grad_batched_body(const Args& a) {
    const Array2D u0 = extract_f64_array_2d(a.raw(2), "u0_cols");
    const Array2D dj = extract_f64_array_2d(a.raw(3), "dj_du_n_cols");
    const Scalars s{a.f64(4), a.u32(5), a.f64(6)};
    const SharedGraph graph =
        checked_graph(a, s, "edge_weight_grad_batched: a != None (varcoef path not yet implemented)");
    const std::size_t cols = check_f0_columns(*u0.buf, graph->n_nodes);
    check_f0_columns(*dj.buf, graph->n_nodes);
    if (u0.rows != dj.rows || u0.cols != dj.cols) {
        py_err_with_kind("OutOfDomain", "u0_cols shape [" + std::to_string(u0.rows) + "," + std::to_string(u0.cols) +
                                            "] != dj_du_n_cols shape [" + std::to_string(dj.rows) + "," +
                                            std::to_string(dj.cols) + "]");
    }
    const std::size_t n = static_cast<std::size_t>(graph->n_nodes);
    const std::vector<double> u0_cols = features_nc_to_cols(*u0.buf, n, cols);
    const std::vector<double> dj_cols = features_nc_to_cols(*dj.buf, n, cols);
    const std::vector<EdgePair> params = parse_edge_params(a.raw(7), *graph);
    const double tau = s.t / static_cast<double>(s.n_steps);
    const std::vector<double> grad = edge_gradient(
        "edge_weight_grad_batched", graph, u0_cols, dj_cols, tau, s.rho_bar,
        [&](const SharedGraph& g, std::span<const double> u, std::span<const double> d, double step, double rho) {
            return adjoint_state_gradient_batched(g, u, d, params, step, s.n_steps, rho);
        });
    refuse_gradient_past_the_radius("edge_weight_grad_batched", graph, tau, s.rho_bar);
    return new_array_f64(grad);
}

}  // namespace

PyMethodDef* edge_weight_grad_function_def() {
    static PyMethodDef def = method<void, kEdgeGradDoc, &edge_weight_grad_body>();
    return &def;
}

PyMethodDef* edge_weight_grad_batched_function_def() {
    static PyMethodDef def = method<void, kEdgeGradBatchedDoc, &edge_weight_grad_batched_body>();
    return &def;
}

}  // namespace quorvane::py
