// Python class MassKOperator (consistent mass) and the function
// mass_lumped_evolve (diagonal mass).
#include <cmath>
#include <memory>

#include "core/foundation/format.hpp"
#include "core/sparse/mass_operator.hpp"
#include "python/graph/graph_args.hpp"
#include "python/sparse/sparse_args.hpp"

namespace quorvane::py {

struct MassKOperatorObj {
    std::shared_ptr<const MassKOperator> op;
    static ClassDef& class_def();
};

namespace {

constexpr char kMassKDoc[] =
    "The consistent-mass operator A_hat = R^-T K R^-1 of K x = lambda M x, with M = R^T R.\n\n"
    "K is a SymmetricOperator, M a dense symmetric positive-definite mass matrix (its\n"
    "Cholesky factor is dense: n^2 values, O(n^3) to build, O(n^2) per product), so it\n"
    "suits small n; ``mass_lumped_evolve`` covers large n. The spectral bound is the\n"
    "largest absolute row sum of A_hat, formed once at construction: a guaranteed upper\n"
    "bound of its spectrum.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> K = quorvane.ConservativeDiffusionChernoff.from_k_array(10, 0.0, 1.0, np.ones(10)).to_symmetric_operator()\n"
    ">>> mk = quorvane.MassKOperator.from_k_and_mass(K, np.eye(10).ravel())   # M = I: plain e^{-tK}\n"
    ">>> out = mk.evolve(0.01, np.ones(10))\n"
    ">>> print(mk.n(), bool(np.allclose(out, 1.0)))\n"
    "10 True\n";
constexpr char kFromDoc[] =
    "from_k_and_mass(k_op, m_dense)\n--\n\n"
    "Factor the mass matrix m_dense (n*n float64 values, row-major; only the diagonal and\n"
    "the upper triangle are read) and share K. O(n^3) with the interpreter lock held:\n"
    "Ctrl-C stops it between columns (KeyboardInterrupt) and nothing is created.\n\n"
    "Raises\n------\nQuorvaneError\n"
    "    \"[GridMismatch] m_dense length {} != n*n = {}*{} = {}\",\n"
    "    kind NanInf for a non-finite entry of the mass matrix (the message names it), kind\n"
    "    OutOfDomain when the mass matrix is not positive definite (\"... pivot \u2264 0\"), kind\n"
    "    NanInf when it is not so numerically, its factor overflowing (\"... pivot \u2264 0): -inf\",\n"
    "    \"... (pivot overflows the double range): NaN\"), and when A_hat leaves the double\n"
    "    range (\"... spectral bound ... overflows the double range\").\n";
constexpr char kEvolveDoc[] =
    "evolve($self, t, v, path=\"chebyshev\", tol=1e-10, m_max=18, n_steps=100)\n--\n\n"
    "e^{-t A_hat} v as a new 1-D float64 array (no change of variables by R). path is\n"
    "\"chebyshev\" or \"lanczos\" (Krylov dimension m_max); \"implicit\" (n_steps backward-Euler\n"
    "steps) is accepted too. A v holding NaN or Inf is refused before any work\n"
    "(\"[NanInf] v contains NaN or Inf: {value}\"), a result beyond the double range with kind\n"
    "NanInf; tol and m_max are refused as SymmetricOperator.evolve_batched refuses them,\n"
    "and tol means what it means there (in the 2-norm of v, A_hat in place of A), and so is\n"
    "an action beyond 1e7 operator products, naming the longest t its path serves. An implicit\n"
    "solve that uses up its iterations is refused with kind ConvergenceFailed and a note\n"
    "naming what passes (an n_steps or path=\"chebyshev\").\n";
constexpr char kNDoc[] = "n($self)\n--\n\nOperator dimension.\n";

constexpr char kLumpedDoc[] =
    "mass_lumped_evolve(k_op, m_diag, t, v_nc, path=\"chebyshev\", tol=1e-10, m_max=18, n_steps=100)\n--\n\n"
    "e^{-t M^-1 K} applied to each column of the [N, C] array v_nc, M = diag(m_diag).\n\n"
    "Evolves D^1/2 v under the symmetric congruence D^-1/2 K D^-1/2 (K's sparsity, no\n"
    "factor) with the Chebyshev, Lanczos or implicit action and scales back by D^-1/2;\n"
    "columns run in parallel. Returns a new [N, C] float64 array.\n\n"
    "tol means what it means for SymmetricOperator.evolve_batched, in the mass-weighted\n"
    "norm ||D^1/2 v||_2: on the chebyshev path ||D^1/2 (out - e^{-tM^-1K} v)||_2 <= tol\n"
    "||D^1/2 v||_2 over the whole t, so the relative 2-norm error can reach\n"
    "sqrt(max m / min m) * tol. The chebyshev path's rounding keeps each node's own scale;\n"
    "the lanczos and implicit paths judge their vectors in the weighted norm and refuse a\n"
    "mass ratio with sqrt(max m / min m) * 2.2e-16 > tol, where rounding alone exceeds tol\n"
    "at the lightest node. t = 0 returns v_nc for any masses. Masses anywhere in the\n"
    "doubles (subnormal ones included) are evolved by scaling the congruence and D^1/2 v\n"
    "by powers of two.\n\n"
    "Raises\n------\nQuorvaneError\n"
    "    \"[GridMismatch] f0 must be 2-D [N, C]\" (the shape messages name the array f0),\n"
    "    \"[OutOfDomain] m_diag[{i}] = {value} is not finite-positive\", \"[NanInf] v_nc contains NaN\n"
    "    or Inf: {value}\" before any work; \"[OutOfDomain] mass_lumped_evolve: the mass ratio\n"
    "    max(m_diag)/min(m_diag) is too large for tol ...\" on the lanczos and implicit paths;\n"
    "    \"[OutOfDomain] mass_lumped_evolve: the mass ratio max(m_diag)/min(m_diag) is too large\n"
    "    for the double range ...\" when sqrt(m_i) v_i spans more than the doubles hold (about\n"
    "    2^1319 between its largest and smallest non-zero entry) and v_nc alone does not (an\n"
    "    entry v_nc itself spreads that far below its column's top goes as with equal masses);\n"
    "    kind NanInf for a result beyond the double range, or for t times the spectral bound\n"
    "    of M^-1 K beyond it; kind ConvergenceFailed when an implicit solve uses up its\n"
    "    iterations, with a note naming what passes (an n_steps or path=\"chebyshev\").\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> K = quorvane.ConservativeDiffusionChernoff.from_k_array(10, 0.0, 1.0, np.ones(10)).to_symmetric_operator()\n"
    ">>> out = quorvane.mass_lumped_evolve(K, np.full(10, 2.0), 0.01, np.ones((10, 1)))\n"
    ">>> print(out.shape, bool(np.allclose(out, 1.0)))\n"
    "(10, 1) True\n";

Ref massk_from(const Args& a) {
    const SymmetricOperator k = symmetric_operator_arg(a, 0);
    const Buffer m = extract_array_1d(a.raw(1), "m_dense", ElemKind::F64);
    if (!m.contiguous()) py_err_with_kind("GridMismatch", "m_dense must be contiguous");
    const std::uint64_t n = k.n();
    const std::size_t len = static_cast<std::size_t>(m.shape(0));
    const unsigned __int128 nn = static_cast<unsigned __int128>(n) * n;
    if (nn != len) {
        const std::string nn_text = nn > UINT64_MAX ? std::string("overflow") : std::to_string(static_cast<std::uint64_t>(nn));
        py_err_with_kind("GridMismatch", "m_dense length " + std::to_string(len) + " != n*n = " + std::to_string(n) +
                                             "*" + std::to_string(n) + " = " + nn_text);
    }
    const std::span<const double> values(m.data(), len);
    // O(n^3) with the lock held (seconds at n of a few thousand): Ctrl-C is
    // answered between the rows and blocks of the factor and of the bound.
    return new_object(MassKOperatorObj{
        unwrap(run_with_lock_held([&] { return MassKOperator::from_k_and_mass(k, values); }))});
}

Ref massk_evolve(const MassKOperatorObj& self, const Args& a) {
    const double t = a.f64(0);
    const Buffer v = extract_array_1d(a.raw(1), "v", ElemKind::F64);
    const KrylovOptions opt = krylov_options(a, 2, t, false);
    const std::vector<double> x = finite_values(v, "v", self.op->n(), "op.n()");
    const std::shared_ptr<const MassKOperator> op = self.op;
    std::vector<double> out(x.size(), 0.0);
    const Status st = without_gil([&] {
        ScratchPool<double> pool;
        return op->evolve(t, opt.path, opt.tol, x, out, pool);
    });
    if (!st) {
        // The action runs on a congruence of the operator: its bound is not
        // the one a path of its own would see.
        refuse_krylov_beyond_work(st.error(), t, std::nan(""), opt.tol, op->n(), [&] { return op->spectral_bound(); });
        raise_core_error(st.error(), {},
                         implicit_convergence_note(st.error(), opt.path, opt.tol,
                                                   {t, op->spectral_bound(), op->n(), false}));
    }
    return new_array_f64(out);
}

Ref massk_n(const MassKOperatorObj& self, const Args&) { return py_int(self.op->n()); }

Ref lumped_evolve(const Args& a) {
    const SymmetricOperator k = symmetric_operator_arg(a, 0);
    const Buffer m = extract_f64_array(a.raw(1), "m_diag");
    const double t = a.f64(2);
    // Any dimension count here: check_f0_columns refuses all but 2-D with
    // its GridMismatch, in its place among the checks.
    const Buffer v = extract_f64_array(a.raw(3), "v_nc");
    const KrylovOptions opt = krylov_options(a, 4, t, false);
    const std::uint64_t n = k.n();
    const std::size_t c = check_f0_columns(v, n);
    const std::vector<double> masses = contiguous_values(m, "m_diag", n, "k_op.n()");
    for (std::size_t i = 0; i < masses.size(); ++i) {
        if (!std::isfinite(masses[i]) || !(masses[i] > 0.0)) {
            py_err_with_kind("OutOfDomain", "m_diag[" + std::to_string(i) + "] = " + fmt_shortest(masses[i]) +
                                                " is not finite-positive");
        }
    }
    const std::vector<double> src = features_nc_to_cols(v, static_cast<std::size_t>(n), c);
    check_finite_input(src, "v_nc");
    std::vector<double> dst(src.size(), 0.0);
    const Status st = without_gil([&] { return mass_lumped_evolve(k, masses, t, opt.path, opt.tol, src, dst); });
    if (!st) {
        refuse_krylov_beyond_work(st.error(), t, std::nan(""), opt.tol, n, [&] {
            const Expected<Laplacian<double>> hat = lumped_congruence(*k.laplacian(), masses);
            return hat ? hat->spectral_bound : std::nan("");
        });
        std::string note;
        // The solves see the congruence D^-1/2 K D^-1/2, formed again only
        // for the note (the masses passed it already).
        if (st.error().variant() == CoreError::Variant::ConvergenceFailed) {
            if (Expected<Laplacian<double>> hat = lumped_congruence(*k.laplacian(), masses)) {
                note = implicit_convergence_note(st.error(), opt.path, opt.tol, {t, hat->spectral_bound, n, false});
            }
        }
        raise_core_error(st.error(), {}, std::move(note));
    }
    return cols_to_features_nc(dst, static_cast<std::size_t>(n), c);
}

}  // namespace

ClassDef& MassKOperatorObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<MassKOperatorObj>("MassKOperator", kMassKDoc);
        d.methods = {
            method<MassKOperatorObj, kFromDoc, &massk_from>(),
            method<MassKOperatorObj, kEvolveDoc, &massk_evolve>(),
            method<MassKOperatorObj, kNDoc, &massk_n>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* mass_k_operator_type_object() { return type_object<MassKOperatorObj>(); }

PyMethodDef* mass_lumped_evolve_function_def() {
    static PyMethodDef def = method<void, kLumpedDoc, &lumped_evolve>();
    return &def;
}

}  // namespace quorvane::py
