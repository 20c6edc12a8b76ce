// Python class GeneralOperator: a non-symmetric CSR operator, its transpose
// product and e^{-tA} by the scaled truncated Taylor series.
#include <cstdint>
#include <limits>

#include "core/foundation/format.hpp"
#include "core/foundation/numeric.hpp"
#include "core/sparse/general_operator.hpp"
#include "python/array.hpp"
#include "python/evolver.hpp"
#include "python/graph/graph_args.hpp"
#include "python/step_counts.hpp"

namespace quorvane::py {

struct GeneralOperatorObj {
    GeneralOperator op;
    std::string repr() const { return "GeneralOperator(n=" + std::to_string(op.n) + ", norm_inf=" + fmt_exp4(op.norm_inf) + ")"; }
    static ClassDef& class_def();
};

namespace {

constexpr char kGeneralDoc[] =
    "A sparse operator A in CSR form that need not be symmetric (drifted Fokker-Planck\n"
    "discretisations, ladder generators).\n\n"
    "Built by ``GeneralOperator.from_csr``. e^{-tA} is applied by a scaled truncated Taylor\n"
    "series whose degree m and sub-step count s come from the theta_m table; its cost grows\n"
    "linearly with t * norm_inf_bound(). Chebyshev and Lanczos, which need symmetry, are\n"
    "not offered.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> import scipy.sparse as sp\n"
    ">>> A = sp.csr_matrix(np.array([[1.0, 2.0], [0.0, 3.0]]))\n"
    ">>> op = quorvane.GeneralOperator.from_csr(2, A.indptr.astype(np.int64), A.indices.astype(np.int64), A.data)\n"
    ">>> print(op.norm_inf_bound(), op.apply_transpose(np.array([1.0, 1.0])))\n"
    "3.0 [1. 5.]\n";
constexpr char kFromCsrDoc[] =
    "from_csr(n, indptr, indices, data)\n--\n\n"
    "Validate CSR arrays (indptr of n + 1 non-negative integers starting at 0, column\n"
    "indices below n in any order within a row, finite float data) and store A and its\n"
    "transpose.\n\n"
    "Raises\n------\nQuorvaneError\n"
    "    \"[OutOfDomain] GeneralOperator::from_csr: ...\" for a malformed structure,\n"
    "    \"[NanInf] GeneralOperator::from_csr: non-finite entry: {value}\".\n";
constexpr char kEvolveDoc[] =
    "evolve_batched($self, t, v_nc)\n--\n\n"
    "e^{-tA} applied to each column of the [N, C] float64 array v_nc; returns a new [N, C]\n"
    "array. A t * norm_inf so large that the action would need more than 1e7 operator\n"
    "products is refused before any work (kind OutOfDomain), naming the longest t it serves\n"
    "on this operator (\"...; it serves t up to {X} on this operator\"): every t up to X\n"
    "passes. Each column is acted on at its own scale (the same bits as alone).\n\n"
    "Raises\n------\nQuorvaneError\n"
    QUORVANE_BEYOND_RANGE_DOC;
constexpr char kTransposeDoc[] =
    "apply_transpose($self, v)\n--\n\n"
    "A^T v as a new 1-D float64 array: a real transpose, not the self-adjoint shortcut.\n\n"
    "A NaN or Inf in v is not refused: it propagates into every entry of the result that it\n"
    "enters (a stored zero times Inf gives NaN), as in a plain sparse product. A finite v whose\n"
    "product leaves the double range is refused.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[GridMismatch] v has length {}, expected n={}\"; \"[NanInf] GeneralOperator::apply_transpose:\n"
    "    A^T v overflows the double range: {value}\" (the first non-finite entry) when v is finite\n"
    "    and A^T v is not.\n";
constexpr char kNDoc[] = "n($self)\n--\n\nOperator dimension.\n";
constexpr char kNormDoc[] =
    "norm_inf_bound($self)\n--\n\nRow-sum bound ``‖A‖_∞``.\n\nA norm bound, not a spectral interval.\n";

Ref gen_from_csr(const Args& a) {
    const std::uint64_t n = a.u64(0);
    std::vector<std::uint64_t> row_ptr = uint_vec_arg(a, 1, std::numeric_limits<std::uint64_t>::max());
    const std::vector<std::uint64_t> cols = uint_vec_arg(a, 2, std::numeric_limits<std::uint32_t>::max());
    std::vector<double> vals = float_vec_arg(a, 3);
    std::vector<std::uint32_t> col_idx(cols.begin(), cols.end());
    return new_object(GeneralOperatorObj{
        unwrap(GeneralOperator::from_csr(n, std::move(row_ptr), std::move(col_idx), std::move(vals)))});
}

Ref gen_evolve_batched(const GeneralOperatorObj& self, const Args& a) {
    const double t = a.f64(0);
    const Array2D v = extract_f64_array_2d(a.raw(1), "v_nc");
    if (!finite_nonneg(t)) py_err_with_kind("OutOfDomain", "t must be finite and >= 0");
    const std::uint64_t n = self.op.n;
    if (v.rows != n) {
        py_err_with_kind("GridMismatch",
                         "v_nc has shape[0]=" + std::to_string(v.rows) + ", expected n=" + std::to_string(n));
    }
    const std::vector<double> src = features_nc_to_cols(*v.buf, static_cast<std::size_t>(n), v.cols);
    const CsrExpmvChernoff kernel{self.op};
    // Every column's action has the one plan: judged before any of them.
    if (!kernel.fits(t)) {
        py_err_with_kind("OutOfDomain", std::string(kCsrExpmvTooLarge) +
                                            served_up_to("t", t, [&](double s) { return kernel.fits(s); }));
    }
    // The action is linear: each column runs at its own unit scale
    // (run_linear), so that its products with A neither overflow nor underflow.
    BeyondRange beyond;
    auto r = without_gil([&] {
        return run_linear(
            src, beyond,
            [&](std::vector<double> s) -> Expected<std::vector<double>> {
                std::vector<double> dst(s.size(), 0.0);
                for (std::size_t c = 0; c < v.cols; ++c) {
                    const std::span<const double> col(s.data() + c * n, n);
                    Status st = kernel.apply(t, col, std::span<double>(dst.data() + c * n, n));
                    if (!st) return fail(st.error());
                }
                return dst;
            },
            static_cast<std::size_t>(n));
    });
    refuse_beyond("GeneralOperator", src, beyond);
    return cols_to_features_nc(unwrap(std::move(r)), static_cast<std::size_t>(n), v.cols);
}

Ref gen_apply_transpose(const GeneralOperatorObj& self, const Args& a) {
    const std::vector<double> v = float_vec_arg(a, 0);
    if (v.size() != self.op.n) {
        py_err_with_kind("GridMismatch",
                         "v has length " + std::to_string(v.size()) + ", expected n=" + std::to_string(self.op.n));
    }
    std::vector<double> y(v.size(), 0.0);
    unwrap(self.op.apply_transpose(v, y));
    return new_array_f64(y);
}

Ref gen_n(const GeneralOperatorObj& self, const Args&) { return py_int(self.op.n); }
Ref gen_norm(const GeneralOperatorObj& self, const Args&) { return py_float(self.op.norm_inf); }

}  // namespace

ClassDef& GeneralOperatorObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<GeneralOperatorObj>("GeneralOperator", kGeneralDoc);
        d.methods = {
            method<GeneralOperatorObj, kFromCsrDoc, &gen_from_csr>(),
            method<GeneralOperatorObj, kNDoc, &gen_n>(),
            method<GeneralOperatorObj, kNormDoc, &gen_norm>(),
            method<GeneralOperatorObj, kEvolveDoc, &gen_evolve_batched>(),
            method<GeneralOperatorObj, kTransposeDoc, &gen_apply_transpose>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* general_operator_type_object() { return type_object<GeneralOperatorObj>(); }

}  // namespace quorvane::py
