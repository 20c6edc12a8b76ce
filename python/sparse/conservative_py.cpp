// Python class ConservativeDiffusionChernoff and the function
// assemble_conservative_csr_1d: conservative 1-D diffusion handed out as a
// SymmetricOperator.
#include <charconv>
#include <cmath>
#include <memory>
#include <optional>

#include "core/sparse/conservative.hpp"
#include "python/sparse/sparse_args.hpp"

namespace quorvane::py {

struct ConservativeObj {
    ConservativeDiffusionChernoff op;
    static ClassDef& class_def();
};

namespace {

#define QV_CLOSURE_DOC                                                                                \
    "The end rows are the cell-centred zero-flux closure: node i is the centre of a cell of\n"      \
    "width dx, so the outer faces sit at x_lo - dx/2 and x_hi + dx/2. Measured against the\n"       \
    "Neumann cosine cos(pi (x - x_lo) / L) on [x_lo, x_hi] the error halves with dx (order 1);\n"   \
    "on the extended interval [x_lo - dx/2, x_hi + dx/2] the scheme is order 2 (its cosines\n"      \
    "cos(pi (x - x_lo + dx/2) / (L + dx)) decay exactly at the discrete rates).\n"

constexpr char kClassDoc[] =
    "Order-2 conservative variable-coefficient diffusion with generator\n"
    "L_k u = d/dx (k(x) du/dx) and harmonic-mean face conductivities.\n\n"
    "Built by ``from_k_array`` from conductivities at the nodes x_i = x_lo + i dx (face\n"
    "conductance 1 / (dx / k_h + r) with k_h the harmonic mean of the two nodes and r an\n"
    "optional contact resistance). Its Chernoff step is Crank-Nicolson\n"
    "(I - tau/2 L_k)^-1 (I + tau/2 L_k) by an O(n) Thomas solve; to evolve, take\n"
    "``to_symmetric_operator()`` (A = -L_k) and ``SymmetricOperator.evolve_batched``.\n\n"
    QV_CLOSURE_DOC
    "\n"
    "Examples\n"
    "--------\n"
    ">>> c = quorvane.ConservativeDiffusionChernoff.from_k_array(50, 0.0, 1.0, np.ones(50))\n"
    ">>> op = c.to_symmetric_operator()\n"
    ">>> print(c.n(), round(c.dx(), 6), op.n())\n"
    "50 0.020408 50\n";
constexpr char kFromDoc[] =
    "from_k_array(n, x_lo, x_hi, k_nodes, r_contact=None, boundary=\"neumann\")\n--\n\n"
    "Face conductances from n node conductivities k_nodes (finite, >= 0; a zero makes the\n"
    "adjacent faces insulating) and optional n - 1 contact resistances. boundary is\n"
    "\"neumann\" or \"dirichlet:<value>\" (any letter case); it is recorded with the class.\n";
constexpr char kToSymDoc[] =
    "to_symmetric_operator($self)\n--\n\n"
    "A new SymmetricOperator holding A = -L_k with zero-flux ends (whatever the recorded\n"
    "boundary rule).\n";
constexpr char kNDoc[] = "n($self)\n--\n\nNumber of nodes.\n";
constexpr char kDxDoc[] = "dx($self)\n--\n\nNode spacing (x_hi - x_lo) / (n - 1).\n";
constexpr char kAssembleDoc[] =
    "assemble_conservative_csr_1d(n, x_lo, x_hi, k_nodes, r_contact=None)\n--\n\n"
    "The SymmetricOperator A = -L_k of L_k u = d/dx (k(x) du/dx): tridiagonal, harmonic-mean\n"
    "face conductances with optional contact resistances, rows summing to zero.\n\n"
    QV_CLOSURE_DOC
    "\n"
    "Examples\n"
    "--------\n"
    ">>> op = quorvane.assemble_conservative_csr_1d(4, 0.0, 1.0, np.ones(4))\n"
    ">>> print(op.n(), bool(np.allclose(op.evolve_batched(1.0, np.ones((4, 1))), 1.0)))   # rows sum to zero\n"
    "4 True\n";

#undef QV_CLOSURE_DOC

struct Inputs {
    Grid1D<double> grid;
    std::vector<double> k;
    std::optional<std::vector<double>> r;
};

std::vector<double> array_values(const Buffer& b, const char* name) {
    if (!b.contiguous()) py_err_with_kind("GridMismatch", std::string(name) + " must be contiguous");
    std::size_t count = 1;
    for (int d = 0; d < b.ndim(); ++d) count *= static_cast<std::size_t>(b.shape(d));
    return std::vector<double>(b.data(), b.data() + count);
}

// Checks shared by both entries, up to the contiguity of the arrays.
Inputs read_inputs(const Args& a, std::optional<std::string>* boundary) {
    const std::uint64_t n = a.u64(0);
    const double x_lo = a.f64(1);
    const double x_hi = a.f64(2);
    const Buffer k = extract_f64_array(a.raw(3), "k_nodes");
    std::optional<Buffer> r;
    if (a.get(4)) r.emplace(extract_f64_array(a.raw(4), "r_contact"));
    if (boundary) *boundary = a.str_or(5, "neumann");
    if (n < 2) py_err_with_kind("GridMismatch", "n must be >= 2");
    if (!std::isfinite(x_lo) || !std::isfinite(x_hi) || !(x_lo < x_hi)) {
        py_err_with_kind("OutOfDomain", "need finite x_lo < x_hi");
    }
    Grid1D<double> grid =
        unwrap(Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), x_lo, x_hi, n));
    Inputs in{grid, array_values(k, "k_nodes"), std::nullopt};
    if (r) in.r = array_values(*r, "r_contact");
    return in;
}

std::vector<double> face_conductances(const Inputs& in, const char* count_message) {
    if (in.k.size() != in.grid.n) unwrap(Status(domain_error(count_message, static_cast<double>(in.k.size()))));
    std::optional<std::span<const double>> r;
    if (in.r) r = std::span<const double>(*in.r);
    return unwrap(check_conservative_coefficients(in.k, r, in.grid.dx()));
}

void parse_boundary(const std::string& text, ConservativeDiffusionChernoff& op) {
    std::string low = text;
    for (char& c : low) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (low == "neumann") {
        op.boundary = ConservativeDiffusionChernoff::Boundary::Neumann;
        return;
    }
    constexpr std::string_view prefix = "dirichlet:";
    if (low.size() >= prefix.size() && low.compare(0, prefix.size(), prefix) == 0) {
        std::string_view rest = std::string_view(low).substr(prefix.size());
        // The decimal float syntax allows one leading sign, '+' included.
        bool plus = !rest.empty() && rest.front() == '+';
        if (plus) rest.remove_prefix(1);
        double v = 0.0;
        const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), v);
        const bool ok = !rest.empty() && ec == std::errc() && end == rest.data() + rest.size() &&
                        !(plus && rest.front() == '-') && rest.find('(') == std::string_view::npos;
        if (!ok) py_err_with_kind("OutOfDomain", "invalid Dirichlet value in '" + text + "'");
        op.boundary = ConservativeDiffusionChernoff::Boundary::Dirichlet;
        op.boundary_value = v;
        return;
    }
    py_err_with_kind("OutOfDomain",
                     "unknown conservative boundary '" + text + "'; valid: \"neumann\", \"dirichlet:<value>\"");
}

Ref cons_from_k_array(const Args& a) {
    std::optional<std::string> boundary;
    const Inputs in = read_inputs(a, &boundary);
    ConservativeDiffusionChernoff op{in.grid, ConservativeDiffusionChernoff::Boundary::Neumann, 0.0, nullptr};
    parse_boundary(*boundary, op);
    op.g = std::make_shared<const std::vector<double>>(
        face_conductances(in, "ConservativeDiffusionChernoff: k_nodes.len() != grid.n"));
    return new_object(ConservativeObj{std::move(op)});
}

Ref cons_to_symmetric(const ConservativeObj& self, const Args&) {
    return symmetric_operator_object(unwrap(self.op.to_symmetric_operator()));
}

Ref cons_n(const ConservativeObj& self, const Args&) { return py_int(self.op.grid.n); }
Ref cons_dx(const ConservativeObj& self, const Args&) { return py_float(self.op.grid.dx()); }

Ref assemble_body(const Args& a) {
    const Inputs in = read_inputs(a, nullptr);
    const std::vector<double> g = face_conductances(in, "assemble_conservative_csr_1d: k_nodes.len() != grid.n");
    return symmetric_operator_object(unwrap(assemble_conservative_csr(g, in.grid.dx(), false)));
}

}  // namespace

ClassDef& ConservativeObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<ConservativeObj>("ConservativeDiffusionChernoff", kClassDoc);
        d.methods = {
            method<ConservativeObj, kFromDoc, &cons_from_k_array>(),
            method<ConservativeObj, kToSymDoc, &cons_to_symmetric>(),
            method<ConservativeObj, kNDoc, &cons_n>(),
            method<ConservativeObj, kDxDoc, &cons_dx>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* conservative_diffusion_chernoff_type_object() { return type_object<ConservativeObj>(); }

PyMethodDef* assemble_conservative_csr_1d_function_def() {
    static PyMethodDef def = method<void, kAssembleDoc, &assemble_body>();
    return &def;
}

}  // namespace quorvane::py
