// The Python object TtState and the pieces its evolvers share: the exclusive
// borrow of the state argument and the per-axis list conversion.
#pragma once

#include <string>
#include <vector>

#include "core/foundation/function_ref.hpp"
#include "core/tensor_train/tt_core.hpp"
#include "python/frame.hpp"

namespace quorvane::py {

struct TtStateObj {
    TtState state;
    static ClassDef& class_def();
};

// The `state` argument of an evolve, borrowed exclusively for the call.
using TtStateArg = ExclusiveArg<TtStateObj>;

// One float vector per element of a list (checked to be a list by the
// caller), each non-empty and finite; `ctx` opens every message.
std::vector<std::vector<double>> extract_axis_slices(PyObject* list, const std::string& ctx);

// Runs a core loop that holds the interpreter lock, answering Ctrl-C: the
// loop's stop polls check the interpreter's signals directly, and a raised
// KeyboardInterrupt (or a signal handler's exception) ends the call with
// that exception.
Status run_tt_steps(FunctionRef<Status()> steps);

// Runs an evolve's core loop on a copy of the state's cores with Ctrl-C
// answered between steps, and stores the cores only when every step
// succeeded and every value is finite.
template <class Fn>
void evolve_tt_state(TtState& state, Fn&& steps) {
    std::vector<TtCore> cores = state.cores;
    Status st = run_tt_steps([&]() -> Status { return steps(cores); });
    unwrap(std::move(st));
    TtState out{std::move(cores)};
    if (!out.all_finite()) py_err_with_kind("NanInf", "all values must be finite (no NaN/Inf)");
    state = std::move(out);
}

}  // namespace quorvane::py
