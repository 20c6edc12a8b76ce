#include "python/error.hpp"

#include <cmath>
#include <string>
#include <string_view>

#include "core/foundation/format.hpp"
#include "core/foundation/grid_fn.hpp"

namespace quorvane::py {

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

const char* const kPanicMessage = "[Panic] internal quorvane-core panic \u2014 please file an issue";

namespace {

constexpr const char* kQuorvaneErrorDoc =
    "Exception raised by quorvane-py operations.\n"
    "\n"
    "Attributes\n"
    "----------\n"
    "kind : str\n"
    "    Discriminator string matching the C-ABI `QuorvaneStatus` names:\n"
    "    ``GridMismatch``, ``NanInf``, ``OutOfDomain``, ``BoundaryFailure``,\n"
    "    ``CflViolated``, ``ConvergenceFailed``, ``Unsupported``, ``Panic``.\n";

}  // namespace

PyObject* quorvane_error_type() {
    static PyObject* type = [] {
        PyObject* t = PyErr_NewExceptionWithDoc("quorvane.QuorvaneError", kQuorvaneErrorDoc, PyExc_Exception, nullptr);
        if (!t) {
            PyErr_Clear();
            internal_fault("Failed to initialize new exception type.");
        }
        return t;
    }();
    return type;
}

namespace {

// A new QuorvaneError instance for `message`, with `kind` set to the kind its
// bracketed prefix names, so callers need not parse the message.
Ref new_quorvane_error(std::string_view message) {
    Ref msg(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!msg) return {};
    Ref exc(PyObject_CallFunctionObjArgs(quorvane_error_type(), msg.get(), nullptr));
    if (!exc) return {};
    std::string_view kind;
    if (message.starts_with('[')) {
        if (const std::size_t close = message.find(']'); close != std::string_view::npos) kind = message.substr(1, close - 1);
    }
    Ref kind_str(PyUnicode_FromStringAndSize(kind.data(), static_cast<Py_ssize_t>(kind.size())));
    if (!kind_str || PyObject_SetAttrString(exc.get(), "kind", kind_str.get()) < 0) return {};
    return exc;
}

}  // namespace

void BindError::restore() const {
    switch (kind_) {
        case Kind::AlreadySet:
            if (PyErr_Occurred()) return;
            [[fallthrough]];
        case Kind::Quorvane: {
            Ref exc = new_quorvane_error(kind_ == Kind::Quorvane ? std::string_view(msg_) : kPanicMessage);
            if (!exc) return;
            if (cause_) PyException_SetCause(exc.get(), Ref(cause_).release());
            PyErr_SetObject(quorvane_error_type(), exc.get());
            return;
        }
        case Kind::TypeError: PyErr_SetString(PyExc_TypeError, msg_.c_str()); return;
        case Kind::ValueError: PyErr_SetString(PyExc_ValueError, msg_.c_str()); return;
        case Kind::RuntimeError: PyErr_SetString(PyExc_RuntimeError, msg_.c_str()); return;
        case Kind::OverflowError:
            if (msg_.empty()) PyErr_SetNone(PyExc_OverflowError);
            else PyErr_SetString(PyExc_OverflowError, msg_.c_str());
            return;
    }
}

void throw_python_error() { throw BindError(BindError::Kind::AlreadySet, {}); }
void raise_type_error(std::string msg) { throw BindError(BindError::Kind::TypeError, std::move(msg)); }
void raise_value_error(std::string msg) { throw BindError(BindError::Kind::ValueError, std::move(msg)); }
void raise_overflow_error(std::string msg) { throw BindError(BindError::Kind::OverflowError, std::move(msg)); }
void raise_runtime_error(std::string msg) { throw BindError(BindError::Kind::RuntimeError, std::move(msg)); }

void py_err_with_kind(const char* kind, std::string text, Ref cause) {
    throw BindError(BindError::Kind::Quorvane, "[" + std::string(kind) + "] " + text, std::move(cause));
}

Classified classify_core_error(const CoreError& e) {
    using V = CoreError::Variant;
    switch (e.variant()) {
        case V::DomainViolation: {
            const std::string what = e.text();
            if (what == kGridSpacingMessage) return {"OutOfDomain", what + " (dx = " + fmt_exp3(e.f0()) + ")"};
            if (!std::isfinite(e.f0())) return {"NanInf", what + ": " + fmt_shortest(e.f0())};
            for (const char* word : {"grid", "n must", "values.len", "xmin", "xmax"}) {
                if (what.find(word) != std::string::npos) return {"GridMismatch", what};
            }
            return {"OutOfDomain", what};
        }
        case V::GridUnderresolved: return {"BoundaryFailure", e.display()};
        case V::ConvergenceFailed: return {"ConvergenceFailed", e.display()};
        case V::Unsupported: return {"Unsupported", e.display()};
        case V::CflViolated: return {"CflViolated", e.display()};
        case V::AdaptiveStepRejected: return {"ConvergenceFailed", e.display()};
        case V::UnsupportedOperation:
        case V::OutOfMagnusRadius:
        case V::VarCoefOutOfClass: return {"OutOfDomain", e.display()};
        case V::CallbackFailed: break;  // the caller reports the callback's own error
    }
    return {"Panic", e.display()};
}

void reraise_if_not_exception(const Ref& exc) {
    if (!exc || PyObject_IsInstance(exc.get(), PyExc_Exception) != 0) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    throw_python_error();
}

void raise_core_error(const CoreError& e, Ref cause) {
    Classified c = classify_core_error(e);
    py_err_with_kind(c.kind, std::move(c.message), std::move(cause));
}

}  // namespace quorvane::py
