// The Python object TtState and the pieces its evolvers share: the exclusive
// borrow of the state argument and the per-axis list conversion.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "core/tensor_train/tt_core.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"

namespace quorvane::py {

struct TtStateObj {
    TtState state;
    static ClassDef& class_def();
};

// `ndim($self)` of the three evolvers.
inline constexpr char kTtEvolverNdimDoc[] = "ndim($self)\n--\n\nNumber of axes this evolver was built for.\n";

// `evolve` of the separable and the coupled evolver.
inline constexpr char kTtChernoffEvolveDoc[] =
    "evolve($self, state, t_final, n_steps)\n--\n\n"
    "Evolve `state` in-place for time `t_final` using `n_steps` Chernoff steps.\n\n"
    "Parameters\n----------\n"
    "state : TtState\n    The mutable carrier state (rank-1 initial condition or a previous result).\n"
    "t_final : float\n    Total evolution time (>= 0, finite).\n"
    "n_steps : int\n    Number of Chernoff time steps (>= 1).\n\n"
    "Returns\n-------\nNone\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    kind OutOfDomain for n_steps = 0, a negative or non-finite t_final, or a state with\n"
    "    another number of axes; kind CflViolated when the reaction factor 1 + tau*c is\n"
    "    negative, or a step's drift tau*b or diffusion spread 2 sqrt(tau*a) lies beyond the\n"
    "    double range, naming the counts that pass every rule (where those exceed 2^64 - 1,\n"
    "    the longest step that passes and that no call that finishes serves t_final); kind\n"
    "    NanInf when a step makes a NaN or an infinity. The state is unchanged after a failure.\n\n"
    "Notes\n-----\n"
    "A drift of more than a period is read modulo the period n*h: exactly where n*h and\n"
    "tau*b are exact doubles (dyadic spacings); otherwise the position read is off by up to\n"
    "about eps*|2 t b| over the call (2.2e-16 of the distance travelled: 4.4e-7 of a cell at\n"
    "t = 1e8 with b = 1 on 11 nodes of h = 0.1), and nothing of it is left once that\n"
    "reaches the period (from t of about 1e15 there).\n";

// The `state` argument of an evolve, borrowed exclusively for the call.
using TtStateArg = ExclusiveArg<TtStateObj>;

// One float vector per element of a list (checked to be a list by the
// caller), each non-empty and finite; `ctx` opens every message.
std::vector<std::vector<double>> extract_axis_slices(PyObject* list, const std::string& ctx);

// The constructor checks shared by the separable and the coupled evolver,
// in order: a non-empty, c and eps_round finite, every a[j] finite >= 0,
// every b[j] finite, then the (dom_min[i], dom_max[i]) pairs up to the
// shorter list, each finite with lo < hi. Returns the pairs.
std::vector<std::pair<double, double>> check_separable_args(const std::string& ctx, const std::vector<double>& a,
                                                            const std::vector<double>& b, double c, double eps_round,
                                                            const std::vector<double>& dom_min,
                                                            const std::vector<double>& dom_max);
// One drift coefficient and one domain pair per axis (GridMismatch).
void check_axis_counts(const std::string& ctx, std::size_t d, std::size_t n_b, std::size_t n_pairs);

// evolve's checks, in order: n_steps >= 1, t_final finite >= 0, matching ndim.
void check_tt_evolve(const std::string& ctx, std::size_t n_steps, double t_final, std::size_t d,
                     std::size_t state_d);

// Runs an evolve's core loop on a copy of the state's cores with Ctrl-C
// answered between steps, and stores the cores only when every step
// succeeded and every value is finite. A NaN or an infinity met inside a
// step is reported as one left in the result.
template <class Fn>
void evolve_tt_state(TtState& state, Fn&& steps) {
    std::vector<TtCore> cores = state.cores;
    Status st = run_with_lock_held([&]() -> Status { return steps(cores); });
    if (st) st = check_finite_cores(cores);
    if (!st && is_tt_non_finite(st.error())) py_err_with_kind("NanInf", kTtNonFinite);
    unwrap(std::move(st));
    state = TtState{std::move(cores)};
}

// A step's reaction factor 1 + tau c below 0, its drift tau b[j] or its
// diffusion spread 2 sqrt(tau a[j]) beyond the double range (CflViolated),
// with the step and the counts that pass every rule, or, where those are
// beyond the 64-bit counts, that no call that finishes serves t_final. A
// drift within the range is read modulo the axis' period, where its double
// 2 tau b may overflow.
void check_tt_steps(const std::string& ctx, const std::vector<double>& a, const std::vector<double>& b,
                    const std::vector<std::pair<double, double>>& domain, double c, double t_final,
                    std::size_t n_steps, const TtState& state);

// The whole `evolve(state, t_final, n_steps)` of a separable or coupled
// evolver: borrow the state exclusively, check, step a copy, store on success.
template <class Chernoff>
Ref evolve_tt_with(const Chernoff& chernoff, const std::string& ctx, const Args& a) {
    TtStateArg state = exclusive_arg<TtStateObj>(a, 0);
    const double t_final = a.f64(1);
    const std::size_t n_steps = a.usize(2);
    check_tt_evolve(ctx, n_steps, t_final, chernoff.a.size(), state->state.ndim());
    check_tt_steps(ctx, chernoff.a, chernoff.b, chernoff.domain, chernoff.c, t_final, n_steps, state->state);
    evolve_tt_state(state->state, [&](std::vector<TtCore>& cores) { return chernoff.evolve(cores, t_final, n_steps); });
    return none();
}

}  // namespace quorvane::py
