// Module function shift1d_coeff_grad: the gradient of a loss with respect to
// one per-node coefficient field of the 1-D shift kernel.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/memory.hpp"
#include "core/foundation/step_count.hpp"
#include "core/sensitivity/checkpoints.hpp"
#include "core/sensitivity/shift1d_vjp.hpp"
#include "python/array.hpp"
#include "python/coeff.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"
#include "python/sensitivity/gradient_scale.hpp"

namespace quorvane::py {
namespace {

constexpr char kShiftCoeffGradDoc[] =
    "shift1d_coeff_grad(xmin, xmax, n, a, b, c, u0, dj_du_n, t, n_steps, *, wrt=\"a\", boundary=\"reflect\")\n--\n\n"
    "Gradient of a loss with respect to one per-node coefficient field of the 1-D shift kernel.\n\n"
    "The shift step for du/dt = a(x) u'' + b(x) u' + c(x) u, with one coefficient value per node,\n"
    "is Shift1D's: with the mean m_i = 1/4 u(x_i + h_i) + 1/4 u(x_i - h_i) + 1/2 u(x_i + 2 tau b_i),\n"
    "h_i = 2 sqrt(tau a_i) and the off-grid values read from the degree-7 Hermite interpolant,\n"
    "(S u)_i = (1 + tau c_i) m_i where c_i < 0 and m_i + tau c_i u_i where c_i >= 0 (at c_i = 0\n"
    "the derivative with respect to c is the one towards c > 0, tau u_i), and each new value is\n"
    "clipped, as Shift1D clips it, to the range of u0's read with its ends moved every step by\n"
    "e^(tau min c) and e^(tau max c), c read between the nodes by the samples' Catmull-Rom\n"
    "interpolant. A clipped value is that range's end: it passes nothing back to u or to a\n"
    "and b, and to c only through the end's factor (the samples' weights at the point of the\n"
    "largest or smallest c). The gradient is that of the map Shift1D computes wherever it is\n"
    "differentiable.\n"
    "Given dJ/du_n at u_n = S(tau)^n_steps u0 (tau = t/n_steps), the result is\n"
    "dJ/dtheta_i = sum_j dJ/du_n[j] du_n[j]/dtheta_i for the chosen field theta. It is the\n"
    "discrete adjoint: the cotangent is carried back through the exact transpose of each step,\n"
    "the forward states being kept every ceil(sqrt(n_steps)) steps and recomputed between; the\n"
    "derivatives of the interpolant with respect to the shifts (fields a and b) are central\n"
    "differences of width 2e-4 dx.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "a, b, c : numpy.ndarray[float64] or sequence of float\n"
    "    Diffusion, drift and reaction at the n nodes; finite, a >= 0.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values at the n nodes.\n"
    "dj_du_n : numpy.ndarray[float64] or sequence of float\n"
    "    Cotangent dJ/du_n at the final state (for J = 1/2 |u_n - target|^2 this is u_n - target).\n"
    "t : float\n    Total time, finite and > 0.\n"
    "n_steps : int\n    Number of steps, at least 1.\n"
    "wrt : str, optional\n    \"a\" (default), \"b\" or \"c\": the field to differentiate.\n"
    "boundary : str, optional\n    \"reflect\" (default), \"zero\", \"periodic\" or \"linear\".\n\n"
    "Returns\n-------\nnumpy.ndarray[float64]\n    The n gradient entries.\n\n"
    "Raises\n------\n"
    "TypeError\n    If an array argument is neither a float64 array nor a sequence of floats.\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] wrt must be 'a', 'b' or 'c', got '...'\", \"[OutOfDomain] n_steps must be >= 1\",\n"
    "    \"[OutOfDomain] t must be finite and > 0\"; \"[GridMismatch] NAME has length L, expected n=N\",\n"
    "    \"[NanInf] NAME contains NaN or Inf\"; \"[OutOfDomain]\" for a negative a_i (any wrt) and\n"
    "    for a_i = 0 with wrt=\"a\"; the grid errors; \"[OutOfDomain] n_steps = N would keep ...\" when\n"
    "    the checkpoints need more than the machine's memory; \"[NanInf]\" when the forward state\n"
    "    u_k or the gradient leaves the double range (where Shift1D's evolve refuses the same steps);\n"
    "    \"[CflViolated] ... reaction factor 1 + tau*c ... < 0\" as Shift1D's evolve, and \"[OutOfDomain]\"\n"
    "    for boundary=\"linear\" where the drift enters across an end;\n"
    QUORVANE_FAR_READS_COUNT_DOC
    "\n"
    "Examples\n"
    "--------\n"
    ">>> n = 21\n"
    ">>> x = np.linspace(0.0, 1.0, n)\n"
    ">>> grad = quorvane.shift1d_coeff_grad(0.0, 1.0, n, np.full(n, 0.5), np.zeros(n), np.zeros(n), np.cos(np.pi * x), np.eye(n)[0], 0.1, 20)\n"
    ">>> print(grad.shape)\n"
    "(21,)\n";

// The largest step count whose checkpoints fit in memory for n values a
// state (the plan grows with the count).
std::uint64_t most_checkpointed_steps(std::size_t n) {
    return greatest_count(1, std::numeric_limits<std::uint64_t>::max(),
                          [&](std::uint64_t steps) { return checkpoints_fit(checkpoint_plan(steps, n)); });
}

Ref shift1d_coeff_grad_body(const Args& a) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    std::vector<double> fields[5];
    for (std::size_t k = 0; k < 5; ++k) fields[k] = float_vec_arg(a, 3 + k);
    const double t = a.f64(8);
    const std::uint64_t n_steps = a.u64(9);
    const std::string wrt = a.str_or(10, "a");
    const std::string boundary = a.str_or(11, "reflect");

    CoeffWrt which;
    if (wrt == "a") which = CoeffWrt::A;
    else if (wrt == "b") which = CoeffWrt::B;
    else if (wrt == "c") which = CoeffWrt::C;
    else py_err_with_kind("OutOfDomain", "wrt must be 'a', 'b' or 'c', got '" + wrt + "'");
    if (n_steps == 0) py_err_with_kind("OutOfDomain", "n_steps must be >= 1");
    if (!std::isfinite(t) || t <= 0.0) py_err_with_kind("OutOfDomain", "t must be finite and > 0");
    for (std::size_t k = 0; k < 5; ++k) {
        const char* name = a.name(3 + k);
        if (fields[k].size() != n) {
            py_err_with_kind("GridMismatch", std::string(name) + " has length " + std::to_string(fields[k].size()) +
                                                 ", expected n=" + std::to_string(n));
        }
        if (first_non_finite<double>(fields[k])) py_err_with_kind("NanInf", std::string(name) + " contains NaN or Inf");
    }
    const BoundaryPolicy<double> policy = parse_boundary_policy(boundary);
    const Grid1D<double> grid = unwrap(Grid1D<double>::make(policy, InterpKind::septic(), xmin, xmax, n));
    if (const CheckpointPlan plan = checkpoint_plan(n_steps, n); !checkpoints_fit(plan)) {
        const std::string bytes =
            plan.bytes ? fmt_exp3(static_cast<double>(*plan.bytes)) : std::string("more than 2^64");
        py_err_with_kind("OutOfDomain", "n_steps = " + std::to_string(n_steps) + " would keep " +
                                            std::to_string(plan.marks) + " checkpoints of n = " + std::to_string(n) +
                                            " values (" + bytes + " bytes), more than " + machine_memory_text());
    }

    // The forward map is Shift1D's step, which refuses a reaction factor
    // 1 + tau c below zero (it would flip the mean's sign every step).
    if (n != 0) {
        const double c_min = *std::min_element(fields[2].begin(), fields[2].end());
        const std::uint64_t most = most_checkpointed_steps(n);
        check_reaction_factor("shift1d_coeff_grad", c_min, t, static_cast<std::size_t>(n_steps), "n_steps", most);
        // The steps named pass the reaction factor's rule as well.
        refuse_reads_beyond_grid("shift1d_coeff_grad",
                                 {StepCall::Form::Count, t, t / static_cast<double>(n_steps), "n_steps", 0, most},
                                 spacing_text(grid), [&](double step) {
                                     return reaction_factor_admitted(step * c_min + 1.0) &&
                                            shift1d_coeff_reads_located(grid, fields[0], fields[1], step);
                                 });
    }
    const ShiftCoeffProblem problem{grid, fields[0], fields[1], fields[2], t / static_cast<double>(n_steps), n_steps};
    // Linear in u0 and in dj_du_n apart: both run at unit scale
    // (gradient_at_any_scale), the coefficients as given.
    GradientBeyond beyond;
    auto r = run_evolve([&] {
        return gradient_at_any_scale(fields[3], fields[4], 0, beyond,
                                     [&](std::span<const double> u, std::span<const double> dj,
                                         int) -> Expected<std::vector<double>> {
                                         std::vector<double> grad(n, 0.0);
                                         Status st = shift1d_coeff_gradient(problem, which, u, dj, grad);
                                         if (!st) return fail(st.error());
                                         return grad;
                                     });
    });
    if (beyond.top_out > 0.0) raise_gradient_beyond("shift1d_coeff_grad", beyond);
    return new_array_f64(unwrap(std::move(r)));
}

}  // namespace

PyMethodDef* shift1d_coeff_grad_function_def() {
    static PyMethodDef def = method<void, kShiftCoeffGradDoc, &shift1d_coeff_grad_body>();
    return &def;
}

}  // namespace quorvane::py
