// Python callables called back from core loops that run without the
// interpreter lock (time-dependent operators and coefficients).
//
// Each call of such a callable re-takes the lock for its own duration. When
// it raises (KeyboardInterrupt included), or its result cannot be used, the
// exception is kept, with its traceback, in the call's error slot and the
// core sees CoreError::callback_failed(), which ends the loop at once; once
// the lock is re-taken the method raises that very exception object.
#pragma once

#include <utility>

#include "core/foundation/error.hpp"
#include "python/frame.hpp"

namespace quorvane::py {

// The error slot of one call. Touched only with the lock held.
class CallbackErrors {
public:
    CallbackErrors() = default;
    CallbackErrors(const CallbackErrors&) = delete;
    CallbackErrors& operator=(const CallbackErrors&) = delete;

    // Keeps the pending Python exception (the first kept one wins) and
    // clears the indicator; the core error that ends the call.
    CoreError keep_pending();
    // Keeps a frame error (a QuorvaneError about a callback's result) as a
    // Python exception.
    CoreError keep(const BindError& e);
    // Raises the kept exception unchanged; with none kept the failure is an
    // internal fault ("Panic").
    [[noreturn]] void reraise();

private:
    Ref type_, value_, traceback_;
};

// Runs numerical work whose providers call Python (without_gil inside fn
// answers Ctrl-C between steps); a result that ends in CallbackFailed raises
// the kept exception.
template <class Fn>
auto run_with_callbacks(CallbackErrors& errors, Fn&& fn) {
    auto r = fn();
    if (!r && r.error().variant() == CoreError::Variant::CallbackFailed) errors.reraise();
    return r;
}

// run_evolve (finite result or NanInf) with callbacks, unwrapped.
template <class Fn>
std::vector<double> evolve_with_callbacks(CallbackErrors& errors, Fn&& fn) {
    return unwrap(run_with_callbacks(errors, [&] { return run_evolve(std::forward<Fn>(fn)); }));
}

}  // namespace quorvane::py
