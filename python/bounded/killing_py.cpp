// Python classes Killing1D (hard killing outside a box) and Killing2nd1D
// (soft killing at a constant rate).
#include <cmath>
#include <string>
#include <vector>

#include "core/bounded/killing.hpp"
#include "python/evolver.hpp"

namespace quorvane::py {

struct Killing2nd1DObj : GridStepEvolverObj<SoftKillingChernoff> {
    std::string repr() const { return "Killing2nd1D(n=" + std::to_string(state.values.size()) + ", order=2)"; }
    static ClassDef& class_def();
};

namespace {

using Killing1DObj = GridStepEvolverObj<KillingChernoff>;

constexpr char kKilling1DDoc[] =
    "Killing1D(xmin, xmax, n, u0, *, lo=..., hi=..., boundary=\"reflect\")\n--\n\n"
    "Unit heat equation du/dt = d^2u/dx^2 killed outside the box [lo, hi).\n\n"
    "Each step is the unit heat step followed by setting to zero every node outside the box,\n"
    "so mass that leaves the box is lost and the solution converges to the Dirichlet problem\n"
    "on the box as the step shrinks. The rate is that of the killing, sqrt(tau), while\n"
    "sqrt(tau) >> dx (measured orders 0.4-0.5 in n_steps); ``order()`` reports 1.\n"
    "The initial values are not masked.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values at the n nodes, all finite.\n"
    "lo, hi : float, optional\n    The box; a missing or non-finite end becomes xmin + L/4 or\n"
    "    xmax - L/4 (L = xmax - xmin). A node x is inside when lo <= x < hi, decided in cells\n"
    "    from xmin (an end within rounding of a node is on it), so in every unit of length.\n"
    "boundary : str, optional\n    \"reflect\" (default), \"zero\", \"periodic\" or \"linear\".\n\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is neither a float64 array nor a sequence of floats.\n"
    "QuorvaneError\n    \"[OutOfDomain]\" for an unknown boundary or lo >= hi, \"[NanInf]\" for non-finite\n"
    "    u0 or bounds, \"[GridMismatch]\" for xmin >= xmax, n < 4 or len(u0) != n.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 101)\n"
    ">>> k = quorvane.Killing1D(0.0, 1.0, 101, np.ones(101), lo=0.2, hi=0.8)\n"
    ">>> k.evolve(0.01, n_steps=100)\n"
    ">>> u = k.values()\n"
    ">>> print(u[10] == 0.0, bool(0.0 < u[50] < 1.0))       # killed outside [0.2, 0.8)\n"
    "True True\n";

constexpr char kKilling2ndDoc[] =
    "Killing2nd1D(xmin, xmax, n, u0, kappa=0.0, *, boundary=\"reflect\")\n--\n\n"
    "Heat equation with constant killing du/dt = d^2u/dx^2 - kappa u.\n\n"
    "One step is the palindromic product e^{-tau kappa/2} C(tau) e^{-tau kappa/2} with C the\n"
    "unit heat step; the constant rate commutes with C, so the result is e^{-kappa t} times the\n"
    "heat evolution, of order 2 in time.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values at the n nodes, all finite.\n"
    "kappa : float, optional\n    Killing rate, finite and >= 0 (default 0.0).\n"
    "boundary : str, optional\n    \"reflect\" (default), \"zero\", \"periodic\" or \"linear\".\n\n"
    "Raises\n------\n"
    "TypeError\n    \"u0 must be a float64 array\" when u0 cannot be converted.\n"
    "QuorvaneError\n    \"[OutOfDomain] kappa must be finite and >= 0\", an unknown boundary, and the\n"
    "    u0 and grid errors.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(-8.0, 8.0, 161)\n"
    ">>> k = quorvane.Killing2nd1D(-8.0, 8.0, 161, np.exp(-x**2), kappa=0.5)\n"
    ">>> k.evolve(1.0, n_steps=50)         # killing at rate kappa: the mass decays like exp(-kappa t)\n"
    ">>> print(round(float(k.values().sum() / np.exp(-x**2).sum()), 4))\n"
    "0.6065\n";

constexpr char kOrder1Doc[] = "order($self)\n--\n\nReturn the temporal order of the killed step: 1.\n";
constexpr char kOrder2Doc[] = "order($self)\n--\n\nReturn the temporal order of the Strang product: 2.\n";

constexpr char kEvolveDoc[] =
    "evolve($self, t, n_steps=100)\n--\n\n"
    "Advance the state by time t with n_steps steps of size t/n_steps.\n\n"
    "The steps run with the interpreter lock released; the values are replaced only when the\n"
    "whole evolution succeeded.\n\n"
    "Parameters\n----------\n"
    "t : float\n    Time to advance, finite and >= 0.\n"
    "n_steps : int, optional\n    Number of steps, at least 1 (default 100).\n\n"
    "Returns\n-------\nNone\n\n"
    "Raises\n------\n"
    "QuorvaneError\n    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\"; kind\n"
    "    NanInf when the result lies beyond the double range, naming the max|u0| of the same data\n"
    "    that stays within it (the steps are linear: data of every size whose result is a double\n"
    "    are served);\n"
    QUORVANE_FAR_READS_COUNT_DOC;

Killing1DObj killing_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    double lo = a.f64_or(4, std::nan(""));
    double hi = a.f64_or(5, std::nan(""));
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(6, "reflect"));
    std::vector<double> u0 = extract_u0_vec(a.raw(3));
    const double q = (xmax - xmin) * 0.25;
    if (!std::isfinite(lo)) lo = xmin + q;
    if (!std::isfinite(hi)) hi = xmax - q;
    if (const double* bad = first_non_finite<double>(u0)) unwrap(domain_error("u0 contains NaN or Inf", *bad));
    const Grid1D<double> grid = unwrap(Grid1D<double>::make(policy, InterpKind::septic(), xmin, xmax, n));
    const BoxRegion box = unwrap(BoxRegion::make(lo, hi));
    auto semigroup = unwrap(ChernoffSemigroup<KillingChernoff>::make({DiffusionChernoff::unit(grid), box}, 100));
    return {std::move(semigroup), unwrap(GridFn<double>::make(grid, std::move(u0)))};
}

Killing2nd1DObj killing2nd_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const double kappa = a.f64_or(4, 0.0);
    const std::string boundary = a.str_or(5, "reflect");
    if (!finite_nonneg(kappa)) py_err_with_kind("OutOfDomain", "kappa must be finite and >= 0");
    const BoundaryPolicy<double> policy = parse_boundary_policy(boundary);
    std::optional<std::vector<double>> u0 = try_float_vector(a.raw(3));
    if (!u0) raise_type_error("u0 must be a float64 array");
    auto [heat, state] = unwrap(build_heat_state(n, 100, *u0, policy, xmin, xmax));
    auto semigroup = unwrap(ChernoffSemigroup<SoftKillingChernoff>::make({heat.kernel, kappa}, 100));
    Killing2nd1DObj obj;
    obj.semigroup = std::move(semigroup);
    obj.state = std::move(state);
    return obj;
}

Ref order1(const Killing1DObj&, const Args&) { return py_int(1); }
Ref order2(const Killing2nd1DObj&, const Args&) { return py_int(2); }
Ref killing2nd_evolve(Killing2nd1DObj& self, const Args& a) { return evolve_body(self, a); }
Ref killing2nd_values(const Killing2nd1DObj& self, const Args& a) { return values_body(self, a); }

}  // namespace

template <>
ClassDef& Killing1DObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<Killing1DObj>("Killing1D", kKilling1DDoc);
        d.tp_new = constructor<Killing1DObj, kKilling1DDoc, &killing_new>();
        d.methods = {
            method<Killing1DObj, kOrder1Doc, &order1>(),
            method<Killing1DObj, kEvolveDoc, &grid_step_evolve<KillingChernoff>>(),
            method<Killing1DObj, kValuesDoc, &grid_step_values<KillingChernoff>>(),
        };
        return d;
    }();
    return def;
}

ClassDef& Killing2nd1DObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<Killing2nd1DObj>("Killing2nd1D", kKilling2ndDoc);
        d.tp_new = constructor<Killing2nd1DObj, kKilling2ndDoc, &killing2nd_new>();
        d.methods = {
            method<Killing2nd1DObj, kOrder2Doc, &order2>(),
            method<Killing2nd1DObj, kEvolveDoc, &killing2nd_evolve>(),
            method<Killing2nd1DObj, kValuesDoc, &killing2nd_values>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* killing1d_type_object() { return type_object<Killing1DObj>(); }
PyTypeObject* killing2nd1d_type_object() { return type_object<Killing2nd1DObj>(); }

}  // namespace quorvane::py
