#include "python/evolver.hpp"

#include <bit>
#include <cmath>
#include <limits>

#include "core/foundation/format.hpp"
#include "core/foundation/step_count.hpp"
#include "python/step_counts.hpp"

namespace quorvane::py {

LineArrays read_line_arrays(const Args& a, std::size_t n_coeffs) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const double bound = a.f64(3 + n_coeffs);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(5 + n_coeffs, "reflect"));
    std::vector<double> u0 = extract_u0_vec(a.raw(4 + n_coeffs));
    if (const double* bad = first_non_finite<double>(u0)) {
        raise_core_error(CoreError::domain("u0 contains NaN or Inf", *bad));
    }
    std::vector<SharedCoeff> coeffs;
    // The last coefficient is the reaction, held to its samples between the nodes.
    for (std::size_t k = 0; k < n_coeffs; ++k) {
        coeffs.push_back(k + 1 == n_coeffs ? extract_reaction_array(a.raw(3 + k), n, xmin, xmax)
                                           : extract_coeff_array(a.raw(3 + k), n, xmin, xmax));
    }
    Grid1D<double> grid = unwrap(Grid1D<double>::make(policy, InterpKind::septic(), xmin, xmax, n));
    return LineArrays{std::move(grid), std::move(coeffs), bound, std::move(u0)};
}

void raise_unstable_step(const char* cls, double t, double tau, const StepRange& r,
                                      const Grid1D<double>& grid, const char* why) {
    const double dx = grid.dx();
    // The bounds as printed, rounded inwards: a count named takes steps
    // within the range shown.
    const double hi = floor_4_digits(r.tau_max);
    const double lo = r.tau_min > 0.0 ? ceil_4_digits(r.tau_min) : 0.0;
    std::string msg = std::string(cls) + ": tau = t/n_steps = " + fmt_exp3(tau);
    if (tau > r.tau_max) {
        msg += " exceeds the largest admissible tau = " + fmt_exp3(hi) + " on this grid (dx = " + fmt_exp3(dx) +
               "): " + why;
    } else {
        msg += " is below the smallest admissible tau = " + fmt_exp3(lo) + " on this grid (dx = " + fmt_exp3(dx) +
               "; admissible steps lie in [" + fmt_exp3(lo) + ", " + fmt_exp3(hi) + "]): " + why;
    }
    const StepCounts counts = admitted_counts(
        t, kU64Counts, [&](double step) { return step <= hi; }, [&](double step) { return step >= lo; });
    py_err_with_kind("CflViolated", msg + "; " + count_advice(counts, "n_steps", kU64Counts, {"t", t}));
}

void raise_unstable_step_named_count(const char* cls, double t, double tau, const StepRange& r,
                                     const Grid1D<double>& grid, const char* why, std::uint64_t runs) {
    const double hi = floor_4_digits(r.tau_max);
    py_err_with_kind("CflViolated", std::string(cls) + ": tau = t/n_steps = " + fmt_exp3(tau) +
                                        " exceeds the step bound tau = " + fmt_exp3(hi) +
                                        " that a search from below found on this grid (dx = " +
                                        fmt_exp3(grid.dx()) + "): " + why +
                                        "; n_steps = " + std::to_string(runs) + " runs for t = " + exact_time(t) +
                                        " (its steps were judged; steps below " + fmt_exp3(hi) +
                                        " were judged only where the bound was searched, so a larger n_steps "
                                        "whose step falls in a window of growing steps is refused in turn, naming "
                                        "a smaller bound)");
}

bool read_beyond_reach(const CoreError& e) {
    if (e.variant() != CoreError::Variant::DomainViolation) return false;
    const std::string_view text = e.text();
    return text == kReadTooFar || text == kNonFinitePointMessage;
}

void raise_read_beyond_reach(const char* cls, double t, double tau, const FootReach& reach,
                             const Grid1D<double>& grid) {
    const std::string name(cls);
    if (std::isnan(reach.b) || std::isnan(reach.a)) {
        py_err_with_kind("NanInf", name + ": a step reads u at " + reach.drift_foot +
                                       " and x +- 2 sqrt(tau a(x)), and b or a is NaN at a node: both must be finite");
    }
    if (std::isinf(reach.b) || std::isinf(reach.a)) {
        py_err_with_kind("NanInf", name + ": a step reads u at " + reach.drift_foot +
                                       " and x +- 2 sqrt(tau a(x)), and b or a is infinite at a node, so every step "
                                       "reads at an infinite point: both must be finite");
    }
    const double dx = grid.dx();
    // 2^48 cells out, far inside the 2^53 at which cells can no longer be
    // told apart, whatever the spread of the diffusion's own reads.
    const double longest = floor_4_digits(reach.longest_step(dx, 281474976710656.0));
    const StepCounts counts = admitted_counts(t, kU64Counts, [&](double step) { return step <= longest; });
    std::string reads = reach.b > 0.0 ? reach.drift_foot : "";
    std::string sizes = reach.b > 0.0 ? "max|b| = " + fmt_exp3(reach.b) + ", " : "";
    if (reach.a > 0.0) {
        reads += (reads.empty() ? "" : " and ") + std::string("x +- 2 sqrt(tau a(x))");
        sizes += "max a = " + fmt_exp3(reach.a) + ", ";
    }
    py_err_with_kind("OutOfDomain", name + ": a step of tau = t/n_steps = " + fmt_exp3(tau) + " reads u at " + reads +
                                        " more than 2^53 cells beyond the end nodes (" + sizes + "dx = " + fmt_exp3(dx) +
                                        "), where no cell can be told apart from its neighbour; steps of tau <= " +
                                        fmt_exp3(longest) + " read within 2^48 cells; " +
                                        count_advice(counts, "n_steps", kU64Counts, {"t", t}));
}

std::string spacing_text(const Grid1D<double>& g, const char* name) { return std::string(name) + " = " + fmt_exp3(g.dx()); }

std::string counts_for_time(double t, double most, const char* step, std::uint64_t most_count) {
    const std::string name(step);
    const StepCounts counts = admitted_counts(t, most_count, [&](double s) { return s <= most; });
    if (counts.outcome == StepCounts::Outcome::Fits) {
        return " (for t = n_steps * " + name + " = " + exact_time(t) + ": n_steps >= " +
               std::to_string(counts.least) + " steps of " + name + " = t / n_steps)";
    }
    return " (" + count_advice(counts, "n_steps", most_count, {("t = n_steps * " + name).c_str(), t}) + ")";
}

std::string longest_step_tail(const char* cls, const StepCall& call, const std::string& grid,
                              FunctionRef<bool(double)> admitted) {
    // Every step from 0 up to the longest admitted one passes: a bisection
    // between 0 and the call's own step finds it.
    const double longest = without_gil([&] { return greatest_admitted_double(0.0, call.tau, admitted); });
    const double shown = floor_4_digits(longest);
    std::string msg = std::string(cls) + ": tau = ";
    if (call.form == StepCall::Form::Count) msg += "t/" + std::string(call.count) + " = ";
    if (!(shown > 0.0)) {
        // Not even the least double step passes: no step count helps here,
        // only another grid or coefficient.
        return msg + fmt_exp3(call.tau) + " is refused, and so is every step down to the least double, " +
               fmt_exp3(std::numeric_limits<double>::denorm_min()) + ", on this grid (" + grid +
               "): no call serves t > 0 on it; a coarser grid or a smaller coefficient does";
    }
    msg += fmt_exp3(call.tau) + " exceeds the largest admissible tau = " + fmt_exp3(shown) + " on this grid (" +
           grid + "); ";
    if (call.form != StepCall::Form::Count) {
        msg += "use tau <= " + fmt_exp3(shown);
        if (call.form == StepCall::Form::Step && std::isfinite(call.t)) {
            msg += counts_for_time(call.t, shown, "tau", call.most);
        }
        return msg;
    }
    if (call.object_count != 0) {
        const auto n = static_cast<double>(call.object_count);
        const double served = greatest_admitted_double(0.0, call.t, [&](double t) { return t / n <= shown; });
        msg += "with its " + std::string(call.count) + " = " + std::to_string(call.object_count) +
               " this object serves t <= " + exact_time(served) + "; ";
    }
    const StepCounts counts = admitted_counts(call.t, call.most, [&](double step) { return step <= shown; });
    return msg + count_advice(counts, call.count, call.most, {"t", call.t});
}

void raise_step_beyond(const char* kind, const std::string& cause, const char* cls, const StepCall& call,
                       const std::string& grid, FunctionRef<bool(double)> admitted) {
    py_err_with_kind(kind, cause + "; " + longest_step_tail(cls, call, grid, admitted));
}

void refuse_reads_beyond_grid(const char* cls, const StepCall& call, const std::string& grid,
                              FunctionRef<bool(double)> located) {
    refuse_reads_beyond_grid(cls, call, grid, located, [](double) { return true; });
}

void refuse_reads_beyond_grid(const char* cls, const StepCall& call, const std::string& grid,
                              FunctionRef<bool(double)> located, FunctionRef<bool(double)> others) {
    if (without_gil([&] { return located(call.tau); })) return;
    raise_step_beyond("OutOfDomain", kReadTooFar, cls, call, grid,
                      [&](double step) { return located(step) && others(step); });
}

std::string sampled_read_note(const CoeffSource& c, const Grid1D<double>& grid, const CoreError& e) {
    if (e.variant() != CoreError::Variant::DomainViolation || std::string_view(e.text()) != kEllipticityMessage ||
        !std::isfinite(e.f0()) || c.tag != CoeffSource::Tag::Shared || !c.fixed() || c.constant_value()) {
        return {};
    }
    const double x = e.f0();
    const double dx = grid.dx();
    if (x < grid.xmin || x > grid.xmax) {
        return {};  // beyond the ends the samples are continued by the end's rule: the message says it all
    }
    const auto last = static_cast<double>(grid.n - 2);
    const double j = std::clamp(std::floor((x - grid.xmin) / dx), 0.0, last);
    const double xj = grid.xmin + dx * j, xk = grid.xmin + dx * (j + 1.0);
    // Samples below 0 themselves need no explanation beyond the message.
    if (!(c.eval_a(xj) >= 0.0) || !(c.eval_a(xk) >= 0.0)) return {};
    return "a was read at x = " + fmt_exp3(x) + ", between the nodes x = " + fmt_exp3(xj) + " and " + fmt_exp3(xk) +
           " (samples " + fmt_exp3(c.eval_a(xj)) + " and " + fmt_exp3(c.eval_a(xk)) +
           "), where the Catmull-Rom interpolant of the samples is " + fmt_exp3(c.eval_a(x)) +
           ": between nodes it dips below samples next to small ones. Samples kept well above 0 there, a finer "
           "grid, or smaller steps (whose reads lie nearer the nodes) avoid it";
}

void refuse_nonfinite_samples(const char* cls, const CoeffSource& c, const Grid1D<double>& grid) {
    if (!c.fixed() || c.constant_value()) return;
    for (std::size_t i = 0; i < grid.n; ++i) {
        const double x = grid.node(i);
        for (auto [name, v] : {std::pair{"a_prime", c.eval_a_prime(x)}, std::pair{"a_double_prime",
                                                                                   c.eval_a_double_prime(x)}}) {
            if (std::isfinite(v)) continue;
            py_err_with_kind("NanInf", std::string(cls) + ": " + name + " reads " + (std::isnan(v) ? "NaN" : "inf") +
                                           " at node " + std::to_string(i) + " (x = " + fmt_exp3(x) +
                                           "): a step needs finite coefficient samples");
        }
    }
}

void raise_coefficient_fault(const char* cls, const CoefficientFault& f, const Grid1D<double>& grid) {
    std::string msg = std::string(cls) + ": ";
    if (f.kind == CoefficientFault::Kind::LinearEnds) {
        // Samples and callables count as variable whatever their values: the
        // refusal follows from how the evolver was built, never from what a
        // callable returns at the points a step happens to read.
        const bool has_function = std::string_view(cls) == "Heat1D";
        msg += "boundary \"linear\" cannot be used with a variable coefficient (every evolver built by " +
               std::string(has_function ? "with_a_array or with_a_function" : "with_a_array") +
               " has one, even where a is constant): its straight-line continuation at the ends is no boundary "
               "condition for (a u')', and with a varying a the steps grow data at the ends (exponentially on small "
               "grids); use \"reflect\", \"zero\" or \"periodic\", or for a constant a the constructor " +
               std::string(cls) + "(xmin, xmax, n, u0, boundary=\"linear\") evolved over a * t";
        py_err_with_kind("OutOfDomain", msg);
    }
    msg += "no step count is stable with this coefficient: even the smallest steps grow some data without its mean "
           "in the grid 2-norm";
    if (std::isfinite(f.rate)) msg += " (at a rate of " + fmt_exp3(f.rate) + " per unit time)";
    msg += ", where the exact evolution damps it. The growth sits at node " + std::to_string(f.node) + " (x = " +
           fmt_exp3(f.x) + ")";
    if (f.seam) {
        msg += ", at the seam of the periodic grid: the samples of a at its ends (" + fmt_exp3(f.a_first) + " at x = " +
               fmt_exp3(grid.xmin) + ", " + fmt_exp3(f.a_last) + " at x = " + fmt_exp3(grid.xmax) +
               ") do not continue each other, a jump this step cannot take. Make a periodic, or use boundary "
               "\"reflect\"";
    } else {
        msg += ", where a = " + fmt_exp3(f.a) + " and a'*dx/a = " + fmt_exp3(f.cell_ratio) +
               ": a changes too much from cell to cell for this step, which reads a' beside a. Use a finer grid "
               "(the present dx is " + fmt_exp3(grid.dx()) +
               ") or smoother samples of a, or ConservativeDiffusionChernoff.from_k_array, which is stable on the same "
               "samples";
    }
    py_err_with_kind("OutOfDomain", msg);
}

namespace {
[[noreturn]] void raise_negative_reaction(const std::string& ctx, double factor, double tau_max,
                                          const std::string& hint) {
    py_err_with_kind("CflViolated", ctx + ": reaction factor 1 + tau*c = " + fmt_shortest_compact(factor) +
                                        " < 0 flips the sign every step; tau must be <= " + exact_time(tau_max) +
                                        hint);
}
}  // namespace

namespace {
void check_reaction_factor_within(const std::string& ctx, double c, double t_final, std::size_t n_steps,
                                  FunctionRef<bool(double)> other, const char* count, std::uint64_t most) {
    const double tau = t_final / static_cast<double>(n_steps);
    if (reaction_factor_admitted(tau * c + 1.0)) return;
    auto passes = [&](double step) { return reaction_factor_admitted(step * c + 1.0) && other(step); };
    // -1/c, or below it the longest step the other rules admit: non-negative
    // doubles are ordered as their bit patterns, so at most 64 halvings.
    double tau_max = -1.0 / c;
    if (!other(tau_max)) {
        std::uint64_t lo = 0, hi = std::bit_cast<std::uint64_t>(tau_max);
        while (hi - lo > 1) {
            const std::uint64_t mid = lo + (hi - lo) / 2;
            (other(std::bit_cast<double>(mid)) ? lo : hi) = mid;
        }
        tau_max = std::bit_cast<double>(lo);
    }
    // The counts whose steps pass as the step computes them; where no count
    // of the argument's range does, the longest time one call serves.
    const StepCounts counts = admitted_counts(t_final, most, passes);
    const std::string hint = counts.outcome == StepCounts::Outcome::Fits
                                 ? " (" + std::string(count) + " >= " + std::to_string(counts.least) + ")"
                                 : "; " + count_advice(counts, count, most, {"t", t_final});
    raise_negative_reaction(ctx, tau * c + 1.0, tau_max, hint);
}
}  // namespace

void check_reaction_factor(const std::string& ctx, double c, double t_final, std::size_t n_steps, const char* count,
                           std::uint64_t most) {
    check_reaction_factor_within(ctx, c, t_final, n_steps, [](double) { return true; }, count, most);
}

void check_reaction_factor(const std::string& ctx, double c, double t_final, std::size_t n_steps,
                           FunctionRef<bool(double)> other) {
    check_reaction_factor_within(ctx, c, t_final, n_steps, other, "n_steps", kU64Counts);
}

void check_reaction_step(const std::string& ctx, double c, double tau) {
    if (reaction_factor_admitted(tau * c + 1.0)) return;
    raise_negative_reaction(ctx, tau * c + 1.0, -1.0 / c, "");
}

}  // namespace quorvane::py

namespace quorvane::py {

bool fixed_and_finite_at_nodes(const CoeffSource& c, const Grid1D<double>& grid) {
    if (!c.fixed()) return false;
    for (std::size_t i = 0; i < grid.n; ++i) {
        const double x = grid.node(i);
        if (!std::isfinite(c.eval_a(x)) || !std::isfinite(c.eval_a_prime(x)) || !std::isfinite(c.eval_a_double_prime(x))) {
            return false;
        }
    }
    return true;
}

}  // namespace quorvane::py
