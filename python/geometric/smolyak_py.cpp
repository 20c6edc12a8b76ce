// Python class SmolyakD6V8: Chernoff steps of six-dimensional unit diffusion
// with the Smolyak sparse-grid rule.
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/geometric/smolyak.hpp"
#include "core/line/heat_stability.hpp"
#include "python/array.hpp"
#include "python/frame.hpp"
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
    "between about 0.658 and 0.743 (at most 1.06 there) and again from about 0.927 on (1.98\n"
    "at 1, above 1.18 from 0.95 up to at least 12). From there on it is not monotone: it\n"
    "swings between about 1 and 16.5, above 10 first for 2 sqrt(tau)/h in about (3.88, 4.28)\n"
    "and then in further windows whose places depend on n_per_axis (with 4 nodes per axis\n"
    "about (5.95, 6.37), (10.4, 10.8), (11.6, 12.8), ...). apply refuses a call only where its\n"
    "n_steps steps could grow some mode more than tenfold (spectral radius^n_steps > 10, the\n"
    "allowance the library's heat evolvers give a call): in the first window only with 40\n"
    "steps or more, between 0.95 and 12 always with 14 or more, and a single step only where\n"
    "the radius exceeds 10 (with 4 nodes per axis one step at 2 sqrt(tau)/h = 5, radius 3.75,\n"
    "is admitted, two are refused). Steps up to 2 sqrt(tau)/h = 0.658 amplify nothing.\n\n"
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
    "    \"[GridMismatch] len(u0)={} != n_per_axis^6={}\", and kind CflViolated where n_steps\n"
    "    steps of tau could grow some mode of the grid more than tenfold (spectral\n"
    "    radius^n_steps > 10; the message names the largest tau up to which every step is a\n"
    "    contraction), kind OutOfDomain where the step would read u 2^53 or more cells from\n"
    "    the grid (2 sqrt(tau)/h above about 3.4e15), beyond what the grid can resolve, and\n"
    "    \"[NanInf] all values must be finite (no NaN/Inf): {value}\" where finite u0 would give\n"
    "    values beyond the double range (e.g. data near 1e308 in a mode the step amplifies;\n"
    "    the sums of a step are formed on data scaled by a power of two where they would\n"
    "    overflow, so data up to the double range whose result is in range are stepped). NaN\n"
    "    or inf in u0 is not refused: it is carried through the interpolation stencils.\n";

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

Ref smolyak_apply(const SmolyakObj& self, const Args& a) {
    const double tau = a.f64(0);
    const std::size_t n_steps = a.usize_or(2, 1);
    check_tau(tau);
    if (n_steps == 0) py_err_with_kind("OutOfDomain", "n_steps must be >= 1");
    std::vector<double> u0 = box_u0(a.raw(1), self.box.n, 6);
    const bool finite_u0 = first_non_finite<double>(u0) == nullptr;
    const DomainBox box = self.box;
    struct Refusal {
        bool hit = false, beyond_grid = false;
        double radius = 0.0, tau_max = 0.0, h = 0.0;
    };
    Refusal refused;
    std::vector<double> out = compute([&]() -> Expected<std::vector<double>> {
        auto op = SmolyakGridND<6>::make(static_cast<std::size_t>(box.n), box.lo, box.hi);
        if (!op) return fail(op.error());
        refused.h = op->grid().axes[0].dx();
        // Before the radius: where the step cannot place its nodes, the
        // symbol's phases are rounding noise and its radius means nothing.
        if (!op->check_step(tau)) {
            refused.beyond_grid = true;
            return std::vector<double>{};
        }
        refused.radius = op->spectral_radius(tau);
        // The grid's cosine modes are the step's eigenvectors, orthogonal in
        // the grid's trapezoid-weighted 2-norm, so in that norm n_steps steps
        // grow any data by at most radius^n_steps. A radius within 1e-9 of 1
        // is the constant mode's 1 up to the weights' rounding.
        const bool grows = refused.radius > 1.0 + 1e-9 &&
                           static_cast<double>(n_steps) * std::log(refused.radius) > std::log(kCallAmplificationLimit);
        if (grows) {
            refused.hit = true;
            refused.tau_max = op->max_contracting_tau(tau);
            return std::vector<double>{};
        }
        // Finite data whose sums overflowed are refused; NaN or inf in u0 is
        // carried through the stencils as given.
        return refuse_overflow_of_finite(finite_u0, smolyak_evolve(*op, std::move(u0), tau, n_steps));
    });
    auto cells = [&] {
        return "h = " + fmt_exp3(refused.h) + ", 2 sqrt(tau)/h = " + fmt_exp3(2.0 * std::sqrt(tau) / refused.h);
    };
    if (refused.beyond_grid) {
        py_err_with_kind("OutOfDomain", "SmolyakD6V8: tau = " + fmt_exp3(tau) +
                                            " puts sparse-grid nodes 2^53 or more cells from this grid's first "
                                            "node (" + cells() + "), where neighbouring cells are no longer "
                                            "distinct doubles");
    }
    if (refused.hit) {
        // Shown a little below the bound, so that the printed tau is admissible.
        py_err_with_kind("CflViolated", "SmolyakD6V8: tau = " + fmt_exp3(tau) +
                                            " makes the sparse-grid step amplify some modes of this grid "
                                            "(spectral radius " + fmt_exp3(refused.radius) + " > 1, " + cells() +
                                            "), so that n_steps = " +
                                            std::to_string(n_steps) +
                                            " steps could grow them more than tenfold; every step up to tau = " +
                                            fmt_exp3(refused.tau_max * 0.999) +
                                            " is a contraction");
    }
    return new_array_f64(out);
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
