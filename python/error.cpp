#include "python/error.hpp"

#include <cmath>
#include <optional>
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

constexpr std::string_view kKinds[] = {"GridMismatch", "NanInf",            "OutOfDomain", "BoundaryFailure",
                                       "CflViolated",  "ConvergenceFailed", "Unsupported", "Panic"};

// The kind a message's bracketed prefix names: "[NanInf] ..." gives NanInf;
// a message that is not a str, has no prefix, or one that names none of the
// eight kinds, gives nothing. The str is read by code point where it is
// stored (a str subclass's own methods are not called, and nothing is
// encoded: a lone surrogate or a very long text costs no more than the
// prefix), so reading it cannot fail.
std::optional<std::string_view> kind_of_message(PyObject* message) {
    if (!PyUnicode_Check(message)) return std::nullopt;
    const Py_ssize_t len = PyUnicode_GetLength(message);
    auto at = [&](std::size_t i) { return PyUnicode_ReadChar(message, static_cast<Py_ssize_t>(i)); };
    if (len < 1 || at(0) != '[') return std::nullopt;
    for (std::string_view k : kKinds) {
        // No kind holds a ']': the prefix names k exactly when k follows the
        // '[' and a ']' follows k.
        if (static_cast<std::size_t>(len) < k.size() + 2 || at(k.size() + 1) != ']') continue;
        std::size_t i = 0;
        while (i < k.size() && at(i + 1) == static_cast<Py_UCS4>(k[i])) ++i;
        if (i == k.size()) return k;
    }
    return std::nullopt;
}

Ref kind_object(std::optional<std::string_view> kind) {
    if (!kind) return Ref::borrowed(Py_None);
    return Ref(PyUnicode_FromStringAndSize(kind->data(), static_cast<Py_ssize_t>(kind->size())));
}

// The args an exception holds, read through BaseException's own getter: a
// subclass's `args` property or __getattribute__ is not called.
Ref stored_args(PyObject* exc) {
    Ref getter(PyObject_GetAttrString(PyExc_BaseException, "args"));
    if (!getter) return {};
    auto get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(getter.get()), Py_tp_descr_get));
    if (!get) return {};
    return Ref(get(getter.get(), exc, reinterpret_cast<PyObject*>(Py_TYPE(exc))));
}

// `kind` of an instance that has no attribute of its own (every raised error
// has one): read from its message, the single str argument, each time, so
// QuorvaneError("[NanInf] x").kind is "NanInf" and QuorvaneError("x").kind
// None. A non-data descriptor, so an instance attribute comes first and
// instances stay as they pickle and print. It never raises: an object that
// is no exception, or args that cannot be read, give None.
PyObject* kind_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    std::optional<std::string_view> kind;
    if (PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
        Ref args = stored_args(obj);
        if (!args) PyErr_Clear();
        else if (PyTuple_Check(args.get()) && PyTuple_Size(args.get()) == 1) {
            kind = kind_of_message(PyTuple_GetItem(args.get(), 0));
        }
    }
    Ref result = kind_object(kind);
    if (!result) {
        PyErr_Clear();
        return Py_NewRef(Py_None);
    }
    return result.release();
}

constexpr char kKindDoc[] =
    "The failure kind the bracketed prefix of the message names (one of the eight kinds), or None.";

PyObject* new_kind_descriptor() {
    PyType_Slot slots[] = {{Py_tp_descr_get, reinterpret_cast<void*>(&kind_descr_get)},
                           {Py_tp_doc, const_cast<char*>(kKindDoc)},
                           {0, nullptr}};
    PyType_Spec spec{"quorvane.QuorvaneErrorKind", 0, 0, Py_TPFLAGS_DEFAULT, slots};
    Ref type(PyType_FromSpec(&spec));
    if (!type) return nullptr;
    return PyObject_CallNoArgs(type.get());
}

}  // namespace

PyObject* quorvane_error_type() {
    static PyObject* type = [] {
        Ref dict(PyDict_New());
        Ref kind(dict ? new_kind_descriptor() : nullptr);
        PyObject* t = kind && PyDict_SetItemString(dict.get(), "kind", kind.get()) == 0
                          ? PyErr_NewExceptionWithDoc("quorvane.QuorvaneError", kQuorvaneErrorDoc, PyExc_Exception,
                                                      dict.get())
                          : nullptr;
        if (!t) {
            PyErr_Clear();
            internal_fault("Failed to initialize new exception type.");
        }
        return t;
    }();
    return type;
}

namespace {

// A new QuorvaneError instance for `message`, with `kind` set as an
// attribute of its own to the kind its bracketed prefix names, so callers
// need not parse the message.
Ref new_quorvane_error(std::string_view message) {
    Ref msg(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!msg) return {};
    Ref exc(PyObject_CallFunctionObjArgs(quorvane_error_type(), msg.get(), nullptr));
    if (!exc) return {};
    Ref kind = kind_object(kind_of_message(msg.get()));
    if (!kind || PyObject_SetAttrString(exc.get(), "kind", kind.get()) < 0) return {};
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
            if (!note_.empty()) {
                Ref done(PyObject_CallMethod(exc.get(), "add_note", "s", note_.c_str()));
                if (!done) PyErr_Clear();  // the message stands without it
            }
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

void raise_core_error(const CoreError& e, Ref cause, std::string note) {
    Classified c = classify_core_error(e);
    throw BindError(BindError::Kind::Quorvane, "[" + std::string(c.kind) + "] " + c.message, std::move(cause))
        .with_note(std::move(note));
}

}  // namespace quorvane::py
