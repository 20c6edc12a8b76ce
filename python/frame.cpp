#include "python/frame.hpp"

#include "core/foundation/format.hpp"
#include "core/foundation/grid_fn.hpp"

#include <cmath>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace quorvane::py {

Status check_finite_result(const std::vector<double>& v) {
    if (const double* bad = first_non_finite<double>(v)) {
        return domain_error("all values must be finite (no NaN/Inf)", *bad);
    }
    return {};
}

// ---------------------------------------------------------------------------
// Pending signals
// ---------------------------------------------------------------------------

namespace {
thread_local bool t_thread_ending = false;
thread_local SignalStop* t_current_stop = nullptr;  // the calling thread's call without the lock
}  // namespace

void restore_thread(PyThreadState* ts) {
    marking_thread_end([ts] { PyEval_RestoreThread(ts); });
}

bool thread_ending() { return t_thread_ending; }
void mark_thread_ending() { t_thread_ending = true; }

PyGILState_STATE ensure_gil_state() {
    return marking_thread_end([] { return PyGILState_Ensure(); });
}

SignalStop::~SignalStop() {
    if (thread_ending()) return;  // no lock: the interpreter keeps what it gave
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
}

SignalStop::Released::Released(SignalStop& stop)
    : stop_(stop), hook_((stop.thread_ = PyEval_SaveThread(), StopHook{&SignalStop::poll, &stop})) {
    stop.outer_ = std::exchange(t_current_stop, &stop);
}

// Also runs while such a forced unwind passes: the lock is then not asked for again.
SignalStop::Released::~Released() noexcept(false) {
    t_current_stop = stop_.outer_;
    if (!thread_ending()) restore_thread(std::exchange(stop_.thread_, nullptr));
}

void SignalStop::stop_current(PyObject* exc) {
    SignalStop* self = t_current_stop;
    if (self == nullptr || self->type_ || exc == nullptr || PyObject_IsInstance(exc, PyExc_Exception) != 0) return;
    self->type_ = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    self->value_ = Py_NewRef(exc);
    self->traceback_ = PyException_GetTraceback(exc);
}

bool SignalStop::poll(void* ctx) {
    auto* self = static_cast<SignalStop*>(ctx);
    if (self->type_) return true;
    restore_thread(std::exchange(self->thread_, nullptr));
    if (PyErr_CheckSignals() < 0) PyErr_Fetch(&self->type_, &self->value_, &self->traceback_);
    const bool stop = self->type_ != nullptr;
    self->thread_ = PyEval_SaveThread();
    return stop;
}

CallbackLock::CallbackLock() {
    if (SignalStop* call = t_current_stop; call != nullptr && call->thread_ != nullptr) {
        restore_thread(std::exchange(call->thread_, nullptr));
        call_ = call;
    } else {
        state_ = ensure_gil_state();
    }
}

CallbackLock::~CallbackLock() {
    if (thread_ending()) return;
    if (call_ != nullptr) call_->thread_ = PyEval_SaveThread();
    else PyGILState_Release(state_);
}

void SignalStop::raise_if_stopped() {
    if (!type_) return;
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr), std::exchange(traceback_, nullptr));
    throw_python_error();
}

// ---------------------------------------------------------------------------
// Signatures and argument binding
// ---------------------------------------------------------------------------

namespace {

std::string trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return std::string(s.substr(b, e - b));
}

// Splits a parameter list at top-level commas (quotes and brackets respected).
std::vector<std::string> split_params(std::string_view s) {
    std::vector<std::string> out;
    int depth = 0;
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t k = 0; k < s.size(); ++k) {
        const char c = s[k];
        if (quote) {
            if (c == quote) quote = 0;
            continue;
        }
        if (c == '"' || c == '\'') quote = c;
        else if (c == '(' || c == '[' || c == '{') ++depth;
        else if (c == ')' || c == ']' || c == '}') --depth;
        else if (c == ',' && depth == 0) {
            out.push_back(trim(s.substr(start, k - start)));
            start = k + 1;
        }
    }
    std::string last = trim(s.substr(start));
    if (!last.empty()) out.push_back(last);
    return out;
}

std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (k > 0) out += (k + 1 == names.size()) ? " and " : ", ";
        out += "'" + names[k] + "'";
    }
    return out;
}

}  // namespace

Signature Signature::parse(const char* doc, const char* owner) {
    Signature sig;
    std::string_view line(doc);
    if (auto nl = line.find('\n'); nl != std::string_view::npos) line = line.substr(0, nl);
    const auto open = line.find('(');
    const auto close = line.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        internal_fault("malformed signature line in docstring");
    }
    sig.name = std::string(line.substr(0, open));
    if (owner == nullptr) sig.display_name = sig.name + "()";
    else if (sig.name == owner) sig.display_name = std::string(owner) + ".__new__()";
    else sig.display_name = std::string(owner) + "." + sig.name + "()";
    bool keyword_only = false;
    for (const std::string& p : split_params(line.substr(open + 1, close - open - 1))) {
        if (p == "$self" || p == "$cls" || p == "/") continue;
        if (p == "*") {
            keyword_only = true;
            continue;
        }
        const auto eq = p.find('=');
        sig.params.push_back(trim(std::string_view(p).substr(0, eq)));
        sig.required.push_back(eq == std::string::npos);
        if (!keyword_only) ++sig.n_positional;
    }
    sig.no_args = sig.params.empty();
    return sig;
}

namespace {

Args bind_common(const Signature& sig, PyObject* const* pos, std::size_t npos,
                 const std::vector<std::pair<PyObject*, PyObject*>>& kw) {
    const std::size_t total = sig.params.size();
    if (npos > sig.n_positional) {
        std::size_t min_pos = 0;
        while (min_pos < sig.n_positional && sig.required[min_pos]) ++min_pos;
        const char* was = npos == 1 ? "was" : "were";
        std::string msg = sig.display_name + " takes ";
        if (min_pos == sig.n_positional) msg += std::to_string(sig.n_positional);
        else msg += "from " + std::to_string(min_pos) + " to " + std::to_string(sig.n_positional);
        msg += " positional arguments but " + std::to_string(npos) + " " + was + " given";
        raise_type_error(msg);
    }
    std::vector<PyObject*> vals(total, nullptr);
    for (std::size_t k = 0; k < npos; ++k) vals[k] = pos[k];
    for (const auto& [key, value] : kw) {
        std::size_t idx = total;
        for (std::size_t k = 0; k < total; ++k) {
            if (PyUnicode_CompareWithASCIIString(key, sig.params[k].c_str()) == 0) {
                idx = k;
                break;
            }
        }
        if (idx == total) {
            Py_ssize_t len = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
            if (!utf8) throw_python_error();
            raise_type_error(sig.display_name + " got an unexpected keyword argument '" +
                             std::string(utf8, static_cast<std::size_t>(len)) + "'");
        }
        if (vals[idx] != nullptr) {
            raise_type_error(sig.display_name + " got multiple values for argument '" + sig.params[idx] + "'");
        }
        vals[idx] = value;
    }
    std::vector<std::string> missing_pos, missing_kw;
    for (std::size_t k = 0; k < total; ++k) {
        if (vals[k] == nullptr && sig.required[k]) {
            (k < sig.n_positional ? missing_pos : missing_kw).push_back(sig.params[k]);
        }
    }
    if (!missing_pos.empty()) {
        raise_type_error(sig.display_name + " missing " + std::to_string(missing_pos.size()) +
                         " required positional argument" + (missing_pos.size() == 1 ? "" : "s") + ": " +
                         quoted_list(missing_pos));
    }
    if (!missing_kw.empty()) {
        raise_type_error(sig.display_name + " missing " + std::to_string(missing_kw.size()) +
                         " required keyword argument" + (missing_kw.size() == 1 ? "" : "s") + ": " +
                         quoted_list(missing_kw));
    }
    return Args(&sig, std::move(vals));
}

}  // namespace

Args bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // METH_FASTCALL bodies receive the plain count; the offset flag is cleared defensively.
    const std::size_t npos = static_cast<std::size_t>(nargs) & ~(std::size_t{1} << (8 * sizeof(std::size_t) - 1));
    std::vector<std::pair<PyObject*, PyObject*>> kw;
    if (kwnames) {
        const Py_ssize_t nk = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nk; ++k) kw.emplace_back(PyTuple_GetItem(kwnames, k), args[npos + k]);
    }
    return bind_common(sig, args, npos, kw);
}

Args bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs) {
    std::vector<PyObject*> pos;
    const Py_ssize_t n = args ? PyTuple_Size(args) : 0;
    for (Py_ssize_t k = 0; k < n; ++k) pos.push_back(PyTuple_GetItem(args, k));
    std::vector<std::pair<PyObject*, PyObject*>> kw;
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t p = 0;
        while (PyDict_Next(kwargs, &p, &key, &value)) kw.emplace_back(key, value);
    }
    return bind_common(sig, pos.data(), pos.size(), kw);
}

namespace {

// Re-raises a pending TypeError as "argument '<name>': <message>"; other
// errors pass unchanged.
[[noreturn]] void rethrow_argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_python_error();
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref t(type), v(value), b(tb);
    std::string msg;
    if (v) {
        Ref s(PyObject_Str(v.get()));
        if (s) {
            Py_ssize_t len = 0;
            if (const char* u = PyUnicode_AsUTF8AndSize(s.get(), &len)) msg.assign(u, static_cast<std::size_t>(len));
        }
        PyErr_Clear();
    }
    raise_type_error("argument '" + std::string(name) + "': " + msg);
}

}  // namespace

double to_f64(PyObject* o, const char* name) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) rethrow_argument_error(name);
    return v;
}

std::uint64_t to_u64(PyObject* o, const char* name) {
    Ref idx(PyNumber_Index(o));
    if (!idx) rethrow_argument_error(name);
    const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) rethrow_argument_error(name);
    return static_cast<std::uint64_t>(v);
}

std::optional<std::uint32_t> to_u32(PyObject* o, const char* name) {
    Ref idx(PyNumber_Index(o));
    if (!idx) rethrow_argument_error(name);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
    if (v == -1 && overflow == 0 && PyErr_Occurred()) rethrow_argument_error(name);
    if (overflow != 0 || v < 0 || v > 0xFFFFFFFFll) return std::nullopt;
    return static_cast<std::uint32_t>(v);
}

void raise_conversion_error(PyObject* o, const char* name, const char* target) {
    raise_type_error("argument '" + std::string(name) + "': '" + type_name_of(o) + "' object cannot be converted to '" +
                     target + "'");
}

void rethrow_for_argument(const BindError& e, const char* name) {
    if (e.kind() == BindError::Kind::AlreadySet || e.kind() == BindError::Kind::Quorvane) throw e;
    throw BindError(e.kind(), "argument '" + std::string(name) + "': " + e.message(), e.cause());
}

std::string to_str(PyObject* o, const char* name) {
    if (!PyUnicode_Check(o)) raise_conversion_error(o, name, "PyString");
    Py_ssize_t len = 0;
    const char* u = PyUnicode_AsUTF8AndSize(o, &len);
    if (!u) rethrow_argument_error(name);
    return std::string(u, static_cast<std::size_t>(len));
}

double Args::f64(std::size_t i) const { return to_f64(vals_[i], name(i)); }
std::uint64_t Args::u64(std::size_t i) const { return to_u64(vals_[i], name(i)); }
// A 32-bit count refuses everything it cannot hold with one text, negative and
// huge values alike; the 64-bit conversions keep the interpreter's own texts.
std::uint32_t Args::u32(std::size_t i) const {
    const std::optional<std::uint32_t> v = to_u32(vals_[i], name(i));
    if (!v) raise_overflow_error("out of range integral type conversion attempted");
    return *v;
}
std::string Args::str(std::size_t i) const { return to_str(vals_[i], name(i)); }
PyObject* Args::list(std::size_t i) const {
    if (!PyList_Check(vals_[i])) raise_conversion_error(vals_[i], name(i), "PyList");
    return vals_[i];
}
PyObject* Args::tuple(std::size_t i) const {
    if (!PyTuple_Check(vals_[i])) raise_conversion_error(vals_[i], name(i), "PyTuple");
    return vals_[i];
}
bool Args::flag(std::size_t i) const {
    const int r = PyObject_IsTrue(vals_[i]);
    if (r < 0) rethrow_argument_error(name(i));
    return r != 0;
}

std::string type_name_of(PyObject* o) {
    Ref n(PyType_GetName(Py_TYPE(o)));
    if (!n) {
        PyErr_Clear();
        return "object";
    }
    Py_ssize_t len = 0;
    const char* u = PyUnicode_AsUTF8AndSize(n.get(), &len);
    if (!u) {
        PyErr_Clear();
        return "object";
    }
    return std::string(u, static_cast<std::size_t>(len));
}

void raise_downcast_error(PyObject* o, const char* class_name) {
    if (o == nullptr || o == Py_None) raise_type_error("'None' is not an instance of '" + std::string(class_name) + "'");
    raise_type_error("'" + type_name_of(o) + "' object is not an instance of '" + std::string(class_name) + "'");
}

// ---------------------------------------------------------------------------
// Borrows and types
// ---------------------------------------------------------------------------

BorrowGuard::BorrowGuard(std::atomic<std::intptr_t>& flag, Borrow kind) : flag_(&flag), kind_(kind) {
    if (kind == Borrow::Exclusive) {
        std::intptr_t expected = 0;
        if (!flag.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
            raise_runtime_error("Already borrowed");
        }
        return;
    }
    std::intptr_t cur = flag.load(std::memory_order_relaxed);
    for (;;) {
        if (cur == -1) raise_runtime_error("Already mutably borrowed");
        if (flag.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire)) return;
    }
}

BorrowGuard::~BorrowGuard() {
    if (kind_ == Borrow::Exclusive) flag_->store(0, std::memory_order_release);
    else flag_->fetch_sub(1, std::memory_order_release);
}

const char* intern_name(const char* doc) {
    static std::mutex mu;
    static std::unordered_map<const char*, std::string>* names = new std::unordered_map<const char*, std::string>();
    std::lock_guard<std::mutex> lock(mu);
    auto it = names->find(doc);
    if (it == names->end()) {
        std::string_view line(doc);
        it = names->emplace(doc, std::string(line.substr(0, line.find('(')))).first;
    }
    return it->second.c_str();
}

PyTypeObject* build_type(ClassDef& def) {
    // The type keeps pointers into these for its whole life: leak them.
    auto* full_name = new std::string(std::string("builtins.") + def.name);
    auto* slots = new std::vector<PyType_Slot>();
    slots->push_back({Py_tp_doc, const_cast<char*>(def.doc)});
    slots->push_back({Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc)});
    if (def.traverse) {
        slots->push_back({Py_tp_traverse, reinterpret_cast<void*>(def.traverse)});
        slots->push_back({Py_tp_clear, reinterpret_cast<void*>(def.clear)});
    }
    if (def.tp_new) slots->push_back({Py_tp_new, reinterpret_cast<void*>(def.tp_new)});
    if (def.mp_length) slots->push_back({Py_mp_length, reinterpret_cast<void*>(def.mp_length)});
    if (def.tp_repr) slots->push_back({Py_tp_repr, reinterpret_cast<void*>(def.tp_repr)});
    if (!def.methods.empty()) {
        def.methods.push_back({nullptr, nullptr, 0, nullptr});
        slots->push_back({Py_tp_methods, def.methods.data()});
    }
    if (!def.getters.empty()) {
        def.getters.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
        slots->push_back({Py_tp_getset, def.getters.data()});
    }
    slots->push_back({0, nullptr});
    unsigned int flags = Py_TPFLAGS_DEFAULT;
    if (def.traverse) flags |= Py_TPFLAGS_HAVE_GC;
    if (!def.tp_new) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    auto* spec = new PyType_Spec{full_name->c_str(), def.basicsize, 0, flags, slots->data()};
    PyObject* type = PyType_FromSpec(spec);
    if (!type) throw_python_error();
    return reinterpret_cast<PyTypeObject*>(type);
}

bool signal_raised_with_lock_held(void*) { return PyErr_CheckSignals() != 0; }

// ---------------------------------------------------------------------------
// Results
// ---------------------------------------------------------------------------

namespace {
Ref checked(PyObject* o) {
    if (!o) throw_python_error();
    return Ref(o);
}
}  // namespace

PyObject* held(const Ref& r, const char* name) {
    if (!r) py_err_with_kind("OutOfDomain", std::string(name) + " was released by the garbage collector");
    return r.get();
}

Ref none() { return Ref::borrowed(Py_None); }
Ref py_float(double v) { return checked(PyFloat_FromDouble(v)); }
Ref py_int(std::uint64_t v) { return checked(PyLong_FromUnsignedLongLong(v)); }
Ref py_int_pow(std::uint64_t base, unsigned exp) {
    Ref b = py_int(base), e = py_int(exp);
    return checked(PyNumber_Power(b.get(), e.get(), Py_None));
}
Ref py_bool(bool v) { return checked(PyBool_FromLong(v ? 1 : 0)); }
Ref py_str(std::string_view s) { return checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))); }
Ref py_tuple(std::initializer_list<Ref> items) {
    Ref t = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t k = 0;
    for (const Ref& r : items) PyTuple_SetItem(t.get(), k++, Ref(r).release());
    return t;
}

Ref py_float_list(std::span<const double> values) {
    Ref l = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t k = 0; k < values.size(); ++k) {
        PyList_SetItem(l.get(), static_cast<Py_ssize_t>(k), py_float(values[k]).release());
    }
    return l;
}

}  // namespace quorvane::py
