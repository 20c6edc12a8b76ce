// Python class KilledDirichlet1D: Crank-Nicolson heat steps with absorbing
// end nodes.
#include <vector>

#include "core/bounded/killed_dirichlet.hpp"
#include "core/line/state.hpp"
#include "python/evolver.hpp"

namespace quorvane::py {
namespace {

struct KilledDirichlet1DObj {
    Evolver<KilledDirichletChernoff> evolver;
    static ClassDef& class_def();
};

constexpr char kKilledDirichletDoc[] =
    "KilledDirichlet1D(domain_lo, domain_hi, n_grid, u0, n_chernoff)\n--\n\n"
    "Heat equation du/dt = d^2u/dx^2 with absorbing end nodes, by Crank-Nicolson steps.\n\n"
    "Each of the n_chernoff steps per ``apply`` is (I - tau/2 L)^{-1} (I + tau/2 L) with L the\n"
    "three-point Laplacian whose rows next to an end node ignore that node: the interior\n"
    "evolves as the Dirichlet problem with zero end values (second order in dx and in tau),\n"
    "and the end nodes keep the values u0 gave them.\n\n"
    "Parameters\n----------\n"
    "domain_lo, domain_hi : float\n    Ends of the interval; finite, domain_lo < domain_hi.\n"
    "n_grid : int\n    Number of nodes, at least 4.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values, n_grid finite values.\n"
    "n_chernoff : int\n    Crank-Nicolson steps per ``apply``, at least 1.\n\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is neither a float64 array nor a sequence of floats.\n"
    "QuorvaneError\n    \"[NanInf]\" for non-finite bounds or u0, \"[GridMismatch]\" for the grid,\n"
    "    n_chernoff = 0 (\"Evolver n must be >= 1\") or len(u0) != n_grid.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 101)\n"
    ">>> k = quorvane.KilledDirichlet1D(0.0, 1.0, 101, np.sin(np.pi * x), 50)\n"
    ">>> u = k.apply(0.1)\n"
    ">>> print(f\"{abs(u - np.exp(-np.pi**2 * 0.1) * np.sin(np.pi * x)).max():.0e}\")\n"
    "2e-05\n";

constexpr char kApplyDoc[] =
    "apply($self, t)\n--\n\n"
    "Advance by `t`; return evolved grid as numpy array.\n\n"
    "Makes n_chernoff steps of t/n_chernoff; the state is replaced only on success.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n    \"[OutOfDomain] t must be finite and >= 0\".\n"
    QUORVANE_BEYOND_RANGE_DOC;

constexpr char kSizeDoc[] = "size($self)\n--\n\nNumber of grid nodes.\n";

KilledDirichlet1DObj killed_dirichlet_new(const Args& a) {
    const double lo = a.f64(0), hi = a.f64(1);
    const std::size_t n = a.usize(2);
    const std::size_t n_chernoff = a.usize(4);
    std::vector<double> u0 = extract_u0_vec(a.raw(3));
    const Grid1D<double> grid =
        unwrap(Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), lo, hi, n));
    KilledDirichletChernoff kernel{grid, {0, n - 1}, constant_coeff(1.0), constant_coeff(0.0)};
    if (n_chernoff == 0) unwrap(domain_error("Evolver n must be >= 1", 0.0));
    warm_parallel_caches();
    GridFn<double> state = unwrap(GridFn<double>::make(grid, std::move(u0)));
    return {unwrap(Evolver<KilledDirichletChernoff>::make(std::move(kernel), n_chernoff, std::move(state)))};
}

// Runs with the interpreter lock held: the steps are a linear-time solve
// per step on the calling thread. They are linear: run at the values' unit
// scale (run_linear), where the products of the values with tau/dx^2 stay
// within the doubles.
Ref killed_dirichlet_apply(KilledDirichlet1DObj& self, const Args& a) {
    const double t = a.f64(0);
    if (!finite_nonneg(t)) py_err_with_kind("OutOfDomain", "t must be finite and >= 0");
    const std::vector<double>& u0 = self.evolver.state.values;
    BeyondRange beyond;
    Expected<std::vector<double>> r = run_with_lock_held([&] {
        return run_linear(u0, beyond, [&](std::vector<double> v) -> Expected<std::vector<double>> {
            Evolver<KilledDirichletChernoff> work = self.evolver;
            work.state.values = std::move(v);
            if (Status st = work.advance(t); !st) return fail(st.error());
            if (Status st = check_finite_result(work.state.values); !st) return fail(st.error());
            return std::move(work.state.values);
        });
    });
    refuse_beyond("KilledDirichlet1D", u0, beyond);
    self.evolver.state.values = unwrap(std::move(r));
    return new_array_f64(self.evolver.state.values);
}

Ref killed_dirichlet_size(const KilledDirichlet1DObj& self, const Args&) {
    return py_int(self.evolver.state.values.size());
}

}  // namespace

ClassDef& KilledDirichlet1DObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<KilledDirichlet1DObj>("KilledDirichlet1D", kKilledDirichletDoc);
        d.tp_new = constructor<KilledDirichlet1DObj, kKilledDirichletDoc, &killed_dirichlet_new>();
        d.methods = {
            method<KilledDirichlet1DObj, kApplyDoc, &killed_dirichlet_apply>(),
            method<KilledDirichlet1DObj, kSizeDoc, &killed_dirichlet_size>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* killed_dirichlet1d_type_object() { return type_object<KilledDirichlet1DObj>(); }

}  // namespace quorvane::py
