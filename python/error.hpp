// The exception type QuorvaneError, failure kinds and the pending errors
// that travel through a method body as C++ exceptions.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

#include "core/foundation/error.hpp"

namespace quorvane::py {

// During finalisation the interpreter ends a thread that asks for the lock
// (or gets it back in Python code that gave it away meanwhile) by a forced
// unwind, and the thread holds no lock on its way out: it must neither
// release the lock nor ask for it again, nor drop references. Such a thread
// is marked as ending.
bool thread_ending();
void mark_thread_ending();

// ---------------------------------------------------------------------------
// Owned references
// ---------------------------------------------------------------------------

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (may be null).
    explicit Ref(PyObject* owned) : p_(owned) {}
    static Ref borrowed(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    // A thread the interpreter ends during finalisation holds no lock while
    // it unwinds: its references are left to the interpreter, like its own.
    ~Ref() {
        if (p_ != nullptr && !thread_ending()) Py_DECREF(p_);
    }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Errors inside the frame
// ---------------------------------------------------------------------------

// A pending Python error, raised by the shim once the body has unwound.
class BindError {
public:
    enum class Kind { AlreadySet, Quorvane, TypeError, ValueError, OverflowError, RuntimeError };

    BindError(Kind k, std::string msg, Ref cause = {}) : kind_(k), msg_(std::move(msg)), cause_(std::move(cause)) {}

    // A note (PEP 678) the QuorvaneError carries beside its message.
    BindError& with_note(std::string note) {
        note_ = std::move(note);
        return *this;
    }

    Kind kind() const { return kind_; }
    const std::string& message() const { return msg_; }
    const Ref& cause() const { return cause_; }
    // Sets the Python error indicator from this error.
    void restore() const;

private:
    Kind kind_;
    std::string msg_;
    Ref cause_;
    std::string note_;
};

// The Python error indicator is already set: just unwind.
[[noreturn]] void throw_python_error();
// Throws if the error indicator is set.
inline void check_python_error() {
    if (PyErr_Occurred()) throw_python_error();
}
[[noreturn]] void raise_type_error(std::string msg);
[[noreturn]] void raise_value_error(std::string msg);
[[noreturn]] void raise_overflow_error(std::string msg);
[[noreturn]] void raise_runtime_error(std::string msg);

// QuorvaneError "[kind] text" (the helper every body uses for its own checks).
[[noreturn]] void py_err_with_kind(const char* kind, std::string text, Ref cause = {});
// QuorvaneError from a core error: kind and message by classify_core_error.
[[noreturn]] void raise_core_error(const CoreError& e, Ref cause = {});
// The same with a note beside the message (Python's add_note).
[[noreturn]] void raise_core_error(const CoreError& e, Ref cause, std::string note);

// Raises `exc` as itself when it is not an Exception (KeyboardInterrupt,
// SystemExit, GeneratorExit): such exceptions are never wrapped.
void reraise_if_not_exception(const Ref& exc);

// The kind and message a core error is reported with.
struct Classified {
    const char* kind;
    std::string message;
};
Classified classify_core_error(const CoreError& e);

// The one fixed message of an internal fault caught at the boundary.
extern const char* const kPanicMessage;

// The exception type QuorvaneError (created on first request, kept forever).
PyObject* quorvane_error_type();

}  // namespace quorvane::py
