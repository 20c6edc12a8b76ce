// Python class PointEval: the value of the unit heat evolution at one point.
#include <cmath>
#include <string>
#include <vector>

#include "core/line/diffusion.hpp"
#include "core/foundation/format.hpp"
#include "core/foundation/numeric.hpp"
#include "core/line/point_eval.hpp"
#include "python/array.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"

namespace quorvane::py {
namespace {

struct PointEvalObj {
    double xmin = 0.0;
    double xmax = 1.0;
    std::size_t n = 4;

    std::string repr() const {
        return "PointEval(xmin=" + fmt_shortest(xmin) + ", xmax=" + fmt_shortest(xmax) + ", n=" + std::to_string(n) +
               ")";
    }
    static ClassDef& class_def();
};

constexpr char kPointEvalDoc[] =
    "PointEval(xmin, xmax, n)\n--\n\n"
    "Point evaluation of the unit heat evolution du/dt = d^2u/dx^2 on a uniform grid.\n\n"
    "The object keeps only the grid: n nodes x_i = xmin + i*dx, dx = (xmax - xmin)/(n - 1),\n"
    "with reflecting ends. Each ``eval_at`` call takes the initial values, the step, the point\n"
    "and the step count, runs the second-order Chernoff steps on the whole grid and reads the\n"
    "result at one point.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"
    "n : int\n    Number of grid nodes, at least 4.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[NanInf]\" for non-finite bounds, \"[GridMismatch]\" for xmin >= xmax or n < 4.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 41)\n"
    ">>> p = quorvane.PointEval(0.0, 1.0, 41)\n"
    ">>> v = p.eval_at(0.002, np.cos(np.pi * x), 0.0, n_steps=50)     # u(t = 0.1, x = 0)\n"
    ">>> print(f\"{abs(v - np.exp(-np.pi**2 * 0.1)):.0e}\")\n"
    "5e-06\n";

constexpr char kEvalAtDoc[] =
    "eval_at($self, tau, u0, x, n_steps=1)\n--\n\n"
    "Return (F(tau)^n_steps u0)(x) for the unit heat Chernoff function F.\n\n"
    "F(tau) replaces u by a five-point Gaussian average (weights 7/12, 3/16, 1/48 at offsets\n"
    "0, +-2 sqrt(tau), +-2 sqrt(3 tau)); n_steps whole-grid steps of size tau approximate\n"
    "exp(n_steps tau d^2/dx^2) to second order in tau. The final grid function is read at x\n"
    "by degree-7 Hermite interpolation, beyond the ends by reflection, so the value equals\n"
    "evolving the grid and interpolating. The interpreter lock is released meanwhile.\n\n"
    "Parameters\n----------\n"
    "tau : float\n    Step size, finite and >= 0. Accurate only while k^2*tau is small for the\n"
    "    wave numbers k that matter (aim for 0.1 or less); larger steps give wrong values\n"
    "    without any error.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values at the n nodes.\n"
    "x : float\n    Evaluation point, finite (beyond the ends is allowed).\n"
    "n_steps : int, optional\n    Number of steps, 1 to 4294967295 (default 1).\n\n"
    "Returns\n-------\nfloat\n\n"
    "Raises\n------\n"
    "TypeError\n    \"u0 must be a float64 array\" if u0 is not a float sequence.\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] tau must be finite and >= 0\",\n"
    "    \"[GridMismatch] u0 length L, expected n\", \"[NanInf] u0 contains NaN or Inf\",\n"
    "    \"[NanInf] x must be finite: ...\", kind NanInf when the value lies beyond the double\n"
    "    range, naming the max|u0| of the same data that keeps it within (the steps are linear:\n"
    "    data of every size whose value is a double are served), or the error of a step;\n"
    QUORVANE_FAR_READS_DOC("\"use tau <= ...\", with the n_steps from which every count of steps\n"
                           "    t / n_steps passes for t = n_steps * tau (or, where no count up to\n"
                           "    4294967295 does, the longest t one call serves)");

PointEvalObj point_eval_new(const Args& a) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    unwrap(Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), xmin, xmax, n));
    return PointEvalObj{xmin, xmax, n};
}

Ref point_eval_eval_at(const PointEvalObj& self, const Args& a) {
    const double tau = a.f64(0);
    const double x = a.f64(2);
    const std::uint32_t n_steps = a.u32_or(3, 1);
    if (n_steps == 0) py_err_with_kind("OutOfDomain", "n_steps must be >= 1");
    if (!finite_nonneg(tau)) py_err_with_kind("OutOfDomain", "tau must be finite and >= 0");
    auto u0 = try_float_vector(a.raw(1));
    if (!u0) raise_type_error("u0 must be a float64 array");
    if (u0->size() != self.n) {
        py_err_with_kind("GridMismatch",
                         "u0 length " + std::to_string(u0->size()) + ", expected " + std::to_string(self.n));
    }
    if (first_non_finite<double>(*u0)) py_err_with_kind("NanInf", "u0 contains NaN or Inf");
    // A point that is not finite has no value; say so by name rather than
    // after the whole evolution, through the interpolation's own refusal.
    if (!std::isfinite(x)) raise_core_error(CoreError::domain("x must be finite", x));
    const PointEvalObj p = self;
    const Grid1D<double> judged =
        unwrap(Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), p.xmin, p.xmax, p.n));
    const DiffusionChernoff unit = DiffusionChernoff::unit(judged);
    refuse_reads_beyond_grid("PointEval", {StepCall::Form::Step, static_cast<double>(n_steps) * tau, tau, "n_steps", 0,
                                           kU32Counts},
                             spacing_text(judged), [&](double step) { return heat_reads_located(unit, step); });
    BeyondRange beyond;
    // run_evolve: a result that is not finite is an error, as for every evolve.
    auto r = run_evolve([&] {
        return run_linear(*u0, beyond, [&](std::vector<double> values) -> Expected<std::vector<double>> {
            auto grid =
                Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), p.xmin, p.xmax, p.n);
            if (!grid) return fail(grid.error());
            const DiffusionChernoff kernel = DiffusionChernoff::unit(*grid);
            const GridFn<double> start{*grid, std::move(values)};
            const double pt[1] = {x};
            Expected<double> value = eval_at(kernel, start, pt, n_steps, tau);
            if (!value) return fail(value.error());
            return std::vector<double>{*value};
        });
    });
    refuse_beyond("PointEval", *u0, beyond);
    return py_float(unwrap(std::move(r))[0]);
}

ClassDef& PointEvalObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<PointEvalObj>("PointEval", kPointEvalDoc);
        d.tp_new = constructor<PointEvalObj, kPointEvalDoc, &point_eval_new>();
        d.methods = {
            method<PointEvalObj, kEvalAtDoc, &point_eval_eval_at>(),
        };
        return d;
    }();
    return def;
}

}  // namespace

PyTypeObject* point_eval_type_object() { return type_object<PointEvalObj>(); }

}  // namespace quorvane::py
