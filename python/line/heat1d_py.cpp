// Python class Heat1D: the second-order heat evolver.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <span>

#include "core/line/heat1d.hpp"
#include "core/line/state.hpp"
#include "python/array.hpp"
#include "python/coeff.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"

namespace quorvane::py {
namespace {

struct Heat1DObj {
    ChernoffSemigroup<DiffusionChernoff> semigroup;
    GridFn<double> state;
    Dtype dtype = Dtype::F64;

    std::size_t len() const { return state.values.size(); }
    // The callables of with_a_function may refer back to the object.
    int visit_refs(visitproc visit, void* arg) const { return visit_coeff_refs(semigroup.kernel.coef, visit, arg); }
    void clear_refs() { clear_coeff_refs(semigroup.kernel.coef); }
    static ClassDef& class_def();
};

constexpr char kHeat1DDoc[] =
    "Heat1D(xmin, xmax, n, u0, *, boundary=\"reflect\", dtype=\"f64\")\n--\n\n"
    "One-dimensional heat equation on a uniform grid, advanced by a Chernoff product formula.\n\n"
    "Built by the constructor, the object solves du/dt = d^2u/dx^2 (unit diffusion) on the\n"
    "n nodes x_i = xmin + i*dx, dx = (xmax - xmin)/(n - 1). Each Chernoff step of size tau\n"
    "replaces u(x) by a five-point Gaussian quadrature average of u around x (off-grid values\n"
    "by degree-7 Hermite interpolation, values beyond the ends by the boundary rule). The\n"
    "time error is second order: doubling the number of steps divides it by about 4.\n"
    "The static factories ``with_a_array`` and ``with_a_function`` build the variable-\n"
    "coefficient evolver, which approximates the divergence-form equation\n"
    "du/dt = d/dx (a(x) du/dx).\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values at the n nodes, all finite.\n"
    QUORVANE_BOUNDARY_PARAM_DOC
    "dtype : str, optional\n"
    "    \"f64\" (default) or \"f32\": the precision of ``evolve``. The f32 path runs serially\n"
    "    in single precision with unit diffusion.\n\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is neither a float64 array nor a sequence of floats.\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain]\" for an unknown boundary or dtype, \"[NanInf]\" for non-finite u0 or\n"
    "    bounds, \"[GridMismatch]\" for xmin >= xmax, n < 4 or len(u0) != n.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(-10.0, 10.0, 401)\n"
    ">>> h = quorvane.Heat1D(-10.0, 10.0, 401, np.exp(-x**2))\n"
    ">>> h.evolve(1.0, n_steps=100)\n"
    ">>> exact = np.exp(-x**2 / 5.0) / np.sqrt(5.0)\n"
    ">>> print(f\"{abs(h.values() - exact).max():.1e}\")\n"
    "1.4e-06\n";

constexpr char kEvolveDoc[] =
    "evolve($self, t, n_steps=100)\n--\n\n"
    "Advance the state by time t with n_steps Chernoff steps of size t/n_steps.\n\n"
    "The temporal error is second order: doubling n_steps divides it by about 4.\n"
    "With the interpreter lock released, the steps run on worker threads for large grids;\n"
    "the object's values are replaced only when the whole evolution succeeded.\n\n"
    QUORVANE_STEP_SIZE_DOC
    "Parameters\n----------\n"
    "t : float\n    Time to advance, finite and >= 0.\n"
    "n_steps : int, optional\n    Number of steps, at least 1 (default 100).\n\n"
    "Returns\n-------\nNone\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\",\n"
    "    with a variable coefficient, kind OutOfDomain when no step count can be stable with\n"
    "    it (its small-step limit grows data, as rough samples make it: the message says\n"
    "    where), kind CflViolated when the step tau = t/n_steps would grow some data without\n"
    "    its mean in the grid 2-norm (a rule on tau alone; the message names the largest\n"
    "    admissible tau X and the n_steps it gives for this t: on grids under 256 nodes a\n"
    "    scan certifies every step up to X, on larger ones a search brackets the first step\n"
    "    it finds growing to within 0.8 % above X, and a step below X between its points\n"
    "    that grows is refused too, naming a smaller X; a larger step that grows nothing\n"
    "    runs),\n"
    "    or the error of a step (for example a negative or non-finite coefficient, or a\n"
    "    non-finite result, kind NanInf);\n"
    QUORVANE_FAR_READS_COUNT_DOC
    "    The values are unchanged after a failure.\n";

constexpr char kEvolveChunkedDoc[] =
    "evolve_chunked($self, t, total_steps, chunk_steps, progress=None)\n--\n\n"
    "Advance by time t in total_steps double-precision steps, chunk_steps at a time.\n\n"
    "The result is bit-identical to ``evolve(t, total_steps)`` in double precision. The\n"
    "interpreter lock is released for each chunk and re-taken between chunks, where\n"
    "``progress(done, total)`` is called if given; an exception it raises ends the call\n"
    "unchanged and leaves the values as they were.\n\n"
    "Parameters\n----------\n"
    "t : float\n    Time to advance, finite and >= 0.\n"
    "total_steps : int\n    Total number of steps, at least 1.\n"
    "chunk_steps : int\n    Steps per chunk, at least 1.\n"
    "progress : callable, optional\n    Called as progress(done, total) after each chunk.\n\n"
    "Returns\n-------\nNone\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\",\n"
    "    \"[OutOfDomain] chunk_steps must be >= 1\", kind CflViolated as for ``evolve`` (judged\n"
    "    over the whole call), or the error of a step.\n";

constexpr char kWithAArrayDoc[] =
    "with_a_array(xmin, xmax, n, a, u0, *, a_prime=None, a_double_prime=None, a_norm_bound=None, "
    "boundary=\"reflect\")\n--\n\n"
    "Build a heat evolver for du/dt = d/dx (a(x) du/dx) from sampled coefficients.\n\n"
    "The samples of a (and of a' and a'' when given) sit at the n grid nodes and are\n"
    "evaluated between nodes by Catmull-Rom interpolation. Beyond the ends they continue\n"
    "by the boundary's rule: repeated across a \"periodic\" seam (period n*dx, as u);\n"
    "at a \"reflect\" wall x_w where a has the slope s (a_prime's end sample when given),\n"
    "reflected with that slope kept: a(x_w - y) = a(x_w + y) - 2*s*y beyond the left wall\n"
    "(a' = 2*s - a'(x_w + y), a'' mirrored), likewise beyond the right one. That is smooth\n"
    "across the wall, so it costs the steps no length (a = 1 + x on 201 nodes of [0, 1],\n"
    "which continues as itself: steps up to 2.33e-3, as with the end samples continued,\n"
    "against 1.8e-4 for the kink of the plain mirror), and where a' = 0 at the wall it is\n"
    "the plain mirror, under which u's even extension solves the equation of a's, so the\n"
    "steps keep their order in time; a wall where a has a slope is first order in time, as\n"
    "for a callable a of that slope. More than a grid length out the slope's correction is\n"
    "held, and a below zero there is read as zero, so that a long step is refused by the\n"
    "step bound like any other. \"zero\" ends continue the end samples. Missing\n"
    "derivatives are taken by finite differences of a (fourth order inside and across a\n"
    "periodic seam, second order at the other ends). Every evaluation stays free of the\n"
    "interpreter lock.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "a : numpy.ndarray[float64] or sequence of float\n    Samples of a >= 0 at the nodes.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values.\n"
    "a_prime, a_double_prime : array-like, optional\n    Samples of a' and a''.\n"
    "a_norm_bound : float, optional\n    Upper bound of a; default 1.1 * max(a).\n"
    "boundary : str, optional\n    \"reflect\" (default), \"zero\" or \"periodic\". \"linear\" is accepted here, but\n"
    "    ``evolve`` refuses it for every evolver built here, even with a constant a (kind\n"
    "    OutOfDomain): its straight-line continuation is no boundary condition for\n"
    "    d/dx (a du/dx). For a constant a use Heat1D(xmin, xmax, n, u0, boundary=\"linear\")\n"
    "    evolved over a * t.\n\n"
    "Returns\n-------\nHeat1D\n\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is not a float sequence.\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain]\" for an unknown boundary, \"[GridMismatch]\" for arrays of the wrong\n"
    "    type or length (a needs at least 3 samples when a derivative is derived from it),\n"
    "    \"[NanInf]\" for non-finite samples of a or values of u0 (those of a_prime and\n"
    "    a_double_prime are not checked here: ``evolve`` reports them, kind NanInf),\n"
    "    and the grid errors of the constructor. ``evolve``\n"
    "    refuses boundary \"linear\", whatever the samples of a, kind OutOfDomain.\n";

constexpr char kWithAFunctionDoc[] =
    "with_a_function(xmin, xmax, n, a, a_prime, a_double_prime, a_norm_bound, u0, *, "
    "boundary=\"reflect\")\n--\n\n"
    "Build a heat evolver for du/dt = d/dx (a(x) du/dx) from Python callables.\n\n"
    "a, a_prime and a_double_prime are called as f(x) with one float during ``evolve``, each\n"
    "call taking the interpreter lock. A call that raises or returns a non-float yields NaN;\n"
    "the evolve then fails with the step's error, whose __cause__ is the first exception\n"
    "raised by a callable.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "a, a_prime, a_double_prime : callable\n    a(x) >= 0 and its first two derivatives.\n"
    "a_norm_bound : float\n    Upper bound of a.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values.\n"
    "boundary : str, optional\n    \"reflect\" (default), \"zero\" or \"periodic\". \"linear\" is accepted here, but\n"
    "    ``evolve`` refuses it for every evolver built here, even with a constant a (kind\n"
    "    OutOfDomain): its straight-line continuation is no boundary condition for\n"
    "    d/dx (a du/dx). For a constant a use Heat1D(xmin, xmax, n, u0, boundary=\"linear\")\n"
    "    evolved over a * t.\n\n"
    "Returns\n-------\nHeat1D\n\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is not a float sequence.\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain]\" for an unknown boundary, and the grid and initial-value errors of\n"
    "    the constructor. ``evolve`` refuses boundary \"linear\", whatever the callables\n"
    "    return, kind OutOfDomain.\n";

// --- bodies ---------------------------------------------------------------

Heat1DObj heat1d_new(const Args& a) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const std::string boundary = a.str_or(4, "reflect");
    const std::string dtype = a.str_or(5, "f64");
    const BoundaryPolicy<double> policy = parse_boundary_policy(boundary);
    const Dtype dt = parse_dtype(dtype);
    const std::vector<double> u0 = extract_u0_vec(a.raw(3));
    auto [sg, state] = unwrap(build_heat_state(n, 100, u0, policy, xmin, xmax));
    return Heat1DObj{std::move(sg), std::move(state), dt};
}

Ref heat1d_evolve(Heat1DObj& self, const Args& a) {
    if (self.dtype == Dtype::F64) return evolve_body(self, a);
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 100);
    check_steps_and_time(n_steps, t);
    const std::vector<double> values = self.state.values;
    const Grid1D<double> grid = self.state.grid;
    auto r = run_evolve([&] { return heat1d_evolve_f32(grid, values, t, n_steps); });
    self.state.values = unwrap(std::move(r));
    return none();
}

Ref heat1d_evolve_chunked(Heat1DObj& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t total = a.usize(1);
    const std::size_t chunk = a.usize(2);
    PyObject* progress = a.get(3);
    check_steps_and_time(total, t);
    if (chunk == 0) py_err_with_kind("OutOfDomain", "chunk_steps must be >= 1");
    const DiffusionChernoff first_clone = self.semigroup.kernel;
    const Grid1D<double> grid = self.state.grid;
    const double tau = t / static_cast<double>(total);
    refuse_unstable_step(Heat1DObj::class_def().name, first_clone, grid, t, tau);
    std::vector<double> running = self.state.values;
    std::size_t done = 0;
    while (done < total) {
        const std::size_t c = std::min(chunk, total - done);
        DiffusionChernoff kernel = first_clone;
        std::vector<double> copy = running;
        auto r = run_evolve([&] { return evolve_values(kernel, grid, std::move(copy), tau, c); });
        running = unwrap(std::move(r), callback_cause(kernel));
        done += c;
        if (progress) {
            Ref args = py_tuple({py_int(done), py_int(total)});
            Ref res(PyObject_Call(progress, args.get(), nullptr));
            if (!res) throw_python_error();
        }
        // A chunk shorter than the stop poll's interval never looks at
        // signals itself: Ctrl-C is answered here, with the values unchanged.
        if (done < total && PyErr_CheckSignals() < 0) throw_python_error();
    }
    warm_parallel_caches();
    self.semigroup = ChernoffSemigroup<DiffusionChernoff>{first_clone, total};
    self.state.values = std::move(running);
    return none();
}


std::vector<double> array_arg_or_mismatch(PyObject* o, const char* message) {
    auto v = try_float_vector(o);
    if (!v) py_err_with_kind("GridMismatch", message);
    return std::move(*v);
}

Ref heat1d_with_a_array(const Args& a) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    PyObject* a_prime_obj = a.get(5);
    PyObject* a_double_prime_obj = a.get(6);
    const bool has_bound = a.get(7) != nullptr;
    const double given_bound = has_bound ? a.f64(7) : 0.0;
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(8, "reflect"));
    const std::vector<double> u0 = extract_u0_vec(a.raw(4));
    const std::vector<double> samples = array_arg_or_mismatch(a.raw(3), "a must be numpy.ndarray[float64]");
    if ((!a_prime_obj || !a_double_prime_obj) && samples.size() < 3) {
        // The finite-difference derivatives need three samples.
        py_err_with_kind("GridMismatch", "a must have at least 3 samples to derive its derivatives, got " +
                                             std::to_string(samples.size()));
    }
    const double h = sample_spacing(n, xmin, xmax);
    std::optional<std::vector<double>> given_d1;
    if (a_prime_obj) given_d1 = array_arg_or_mismatch(a_prime_obj, "a_prime must be numpy.ndarray[float64]");
    const std::span<const double> slopes = given_d1 ? std::span<const double>(*given_d1) : std::span<const double>{};
    const CoefficientEnds ends = coefficient_ends(policy.tag, samples, h, slopes);
    const std::vector<double> d1 = given_d1 ? std::move(*given_d1) : fd_first_derivative(samples, h, ends.a);
    const std::vector<double> d2 =
        a_double_prime_obj ? array_arg_or_mismatch(a_double_prime_obj, "a_double_prime must be numpy.ndarray[float64]")
                           : fd_second_derivative(samples, h, ends.a);
    double bound = -std::numeric_limits<double>::infinity();
    for (double v : samples) bound = std::fmax(bound, v);
    bound = has_bound ? given_bound : 1.1 * bound;
    SharedCoeff ca = extract_coeff_array(a.raw(3), n, xmin, xmax, ends.a);
    SharedCoeff ca1 = sampled_coefficient(d1, n, xmin, xmax, ends.a_prime);
    SharedCoeff ca2 = sampled_coefficient(d2, n, xmin, xmax, ends.a_double_prime);
    Heat1DState st =
        unwrap(build_heat1d_with_a(n, u0, std::move(ca), std::move(ca1), std::move(ca2), policy, xmin, xmax, bound));
    st.semigroup.kernel.width_scale = sampled_width_scale(samples);
    return new_object(Heat1DObj{std::move(st.semigroup), std::move(st.state), Dtype::F64});
}

Ref heat1d_with_a_function(const Args& a) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    SharedCoeff fa = py_coeff(a.raw(3));
    SharedCoeff fa1 = py_coeff(a.raw(4));
    SharedCoeff fa2 = py_coeff(a.raw(5));
    const double bound = a.f64(6);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(8, "reflect"));
    const std::vector<double> u0 = extract_u0_vec(a.raw(7));
    Heat1DState st =
        unwrap(build_heat1d_with_a(n, u0, std::move(fa), std::move(fa1), std::move(fa2), policy, xmin, xmax, bound));
    return new_object(Heat1DObj{std::move(st.semigroup), std::move(st.state), Dtype::F64});
}

ClassDef& Heat1DObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<Heat1DObj>("Heat1D", kHeat1DDoc);
        d.tp_new = constructor<Heat1DObj, kHeat1DDoc, &heat1d_new>();
        d.methods = {
            method<Heat1DObj, kEvolveDoc, &heat1d_evolve>(),
            method<Heat1DObj, kEvolveChunkedDoc, &heat1d_evolve_chunked>(),
            method<Heat1DObj, kValuesDoc, &values_body<Heat1DObj>>(),
            method<Heat1DObj, kWithAFunctionDoc, &heat1d_with_a_function>(),
            method<Heat1DObj, kWithAArrayDoc, &heat1d_with_a_array>(),
        };
        return d;
    }();
    return def;
}

}  // namespace

PyTypeObject* heat1d_type_object() { return type_object<Heat1DObj>(); }

}  // namespace quorvane::py
