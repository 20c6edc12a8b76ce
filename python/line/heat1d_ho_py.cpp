// Python classes of the higher-order 1-D heat evolvers: Heat1D4th and
// Heat1D6th (heat4/heat6 kernels, unit or sampled coefficient) and the zeta
// ladder Heat1DZeta4, Heat1DZeta6, Heat1DZeta8 (Richardson rungs over heat4).
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/line/diffusion4_zeta4.hpp"
#include "core/line/diffusion6_zeta6.hpp"
#include "core/line/diffusion8_zeta8.hpp"
#include "core/foundation/format.hpp"
#include "core/line/heat_stability.hpp"
#include "core/line/state.hpp"
#include "python/array.hpp"
#include "python/coeff.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"

namespace quorvane::py {
namespace {

// --- shared pieces ---------------------------------------------------------

template <class K>
struct HeatHoObj {
    ChernoffSemigroup<K> semigroup;
    GridFn<double> state;

    std::size_t len() const { return state.values.size(); }
    static ClassDef& class_def();
};

using Heat1D4thObj = HeatHoObj<Diffusion4thChernoff>;
using Heat1D6thObj = HeatHoObj<Diffusion6thChernoff>;
using Heat1DZeta4Obj = HeatHoObj<Diffusion4thZeta4Chernoff>;
using Heat1DZeta6Obj = HeatHoObj<Diffusion6thZeta6Chernoff>;
using Heat1DZeta8Obj = HeatHoObj<Diffusion8thZeta8Chernoff>;

template <class K>
const char* class_name_of() {
    return HeatHoObj<K>::class_def().name;
}

// evolve(t, n_steps=100) of every class of this file: the evolver call
// pattern, with the admissible-step check before the steps run.
template <class K>
Ref ho_evolve(HeatHoObj<K>& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 100);
    check_steps_and_time(n_steps, t);
    if constexpr (std::is_same_v<K, Diffusion8thZeta8Chernoff>) {
        // A zero step is the identity of the heat semigroup, but not of the
        // Chebyshev-resampled ladder (spectral radius 1.2 to 1.6 at tau = 0):
        // keep the state as it is.
        if (t == 0.0) {
            self.semigroup = ChernoffSemigroup<K>{self.semigroup.kernel, n_steps};
            return none();
        }
    }
    evolve_semigroup(class_name_of<K>(), self.semigroup, self.state, t, n_steps);
    return none();
}

template <class K>
Ref zeta_order(const HeatHoObj<K>&, const Args&) {
    return py_int(K::kTemporalOrder);
}

// The constructor checks shared by every class: u0 finite, then the grid.
Grid1D<double> checked_grid(std::span<const double> u0, BoundaryPolicy<double> policy, double xmin, double xmax,
                            std::size_t n) {
    if (const double* bad = first_non_finite<double>(u0)) unwrap(Status(domain_error("u0 contains NaN or Inf", *bad)));
    return unwrap(Grid1D<double>::make(policy, InterpKind::septic(), xmin, xmax, n));
}

// --- sampled coefficients (with_a_array) ------------------------------------

struct ACoefficients {
    BoundaryPolicy<double> boundary;
    std::vector<double> u0;
    SharedCoeff a, a_prime, a_double_prime;
    double a_norm_bound;
    double width_scale;  // the samples' mean (see sampled_width_scale)
};

std::vector<double> array_or_mismatch(PyObject* o, const char* name) {
    auto v = try_float_vector(o);
    if (!v) py_err_with_kind("GridMismatch", std::string(name) + " must be numpy.ndarray[float64]");
    return std::move(*v);
}

// Every array is converted, then its length checked against n, before any
// sample is read: finite-difference derivatives of a short or mislaid array
// would read past its end or describe another grid.
ACoefficients build_a_coefficients(double xmin, double xmax, std::size_t n, PyObject* a_obj, PyObject* u0_obj,
                                   PyObject* a_prime_obj, PyObject* a_double_prime_obj,
                                   bool has_a_norm_bound, double a_norm_bound, const std::string& boundary) {
    const BoundaryPolicy<double> policy = parse_boundary_policy(boundary);
    std::vector<double> u0 = extract_u0_vec(u0_obj);
    const std::vector<double> a = array_or_mismatch(a_obj, "a");
    std::optional<std::vector<double>> given_d1, given_d2;
    if (a_prime_obj) given_d1 = array_or_mismatch(a_prime_obj, "a_prime");
    if (a_double_prime_obj) given_d2 = array_or_mismatch(a_double_prime_obj, "a_double_prime");
    if (a.size() != n) {
        py_err_with_kind("GridMismatch",
                         "coefficient array length " + std::to_string(a.size()) + " != n=" + std::to_string(n));
    }
    for (const auto* d : {&given_d1, &given_d2}) {
        if (*d && (*d)->size() != n) {
            py_err_with_kind("GridMismatch", "derivative array length " + std::to_string((*d)->size()) +
                                                 " != n=" + std::to_string(n));
        }
    }
    if ((!given_d1 || !given_d2) && a.size() < 3) {
        py_err_with_kind("GridMismatch",
                         "a must have at least 3 samples to derive its derivatives, got " + std::to_string(a.size()));
    }
    const double h = sample_spacing(n, xmin, xmax);
    const std::span<const double> slopes = given_d1 ? std::span<const double>(*given_d1) : std::span<const double>{};
    const CoefficientEnds ends = coefficient_ends(policy.tag, a, h, slopes);
    const std::vector<double> d1 = given_d1 ? std::move(*given_d1) : fd_first_derivative(a, h, ends.a);
    const std::vector<double> d2 = given_d2 ? std::move(*given_d2) : fd_second_derivative(a, h, ends.a);
    double bound = -std::numeric_limits<double>::infinity();
    for (double v : a) bound = std::fmax(bound, v);
    bound = has_a_norm_bound ? a_norm_bound : 1.1 * bound;
    SharedCoeff ca = extract_coeff_array(a_obj, n, xmin, xmax, ends.a);
    SharedCoeff ca1 = sampled_coefficient(d1, n, xmin, xmax, ends.a_prime);
    SharedCoeff ca2 = sampled_coefficient(d2, n, xmin, xmax, ends.a_double_prime);
    if (a_prime_obj) check_given_samples(d1);
    if (a_double_prime_obj) check_given_samples(d2);
    return ACoefficients{policy, std::move(u0), std::move(ca), std::move(ca1), std::move(ca2), bound,
                         sampled_width_scale(a)};
}

// with_a_array of Heat1D4th and Heat1D6th.
template <class K>
Ref ho_with_a_array(const Args& a) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    PyObject* a_prime_obj = a.get(5);
    PyObject* a_double_prime_obj = a.get(6);
    const bool has_bound = a.get(7) != nullptr;
    const double bound = has_bound ? a.f64(7) : 0.0;
    const std::string boundary = a.str_or(8, "reflect");
    ACoefficients c = build_a_coefficients(xmin, xmax, n, a.raw(3), a.raw(4), a_prime_obj, a_double_prime_obj,
                                           has_bound, bound, boundary);
    const Grid1D<double> grid = checked_grid(c.u0, c.boundary, xmin, xmax, n);
    K kernel = K::unit(grid);
    kernel.coef_override = CoeffSource::shared(std::move(c.a), std::move(c.a_prime), std::move(c.a_double_prime));
    kernel.a = coeff_zero;
    kernel.a_prime = coeff_zero;
    kernel.a_double_prime = coeff_zero;
    kernel.a_norm_bound = c.a_norm_bound;
    kernel.width_scale = c.width_scale;
    warm_parallel_caches();
    ChernoffSemigroup<K> sg{std::move(kernel), 100};
    GridFn<double> state = unwrap(GridFn<double>::make(grid, std::move(c.u0)));
    return new_object(HeatHoObj<K>{std::move(sg), std::move(state)});
}

// --- Heat1D4th ----------------------------------------------------------------

constexpr char kHeat1D4thDoc[] =
    "Heat1D4th(xmin, xmax, n, u0, *, boundary=\"reflect\")\n--\n\n"
    "1-D diffusion state using the 4th-order Chernoff kernel.\n\n"
    "Solves `∂_t u = ∂²u` with the unit coefficient `a = 1` (this constructor); the\n"
    "variable-coefficient evolver of `with_a_array` approximates the divergence form\n"
    "`∂_t u = ∂ₓ(a(x) ∂ₓu)` (its steps also move the sample points by the drift a'(x)/2).\n"
    "Uses `Diffusion4thChernoff` — global spatial order 4. In time the step is of\n"
    "order 2: its five-point rule matches the Gaussian moments up to the fourth, so one\n"
    "step errs by (k²τ)³/30 on a mode of wave number k, and halving τ quarters the error.\n"
    "With unit coefficient the step equals that of `Heat1D`.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values at the n nodes, all finite.\n"
    QUORVANE_BOUNDARY_PARAM_DOC "\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is neither a float64 array nor a sequence of floats.\n"
    "QuorvaneError\n"
    "    Raises `QuorvaneError` with `kind='GridMismatch'` or `'NanInf'` on invalid inputs\n"
    "    (xmin >= xmax, n < 4, len(u0) != n; non-finite u0 or bounds), and kind\n"
    "    'OutOfDomain' for an unknown boundary.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 41)\n"
    ">>> h = quorvane.Heat1D4th(0.0, 1.0, 41, np.cos(np.pi * x))\n"
    ">>> h.evolve(0.1, n_steps=50)\n"
    ">>> print(f\"{abs(h.values() - np.exp(-np.pi**2 * 0.1) * np.cos(np.pi * x)).max():.0e}\")\n"
    "5e-06\n";

constexpr char kHeat4EvolveDoc[] =
    "evolve($self, t, n_steps=100)\n--\n\n"
    "Advance state by time `t` using `n_steps` Chernoff iterations.\n\n"
    "Each iteration is one step of size t/n_steps, run with the interpreter lock released;\n"
    "the values are replaced only when the whole evolution succeeded.\n\n"
    QUORVANE_STEP_SIZE_DOC
    "Parameters\n----------\n"
    "t : float\n    Time to advance, finite and >= 0.\n"
    "n_steps : int, optional\n    Number of steps, at least 1 (default 100).\n\n"
    "Returns\n-------\nNone\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\";\n"
    "    with a variable coefficient, kind 'OutOfDomain' when no step count can be stable\n"
    "    with it (its small-step limit grows data, as rough samples make it: the message says\n"
    "    where), kind 'CflViolated' when the step tau = t/n_steps would grow some data\n"
    "    without its mean in the grid 2-norm (a rule on tau alone; the message names the\n"
    "    largest admissible tau X and the n_steps it gives for this t: on grids under 256\n"
    "    nodes a scan certifies every step up to X, on larger ones a search brackets the\n"
    "    first step it finds growing to within 0.8 % above X, and a step below X between\n"
    "    its points that grows is refused too, naming a smaller X; a larger step that\n"
    "    grows nothing runs); kind\n"
    "    'OutOfDomain' for a negative or non-finite coefficient; 'NanInf' for a non-finite\n"
    "    result;\n"
    QUORVANE_FAR_READS_COUNT_DOC
    "    The values are unchanged after a failure.\n";

constexpr char kHeat4ValuesDoc[] =
    "values($self)\n--\n\n"
    "Return the current grid values as `numpy.ndarray[float64]`.\n\n"
    "Returns\n-------\nnumpy.ndarray[float64]\n    A new array (a copy) of the n node values.\n";

constexpr char kHeat4WithAArrayDoc[] =
    "with_a_array(xmin, xmax, n, a, u0, *, a_prime=None, a_double_prime=None, a_norm_bound=None, "
    "boundary=\"reflect\")\n--\n\n"
    "Create `Heat1D4th` from pre-sampled arrays `a`, `u0`.\n\n"
    "`a_prime`, `a_double_prime` default to 4th-order FD if ``None``.\n"
    "`a_norm_bound` defaults to ``1.1 * max(a)``.\n"
    "See `Heat1D.with_a_array` for full parameter docs.\n\n"
    "The evolver approximates the divergence form `∂_t u = ∂ₓ(a(x) ∂ₓu)`. Samples sit at\n"
    "the n nodes and are read between and beyond the nodes as for `Heat1D.with_a_array`\n"
    "(Catmull-Rom interpolation, continued by the boundary's rule). Its steps are\n"
    "stable only up to a grid-dependent tau (of the order of sqrt(dx³/(a |a'|))); `evolve`\n"
    "refuses larger steps with kind 'CflViolated'.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "a : numpy.ndarray[float64] or sequence of float\n    n samples of a >= 0.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values.\n"
    "a_prime, a_double_prime : array-like, optional\n    n samples of a' and a''.\n"
    "a_norm_bound : float, optional\n    Upper bound of a.\n"
    "boundary : str, optional\n    \"reflect\" (default), \"zero\" or \"periodic\". \"linear\" is accepted here, but\n"
    "    ``evolve`` refuses it for every evolver built here, even with a constant a (kind\n"
    "    'OutOfDomain'): its straight-line continuation is no boundary condition for\n"
    "    ∂ₓ(a ∂ₓu). For a constant a use Heat1D4th(xmin, xmax, n, u0, boundary=\"linear\")\n"
    "    evolved over a * t.\n\n"
    "Returns\n-------\nHeat1D4th\n\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is not a float sequence.\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain]\" for an unknown boundary; \"[GridMismatch]\" for an array that is not\n"
    "    a float sequence or whose length is not n, or an a of fewer than 3 samples when a\n"
    "    derivative is derived from it; \"[NanInf]\" for non-finite samples of a, a_prime or\n"
    "    a_double_prime or values of u0; the grid errors of the constructor. ``evolve`` refuses boundary \"linear\", whatever\n"
    "    the samples of a, kind 'OutOfDomain'.\n";

Heat1D4thObj heat1d4th_new(const Args& a) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(4, "reflect"));
    const std::vector<double> u0 = extract_u0_vec(a.raw(3));
    auto [sg, state] = unwrap(build_diffusion4th_state(n, 100, u0, policy, xmin, xmax));
    return Heat1D4thObj{std::move(sg), std::move(state)};
}

// --- Heat1D6th ----------------------------------------------------------------

constexpr char kHeat1D6thDoc[] =
    "Heat1D6th(xmin, xmax, n, u0, *, boundary=\"reflect\")\n--\n\n"
    "1-D diffusion state using the 6th-order Chernoff kernel.\n\n"
    "Same API as `Heat1D4th` but backed by `Diffusion6thChernoff` (spatial order 6).\n"
    "Solves `∂_t u = ∂²u` with the unit coefficient `a = 1` (this constructor); the\n"
    "variable-coefficient evolver of `with_a_array` approximates the divergence form\n"
    "`∂_t u = ∂ₓ(a(x) ∂ₓu)`.\n"
    "Each step averages u over seven points whose weights match the Gaussian moments up\n"
    "to the sixth, so with a constant a the step is of temporal order 3: halving τ divides\n"
    "the error by 8. With a varying a (`with_a_array`) the order is 2, as for `Heat1D4th`:\n"
    "the drift and the derivative correction match the exact flow up to τ² only, so one\n"
    "step errs by a term in τ³ that a′ and a″ carry (a = 1 + 0.5·exp(−x²) on 801 nodes of\n"
    "[−10, 10], t = 0.5: time errors 2.5e-6, 6.2e-7, 1.5e-7 at 128, 256, 512 steps).\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values at the n nodes, all finite.\n"
    QUORVANE_BOUNDARY_PARAM_DOC "\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is neither a float64 array nor a sequence of floats.\n"
    "QuorvaneError\n"
    "    kind 'GridMismatch' for xmin >= xmax, n < 4 or len(u0) != n; 'NanInf' for\n"
    "    non-finite u0 or bounds; 'OutOfDomain' for an unknown boundary.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 41)\n"
    ">>> h = quorvane.Heat1D6th(0.0, 1.0, 41, np.cos(np.pi * x))\n"
    ">>> h.evolve(0.1, n_steps=20)\n"
    ">>> print(f\"{abs(h.values() - np.exp(-np.pi**2 * 0.1) * np.cos(np.pi * x)).max():.0e}\")\n"
    "2e-07\n";

constexpr char kHeat6WithAArrayDoc[] =
    "with_a_array(xmin, xmax, n, a, u0, *, a_prime=None, a_double_prime=None, a_norm_bound=None, "
    "boundary=\"reflect\")\n--\n\n"
    "Create `Heat1D6th` from pre-sampled arrays. Same parameters as `Heat1D4th.with_a_array`.\n\n"
    "The evolver approximates the divergence form `∂_t u = ∂ₓ(a(x) ∂ₓu)`, of temporal order\n"
    "2 where a varies (3 only for a constant a); `evolve` refuses steps beyond the\n"
    "grid-dependent stability limit of the correction with kind 'CflViolated'.\n\n"
    "boundary is \"reflect\" (default), \"zero\" or \"periodic\". \"linear\" is accepted here,\n"
    "but ``evolve`` refuses it for every evolver built here, even with a constant a (kind\n"
    "'OutOfDomain'): its straight-line continuation is no boundary condition for ∂ₓ(a ∂ₓu).\n"
    "For a constant a use Heat1D6th(xmin, xmax, n, u0, boundary=\"linear\") evolved over a * t.\n\n"
    "Returns\n-------\nHeat1D6th\n\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is not a float sequence.\n"
    "QuorvaneError\n"
    "    As `Heat1D4th.with_a_array`: \"[OutOfDomain]\" for an unknown boundary; \"[GridMismatch]\"\n"
    "    for an array that is not a float sequence or whose length is not n, or an a of fewer\n"
    "    than 3 samples when a derivative is derived from it; \"[NanInf]\" for non-finite\n"
    "    samples of a or values of u0; the grid errors of the constructor. ``evolve`` refuses\n"
    "    boundary \"linear\", whatever the samples of a, kind 'OutOfDomain'.\n";

Heat1D6thObj heat1d6th_new(const Args& a) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(4, "reflect"));
    const std::vector<double> u0 = extract_u0_vec(a.raw(3));
    auto [sg, state] = unwrap(build_diffusion6th_state(n, 100, u0, policy, xmin, xmax));
    return Heat1D6thObj{std::move(sg), std::move(state)};
}

// --- the zeta ladder ------------------------------------------------------------

constexpr char kHeat1DZeta4Doc[] =
    "Heat1DZeta4(xmin, xmax, n, u0, *, boundary=\"reflect\")\n--\n\n"
    "1-D heat equation with the ζ⁴ Chernoff kernel (v4.1), of temporal order 3.\n\n"
    "Solves the unit heat equation `∂_t u = ∂²u` (a = 1) on a uniform grid. Each step\n"
    "extrapolates the step F of `Heat1D4th` from two step sizes (Richardson):\n"
    "(4·F(τ/2)²u − F(τ)u)/3. That extrapolation would give order 4 if the error of F were\n"
    "even in τ; it is not (one step of F errs by (k²τ)³/30 on a mode of wave number k), so\n"
    "the temporal order is 3, one more than `Heat1D4th`. Values between nodes come from\n"
    "degree-7 Hermite interpolation.\n\n"
    "The combination amplifies the highest grid frequencies once τ exceeds 1.7889·dx²;\n"
    "`evolve` refuses such steps with kind 'CflViolated' and names the largest admissible τ.\n\n"
    "Parameters\n----------\n"
    "xmin : float\n    Left boundary.\n"
    "xmax : float\n    Right boundary (must be > xmin).\n"
    "n : int\n    Number of grid nodes (must be >= 4).\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial condition; length n, all finite.\n"
    QUORVANE_BOUNDARY_PARAM_DOC "\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is neither a float64 array nor a sequence of floats.\n"
    "QuorvaneError\n"
    "    \"GridMismatch\" if xmin >= xmax or n < 4 or len(u0) != n, \"NanInf\" if u0\n"
    "    contains NaN or Inf, \"OutOfDomain\" if boundary is not recognised.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 41)\n"
    ">>> h = quorvane.Heat1DZeta4(0.0, 1.0, 41, np.cos(np.pi * x))\n"
    ">>> h.evolve(0.1, n_steps=100)        # tau = 1.6 dx^2, inside the limit 1.788 dx^2\n"
    ">>> print(h.order(), f\"{abs(h.values() - np.exp(-np.pi**2 * 0.1) * np.cos(np.pi * x)).max():.0e}\")\n"
    "3 9e-10\n";

constexpr char kHeat1DZeta6Doc[] =
    "Heat1DZeta6(xmin, xmax, n, u0, *, boundary=\"reflect\")\n--\n\n"
    "1-D heat equation with the ζ⁶ Chernoff kernel (v4.1), of temporal order 3.\n\n"
    "Solves the unit heat equation `∂_t u = ∂²u` (a = 1) on a uniform grid. Each step\n"
    "extrapolates the step Z of `Heat1DZeta4` once more: (16·Z(τ/2)²u − Z(τ)u)/15, nine\n"
    "steps of `Heat1D4th` in all. The weights would raise the order if the error of the\n"
    "underlying step were even in τ; it is not, so the temporal order stays 3 (with a\n"
    "smaller constant than `Heat1DZeta4`). Values between nodes come from degree-7 Hermite\n"
    "interpolation.\n\n"
    "The combination amplifies the highest grid frequencies once τ exceeds 3.5031·dx²;\n"
    "`evolve` refuses such steps with kind 'CflViolated' and names the largest admissible τ.\n\n"
    "Parameters\n----------\n"
    "xmin : float\n    Left boundary.\n"
    "xmax : float\n    Right boundary (must be > xmin).\n"
    "n : int\n    Number of grid nodes (must be >= 4).\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial condition; length n, all finite.\n"
    QUORVANE_BOUNDARY_PARAM_DOC "\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is neither a float64 array nor a sequence of floats.\n"
    "QuorvaneError\n"
    "    \"GridMismatch\" if xmin >= xmax or n < 4 or len(u0) != n, \"NanInf\" if u0\n"
    "    contains NaN or Inf, \"OutOfDomain\" if boundary is not recognised.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 41)\n"
    ">>> h = quorvane.Heat1DZeta6(0.0, 1.0, 41, np.cos(np.pi * x))\n"
    ">>> h.evolve(0.1, n_steps=64)         # tau = 2.56 dx^2, inside the step limit\n"
    ">>> print(h.order(), f\"{abs(h.values() - np.exp(-np.pi**2 * 0.1) * np.cos(np.pi * x)).max():.0e}\")\n"
    "3 2e-10\n";

constexpr char kHeat1DZeta8Doc[] =
    "Heat1DZeta8(xmin, xmax, n, u0, *, boundary=\"reflect\")\n--\n\n"
    "1-D heat equation with the ζ⁸ Chernoff kernel, of temporal order 3.\n\n"
    "Solves the unit heat equation `∂_t u = ∂²u` (a = 1) on a uniform grid. Each step\n"
    "extrapolates the step Z of `Heat1DZeta6` once more: (64·Z(τ/2)²u − Z(τ)u)/63, 27 steps\n"
    "of `Heat1D4th` in all; as for the lower rungs the temporal order stays 3. Every inner\n"
    "step reads u through the degree-64 polynomial through 65 Chebyshev points of the\n"
    "interval, which makes this by far the slowest 1-D class per step. Under \"periodic\"\n"
    "the cell that closes the period, from xmax to xmin + n·dx, is read by degree-7\n"
    "Hermite interpolation across the seam, so the read repeats with the grid's period.\n\n"
    "That resampling is not the identity, and the ladder amplifies its error: a step is\n"
    "stable only when τ/dx² lies in [0.08, 6.5]. `evolve` refuses other steps with kind\n"
    "'CflViolated' naming the admissible range; `evolve(0.0)` leaves the state unchanged.\n"
    "The resampling's error adds up over the steps: past its best steps (τ ≈ 2–3·dx²) the\n"
    "error grows about in proportion to the step count down to τ = 0.08·dx² (exp(−x²) on\n"
    "[−8, 8], t = 0.5: 6.1e-9 at 24 steps and 1.3e-7 at 625 on 161 nodes, 2.0e-10 at 62\n"
    "and 1.6e-8 at 2500 on 321). Take the fewest steps that resolve the data in time.\n\n"
    "Parameters\n----------\n"
    "xmin : float\n    Left boundary.\n"
    "xmax : float\n    Right boundary (must be > xmin).\n"
    "n : int\n    Number of grid nodes (must be >= 4).\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial condition; length n, all finite.\n"
    QUORVANE_BOUNDARY_PARAM_DOC "\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is neither a float64 array nor a sequence of floats.\n"
    "QuorvaneError\n"
    "    \"GridMismatch\" if xmin >= xmax or n < 4 or len(u0) != n, \"NanInf\" if u0\n"
    "    contains NaN or Inf, \"OutOfDomain\" if boundary is not recognised.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 21)\n"
    ">>> h = quorvane.Heat1DZeta8(0.0, 1.0, 21, np.cos(np.pi * x))\n"
    ">>> h.evolve(0.02, n_steps=4)           # tau = 2 dx^2: inside 0.08 dx^2 <= tau <= 6.5 dx^2\n"
    ">>> print(h.order(), f\"{abs(h.values() - np.exp(-np.pi**2 * 0.02) * np.cos(np.pi * x)).max():.0e}\")\n"
    "3 5e-10\n";

constexpr char kZetaEvolveDoc[] =
    "evolve($self, t, n_steps=100)\n--\n\n"
    "Advance the state by time ``t`` using ``n_steps`` Chernoff iterations.\n\n"
    "The interpreter lock is released during the compute loop; the values are replaced only\n"
    "when the whole evolution succeeded.\n\n"
    QUORVANE_STEP_SIZE_DOC
    "Parameters\n----------\n"
    "t : float\n    Time to advance.  Must be non-negative and finite.\n"
    "n_steps : int, optional\n    Number of Chernoff steps (default 100).  Must be >= 1.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    kind \"OutOfDomain\" if t < 0, t is non-finite, or n_steps == 0; kind \"CflViolated\"\n"
    "    if τ = t/n_steps lies outside the steps the kernel keeps stable on this grid (the\n"
    "    message names the admissible τ and the step counts that satisfy it, or, where none up\n"
    "    to 2^64 - 1 does, the longest t one call serves).\n";

constexpr char kZeta4OrderDoc[] =
    "order($self)\n--\n\n"
    "Return the approximation order (always 3 for ζ⁴ kernel).\n\n"
    "The rung's weights 4 and 3 would give order 4 over a time-symmetric step; over the\n"
    "fourth-order heat step they give 3.\n\n"
    "Returns\n-------\nint\n    Approximation order = 3.\n";

constexpr char kZeta6OrderDoc[] =
    "order($self)\n--\n\n"
    "Return the approximation order (always 3 for ζ⁶ kernel).\n\n"
    "The weights 16 and 15 would give order 6 over a time-symmetric step; over the\n"
    "fourth-order heat step the ladder stays at 3.\n\n"
    "Returns\n-------\nint\n    Approximation order = 3.\n";

constexpr char kZeta8OrderDoc[] =
    "order($self)\n--\n\n"
    "Return the approximation order (always 3 for ζ⁸ kernel).\n\n"
    "The weights 64 and 63 would give order 8 over a time-symmetric step; over the\n"
    "fourth-order heat step the ladder stays at 3.\n\n"
    "Returns\n-------\nint\n    Approximation order = 3.\n";

constexpr char kZetaValuesDoc[] =
    "values($self)\n--\n\n"
    "Return the current grid values as a 1-D float64 NumPy array.\n\n"
    "Returns a copy; mutations do not affect the internal state.\n";

template <class K>
HeatHoObj<K> zeta_new(const Args& a) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(4, "reflect"));
    const std::vector<double> u0 = extract_u0_vec(a.raw(3));
    const Grid1D<double> grid = checked_grid(u0, policy, xmin, xmax, n);
    warm_parallel_caches();
    K kernel;
    if constexpr (std::is_same_v<K, Diffusion8thZeta8Chernoff>) {
        kernel = K::unit_chebyshev(grid);
    } else {
        kernel = K::over(Diffusion4thChernoff::unit(grid));
    }
    ChernoffSemigroup<K> sg{std::move(kernel), 100};
    GridFn<double> state = unwrap(GridFn<double>::make(grid, u0));
    return HeatHoObj<K>{std::move(sg), std::move(state)};
}

// --- class tables -----------------------------------------------------------------

template <>
ClassDef& Heat1D4thObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<Heat1D4thObj>("Heat1D4th", kHeat1D4thDoc);
        d.tp_new = constructor<Heat1D4thObj, kHeat1D4thDoc, &heat1d4th_new>();
        d.methods = {
            method<Heat1D4thObj, kHeat4EvolveDoc, &ho_evolve<Diffusion4thChernoff>>(),
            method<Heat1D4thObj, kHeat4ValuesDoc, &values_body<Heat1D4thObj>>(),
            method<Heat1D4thObj, kHeat4WithAArrayDoc, &ho_with_a_array<Diffusion4thChernoff>>(),
        };
        return d;
    }();
    return def;
}

template <>
ClassDef& Heat1D6thObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<Heat1D6thObj>("Heat1D6th", kHeat1D6thDoc);
        d.tp_new = constructor<Heat1D6thObj, kHeat1D6thDoc, &heat1d6th_new>();
        d.methods = {
            method<Heat1D6thObj, kHeat4EvolveDoc, &ho_evolve<Diffusion6thChernoff>>(),
            method<Heat1D6thObj, kHeat4ValuesDoc, &values_body<Heat1D6thObj>>(),
            method<Heat1D6thObj, kHeat6WithAArrayDoc, &ho_with_a_array<Diffusion6thChernoff>>(),
        };
        return d;
    }();
    return def;
}

template <>
ClassDef& Heat1DZeta4Obj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<Heat1DZeta4Obj>("Heat1DZeta4", kHeat1DZeta4Doc);
        d.tp_new = constructor<Heat1DZeta4Obj, kHeat1DZeta4Doc, &zeta_new<Diffusion4thZeta4Chernoff>>();
        d.methods = {
            method<Heat1DZeta4Obj, kZeta4OrderDoc, &zeta_order<Diffusion4thZeta4Chernoff>>(),
            method<Heat1DZeta4Obj, kZetaEvolveDoc, &ho_evolve<Diffusion4thZeta4Chernoff>>(),
            method<Heat1DZeta4Obj, kZetaValuesDoc, &values_body<Heat1DZeta4Obj>>(),
        };
        return d;
    }();
    return def;
}

template <>
ClassDef& Heat1DZeta6Obj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<Heat1DZeta6Obj>("Heat1DZeta6", kHeat1DZeta6Doc);
        d.tp_new = constructor<Heat1DZeta6Obj, kHeat1DZeta6Doc, &zeta_new<Diffusion6thZeta6Chernoff>>();
        d.methods = {
            method<Heat1DZeta6Obj, kZeta6OrderDoc, &zeta_order<Diffusion6thZeta6Chernoff>>(),
            method<Heat1DZeta6Obj, kZetaEvolveDoc, &ho_evolve<Diffusion6thZeta6Chernoff>>(),
            method<Heat1DZeta6Obj, kZetaValuesDoc, &values_body<Heat1DZeta6Obj>>(),
        };
        return d;
    }();
    return def;
}

template <>
ClassDef& Heat1DZeta8Obj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<Heat1DZeta8Obj>("Heat1DZeta8", kHeat1DZeta8Doc);
        d.tp_new = constructor<Heat1DZeta8Obj, kHeat1DZeta8Doc, &zeta_new<Diffusion8thZeta8Chernoff>>();
        d.methods = {
            method<Heat1DZeta8Obj, kZeta8OrderDoc, &zeta_order<Diffusion8thZeta8Chernoff>>(),
            method<Heat1DZeta8Obj, kZetaEvolveDoc, &ho_evolve<Diffusion8thZeta8Chernoff>>(),
            method<Heat1DZeta8Obj, kZetaValuesDoc, &values_body<Heat1DZeta8Obj>>(),
        };
        return d;
    }();
    return def;
}

}  // namespace

PyTypeObject* heat1d4th_type_object() { return type_object<Heat1D4thObj>(); }
PyTypeObject* heat1d6th_type_object() { return type_object<Heat1D6thObj>(); }
PyTypeObject* heat1d_zeta4_type_object() { return type_object<Heat1DZeta4Obj>(); }
PyTypeObject* heat1d_zeta6_type_object() { return type_object<Heat1DZeta6Obj>(); }
PyTypeObject* heat1d_zeta8_type_object() { return type_object<Heat1DZeta8Obj>(); }

}  // namespace quorvane::py
