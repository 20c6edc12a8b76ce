// Python classes Graph, GraphPath and Laplacian: building graphs and their
// Laplacians and reading them back.
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <memory>
#include <string>
#include <vector>

#include "core/graph/graph.hpp"
#include "core/graph/laplacian.hpp"
#include "python/array.hpp"
#include "python/graph/graph_args.hpp"

namespace quorvane::py {
namespace {

constexpr char kGraphDoc[] =
    "Sparse weighted graph in symmetric CSR layout.\n\n"
    "Every undirected edge is stored in both directions with a finite positive weight; rows\n"
    "list their neighbours in ascending order. Graphs are immutable and come only from the\n"
    "static factories ``path``, ``cycle``, ``from_edges`` and ``erdos_renyi``.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = quorvane.Graph.from_edges(4, [0, 1, 1.0, 1, 2, 2.0, 2, 3, 1.0])     # (u, v, w) triples, flat\n"
    ">>> print(g.n_nodes, g.n_directed_edges, g.degree(1))\n"
    "4 6 2\n";

// The refusal of a node count whose graph could not fit in memory.
#define QV_GRAPH_MEMORY_RAISES                                                                       \
    "    \"[OutOfDomain] n_nodes = N: the graph needs at least B bytes, more than this machine's\n"   \
    "    memory (M bytes)\" before anything is allocated, B counting 32 bytes a node and 28 a\n"    \
    "    stored entry.\n"

constexpr char kPathDoc[] =
    "path(n_nodes)\n--\n\n"
    "The path graph 0 - 1 - ... - (n_nodes - 1) with unit weights.\n\n"
    "Raises\n------\nQuorvaneError\n    \"[OutOfDomain] n_nodes must be >= 1\";\n" QV_GRAPH_MEMORY_RAISES;
constexpr char kCycleDoc[] =
    "cycle(n_nodes)\n--\n\n"
    "The cycle graph on n_nodes nodes with unit weights.\n\n"
    "Raises\n------\nQuorvaneError\n    \"[OutOfDomain] cycle requires n_nodes >= 3\";\n" QV_GRAPH_MEMORY_RAISES;
constexpr char kFromEdgesDoc[] =
    "from_edges(n_nodes, edges)\n--\n\n"
    "A graph from (u, v, w) triples.\n\n"
    "Parameters\n----------\n"
    "n_nodes : int\n    Number of nodes, at least 1.\n"
    "edges : numpy.ndarray[float64] of shape (M, 3), or a flat float sequence of length 3*M\n"
    "    Node values truncate toward zero; weights must be finite and positive.\n\n"
    "Raises\n------\n"
    "TypeError\n    For edges of another form.\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain]\" for a self-loop, a node index >= n_nodes (or <= -1), a duplicate\n"
    "    edge or a non-positive weight; \"[NanInf]\" for a NaN or infinite weight or node.\n"
    "    Before the edges are read, with the n_nodes lists alone counted:\n" QV_GRAPH_MEMORY_RAISES;
constexpr char kErdosRenyiDoc[] =
    "erdos_renyi(n_nodes, p, seed=42)\n--\n\n"
    "A G(n, p) random graph with unit weights from a splitmix64 stream seeded by seed.\n\n"
    "Each unordered pair (i, j), i < j in lexicographic order, takes one draw u in [0, 1) and\n"
    "is joined when u < p. Equal arguments give equal graphs.\n\n"
    "Raises\n------\nQuorvaneError\n    \"[OutOfDomain] n_nodes must be >= 1\"; with the node lists counted, and\n"
    "    for p >= 1 the complete graph's n_nodes * (n_nodes - 1) entries:\n" QV_GRAPH_MEMORY_RAISES;
constexpr char kDegreeDoc[] =
    "degree($self, node)\n--\n\n"
    "Number of neighbours of node (not the weighted degree).\n";

Ref graph_path(const Args& a) {
    const std::uint32_t n = a.u32(0);
    if (n == 0) py_err_with_kind("OutOfDomain", "n_nodes must be >= 1");
    return new_object(GraphObj{path_graph(n, "the graph")});
}

Ref graph_cycle(const Args& a) {
    const std::uint32_t n = a.u32(0);
    if (n < 3) py_err_with_kind("OutOfDomain", "cycle requires n_nodes >= 3");
    refuse_graph_beyond_memory(n, 2 * std::uint64_t{n}, "the graph");
    return new_object(GraphObj{std::make_shared<const Graph<double>>(Graph<double>::cycle(n))});
}

Ref graph_from_edges(const Args& a) {
    const std::uint32_t n = a.u32(0);
    if (n == 0) py_err_with_kind("OutOfDomain", "n_nodes must be >= 1");
    // The edges are only known valid one by one; the lists of the n nodes
    // come first.
    refuse_graph_beyond_memory(n, 0, "the graph");
    PyObject* edges = a.raw(1);
    std::vector<double> flat;
    auto buf = Buffer::get(edges, PyBUF_RECORDS_RO);
    if (buf && buf->is_f64() && buf->ndim() == 2) {
        if (buf->shape(1) != 3) {
            raise_type_error("edges array must have shape (M, 3), got (" + std::to_string(buf->shape(0)) + ", " +
                             std::to_string(buf->shape(1)) + ")");
        }
        flat.reserve(static_cast<std::size_t>(buf->shape(0)) * 3);
        for (Py_ssize_t i = 0; i < buf->shape(0); ++i)
            for (Py_ssize_t j = 0; j < 3; ++j) flat.push_back(buf->at(i, j));
    } else {
        buf.reset();
        auto v = try_float_vector(edges);
        if (!v) raise_type_error("edges must be a float64 array: shape (M, 3) or flat 1-D of length 3*M");
        if (v->size() % 3 != 0) py_err_with_kind("OutOfDomain", "edges flat array length must be divisible by 3");
        flat = std::move(*v);
    }
    // The duplicate scans cost O(M * max degree) with the lock held: Ctrl-C
    // is answered between them.
    Graph<double> g = unwrap(run_with_lock_held([&] { return graph_from_edge_values(n, flat); }));
    return new_object(GraphObj{std::make_shared<const Graph<double>>(std::move(g))});
}

Ref graph_erdos_renyi(const Args& a) {
    const std::uint32_t n = a.u32(0);
    const double p = a.f64(1);
    const std::uint64_t seed = a.u64_or(2, 42);
    if (n == 0) py_err_with_kind("OutOfDomain", "n_nodes must be >= 1");
    // Every draw is below p >= 1, so the graph is complete; otherwise only
    // the node lists are certain.
    refuse_graph_beyond_memory(n, p >= 1.0 ? std::uint64_t{n} * (n - 1) : 0, "the graph");
    // n(n - 1)/2 draws with the lock held: Ctrl-C is answered between them.
    Graph<double> g = unwrap(run_with_lock_held([&] { return erdos_renyi(n, p, seed); }));
    return new_object(GraphObj{std::make_shared<const Graph<double>>(std::move(g))});
}

Ref graph_degree(const GraphObj& self, const Args& a) {
    const std::uint32_t node = a.u32(0);
    if (node >= self.graph->n_nodes) py_err_with_kind("OutOfDomain", "node index >= n_nodes");
    return py_int(self.graph->degree(node));
}

Ref graph_n_nodes(const GraphObj& self) { return py_int(self.graph->n_nodes); }
Ref graph_n_directed_edges(const GraphObj& self) { return py_int(self.graph->n_directed_edges()); }

// --- GraphPath ---------------------------------------------------------------

constexpr char kGraphPathDoc[] =
    "GraphPath(n_nodes)\n--\n\n"
    "The path graph 0 - 1 - ... - (n_nodes - 1) with unit weights.\n\n"
    "Accepted as graph= by the graph classes that take a GraphPath.\n\n"
    "Raises\n------\nQuorvaneError\n    \"[OutOfDomain] n_nodes must be >= 1\";\n" QV_GRAPH_MEMORY_RAISES
    "\n"
    "Examples\n"
    "--------\n"
    ">>> p = quorvane.GraphPath(5)\n"
    ">>> print(p.n_nodes(), p.n_directed_edges())\n"
    "5 8\n";
constexpr char kGpNNodesDoc[] = "n_nodes($self)\n--\n\nNumber of nodes.\n";
constexpr char kGpNDirectedDoc[] =
    "n_directed_edges($self)\n--\n\nNumber of directed edge entries, 2 * (n_nodes - 1).\n";

GraphPathObj graph_path_new(const Args& a) {
    const std::uint32_t n = a.u32(0);
    if (n == 0) py_err_with_kind("OutOfDomain", "n_nodes must be >= 1");
    return GraphPathObj{path_graph(n, "the graph")};
}
Ref gp_n_nodes(const GraphPathObj& self, const Args&) { return py_int(self.graph->n_nodes); }
Ref gp_n_directed_edges(const GraphPathObj& self, const Args&) { return py_int(self.graph->n_directed_edges()); }

// --- Laplacian -----------------------------------------------------------------

constexpr char kLaplacianDoc[] =
    "Graph Laplacian in compressed sparse row form with its Gershgorin bound.\n\n"
    "Built by ``combinatorial(graph)`` (L = D - W), ``normalized(graph)``\n"
    "(L = I - D^-1/2 W D^-1/2) or ``from_csr(indptr, indices, data, n)``; read back by\n"
    "``row_ptr()``, ``col_idx()``, ``vals()`` and ``to_dense()``.\n\n"
    "spectral_bound is the largest absolute row sum, computed once in double precision: it is\n"
    "inf where that sum exceeds the double range (weights near 1e308: twice the largest\n"
    "weighted degree above 1.8e308 for ``combinatorial``, where the degree itself may be inf\n"
    "on the diagonal) or where ``from_csr`` data hold inf. The evolvers then read it as no\n"
    "bound and take rho_bar.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> L = quorvane.Laplacian.combinatorial(quorvane.Graph.path(3))\n"
    ">>> print(L.to_dense())\n"
    "[[ 1. -1.  0.]\n"
    " [-1.  2. -1.]\n"
    " [ 0. -1.  1.]]\n"
    ">>> print(L.is_combinatorial, L.spectral_bound)\n"
    "True 4.0\n";
constexpr char kCombinatorialDoc[] =
    "combinatorial(graph)\n--\n\nThe combinatorial Laplacian D - W of a Graph.\n";
constexpr char kNormalizedDoc[] =
    "normalized(graph)\n--\n\n"
    "The symmetric normalized Laplacian I - D^-1/2 W D^-1/2 of a Graph (isolated nodes\n"
    "get all-zero rows).\n";
constexpr char kFromCsrDoc[] =
    "from_csr(indptr, indices, data, n)\n--\n\n"
    "A Laplacian from CSR arrays: indptr int64 of length n + 1 starting at 0, indices int32\n"
    "below n, data float64 with finite entries and non-negative diagonal entries.\n\n"
    "Raises\n------\n"
    "TypeError\n    For arrays of another dtype or dimension.\n"
    "QuorvaneError\n"
    "    kind GridMismatch for a strided (non-contiguous) array, OutOfDomain for a malformed\n"
    "    structure (lengths, offsets, indices of n or more), NanInf for a non-finite entry and\n"
    "    OutOfDomain for a negative diagonal entry (each message names the value).\n";
constexpr char kRowPtrDoc[] = "row_ptr($self)\n--\n\nA copy of the row offsets as int64.\n";
constexpr char kColIdxDoc[] = "col_idx($self)\n--\n\nA copy of the column indices as int64.\n";
constexpr char kValsDoc[] = "vals($self)\n--\n\nA copy of the stored values.\n";
constexpr char kToDenseDoc[] = "to_dense($self)\n--\n\nThe dense (n_nodes, n_nodes) matrix; a repeated entry keeps the later value.\n";

Ref lap_object(Laplacian<double> l) {
    return new_object(LaplacianObj{std::make_shared<const Laplacian<double>>(std::move(l))});
}

Ref lap_combinatorial(const Args& a) {
    const SharedGraph g = with_shared_arg<GraphObj>(a.raw(0), "graph", [](const GraphObj& o) { return o.graph; });
    return lap_object(Laplacian<double>::from_graph(*g, LaplacianKind::Combinatorial));
}

Ref lap_normalized(const Args& a) {
    const SharedGraph g = with_shared_arg<GraphObj>(a.raw(0), "graph", [](const GraphObj& o) { return o.graph; });
    return lap_object(Laplacian<double>::from_graph(*g, LaplacianKind::Normalized));
}

Ref lap_from_csr(const Args& a) {
    const Buffer indptr = extract_array_1d(a.raw(0), "indptr", ElemKind::I64);
    const Buffer indices = extract_array_1d(a.raw(1), "indices", ElemKind::I32);
    const Buffer data = extract_array_1d(a.raw(2), "data", ElemKind::F64);
    const std::uint64_t n = a.u64(3);
    if (!indptr.contiguous()) py_err_with_kind("GridMismatch", "indptr must be contiguous");
    if (!indices.contiguous()) py_err_with_kind("GridMismatch", "indices must be contiguous");
    if (!data.contiguous()) py_err_with_kind("GridMismatch", "data must be contiguous");
    auto copy = [](const Buffer& b, auto* tag) {
        using T = std::remove_pointer_t<decltype(tag)>;
        std::vector<T> out(static_cast<std::size_t>(b.shape(0)));
        if (!out.empty()) std::memcpy(out.data(), b.view().buf, out.size() * sizeof(T));
        return out;
    };
    // Negative indices read as huge unsigned values and fail the range checks.
    std::vector<std::uint64_t> row_ptr = copy(indptr, static_cast<std::uint64_t*>(nullptr));
    std::vector<std::uint32_t> col_idx = copy(indices, static_cast<std::uint32_t*>(nullptr));
    std::vector<double> vals = copy(data, static_cast<double*>(nullptr));
    Laplacian<double> l = unwrap(from_csr_parts(n, std::move(row_ptr), std::move(col_idx), std::move(vals),
                                                LaplacianKind::GeneralSymmetric));
    unwrap(check_laplacian_entries(l));
    return lap_object(std::move(l));
}

Ref lap_n_nodes(const LaplacianObj& self) { return py_int(self.laplacian->n_nodes); }
Ref lap_bound(const LaplacianObj& self) { return py_float(self.laplacian->spectral_bound); }
Ref lap_is_combinatorial(const LaplacianObj& self) { return py_bool(self.laplacian->kind == LaplacianKind::Combinatorial); }
Ref lap_is_normalized(const LaplacianObj& self) { return py_bool(self.laplacian->kind == LaplacianKind::Normalized); }

Ref lap_row_ptr(const LaplacianObj& self, const Args&) {
    const auto& r = self.laplacian->row_ptr;
    std::vector<long long> v(r.begin(), r.end());
    return new_array_i64(v);
}
Ref lap_col_idx(const LaplacianObj& self, const Args&) {
    const auto& c = self.laplacian->col_idx;
    std::vector<long long> v(c.begin(), c.end());
    return new_array_i64(v);
}
Ref lap_vals(const LaplacianObj& self, const Args&) { return new_array_f64(self.laplacian->vals); }

Ref lap_to_dense(const LaplacianObj& self, const Args&) {
    const Laplacian<double>& l = *self.laplacian;
    const auto n = static_cast<std::size_t>(l.n_nodes);
    std::size_t nn = 0;
    if (__builtin_mul_overflow(n, n, &nn)) py_err_with_kind("OutOfDomain", "n * n overflows usize");
    std::vector<double> dense(nn, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::uint64_t k = l.row_ptr[i]; k < l.row_ptr[i + 1]; ++k) dense[i * n + l.col_idx[k]] = l.vals[k];
    return new_array_f64_2d(n, n, dense);
}

}  // namespace

ClassDef& GraphObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<GraphObj>("Graph", kGraphDoc);
        d.methods = {
            method<GraphObj, kPathDoc, &graph_path>(),
            method<GraphObj, kCycleDoc, &graph_cycle>(),
            method<GraphObj, kFromEdgesDoc, &graph_from_edges>(),
            method<GraphObj, kErdosRenyiDoc, &graph_erdos_renyi>(),
            method<GraphObj, kDegreeDoc, &graph_degree>(),
        };
        d.getters = {
            getter<GraphObj, &graph_n_nodes>("n_nodes", "Number of nodes in the graph."),
            getter<GraphObj, &graph_n_directed_edges>("n_directed_edges",
                                                      "Number of directed edge entries (= 2 \u00d7 undirected edges)."),
        };
        return d;
    }();
    return def;
}

ClassDef& GraphPathObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<GraphPathObj>("GraphPath", kGraphPathDoc);
        d.tp_new = constructor<GraphPathObj, kGraphPathDoc, &graph_path_new>();
        d.methods = {
            method<GraphPathObj, kGpNNodesDoc, &gp_n_nodes>(),
            method<GraphPathObj, kGpNDirectedDoc, &gp_n_directed_edges>(),
        };
        return d;
    }();
    return def;
}

ClassDef& LaplacianObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<LaplacianObj>("Laplacian", kLaplacianDoc);
        d.methods = {
            method<LaplacianObj, kCombinatorialDoc, &lap_combinatorial>(),
            method<LaplacianObj, kNormalizedDoc, &lap_normalized>(),
            method<LaplacianObj, kFromCsrDoc, &lap_from_csr>(),
            method<LaplacianObj, kToDenseDoc, &lap_to_dense>(),
            method<LaplacianObj, kRowPtrDoc, &lap_row_ptr>(),
            method<LaplacianObj, kColIdxDoc, &lap_col_idx>(),
            method<LaplacianObj, kValsDoc, &lap_vals>(),
        };
        d.getters = {
            getter<LaplacianObj, &lap_n_nodes>("n_nodes", "Number of nodes."),
            getter<LaplacianObj, &lap_is_combinatorial>("is_combinatorial",
                                                        "True iff this is the combinatorial Laplacian L = D - W."),
            getter<LaplacianObj, &lap_is_normalized>("is_normalized",
                                                     "True iff this is the symmetric normalized Laplacian."),
            getter<LaplacianObj, &lap_bound>("spectral_bound", "Gershgorin spectral-radius upper bound (cached)."),
        };
        return d;
    }();
    return def;
}

PyTypeObject* graph_type_object() { return type_object<GraphObj>(); }
PyTypeObject* graph_path_type_object() { return type_object<GraphPathObj>(); }
PyTypeObject* laplacian_type_object() { return type_object<LaplacianObj>(); }

}  // namespace quorvane::py
