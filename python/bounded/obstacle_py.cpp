// Python classes ObstacleChernoff (the projected obstacle evolution) and
// ObstacleGammaV8 (curvature on the inactive set).
#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/bounded/obstacle.hpp"
#include "core/foundation/format.hpp"
#include "python/evolver.hpp"

namespace quorvane::py {
namespace {

struct ObstacleChernoffObj {
    ObstacleChernoff evolver;
    GridFn<double> state;

    std::size_t len() const { return state.values.size(); }
    static ClassDef& class_def();
};

struct ObstacleGammaV8Obj {
    ObstacleChernoff evolver;
    std::size_t n = 0;
    static ClassDef& class_def();
};

// The float-vector conversion with its one TypeError.
std::vector<double> extract_f64_vec_or_sequence(PyObject* o) {
    std::optional<std::vector<double>> v = try_float_vector(o);
    if (!v) raise_type_error("expected numpy.ndarray[float64] or sequence of floats");
    return std::move(*v);
}

constexpr char kObstacleDoc[] =
    "ObstacleChernoff(xmin, xmax, n, u0, *, a=1.0, b=0.0, c=0.0, level=..., obstacle_array=None)\n--\n\n"
    "Obstacle problem u_t = a u_xx + b u_x + c u with u >= g on a uniform grid.\n\n"
    "Each step is a linear Chernoff step (the heat step for b = c = 0, else the Strang product\n"
    "D(tau/2) R(tau) D(tau/2) of diffusion and drift-reaction) followed by the projection\n"
    "u = max(u, g) at every node. The projection caps the order at 1. The initial values are\n"
    "not projected.\n\n"
    "The two linear steps differ by their time errors, so the result moves when b or c leaves 0\n"
    "(1e-300 included): from u0 = cos(pi x) on 101 nodes of [0, 1] to t = 0.1, with an obstacle\n"
    "that never touches (both steps second order), by 2.5e-4 of max|u| at 10 steps and 9.7e-6 at\n"
    "50, about 3/4 of the heat step's own time error (the Strang product's is a quarter of it);\n"
    "with the floor 0, where the projection's first-order error leads, by 1.6e-2 and 5.0e-4.\n\n"
    "The heat step of tau (tau/2 in the Strang product) multiplies a frequency xi by\n"
    "7/12 + 3/8 cos(2 sqrt(a tau) xi) + 1/24 cos(2 sqrt(3 a tau) xi), which comes back close to\n"
    "1 at some high frequencies (the node-to-node zigzag among them when sqrt(a tau)/dx is a\n"
    "whole number). The fine ripple that the projection makes at the contact line can therefore\n"
    "outlast the contact: from u0 = cos(pi x) on [0, 1] with level 0, n = 41, t = 0.5 and\n"
    "n_steps = 50 (sqrt(tau)/dx = 4) the values zigzag by about 1e-3, against an error of 3e-2\n"
    "(first order in tau). Both shrink as n_steps grows, the ripple faster (1e-5 at\n"
    "n_steps = 100).\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values, all finite.\n"
    "a : float, optional\n    Diffusion coefficient, finite and > 0 (default 1.0).\n"
    "b, c : float, optional\n    Constant drift and reaction, finite (default 0.0).\n"
    "level : float, optional\n    Constant obstacle; required unless obstacle_array is given.\n"
    "obstacle_array : sequence of float, optional\n    One finite obstacle value per node; level is then ignored.\n\n"
    "Raises\n------\n"
    "TypeError\n    \"expected numpy.ndarray[float64] or sequence of floats\" for u0.\n"
    "QuorvaneError\n    \"[NanInf]\" for non-finite u0, bounds, level or obstacle entries, \"[OutOfDomain]\" for\n"
    "    a, b, c or a malformed obstacle_array, \"[GridMismatch]\" for the grid or len(u0) != n.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 41)\n"
    ">>> o = quorvane.ObstacleChernoff(0.0, 1.0, 41, np.cos(np.pi * x), level=0.0)\n"
    ">>> u = o.evolve(0.5, n_steps=50)\n"
    ">>> print(bool(u.min() >= 0.0), o.order())          # projected above the floor 0 after every step\n"
    "True 1\n";

constexpr char kObstacleOrderDoc[] =
    "order($self)\n--\n\nReturn the approximation order: 1 (the projection caps it).\n";

constexpr char kObstacleEvolveDoc[] =
    "evolve($self, t, n_steps=100)\n--\n\n"
    "Advance by time t in n_steps projected steps and return the new values.\n\n"
    "Every returned value lies at or above the obstacle. The values are replaced only when\n"
    "the whole evolution succeeded.\n\n"
    "Returns\n-------\nnumpy.ndarray[float64]\n    A copy of the new values.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\";\n"
    "    for the heat step, its half steps in the Strang product and the drift's feet x + tau b:\n"
    QUORVANE_FAR_READS_COUNT_DOC
    "    A result beyond the double range is refused (kind NanInf) naming the max|u0| that keeps\n"
    "    it within: the steps are positively homogeneous in the values and the obstacle together,\n"
    "    so values of every size whose result is a double are served.\n";

constexpr char kAdjointDoc[] =
    "evolve_active_set_adjoint($self, w_fwd, lam, tau)\n--\n\n"
    "Active-set adjoint step (math \u00a744.5). Raises ``Unsupported`` \u2014 see docs.\n\n"
    "The arguments are validated (lengths n, tau finite and > 0, finite entries); the step\n"
    "itself has no transpose primitive and always fails with kind \"OutOfDomain\".\n";

constexpr char kGammaDoc[] =
    "ObstacleGammaV8(domain_lo, domain_hi, n_grid, *, level=..., obstacle_array=None)\n--\n\n"
    "Curvature V'' of a value field on the inactive set of a 1-D obstacle.\n\n"
    "A node is defined only when it and both neighbours lie strictly above the obstacle; the\n"
    "curvature jumps at the free boundary, so contact nodes, their neighbours (a one-node guard\n"
    "band) and the two ends are refused. A refused node carries 0.0, which is not a curvature:\n"
    "read ``defined`` first.\n\n"
    "Parameters\n----------\n"
    "domain_lo, domain_hi : float\n    Ends of the interval; finite, domain_lo < domain_hi.\n"
    "n_grid : int\n    Number of nodes, at least 4.\n"
    "level : float, optional\n    Constant obstacle; required unless obstacle_array is given.\n"
    "obstacle_array : sequence of float, optional\n    One finite obstacle value per node.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 11)\n"
    ">>> o = quorvane.ObstacleGammaV8(0.0, 1.0, 11, level=-1.0)\n"
    ">>> gamma, defined, count = o.inactive_gamma(x**2)          # V'' = 2 where V is above the obstacle\n"
    ">>> print(count, np.round(gamma[defined], 6)[:3], defined[0])\n"
    "9 [2. 2. 2.] False\n";

constexpr char kInactiveGammaDoc[] =
    "inactive_gamma($self, v)\n--\n\n"
    "Return (gamma, defined, count): central second differences of v where defined.\n\n"
    "Returns\n-------\n"
    "gamma : numpy.ndarray[float64]\n    V'' at defined nodes, 0.0 elsewhere.\n"
    "defined : numpy.ndarray[bool]\n    True where the node and both neighbours lie strictly above the obstacle.\n"
    "count : int\n    Number of defined nodes.\n";

constexpr char kSizeDoc[] = "size($self)\n--\n\nNumber of grid nodes.\n";

ObstacleChernoffObj obstacle_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const double coef_a = a.f64_or(4, 1.0);
    const double b = a.f64_or(5, 0.0);
    const double c = a.f64_or(6, 0.0);
    const double level = a.f64_or(7, std::nan(""));
    PyObject* obstacle_array = a.get(8);
    std::vector<double> u0 = extract_f64_vec_or_sequence(a.raw(3));
    if (const double* bad = first_non_finite<double>(u0)) unwrap(domain_error("u0 contains NaN or Inf", *bad));
    if (!(std::isfinite(coef_a) && coef_a > 0.0)) py_err_with_kind("OutOfDomain", "a must be finite and > 0");
    if (!std::isfinite(b)) py_err_with_kind("OutOfDomain", "b must be finite");
    if (!std::isfinite(c)) py_err_with_kind("OutOfDomain", "c must be finite");
    const Grid1D<double> grid =
        unwrap(Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), xmin, xmax, n));
    GridFn<double> state = unwrap(GridFn<double>::make(grid, std::move(u0)));
    Obstacle obstacle;
    if (!obstacle_array) {
        obstacle = unwrap(ConstantObstacle::make(level));
    } else {
        std::optional<std::vector<double>> g = try_float_vector(obstacle_array);
        if (!g) unwrap(domain_error("obstacle_array must be a sequence of floats", 0.0));
        if (g->size() != n) unwrap(domain_error("obstacle_array length must equal n", static_cast<double>(g->size())));
        obstacle = unwrap(ArrayObstacle::make(std::move(*g)));
    }
    ObstacleChernoff evolver{DiffusionChernoff{CoeffSource::constant(coef_a), grid, coef_a}, std::move(obstacle)};
    if (b != 0.0 || c != 0.0) evolver.kernel = constant_coefficient_kernels(grid, coef_a, b, c);
    return {std::move(evolver), std::move(state)};
}

Ref obstacle_order(const ObstacleChernoffObj&, const Args&) { return py_int(1); }

Ref obstacle_evolve(ObstacleChernoffObj& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 100);
    check_steps_and_time(n_steps, t);
    // The projected steps are positively homogeneous in the values and the
    // obstacle together: both run at the unit scale of the larger
    // (run_linear), so that the obstacle keeps its bits beside the values.
    const ObstacleChernoff& evolver = self.evolver;
    refuse_reads_beyond_grid("ObstacleChernoff", {StepCall::Form::Count, t, t / static_cast<double>(n_steps)},
                             spacing_text(evolver.grid()), [&](double step) { return step_reads_located(evolver, step); });
    const std::vector<double>& u0 = self.state.values;
    std::vector<double> joined = u0;
    std::visit([&](const auto& o) {
        if constexpr (requires { o.level; }) joined.push_back(o.level);
        else joined.insert(joined.end(), o.g.begin(), o.g.end());
    }, evolver.obstacle);
    const std::size_t n = u0.size();
    BeyondRange beyond;
    auto r = run_evolve([&] {
        return run_linear(joined, beyond, [&](std::vector<double> v) {
            ObstacleChernoff scaled = evolver;
            std::visit([&](auto& o) {
                if constexpr (requires { o.level; }) o.level = v[n];
                else std::copy(v.begin() + static_cast<std::ptrdiff_t>(n), v.end(), o.g.begin());
            }, scaled.obstacle);
            v.resize(n);
            return scaled.evolve(std::move(v), t, n_steps);
        });
    });
    refuse_beyond("ObstacleChernoff", u0, beyond);
    self.state.values = unwrap(std::move(r));
    return new_array_f64(self.state.values);
}

Ref obstacle_values(const ObstacleChernoffObj& self, const Args&) { return new_array_f64(self.state.values); }

Ref obstacle_adjoint(const ObstacleChernoffObj& self, const Args& a) {
    const double tau = a.f64(2);
    std::vector<double> w_fwd = extract_f64_vec_or_sequence(a.raw(0));
    std::vector<double> lam = extract_f64_vec_or_sequence(a.raw(1));
    const Grid1D<double>& grid = self.evolver.grid();
    if (w_fwd.size() != grid.n || lam.size() != w_fwd.size())
        py_err_with_kind("GridMismatch", "w_fwd and lam must have length n");
    if (!(std::isfinite(tau) && tau > 0.0)) py_err_with_kind("OutOfDomain", "tau must be finite and > 0");
    compute([&]() -> Status {
        auto w = GridFn<double>::make(grid, std::move(w_fwd));
        if (!w) return fail(w.error());
        auto l = GridFn<double>::make(grid, std::move(lam));
        if (!l) return fail(l.error());
        return apply_active_set_adjoint_into(self.evolver, *w, *l, tau);
    });
    return none();
}

ObstacleGammaV8Obj gamma_new(const Args& a) {
    const double lo = a.f64(0), hi = a.f64(1);
    const std::size_t n = a.usize(2);
    const double level = a.f64_or(3, std::nan(""));
    PyObject* obstacle_array = a.get(4);
    if (!std::isfinite(lo) || !std::isfinite(hi)) py_err_with_kind("NanInf", "domain bounds must be finite");
    if (!(lo < hi)) py_err_with_kind("OutOfDomain", "domain_lo must be < domain_hi");
    if (n < 4) py_err_with_kind("OutOfDomain", "n_grid must be >= 4 (Grid1D requirement)");
    const Grid1D<double> grid =
        unwrap(Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), lo, hi, n));
    Obstacle obstacle;
    if (!obstacle_array) {
        if (!std::isfinite(level)) py_err_with_kind("NanInf", "level must be finite");
        obstacle = ConstantObstacle{level};
    } else {
        std::optional<std::vector<double>> g = try_float_vector(obstacle_array);
        if (!g) raise_type_error("obstacle_array must be float64 array");
        if (g->size() != n) py_err_with_kind("GridMismatch", "obstacle_array length must equal n_grid");
        obstacle = unwrap(ArrayObstacle::make(std::move(*g)));
    }
    return {ObstacleChernoff{DiffusionChernoff::unit(grid), std::move(obstacle)}, n};
}

Ref gamma_inactive(const ObstacleGammaV8Obj& self, const Args& a) {
    std::vector<double> v = extract_f64_vec_or_sequence(a.raw(0));
    if (v.size() != self.n) py_err_with_kind("GridMismatch", "v length does not match n_grid");
    if (const double* bad = first_non_finite<double>(v))
        unwrap(domain_error("all values must be finite (no NaN/Inf)", *bad));
    const InactiveGamma r = unwrap(self.evolver.apply_inactive_gamma_into(v));
    if (r.beyond >= 0) {
        const Grid1D<double>& g = self.evolver.grid();
        py_err_with_kind("NanInf", "ObstacleGammaV8.inactive_gamma: V'' at node " + std::to_string(r.beyond) +
                                       " lies beyond the double range (h = " +
                                       fmt_exp3((g.xmax - g.xmin) / static_cast<double>(self.n - 1)) +
                                       ", max|v| = " + fmt_exp3(largest_abs(v)) + "); max|v| <= " +
                                       fmt_exp3(r.data_bound) + " keeps every V'' within it");
    }
    std::unique_ptr<bool[]> defined(new bool[r.defined.size()]);
    for (std::size_t i = 0; i < r.defined.size(); ++i) defined[i] = r.defined[i];
    return py_tuple({new_array_f64(r.gamma), new_array_bool({defined.get(), r.defined.size()}), py_int(r.count)});
}

Ref gamma_size(const ObstacleGammaV8Obj& self, const Args&) { return py_int(self.n); }

}  // namespace

ClassDef& ObstacleChernoffObj::class_def() {
    static ClassDef def = [] {
        using O = ObstacleChernoffObj;
        ClassDef d = class_def_base<O>("ObstacleChernoff", kObstacleDoc);
        d.tp_new = constructor<O, kObstacleDoc, &obstacle_new>();
        d.methods = {
            method<O, kObstacleOrderDoc, &obstacle_order>(),
            method<O, kObstacleEvolveDoc, &obstacle_evolve>(),
            method<O, kValuesDoc, &obstacle_values>(),
            method<O, kAdjointDoc, &obstacle_adjoint>(),
        };
        return d;
    }();
    return def;
}

ClassDef& ObstacleGammaV8Obj::class_def() {
    static ClassDef def = [] {
        using O = ObstacleGammaV8Obj;
        ClassDef d = class_def_base<O>("ObstacleGammaV8", kGammaDoc);
        d.tp_new = constructor<O, kGammaDoc, &gamma_new>();
        d.methods = {
            method<O, kInactiveGammaDoc, &gamma_inactive>(),
            method<O, kSizeDoc, &gamma_size>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* obstacle_chernoff_type_object() { return type_object<ObstacleChernoffObj>(); }
PyTypeObject* obstacle_gamma_v8_type_object() { return type_object<ObstacleGammaV8Obj>(); }

}  // namespace quorvane::py
