// Python class Strang1D: advection-diffusion by Strang splitting of the unit
// heat step and the drift step.
#include <string>
#include <vector>

#include "core/line/strang.hpp"
#include "python/coeff.hpp"
#include "python/evolver.hpp"

namespace quorvane::py {
namespace {

using Strang1DObj = TransportEvolverObj<StrangDiffusionDrift>;

constexpr char kStrang1DDoc[] =
    "Strang1D(xmin, xmax, n, u0, *, b=0.5, boundary=\"reflect\")\n--\n\n"
    "Advection-diffusion du/dt = d^2u/dx^2 + b du/dx on a uniform grid, by Strang splitting.\n\n"
    "One step of size tau is D(tau/2) R(tau) D(tau/2): D the second-order unit-diffusion\n"
    "Chernoff step (a five-point Gaussian average), R the drift step along the characteristic\n"
    "(u(x) -> u(x + tau b) for the constant drift b). The composition is palindromic and of\n"
    "global order 2 in time. Off-grid values come from degree-7 Hermite interpolation, values\n"
    "beyond the ends from the boundary policy. Each step's values are clipped to the range of\n"
    "the read of u0, which the flow keeps (see Shift1D): smooth data are stepped by the plain\n"
    "reads, rough data held within their nodes' range, also in a state rebuilt from\n"
    "``values()``.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values at the n nodes, all finite.\n"
    "b : float, optional\n    Constant drift (default 0.5). A non-finite b makes ``evolve`` fail.\n"
    QUORVANE_BOUNDARY_PARAM_DOC "\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is neither a float64 array nor a sequence of floats.\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain]\" for an unknown boundary, \"[NanInf]\" for non-finite u0 or bounds,\n"
    "    \"[GridMismatch]\" for xmin >= xmax, n < 4 or len(u0) != n.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(-10.0, 10.0, 201)\n"
    ">>> s = quorvane.Strang1D(-10.0, 10.0, 201, np.exp(-x**2), b=1.0)\n"
    ">>> s.evolve(1.0, n_steps=50)        # u_t = u'' + u': spreads and moves to x = -1\n"
    ">>> exact = np.exp(-(x + 1.0)**2 / 5.0) / np.sqrt(5.0)\n"
    ">>> print(f\"{abs(s.values() - exact).max():.0e}\")\n"
    "1e-06\n";

constexpr char kOrderDoc[] =
    "order($self)\n--\n\n"
    "Return the temporal order of the splitting.\n\n"
    "Returns\n-------\nint\n    2.\n";

constexpr char kEvolveDoc[] =
    "evolve($self, t, n_steps=100)\n--\n\n"
    "Advance the state by time t with n_steps Strang steps of size t/n_steps.\n\n"
    "The error is second order in time: doubling n_steps divides it by about 4. The steps\n"
    "run with the interpreter lock released, spread over worker threads for large grids;\n"
    "the values are replaced only when the whole evolution succeeded.\n\n"
    QUORVANE_STEP_SIZE_DOC
    "Parameters\n----------\n"
    "t : float\n    Time to advance, finite and >= 0.\n"
    "n_steps : int, optional\n    Number of steps, at least 1 (default 100).\n\n"
    "Returns\n-------\nNone\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\",\n"
    "    or the error of a step (\"[NanInf]\" when a non-finite b makes the characteristic\n"
    "    foot non-finite). The values are unchanged after a failure.\n";

Strang1DObj strang_new(const Args& a) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const double b = a.f64_or(4, 0.5);
    const std::string boundary = a.str_or(5, "reflect");
    const BoundaryPolicy<double> policy = parse_boundary_policy(boundary);
    const std::vector<double> u0 = extract_u0_vec(a.raw(3));
    auto [semigroup, state] = unwrap(build_strang_state(n, u0, policy, xmin, xmax, b));
    return Strang1DObj{std::move(semigroup), std::move(state)};
}

Ref strang_order(const Strang1DObj&, const Args&) { return py_int(2); }

}  // namespace

template <>
ClassDef& Strang1DObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<Strang1DObj>("Strang1D", kStrang1DDoc);
        d.tp_new = constructor<Strang1DObj, kStrang1DDoc, &strang_new>();
        d.methods = {
            method<Strang1DObj, kOrderDoc, &strang_order>(),
            method<Strang1DObj, kEvolveDoc, &evolve_in_range_body<Strang1DObj>>(),
            method<Strang1DObj, kValuesDoc, &values_body<Strang1DObj>>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* strang1d_type_object() { return type_object<Strang1DObj>(); }

}  // namespace quorvane::py
