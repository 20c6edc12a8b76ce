// Python class ComplexTripleJumpV8: one complex triple-jump step on the
// five-dimensional filiform group.
#include <string>
#include <utility>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/geometric/carnot_complex_helpers.hpp"
#include "python/array.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"
#include "python/geometric/domain_args.hpp"

namespace quorvane::py {
namespace {

struct TripleJumpObj {
    DomainBox box;
    static ClassDef& class_def();
};

constexpr char kTripleJumpDoc[] =
    "ComplexTripleJumpV8(domain_lo, domain_hi, n_per_axis)\n--\n\n"
    "Complex triple-jump step of hypoelliptic heat on the five-dimensional filiform group.\n\n"
    "The fields are X1 = d/dx0 and X2 = d/dx1 + x0 d/dx2 + x2 d/dx3 + x3 d/dx4 on the box\n"
    "[domain_lo, domain_hi]^5 with n_per_axis nodes per axis. ``apply_real`` lifts u0 to complex\n"
    "values, applies K(g tau) K((1 - 2g) tau) K(g tau) with the complex root g of\n"
    "2g^3 + (1 - 2g)^3 = 0 (K(c) the palindromic composition of 32-point Gauss-Hermite field\n"
    "steps for the complex parameter c) and returns the real part. Each field step reads u at\n"
    "its complex displacement itself: per axis, the Lagrange polynomial through the five nodes\n"
    "centred on the node nearest the real part (fewer beside an end node; the end value beyond\n"
    "the box) is evaluated at the complex coordinate. Away from the ends of the box a field step\n"
    "of parameter s is thus the exact flow exp(s X^2/2) on polynomials of degree <= 4 per\n"
    "axis, the increment of a step on a quadratic is that of exp(tau L), L = (X1^2 + X2^2)/4,\n"
    "and the step is fourth order in tau: its local error is O(tau^5) (1.5551e-3 tau^5 on\n"
    "x2^2 x3^2). On smooth data the reads add an error O(dx^4) per unit time. Read points about\n"
    "a cell off the real axis would amplify grid-scale content, so a field step exp(s X^2/2) whose\n"
    "read points would lie further than 0.7 cells from the real points (per unit Gauss-Hermite\n"
    "node) is taken as k equal pieces exp((s/k) X^2/2), the least k that keeps them within: the\n"
    "same flow, so the composition and its order stay, and a large step no longer grows max|u|.\n"
    "Ordinary steps take k = 1 (nine field steps); the count grows about linearly with tau\n"
    "(tau = 10 takes 99 field steps on n_per_axis = 8 over [-2, 2]), and a step that would take\n"
    "more than 1024 is refused.\n\n"
    "Parameters\n----------\n"
    "domain_lo, domain_hi : float\n    Bounds of every axis; finite, domain_lo < domain_hi.\n"
    "n_per_axis : int\n    Nodes per axis, at least 4.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] domain bounds must be finite\", \"[GridMismatch] domain_lo must be <\n"
    "    domain_hi\", \"[GridMismatch] n_per_axis must be >= 4\"; kind OutOfDomain when the\n"
    "    spacing (domain_hi - domain_lo)/(n_per_axis - 1) squares to inf or below the normal range.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> c = quorvane.ComplexTripleJumpV8(-2.0, 2.0, 4)\n"
    ">>> u = c.apply_real(0.01, np.ones(c.size()))\n"
    ">>> print(c.size(), bool(np.allclose(u, 1.0)))\n"
    "1024 True\n";

constexpr char kApplyRealDoc[] =
    "apply_real($self, tau, u0)\n--\n\n"
    "Return Re(Psi(tau) u0) as a new float64 array of n_per_axis**5 values.\n\n"
    "Runs with the interpreter lock released; u0 is flat, axis 0 fastest.\n\n"
    "Parameters\n----------\n"
    "tau : float\n    Step, finite and >= 0.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    n_per_axis**5 values.\n\n"
    "Returns\n-------\nnumpy.ndarray[float64]\n\n"
    "Raises\n------\n"
    "TypeError\n    \"u0 must be numpy.ndarray[float64] or sequence of floats\".\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] tau must be finite and >= 0\", \"[GridMismatch] len(u0)={} !=\n"
    "    n_per_axis^5={}\", and kind CflViolated where the step would take more than 1024 field\n"
    "    steps (the message names the largest tau admitted on this grid). NaN or inf in u0 is not\n"
    "    refused: it is carried to the values whose reads touch it.\n"
    QUORVANE_BEYOND_RANGE_DOC;

constexpr char kSizeDoc[] =
    "size($self)\n--\n\n"
    "Return the number of grid values, n_per_axis**5.\n";

constexpr char kVerifyDoc[] =
    "verify_gamma_star()\n--\n\n"
    "Return True: the stored g solves 2g^3 + (1 - 2g)^3 = 0 with Re g > 0 and Re(1 - 2g) > 0.\n";

Expected<Grid1D<double>> box_axis(const DomainBox& box) {
    return Grid1D<double>::make({}, InterpKind::septic(), box.lo, box.hi, static_cast<std::size_t>(box.n));
}

// Bounds whose spacing squares to inf or below the normal range would send
// every read point of the field steps to inf or NaN: refused here, once.
TripleJumpObj triple_jump_new(const Args& a) {
    const DomainBox box = domain_args(a);
    unwrap(box_axis(box));
    return TripleJumpObj{box};
}

Ref triple_jump_apply_real(const TripleJumpObj& self, const Args& a) {
    const double tau = a.f64(0);
    check_tau(tau);
    std::vector<double> u0 = box_u0(a.raw(1), self.box.n, 5);
    const bool finite_u0 = first_non_finite<double>(u0) == nullptr;
    const DomainBox box = self.box;
    struct Refusal {
        bool hit = false;
        double tau_max = 0.0, h = 0.0;
    };
    Refusal refused;
    BeyondRange beyond;
    Expected<std::vector<double>> r = without_gil([&]() -> Expected<std::vector<double>> {
        const Grid1D<double> axis = expect_ok(box_axis(box), "ComplexTripleJumpV8: axis");
        const BoxAxis b{axis.xmin, axis.xmax, axis.n};
        const FiliformAxes axes{b, b, b, b, b};
        if (ComplexTripleJump::total_sub_steps(ComplexTripleJump::sub_steps(tau, axes)) >
            ComplexTripleJump::kMaxSubSteps) {
            refused = {true, ComplexTripleJump::max_step(tau, axes), axis.dx()};
            return std::vector<double>{};
        }
        const FieldList group = FiliformGroup::vector_fields();
        // The step is linear: run at the data's unit scale (run_linear).
        // Finite data whose complex sums overflowed even so are refused; NaN
        // or inf in u0 is carried as given.
        return run_linear(u0, beyond, [&](std::vector<double> v) {
            return refuse_overflow_of_finite(finite_u0, ComplexTripleJump::apply_real(tau, group, axes, v));
        });
    });
    if (refused.hit) {
        // Shown a little below the bound, so that the printed tau is admissible.
        py_err_with_kind("CflViolated", "ComplexTripleJumpV8: tau = " + fmt_exp3(tau) +
                                            " puts the complex read points of the field steps so far off the real "
                                            "axis of this grid (h = " + fmt_exp3(refused.h) +
                                            ") that keeping them within " +
                                            fmt_shortest(ComplexTripleJump::kMaxReadReach) +
                                            " cells would take more than " +
                                            std::to_string(ComplexTripleJump::kMaxSubSteps) +
                                            " field sub-steps; every step up to tau = " +
                                            fmt_exp3(refused.tau_max * 0.999) + " is admitted");
    }
    refuse_beyond("ComplexTripleJumpV8", u0, beyond);
    return new_array_f64(unwrap(std::move(r)));
}

Ref triple_jump_size(const TripleJumpObj& self, const Args&) { return py_int_pow(self.box.n, 5); }

Ref triple_jump_verify(const Args&) { return py_bool(ComplexTripleJump::verify_gamma_star()); }

ClassDef& TripleJumpObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<TripleJumpObj>("ComplexTripleJumpV8", kTripleJumpDoc);
        d.tp_new = constructor<TripleJumpObj, kTripleJumpDoc, &triple_jump_new>();
        d.methods = {
            method<TripleJumpObj, kApplyRealDoc, &triple_jump_apply_real>(),
            method<TripleJumpObj, kVerifyDoc, &triple_jump_verify>(),
            method<TripleJumpObj, kSizeDoc, &triple_jump_size>(),
        };
        return d;
    }();
    return def;
}

}  // namespace

PyTypeObject* complex_triple_jump_v8_type_object() { return type_object<TripleJumpObj>(); }

}  // namespace quorvane::py
