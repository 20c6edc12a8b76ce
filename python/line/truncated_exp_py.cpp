// Python classes TruncatedExp1D and TruncatedExp4th1D: unit heat by the
// quartic truncated exponential series of a three- or five-point stencil.
#include "core/foundation/format.hpp"
#include "core/line/truncated_exp.hpp"
#include "core/line/truncated_exp4.hpp"
#include "python/evolver.hpp"

namespace quorvane::py {
namespace {

using TruncatedExpObj = GridStepEvolverObj<TruncatedExpDiffusionChernoff>;
using TruncatedExp4thObj = GridStepEvolverObj<TruncatedExp4thDiffusionChernoff>;

#define QUORVANE_COMMON_ARGS_DOC                                                                 \
    "Parameters\n----------\n"                                                                   \
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"                       \
    "n : int\n    Number of grid nodes x_i = xmin + i*dx, dx = (xmax - xmin)/(n - 1); at least 4.\n" \
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values at the n nodes, all finite.\n" \
    "boundary : str, optional\n"                                                                 \
    "    How the stencil reads values beyond the end nodes (ASCII case-insensitive):\n"          \
    "    \"reflect\" (default) mirrors them about the end nodes: insulated ends, du/dx = 0;\n"   \
    "    \"periodic\" repeats the grid with period n*dx (the grid must not repeat its first\n"  \
    "    node: for period L take xmax = xmin + L - L/n); \"zero\" reads 0, which for the\n"     \
    "    three-point stencil holds u = 0 one cell beyond each end; \"linear\" continues u\n"    \
    "    along the straight line of its end slope.\n\n"                                         \
    "Raises\n------\n"                                                                           \
    "TypeError\n    If u0 is neither a float64 array nor a sequence of floats.\n"                \
    "QuorvaneError\n"                                                                            \
    "    \"[OutOfDomain]\" for an unknown boundary, \"[NanInf]\" for non-finite u0 or bounds,\n" \
    "    \"[GridMismatch]\" for xmin >= xmax, n < 4 or len(u0) != n.\n"

constexpr char kTruncatedExpDoc[] =
    "TruncatedExp1D(xmin, xmax, n, u0, *, boundary=\"reflect\")\n--\n\n"
    "1-D diffusion with K=4 truncated-exp Chernoff kernel.\n\n"
    "Solves du/dt = d^2u/dx^2 on a uniform grid. One step of size tau applies the exponential\n"
    "series of tau*L cut after the fourth power,\n"
    "    u + tau L u + tau^2/2 L^2 u + tau^3/6 L^3 u + tau^4/24 L^4 u,\n"
    "where L is the conservative three-point stencil (u[i+1] - 2 u[i] + u[i-1]) / dx^2 with\n"
    "the neighbours beyond the ends supplied by the boundary policy. The stencil is second\n"
    "order in space and the series fourth order in time (local error O(tau^5)); since the step\n"
    "is explicit, tau must satisfy 2*tau < dx^2 (CFL), checked on every step.\n\n"
    QUORVANE_COMMON_ARGS_DOC
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 21)\n"
    ">>> h = quorvane.TruncatedExp1D(0.0, 1.0, 21, np.cos(np.pi * x))\n"
    ">>> h.evolve(0.1, n_steps=100)        # tau = 0.4 dx^2 < 0.5 dx^2\n"
    ">>> print(f\"{abs(h.values() - np.exp(-np.pi**2 * 0.1) * np.cos(np.pi * x)).max():.0e}\")\n"
    "8e-04\n"
    ">>> try:\n"
    "...     h.evolve(0.1, n_steps=50)     # tau = 0.8 dx^2: refused\n"
    "... except quorvane.QuorvaneError as e:\n"
    "...     print(e.kind)\n"
    "...\n"
    "CflViolated\n";

constexpr char kTruncatedExp4thDoc[] =
    "TruncatedExp4th1D(xmin, xmax, n, u0, *, boundary=\"reflect\")\n--\n\n"
    "1-D diffusion with 4th-order truncated-exp Chernoff kernel.\n\n"
    "Solves du/dt = d^2u/dx^2 on a uniform grid. One step of size tau applies the exponential\n"
    "series of tau*L cut after the fourth power,\n"
    "    u + tau L u + tau^2/2 L^2 u + tau^3/6 L^3 u + tau^4/24 L^4 u,\n"
    "where L is the five-point stencil\n"
    "    (-u[i+2] + 16 u[i+1] - 30 u[i] + 16 u[i-1] - u[i-2]) / (12 dx^2),\n"
    "with the neighbours beyond the ends supplied by the boundary policy. The stencil is fourth\n"
    "order in space and the series fourth order in time; its spectrum reaches -16/(3 dx^2), so\n"
    "the explicit step needs 8*tau < 3*dx^2 (CFL), checked on every step.\n\n"
    QUORVANE_COMMON_ARGS_DOC
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 21)\n"
    ">>> h = quorvane.TruncatedExp4th1D(0.0, 1.0, 21, np.cos(np.pi * x))\n"
    ">>> h.evolve(0.1, n_steps=300)        # tau = 0.133 dx^2 < 0.375 dx^2\n"
    ">>> print(f\"{abs(h.values() - np.exp(-np.pi**2 * 0.1) * np.cos(np.pi * x)).max():.0e}\")\n"
    "2e-06\n"
    ">>> try:\n"
    "...     h.evolve(0.1, n_steps=105)    # tau = 0.381 dx^2: refused, though 2*tau < dx^2\n"
    "... except quorvane.QuorvaneError as e:\n"
    "...     print(e.kind)\n"
    "...\n"
    "CflViolated\n";

#undef QUORVANE_COMMON_ARGS_DOC

#define QUORVANE_EVOLVE_DOC(LIMIT, MESSAGE)                                                         \
    "evolve($self, t, n_steps=100)\n--\n\n"                                                         \
    "Advance the state by time t with n_steps truncated-exponential steps of size t/n_steps.\n\n" \
    "The steps run with the interpreter lock released, on the calling thread; the values are\n"    \
    "replaced only when every step succeeded.\n\n"                                                  \
    "Parameters\n----------\n"                                                                      \
    "t : float\n    Time to advance, finite and >= 0.\n"                                            \
    "n_steps : int, optional\n    Number of steps, at least 1 (default 100).\n\n"                  \
    "Returns\n-------\nNone\n\n"                                                                    \
    "Raises\n------\n"                                                                              \
    "QuorvaneError\n"                                                                               \
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\";\n"    \
    "    \"[CflViolated]\" unless " LIMIT " (tau = t/n_steps);\n"                                   \
    "    \"[NanInf]\" where the series' powers of the stencil overflow also on the values\n"         \
    "    stepped again scaled down to max|u| = 1e-289 (a grid with dx below about 1e-72);\n"        \
    "    finite data whose powers only overflow (1e300 on 11 nodes) are stepped so and\n"           \
    "    answered. The values are unchanged after a failure.\n\n"                                 \
    "The CflViolated message begins with one fixed text for both truncated-exponential\n"       \
    "classes, \"CFL violated for truncated-exp K=4: tau = ..., dx² = ..., ‖a‖_∞ = ... (need\n" \
    "2·tau·‖a‖_∞ < dx²)\", then names the largest admissible tau on this grid and the n_steps\n" \
    "from which every count passes for this t. " MESSAGE "\n"

constexpr char kEvolveDoc[] = QUORVANE_EVOLVE_DOC("2*tau < dx^2",
    "Take\nn_steps > 2*t/dx^2.");
constexpr char kEvolve4thDoc[] = QUORVANE_EVOLVE_DOC("8*tau < 3*dx^2",
    "For this\nclass the limit is tau < 0.375*dx^2: the fixed text shows 3*dx^2/4 as dx², so that\n"
    "the condition it states is this one, and says so after it (\"the dx² shown is 3/4 of this\n"
    "grid's, ...: this five-point stencil needs 8·tau·‖a‖_∞ < 3·dx²\"). Take\n"
    "n_steps > 8*t/(3*dx^2).");

#undef QUORVANE_EVOLVE_DOC

constexpr char kOrderDoc[] =
    "order($self)\n--\n\n"
    "Return the order reported for the truncated-exp classes: 2.\n\n"
    "Measured, the series is fourth order in time and the stencil second (TruncatedExp1D) or\n"
    "fourth (TruncatedExp4th1D) order in space.\n\n"
    "Returns\n-------\nint\n    2.\n";

template <class K>
Ref order_two(const GridStepEvolverObj<K>&, const Args&) {
    return py_int(2);
}

// What the shared CFL text leaves to say for each stencil: the five-point
// stencil's refusal shows 3 dx^2 / 4 as dx^2, so that the condition the text
// states is its own.
std::string own_condition(const TruncatedExpDiffusionChernoff&, const Grid1D<double>&) { return ""; }
std::string own_condition(const TruncatedExp4thDiffusionChernoff&, const Grid1D<double>& grid) {
    return "; the dx\u00b2 shown is 3/4 of this grid's, " + fmt_exp3(grid.dx() * grid.dx()) +
           ": this five-point stencil needs 8\u00b7tau\u00b7\u2016a\u2016_\u221e < 3\u00b7dx\u00b2";
}

// The step's own refusal, judged before any work, with the largest tau it
// admits on this grid and the counts from which every step passes.
template <class K>
Ref truncated_exp_evolve(GridStepEvolverObj<K>& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 100);
    check_steps_and_time(n_steps, t);
    const K& kernel = self.semigroup.kernel;
    const Grid1D<double>& grid = self.state.grid;
    const StepCall call{StepCall::Form::Count, t, t / static_cast<double>(n_steps)};
    if (Status st = step_refusal(kernel, call.tau, grid.dx()); !st && st.error().variant() == CoreError::Variant::CflViolated) {
        raise_step_beyond("CflViolated", st.error().display() + own_condition(kernel, grid),
                          GridStepEvolverObj<K>::class_def().name, call, spacing_text(grid),
                          [&](double tau) { return static_cast<bool>(step_refusal(kernel, tau, grid.dx())); });
    }
    return evolve_body(self, a);
}

}  // namespace

template <>
ClassDef& TruncatedExpObj::class_def() {
    static ClassDef def = [] {
        using K = TruncatedExpDiffusionChernoff;
        ClassDef d = class_def_base<TruncatedExpObj>("TruncatedExp1D", kTruncatedExpDoc);
        d.tp_new = constructor<TruncatedExpObj, kTruncatedExpDoc, &grid_step_new<K>>();
        d.methods = {
            method<TruncatedExpObj, kOrderDoc, &order_two<K>>(),
            method<TruncatedExpObj, kEvolveDoc, &truncated_exp_evolve<K>>(),
            method<TruncatedExpObj, kValuesDoc, &grid_step_values<K>>(),
        };
        return d;
    }();
    return def;
}

template <>
ClassDef& TruncatedExp4thObj::class_def() {
    static ClassDef def = [] {
        using K = TruncatedExp4thDiffusionChernoff;
        ClassDef d = class_def_base<TruncatedExp4thObj>("TruncatedExp4th1D", kTruncatedExp4thDoc);
        d.tp_new = constructor<TruncatedExp4thObj, kTruncatedExp4thDoc, &grid_step_new<K>>();
        d.methods = {
            method<TruncatedExp4thObj, kOrderDoc, &order_two<K>>(),
            method<TruncatedExp4thObj, kEvolve4thDoc, &truncated_exp_evolve<K>>(),
            method<TruncatedExp4thObj, kValuesDoc, &grid_step_values<K>>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* truncated_exp1d_type_object() { return type_object<TruncatedExpObj>(); }
PyTypeObject* truncated_exp4th1d_type_object() { return type_object<TruncatedExp4thObj>(); }

}  // namespace quorvane::py
