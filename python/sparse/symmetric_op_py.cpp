// Python class SymmetricOperator: an externally assembled symmetric CSR
// operator, validated once, evolved by e^{-tA} column by column.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/foundation/numeric.hpp"
#include "python/graph/graph_args.hpp"
#include "python/sparse/sparse_args.hpp"

namespace quorvane::py {

namespace {

constexpr char kSymmetricDoc[] =
    "A validated symmetric positive-semidefinite sparse operator A given in CSR form.\n\n"
    "Built by ``SymmetricOperator.from_csr``; evolved by e^{-tA} with the Chebyshev,\n"
    "Lanczos or implicit backward-Euler action over a batch of columns.\n\n"
    "Construction checks that every entry is finite, the CSR structure is valid (indptr\n"
    "starting at 0), every diagonal entry is >= 0 and every off-diagonal entry has a\n"
    "stored partner that agrees within sym_tol (rows must list their columns in ascending\n"
    "order). Positive semidefiniteness itself is the caller's promise: an indefinite\n"
    "symmetric matrix passes these checks, and the Chebyshev path assumes a spectrum in\n"
    "[0, lambda_max_bound()].\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import scipy.sparse as sp\n"
    ">>> A = sp.diags([[-1.0] * 4, [2.0] * 5, [-1.0] * 4], [-1, 0, 1], format=\"csr\")\n"
    ">>> A.sort_indices()                                   # ascending columns within each row\n"
    ">>> op = quorvane.SymmetricOperator.from_csr(A.indptr.astype(np.int64), A.indices.astype(np.int32), A.data, 5)\n"
    ">>> out = op.evolve_batched(0.5, np.eye(5)[:, :1])\n"
    ">>> w, V = np.linalg.eigh(A.toarray())\n"
    ">>> print(f\"{abs(out[:, 0] - V @ (np.exp(-0.5 * w) * V[0])).max():.0e}\")\n"
    "5e-12\n";
constexpr char kFromCsrDoc[] =
    "from_csr(indptr, indices, data, n, sym_tol=1e-10)\n--\n\n"
    "Validate CSR arrays (int64 indptr of length n + 1 starting at 0, int32 indices with\n"
    "ascending columns per row, float64 data) as a symmetric operator; the arrays are\n"
    "copied.\n\n"
    "Raises\n------\nQuorvaneError\n"
    "    kind NanInf for a non-finite entry (checked first); kind OutOfDomain for a malformed\n"
    "    structure (lengths, offsets, indices of n or more), a negative diagonal entry, an\n"
    "    entry (i, j) without its mirror (j, i), which is also what unsorted columns give\n"
    "    (\"no (j,i) entry for existing (i,j)\"), and a pair (i, j), (j, i) further apart than\n"
    "    sym_tol.\n";
constexpr char kEvolveBatchedDoc[] =
    "evolve_batched($self, t, v_nc, path=\"chebyshev\", tol=1e-10, m_max=18, n_steps=100, cg_max_iter=None)\n--\n\n"
    "Apply e^{-tA} to each column of the [N, C] float64 array v_nc; returns a new [N, C]\n"
    "array. path is \"chebyshev\", \"lanczos\" (Krylov dimension m_max) or \"implicit\"\n"
    "(n_steps backward-Euler steps (I + (t/n_steps)A)^{-1}, each by conjugate gradients,\n"
    "capped at cg_max_iter iterations when given). Columns run in parallel.\n\n"
    "On the chebyshev path tol bounds each column's error over the whole t,\n"
    "||out - e^{-tA} v||_2 <= tol ||v||_2, however many sub-steps t * lambda_max_bound()\n"
    "takes. On the implicit path it bounds the solves: each stops within tol of its step's\n"
    "change (after at least one iteration), about tol ||v||_2 in all; backward Euler's own\n"
    "error, first order in t/n_steps, is not bounded by tol.\n\n"
    "Raises\n------\nQuorvaneError\n"
    "    \"[NanInf] v_nc contains NaN or Inf: {value}\" before any work; kind NanInf for a result\n"
    "    beyond the double range; kind OutOfDomain when the Chebyshev expansion grows a vector,\n"
    "    which shows a spectrum outside [0, lambda_max_bound()] (an indefinite matrix), and\n"
    "    when tol is below what the Chebyshev path's rounding allows over this t (the message\n"
    "    ends \"use tol >= 1e-12\" or the like, naming a tol the call meets); kind\n"
    "    OutOfDomain when the chebyshev or lanczos action would need more than 1e7 operator\n"
    "    products, before any product, naming the longest t the path serves on this operator\n"
    "    (\"...; it serves t up to {X} on this operator\"); kind\n"
    "    ConvergenceFailed when an implicit solve uses up its iterations (\"convergence failed:\n"
    "    last_residual = ..., max_iter = ...\"), with a note naming what passes: a cg_max_iter, an\n"
    "    n_steps or path=\"chebyshev\".\n";
constexpr char kNDoc[] = "n($self)\n--\n\nOperator dimension.\n";
constexpr char kBoundDoc[] = "lambda_max_bound($self)\n--\n\nGershgorin spectral-radius upper bound ``ρ̄ ≥ ρ(A)``.\n";

template <class T>
std::vector<T> copy_elements(const Buffer& b) {
    std::vector<T> out(static_cast<std::size_t>(b.shape(0)));
    if (!out.empty()) std::memcpy(out.data(), b.view().buf, out.size() * sizeof(T));
    return out;
}

Ref sym_from_csr(const Args& a) {
    const Buffer indptr = extract_array_1d(a.raw(0), "indptr", ElemKind::I64);
    const Buffer indices = extract_array_1d(a.raw(1), "indices", ElemKind::I32);
    const Buffer data = extract_array_1d(a.raw(2), "data", ElemKind::F64);
    const std::uint64_t n = a.u64(3);
    const double sym_tol = a.f64_or(4, 1e-10);
    if (!indptr.contiguous()) py_err_with_kind("GridMismatch", "indptr must be contiguous");
    if (!indices.contiguous()) py_err_with_kind("GridMismatch", "indices must be contiguous");
    if (!data.contiguous()) py_err_with_kind("GridMismatch", "data must be contiguous");
    // int64 and int32 bit patterns taken as unsigned: a negative entry becomes
    // a huge one and fails a range check.
    const std::vector<std::uint64_t> row_ptr = copy_elements<std::uint64_t>(indptr);
    const std::vector<std::uint32_t> col_idx = copy_elements<std::uint32_t>(indices);
    const std::vector<double> vals = copy_elements<double>(data);
    return symmetric_operator_object(unwrap(SymmetricOperator::from_csr(n, row_ptr, col_idx, vals, sym_tol)));
}

Ref sym_evolve_batched(const SymmetricOperatorObj& self, const Args& a) {
    const double t = a.f64(0);
    const Array2D v = extract_f64_array_2d(a.raw(1), "v_nc");
    const KrylovOptions opt = krylov_options(a, 2, t, true);
    const std::uint64_t n = self.op.n();
    const Columns cols = columns_from_f0(*v.buf, n, "v_nc");
    const SharedLaplacian op = self.op.laplacian();
    std::vector<double> dst(cols.data.size(), 0.0);
    const Status st = without_gil([&] { return krylov_evolve_columns(op, opt.path, opt.tol, t, cols.data, dst); });
    if (!st) {
        refuse_krylov_beyond_work(st.error(), t, op->spectral_bound, opt.tol, n, [&] { return op->spectral_bound; });
        raise_core_error(st.error(), {},
                         implicit_convergence_note(st.error(), opt.path, opt.tol, {t, op->spectral_bound, n, true}));
    }
    return cols_to_features_nc(dst, cols.n, cols.c);
}

Ref sym_n(const SymmetricOperatorObj& self, const Args&) { return py_int(self.op.n()); }
Ref sym_bound(const SymmetricOperatorObj& self, const Args&) { return py_float(self.op.spectral_bound()); }

}  // namespace

SymmetricOperator symmetric_operator_arg(const Args& a, std::size_t i) {
    return with_shared_arg<SymmetricOperatorObj>(a.raw(i), a.name(i),
                                                 [](const SymmetricOperatorObj& o) { return o.op; });
}

Ref symmetric_operator_object(SymmetricOperator op) { return new_object(SymmetricOperatorObj{std::move(op)}); }

KrylovPath parse_krylov_path(const std::string& path, std::uint32_t m_max, std::uint64_t n_steps,
                             std::optional<std::uint64_t> cg_max_iter) {
    if (path == "chebyshev") return KrylovPath::chebyshev();
    if (path == "lanczos") return KrylovPath::lanczos(m_max);
    if (path == "implicit") return KrylovPath::implicit(n_steps, cg_max_iter);
    py_err_with_kind("Unsupported", "path must be 'chebyshev', 'lanczos', or 'implicit', got '" + path + "'");
}

KrylovOptions krylov_options(const Args& a, std::size_t i, double t, bool with_cg) {
    const std::string path = a.str_or(i, "chebyshev");
    const double tol = a.f64_or(i + 1, 1e-10);
    const std::uint32_t m_max = a.u32_or(i + 2, 18);
    const std::uint64_t n_steps = a.u64_or(i + 3, 100);
    std::optional<std::uint64_t> cg;
    if (with_cg && a.get(i + 4)) cg = a.u64(i + 4);
    if (!finite_nonneg(t)) py_err_with_kind("OutOfDomain", "t_final must be finite and >= 0");
    return {parse_krylov_path(path, m_max, n_steps, cg), tol};
}

std::string implicit_convergence_note(const CoreError& e, const KrylovPath& path, double tol, const ImplicitSolves& s) {
    if (e.variant() != CoreError::Variant::ConvergenceFailed || path.kind != KrylovPath::Kind::Implicit) return {};
    const std::uint64_t cap = e.count();
    const double dt = s.t / static_cast<double>(path.n_steps);
    const std::uint64_t need = cg_iteration_bound(dt, s.spectral_bound, tol);
    const bool bounded = need != UINT64_MAX;
    std::string note;
    if (bounded && need > cap) {
        note = "Each backward-Euler solve may take up to " + std::to_string(need) +
               " conjugate-gradient iterations here (max(ln(2/tol), 1) * sqrt(1 + (t/n_steps) * spectral_bound) with "
               "(t/n_steps) * spectral_bound = " + fmt_exp3(dt * s.spectral_bound) + "), more than the " +
               std::to_string(cap) + " allowed";
        if (path.cg_max_iter) note += " by cg_max_iter";
        else if (cap == s.n) note += ", the operator's dimension";
        if (!s.takes_cap) note += " (this call takes no cg_max_iter)";
        note += ". ";
    } else {
        note = "A backward-Euler solve did not reach tol within " + std::to_string(cap) +
               " conjugate-gradient iterations. ";
    }
    std::vector<std::string> ways;
    if (s.takes_cap && bounded && need > cap) ways.push_back("cg_max_iter=" + std::to_string(need));
    // With the derived cap, steps whose bound is within the dimension get
    // their whole bound.
    const std::uint64_t budget = path.cg_max_iter ? *path.cg_max_iter : std::max<std::uint64_t>(s.n, 16);
    if (const std::optional<std::uint64_t> steps = cg_steps_within(s.t, s.spectral_bound, tol, budget);
        steps && *steps > path.n_steps) {
        ways.push_back("n_steps >= " + std::to_string(*steps) + ", whose shorter steps' solves take at most " +
                       std::to_string(budget) + " iterations");
    }
    if (chebyshev_plan_fits(s.t, s.spectral_bound, tol)) {
        ways.push_back("path=\"chebyshev\", which applies e^{-tA} without solves");
    }
    if (ways.empty()) {
        return note + "No step count, iteration cap or other path is known to pass here; a looser tol shortens the "
                      "solves (their bound grows with ln(2/tol))";
    }
    note += "What passes: ";
    for (std::size_t i = 0; i < ways.size(); ++i) {
        if (i > 0) note += i + 1 == ways.size() ? "; or " : "; ";
        note += ways[i];
    }
    return note + ".";
}

std::vector<double> contiguous_values(const Buffer& b, const char* name, std::uint64_t n, const char* n_name) {
    if (!b.contiguous()) py_err_with_kind("GridMismatch", std::string(name) + " must be contiguous");
    std::size_t count = 1;
    for (int k = 0; k < b.ndim(); ++k) count *= static_cast<std::size_t>(b.shape(k));
    if (count != n) {
        py_err_with_kind("GridMismatch", std::string(name) + " length " + std::to_string(count) + " != " + n_name +
                                             " " + std::to_string(n));
    }
    std::vector<double> out(count);
    if (count != 0) std::memcpy(out.data(), b.view().buf, count * sizeof(double));
    return out;
}

std::vector<double> finite_values(const Buffer& b, const char* name, std::uint64_t n, const char* n_name) {
    std::vector<double> out = contiguous_values(b, name, n, n_name);
    check_finite_input(out, name);
    return out;
}

ClassDef& SymmetricOperatorObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<SymmetricOperatorObj>("SymmetricOperator", kSymmetricDoc);
        d.methods = {
            method<SymmetricOperatorObj, kFromCsrDoc, &sym_from_csr>(),
            method<SymmetricOperatorObj, kEvolveBatchedDoc, &sym_evolve_batched>(),
            method<SymmetricOperatorObj, kNDoc, &sym_n>(),
            method<SymmetricOperatorObj, kBoundDoc, &sym_bound>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* symmetric_operator_type_object() { return type_object<SymmetricOperatorObj>(); }

}  // namespace quorvane::py
