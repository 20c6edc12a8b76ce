// The binding frame: how a Python call reaches a C++ body and comes back.
//
// A class is one declarative `ClassDef` (name, docstring with its text
// signature, constructor, methods, getters, __len__, __repr__) whose entries
// are generated from plain body functions by the templates below. Every call
// runs the same steps: bind the arguments by the names of the signature line,
// type-check and borrow self, run the body (which converts and validates its
// arguments, releases the interpreter lock around numerical work and maps
// core errors), then release the borrow. Errors travel as C++ exceptions
// inside the frame and become Python exceptions in the shim; nothing thrown
// ever crosses into the interpreter.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <array>
#include <concepts>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/stop.hpp"
#include "python/error.hpp"

namespace quorvane::py {

// Runs fn and turns every escaping exception into a set Python error;
// returns `on_error` in that case. This is the only place where C++
// exceptions meet the interpreter.
// Not noexcept, and the forced unwind with which the interpreter ends a
// thread that asks for the lock during finalisation passes through: it must
// reach the thread's start routine, or the runtime aborts the process.
template <class R, class Fn>
R guarded(R on_error, Fn&& fn) {
    try {
        return fn();
    } catch (const BindError& e) {
        e.restore();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_Clear();
        PyErr_NoMemory();
    } catch (...) {
        PyErr_Clear();
        BindError(BindError::Kind::Quorvane, kPanicMessage).restore();
    }
    return on_error;
}

// ---------------------------------------------------------------------------
// Argument binding by the names of the signature line
// ---------------------------------------------------------------------------

// Parsed from a docstring's first line, e.g.
// `evolve($self, t, n_steps=100)` or `Heat1D(xmin, xmax, n, u0, *, boundary="reflect")`.
struct Signature {
    std::string name;          // "evolve"
    std::string display_name;  // "Heat1D.evolve()" as used in argument errors
    std::vector<std::string> params;
    std::size_t n_positional = 0;  // positional-or-keyword count; the rest are keyword-only
    std::vector<bool> required;
    bool no_args = false;  // only $self/$cls, or nothing

    static Signature parse(const char* doc, const char* owner /* class name or nullptr */);
};

// The bound arguments of one call: borrowed references, null when absent.
class Args {
public:
    Args(const Signature* sig, std::vector<PyObject*> vals) : sig_(sig), vals_(std::move(vals)) {}

    // The argument, or null when absent or None.
    PyObject* get(std::size_t i) const {
        PyObject* o = vals_[i];
        return o == Py_None ? nullptr : o;
    }
    // The argument as given (None kept), null only when absent.
    PyObject* raw(std::size_t i) const { return vals_[i]; }
    const char* name(std::size_t i) const { return sig_->params[i].c_str(); }
    std::size_t size() const { return vals_.size(); }

    double f64(std::size_t i) const;
    double f64_or(std::size_t i, double dflt) const { return get(i) ? f64(i) : dflt; }
    std::uint64_t u64(std::size_t i) const;
    std::uint64_t u64_or(std::size_t i, std::uint64_t dflt) const { return get(i) ? u64(i) : dflt; }
    std::size_t usize(std::size_t i) const { return static_cast<std::size_t>(u64(i)); }
    std::size_t usize_or(std::size_t i, std::size_t dflt) const { return get(i) ? usize(i) : dflt; }
    std::uint32_t u32(std::size_t i) const;
    std::uint32_t u32_or(std::size_t i, std::uint32_t dflt) const { return get(i) ? u32(i) : dflt; }
    std::string str(std::size_t i) const;
    std::string str_or(std::size_t i, const char* dflt) const { return get(i) ? str(i) : std::string(dflt); }
    bool flag(std::size_t i) const;
    bool flag_or(std::size_t i, bool dflt) const { return get(i) ? flag(i) : dflt; }
    // The argument itself when it is a list (a subclass included) or a tuple
    // (likewise); any other object is the argument's TypeError.
    PyObject* list(std::size_t i) const;
    PyObject* tuple(std::size_t i) const;

private:
    const Signature* sig_;
    std::vector<PyObject*> vals_;
};

// Binds vectorcall-style arguments (fastcall methods).
Args bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Binds tuple/dict arguments (tp_new).
Args bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs);

// Scalar conversions with the argument's name in the TypeError.
double to_f64(PyObject* o, const char* name);
std::uint64_t to_u64(PyObject* o, const char* name);
// A value in 0 ... 2^32 - 1, or nullopt for any other integer, negative and
// huge ones alike (a non-integer is the TypeError naming the argument).
std::optional<std::uint32_t> to_u32(PyObject* o, const char* name);
std::string to_str(PyObject* o, const char* name);
// "argument '<name>': '<type>' object cannot be converted to '<target>'".
[[noreturn]] void raise_conversion_error(PyObject* o, const char* name, const char* target);
// Re-raises a frame error as the error of the named argument: the same
// exception type, its message prefixed with "argument '<name>': ".
[[noreturn]] void rethrow_for_argument(const BindError& e, const char* name);

// "'{}' object is not an instance of '{}'" for a foreign object.
[[noreturn]] void raise_downcast_error(PyObject* o, const char* class_name);
std::string type_name_of(PyObject* o);

// ---------------------------------------------------------------------------
// The interpreter lock
// ---------------------------------------------------------------------------

// The pending signals of a call that runs without the interpreter lock. Its
// stop hook re-takes the lock briefly to run the signal handlers; an
// exception one raises (KeyboardInterrupt) is kept, the loops of the call
// stop, and the call ends with that exception once the lock is back.
class SignalStop {
public:
    SignalStop() = default;
    SignalStop(const SignalStop&) = delete;
    SignalStop& operator=(const SignalStop&) = delete;
    ~SignalStop();  // lock held

    // Releases the lock and installs the stop hook until destruction.
    class Released {
    public:
        explicit Released(SignalStop& stop);
        // May end the thread by a forced unwind during finalisation.
        ~Released() noexcept(false);
        Released(const Released&) = delete;
        Released& operator=(const Released&) = delete;

    private:
        SignalStop& stop_;
        ScopedStopHook hook_;
    };

    // Raises the kept exception, if any (lock held).
    void raise_if_stopped();

    // A Python callable called back on the calling thread of such a call
    // raised `exc`, which is not an Exception (KeyboardInterrupt from Ctrl-C,
    // SystemExit): the call's loops stop at their next poll and the call
    // ends with that exception, even where the callable's failure itself
    // only gives a NaN (lock held; without effect outside such a call).
    static void stop_current(PyObject* exc);

private:
    friend class CallbackLock;
    static bool poll(void* ctx);

    SignalStop* outer_ = nullptr;  // the call this one is nested in, on the same thread
    PyThreadState* thread_ = nullptr;  // saved while the lock is released, else null
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// Runs fn, which asks for the lock or runs Python code; a forced unwind
// that ends the thread inside marks it and passes on (never swallowed: the
// runtime aborts the process when it does not reach the thread's start).
template <class Fn>
decltype(auto) marking_thread_end(Fn&& fn) {
    try {
        return std::forward<Fn>(fn)();
    } catch (const abi::__forced_unwind&) {
        mark_thread_ending();
        throw;
    }
}

// Takes the interpreter lock for a thread that released it, marking the
// thread when the interpreter ends it instead.
void restore_thread(PyThreadState* ts);
// PyGILState_Ensure with the same marking.
PyGILState_STATE ensure_gil_state();

// The interpreter lock taken back for a Python callback (or the work on its
// result) by a thread inside a call that released the lock, a worker
// included. The calling thread of the call takes it back with the thread
// state it saved: asked for that way, the lock ends the thread during
// finalisation (a forced unwind) even once the interpreter is gone, where
// PyGILState_Ensure would build a thread state of no interpreter. Workers,
// and a thread that holds the lock already, use PyGILState_Ensure. The
// call's stop hook is set aside meanwhile: looking at signals, it would ask
// for the lock this thread then holds.
class CallbackLock {
public:
    // A thread that the interpreter ended meanwhile holds no lock: then
    // nothing is released.
    ~CallbackLock();
    CallbackLock(const CallbackLock&) = delete;
    CallbackLock& operator=(const CallbackLock&) = delete;

private:
    // Only with_callback_lock takes it: the forced unwind must be marked
    // before the destructor runs.
    CallbackLock();
    template <class Fn>
    friend decltype(auto) with_callback_lock(Fn&& fn);

    ScopedStopHook no_stop_{StopHook{}};
    SignalStop* call_ = nullptr;  // the call whose saved thread state took the lock back
    PyGILState_STATE state_{};
};

// Runs fn under a CallbackLock.
template <class Fn>
decltype(auto) with_callback_lock(Fn&& fn) {
    CallbackLock lock;
    return marking_thread_end(std::forward<Fn>(fn));
}

// Runs fn with the interpreter lock released; the lock is re-taken before
// anything (result or exception) leaves. Pending signals are looked at
// between the steps of long loops (poll_stop); a handler's exception ends
// the call, whatever fn returned.
template <class Fn>
auto without_gil(Fn&& fn) {
    SignalStop stop;
    if constexpr (std::is_void_v<std::invoke_result_t<Fn&>>) {
        {
            SignalStop::Released released(stop);
            fn();
        }
        stop.raise_if_stopped();
    } else {
        auto r = [&] {
            SignalStop::Released released(stop);
            return fn();
        }();
        stop.raise_if_stopped();
        return r;
    }
}

// Unwraps a core result, raising its Python error (lock held). `cause` is
// the exception a Python callback of the call raised: one that is not an
// Exception (KeyboardInterrupt, SystemExit) ends the call as itself, even
// when the numbers came through.
template <class T>
T unwrap(Expected<T> r, Ref cause = {}) {
    reraise_if_not_exception(cause);
    if (!r) raise_core_error(r.error(), std::move(cause));
    return std::move(*r);
}
inline void unwrap(Status r, Ref cause = {}) {
    reraise_if_not_exception(cause);
    if (!r) raise_core_error(r.error(), std::move(cause));
}

// Runs numerical work without the lock and unwraps its result.
template <class Fn>
auto compute(Fn&& fn) {
    auto r = without_gil(std::forward<Fn>(fn));
    return unwrap(std::move(r));
}

// The general check of every evolve: a result that is not all finite is an
// error ("all values must be finite (no NaN/Inf)", kind NanInf), never a
// success.
Status check_finite_result(const std::vector<double>& v);

// Runs an evolve's numerical work without the lock. A result that is not
// all finite becomes the NanInf error: an evolve never stores NaN or inf as
// success, whatever its coefficients did.
template <class Fn>
Expected<std::vector<double>> run_evolve(Fn&& fn) {
    return without_gil([&]() -> Expected<std::vector<double>> {
        Expected<std::vector<double>> r = fn();
        if (r) {
            if (Status st = check_finite_result(*r); !st) return fail(st.error());
        }
        return r;
    });
}

// ---------------------------------------------------------------------------
// Instances, borrows and types
// ---------------------------------------------------------------------------

struct ClassDef;

// Instance layout: the object header, the borrow flag, the value.
template <class T>
struct Instance {
    PyObject_HEAD
    std::atomic<std::intptr_t> borrow;
    bool ready;  // the value is constructed (the allocation zero-fills)
    alignas(T) unsigned char storage[sizeof(T)];

    T& value() { return *std::launder(reinterpret_cast<T*>(storage)); }
};

enum class Borrow { Shared, Exclusive };

class BorrowGuard {
public:
    BorrowGuard(std::atomic<std::intptr_t>& flag, Borrow kind);
    ~BorrowGuard();
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;

private:
    std::atomic<std::intptr_t>* flag_;
    Borrow kind_;
};

struct ClassDef {
    const char* name;
    const char* doc;
    newfunc tp_new = nullptr;
    lenfunc mp_length = nullptr;
    reprfunc tp_repr = nullptr;
    std::vector<PyMethodDef> methods;
    std::vector<PyGetSetDef> getters;
    int basicsize = 0;
    destructor dealloc = nullptr;
    // Set for values that hold Python references (callables): the type then
    // takes part in garbage collection, so cycles through them are freed.
    traverseproc traverse = nullptr;
    inquiry clear = nullptr;
};

// Builds the heap type from its definition (final, no __dict__, no weak
// references, module "builtins"). Throws BindError with the Python error set.
PyTypeObject* build_type(ClassDef& def);

// The class's type object, built once per process. T::class_def() returns
// the definition (a function-local static in the binding file).
template <class T>
PyTypeObject* type_object() {
    static PyTypeObject* type = build_type(T::class_def());
    return type;
}

template <class T>
Instance<T>* downcast(PyObject* o) {
    PyTypeObject* tp = type_object<T>();
    if (o == nullptr || !PyObject_TypeCheck(o, tp)) raise_downcast_error(o, T::class_def().name);
    return reinterpret_cast<Instance<T>*>(o);
}

// Whether o is an instance of T's class.
template <class T>
bool is_instance(PyObject* o) {
    return o != nullptr && PyObject_TypeCheck(o, type_object<T>());
}

// An argument of class T, or the argument error naming it.
template <class T>
Instance<T>* downcast_arg(PyObject* o, const char* arg) {
    if (!is_instance<T>(o)) {
        raise_type_error("argument '" + std::string(arg) + "': '" + (o ? type_name_of(o) : std::string("NoneType")) +
                         "' object cannot be converted to '" + T::class_def().name + "'");
    }
    return reinterpret_cast<Instance<T>*>(o);
}

// Runs fn(value) under a shared borrow of the argument `arg` of class T.
template <class T, class Fn>
decltype(auto) with_shared_arg(PyObject* o, const char* arg, Fn&& fn) {
    Instance<T>* inst = downcast_arg<T>(o, arg);
    BorrowGuard g(inst->borrow, Borrow::Shared);
    return fn(static_cast<const T&>(inst->value()));
}

// Allocates an instance of `subtype` and moves the value in.
template <class T>
PyObject* create_object(T&& value, PyTypeObject* subtype) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(subtype, Py_tp_alloc));
    PyObject* o = alloc(subtype, 0);
    if (!o) throw_python_error();
    auto* inst = reinterpret_cast<Instance<T>*>(o);
    new (&inst->borrow) std::atomic<std::intptr_t>(0);
    new (inst->storage) T(std::move(value));
    inst->ready = true;
    return o;
}

// A new instance of T's own class (static factories).
template <class T>
Ref new_object(T&& value) {
    return Ref(create_object<T>(std::move(value), type_object<T>()));
}

// Runs fn(value) under a shared borrow of an argument of class T.
template <class T, class Fn>
decltype(auto) with_shared(PyObject* o, Fn&& fn) {
    Instance<T>* inst = downcast<T>(o);
    BorrowGuard g(inst->borrow, Borrow::Shared);
    return fn(static_cast<const T&>(inst->value()));
}

// An exclusive borrow of an argument object of class T (an object the call
// changes in place, such as the state an evolver advances), held until the
// holder is destroyed at the end of the body. A foreign object or an object
// borrowed elsewhere is the error of the named argument ("argument 'state':
// Already borrowed"); a conflicting call fails at once instead of waiting.
template <class T>
class ExclusiveArg {
public:
    ExclusiveArg(PyObject* o, const char* arg_name) : inst_(take(o, arg_name)) {}
    ~ExclusiveArg() { inst_->borrow.store(0, std::memory_order_release); }
    ExclusiveArg(const ExclusiveArg&) = delete;
    ExclusiveArg& operator=(const ExclusiveArg&) = delete;

    T& operator*() const { return inst_->value(); }
    T* operator->() const { return &inst_->value(); }

private:
    static Instance<T>* take(PyObject* o, const char* arg_name) {
        try {
            Instance<T>* inst = downcast<T>(o);
            std::intptr_t expected = 0;
            if (!inst->borrow.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
                raise_runtime_error("Already borrowed");
            }
            return inst;
        } catch (const BindError& e) {
            rethrow_for_argument(e, arg_name);
        }
    }

    Instance<T>* inst_;
};

// The exclusive borrow of argument i (named as in the signature).
template <class T>
ExclusiveArg<T> exclusive_arg(const Args& a, std::size_t i) {
    return ExclusiveArg<T>(a.raw(i), a.name(i));
}

template <class T>
void dealloc_instance(PyObject* o) {
    auto* inst = reinterpret_cast<Instance<T>*>(o);
    if (PyType_HasFeature(Py_TYPE(o), Py_TPFLAGS_HAVE_GC)) PyObject_GC_UnTrack(o);
    inst->value().~T();
    PyTypeObject* tp = Py_TYPE(o);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_fn(o);
    Py_DECREF(reinterpret_cast<PyObject*>(tp));
}

// A value with Python references offers
//   int visit_refs(visitproc, void*) const   and   void clear_refs().
template <class T>
concept HoldsPythonRefs = requires(const T& c, T& m, visitproc v, void* arg) {
    { c.visit_refs(v, arg) } -> std::same_as<int>;
    m.clear_refs();
};

// visit_refs and clear_refs over a value's own references: every non-null
// one visited, every one released (the member is emptied before the
// reference is dropped, so that code run by the drop finds it gone).
template <class... R>
    requires(std::same_as<R, Ref> && ...)
int visit_held(visitproc visit, void* arg, const R&... refs) {
    int r = 0;
    ((r = r != 0 || !refs ? r : visit(refs.get(), arg)), ...);
    return r;
}
template <class... R>
    requires(std::same_as<R, Ref> && ...)
void clear_held(R&... refs) {
    (Ref(std::exchange(refs, Ref())), ...);
}
// A held reference that the collector may have cleared while breaking a
// cycle; a call that still reaches the object then fails ("[OutOfDomain]
// <name> was released by the garbage collector").
PyObject* held(const Ref& r, const char* name);

template <class T>
int traverse_instance(PyObject* o, visitproc visit, void* arg) {
    auto* inst = reinterpret_cast<Instance<T>*>(o);
    Py_VISIT(Py_TYPE(o));  // a heap type is owned by its instances
    return inst->ready ? static_cast<const T&>(inst->value()).visit_refs(visit, arg) : 0;
}

// Only unreachable objects are cleared: no call can be running on them.
template <class T>
int clear_instance(PyObject* o) {
    auto* inst = reinterpret_cast<Instance<T>*>(o);
    if (inst->ready) inst->value().clear_refs();
    return 0;
}

// --- body kinds, recognised by their function types -----------------------
//   Ref body(T& self, const Args&)          instance method, exclusive borrow
//   Ref body(const T& self, const Args&)    instance method, shared borrow
//   Ref body(const Args&)                   static method / module function
//   Ref body(PyObject* cls, const Args&)    class method
//   T   body(const Args&)                   constructor (__new__)
//   Ref getter(const T& self)               read-only attribute
//   std::string T::repr() const             __repr__
//   std::size_t T::len() const              __len__

template <class T> using ExclusiveBody = Ref (*)(T&, const Args&);
template <class T> using SharedBody = Ref (*)(const T&, const Args&);
using StaticBody = Ref (*)(const Args&);
using ClassBody = Ref (*)(PyObject*, const Args&);

template <class T>
const char* owner_name() {
    if constexpr (std::is_void_v<T>) return nullptr;
    else return T::class_def().name;
}

// The signature of a method's docstring, parsed once per class and method
// (one docstring may serve several classes).
template <class T, const char* Doc>
const Signature& signature_of() {
    static const Signature sig = Signature::parse(Doc, owner_name<T>());
    return sig;
}
// The name before '(' of a docstring's first line.
const char* intern_name(const char* doc);

template <class T, auto Body>
PyObject* invoke_body(PyObject* self, const Args& a) {
    using B = decltype(Body);
    if constexpr (std::is_same_v<B, StaticBody>) {
        return Body(a).release();
    } else if constexpr (std::is_same_v<B, ClassBody>) {
        return Body(self, a).release();
    } else if constexpr (std::is_same_v<B, ExclusiveBody<T>>) {
        Instance<T>* inst = downcast<T>(self);
        BorrowGuard g(inst->borrow, Borrow::Exclusive);
        return Body(inst->value(), a).release();
    } else {
        static_assert(std::is_same_v<B, SharedBody<T>>, "unsupported method body type");
        Instance<T>* inst = downcast<T>(self);
        BorrowGuard g(inst->borrow, Borrow::Shared);
        return Body(static_cast<const T&>(inst->value()), a).release();
    }
}

template <class T, const char* Doc, auto Body>
PyObject* fastcall_shim(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const Args a = bind_fastcall(signature_of<T, Doc>(), args, nargs, kwnames);
        return invoke_body<T, Body>(self, a);
    });
}

template <class T, const char* Doc, auto Body>
PyObject* noargs_shim(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const Args a(&signature_of<T, Doc>(), {});
        return invoke_body<T, Body>(self, a);
    });
}

// A method entry of a class table (T = void for module functions).
template <class T, const char* Doc, auto Body>
PyMethodDef method() {
    using B = decltype(Body);
    int flags = 0;
    // Module functions (T = void) carry no METH_STATIC bit, so that their
    // __self__ is the module.
    if constexpr (std::is_same_v<B, StaticBody> && !std::is_void_v<T>) flags |= METH_STATIC;
    if constexpr (std::is_same_v<B, ClassBody>) flags |= METH_CLASS;
    const bool no_args = Signature::parse(Doc, nullptr).no_args;
    if (no_args) {
        return {intern_name(Doc), reinterpret_cast<PyCFunction>(&noargs_shim<T, Doc, Body>), flags | METH_NOARGS, Doc};
    }
    return {intern_name(Doc), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_shim<T, Doc, Body>)),
            flags | METH_FASTCALL | METH_KEYWORDS, Doc};
}

template <class T, const char* Doc, auto Body>
PyObject* new_shim(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const Args a = bind_tuple(signature_of<T, Doc>(), args, kwargs);
        T value = Body(a);
        return create_object<T>(std::move(value), subtype);
    });
}

template <class T>
Py_ssize_t len_shim(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        Instance<T>* inst = downcast<T>(self);
        BorrowGuard g(inst->borrow, Borrow::Shared);
        const std::size_t n = static_cast<const T&>(inst->value()).len();
        if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) raise_overflow_error("");
        return static_cast<Py_ssize_t>(n);
    });
}

template <class T>
PyObject* repr_shim(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Instance<T>* inst = downcast<T>(self);
        BorrowGuard g(inst->borrow, Borrow::Shared);
        const std::string s = static_cast<const T&>(inst->value()).repr();
        PyObject* r = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
        if (!r) throw_python_error();
        return r;
    });
}

template <class T, Ref (*Body)(const T&)>
PyObject* getter_shim(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Instance<T>* inst = downcast<T>(self);
        BorrowGuard g(inst->borrow, Borrow::Shared);
        return Body(static_cast<const T&>(inst->value())).release();
    });
}

template <class T, Ref (*Body)(const T&)>
PyGetSetDef getter(const char* name, const char* doc) {
    return {name, &getter_shim<T, Body>, nullptr, doc, nullptr};
}

// The common parts of a class definition for value type T.
template <class T>
ClassDef class_def_base(const char* name, const char* doc) {
    ClassDef d;
    d.name = name;
    d.doc = doc;
    d.basicsize = static_cast<int>(sizeof(Instance<T>));
    d.dealloc = &dealloc_instance<T>;
    if constexpr (HoldsPythonRefs<T>) {
        d.traverse = &traverse_instance<T>;
        d.clear = &clear_instance<T>;
    }
    if constexpr (requires(const T& t) { t.len(); }) d.mp_length = &len_shim<T>;
    if constexpr (requires(const T& t) { t.repr(); }) d.tp_repr = &repr_shim<T>;
    return d;
}

template <class T, const char* Doc, auto Body>
newfunc constructor() {
    return &new_shim<T, Doc, Body>;
}

// ---------------------------------------------------------------------------
// Calls that keep the interpreter lock
// ---------------------------------------------------------------------------

// The stop hook of such a call: runs the signal handlers directly; true when
// one raised (its exception stays set).
bool signal_raised_with_lock_held(void*);

// Runs a core loop of a call that keeps the interpreter lock throughout,
// with Ctrl-C answered between its steps (poll_stop): an exception a signal
// handler raises (KeyboardInterrupt) ends the call once the loop returns.
// fn returns a Status or an Expected, returned as it is otherwise.
template <class Fn>
auto run_with_lock_held(Fn&& fn) {
    ScopedStopHook hook(StopHook{&signal_raised_with_lock_held, nullptr});
    auto r = fn();
    if (!r && r.error().variant() == CoreError::Variant::CallbackFailed && PyErr_Occurred()) throw_python_error();
    return r;
}

// ---------------------------------------------------------------------------
// Small result builders
// ---------------------------------------------------------------------------

Ref none();
Ref py_float(double v);
Ref py_int(std::uint64_t v);
// base**exp as an exact Python int (no 64-bit wrap-around).
Ref py_int_pow(std::uint64_t base, unsigned exp);
Ref py_bool(bool v);
Ref py_str(std::string_view s);
Ref py_tuple(std::initializer_list<Ref> items);
// A new list of Python floats.
Ref py_float_list(std::span<const double> values);

}  // namespace quorvane::py
