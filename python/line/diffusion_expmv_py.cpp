// Python class DiffusionExpmv1D: unit heat by the exponential action of the
// zero-flux diffusion operator.
#include "core/line/diffusion_expmv.hpp"
#include "python/evolver.hpp"

namespace quorvane::py {
namespace {

using DiffusionExpmvObj = GridStepEvolverObj<DiffusionExpmvChernoff>;

constexpr char kDiffusionExpmvDoc[] =
    "DiffusionExpmv1D(xmin, xmax, n, u0, *, boundary=\"reflect\")\n--\n\n"
    "1-D diffusion by the exponential action of the discrete diffusion operator.\n\n"
    "Solves du/dt = d^2u/dx^2 on a uniform grid. Each step of size tau computes e^{tau L} u to\n"
    "double precision by a scaled Taylor series: tau is cut into s pieces and each piece uses\n"
    "the degree-m Taylor polynomial, with (m, s) chosen to minimise m*s from tau * 4/dx^2 (a\n"
    "bound on the spectral radius of L). So there is no stability limit and no time-step\n"
    "error: the result is the exact solution of the semi-discrete system du/dt = L u, whatever\n"
    "n_steps is.\n\n"
    "L is the conservative three-point stencil (u[i+1] - 2 u[i] + u[i-1]) / dx^2 with zero-flux\n"
    "ends: the missing neighbour of an end node is the end node itself, whatever ``boundary``\n"
    "says (the option is validated and kept, but does not change the evolution). The sum of the\n"
    "values is conserved. This closure puts the reflecting walls half a cell outside the end\n"
    "nodes, at xmin - dx/2 and xmax + dx/2: against the heat equation with reflecting ends at\n"
    "xmin and xmax the error is first order in dx; against the walls at xmin - dx/2 and\n"
    "xmax + dx/2 it is second order.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"
    "n : int\n    Number of grid nodes x_i = xmin + i*dx, dx = (xmax - xmin)/(n - 1); at least 4.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values at the n nodes, all finite.\n"
    "boundary : str, optional\n"
    "    \"reflect\" (default), \"zero\", \"periodic\" or \"linear\" (ASCII case-insensitive);\n"
    "    checked, but every policy gives the same zero-flux evolution.\n\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is neither a float64 array nor a sequence of floats.\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain]\" for an unknown boundary, \"[NanInf]\" for non-finite u0 or bounds,\n"
    "    \"[GridMismatch]\" for xmin >= xmax, n < 4 or len(u0) != n.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> n, dx = 41, 1.0 / 40\n"
    ">>> x = np.linspace(0.0, 1.0, n)\n"
    ">>> mode = np.cos(np.pi * (x + dx / 2) / (1.0 + dx))   # an eigenvector of its 3-point operator\n"
    ">>> lam = (2.0 - 2.0 * np.cos(np.pi * dx / (1.0 + dx))) / dx**2\n"
    ">>> d = quorvane.DiffusionExpmv1D(0.0, 1.0, n, mode)\n"
    ">>> d.evolve(0.1, n_steps=1)                          # exact in time: one step is enough\n"
    ">>> print(bool(abs(d.values() - np.exp(-lam * 0.1) * mode).max() < 1e-12))\n"
    "True\n";

constexpr char kEvolveDoc[] =
    "evolve($self, t, n_steps=100)\n--\n\n"
    "Advance the state by time t with n_steps exponential-action steps of size t/n_steps.\n\n"
    "A step of size tau costs m*s applications of L, about 8.5 * tau * 4/dx^2 for large tau.\n"
    "A step that would need more than 10000000 applications is refused rather than run for\n"
    "hours; more steps of smaller size do the same work in portions. The steps run with the\n"
    "interpreter lock released, on the calling thread; the values are replaced only when every\n"
    "step succeeded.\n\n"
    "Parameters\n----------\n"
    "t : float\n    Time to advance, finite and >= 0.\n"
    "n_steps : int, optional\n    Number of steps, at least 1 (default 100).\n\n"
    "Returns\n-------\nNone\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\";\n"
    "    \"[OutOfDomain]\" for a step beyond the 10000000-application cap, before any work, naming\n"
    "    the largest admissible tau and the n_steps from which every count passes for this t\n"
    "    (each such call does about 8.5 * t * 4/dx^2 applications in all); \"[NanInf]\" if the\n"
    "    series overflows. The values are unchanged after a failure.\n";

constexpr char kOrderDoc[] =
    "order($self)\n--\n\n"
    "Return 4294967295 (2**32 - 1).\n\n"
    "The value marks a tolerance-driven step, not a convergence order: each step is exact to\n"
    "rounding for the semi-discrete system.\n\n"
    "Returns\n-------\nint\n    4294967295.\n";

Ref expmv_order(const DiffusionExpmvObj&, const Args&) { return py_int(4294967295u); }

// A step beyond the application cap is refused before any work, naming the
// longest step within it and the counts from which every step is.
Ref expmv_evolve(DiffusionExpmvObj& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 100);
    check_steps_and_time(n_steps, t);
    const DiffusionExpmvChernoff& kernel = self.semigroup.kernel;
    const StepCall call{StepCall::Form::Count, t, t / static_cast<double>(n_steps)};
    auto fits = [&](double tau) { return expmv_step_fits(kernel, tau); };
    if (!fits(call.tau)) {
        raise_step_beyond("OutOfDomain", kExpmvTooLargeMessage, "DiffusionExpmv1D", call, spacing_text(self.state.grid),
                          fits);
    }
    return evolve_body(self, a);
}

}  // namespace

template <>
ClassDef& DiffusionExpmvObj::class_def() {
    static ClassDef def = [] {
        using K = DiffusionExpmvChernoff;
        ClassDef d = class_def_base<DiffusionExpmvObj>("DiffusionExpmv1D", kDiffusionExpmvDoc);
        d.tp_new = constructor<DiffusionExpmvObj, kDiffusionExpmvDoc, &grid_step_new<K>>();
        d.methods = {
            method<DiffusionExpmvObj, kOrderDoc, &expmv_order>(),
            method<DiffusionExpmvObj, kEvolveDoc, &expmv_evolve>(),
            method<DiffusionExpmvObj, kValuesDoc, &grid_step_values<K>>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* diffusion_expmv1d_type_object() { return type_object<DiffusionExpmvObj>(); }

}  // namespace quorvane::py
