// Python class ReverseHeat1D: the value and the theta-derivative of a
// least-squares loss of 1-D heat with constant diffusivity.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/foundation/numeric.hpp"
#include "core/sensitivity/reverse_sweep.hpp"
#include "python/coeff.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"

namespace quorvane::py {
namespace {

struct ReverseHeat1DObj {
    double theta;
    double xmin;
    double xmax;
    std::size_t n_grid;
    std::uint64_t n_steps;
    static ClassDef& class_def();
};

constexpr char kReverseHeat1DDoc[] =
    "ReverseHeat1D(theta, xmin, xmax, n_grid, n_steps)\n--\n\n"
    "Value and theta-derivative of a least-squares loss of 1-D heat, by reverse-mode sweeps.\n\n"
    "The loss is J(theta) = sum_i (u_n[i] - target[i])^2 (no factor 1/2), u_n being n_steps\n"
    "second-order Chernoff steps of size tau for du/dt = theta u'' on the n_grid nodes of\n"
    "[xmin, xmax]: each step averages u over the five points x, x +- 2 sqrt(theta tau),\n"
    "x +- 2 sqrt(3 theta tau) with weights 7/12, 3/16, 1/48, off-grid values read from the\n"
    "four-point cubic Hermite interpolant, reflecting ends. The derivative is that of this\n"
    "discrete map: the cotangent 2 (u_n - target) is carried back through the exact transpose\n"
    "of the step, and the forward states are recomputed from checkpoints kept every\n"
    "ceil(sqrt(n_steps)) steps. The object holds only its constants.\n\n"
    "Parameters\n----------\n"
    "theta : float\n    Diffusivity, finite and > 0.\n"
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"
    "n_grid : int\n    Number of grid nodes, at least 4.\n"
    "n_steps : int\n    Steps per evaluation, at least 1.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] ReverseHeat1D: theta must be finite and > 0\",\n"
    "    \"[OutOfDomain] ReverseHeat1D: n_steps must be >= 1\", then the grid errors.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 21)\n"
    ">>> r = quorvane.ReverseHeat1D(1.0, 0.0, 1.0, 21, 20)\n"
    ">>> value, grad = r.value_and_grad(0.005, np.cos(np.pi * x), np.zeros(21))\n"
    ">>> print(bool(value > 0), bool(grad < 0))     # more diffusion, smaller loss\n"
    "True True\n";

constexpr char kValueAndGradDoc[] =
    "value_and_grad($self, tau, u0, target)\n--\n\n"
    "Return (J, dJ/dtheta) for n_steps steps of size tau from u0.\n\n"
    "Parameters\n----------\n"
    "tau : float\n    Step size, finite and > 0.\n"
    "u0, target : numpy.ndarray[float64] or list of float\n    n_grid finite values each.\n\n"
    "Returns\n-------\ntuple of (float, float)\n\n"
    "Raises\n------\n"
    "TypeError\n    If u0 or target is neither a float64 array nor a list of floats.\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] ReverseHeat1D.value_and_grad: tau must be finite and > 0\",\n"
    "    \"[GridMismatch] ReverseHeat1D.value_and_grad: u0 length must equal n_grid\" (the same\n"
    "    for target), \"[NanInf] ReverseHeat1D: u0 contains NaN or Inf (NaN)\" (the same for\n"
    "    target); kind NanInf where J or dJ/dtheta lies beyond the double range, naming the\n"
    "    scale of u0 and target (both quadratic in them together) that keeps it within (data\n"
    "    whose results are doubles are served at every scale), and \"[NanInf] value_and_grad:\n"
    "    the gradient dJ/dtheta is not finite: {value}\" where theta * tau / dx^2 itself leaves\n"
    "    the doubles (the steps see theta, tau and the spacing only through it, so a theta, tau\n"
    "    or dx near an end of the range is served while it is a double);\n"
    QUORVANE_FAR_READS_DOC("\"use tau <= ...\" (a = theta)");

constexpr char kValueAndGradKvecDoc[] =
    "value_and_grad_kvec($self, tau, theta_vec, u0, target)\n--\n\n"
    "Return (J, [dJ/dtheta_k]) for one diffusivity per region; this object has one region.\n\n"
    "theta_vec must hold exactly one finite value; the sweep works from the object's own\n"
    "theta, so the result equals value_and_grad(tau, u0, target) with the derivative in a\n"
    "one-element list.\n\n"
    "Parameters\n----------\n"
    "tau : float\n    Step size, finite and > 0.\n"
    "theta_vec : numpy.ndarray[float64] or list of float\n    One value per region.\n"
    "u0, target : numpy.ndarray[float64] or list of float\n    n_grid finite values each.\n\n"
    "Returns\n-------\ntuple of (float, list of float)\n\n"
    "Raises\n------\n"
    "TypeError\n    If an array argument is neither a float64 array nor a list of floats.\n"
    "QuorvaneError\n"
    "    The checks of value_and_grad (named ReverseHeat1D.value_and_grad_kvec),\n"
    "    \"[OutOfDomain] ReverseHeat1D.value_and_grad_kvec: theta_vec must be non-empty\",\n"
    "    \"[NanInf] ReverseHeat1D: theta_vec contains NaN or Inf (...)\", and kind OutOfDomain\n"
    "    for a theta_vec of more than one value.\n";

constexpr char kThetaDoc[] = "theta($self)\n--\n\nThe diffusivity theta.\n";
constexpr char kNStepsDoc[] = "n_steps($self)\n--\n\nThe number of steps per evaluation.\n";
constexpr char kNGridDoc[] = "n_grid($self)\n--\n\nThe number of grid nodes.\n";

ReverseHeat1DObj reverse_heat1d_new(const Args& a) {
    const double theta = a.f64(0);
    const double xmin = a.f64(1);
    const double xmax = a.f64(2);
    const std::size_t n_grid = a.usize(3);
    const std::uint64_t n_steps = a.u64(4);
    if (!(std::isfinite(theta) && theta > 0.0)) py_err_with_kind("OutOfDomain", "ReverseHeat1D: theta must be finite and > 0");
    if (n_steps == 0) py_err_with_kind("OutOfDomain", "ReverseHeat1D: n_steps must be >= 1");
    // Only the grid is checked here: every buffer belongs to a call, and a
    // call's u0 must have n_grid values.
    unwrap(Grid1D<double>::make(BoundaryPolicy<double>::of(BoundaryTag::Reflect),
                                InterpKind::of(InterpTag::CubicHermite), xmin, xmax, n_grid));
    return {theta, xmin, xmax, n_grid, n_steps};
}

void check_tau(double tau, const std::string& method) {
    if (!(std::isfinite(tau) && tau > 0.0)) py_err_with_kind("OutOfDomain", method + ": tau must be finite and > 0");
}

void check_finite_named(const std::vector<double>& v, const char* label) {
    if (const double* bad = first_non_finite<double>(v)) {
        py_err_with_kind("NanInf", std::string("ReverseHeat1D: ") + label + " contains NaN or Inf (" +
                                       fmt_shortest(*bad) + ")");
    }
}

// The gradient, finite as swept with theta and tau balanced, beyond the
// range once scaled back (the same text as the sweep's own).
constexpr char kGradientBeyond[] = "value_and_grad: the gradient dJ/dtheta is not finite";

// J and dJ/dtheta are quadratic in u0 and target together: of u0 2^-e and
// target 2^-e (exact) they are 2^-2e times those of u0 and target, with
// every intermediate of the sweep (the misfit u_n - target, its square, the
// cotangent and tangents) 2^e smaller. A sweep whose loss or gradient came
// out non-finite (`failed`) is run again at max(max|u0|, max|target|) in
// [1, 2) and its results scaled back by 2^2e: served where they are
// doubles, else refused naming the scale of the two that keeps them so. A
// failure that recurs there (theta tau underflowing to 0, whose square root
// has an infinite derivative) stands.
template <class Run>
Expected<ReverseResult> served_at_unit_scale(const std::string& method, const std::vector<double>& u0,
                                             const std::vector<double>& target, Expected<ReverseResult> failed,
                                             Run&& run) {
    const double top = std::fmax(largest_abs(u0), largest_abs(target));
    if (!(top > 0.0)) return failed;
    const int e = std::ilogb(top);
    std::vector<double> su0 = u0, starget = target;
    scale_by_power_of_two(su0, -e);
    scale_by_power_of_two(starget, -e);
    Expected<ReverseResult> again = run(su0, starget);
    if (!again) return failed;
    double size = std::fabs(again->j);
    for (double g : again->gradient) size = std::fmax(size, std::fabs(g));
    if (!std::isfinite(size)) return failed;
    ReverseResult back = *again;
    back.j = std::ldexp(back.j, 2 * e);
    scale_by_power_of_two(back.gradient, 2 * e);
    if (std::isfinite(back.j) && all_finite(back.gradient)) return back;
    // Data scaled to max(max|u0|, max|target|) = m 2^e give size (m / top_in)^2
    // with top_in = top 2^-e in [1, 2): within the range up to m = top_in
    // sqrt(largest / size). Named: the factor that takes the data there (a
    // relative 2^-40 inside, for the rounding) and each maximum after it.
    const double top_in = std::ldexp(top, -e);
    const double room = std::sqrt(std::numeric_limits<double>::max()) / std::sqrt(size);
    const double factor = floor_4_digits_inside(top_in * room / top);
    auto bound = [&](const std::vector<double>& v) { return fmt_exp3(floor_4_digits(largest_abs(v) * factor)); };
    py_err_with_kind("NanInf", method + ": J = sum (u_n - target)^2 or dJ/dtheta lies beyond the double range: both "
                                        "are quadratic in u0 and target together, and with max|u0| = " +
                                   fmt_exp3(largest_abs(u0)) + ", max|target| = " + fmt_exp3(largest_abs(target)) +
                                   " they pass the largest double; u0 and target multiplied by one factor of at most " +
                                   fmt_exp3(factor) + " (max|u0| <= " + bound(u0) +
                                   ", max|target| <= " + bound(target) + ") keep them within it");
}

// u0 and target converted and checked, the problem built, the sweep run
// (on the calling thread, Ctrl-C answered between steps).
Ref sweep(const ReverseHeat1DObj& self, const Args& a, std::size_t u0_arg, double tau,
          const std::vector<double>& theta, const std::string& method, bool as_list) {
    const std::vector<double> u0 = extract_float_vec(a.raw(u0_arg));
    const std::vector<double> target = extract_float_vec(a.raw(u0_arg + 1));
    if (u0.size() != self.n_grid) py_err_with_kind("GridMismatch", method + ": u0 length must equal n_grid");
    if (target.size() != self.n_grid) py_err_with_kind("GridMismatch", method + ": target length must equal n_grid");
    check_finite_named(u0, "u0");
    check_finite_named(target, "target");
    const ReverseSweepConfig cfg = unwrap(reverse_heat1d_setup(self.theta, self.xmin, self.xmax, self.n_grid, self.n_steps));
    // The tangent steps read where the plain ones do, and the scaled sweeps
    // below where this one does (the reads see theta tau / dx^2 only).
    refuse_reads_beyond_grid(method.c_str(), {StepCall::Form::StepOnly, 0.0, tau}, spacing_text(cfg.kernel.grid),
                             [&](double step) { return heat_reads_located(cfg.kernel, step); });
    // The steps see theta, tau and the spacing only through theta tau / dx^2:
    // lengths 2^-k with theta 2^(m - 2k) and tau 2^-m (all exact) take the
    // same steps, with dJ/dtheta 2^(2k - m) times the plain one. The sweep
    // with those, its gradient scaled back.
    struct Scales {
        int k = 0, m = 0;
    };
    auto run_at = [&](const std::vector<double>& from, const std::vector<double>& to, Scales sc) {
        const int theta_exp = sc.m - 2 * sc.k;
        const Expected<ReverseSweepConfig> scaled =
            sc.k == 0 && sc.m == 0
                ? Expected<ReverseSweepConfig>(cfg)
                : reverse_heat1d_setup(std::ldexp(self.theta, theta_exp), std::ldexp(self.xmin, -sc.k),
                                       std::ldexp(self.xmax, -sc.k), self.n_grid, self.n_steps);
        if (!scaled) return Expected<ReverseResult>(fail(scaled.error()));
        std::vector<double> theta_s = theta;
        scale_by_power_of_two(theta_s, theta_exp);
        const GridFn<double> start{scaled->kernel.grid, from};
        Expected<ReverseResult> r = fail(CoreError::unsupported_operation("reverse_sweep: not run"));
        (void)run_with_lock_held([&]() -> Status {
            r = reverse_sweep(*scaled, self.n_steps, start, to, theta_s, std::ldexp(tau, -sc.m));
            if (!r) return fail(r.error());  // a stop for Ctrl-C raises the handler's exception
            return {};
        });
        if (r && theta_exp != 0) {
            scale_by_power_of_two(r->gradient, theta_exp);
            for (const double g : r->gradient) {
                if (!std::isfinite(g)) return Expected<ReverseResult>(domain_error(kGradientBeyond, g));
            }
        }
        return r;
    };
    auto overflowed = [](const Expected<ReverseResult>& r) {
        return !r && r.error().variant() == CoreError::Variant::DomainViolation && !std::isfinite(r.error().f0());
    };
    // A sweep whose tangents left the range (they carry tau, dx^-k and
    // 1 / sqrt(theta tau) apart, and theta tau may underflow where theta tau
    // / dx^2 does not) runs again on cells of unit size, theta and tau
    // balanced about their product.
    Scales balanced;
    const double dx = (self.xmax - self.xmin) / static_cast<double>(self.n_grid - 1);
    balanced.k = std::isfinite(dx) && dx > 0.0 ? std::ilogb(dx) : 0;
    balanced.m = (std::ilogb(tau) - (std::ilogb(self.theta) - 2 * balanced.k)) / 2;
    auto run = [&](const std::vector<double>& from, const std::vector<double>& to) {
        Expected<ReverseResult> r = run_at(from, to, {});
        if (!overflowed(r) || (balanced.k == 0 && balanced.m == 0)) return r;
        Expected<ReverseResult> again = run_at(from, to, balanced);
        return again ? again : r;
    };
    Expected<ReverseResult> r = run(u0, target);
    if (overflowed(r)) r = served_at_unit_scale(method, u0, target, std::move(r), run);
    const ReverseResult res = unwrap(std::move(r));
    if (as_list) return py_tuple({py_float(res.j), py_float_list(res.gradient)});
    return py_tuple({py_float(res.j), py_float(res.gradient.at(0))});
}

Ref reverse_heat1d_value_and_grad(const ReverseHeat1DObj& self, const Args& a) {
    const std::string method = "ReverseHeat1D.value_and_grad";
    const double tau = a.f64(0);
    check_tau(tau, method);
    return sweep(self, a, 1, tau, {self.theta}, method, false);
}

Ref reverse_heat1d_value_and_grad_kvec(const ReverseHeat1DObj& self, const Args& a) {
    const std::string method = "ReverseHeat1D.value_and_grad_kvec";
    const double tau = a.f64(0);
    check_tau(tau, method);
    const std::vector<double> theta = extract_float_vec(a.raw(1));
    if (theta.empty()) py_err_with_kind("OutOfDomain", method + ": theta_vec must be non-empty");
    check_finite_named(theta, "theta_vec");
    return sweep(self, a, 2, tau, theta, method, true);
}

Ref reverse_heat1d_theta(const ReverseHeat1DObj& self, const Args&) { return py_float(self.theta); }
Ref reverse_heat1d_n_steps(const ReverseHeat1DObj& self, const Args&) { return py_int(self.n_steps); }
Ref reverse_heat1d_n_grid(const ReverseHeat1DObj& self, const Args&) { return py_int(self.n_grid); }

ClassDef& ReverseHeat1DObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<ReverseHeat1DObj>("ReverseHeat1D", kReverseHeat1DDoc);
        d.tp_new = constructor<ReverseHeat1DObj, kReverseHeat1DDoc, &reverse_heat1d_new>();
        d.methods = {
            method<ReverseHeat1DObj, kValueAndGradDoc, &reverse_heat1d_value_and_grad>(),
            method<ReverseHeat1DObj, kValueAndGradKvecDoc, &reverse_heat1d_value_and_grad_kvec>(),
            method<ReverseHeat1DObj, kThetaDoc, &reverse_heat1d_theta>(),
            method<ReverseHeat1DObj, kNStepsDoc, &reverse_heat1d_n_steps>(),
            method<ReverseHeat1DObj, kNGridDoc, &reverse_heat1d_n_grid>(),
        };
        return d;
    }();
    return def;
}

}  // namespace

PyTypeObject* reverse_heat1d_type_object() { return type_object<ReverseHeat1DObj>(); }

}  // namespace quorvane::py
