// Python class SmolyakD6V8: Chernoff steps of six-dimensional unit diffusion
// with the Smolyak sparse-grid rule.
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/numeric.hpp"
#include "core/geometric/smolyak.hpp"
#include "python/array.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"
#include "python/step_counts.hpp"
#include "python/geometric/domain_args.hpp"

namespace quorvane::py {
namespace {

struct SmolyakObj {
    DomainBox box;
    static ClassDef& class_def();
};

constexpr char kSmolyakDoc[] =
    "SmolyakD6V8(domain_lo, domain_hi, n_per_axis)\n--\n\n"
    "Chernoff steps of the six-dimensional heat equation du/dt = Laplacian u with a sparse-grid rule.\n\n"
    "One step of size tau maps u to pi^-3 sum_k w_k u(x + 2 sqrt(tau) xi_k) over the 533 nodes\n"
    "of the level-9 Smolyak combination of the 1- to 9-point Gauss-Hermite rules (some weights\n"
    "negative) instead of a full tensor rule; u is read between nodes by four-point cubic\n"
    "Hermite interpolation, reflecting beyond the box [domain_lo, domain_hi]^6.\n\n"
    "The negative weights make the step amplify some grid modes: with h = (domain_hi -\n"
    "domain_lo)/(n_per_axis - 1), its spectral radius exceeds 1 where 2 sqrt(tau)/h lies\n"
    "between about 0.65859 and 0.743 (at most 1.06 there) and from about 0.927 on (1.98 at 1,\n"
    "between about 1 and 16.5 further out), except in narrow windows whose places depend on\n"
    "n_per_axis (with 4 nodes per axis about 13.70 and (14.61, 14.84); none up to 25 with 7\n"
    "or 8). apply judges the step, not the call: a tau whose step amplifies some mode is\n"
    "refused at every n_steps, since every further step, in this call or a later one that\n"
    "starts from its result, would grow that mode again. Every step up to 2 sqrt(tau)/h =\n"
    "0.658586 (tau = 0.108434 h^2) amplifies nothing, on every grid, and only those steps are\n"
    "admitted (the edge lies at 0.6585868 with 4 to 8 nodes per axis, so 0.6586 is refused):\n"
    "the windows beyond it where the radius is back at or below 1 are refused too, so that\n"
    "the counts admitted for a time t are every count from one on.\n\n"
    "The grid's cosine modes are the eigenvectors of the steps of every tau and are\n"
    "orthogonal in the trapezoid-weighted 2-norm (weight 1/2 per axis at an end node), so\n"
    "admitted steps, in one call or many and of any sizes, never grow data in that norm; a\n"
    "single mode such as the checkerboard (-1)^(i0+...+i5) keeps max|u| <= max|u0|. In the\n"
    "max norm other data can rise somewhat above max|u0| before they decay (up to 1.49\n"
    "max|u0| measured with 4 nodes per axis): the cubic reads weigh some values negatively.\n\n"
    "Parameters\n----------\n"
    "domain_lo, domain_hi : float\n    Bounds of every axis; finite, domain_lo < domain_hi.\n"
    "n_per_axis : int\n    Nodes per axis, at least 4.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] domain bounds must be finite\", \"[GridMismatch] domain_lo must be <\n"
    "    domain_hi\", \"[GridMismatch] n_per_axis must be >= 4\".\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> s = quorvane.SmolyakD6V8(0.0, 1.0, 4)\n"
    ">>> u = s.apply(0.001, np.ones(4**6), n_steps=2)           # axis 0 fastest; constants stay constant\n"
    ">>> print(s.n_nodes(), s.level(), bool(np.allclose(u, 1.0)))\n"
    "533 9 True\n";

constexpr char kApplyDoc[] =
    "apply($self, tau, u0, n_steps=1)\n--\n\n"
    "Return u0 after n_steps steps of size tau (time n_steps * tau) as a new float64 array.\n\n"
    "u0 holds n_per_axis**6 values, axis 0 fastest: node (i0, ..., i5) at\n"
    "i0 + n*i1 + ... + n**5*i5. Runs with the interpreter lock released.\n\n"
    "Parameters\n----------\n"
    "tau : float\n    Step size, finite and >= 0.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values.\n"
    "n_steps : int, optional\n    Number of steps, at least 1 (default 1).\n\n"
    "Returns\n-------\nnumpy.ndarray[float64]\n\n"
    "Raises\n------\n"
    "TypeError\n    \"u0 must be numpy.ndarray[float64] or sequence of floats\".\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] tau must be finite and >= 0\", \"[OutOfDomain] n_steps must be >= 1\",\n"
    "    \"[GridMismatch] len(u0)={} != n_per_axis^6={}\", and kind CflViolated where a step of\n"
    "    tau amplifies some mode of the grid (spectral radius > 1), or lies beyond such a\n"
    "    step (2 sqrt(tau)/h above 0.658586), whatever n_steps: the\n"
    "    message names the largest admissible tau (every step up to it is admitted) and the\n"
    "    n_steps whose steps of t/n_steps cover the call's time t = n_steps * tau within it\n"
    "    (\"...; the largest admissible tau is {}; use n_steps >= {} for t = n_steps * tau =\n"
    "    {}\"; every larger count passes too; where even n_steps = 2^64 - 1 takes longer steps,\n"
    "    it says so and names the longest t one call serves). Kind OutOfDomain where the step\n"
    "    would read u 2^53 or more cells from the grid (2 sqrt(tau)/h above about 3.4e15),\n"
    "    beyond what the grid can resolve, with the same advice. Kind NanInf where finite u0 gives a result beyond the double range:\n"
    "    \"[NanInf] SmolyakD6V8: the result (tau = {}, n_steps = {}) overflows the double range:\n"
    "    max|u| would be {} max|u0|, max|u0| = {}; u0 scaled to max|u0| <= {} gives a result\n"
    "    in range\" (the steps carry data whose sums could overflow scaled by a power of two,\n"
    "    so no intermediate overflows and data up to the double range whose result is in\n"
    "    range are stepped; a constant moves by rounding, a few 1e-15 of itself a step, which\n"
    "    can carry one at the largest double beyond the range: refused). NaN or inf in u0 is\n"
    "    not refused: it is carried through the interpolation stencils.\n";

constexpr char kNodesDoc[] =
    "n_nodes($self)\n--\n\n"
    "Return the number of sparse-grid nodes (533).\n";

constexpr char kLevelDoc[] =
    "level($self)\n--\n\n"
    "Return the Smolyak level: 9.\n";

constexpr char kSizeDoc[] =
    "size($self)\n--\n\n"
    "Return the number of grid values, n_per_axis**6.\n";

SmolyakObj smolyak_new(const Args& a) { return SmolyakObj{domain_args(a)}; }

// Below this 2 sqrt(tau)/h no step amplifies any mode, on every grid (the
// checkerboard's eigenvalue leaves the unit disc at 0.65859).
constexpr double kFirstCrossing = 0.6585;

// The refusal of a finite u0 whose result lies beyond the double range,
// read off the scaled values of the steps (max|u| = max|values| 2^exponent).
[[noreturn]] void raise_result_overflow(double tau, std::size_t n_steps, double top0, double top, int exponent) {
    // top 2^exponent > DBL_MAX >= top0: the growth exceeds 1, and the scale
    // that passes, DBL_MAX / growth, lies below DBL_MAX.
    const double growth = std::ldexp(top / top0, exponent);
    // The steps are linear; a rescaled u0 moves their sums by rounding, far
    // less than the margin of 1e-9.
    const double passes =
        floor_4_digits((std::ldexp(std::numeric_limits<double>::max(), -exponent) / top) * top0 * (1.0 - 1e-9));
    py_err_with_kind("NanInf", "SmolyakD6V8: the result (tau = " + fmt_exp3(tau) + ", n_steps = " +
                                   std::to_string(n_steps) + ") overflows the double range: max|u| would be " +
                                   fmt_shortest_compact(growth) + " max|u0|, max|u0| = " + fmt_exp3(top0) +
                                   "; u0 scaled to max|u0| <= " + fmt_exp3(passes) + " gives a result in range");
}

Ref smolyak_apply(const SmolyakObj& self, const Args& a) {
    const double tau = a.f64(0);
    const std::size_t n_steps = a.usize_or(2, 1);
    check_tau(tau);
    if (n_steps == 0) py_err_with_kind("OutOfDomain", "n_steps must be >= 1");
    std::vector<double> u0 = box_u0(a.raw(1), self.box.n, 6);
    const bool finite_u0 = first_non_finite<double>(u0) == nullptr;
    double top0 = 0.0;
    for (double v : u0) top0 = std::fmax(top0, std::fabs(v));
    const DomainBox box = self.box;
    struct Refusal {
        bool hit = false, beyond_grid = false;
        double radius = 0.0, tau_max = 0.0, h = 0.0;
    };
    Refusal refused;
    // The time the call covers; inf where n_steps * tau leaves the range.
    const double t = static_cast<double>(n_steps) * tau;
    SmolyakScaledValues out = compute([&]() -> Expected<SmolyakScaledValues> {
        auto op = SmolyakGridND<6>::make(static_cast<std::size_t>(box.n), box.lo, box.hi);
        if (!op) return fail(op.error());
        refused.h = op->grid().axes[0].dx();
        // Before the radius: where the step cannot place its nodes, the
        // symbol's phases are rounding noise and its radius means nothing.
        if (!op->check_step(tau)) {
            refused.beyond_grid = true;
            refused.tau_max = op->max_contracting_tau();
            return SmolyakScaledValues{};
        }
        // The step is judged, never the call: a step that grows some mode
        // grows it again in every later step, also in a later call that
        // starts from this one's result, so it is refused at every n_steps.
        // A step that grows none grows no data in the grid's trapezoid-
        // weighted 2-norm, whatever steps come before or after it. Beyond
        // the first step that grows a mode (2 sqrt(tau)/h = 0.6586 on every
        // grid) a few narrow windows grow none again; those steps are
        // refused too, so that the counts a call admits are every count
        // from one on.
        const bool grows = op->amplifies(tau);
        if (grows || 2.0 * std::sqrt(tau) / refused.h > kFirstCrossing) {
            refused.tau_max = op->max_contracting_tau();
            if (grows || tau > refused.tau_max) {
                refused.hit = true;
                refused.radius = op->spectral_radius(tau);
                return SmolyakScaledValues{};
            }
        }
        return smolyak_evolve(*op, std::move(u0), tau, n_steps);
    });
    auto cells = [&] {
        return "h = " + fmt_exp3(refused.h) + ", 2 sqrt(tau)/h = " + fmt_exp3(2.0 * std::sqrt(tau) / refused.h);
    };
    // Every step up to tau_max amplifies nothing, so every count from the
    // least named on is admitted.
    auto counts = [&] {
        return "; " + least_count_advice(refused.tau_max, "n_steps", kU64Counts, {"t = n_steps * tau", t});
    };
    if (refused.beyond_grid) {
        py_err_with_kind("OutOfDomain", "SmolyakD6V8: tau = " + fmt_exp3(tau) +
                                            " puts sparse-grid nodes 2^53 or more cells from this grid's first "
                                            "node (" + cells() + "), where neighbouring cells are no longer "
                                            "distinct doubles; the largest admissible tau is " +
                                            fmt_exp3(floor_4_digits(refused.tau_max)) + counts());
    }
    if (refused.hit) {
        const std::string what =
            refused.radius > 1.0
                ? " makes the sparse-grid step amplify some modes of this grid (spectral radius " +
                      fmt_exp3(refused.radius) + " > 1, "
                : " lies beyond steps that amplify some modes of this grid, in a window where they amplify none "
                  "(spectral radius " + fmt_exp3(refused.radius) + ", ";
        py_err_with_kind("CflViolated", "SmolyakD6V8: tau = " + fmt_exp3(tau) + what + cells() +
                                            "), at any n_steps; the largest admissible tau is " +
                                            fmt_exp3(floor_4_digits(refused.tau_max)) + counts());
    }
    // Finite data whose result lies beyond the double range are refused (the
    // scaled steps never overflow, so their values are finite); NaN or inf in
    // u0 is carried through the stencils as given.
    if (finite_u0) {
        double top = 0.0;
        for (double v : out.values) top = std::fmax(top, std::fabs(v));
        if (!std::isfinite(top)) internal_fault("SmolyakD6V8: the scaled steps of finite data overflowed");
        if (top > std::ldexp(std::numeric_limits<double>::max(), -out.exponent)) {
            raise_result_overflow(tau, n_steps, top0, top, out.exponent);
        }
    }
    if (out.exponent > 0) scale_by_power_of_two(out.values, out.exponent);
    return new_array_f64(out.values);
}

Ref smolyak_n_nodes(const SmolyakObj& self, const Args&) {
    const auto op = unwrap(SmolyakGridND<6>::make(static_cast<std::size_t>(self.box.n), self.box.lo, self.box.hi));
    return py_int(op.nodes().size());
}

Ref smolyak_level(const SmolyakObj&, const Args&) { return py_int(SmolyakGridND<6>::kLevel); }
Ref smolyak_size(const SmolyakObj& self, const Args&) { return py_int_pow(self.box.n, 6); }

ClassDef& SmolyakObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<SmolyakObj>("SmolyakD6V8", kSmolyakDoc);
        d.tp_new = constructor<SmolyakObj, kSmolyakDoc, &smolyak_new>();
        d.methods = {
            method<SmolyakObj, kApplyDoc, &smolyak_apply>(),
            method<SmolyakObj, kNodesDoc, &smolyak_n_nodes>(),
            method<SmolyakObj, kLevelDoc, &smolyak_level>(),
            method<SmolyakObj, kSizeDoc, &smolyak_size>(),
        };
        return d;
    }();
    return def;
}

}  // namespace

PyTypeObject* smolyak_d6v8_type_object() { return type_object<SmolyakObj>(); }

}  // namespace quorvane::py
