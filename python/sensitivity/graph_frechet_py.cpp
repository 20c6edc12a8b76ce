// Module functions graph_expmv_frechet and symmetric_op_expmv_frechet: the
// gradients of a loss of e^{-tM} u0 with respect to the edge weights of a
// GraphKrylov's Laplacian or the entries of a SymmetricOperator.
#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/sensitivity/graph_frechet.hpp"
#include "python/graph/graph_args.hpp"
#include "python/sensitivity/edge_params.hpp"
#include "python/sensitivity/gradient_scale.hpp"
#include "python/sparse/sparse_args.hpp"

namespace quorvane::py {
namespace {

constexpr char kGraphFrechetDoc[] =
    "graph_expmv_frechet(gk, u0, dj, *, t, params)\n--\n\n"
    "Gradient of a loss of u(t) = e^{-tL} u0 with respect to edge weights of a GraphKrylov's L.\n\n"
    "Given dj = dJ/du(t), the result is, for each pair (i, j) in params and summed over the\n"
    "columns, dJ/dw_ij = t int_0^1 <e^{-(1-s)tL} dj, (dA/dw_ij) e^{-stL} u0> ds with A = -L and\n"
    "(dA/dw_ij) x = -(x_i - x_j)(e_i - e_j): the derivative of L = D - W. A Laplacian built by\n"
    "Laplacian.from_csr is taken as D - W; a normalized Laplacian is refused.\n"
    "The integral is split into max(1, ceil(t * spectral_bound / 4)) equal panels, each with the\n"
    "8-point Gauss-Legendre rule; every exponential action uses gk's path and tolerance.\n\n"
    "Parameters\n----------\n"
    "gk : GraphKrylov\n    The operator and its exponential-action settings.\n"
    "u0, dj : numpy.ndarray[float64]\n    [n_nodes, C] arrays of equal shape: initial states and cotangents.\n"
    "t : float\n    Time, finite and > 0.\n"
    "params : sequence of (int, int)\n    The edges (i, j); (i, j) and (j, i) name the same weight.\n\n"
    "Returns\n-------\nnumpy.ndarray[float64]\n    One entry per pair, in the order of params.\n\n"
    "Raises\n------\nQuorvaneError\n"
    "    \"[OutOfDomain] graph_expmv_frechet: t must be finite and positive\",\n"
    "    \"[GridMismatch] f0.shape[0]=... != n_nodes=...\", \"[OutOfDomain] n_cols must be >= 1\",\n"
    "    \"[OutOfDomain] graph_expmv_frechet: u0 shape [..] != dj shape [..]\",\n"
    "    \"[OutOfDomain]\" for a string params (\"all_edges\" included), a params that is not a\n"
    "    list of (int, int), an index >= n_nodes and a pair (i, i); \"[Unsupported]\" for a\n"
    "    normalized Laplacian; \"[NanInf]\" for non-finite u0 or dj; kind NanInf when the\n"
    "    gradient lies beyond the double range, naming the max|u0| that keeps it within (it is\n"
    "    linear in u0 and in dj apart: data of every size whose gradient is a double are\n"
    "    served); \"[OutOfDomain] graph_expmv_frechet: t * spectral_bound too large: ...\" where\n"
    "    t * spectral_bound exceeds 8944 (the quadrature's work grows like its square). Split t\n"
    "    then: the gradient over t is the sum over pieces [s, s + t_k] with\n"
    "    t_k * spectral_bound <= 8944 of graph_expmv_frechet(gk, gk.evolve_batched(s, u0),\n"
    "    gk.evolve_batched(t - s - t_k, dj), t=t_k, params=params).\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> L = quorvane.Laplacian.combinatorial(quorvane.Graph.path(4))\n"
    ">>> gk = quorvane.GraphKrylov(L)\n"
    ">>> u0, dj = np.eye(4)[:, [0]], np.eye(4)[:, [3]]          # [n_nodes, C] arrays: J = u(t)[3]\n"
    ">>> grad = quorvane.graph_expmv_frechet(gk, u0, dj, t=1.0, params=[(0, 1)])\n"
    ">>> print(grad.shape, bool(grad[0] > 0))                   # a stronger edge (0, 1) carries more heat to node 3\n"
    "(1,) True\n";

constexpr char kSymmetricFrechetDoc[] =
    "symmetric_op_expmv_frechet(op, u0, dj, *, t, entries)\n--\n\n"
    "Gradient of a loss of u(t) = e^{-tM} u0 with respect to entries of a SymmetricOperator M.\n\n"
    "Given dj = dJ/du(t), the result is, for each pair (i, j) in entries and summed over the\n"
    "columns, dJ/dM_ij = t int_0^1 <e^{-(1-s)tM} dj, (dA/dM_ij) e^{-stM} u0> ds with A = -M;\n"
    "the entry moves as M_ij = M_ji (dM = e_i e_j^T + e_j e_i^T), and (i, i) is the one\n"
    "diagonal entry. The integral is split into max(1, ceil(t * lambda_max_bound / 4)) equal\n"
    "panels, each with the 8-point Gauss-Legendre rule; the actions are Chebyshev expansions of\n"
    "tolerance 1e-12.\n\n"
    "Parameters\n----------\n"
    "op : SymmetricOperator\n"
    "u0, dj : numpy.ndarray[float64]\n    [n, C] arrays of equal shape: initial states and cotangents.\n"
    "t : float\n    Time, finite and > 0.\n"
    "entries : sequence of (int, int)\n    The entries (i, j).\n\n"
    "Returns\n-------\nnumpy.ndarray[float64]\n    One entry per pair, in the order of entries.\n\n"
    "Raises\n------\n"
    "TypeError, OverflowError\n    If entries is not a sequence of 2-tuples of non-negative integers.\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] t must be finite and positive\", the column-shape errors,\n"
    "    \"[OutOfDomain] u0 and dj shapes must match\", \"[OutOfDomain] entry (i,j) out of range\n"
    "    for n=...\", \"[NanInf]\" for non-finite u0 or dj; kind NanInf when the gradient lies\n"
    "    beyond the double range, naming the max|u0| that keeps it within (it is linear in u0\n"
    "    and in dj apart: data of every size whose gradient is a double are served);\n"
    "    \"[OutOfDomain] symmetric_op_expmv_frechet: t * lambda_max_bound too large: ...\" where\n"
    "    t * op.lambda_max_bound() exceeds 8944 (the quadrature's work grows like its square).\n"
    "    Split t then: the gradient over t is the sum over pieces [s, s + t_k] with\n"
    "    t_k * lambda_max_bound <= 8944 of symmetric_op_expmv_frechet(op,\n"
    "    op.evolve_batched(s, u0), op.evolve_batched(t - s - t_k, dj), t=t_k, entries=entries).\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import scipy.sparse as sp\n"
    ">>> A = sp.diags([[-1.0] * 3, [2.0] * 4, [-1.0] * 3], [-1, 0, 1], format=\"csr\")\n"
    ">>> op = quorvane.SymmetricOperator.from_csr(A.indptr.astype(np.int64), A.indices.astype(np.int32), A.data, 4)\n"
    ">>> u0 = np.eye(4)[:, [0]]\n"
    ">>> grad = quorvane.symmetric_op_expmv_frechet(op, u0, u0, t=0.5, entries=[(0, 0)])\n"
    ">>> print(grad.shape, bool(grad[0] < 0))       # a larger A[0, 0] damps u[0] more\n"
    "(1,) True\n";

void check_positive_t(double t, const char* message) {
    if (!std::isfinite(t) || !(t > 0.0)) py_err_with_kind("OutOfDomain", message);
}

// The columns of u0 and dj, checked finite: a NaN would only surface as a
// failed exponential action.
struct Channels {
    std::vector<double> u0;
    std::vector<double> dj;
};
Channels channels_of(const Array2D& u0, const Array2D& dj, std::size_t n, std::size_t c) {
    Channels ch{features_nc_to_cols(*u0.buf, n, c), features_nc_to_cols(*dj.buf, n, c)};
    check_finite_input(ch.u0, "u0");
    check_finite_input(ch.dj, "dj");
    return ch;
}

// The gradient `grad(u0, dj)` at every scale of the data (see
// gradient_at_any_scale; the operator kept as it is), never returned with a
// NaN or inf entry.
template <class Grad>
Ref gradient_array(const char* fn, const Channels& ch, Grad&& grad) {
    GradientBeyond beyond;
    auto r = run_evolve([&] {
        return gradient_at_any_scale(ch.u0, ch.dj, 0, beyond, [&](std::span<const double> u, std::span<const double> d,
                                                                  int) { return grad(u, d); });
    });
    if (beyond.top_out > 0.0) raise_gradient_beyond(fn, beyond);
    return new_array_f64(unwrap(std::move(r)));
}

Ref graph_expmv_frechet_body(const Args& a) {
    const GraphKrylovChernoff op =
        with_shared_arg<GraphKrylovObj>(a.raw(0), "gk", [](const GraphKrylovObj& o) { return o.op; });
    const Array2D u0 = extract_f64_array_2d(a.raw(1), "u0");
    const Array2D dj = extract_f64_array_2d(a.raw(2), "dj");
    const double t = a.f64(3);
    PyObject* params_obj = a.raw(4);

    check_positive_t(t, "graph_expmv_frechet: t must be finite and positive");
    const std::uint64_t n = op.laplacian->n_nodes;
    const std::size_t c = check_f0_columns(*u0.buf, n);
    check_f0_columns(*dj.buf, n);
    if (u0.rows != dj.rows || u0.cols != dj.cols) {
        py_err_with_kind("OutOfDomain", "graph_expmv_frechet: u0 shape [" + std::to_string(u0.rows) + "," +
                                            std::to_string(u0.cols) + "] != dj shape [" + std::to_string(dj.rows) +
                                            "," + std::to_string(dj.cols) + "]");
    }
    if (params_obj != nullptr && PyUnicode_Check(params_obj)) {
        py_err_with_kind("OutOfDomain",
                         "graph_expmv_frechet: 'all_edges' not supported \u2014 pass explicit list[(i,j)] pairs");
    }
    const std::vector<IndexPair> params =
        edge_pair_list(params_obj, "graph_expmv_frechet: params must be list[(int, int)]");
    for (const auto& [i, j] : params) {
        if (i >= n || j >= n) {
            py_err_with_kind("OutOfDomain", "graph_expmv_frechet: edge (" + std::to_string(i) + "," +
                                                std::to_string(j) + ") out of range for n_nodes=" + std::to_string(n));
        }
    }
    // The edge derivative is that of D - W; for I - D^-1/2 W D^-1/2 every
    // weight also moves the degree scaling of its whole neighbourhood.
    if (op.laplacian->kind == LaplacianKind::Normalized) {
        py_err_with_kind("Unsupported",
                         "graph_expmv_frechet: edge-weight gradients of a normalized Laplacian are not supported "
                         "(the derivative used is that of L = D - W)");
    }
    const Channels ch = channels_of(u0, dj, static_cast<std::size_t>(n), c);
    return gradient_array("graph_expmv_frechet", ch, [&](std::span<const double> u, std::span<const double> d) {
        return graph_expmv_frechet(op, params, u, d, params.size(), c, t);
    });
}

Ref symmetric_op_expmv_frechet_body(const Args& a) {
    const SymmetricOperator op = symmetric_operator_arg(a, 0);
    const Array2D u0 = extract_f64_array_2d(a.raw(1), "u0");
    const Array2D dj = extract_f64_array_2d(a.raw(2), "dj");
    const double t = a.f64(3);
    const std::vector<IndexPair> entries = index_pairs_arg(a.raw(4), "entries");

    check_positive_t(t, "t must be finite and positive");
    const std::uint64_t n = op.n();
    const std::size_t c = check_f0_columns(*u0.buf, n);
    check_f0_columns(*dj.buf, n);
    if (u0.rows != dj.rows || u0.cols != dj.cols) py_err_with_kind("OutOfDomain", "u0 and dj shapes must match");
    for (const auto& [i, j] : entries) {
        if (i >= n || j >= n) {
            py_err_with_kind("OutOfDomain", "entry (" + std::to_string(i) + "," + std::to_string(j) +
                                                ") out of range for n=" + std::to_string(n));
        }
    }
    const Channels ch = channels_of(u0, dj, static_cast<std::size_t>(n), c);
    return gradient_array("symmetric_op_expmv_frechet", ch, [&](std::span<const double> u, std::span<const double> d) {
        return symmetric_op_expmv_frechet(op, entries, u, d, c, t);
    });
}

}  // namespace

PyMethodDef* graph_expmv_frechet_function_def() {
    static PyMethodDef def = method<void, kGraphFrechetDoc, &graph_expmv_frechet_body>();
    return &def;
}

PyMethodDef* symmetric_op_expmv_frechet_function_def() {
    static PyMethodDef def = method<void, kSymmetricFrechetDoc, &symmetric_op_expmv_frechet_body>();
    return &def;
}

}  // namespace quorvane::py
