// Python class Shift1D: the first-order shift evolver and its batched
// evolution. The schedule methods live in shift1d_schedule_py.cpp.
#include "python/line/shift1d_py.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "core/line/grid_batched.hpp"
#include "core/foundation/numeric.hpp"
#include "python/array.hpp"
#include "python/coeff.hpp"
#include "python/evolver.hpp"

namespace quorvane::py {
namespace {

constexpr char kShift1DDoc[] =
    "Shift1D(xmin, xmax, n, u0, *, a=0.5, b=0.0, c=0.0, boundary=\"reflect\")\n--\n\n"
    "One-dimensional convection-diffusion-reaction evolver by the universal shift formula.\n\n"
    "Solves du/dt = a(x) u'' + b(x) u' + c(x) u on the n nodes x_i = xmin + i*dx,\n"
    "dx = (xmax - xmin)/(n - 1). One Chernoff step of size tau takes the mean\n"
    "m(x) = u(x + 2 sqrt(tau a))/4 + u(x - 2 sqrt(tau a))/4 + u(x + 2 tau b)/2, off-grid\n"
    "values read by degree-7 Hermite interpolation and values beyond the ends by the\n"
    "boundary policy, and replaces u(x) by (1 + tau c) m(x) where c < 0 and by\n"
    "m(x) + tau c u(x) where c >= 0. Each new value is then clipped to the range the exact\n"
    "flow keeps, read from the data when they are set: their nodes, and between two nodes\n"
    "the degree-7 read's own extreme only as far as the data there are smooth (whole for\n"
    "waves of 6 or more nodes a wavelength, none on the grid's scale or where no bend of\n"
    "the nodes leads to it). On smooth data that extreme is a proven bound of the read, with\n"
    "1e-2 |D8 u| allowed for the steps' own error, so no clip moves a value: the steps are\n"
    "the plain reads' to the bit (two modes on 32 to 256 periodic nodes, constant,\n"
    "one-signed and sign-changing drifts). Next to a non-periodic end the data are read\n"
    "continued by their straight line; 0 joins the range under \"zero\"; under \"linear\"\n"
    "what diffusion carries in across an end joins it step by step: k(k+1)/2 |D2 u| of the\n"
    "data's smooth curvature there, k the step's reach in cells, nothing from a straight\n"
    "line or from data the steps have roughened, and nothing by the drift (an inflow is\n"
    "refused). The range's ends move every step by e^(tau min c) and e^(tau max c), c read\n"
    "between the nodes too, and are carried from call to call, so that chained calls give\n"
    "one call's values bit for bit. Rough data are held within their nodes' range: a jump\n"
    "from -1 to 1 on 101 periodic nodes (a = 0, b = 0.3) stays in [-1, 1] at t = 1 in 1e3,\n"
    "1e4 and 1e5 steps. Since data that lie in a range read before read no wider a range,\n"
    "a state rebuilt from ``values()`` (a new object each call) keeps the first object's\n"
    "bound too, up to the plain read's own error where the data stay smooth: one step a\n"
    "call on 101 periodic nodes from cos 2 pi x, 3000 calls of b = 0.3 sin(6 pi x + 1) and\n"
    "of sin 16 pi x, 1000 of a noise drift: max|u| 0.9967, 1.0000, 0.9995 (a new object\n"
    "used to read the last call's overshoot: 244, 3.0e8, 5.8e30); under 0.5 sin 2 pi x\n"
    "the minimum reaches -1.0000042. Without the clip the reads, central differences in the\n"
    "limit of small steps, grew such data with the step count under a constant drift and\n"
    "without bound where a sampled drift changes sign or is rough on the grid's scale. On a\n"
    "drift rough on the grid's scale (noise) the result is bounded but not accurate. Data\n"
    "up to the top of the double range are served: from max|u| = 2^1000 the steps are taken\n"
    "scaled down by a power of two and scaled back, the same bits. A step that reads u more\n"
    "than 2^53 cells out (tau b or tau a beyond reach) is refused naming the longest step\n"
    "that reads within 2^48 cells. The result depends continuously on a, b and c. The formula\n"
    "is consistent to first order: n steps of size t/n approach the semigroup with error\n"
    "O(t/n) in time.\n\n"
    "The constructor takes constant coefficients; ``with_arrays`` takes sampled ones,\n"
    "and the schedule methods change them piecewise in time.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values at the n nodes, all finite.\n"
    "a : float, optional\n"
    "    Diffusion coefficient (default 0.5); a negative or non-finite a is reported by\n"
    "    the first ``evolve``.\n"
    "b : float, optional\n    Drift coefficient (default 0.0).\n"
    "c : float, optional\n    Reaction coefficient (default 0.0).\n"
    QUORVANE_BOUNDARY_PARAM_DOC "\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is neither a float64 array nor a sequence of floats.\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain]\" for an unknown boundary, \"[NanInf]\" for non-finite u0 or bounds,\n"
    "    \"[GridMismatch]\" for xmin >= xmax, n < 4 or len(u0) != n.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(-10.0, 10.0, 201)\n"
    ">>> s = quorvane.Shift1D(-10.0, 10.0, 201, np.exp(-x**2), a=1.0)\n"
    ">>> s.evolve(1.0, n_steps=400)      # first order: the error halves with the step\n"
    ">>> exact = np.exp(-x**2 / 5.0) / np.sqrt(5.0)\n"
    ">>> print(f\"{abs(s.values() - exact).max():.1e}\")\n"
    "8.9e-05\n";

constexpr char kWithArraysDoc[] =
    "with_arrays(xmin, xmax, n, a, b, c, c_norm_bound, u0, *, boundary=\"reflect\")\n--\n\n"
    "Build a shift evolver with coefficients sampled at the grid nodes.\n\n"
    "a, b and c hold n samples each; between nodes they are evaluated by Catmull-Rom\n"
    "interpolation (c held to its least and greatest sample, so that max|u| stays within\n"
    "max|u0| e^(t max c) over the samples) and beyond the ends continued by their end\n"
    "samples. The evolver\n"
    "solves du/dt = a(x) u'' + b(x) u' + c(x) u to first order in time, each new value\n"
    "clipped to the range the flow keeps (see Shift1D).\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "a, b, c : numpy.ndarray[float64] or sequence of float\n"
    "    n finite samples of each coefficient (a >= 0 is checked by ``evolve``).\n"
    "c_norm_bound : float\n    A bound of |c| kept with the kernel; stored as given (steps\n"
    "    are judged on the samples of c: ``evolve`` refuses a step with 1 + tau*c < 0).\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values at the n nodes.\n"
    "boundary : str, optional\n    \"reflect\" (default), \"zero\", \"periodic\" or \"linear\".\n\n"
    "Returns\n-------\nShift1D\n\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is not a float sequence.\n"
    "QuorvaneError\n"
    "    \"[GridMismatch] coefficient array must be numpy.ndarray[float64]\" or\n"
    "    \"coefficient array length {} != n={}\", \"[NanInf] coefficient array contains NaN\n"
    "    or Inf\", and the initial-value and grid errors of the constructor.\n";

constexpr char kEvolveDoc[] =
    "evolve($self, t, n_steps=100)\n--\n\n"
    "Advance the state by time t with n_steps shift steps of size t/n_steps.\n\n"
    "The error is first order in time: doubling n_steps halves it. The steps run with\n"
    "the interpreter lock released, spread over worker threads for large grids; the\n"
    "values are replaced only when the whole evolution succeeded, and a later ``evolve``\n"
    "continues from them.\n\n"
    QUORVANE_STEP_SIZE_DOC
    "Parameters\n----------\n"
    "t : float\n    Time to advance, finite and >= 0.\n"
    "n_steps : int, optional\n    Number of steps, at least 1 (default 100).\n\n"
    "Returns\n-------\nNone\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\",\n"
    "    kind OutOfDomain for a negative or non-finite diffusion coefficient a, and under\n"
    "    boundary \"linear\" where the drift enters across an end (at any n_steps, so before\n"
    "    the step size is judged), kind\n"
    "    CflViolated when the reaction factor 1 + tau*c of a step is negative at some node\n"
    "    (it would flip the sign every step where exp(tau*c) only damps; the message names\n"
    "    the n_steps that passes, from which on every count passes), or\n"
    "    \"[NanInf]\" when b or c make a sample point or a value\n"
    "    non-finite. The values are unchanged after a failure.\n";

constexpr char kEvolveBatchedDoc[] =
    "evolve_batched($self, t, u0_nc, n_steps=100)\n--\n\n"
    "Evolve C columns of initial values under this object's coefficients.\n\n"
    "Column c of the result is bit for bit what ``evolve(t, n_steps)`` gives on an object\n"
    "built from u0_nc[:, c] (its steps clipped to the range of that column's read); the\n"
    "object itself is not changed. Small grids spread the columns over\n"
    "at most as many threads as there are processors, large grids spread each step over\n"
    "nodes; the interpreter lock is released meanwhile.\n\n"
    "Parameters\n----------\n"
    "t : float\n    Time to advance, finite and >= 0.\n"
    "u0_nc : numpy.ndarray[float64]\n    Initial values of shape [n, C], C >= 1, any strides.\n"
    "n_steps : int, optional\n    Number of steps, at least 1 (default 100).\n\n"
    "Returns\n-------\nnumpy.ndarray[float64]\n    A new array of shape [n, C].\n\n"
    "Raises\n------\n"
    "TypeError\n    If u0_nc is not a two-dimensional float64 array.\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\",\n"
    "    \"[GridMismatch] u0_nc has shape[0]={}, expected n={}\", \"[GridMismatch] u0_nc must\n"
    "    have at least 1 channel\", \"[NanInf] u0_nc contains NaN or Inf\", kind CflViolated\n"
    "    when 1 + tau*c < 0 at some node (as for ``evolve``), or the error of a step (a\n"
    "    non-finite result included, kind NanInf).\n";

// --- bodies ---------------------------------------------------------------

Ref shift1d_evolve(Shift1DObj& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 100);
    check_steps_and_time(n_steps, t);
    refuse_linear_inflow(self.semigroup.kernel, t / static_cast<double>(n_steps));
    refuse_flipping_reaction("Shift1D.evolve", self.semigroup.kernel.min_node_reaction(), t, n_steps);
    evolve_semigroup_in_range(Shift1DObj::class_def().name, self.semigroup, self.state, self.range, t, n_steps);
    return none();
}

Shift1DObj shift1d_new(const Args& a) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const double ca = a.f64_or(4, 0.5);
    const double cb = a.f64_or(5, 0.0);
    const double cc = a.f64_or(6, 0.0);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(7, "reflect"));
    const std::vector<double> u0 = extract_u0_vec(a.raw(3));
    auto [sg, state] = unwrap(build_shift_state(n, 100, u0, policy, xmin, xmax, ca, cb, cc));
    const FlowRange range = compute([&] { return read_range(state.grid, state.values); });
    return Shift1DObj{std::move(sg), std::move(state), range};
}

Ref shift1d_with_arrays(const Args& a) {
    LineArrays in = read_line_arrays(a, 3);
    ShiftSemigroup sg = unwrap(ShiftSemigroup::make(
        ShiftChernoff1D::from_arrays(std::move(in.coeffs[0]), std::move(in.coeffs[1]), std::move(in.coeffs[2]),
                                     in.grid, in.bound),
        100));
    GridFn<double> state = unwrap(GridFn<double>::make(in.grid, std::move(in.u0)));
    const FlowRange range = compute([&] { return read_range(state.grid, state.values); });
    return new_object(Shift1DObj{std::move(sg), std::move(state), range});
}


Ref shift1d_evolve_batched(const Shift1DObj& self, const Args& a) {
    const double t = a.f64(0);
    const Array2D u0 = extract_f64_array_2d(a.raw(1), "u0_nc");
    const std::size_t n_steps = a.usize_or(2, 100);
    check_steps_and_time(n_steps, t);
    const std::size_t n = self.state.grid.n;
    if (u0.rows != n) {
        py_err_with_kind("GridMismatch", "u0_nc has shape[0]=" + std::to_string(u0.rows) +
                                             ", expected n=" + std::to_string(n));
    }
    if (u0.cols == 0) py_err_with_kind("GridMismatch", "u0_nc must have at least 1 channel");
    const std::size_t cols = u0.cols;
    // Column layout: entry [i, c] at c*n + i, so every column is contiguous.
    std::vector<double> src(n * cols, 0.0);
    for (std::size_t c = 0; c < cols; ++c)
        for (std::size_t i = 0; i < n; ++i) src[c * n + i] = u0.at(i, c);
    if (first_non_finite<double>(src)) py_err_with_kind("NanInf", "u0_nc contains NaN or Inf");
    refuse_linear_inflow(self.semigroup.kernel, t / static_cast<double>(n_steps));
    refuse_flipping_reaction("Shift1D.evolve_batched", self.semigroup.kernel.min_node_reaction(), t, n_steps);
    std::vector<double> dst(n * cols, 0.0);
    const double tau = t / static_cast<double>(n_steps);
    // The shared borrow keeps the kernel unchanged for the whole call.
    const ShiftChernoff1D& kernel = self.semigroup.kernel;
    const Grid1D<double>& grid = self.state.grid;
    const std::vector<double> given = src;
    LargeDataScale scale(src);
    auto r = run_evolve([&]() -> Expected<std::vector<double>> {
        if (Status st = evolve_batched_1d(kernel, grid, n_steps, tau, src, dst); !st) return fail(st.error());
        scale.back(dst);
        return std::move(dst);
    });
    scale.refuse_overflow("Shift1D.evolve_batched", given);
    if (!r && read_beyond_reach(r.error())) {
        raise_read_beyond_reach("Shift1D.evolve_batched", t, tau, foot_reach(kernel), grid);
    }
    const std::vector<double> cols_out = unwrap(std::move(r));
    std::vector<double> row_major(n * cols);
    for (std::size_t c = 0; c < cols; ++c)
        for (std::size_t i = 0; i < n; ++i) row_major[i * cols + c] = cols_out[c * n + i];
    return new_array_f64_2d(n, cols, row_major);
}

}  // namespace

void refuse_linear_inflow(const ShiftChernoff1D& kernel, double tau) {
    if (Status st = kernel.inflow_refusal(tau); !st) raise_core_error(st.error());
}

void refuse_flipping_reaction(const char* ctx, double c_min, double t, std::size_t n_steps, const char* count) {
    if (std::isfinite(c_min)) check_reaction_factor(ctx, c_min, t, n_steps, count);
}

ClassDef& Shift1DObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<Shift1DObj>("Shift1D", kShift1DDoc);
        d.tp_new = constructor<Shift1DObj, kShift1DDoc, &shift1d_new>();
        d.methods = {
            method<Shift1DObj, kEvolveDoc, &shift1d_evolve>(),
            method<Shift1DObj, kValuesDoc, &values_body<Shift1DObj>>(),
            method<Shift1DObj, kWithArraysDoc, &shift1d_with_arrays>(),
            method<Shift1DObj, kShiftTimeScheduleDoc, &shift1d_evolve_with_time_schedule>(),
            method<Shift1DObj, kEvolveBatchedDoc, &shift1d_evolve_batched>(),
            method<Shift1DObj, kShiftCoefficientScheduleDoc, &shift1d_evolve_with_coefficient_schedule>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* shift1d_type_object() { return type_object<Shift1DObj>(); }

}  // namespace quorvane::py
