// The evolver call pattern shared by the fixed-step 1-D classes: argument
// checks, stepping on copies without the interpreter lock, writing the
// object only on success; and the value type and bodies of the classes that
// are nothing but a kernel, its step count and a state.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/line/diffusion.hpp"
#include "core/line/diffusion4_zeta4.hpp"
#include "core/line/diffusion6_zeta6.hpp"
#include "core/line/truncated_exp.hpp"
#include "core/line/truncated_exp4.hpp"
#include "core/line/heat_stability.hpp"
#include "core/line/kept_in_range.hpp"
#include "core/line/read_reach.hpp"
#include "core/foundation/function_ref.hpp"
#include "core/foundation/numeric.hpp"
#include "core/line/state.hpp"
#include "python/array.hpp"
#include "python/coeff.hpp"
#include "python/data_scale.hpp"
#include "python/frame.hpp"
#include "python/step_counts.hpp"

namespace quorvane::py {

// The arguments of a `with_arrays(xmin, xmax, n, <k coefficient arrays>,
// bound, u0, boundary="reflect")` constructor, read and checked in the
// order every such constructor reports them: boundary, u0 (finite), the
// coefficient arrays, then the grid. The last array is the reaction c, read
// between the nodes held to its samples.
struct LineArrays {
    Grid1D<double> grid;
    std::vector<SharedCoeff> coeffs;
    double bound;
    std::vector<double> u0;
};
LineArrays read_line_arrays(const Args& a, std::size_t n_coeffs);

// `values($self)` of every class whose values are the n node values.
inline constexpr char kValuesDoc[] =
    "values($self)\n--\n\n"
    "Return a copy of the current values.\n\n"
    "Returns\n-------\nnumpy.ndarray[float64]\n    A new array of the n node values.\n";

// The advice on n_steps that every Chernoff evolve gives: a step that is
// stable but too large is no error, so only the docstring can warn of it.
#define QUORVANE_STEP_SIZE_DOC                                                                  \
    "A step is accurate only while a*k^2*tau is small (tau = t/n_steps, a the diffusion\n"      \
    "coefficient, k the wave number of the finest feature that matters): aim for\n"             \
    "a*k^2*tau <= 0.1, then halve tau once and compare. Larger steps return plausible but\n"   \
    "wrong values without any error.\n\n"

// How an evolve docstring tells the refusal of steps whose reads lie beyond
// 2^53 cells (refuse_reads_beyond_grid); NAMES says what the message names
// besides the largest admissible tau.
#define QUORVANE_FAR_READS_DOC(NAMES)                                                            \
    "    \"[OutOfDomain] a step reads u more than 2^53 cells beyond the end nodes, where no cell\n" \
    "    can be told apart from its neighbour: ...\" for steps that read that far out (tau above\n" \
    "    about 6.8e30 dx^2/a for a heat step of coefficient a), before any work; the message\n"    \
    "    goes on with the largest admissible tau on this grid and\n"                              \
    "    " NAMES ". Where not even the least double step reads within reach, it says so\n"       \
    "    instead: no step count serves that grid and coefficient.\n"
#define QUORVANE_FAR_READS_COUNT_DOC QUORVANE_FAR_READS_DOC("the n_steps from which every count passes for this t")
#define QUORVANE_FAR_READS_TAU_DOC                                                               \
    QUORVANE_FAR_READS_DOC("\"use tau <= ...\", with the n_steps from which every count of steps\n" \
                           "    t / n_steps passes for t = n_steps * tau")

// evolve's own checks, step count first.
inline void check_steps_and_time(std::size_t n_steps, double t) {
    if (n_steps == 0) py_err_with_kind("OutOfDomain", "n_steps must be >= 1");
    if (!finite_nonneg(t)) py_err_with_kind("OutOfDomain", "t must be finite and >= 0");
}

// The exception a Python coefficient of the kernel raised during the call,
// reported as the cause of the call's error.
template <class K>
Ref callback_cause(const K& k) {
    if constexpr (requires { take_coeff_exception(k.coef); }) {
        return take_coeff_exception(k.coef);
    } else if constexpr (requires { take_coeff_exception(*k.coef_override); }) {
        return k.coef_override ? take_coeff_exception(*k.coef_override) : Ref{};
    } else {
        return {};
    }
}

// "CflViolated": a step of tau lies outside the kernel's admissible steps
// (where it would amplify rounding noise geometrically); names the range and
// the step counts that fit.
[[noreturn]] void raise_unstable_step(const char* cls, double t, double tau, const StepRange& range,
                                      const Grid1D<double>& grid, const char* why);
// The same where only some steps up to range.tau_max were judged: the text
// names one count that runs, `runs` (its step judged to pass), and says
// that larger counts are judged as they come instead of promising them.
[[noreturn]] void raise_unstable_step_named_count(const char* cls, double t, double tau, const StepRange& range,
                                                  const Grid1D<double>& grid, const char* why, std::uint64_t runs);

// How a call takes its steps, for a refusal that names the steps that pass.
struct StepCall {
    enum class Form {
        Count,    // duration t in `count` steps of t / count
        Step,     // n_steps steps of a given tau (t = n_steps tau): tau and the counts for t named
        StepOnly  // a given tau: only the bound named
    };
    Form form = Form::Count;
    double t = 0.0;
    double tau = 0.0;
    const char* count = "n_steps";
    // A count fixed when the object was built (not an argument of the
    // call): the longest t the object serves with it is named as well.
    std::uint64_t object_count = 0;
    // The largest count the count argument takes: no count above it is named.
    std::uint64_t most = kU64Counts;
};

// The part of a refusal that names the longest step `admitted` admits below
// the call's tau (found by bisection; `admitted` admits every step below one
// it admits) and what passes with it: "{cls}: tau = t/n_steps = {tau}
// exceeds the largest admissible tau = {X} on this grid ({grid}); use
// n_steps >= {K} for t = {t}" (count_advice), "...; use tau <= {X} (for t =
// n_steps * tau = {t}: n_steps >= {K} steps of tau = t / n_steps)". X is
// rounded down to four digits, so every step up to it, and so every count
// from K up, passes. Computed without the interpreter lock.
std::string longest_step_tail(const char* cls, const StepCall& call, const std::string& grid,
                              FunctionRef<bool(double)> admitted);

// " (for t = n_steps * {step} = {t}: n_steps >= {K} steps of {step} = t /
// n_steps)": the counts whose steps t / n_steps lie within `most`.
std::string counts_for_time(double t, double most, const char* step, std::uint64_t most_count = kU64Counts);

// "dx = 3.125e-2": a grid's spacing as a refusal names it.
std::string spacing_text(const Grid1D<double>& g, const char* name = "dx");

// The refusal (of kind `kind`) of a call whose step `admitted` does not
// admit: `cause`, "; ", then longest_step_tail.
[[noreturn]] void raise_step_beyond(const char* kind, const std::string& cause, const char* cls, const StepCall& call,
                                    const std::string& grid, FunctionRef<bool(double)> admitted);

// Refuses (OutOfDomain) a call whose step `located` does not admit: its
// reads lie more than 2^53 cells beyond the grid (kReadTooFar). Judged
// before any work, without the interpreter lock.
void refuse_reads_beyond_grid(const char* cls, const StepCall& call, const std::string& grid,
                              FunctionRef<bool(double)> located);
// The same where the call's other rules, which its own step need not have
// passed yet, bound the step too: the steps named pass `others` as well.
void refuse_reads_beyond_grid(const char* cls, const StepCall& call, const std::string& grid,
                              FunctionRef<bool(double)> located, FunctionRef<bool(double)> others);

// "OutOfDomain": the kernel's coefficient cannot be stepped stably at any
// step count (see CoefficientFault); says where and what helps.
[[noreturn]] void raise_coefficient_fault(const char* cls, const CoefficientFault& f, const Grid1D<double>& grid);

// A refusal whose bound X was searched, not certified: steps below X may
// grow in windows between the search's points, so "n_steps >= K" would
// promise counts no one judged. The least count whose steps lie within X is
// judged as a call would judge it; where its step grows (a window), the
// judgement names a smaller bound and the count is taken from that, a few
// times at most. The count named has been judged to run.
template <class K>
void refuse_with_judged_count(const char* cls, const K& kernel, const Grid1D<double>& grid, double t, double tau,
                              HeatJudgement j) {
    const char* why = j.reason ? j.reason : instability_reason(kernel);
    for (int tries = 0; tries < 8 && j.range; ++tries) {
        const double hi = floor_4_digits(j.range->tau_max);
        const StepCounts counts = admitted_counts(t, kU64Counts, [&](double step) { return step <= hi; });
        if (counts.outcome != StepCounts::Outcome::Fits) return;  // no count: the plain advice says why
        const double step = t / static_cast<double>(counts.least);
        const HeatJudgement named = without_gil([&] { return judge_heat_step(kernel, step); });
        if (named.fault) return;
        if (!named.range) raise_unstable_step_named_count(cls, t, tau, *j.range, grid, why, counts.least);
        j = named;
    }
}

// Refuses a step the kernel cannot take stably, judged on the step tau
// alone (a call of duration t only sizes the step count the refusal names);
// kernels without a judgement accept every step.
// "NanInf": a sampled derivative of the coefficient (taken as given, not
// checked when the evolver was built) that is not finite at a node.
void refuse_nonfinite_samples(const char* cls, const CoeffSource& c, const Grid1D<double>& grid);

template <class K>
void refuse_unstable_step(const char* cls, const K& kernel, const Grid1D<double>& grid, double t, double tau) {
    if constexpr (std::is_same_v<K, DiffusionChernoff>) refuse_nonfinite_samples(cls, kernel.coef, grid);
    if constexpr (requires { judge_heat_step(kernel, tau); }) {
        const HeatJudgement j = without_gil([&] { return judge_heat_step(kernel, tau); });
        if (j.fault) raise_coefficient_fault(cls, *j.fault, grid);
        if (j.range && !j.every_step_judged) refuse_with_judged_count(cls, kernel, grid, t, tau, j);
        if (j.range) raise_unstable_step(cls, t, tau, *j.range, grid, j.reason ? j.reason : instability_reason(kernel));
    } else if constexpr (requires { step_violation(kernel, tau); }) {
        const std::optional<StepRange> bad = without_gil([&] { return step_violation(kernel, tau); });
        if (bad) raise_unstable_step(cls, t, tau, *bad, grid, instability_reason(kernel));
    }
}

// Where a sampled coefficient was read below zero (the ellipticity failure of
// a node step) and why: between its nodes it is read through the Catmull-Rom
// interpolant of the samples, which dips below the samples next to small
// ones, and beyond the ends it is continued as a constant. Empty for other
// errors and for coefficients that are not samples.
std::string sampled_read_note(const CoeffSource& c, const Grid1D<double>& grid, const CoreError& e);

template <class K>
std::string ellipticity_note(const K& k, const Grid1D<double>& grid, const CoreError& e) {
    if constexpr (std::is_same_v<K, DiffusionChernoff>) {
        return sampled_read_note(k.coef, grid, e);
    } else if constexpr (std::is_same_v<K, Diffusion4thChernoff> || std::is_same_v<K, Diffusion6thChernoff>) {
        return k.coef_override ? sampled_read_note(*k.coef_override, grid, e) : std::string{};
    } else {
        return {};
    }
}

// Whether a, a' and a'' are fixed functions (sampled arrays, plain
// functions: no Python callable is called) whose values at the grid's nodes
// are finite. Only then is a non-finite result known to be an overflow.
bool fixed_and_finite_at_nodes(const CoeffSource& c, const Grid1D<double>& grid);
template <class K>
bool coefficients_fixed_and_finite(const K& k) {
    if constexpr (requires { k.coef; }) {
        return fixed_and_finite_at_nodes(k.coef, k.grid);
    } else if constexpr (requires { k.inner; }) {
        return coefficients_fixed_and_finite(k.inner);
    } else if constexpr (requires { k.zeta4; }) {
        return coefficients_fixed_and_finite(k.zeta4);
    } else if constexpr (requires { k.zeta6; }) {
        return coefficients_fixed_and_finite(k.zeta6);
    } else if constexpr (requires { k.a; }) {
        if constexpr (requires { k.coef_override; }) {
            if (k.coef_override) return fixed_and_finite_at_nodes(*k.coef_override, k.grid);
        }
        return fixed_and_finite_at_nodes(CoeffSource::plain(k.a, k.a_prime, k.a_double_prime), k.grid);
    } else {
        return true;  // no coefficient: the unit flow
    }
}

// Refuses a step whose reads lie beyond 2^53 cells (kernels that say which
// steps read within, step_reads_located or heat_reads_located; the others
// are judged elsewhere). A constant heat coefficient's reach was judged with
// its step already; a varying one's is judged here.
template <class K>
void refuse_far_reads(const char* cls, const K& kernel, const Grid1D<double>& grid, double t, double tau) {
    if constexpr (requires { step_reads_located(kernel, tau); }) {
        refuse_reads_beyond_grid(cls, {StepCall::Form::Count, t, tau}, spacing_text(grid),
                                 [&](double step) { return step_reads_located(kernel, step); });
    } else if constexpr (requires { heat_reads_located(kernel, tau); }) {
        // Where not even the least step reads within reach, a coefficient
        // that is not known finite (a callable's infinite a', say) is left
        // to the step, whose error names the value.
        if (!coefficients_fixed_and_finite(kernel) &&
            !without_gil([&] { return heat_reads_located(kernel, std::numeric_limits<double>::denorm_min()); })) {
            return;
        }
        refuse_reads_beyond_grid(cls, {StepCall::Form::Count, t, tau}, spacing_text(grid), [&](double step) {
            return heat_reads_located(kernel, step) && !judge_heat_step(kernel, step).range;
        });
    }
}

// n_steps steps of t/n_steps from the state's values; on success the
// values and the semigroup (now counting n_steps) are replaced. `cls` names
// the class in a refusal. The flow is linear: the steps run on the values at
// unit size (run_linear); a retry far down is known to meet an overflow only
// where the coefficients are fixed and finite (no Python callable).
template <class K>
void evolve_semigroup(const char* cls, ChernoffSemigroup<K>& semigroup, GridFn<double>& state, double t,
                      std::size_t n_steps) {
    K kernel = semigroup.kernel;
    const Grid1D<double> grid = state.grid;
    const double tau = t / static_cast<double>(n_steps);
    refuse_unstable_step(cls, kernel, grid, t, tau);
    refuse_far_reads(cls, kernel, grid, t, tau);
    BeyondRange beyond;
    bool first = true;
    auto r = run_evolve([&] {
        return run_linear(
            state.values, beyond,
            [&](std::vector<double> v) {
                if (std::exchange(first, false)) return evolve_values(kernel, grid, std::move(v), tau, n_steps);
                K again = semigroup.kernel;
                return evolve_values(again, grid, std::move(v), tau, n_steps);
            },
            0, coefficients_fixed_and_finite(kernel));
    });
    refuse_beyond(cls, state.values, beyond);
    Ref cause = callback_cause(kernel);
    if (!r) {
        std::string note = ellipticity_note(kernel, grid, r.error());
        if (!note.empty()) {
            reraise_if_not_exception(cause);
            raise_core_error(r.error(), std::move(cause), std::move(note));
        }
    }
    state.values = unwrap(std::move(r), std::move(cause));
    warm_parallel_caches();
    semigroup = ChernoffSemigroup<K>{std::move(kernel), n_steps};
}

// A linear transport call on data near the top of the double range
// (large_data_shift) takes the values and their range scaled down by a power
// of two and scales its result back: the same bits, with every intermediate
// inside the range.
struct LargeDataScale {
    int shift = 0;
    double top_in = 0.0;   // max|u| as stepped
    double top_out = 0.0;  // > 0: the result scaled back lies beyond the double range

    // Scales `values` (and `range`) down where they need it.
    LargeDataScale(std::vector<double>& values, FlowRange* range = nullptr) : shift(large_data_shift(values)) {
        if (shift == 0) return;
        scale_by_power_of_two(values, -shift);
        top_in = largest_abs(values);
        if (range) *range = scaled(*range, -shift);
    }
    // The call's result scaled back (noting one beyond the double range).
    void back(std::vector<double>& out) {
        if (shift == 0) return;
        const double top = largest_abs(out);
        scale_by_power_of_two(out, shift);
        if (!all_finite(out)) top_out = top;
    }
    void back(FlowRange& range) const {
        if (shift != 0) range = scaled(range, shift);
    }
    // The refusal of a result beyond the double range.
    void refuse_overflow(const char* cls, std::span<const double> data) const {
        if (top_out > 0.0) raise_result_overflow(cls, data, top_in, top_out);
    }
    static FlowRange scaled(const FlowRange& r, int e) { return {std::ldexp(r.lo, e), std::ldexp(r.hi, e)}; }
};

// `call(values, range)` (a clipped transport call returning Expected values,
// which moves `range` on success) from `data` and `range`, through
// LargeDataScale; on success `range` is the range after it.
template <class Call>
std::vector<double> evolve_scaled_in_range(const char* cls, std::span<const double> data, FlowRange& range,
                                           Call&& call) {
    std::vector<double> values(data.begin(), data.end());
    FlowRange walked = range;
    LargeDataScale scale(values, &walked);
    auto r = run_evolve([&] {
        auto out = call(std::move(values), walked);
        if (out) scale.back(*out);
        return out;
    });
    scale.refuse_overflow(cls, data);
    std::vector<double> out = unwrap(std::move(r));
    scale.back(walked);
    range = walked;
    return out;
}

// Whether a transport step failed reading u at a point beyond the double
// range or more than 2^53 cells out (the long step's, not a fault of u).
bool read_beyond_reach(const CoreError& e);
// Its refusal: "NanInf" where a node's b or a is not finite (every step
// fails), else "OutOfDomain" naming the longest step whose reads stay within
// 2^48 cells of the nodes (FootReach::longest_step) and the counts that fit.
[[noreturn]] void raise_read_beyond_reach(const char* cls, double t, double tau, const FootReach& reach,
                                          const Grid1D<double>& grid);

// The same for a transport kernel whose steps are clipped to the range its
// flow keeps: `range` is walked on with the steps and replaced, with the
// values, only on success.
template <class K>
void evolve_semigroup_in_range(const char* cls, ChernoffSemigroup<K>& semigroup, GridFn<double>& state,
                               FlowRange& range, double t, std::size_t n_steps) {
    K kernel = semigroup.kernel;
    const Grid1D<double> grid = state.grid;
    std::vector<double> values = state.values;
    const double tau = t / static_cast<double>(n_steps);
    refuse_unstable_step(cls, kernel, grid, t, tau);
    FlowRange walked = range;
    LargeDataScale scale(values, &walked);
    auto r = run_evolve([&]() -> Expected<std::vector<double>> {
        Expected<std::vector<double>> out = evolve_values_in_range(kernel, grid, std::move(values), tau, n_steps, walked);
        if (out) scale.back(*out);
        return out;
    });
    scale.refuse_overflow(cls, state.values);
    if constexpr (requires { foot_reach(kernel); }) {
        if (!r && read_beyond_reach(r.error())) raise_read_beyond_reach(cls, t, tau, foot_reach(kernel), grid);
    }
    state.values = unwrap(std::move(r), callback_cause(kernel));
    scale.back(walked);
    range = walked;
    warm_parallel_caches();
    semigroup = ChernoffSemigroup<K>{std::move(kernel), n_steps};
}

// A reaction factor 1 + tau c below zero flips the sign every step (and
// amplifies where exp(tau c) damps): refused as CflViolated, naming the
// largest admissible tau and, for a call of n_steps steps of t_final /
// n_steps, the smallest step count that fits (`count` names that argument),
// up to `most`, the largest count the call takes by its other rules.
void check_reaction_factor(const std::string& ctx, double c, double t_final, std::size_t n_steps,
                           const char* count = "n_steps", std::uint64_t most = kU64Counts);
// The same where a step must pass the class's other rules too (`other`
// admits every step shorter than one it admits): the tau and the counts named
// pass all of them.
void check_reaction_factor(const std::string& ctx, double c, double t_final, std::size_t n_steps,
                           FunctionRef<bool(double)> other);
// The same for steps of a given size tau.
void check_reaction_step(const std::string& ctx, double c, double tau);

// `evolve($self, t, n_steps=100)` of a class holding `semigroup` and `state`.
template <class Obj>
Ref evolve_body(Obj& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 100);
    check_steps_and_time(n_steps, t);
    evolve_semigroup(Obj::class_def().name, self.semigroup, self.state, t, n_steps);
    return none();
}

// The same for a transport class, which also holds the `range` its steps
// are clipped to.
template <class Obj>
Ref evolve_in_range_body(Obj& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 100);
    check_steps_and_time(n_steps, t);
    evolve_semigroup_in_range(Obj::class_def().name, self.semigroup, self.state, self.range, t, n_steps);
    return none();
}

template <class Obj>
Ref values_body(const Obj& self, const Args&) {
    return new_array_f64(self.state.values);
}

// A class that is a kernel with its step count (100 after construction, then
// the n_steps of the last successful evolve) and a state.
template <class K>
struct GridStepEvolverObj {
    ChernoffSemigroup<K> semigroup;
    GridFn<double> state;

    std::size_t len() const { return state.values.size(); }
    // One specialisation per bound class, in its binding file.
    static ClassDef& class_def();
};

// The same for a transport kernel, whose steps are clipped to `range`: the
// range of the state's read when it was set, walked on by the reactions of
// the steps since (see evolve_semigroup_in_range).
template <class K>
struct TransportEvolverObj {
    ChernoffSemigroup<K> semigroup;
    GridFn<double> state;
    FlowRange range;

    // The range of the state's read is measured without the interpreter
    // lock, a stop request ending it.
    TransportEvolverObj(ChernoffSemigroup<K> sg, GridFn<double> st)
        : semigroup(std::move(sg)), state(std::move(st)),
          range(compute([&] { return read_range(state.grid, state.values); })) {}

    std::size_t len() const { return state.values.size(); }
    static ClassDef& class_def();
};

// `Cls(xmin, xmax, n, u0, *, boundary="reflect")` for a kernel with a
// `unit(grid)` constructor: the boundary parsed before u0 is read; then u0
// finite, the grid checks and the length, as for the unit heat state.
template <class K>
GridStepEvolverObj<K> grid_step_new(const Args& a) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(4, "reflect"));
    const std::vector<double> u0 = extract_u0_vec(a.raw(3));
    auto [heat, state] = unwrap(build_heat_state(n, 100, u0, policy, xmin, xmax));
    return GridStepEvolverObj<K>{ChernoffSemigroup<K>{K::unit(state.grid), 100}, std::move(state)};
}

template <class K>
Ref grid_step_evolve(GridStepEvolverObj<K>& self, const Args& a) {
    return evolve_body(self, a);
}

template <class K>
Ref grid_step_values(const GridStepEvolverObj<K>& self, const Args& a) {
    return values_body(self, a);
}

}  // namespace quorvane::py
