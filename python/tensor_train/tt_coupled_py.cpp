// Python class TtCoupledEvolver: diffusion coupling adjacent axes of a TtState.
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/tensor_train/tt_coupled.hpp"
#include "core/tensor_train/tt_coupled_pair.hpp"
#include "python/array.hpp"
#include "python/frame.hpp"
#include "python/tensor_train/tt_state_py.hpp"

namespace quorvane::py {
namespace {

struct TtCoupledEvolverObj {
    CoupledTtChernoff chernoff;
    static ClassDef& class_def();
};

constexpr char kTtCoupledEvolverDoc[] =
    "TtCoupledEvolver(a, b, c, coupling, dom_min, dom_max, eps_round)\n--\n\n"
    "Tensor-train Chernoff evolver for diffusion that couples adjacent axes.\n\n"
    "Approximates exp(t L) for L = sum_j a_j d^2/dx_j^2 + sum_pairs 2 rho sqrt(a_j a_k)\n"
    "d^2/dx_j dx_k + c, every axis periodic on the state's nodes (h_j = (hi_j - lo_j)/(n_j - 1)).\n"
    "A step applies the separable Chernoff step of `TtEvolver` to every axis in no pair, the\n"
    "exact periodic factor exp(tau L_pair) to every pair (the diffusion of an axis shared out\n"
    "over the pairs naming it; merged, multiplied in Fourier space and split again by a\n"
    "truncated SVD), the reaction factor 1 + tau c and TT rounding. With two or more pairs the\n"
    "pair factors run as a forward and a backward sweep of tau/2 each.\n\n"
    "Parameters\n----------\n"
    "a : sequence of float\n    Per-axis diffusion coefficients (all >= 0, finite).\n"
    "b : sequence of float\n    Per-axis drift coefficients; must all be zero.\n"
    "c : float\n    Scalar reaction coefficient (finite).\n"
    "coupling : tuple\n"
    "    (\"None\",), (\"Tridiagonal\", rho) for every adjacent pair with the same rho, or\n"
    "    (\"Pairs\", [(j, k, rho), ...]) for explicit adjacent pairs.\n"
    "dom_min, dom_max : sequence of float\n    Per-axis bounds, lo < hi, both finite.\n"
    "eps_round : float\n    TT-rounding tolerance (relative; finite, of either sign).\n\n"
    "Raises\n------\n"
    "IndexError, TypeError\n    For a coupling tuple without its tag or value, or a tag that is not a str.\n"
    "QuorvaneError\n"
    "    kind GridMismatch for an empty axis list, malformed pairs, an axis index out of range\n"
    "    or bounds not giving one pair per axis; kind NanInf for non-finite values or a\n"
    "    negative a[j]; kind OutOfDomain for an unknown tag, a nonzero drift, a pair that is\n"
    "    not adjacent or a pair block that is not positive definite.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> s = quorvane.TtState([np.ones(16), np.ones(16)])\n"
    ">>> ev = quorvane.TtCoupledEvolver([1.0, 1.0], [0.0, 0.0], 0.0, (\"Tridiagonal\", 0.3), [0.0, 0.0], [1.0, 1.0], 1e-10)\n"
    ">>> ev.evolve(s, 0.01, 5)\n"
    ">>> print(ev.ndim(), s.peak_rank())\n"
    "2 1\n";

// The coupling tuple (check 6 of the constructor): tag, then its value.
CouplingSpec parse_coupling(PyObject* tuple, std::size_t d, const std::string& ctx) {
    auto element = [&](Py_ssize_t i) -> PyObject* {
        if (PyTuple_Size(tuple) <= i) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            throw_python_error();
        }
        return PyTuple_GetItem(tuple, i);
    };
    PyObject* tag_obj = element(0);
    if (!PyUnicode_Check(tag_obj)) {
        raise_type_error("'" + type_name_of(tag_obj) + "' object cannot be converted to 'PyString'");
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(tag_obj, &len);
    if (!utf8) throw_python_error();
    const std::string tag(utf8, static_cast<std::size_t>(len));

    CouplingSpec spec;
    if (tag == "None") return spec;
    if (tag == "Tridiagonal") {
        const double rho = PyFloat_AsDouble(element(1));
        if (rho == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            py_err_with_kind("NanInf", ctx + ": Tridiagonal rho must be float");
        }
        if (!std::isfinite(rho)) py_err_with_kind("NanInf", ctx + ": Tridiagonal rho is non-finite");
        spec.kind = CouplingSpec::Kind::Tridiagonal;
        spec.rho = rho;
        return spec;
    }
    if (tag != "Pairs") {
        py_err_with_kind("OutOfDomain", ctx + ": unknown coupling tag '" + tag + "'; expected None/Tridiagonal/Pairs");
    }
    Ref list = Ref::borrowed(element(1));
    const std::string malformed = ctx + ": Pairs expects list of (j, k, rho) tuples";
    auto index = [](PyObject* o) -> std::optional<std::uint64_t> {
        Ref idx(PyNumber_Index(o));
        if (!idx) return std::nullopt;
        const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
        return static_cast<std::uint64_t>(v);
    };
    std::vector<AxisPair> pairs;
    if (PyUnicode_Check(list.get()) || !PySequence_Check(list.get())) py_err_with_kind("GridMismatch", malformed);
    const Py_ssize_t n = PySequence_Size(list.get());
    if (n < 0) {
        PyErr_Clear();
        py_err_with_kind("GridMismatch", malformed);
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item(PySequence_GetItem(list.get(), i));
        std::optional<std::uint64_t> j, k;
        double rho = 0.0;
        bool ok = item && PyTuple_Check(item.get()) && PyTuple_Size(item.get()) == 3;
        if (ok) ok = (j = index(PyTuple_GetItem(item.get(), 0))) && (k = index(PyTuple_GetItem(item.get(), 1)));
        if (ok) {
            rho = PyFloat_AsDouble(PyTuple_GetItem(item.get(), 2));
            ok = !(rho == -1.0 && PyErr_Occurred());
        }
        if (!ok) {
            PyErr_Clear();
            py_err_with_kind("GridMismatch", malformed);
        }
        pairs.push_back({*j, *k, rho});
    }
    for (const AxisPair& p : pairs) {
        if (p.j >= d || p.k >= d) py_err_with_kind("GridMismatch", ctx + ": pair axis index out of range");
        if (!std::isfinite(p.rho)) py_err_with_kind("NanInf", ctx + ": pair rho is non-finite");
    }
    spec.kind = CouplingSpec::Kind::Pairs;
    spec.pairs = std::move(pairs);
    return spec;
}

// Each pair adjacent and its block, as the pair factor will see it, positive
// definite: the same degrees, shares and rho' that evolve uses, so a coupling
// accepted here is one evolve can run.
void check_pairs(CouplingSpec& spec, const std::vector<double>& a, const std::string& ctx) {
    const std::size_t d = a.size();
    std::vector<AxisPair> pairs = spec.pair_list(d);
    std::vector<AxisPair> normalised;
    for (const AxisPair& p : pairs) {
        normalised.push_back({std::min(p.j, p.k), std::max(p.j, p.k), p.rho});
    }
    const std::vector<double> degree = axis_degrees(normalised, d);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const AxisPair& p = normalised[i];
        if (p.k != p.j + 1) {
            py_err_with_kind("OutOfDomain", ctx + ": pair (" + std::to_string(pairs[i].j) + "," +
                                                std::to_string(pairs[i].k) + ") is not adjacent");
        }
        const PairBlock blk = pair_block(a, degree, p);
        const std::string pair = ctx + ": pair (" + std::to_string(p.j) + "," + std::to_string(p.k) + ") block ";
        const double lambda_min = pair_block_min_eigenvalue(blk.c_j, blk.c_k, blk.rho);
        // Not reached with the finite a and rho checked above; a NaN must
        // never pass as positive definite.
        if (std::isnan(lambda_min)) py_err_with_kind("NanInf", pair + "has no finite smallest eigenvalue (NaN)");
        if (lambda_min <= 0.0) {
            const double det = pair_block_det(blk.c_j, blk.c_k, blk.rho);
            py_err_with_kind("OutOfDomain", pair + "is not SPD (det=" + fmt_exp3(det) + ")");
        }
    }
    if (spec.kind == CouplingSpec::Kind::Pairs) spec.pairs = std::move(normalised);
}

TtCoupledEvolverObj tt_coupled_new(const Args& args) {
    std::vector<double> a = float_vec_arg(args, 0);
    std::vector<double> b = float_vec_arg(args, 1);
    const double c = args.f64(2);
    PyObject* coupling = args.tuple(3);
    const std::vector<double> dom_min = float_vec_arg(args, 4);
    const std::vector<double> dom_max = float_vec_arg(args, 5);
    const double eps_round = args.f64(6);
    const std::string ctx = "TtCoupledEvolver";
    std::vector<std::pair<double, double>> domain = check_separable_args(ctx, a, b, c, eps_round, dom_min, dom_max);
    CouplingSpec spec = parse_coupling(coupling, a.size(), ctx);
    for (std::size_t j = 0; j < b.size(); ++j) {
        if (b[j] != 0.0) {
            py_err_with_kind("OutOfDomain", ctx + ": b[" + std::to_string(j) + "] != 0 (drift deferred to v9.2.0)");
        }
    }
    check_pairs(spec, a, ctx);
    check_axis_counts(ctx, a.size(), b.size(), domain.size());
    return TtCoupledEvolverObj{
        CoupledTtChernoff(std::move(a), std::move(b), c, std::move(spec), std::move(domain), eps_round)};
}

Ref tt_coupled_ndim(const TtCoupledEvolverObj& self, const Args&) { return py_int(self.chernoff.a.size()); }

Ref tt_coupled_evolve(const TtCoupledEvolverObj& self, const Args& a) {
    return evolve_tt_with(self.chernoff, "TtCoupledEvolver.evolve", a);
}

}  // namespace

ClassDef& TtCoupledEvolverObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<TtCoupledEvolverObj>("TtCoupledEvolver", kTtCoupledEvolverDoc);
        d.tp_new = constructor<TtCoupledEvolverObj, kTtCoupledEvolverDoc, &tt_coupled_new>();
        d.methods = {
            method<TtCoupledEvolverObj, kTtEvolverNdimDoc, &tt_coupled_ndim>(),
            method<TtCoupledEvolverObj, kTtChernoffEvolveDoc, &tt_coupled_evolve>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* tt_coupled_evolver_type_object() { return type_object<TtCoupledEvolverObj>(); }

}  // namespace quorvane::py
