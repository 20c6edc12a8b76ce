// Python classes NonSeparable2D and NonSeparable2DAniso: du/dt = u_xx + u_yy +
// beta u_xy with a constant or sampled beta.
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/foundation/numeric.hpp"
#include "core/multid/nonseparable_mixed.hpp"
#include "core/multid/sizes.hpp"
#include "python/array.hpp"
#include "python/coeff.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"
#include "python/multid/grid_args.hpp"
#include "python/step_counts.hpp"

namespace quorvane::py {
namespace {

struct NonSeparableState {
    NonSeparable2DChernoff op;
    std::vector<double> values;
    std::size_t nx = 0, ny = 0;
    // The field's own max |beta| (|c| for a constant): ellipticity and the
    // amplification of a step are judged on it, while the coupling's bound,
    // padded by default, sizes the step.
    double beta_max = 0.0;

    std::size_t len() const { return checked_product({nx, ny}).value_or(SIZE_MAX); }
};

struct NonSeparable2DObj : NonSeparableState {
    static ClassDef& class_def();
};

struct NonSeparable2DAnisoObj : NonSeparableState {
    std::string repr() const {
        return "NonSeparable2DAniso(nx=" + std::to_string(nx) + ", ny=" + std::to_string(ny) + ")";
    }
    static ClassDef& class_def();
};

Grid2D build_grid2d(const BoundaryPolicy<double>& policy, double xmin, double xmax, std::size_t nx, double ymin,
                    double ymax, std::size_t ny) {
    return Grid2D{grid_axis(policy, xmin, xmax, nx), grid_axis(policy, ymin, ymax, ny)};
}

// The bilinear beta field over nx*ny samples (x fastest).
SharedCoeff2D extract_coeff_2d(PyObject* o, double xmin, double xmax, double ymin, double ymax, std::size_t nx,
                               std::size_t ny) {
    auto v = o ? try_float_vector(o) : std::nullopt;
    if (!v) py_err_with_kind("GridMismatch", "2D coefficient array must be numpy.ndarray[float64]");
    check_length(v->size(), {nx, ny}, "2D array length ", " != nx*ny=");
    if (first_non_finite<double>(*v)) py_err_with_kind("NanInf", "2D coefficient array contains NaN or Inf");
    const double dx = nx >= 2 ? (xmax - xmin) / static_cast<double>(nx - 1) : 1.0;
    const double dy = ny >= 2 ? (ymax - ymin) / static_cast<double>(ny - 1) : 1.0;
    return bilinear_coeff_2d(std::make_shared<const std::vector<double>>(std::move(*v)), xmin, dx, nx, ymin, dy, ny);
}

double max_abs(const std::vector<double>& beta) {
    double m = 0.0;
    for (double b : beta) m = std::max(m, std::fabs(b));
    return m;
}

// The state over a sampled beta: the samples' own max|beta| judges
// ellipticity and amplification, the bound (argument 8, else 1.1 max|beta|)
// sizes the step.
NonSeparableState sampled_beta_state(const Args& a, SharedCoeff2D beta, const std::vector<double>& samples,
                                     const Grid2D& grid, std::vector<double> u0) {
    const double beta_max = max_abs(samples);
    const double bound = a.get(8) ? a.f64(8) : 1.1 * beta_max;
    // Steps below dx dy / (4 bound) that are not normal doubles serve no
    // call (step counts are told only from normal steps on).
    const double cell = grid.x.dx() * grid.y.dx() / 4.0;
    const double least = std::numeric_limits<double>::min();
    if (bound > 0.0 && std::isfinite(bound) && cell / bound < least) {
        py_err_with_kind("OutOfDomain", "beta_norm_bound = " + fmt_exp3(bound) +
                                            " leaves no step on this grid: steps must stay below dx dy/(4 "
                                            "beta_norm_bound) = " + fmt_exp3(cell / bound) +
                                            ", below the normal doubles, which no call's steps are; beta_norm_bound "
                                            "<= " + fmt_exp3(floor_4_digits(cell / least * (1.0 - 0x1p-40))) +
                                            " is served");
    }
    NonSeparable2DChernoff op = unwrap(nonseparable2d_new(DiffusionChernoff::unit(grid.x), DiffusionChernoff::unit(grid.y),
                                                          std::move(beta), grid, bound));
    return NonSeparableState{std::move(op), std::move(u0), grid.nx(), grid.ny(), beta_max};
}

// Refuses a step that would grow some grid mode: the bound 4 tau ||beta|| <
// dx dy admits steps whose Taylor factor outgrows the damping of the heat
// legs, so the amplification of the step itself is checked. Both refusals
// name the largest step that passes the bound and does not amplify, and a
// count that fits; the bound's refusal keeps the shared CFL text before it.
void refuse_amplifying_step(const char* cls, const NonSeparable2DChernoff& op, double beta_max, double t, double tau) {
    if (op.coupling.is_zero) return;
    const std::size_t nx = op.grid.nx(), ny = op.grid.ny();
    const double dx = (op.grid.x.xmax - op.grid.x.xmin) / static_cast<double>(nx - 1);
    const double dy = (op.grid.y.xmax - op.grid.y.xmin) / static_cast<double>(ny - 1);
    std::string msg;
    if (Status st = nonseparable2d_check_tau(op, tau); !st) {
        if (st.error().variant() != CoreError::Variant::CflViolated) raise_core_error(st.error());
        msg = st.error().display() + "; ";
    } else {
        const double growth = without_gil([&] { return nonseparable2d_amplification(op, tau, beta_max); });
        if (growth <= 1.0 + 1e-12) return;
        msg = std::string(cls) + ": tau = t/n_steps = " + fmt_exp3(tau) + " amplifies grid modes by up to " +
              fmt_shortest_compact(growth) + " per step (||beta|| = " + fmt_shortest_compact(beta_max) + ", dx = " + fmt_exp3(dx) +
              ", dy = " + fmt_exp3(dy) + "): ";
    }
    const double tau_max = without_gil([&] { return nonseparable2d_largest_stable_tau(op, beta_max); });
    if (!(tau_max > 0.0)) {
        msg += "the coupling is not elliptic (||beta|| >= 2 makes every step amplify)";
    } else {
        // tau_max may be the bound's own limit, which the bound excludes:
        // the counts named pass the bound's test as well.
        const double shown = floor_4_digits_inside(tau_max);
        const StepCounts counts = admitted_counts(t, kU64Counts, [&](double step) {
            return step <= shown && static_cast<bool>(nonseparable2d_check_tau(op, step));
        });
        msg += "the largest admissible tau is " + fmt_exp3(shown) + "; " +
               count_advice(counts, "n_steps", kU64Counts, {"t", t});
    }
    py_err_with_kind("CflViolated", msg);
}

template <class Obj>
Ref nonseparable_evolve(Obj& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 100);
    if (n_steps == 0) py_err_with_kind("OutOfDomain", "n_steps must be >= 1");
    if (!std::isfinite(t) || t <= 0.0) py_err_with_kind("OutOfDomain", "t must be finite and > 0");
    const NonSeparable2DChernoff op = self.op;
    const double tau = t / static_cast<double>(n_steps);
    refuse_amplifying_step(Obj::class_def().name, op, self.beta_max, t, tau);
    // Judged on the object's own grid; stepped on one of unit-sized cells.
    const int k = nonseparable2d_scale_exponent(op);
    const NonSeparable2DChernoff stepped = k == 0 ? op : nonseparable2d_rescaled(op, k);
    refuse_far_reads_nd(Obj::class_def().name, {StepCall::Form::Count, t, tau}, op.grid, [&](double step) {
        const double scaled = std::ldexp(step, -2 * k);
        return nonseparable2d_reads_located(stepped, scaled) &&
               (op.coupling.is_zero || static_cast<bool>(nonseparable2d_check_tau(op, step)));
    });
    const std::vector<double> u0 = self.values;
    BeyondRange beyond;
    auto r = run_evolve([&] {
        return run_linear(u0, beyond, [&](std::vector<double> values) -> Expected<std::vector<double>> {
            Expected<GridFn2D> cur = GridFn2D::make(stepped.grid, std::move(values));
            if (!cur) return fail(cur.error());
            const double scaled_tau = std::ldexp(tau, -2 * k);
            if (Status st = nonseparable2d_steps(stepped, cur->values, n_steps, scaled_tau); !st) {
                return fail(st.error());
            }
            return std::move(cur->values);
        });
    });
    refuse_beyond(Obj::class_def().name, u0, beyond);
    self.values = unwrap(std::move(r));
    return new_array_f64(self.values);
}

NonSeparable2DObj nonseparable2d_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t nx = a.usize(2);
    const double ymin = a.f64(3), ymax = a.f64(4);
    const std::size_t ny = a.usize(5);
    const double c = a.f64_or(7, 0.0);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(8, "reflect"));
    std::vector<double> u0 = extract_u0_2d(a.raw(6), nx, ny);
    const Grid2D grid = build_grid2d(policy, xmin, xmax, nx, ymin, ymax, ny);
    if (!std::isfinite(c)) raise_core_error(CoreError::domain("c_norm_bound", std::fabs(c)));
    NonSeparable2DChernoff op{AxisLift{DiffusionChernoff::unit(grid.x), Axis::X},
                              AxisLift{DiffusionChernoff::unit(grid.y), Axis::Y}, grid,
                              MixedCoupling{constant_coeff_2d(c), std::fabs(c), c == 0.0}};
    NonSeparable2DObj obj;
    static_cast<NonSeparableState&>(obj) = NonSeparableState{std::move(op), std::move(u0), nx, ny, std::fabs(c)};
    return obj;
}

Ref nonseparable2d_with_beta_array(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t nx = a.usize(2);
    const double ymin = a.f64(3), ymax = a.f64(4);
    const std::size_t ny = a.usize(5);
    if (a.get(8)) (void)a.f64(8);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(9, "reflect"));
    std::vector<double> u0 = extract_u0_2d(a.raw(7), nx, ny);
    SharedCoeff2D beta = extract_coeff_2d(a.raw(6), xmin, xmax, ymin, ymax, nx, ny);
    auto samples = try_float_vector(a.raw(6));
    if (!samples) py_err_with_kind("GridMismatch", "beta_values must be numpy.ndarray[float64]");
    const Grid2D grid = build_grid2d(policy, xmin, xmax, nx, ymin, ymax, ny);
    NonSeparable2DObj obj;
    static_cast<NonSeparableState&>(obj) = sampled_beta_state(a, std::move(beta), *samples, grid, std::move(u0));
    return new_object(std::move(obj));
}

NonSeparable2DAnisoObj nonseparable2d_aniso_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t nx = a.usize(2);
    const double ymin = a.f64(3), ymax = a.f64(4);
    const std::size_t ny = a.usize(5);
    if (a.get(8)) (void)a.f64(8);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(9, "reflect"));
    std::vector<double> u0 = extract_named_f64_array(a.raw(7), "u0", {nx, ny});
    auto samples = a.raw(6) ? try_float_vector(a.raw(6)) : std::nullopt;
    if (!samples) py_err_with_kind("GridMismatch", "beta_values must be numpy.ndarray[float64]");
    check_length(samples->size(), {nx, ny}, "beta_values length ", " != nx*ny=");
    if (first_non_finite<double>(*samples)) py_err_with_kind("NanInf", "beta_values contains NaN or Inf");
    SharedCoeff2D beta = extract_coeff_2d(a.raw(6), xmin, xmax, ymin, ymax, nx, ny);
    const Grid2D grid = build_grid2d(policy, xmin, xmax, nx, ymin, ymax, ny);
    NonSeparable2DAnisoObj obj;
    static_cast<NonSeparableState&>(obj) = sampled_beta_state(a, std::move(beta), *samples, grid, std::move(u0));
    return obj;
}

constexpr char kNonSeparable2DDoc[] =
    "NonSeparable2D(xmin, xmax, nx, ymin, ymax, ny, u0, *, c=0.0, boundary=\"reflect\")\n--\n\n"
    "Heat with a mixed derivative, du/dt = u_xx + u_yy + c u_xy, on [xmin, xmax] x [ymin, ymax].\n\n"
    "One step of size tau is X(tau/2) Y(tau/2) T(tau) Y(tau/2) X(tau/2): X and Y the 1-D heat\n"
    "Chernoff step along every row and column, T the second-order Taylor polynomial of\n"
    "exp(tau c d^2/dxdy) on the central cross stencil. c = 0 gives the plain Strang step\n"
    "X(tau/2) Y(tau) X(tau/2). The operator is elliptic for |c| < 2. The state is flat with x\n"
    "fastest (values[j*nx + i] ~ u(x_i, y_j)); ``with_beta_array`` takes a sampled beta(x, y).\n\n"
    "Parameters\n----------\n"
    "xmin, xmax, ymin, ymax : float\n    Bounds of each axis; finite, min < max.\n"
    "nx, ny : int\n    Node counts, at least 4 each.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    nx*ny finite values.\n"
    "c : float, optional\n    The coupling, finite (default 0.0).\n"
    "boundary : str, optional\n    \"reflect\" (default), \"zero\", \"periodic\" or \"linear\", for both axes.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[GridMismatch] u0 length L != nx*ny=N\", \"[NanInf] u0 contains NaN or Inf\", the grid\n"
    "    errors, \"[NanInf] c_norm_bound: ...\" for a non-finite c.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = np.linspace(0.0, 1.0, 17)\n"
    ">>> X, Y = np.meshgrid(g, g, indexing=\"ij\")\n"
    ">>> U = np.cos(np.pi * X) * np.cos(np.pi * Y)\n"
    ">>> n = quorvane.NonSeparable2D(0.0, 1.0, 17, 0.0, 1.0, 17, U.ravel(order=\"F\"), c=0.2)\n"
    ">>> V = n.evolve(0.01, n_steps=10).reshape((17, 17), order=\"F\")\n"
    ">>> print(V.shape)\n"
    "(17, 17)\n";

constexpr char kWithBetaArrayDoc[] =
    "with_beta_array(xmin, xmax, nx, ymin, ymax, ny, beta_values, u0, *, beta_norm_bound=None, boundary=\"reflect\")\n"
    "--\n\n"
    "Build a NonSeparable2D whose coupling beta(x, y) is sampled at the nodes.\n\n"
    "beta_values holds nx*ny samples in the layout of u0, interpolated bilinearly between\n"
    "nodes. beta_norm_bound (default 1.1 max|beta|) bounds |beta| in the step-size check\n"
    "4 tau bound < dx dy; ellipticity (max|beta| < 2) and the amplification of a step are\n"
    "judged on the samples' own max|beta|. A bound of 0 makes the coupling count as zero.\n\n"
    "Returns\n-------\nNonSeparable2D\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[GridMismatch] 2D array length L != nx*ny=N\", \"[NanInf] 2D coefficient array contains\n"
    "    NaN or Inf\", the u0 and grid errors, \"beta_norm_bound\" for a negative (OutOfDomain) or\n"
    "    non-finite (NanInf) bound.\n";

constexpr char kAnisoDoc[] =
    "NonSeparable2DAniso(xmin, xmax, nx, ymin, ymax, ny, beta_values, u0, *, beta_norm_bound=None, "
    "boundary=\"reflect\")\n--\n\n"
    "Heat with a sampled mixed derivative, du/dt = u_xx + u_yy + beta(x, y) u_xy.\n\n"
    "The step is that of NonSeparable2D with beta interpolated bilinearly from its nx*ny node\n"
    "samples (x fastest); beta_norm_bound defaults to 1.1 max|beta| and sizes the step only:\n"
    "ellipticity (max|beta| < 2) is judged on the samples themselves.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[GridMismatch] u0 length L != expected N\", \"[GridMismatch] beta_values length L !=\n"
    "    nx*ny=N\", \"[NanInf] beta_values contains NaN or Inf\", the grid errors and\n"
    "    \"beta_norm_bound\".\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = np.linspace(0.0, 1.0, 17)\n"
    ">>> X, Y = np.meshgrid(g, g, indexing=\"ij\")\n"
    ">>> U = np.cos(np.pi * X) * np.cos(np.pi * Y)\n"
    ">>> beta = np.full(17 * 17, 0.5)                      # the mixed-derivative coefficient per node\n"
    ">>> n = quorvane.NonSeparable2DAniso(0.0, 1.0, 17, 0.0, 1.0, 17, beta, U.ravel(order=\"F\"))\n"
    ">>> print(n.evolve(0.01, n_steps=10).shape)\n"
    "(289,)\n";

constexpr char kEvolveDoc[] =
    "evolve($self, t, n_steps=100)\n--\n\n"
    "Advance the state by time t in n_steps steps and return the new values.\n\n"
    "The interpreter lock is released during the steps; the state is replaced only when the\n"
    "whole evolution succeeded.\n\n"
    "Returns\n-------\nnumpy.ndarray[float64]\n    A copy of the new state (nx*ny values).\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and > 0\";\n"
    "    \"[CflViolated]\" when 4 tau bound >= dx dy (the shared text \"CFL violated for\n"
    "    truncated-exp K=4: ...\" with dx dy / 2 as dx^2), or when tau = t/n_steps would make\n"
    "    the step amplify some grid mode for the field's own max|beta|; both messages name the\n"
    "    largest admissible tau X, every step up to which passes both tests, and the step\n"
    "    counts from which on all do (or, where none up to 2^64 - 1 does, the longest t one\n"
    "    call serves). Beyond 16 cells squared, where the heat legs' symbols come back near\n"
    "    1 in windows, X is only where the coupling's own factor stays within 5e-13 of 1\n"
    "    (5e-13 dx dy / max|beta|); a longer step that passes on its own still runs. Or they\n"
    "    say that the coupling is not\n"
    "    elliptic (max|beta| >= 2);\n"
    "    \"[NanInf]\" for a non-finite state; kind NanInf when the result lies beyond the double\n"
    "    range, naming the max|u0| of the same data that stays within it (the steps are linear:\n"
    "    data of every size whose result is a double are served);\n"
    QUORVANE_FAR_READS_COUNT_DOC;

ClassDef& NonSeparable2DObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<NonSeparable2DObj>("NonSeparable2D", kNonSeparable2DDoc);
        d.tp_new = constructor<NonSeparable2DObj, kNonSeparable2DDoc, &nonseparable2d_new>();
        d.methods = {
            method<NonSeparable2DObj, kWithBetaArrayDoc, &nonseparable2d_with_beta_array>(),
            method<NonSeparable2DObj, kEvolveDoc, &nonseparable_evolve<NonSeparable2DObj>>(),
        };
        return d;
    }();
    return def;
}

ClassDef& NonSeparable2DAnisoObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<NonSeparable2DAnisoObj>("NonSeparable2DAniso", kAnisoDoc);
        d.tp_new = constructor<NonSeparable2DAnisoObj, kAnisoDoc, &nonseparable2d_aniso_new>();
        d.methods = {
            method<NonSeparable2DAnisoObj, kEvolveDoc, &nonseparable_evolve<NonSeparable2DAnisoObj>>(),
        };
        return d;
    }();
    return def;
}

}  // namespace

PyTypeObject* non_separable2d_type_object() { return type_object<NonSeparable2DObj>(); }
PyTypeObject* non_separable2d_aniso_type_object() { return type_object<NonSeparable2DAnisoObj>(); }

}  // namespace quorvane::py
