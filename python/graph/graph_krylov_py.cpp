// Python class GraphKrylov: e^{-t L} on many columns in one call, by a
// Chebyshev expansion or a Lanczos projection.
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/foundation/numeric.hpp"
#include "core/graph/graph_krylov.hpp"
#include "python/graph/graph_args.hpp"

namespace quorvane::py {

namespace {

constexpr char kGraphKrylovDoc[] =
    "GraphKrylov(laplacian, *, path=\"chebyshev\", tol=1e-10, m_max=18)\n--\n\n"
    "The exponential action e^{-t L} of a Laplacian on many node signals in one call,\n"
    "whatever t (no step count).\n\n"
    "Parameters\n----------\n"
    "laplacian : Laplacian\n    The operator (symmetric, spectrum in [0, spectral_bound]).\n"
    "path : str, optional\n"
    "    \"chebyshev\" (default): a Chebyshev expansion with exponentially scaled Bessel\n"
    "    coefficients, a constant number of work vectors and a degree chosen from the Bessel\n"
    "    tail; \"lanczos\": an m-dimensional Krylov basis with a Pade exponential.\n"
    "tol : float, optional\n"
    "    Target accuracy, finite and > 0 (default 1e-10). On the chebyshev path it bounds\n"
    "    each column's error over the whole t, ||out - e^{-tL} v||_2 <= tol ||v||_2, however\n"
    "    many sub-steps t * spectral_bound takes; a tol below what its rounding allows over\n"
    "    that t is refused by evolve_batched, naming a tol it meets.\n"
    "m_max : int, optional\n"
    "    Largest Krylov dimension for \"lanczos\" (capped at 18, at least 1); ignored by\n"
    "    Chebyshev. A dimension below the one t * spectral_bound calls for takes more\n"
    "    sub-steps so that tol still holds (a tol below 2.2e-16, which the full dimension\n"
    "    does not reach either, counts as 2.2e-16), or is refused naming the m_max needed.\n"
    "    A t * spectral_bound for which even the full dimension would take more than 1e7\n"
    "    operator products is refused whatever m_max, naming the longest t \"lanczos\" serves\n"
    "    and \"chebyshev\" where that serves t.\n\n"
    "Raises\n------\nQuorvaneError\n"
    "    \"[Unsupported]\" for another path, \"[OutOfDomain]\"/\"[NanInf]\" for a bad tol,\n"
    "    \"[OutOfDomain]\" for m_max = 0 with \"lanczos\".\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> L = quorvane.Laplacian.combinatorial(quorvane.Graph.path(8))\n"
    ">>> gk = quorvane.GraphKrylov(L)\n"
    ">>> out = gk.evolve_batched(1.0, np.eye(8)[:, :2])      # e^{-L} applied to two columns\n"
    ">>> w, V = np.linalg.eigh(L.to_dense())\n"
    ">>> print(f\"{abs(out - V @ np.diag(np.exp(-w)) @ V.T[:, :2]).max():.0e}\")\n"
    "2e-11\n";
constexpr char kBatchedDoc[] =
    "evolve_batched($self, t, features_nc)\n--\n\n"
    "Apply e^{-t L} to every column of the [N, C] array features_nc; returns a new [N, C]\n"
    "array. Columns are spread over the worker threads. A t * spectral_bound so large that\n"
    "the action would need more than 1e7 operator products is refused before any product\n"
    "(kind OutOfDomain), naming the longest t the path serves on this operator (and tol):\n"
    "\"...; it serves t up to {X} on this operator\".\n";
constexpr char kNNodesDoc[] = "n_nodes($self)\n--\n\nThe Laplacian's node count.\n";

GraphKrylovObj graph_krylov_new(const Args& a) {
    const SharedLaplacian lap =
        with_shared_arg<LaplacianObj>(a.raw(0), "laplacian", [](const LaplacianObj& o) { return o.laplacian; });
    const std::string path = a.str_or(1, "chebyshev");
    const double tol = a.f64_or(2, 1e-10);
    const std::uint32_t m_max = a.u32_or(3, 18);
    KrylovPath kp;
    if (path == "chebyshev") {
        kp = KrylovPath::chebyshev();
    } else if (path == "lanczos") {
        kp = KrylovPath::lanczos(m_max);
    } else if (path == "implicit") {
        py_err_with_kind("Unsupported",
                         "path='implicit' is not available on GraphKrylov; use "
                         "SymmetricOperator.evolve_batched(path='implicit') instead");
    } else {
        py_err_with_kind("Unsupported", "path must be 'chebyshev' or 'lanczos', got '" + path + "'");
    }
    GraphKrylovChernoff op = unwrap(GraphKrylovChernoff::make(kp, lap, tol));
    refuse_graph_beyond_memory(lap->n_nodes, 0, "the edgeless graph that carries the Laplacian");
    auto carrier = std::make_shared<const Graph<double>>(Graph<double>::edgeless(lap->n_nodes));
    return GraphKrylovObj{std::move(op), std::move(carrier)};
}

Ref graph_krylov_evolve_batched(const GraphKrylovObj& self, const Args& a) {
    const double t = a.f64(0);
    const Array2D f = extract_f64_array_2d(a.raw(1), "features_nc");
    if (!finite_nonneg(t)) py_err_with_kind("OutOfDomain", "t_final must be finite and >= 0");
    const Columns cols = columns_from_f0(*f.buf, self.op.laplacian->n_nodes, "features_nc");
    const GraphKrylovChernoff& op = self.op;
    auto r = run_evolve([&]() -> Expected<std::vector<double>> {
        std::vector<double> dst(cols.data.size(), 0.0);
        Status st = evolve_columns(self.carrier->n_nodes, 1, cols.data, dst,
                                   [&](std::span<const double> s, std::span<double> d, ScratchPool<double>& pool) {
                                       return op.apply_into(t, s, d, pool);
                                   });
        if (!st) return fail(st.error());
        return dst;
    });
    if (!r) {
        refuse_krylov_beyond_work(r.error(), t, op.spectral_bound, op.tol, op.laplacian->n_nodes,
                                   [&] { return op.spectral_bound; });
    }
    return cols_to_features_nc(unwrap(std::move(r)), cols.n, cols.c);
}

Ref graph_krylov_n_nodes(const GraphKrylovObj& self, const Args&) { return py_int(self.op.laplacian->n_nodes); }

}  // namespace

ClassDef& GraphKrylovObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<GraphKrylovObj>("GraphKrylov", kGraphKrylovDoc);
        d.tp_new = constructor<GraphKrylovObj, kGraphKrylovDoc, &graph_krylov_new>();
        d.methods = {
            method<GraphKrylovObj, kBatchedDoc, &graph_krylov_evolve_batched>(),
            method<GraphKrylovObj, kNNodesDoc, &graph_krylov_n_nodes>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* graph_krylov_type_object() { return type_object<GraphKrylovObj>(); }

}  // namespace quorvane::py
