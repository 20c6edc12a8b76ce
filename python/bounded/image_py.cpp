// Python classes Reflected1D, DirichletHeat2nd1D and Robin1D: the unit heat
// step with image-method walls at both ends of the grid.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/bounded/image.hpp"
#include "core/foundation/format.hpp"
#include "python/evolver.hpp"
#include "python/step_counts.hpp"

namespace quorvane::py {
namespace {

using Reflected1DObj = GridStepEvolverObj<ReflectedHeatChernoff>;
using DirichletHeat2nd1DObj = GridStepEvolverObj<DirichletHeat2ndChernoff>;
using Robin1DObj = GridStepEvolverObj<RobinHeatChernoff>;

#define QV_IMAGE_PARAMS                                                                              \
    "Parameters\n----------\n"                                                                       \
    "xmin, xmax : float\n    Ends of the interval (the two walls); finite, xmin < xmax.\n"          \
    "n : int\n    Number of grid nodes, at least 4.\n"                                               \
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values at the n nodes, all finite.\n"
#define QV_IMAGE_TAIL                                                                                \
    "origin : float, optional\n    Position of the wall's half-space origin; it does not change the\n" \
    "    values (missing or non-finite means xmin).\n"                                               \
    "boundary : str, optional\n    Validated (\"reflect\", \"zero\", \"periodic\", \"linear\") but not\n" \
    "    used: the image rule decides the values beyond the walls.\n\n"                               \
    "Raises\n------\n"                                                                               \
    "TypeError\n    If u0 is neither a float64 array nor a sequence of floats.\n"

constexpr char kReflectedDoc[] =
    "Reflected1D(xmin, xmax, n, u0, *, origin=..., boundary=\"reflect\")\n--\n\n"
    "Unit heat equation du/dt = d^2u/dx^2 with zero-flux walls at xmin and xmax.\n\n"
    "Each Chernoff step reads the state continued beyond the walls by its even image, so the\n"
    "evolution is that of Heat1D with reflecting ends; second order in time.\n\n" QV_IMAGE_PARAMS QV_IMAGE_TAIL
    "QuorvaneError\n    \"[OutOfDomain]\" for an unknown boundary, \"[NanInf]\" for non-finite u0 or bounds,\n"
    "    \"[GridMismatch]\" for xmin >= xmax, n < 4 or len(u0) != n.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 41)\n"
    ">>> r = quorvane.Reflected1D(0.0, 1.0, 41, np.cos(np.pi * x))\n"
    ">>> r.evolve(0.1, n_steps=50)\n"
    ">>> print(f\"{abs(r.values() - np.exp(-np.pi**2 * 0.1) * np.cos(np.pi * x)).max():.0e}\")\n"
    "5e-06\n";

constexpr char kDirichletDoc[] =
    "DirichletHeat2nd1D(xmin, xmax, n, u0, *, origin=..., boundary=\"reflect\")\n--\n\n"
    "Unit heat equation du/dt = d^2u/dx^2 with absorbing (u = 0) walls at xmin and xmax.\n\n"
    "Each Chernoff step reads the state continued beyond the walls by its odd image; second\n"
    "order in time. The image is folded once, so a step may read at most one interval length\n"
    "beyond a wall: steps with tau = t/n_steps > L^2/12 (L = xmax - xmin) are refused with\n"
    "\"[CflViolated]\", naming the least admissible n_steps. No clamping is applied: values\n"
    "near a wall may turn negative.\n\n" QV_IMAGE_PARAMS QV_IMAGE_TAIL
    "QuorvaneError\n    \"[OutOfDomain]\" for an unknown boundary, \"[NanInf]\" for non-finite u0 or bounds,\n"
    "    \"[GridMismatch]\" for xmin >= xmax, n < 4 or len(u0) != n.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 201)\n"
    ">>> d = quorvane.DirichletHeat2nd1D(0.0, 1.0, 201, np.sin(np.pi * x))\n"
    ">>> d.evolve(0.1, n_steps=100)\n"
    ">>> print(f\"{abs(d.values() - np.exp(-np.pi**2 * 0.1) * np.sin(np.pi * x)).max():.0e}\")\n"
    "1e-06\n";

constexpr char kRobinDoc[] =
    "Robin1D(xmin, xmax, n, u0, *, alpha=1.0, beta=1.0, origin=..., boundary=\"reflect\")\n--\n\n"
    "Unit heat equation du/dt = d^2u/dx^2 with the Robin wall condition alpha u - beta du/dn = 0\n"
    "at xmin and xmax, n the inward normal (du/dx at xmin, -du/dx at xmax): with the outward\n"
    "normal it reads alpha u + beta du/dn = 0, so for alpha > 0 heat leaks out through the\n"
    "walls at the rate alpha/beta times the wall value.\n\n"
    "Each Chernoff step reads the state continued beyond the walls by its even image damped by\n"
    "exp(-2 (alpha/beta) h k), k nodes beyond the wall; the damping is a one-sided difference,\n"
    "so the scheme is first order. alpha = 0 is the zero-flux wall.\n\n" QV_IMAGE_PARAMS
    "alpha : float, optional\n    Coefficient on u, finite and >= 0 (default 1.0).\n"
    "beta : float, optional\n    Coefficient on the normal derivative, finite and > 0 (default 1.0).\n" QV_IMAGE_TAIL
    "QuorvaneError\n    \"[NanInf]\" for non-finite alpha or beta, \"[OutOfDomain]\" for alpha < 0 or beta <= 0,\n"
    "    and the grid and u0 errors of Reflected1D.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 41)\n"
    ">>> r = quorvane.Robin1D(0.0, 1.0, 41, np.ones(41), alpha=1.0, beta=1.0)\n"
    ">>> r.evolve(0.1, n_steps=50)        # heat leaks out through both walls\n"
    ">>> print(bool(r.values().max() < 1.0), r.order())\n"
    "True 1\n";

constexpr char kOrder2Doc[] =
    "order($self)\n--\n\n"
    "Return the approximation order (inherits inner order = 2).\n";
constexpr char kOrder1Doc[] =
    "order($self)\n--\n\n"
    "Return the approximation order (always 1 for Robin/skew-image).\n";

constexpr char kEvolveDoc[] =
    "evolve($self, t, n_steps=100)\n--\n\n"
    "Advance the state by time t with n_steps image steps of size t/n_steps.\n\n"
    "The steps run with the interpreter lock released; the values are replaced only when the\n"
    "whole evolution succeeded.\n\n"
    "Parameters\n----------\n"
    "t : float\n    Time to advance, finite and >= 0.\n"
    "n_steps : int, optional\n    Number of steps, at least 1 (default 100).\n\n"
    "Returns\n-------\nNone\n\n"
    "Raises\n------\n"
    "QuorvaneError\n    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\";\n"
    "    DirichletHeat2nd1D: \"[CflViolated]\" for steps longer than L^2/12; every class:\n"
    "    \"[CflViolated]\" for steps longer than 5.992e307, whose reads 2 sqrt(3 tau) from a node\n"
    "    are no doubles (the message names the n_steps that pass); Reflected1D and Robin1D:\n"
    QUORVANE_FAR_READS_COUNT_DOC;

// The shared construction sequence: u0 finite, the grid checks, the wall
// (make_wall may fail on its own parameters), then the length of u0.
template <class K, class MakeKernel>
GridStepEvolverObj<K> image_new(double xmin, double xmax, std::size_t n, double origin, PyObject* u0_obj,
                                const std::string& boundary, MakeKernel make_kernel) {
    const BoundaryPolicy<double> policy = parse_boundary_policy(boundary);
    std::vector<double> u0 = extract_u0_vec(u0_obj);
    if (const double* bad = first_non_finite<double>(u0)) unwrap(domain_error("u0 contains NaN or Inf", *bad));
    const Grid1D<double> grid = unwrap(Grid1D<double>::make(policy, InterpKind::septic(), xmin, xmax, n));
    const double effective = std::isfinite(origin) ? origin : xmin;
    HalfSpaceRegion region = unwrap(HalfSpaceRegion::make({effective}, {1.0}));
    K kernel = make_kernel(DiffusionChernoff::unit(grid), std::move(region));
    auto semigroup = unwrap(ChernoffSemigroup<K>::make(std::move(kernel), 100));
    GridFn<double> state = unwrap(GridFn<double>::make(grid, std::move(u0)));
    return {std::move(semigroup), std::move(state)};
}

Reflected1DObj reflected_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const double origin = a.f64_or(4, std::nan(""));
    return image_new<ReflectedHeatChernoff>(xmin, xmax, n, origin, a.raw(3), a.str_or(5, "reflect"),
                                            [](DiffusionChernoff k, HalfSpaceRegion r) {
                                                return ReflectedHeatChernoff{std::move(k), std::move(r)};
                                            });
}

DirichletHeat2nd1DObj dirichlet_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const double origin = a.f64_or(4, std::nan(""));
    return image_new<DirichletHeat2ndChernoff>(xmin, xmax, n, origin, a.raw(3), a.str_or(5, "reflect"),
                                               [](DiffusionChernoff k, HalfSpaceRegion r) {
                                                   return DirichletHeat2ndChernoff{std::move(k), std::move(r)};
                                               });
}

Robin1DObj robin_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const double alpha = a.f64_or(4, 1.0);
    const double beta = a.f64_or(5, 1.0);
    const double origin = a.f64_or(6, std::nan(""));
    return image_new<RobinHeatChernoff>(xmin, xmax, n, origin, a.raw(3), a.str_or(7, "reflect"),
                                        [&](DiffusionChernoff k, HalfSpaceRegion r) {
                                            HalfSpaceRobin robin = unwrap(HalfSpaceRobin::make(std::move(r), alpha, beta));
                                            return RobinHeatChernoff{std::move(k), std::move(robin)};
                                        });
}

// Steps that read beyond the opposite wall are refused before any work.
Ref dirichlet_evolve(DirichletHeat2nd1DObj& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 100);
    check_steps_and_time(n_steps, t);
    const DirichletHeat2ndChernoff& k = self.semigroup.kernel;
    const double tau = t / static_cast<double>(n_steps);
    if (!image_step_admitted(k, tau)) {
        const double length = k.inner.grid.xmax - k.inner.grid.xmin;
        // The bound as printed, rounded down, is itself admitted.
        std::string msg = "DirichletHeat2nd1D: tau = t/n_steps = " + fmt_exp3(tau);
        if (image_wall_step(k) <= unit_heat2_formed_step()) {
            msg += " exceeds L^2/12 = " + fmt_exp3(floor_4_digits(max_image_step(k))) + " (L = xmax - xmin = " +
                   exact_time(length) +
                   "): a longer step reads beyond the opposite wall, where the odd image has the wrong sign";
        } else {
            msg += " exceeds " + fmt_exp3(unit_heat2_formed_step()) +
                   ", the longest step whose reads 2 sqrt(3 tau) from a node are doubles (L^2/12 lies beyond the "
                   "double range at L = xmax - xmin = " + exact_time(length) + ")";
        }
        if (const std::optional<std::uint64_t> need = least_image_steps(k, t)) {
            msg += "; use n_steps >= " + std::to_string(*need) + " for t = " + exact_time(t);
        } else {
            const double longest = longest_image_time(k);
            msg += "; no n_steps (at most 18446744073709551615) makes the steps of t = " + fmt_exp3(t) +
                   " short enough: ";
            msg += longest > 0.0 ? "the longest t served in one call is " + fmt_exp3(longest) +
                                       ", so split the evolution into calls of at most that"
                                 : "on this grid no t > 0 is served";
        }
        py_err_with_kind("CflViolated", msg);
    }
    evolve_semigroup("DirichletHeat2nd1D", self.semigroup, self.state, t, n_steps);
    return none();
}

// The even and the damped image fold every read back, so only the reads'
// own formation bounds the step: past unit_heat2_formed_step, 3 tau
// overflows and no read is a double.
template <class K>
Ref image_evolve(GridStepEvolverObj<K>& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 100);
    check_steps_and_time(n_steps, t);
    const double tau = t / static_cast<double>(n_steps);
    const double longest = unit_heat2_formed_step();
    if (!within_bound(tau, longest)) {
        const StepCounts counts = admitted_counts(t, kU64Counts, [&](double step) { return step <= longest; });
        py_err_with_kind("CflViolated", std::string(GridStepEvolverObj<K>::class_def().name) +
                                            ": tau = t/n_steps = " + fmt_exp3(tau) + " exceeds " +
                                            fmt_exp3(longest) +
                                            ", the longest step whose reads 2 sqrt(3 tau) from a node are doubles; " +
                                            count_advice(counts, "n_steps", kU64Counts, {"t", t}));
    }
    return evolve_body(self, a);
}

template <class Obj>
Ref order2(const Obj&, const Args&) { return py_int(2); }
Ref order1(const Robin1DObj&, const Args&) { return py_int(1); }

template <class K, const char* OrderDoc, auto Order, auto Evolve = &grid_step_evolve<K>>
ClassDef image_class(const char* name, const char* doc, newfunc tp_new) {
    using Obj = GridStepEvolverObj<K>;
    ClassDef d = class_def_base<Obj>(name, doc);
    d.tp_new = tp_new;
    d.methods = {
        method<Obj, OrderDoc, Order>(),
        method<Obj, kEvolveDoc, Evolve>(),
        method<Obj, kValuesDoc, &grid_step_values<K>>(),
    };
    return d;
}

}  // namespace

template <>
ClassDef& Reflected1DObj::class_def() {
    static ClassDef def = image_class<ReflectedHeatChernoff, kOrder2Doc, &order2<Reflected1DObj>,
                                           &image_evolve<ReflectedHeatChernoff>>(
        "Reflected1D", kReflectedDoc, constructor<Reflected1DObj, kReflectedDoc, &reflected_new>());
    return def;
}

template <>
ClassDef& DirichletHeat2nd1DObj::class_def() {
    static ClassDef def = image_class<DirichletHeat2ndChernoff, kOrder2Doc, &order2<DirichletHeat2nd1DObj>, &dirichlet_evolve>(
        "DirichletHeat2nd1D", kDirichletDoc, constructor<DirichletHeat2nd1DObj, kDirichletDoc, &dirichlet_new>());
    return def;
}

template <>
ClassDef& Robin1DObj::class_def() {
    static ClassDef def = image_class<RobinHeatChernoff, kOrder1Doc, &order1, &image_evolve<RobinHeatChernoff>>(
        "Robin1D", kRobinDoc, constructor<Robin1DObj, kRobinDoc, &robin_new>());
    return def;
}

PyTypeObject* reflected1d_type_object() { return type_object<Reflected1DObj>(); }
PyTypeObject* robin1d_type_object() { return type_object<Robin1DObj>(); }
PyTypeObject* dirichlet_heat2nd1d_type_object() { return type_object<DirichletHeat2nd1DObj>(); }

}  // namespace quorvane::py
