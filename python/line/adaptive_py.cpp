// Python class AdaptivePI: 1-D evolution with step sizes chosen by a
// proportional-integral controller.
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/foundation/numeric.hpp"
#include "core/line/adaptive.hpp"
#include "python/array.hpp"
#include "python/coeff.hpp"
#include "python/frame.hpp"
#include "python/step_counts.hpp"

namespace quorvane::py {
namespace {

struct AdaptivePIObj {
    AdaptiveEvolver e;

    std::size_t len() const { return e.state.values.size(); }
    static ClassDef& class_def();
};

constexpr char kAdaptivePIDoc[] =
    "AdaptivePI(xmin, xmax, n, u0, *, kernel=\"heat2\", tol_abs=1e-6, tol_rel=1e-4, boundary=\"reflect\")\n"
    "--\n\n"
    "Adaptive-step evolution of a 1-D state by one Chernoff kernel.\n\n"
    "kernel selects the equation and its step:\n"
    "  \"heat2\", \"heat4\", \"heat6\": du/dt = d^2u/dx^2 (second-order steps);\n"
    "  \"drift\": du/dt = 0.5 du/dx (characteristic step, of second order, exact in time for\n"
    "  this constant drift);\n"
    "  \"shift\": du/dt = 0.5 d^2u/dx^2 (first-order shift step).\n"
    "Each substep is checked by step doubling (one step of tau against two of tau/2; for the\n"
    "second-order kernels the difference is divided by 3). A substep is accepted when the\n"
    "estimate is at most tol_abs + tol_rel * max|u|, and the next size follows from a\n"
    "proportional-integral controller (safety 0.9, growth between 0.2 and 5 times). A step\n"
    "that gives non-finite values is always rejected. The steps of \"drift\" and \"shift\"\n"
    "(and ``with_arrays``) are clipped to the range the flow keeps, that of the read of u0\n"
    "carried from substep to substep and from call to call (see Shift1D).\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values at the n nodes, all finite.\n"
    "kernel : str, optional\n"
    "    \"heat2\" (default), \"heat4\", \"heat6\", \"drift\" or \"shift\" (case-sensitive).\n"
    "tol_abs, tol_rel : float, optional\n    Absolute and relative tolerance per substep.\n"
    QUORVANE_BOUNDARY_PARAM_DOC "\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[GridMismatch] u0 must be numpy.ndarray[float64]\" if u0 is not a float sequence;\n"
    "    \"[NanInf]\" for non-finite bounds or u0; \"[GridMismatch]\" for xmin >= xmax, n < 4 or\n"
    "    len(u0) != n; \"[OutOfDomain]\" for an unknown boundary or kernel.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(-10.0, 10.0, 201)\n"
    ">>> p = quorvane.AdaptivePI(-10.0, 10.0, 201, np.exp(-x**2), kernel=\"heat2\", tol_abs=1e-6, tol_rel=0.0)\n"
    ">>> u = p.evolve(1.0)                                 # no step count: the steps are chosen\n"
    ">>> exact = np.exp(-x**2 / 5.0) / np.sqrt(5.0)\n"
    ">>> print(bool(abs(u - exact).max() < 1e-4))\n"
    "True\n";

constexpr char kEvolveDoc[] =
    "evolve($self, t)\n--\n\n"
    "Advance the state by time t in controlled substeps and return the new values.\n\n"
    "The first substep is t/100; the last is shortened to end at t. The interpreter lock is\n"
    "released meanwhile; the object keeps the result only when the whole evolution\n"
    "succeeded.\n\n"
    "Parameters\n----------\n"
    "t : float\n    Time to advance, finite and > 0.\n\n"
    "Returns\n-------\nnumpy.ndarray[float64]\n    A new array of the n values after time t.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] t must be finite and > 0\"; \"[ConvergenceFailed]\" when 100000\n"
    "    substeps do not reach t or the step size underflows; or the error of a step. The\n"
    "    values are unchanged after a failure.\n";

constexpr char kWithArraysDoc[] =
    "with_arrays(xmin, xmax, n, a, b, c, c_norm_bound, u0, *, tol_abs=1e-6, tol_rel=1e-4, "
    "boundary=\"reflect\")\n--\n\n"
    "Build an adaptive evolver for du/dt = a(x) u'' + b(x) u' + c(x) u with the shift kernel.\n\n"
    "a, b and c are sampled at the n grid nodes and evaluated between them by Catmull-Rom\n"
    "interpolation (c held to its least and greatest sample; constant beyond the ends).\n"
    "The step is Shift1D's, each new value\n"
    "clipped to the range the flow keeps (see Shift1D). It is first order, so the\n"
    "step-doubling difference is taken as the error, with controller gains 0.7 and 0.4.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "a, b, c : numpy.ndarray[float64]\n    Coefficient samples (a >= 0), each of length n, finite.\n"
    "c_norm_bound : float\n    An upper bound of |c|, kept with the kernel.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values.\n"
    "tol_abs, tol_rel : float, optional\n    Absolute and relative tolerance per substep.\n"
    "boundary : str, optional\n    \"reflect\" (default), \"zero\", \"periodic\" or \"linear\".\n\n"
    "Returns\n-------\nAdaptivePI\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    The errors of the constructor for the grid and u0, then the coefficient array errors:\n"
    "    \"[GridMismatch]\" for a wrong type or length, \"[NanInf]\" for non-finite samples.\n";

AdaptivePIObj adaptive_new(const Args& a) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const std::string kernel = a.str_or(4, "heat2");
    const double tol_abs = a.f64_or(5, 1e-6);
    const double tol_rel = a.f64_or(6, 1e-4);
    const std::string boundary = a.str_or(7, "reflect");
    const BoundaryPolicy<double> policy = parse_boundary_policy(boundary);
    auto u0 = try_float_vector(a.raw(3));
    if (!u0) py_err_with_kind("GridMismatch", "u0 must be numpy.ndarray[float64]");
    GridFn<double> state = unwrap(make_checked_state(policy, xmin, xmax, n, *u0));
    const auto name = parse_kernel_name(kernel);
    if (!name) {
        py_err_with_kind("OutOfDomain", "unknown kernel '" + kernel + "'; expected " + kKernelNameList);
    }
    return AdaptivePIObj{compute([&] { return AdaptiveEvolver::build(*name, std::move(state), tol_abs, tol_rel); })};
}

Ref adaptive_with_arrays(const Args& a) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const double c_norm_bound = a.f64(6);
    const double tol_abs = a.f64_or(8, 1e-6);
    const double tol_rel = a.f64_or(9, 1e-4);
    const std::string boundary = a.str_or(10, "reflect");
    const BoundaryPolicy<double> policy = parse_boundary_policy(boundary);
    auto u0 = try_float_vector(a.raw(7));
    if (!u0) py_err_with_kind("GridMismatch", "u0 must be numpy.ndarray[float64]");
    GridFn<double> state = unwrap(make_checked_state(policy, xmin, xmax, n, *u0));
    SharedCoeff ca = extract_coeff_array(a.raw(3), n, xmin, xmax);
    SharedCoeff cb = extract_coeff_array(a.raw(4), n, xmin, xmax);
    SharedCoeff cc = extract_reaction_array(a.raw(5), n, xmin, xmax);
    return new_object(AdaptivePIObj{compute([&] {
        return AdaptiveEvolver::with_arrays(std::move(state), std::move(ca), std::move(cb), std::move(cc), c_norm_bound,
                                            tol_abs, tol_rel);
    })});
}

Ref adaptive_evolve(AdaptivePIObj& self, const Args& a) {
    const double t = a.f64(0);
    if (!(std::isfinite(t) && t > 0.0)) py_err_with_kind("OutOfDomain", "t must be finite and > 0");
    // The exclusive borrow keeps the object to this call, so the integration
    // may use the kernel's own scratch buffers; the state is written only
    // after success.
    AdaptiveEvolver& e = self.e;
    auto r = run_evolve([&] { return e.integrate(t); });
    if (!r && r.error().variant() == CoreError::Variant::DomainViolation &&
        std::string_view(r.error().text()) == kReadTooFar) {
        // No substep is longer than t: no step of a t up to the longest
        // that reads within reads too far, whatever steps the controller picks.
        const double longest = without_gil([&] { return e.longest_read_step(t); });
        py_err_with_kind("OutOfDomain", "AdaptivePI: a substep of t = " + exact_time(t) +
                                            " reads u more than 2^53 cells beyond the end nodes, where no cell can "
                                            "be told apart from its neighbour; no substep of a t <= " +
                                            fmt_exp3(floor_4_digits_inside(longest)) +
                                            " reads that far (no substep is longer than t)");
    }
    self.e.state.values = unwrap(std::move(r));
    return new_array_f64(self.e.state.values);
}

ClassDef& AdaptivePIObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<AdaptivePIObj>("AdaptivePI", kAdaptivePIDoc);
        d.tp_new = constructor<AdaptivePIObj, kAdaptivePIDoc, &adaptive_new>();
        d.methods = {
            method<AdaptivePIObj, kEvolveDoc, &adaptive_evolve>(),
            method<AdaptivePIObj, kWithArraysDoc, &adaptive_with_arrays>(),
        };
        return d;
    }();
    return def;
}

}  // namespace

PyTypeObject* adaptive_pi_type_object() { return type_object<AdaptivePIObj>(); }

}  // namespace quorvane::py
