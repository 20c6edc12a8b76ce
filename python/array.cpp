#include "python/array.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace quorvane::py {
namespace {

// Type numbers of NumPy's array API.
constexpr int kNpyBool = 0;
constexpr int kNpyLong = 7;  // int64 on LP64 platforms
constexpr int kNpyFloat = 11;
constexpr int kNpyDouble = 12;
constexpr int kNpyComplexDouble = 15;

using PyArrayNew = PyObject* (*)(PyTypeObject*, int, const Py_ssize_t*, int, const Py_ssize_t*, void*, int, int,
                                 PyObject*);

struct NumpyApi {
    PyTypeObject* array_type = nullptr;
    PyArrayNew array_new = nullptr;
    // Whether the data pointer sits right after the object header (the
    // layout of every NumPy release so far); checked once against the buffer
    // protocol, which is used instead when it does not hold.
    bool data_after_header = false;
};

void* data_pointer(PyObject* arr, const NumpyApi& api) {
    if (api.data_after_header) return *reinterpret_cast<void**>(reinterpret_cast<char*>(arr) + sizeof(PyObject));
    return nullptr;
}

NumpyApi load_numpy_api() {
    Ref mod(PyImport_ImportModule("numpy._core._multiarray_umath"));
    if (!mod) {
        PyErr_Clear();
        mod = Ref(PyImport_ImportModule("numpy.core._multiarray_umath"));
    }
    if (!mod) throw_python_error();
    Ref cap(PyObject_GetAttrString(mod.get(), "_ARRAY_API"));
    if (!cap) throw_python_error();
    void** table = static_cast<void**>(PyCapsule_GetPointer(cap.get(), nullptr));
    if (!table) throw_python_error();
    NumpyApi api;
    api.array_type = static_cast<PyTypeObject*>(table[2]);
    api.array_new = reinterpret_cast<PyArrayNew>(table[93]);
    // Self-check of the table entries and of the data pointer's place.
    const Py_ssize_t dims[1] = {3};
    Ref probe(api.array_new(api.array_type, 1, dims, kNpyDouble, nullptr, nullptr, 0, 0, nullptr));
    if (!probe) throw_python_error();
    auto b = Buffer::get(probe.get(), PyBUF_RECORDS_RO);
    if (!b || !b->is_f64() || b->ndim() != 1 || b->shape(0) != 3) {
        internal_fault("numpy array API does not match the expected layout");
    }
    api.data_after_header = *reinterpret_cast<void**>(reinterpret_cast<char*>(probe.get()) + sizeof(PyObject)) ==
                            b->view().buf;
    return api;
}

// Kept under the interpreter lock, not behind a static's guard: the import
// runs Python code, which lets other threads take the lock, and one of them
// asking for the table would wait on the guard with the lock held while the
// import waits for the lock. Threads that load it at once keep the first.
const NumpyApi& numpy_api() {
    static const NumpyApi* api = nullptr;
    if (api == nullptr) {
        const NumpyApi loaded = load_numpy_api();
        if (api == nullptr) api = new NumpyApi(loaded);
    }
    return *api;
}

// A new array and the start of its data (null when it holds no element).
std::pair<Ref, void*> unfilled_array(int nd, const Py_ssize_t* dims, int type_num, std::size_t count) {
    const NumpyApi& api = numpy_api();
    Ref arr(api.array_new(api.array_type, nd, dims, type_num, nullptr, nullptr, 0, 0, nullptr));
    if (!arr) throw_python_error();
    if (count == 0) return {std::move(arr), nullptr};
    if (void* dst = data_pointer(arr.get(), api)) return {std::move(arr), dst};
    // The data of an array does not move while it lives: the pointer
    // outlasts the view.
    auto b = Buffer::get(arr.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    if (!b) throw_python_error();
    void* dst = b->view().buf;
    return {std::move(arr), dst};
}

Ref new_array(int nd, const Py_ssize_t* dims, int type_num, std::size_t elem_size, const void* src,
              std::size_t count) {
    auto [arr, dst] = unfilled_array(nd, dims, type_num, count);
    if (dst) std::memcpy(dst, src, count * elem_size);
    return std::move(arr);
}

}  // namespace

std::pair<Ref, std::span<double>> new_array_f64_unfilled(std::size_t n) {
    const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(n)};
    auto [arr, dst] = unfilled_array(1, dims, kNpyDouble, n);
    return {std::move(arr), std::span<double>(static_cast<double*>(dst), n)};
}

Ref new_array_f64(std::span<const double> values) {
    const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(values.size())};
    return new_array(1, dims, kNpyDouble, sizeof(double), values.data(), values.size());
}

Ref new_array_f64_2d(std::size_t rows, std::size_t cols, std::span<const double> row_major) {
    if (row_major.size() < rows * cols) internal_fault("new_array_f64_2d: buffer shorter than rows*cols");
    const Py_ssize_t dims[2] = {static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols)};
    return new_array(2, dims, kNpyDouble, sizeof(double), row_major.data(), rows * cols);
}

namespace {

// method(*args, order="F"); null with the Python error set on failure.
Ref call_with_fortran_order(PyObject* method, PyObject* args) {
    Ref kwargs(PyDict_New());
    Ref order(PyUnicode_FromString("F"));
    if (!kwargs || !order || PyDict_SetItemString(kwargs.get(), "order", order.get()) != 0) return {};
    return Ref(PyObject_Call(method, args, kwargs.get()));
}

}  // namespace

Ref reshape_fortran(const Ref& arr, std::span<const std::size_t> shape) {
    Ref dims(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    if (!dims) throw_python_error();
    for (std::size_t k = 0; k < shape.size(); ++k) {
        PyObject* d = PyLong_FromSize_t(shape[k]);
        if (!d) throw_python_error();
        PyTuple_SetItem(dims.get(), static_cast<Py_ssize_t>(k), d);
    }
    Ref args(PyTuple_Pack(1, dims.get()));
    if (!args) throw_python_error();
    Ref method(PyObject_GetAttrString(arr.get(), "reshape"));
    Ref r = method ? call_with_fortran_order(method.get(), args.get()) : Ref();
    if (!r) {
        // NumPy's refusal becomes a ValueError carrying its message.
        PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
        PyErr_Fetch(&type, &value, &tb);
        Ref t(type), v(value), b(tb);
        Ref text(v ? PyObject_Str(v.get()) : nullptr);
        const char* msg = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
        if (!msg) PyErr_Clear();
        raise_value_error(msg ? msg : "reshape failed");
    }
    return r;
}

Ref ravel_fortran(PyObject* o) {
    Ref args(PyTuple_New(0));
    if (!args) throw_python_error();
    // An object without a ravel method is not an array at all: the caller
    // answers that with the argument's own TypeError, not the lookup's
    // AttributeError.
    Ref method(PyObject_GetAttrString(o, "ravel"));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
        PyErr_Clear();
        return {};
    }
    Ref r = call_with_fortran_order(method.get(), args.get());
    if (!r) throw_python_error();
    return r;
}

Ref new_array_bool(std::span<const bool> values) {
    std::vector<unsigned char> bytes(values.begin(), values.end());
    const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(values.size())};
    return new_array(1, dims, kNpyBool, 1, bytes.data(), bytes.size());
}

Ref new_array_i64(std::span<const long long> values) {
    const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(values.size())};
    return new_array(1, dims, kNpyLong, sizeof(long long), values.data(), values.size());
}

Ref new_array_f32(std::span<const float> values) {
    const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(values.size())};
    return new_array(1, dims, kNpyFloat, sizeof(float), values.data(), values.size());
}

Ref new_array_complex128(std::span<const double> interleaved) {
    const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(interleaved.size() / 2)};
    return new_array(1, dims, kNpyComplexDouble, 2 * sizeof(double), interleaved.data(), interleaved.size() / 2);
}

std::optional<Buffer> Buffer::get(PyObject* o, int flags) {
    Buffer b;
    if (PyObject_GetBuffer(o, &b.view_, flags) != 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    b.held_ = true;
    return std::optional<Buffer>(std::move(b));
}

Buffer::Buffer(Buffer&& o) noexcept : view_(o.view_), held_(o.held_) { o.held_ = false; }

Buffer::~Buffer() {
    if (held_) PyBuffer_Release(&view_);
}

bool Buffer::is_f64() const {
    if (view_.itemsize != 8 || view_.format == nullptr) return false;
    const char* f = view_.format;
    if (*f == '@' || *f == '=') ++f;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    else if (*f == '<') ++f;
#else
    else if (*f == '>' || *f == '!') ++f;
#endif
    return f[0] == 'd' && f[1] == '\0';
}

namespace {

// The format code after an optional native byte-order prefix, or 0.
char native_code(const Py_buffer& v) {
    if (v.format == nullptr) return 0;
    const char* f = v.format;
    if (*f == '@' || *f == '=') ++f;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    else if (*f == '<') ++f;
#else
    else if (*f == '>' || *f == '!') ++f;
#endif
    return f[0] != '\0' && f[1] == '\0' ? f[0] : 0;
}

}  // namespace

bool Buffer::is_i64() const {
    const char c = native_code(view_);
    return view_.itemsize == 8 && (c == 'q' || c == 'l');
}

bool Buffer::is_i32() const {
    const char c = native_code(view_);
    return view_.itemsize == 4 && (c == 'i' || c == 'l');
}

bool Buffer::contiguous() const {
    if (view_.len == 0) return true;
    if (view_.buf == nullptr) return false;
    if (reinterpret_cast<std::uintptr_t>(view_.buf) % static_cast<std::uintptr_t>(view_.itemsize) != 0) return false;
    return PyBuffer_IsContiguous(&view_, 'A') != 0;
}

namespace {

[[noreturn]] void raise_array_type(PyObject* o, const char* name, const char* target) {
    raise_type_error("argument '" + std::string(name) + "': '" + type_name_of(o) +
                     "' object cannot be converted to '" + target + "'");
}

}  // namespace

Buffer extract_f64_array(PyObject* o, const char* name) {
    auto buf = Buffer::get(o, PyBUF_RECORDS_RO);
    if (!buf || !buf->is_f64()) raise_array_type(o, name, "PyArray<f64, IxDyn>");
    return std::move(*buf);
}

Array2D extract_f64_array_2d(PyObject* o, const char* name) {
    auto buf = Buffer::get(o, PyBUF_RECORDS_RO);
    if (!buf || !buf->is_f64()) raise_array_type(o, name, "PyArray<f64, Ix2>");
    if (buf->ndim() != 2) {
        raise_type_error("argument '" + std::string(name) + "': dimensionality mismatch: expected 2, got " +
                         std::to_string(buf->ndim()));
    }
    const auto rows = static_cast<std::size_t>(buf->shape(0));
    const auto cols = static_cast<std::size_t>(buf->shape(1));
    return Array2D{rows, cols, std::move(buf)};
}

Buffer extract_array_1d(PyObject* o, const char* name, ElemKind kind) {
    auto buf = Buffer::get(o, PyBUF_RECORDS_RO);
    const char* target = kind == ElemKind::F64 ? "PyArray<f64, Ix1>" : kind == ElemKind::I64 ? "PyArray<i64, Ix1>"
                                                                                              : "PyArray<i32, Ix1>";
    const bool ok = buf && (kind == ElemKind::F64 ? buf->is_f64() : kind == ElemKind::I64 ? buf->is_i64()
                                                                                          : buf->is_i32());
    if (!ok) raise_array_type(o, name, target);
    if (buf->ndim() != 1) {
        raise_type_error("argument '" + std::string(name) + "': dimensionality mismatch: expected 1, got " +
                         std::to_string(buf->ndim()));
    }
    return std::move(*buf);
}

std::optional<std::vector<double>> float_vector_keeping_error(PyObject* o) {
    if (auto b = Buffer::get(o, PyBUF_RECORDS_RO); b && b->ndim() == 1 && b->is_f64()) {
        const Py_ssize_t n = b->shape(0);
        std::vector<double> out(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = b->at(i);
        return out;
    }
    if (PyUnicode_Check(o) || !PySequence_Check(o)) return std::nullopt;
    // Complex arrays are refused like complex items: float() of a NumPy
    // complex would drop the imaginary part with only a warning.
    if (auto b = Buffer::get(o, PyBUF_FORMAT); b && b->view().format && std::strchr(b->view().format, 'Z')) {
        return std::nullopt;
    }
    std::vector<double> out;
    // The length only sizes the first allocation, and is capped: a
    // sequence may claim far more items than it yields.
    constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 16;
    const Py_ssize_t hint = PySequence_Size(o);
    if (hint < 0) PyErr_Clear();
    else out.reserve(static_cast<std::size_t>(std::min(hint, kMaxReserve)));
    Ref it(PyObject_GetIter(o));
    if (!it) return std::nullopt;
    while (Ref item{PyIter_Next(it.get())}) {
        if (PyComplex_Check(item.get())) return std::nullopt;
        const double v = PyFloat_AsDouble(item.get());
        if (v == -1.0 && PyErr_Occurred()) return std::nullopt;
        out.push_back(v);
    }
    if (PyErr_Occurred()) return std::nullopt;
    return out;
}

std::optional<std::vector<double>> try_float_vector(PyObject* o) {
    std::optional<std::vector<double>> v = float_vector_keeping_error(o);
    if (!v) PyErr_Clear();
    return v;
}

std::vector<double> float_vec_arg(const Args& a, std::size_t i) {
    auto v = try_float_vector(a.raw(i));
    if (!v) {
        raise_type_error("argument '" + std::string(a.name(i)) +
                         "': expected a numpy.ndarray[float64] or a sequence of floats");
    }
    return std::move(*v);
}

std::vector<std::uint64_t> uint_vec_arg(const Args& a, std::size_t i, std::uint64_t max) {
    PyObject* o = a.raw(i);
    const std::string name = a.name(i);
    if (o == nullptr || PyUnicode_Check(o) || !PySequence_Check(o)) {
        raise_type_error("argument '" + name + "': expected a sequence of non-negative integers");
    }
    Ref it(PyObject_GetIter(o));
    if (!it) throw_python_error();
    std::vector<std::uint64_t> out;
    while (Ref item{PyIter_Next(it.get())}) {
        // Entries bounded by 32 bits refuse negative values with the same text
        // as too large ones, as a 32-bit count argument does.
        std::optional<std::uint64_t> v;
        if (max <= 0xFFFFFFFFull) v = to_u32(item.get(), name.c_str());
        else v = to_u64(item.get(), name.c_str());
        if (!v || *v > max) raise_overflow_error("argument '" + name + "': out of range integral type conversion attempted");
        out.push_back(*v);
    }
    if (PyErr_Occurred()) throw_python_error();
    return out;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> index_pairs_arg(PyObject* o, const char* name) {
    auto refuse = [&]() -> void {
        raise_type_error("argument '" + std::string(name) + "': expected a sequence of (int, int) tuples");
    };
    if (o == nullptr || PyUnicode_Check(o) || !PySequence_Check(o)) refuse();
    Ref it(PyObject_GetIter(o));
    if (!it) throw_python_error();
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    while (Ref item{PyIter_Next(it.get())}) {
        if (!PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 2) refuse();
        const std::uint64_t i = to_u64(PyTuple_GetItem(item.get(), 0), name);
        const std::uint64_t j = to_u64(PyTuple_GetItem(item.get(), 1), name);
        out.emplace_back(i, j);
    }
    if (PyErr_Occurred()) throw_python_error();
    return out;
}

std::expected<ComplexParts, ComplexPartsError> try_complex_parts(PyObject* o) {
    Ref re(PyObject_GetAttrString(o, "real"));
    Ref im(re ? PyObject_GetAttrString(o, "imag") : nullptr);
    if (!re || !im) {
        PyErr_Clear();
        return std::unexpected(ComplexPartsError::NoAttribute);
    }
    std::optional<std::vector<double>> vre = try_float_vector(re.get());
    if (!vre) return std::unexpected(ComplexPartsError::Real);
    std::optional<std::vector<double>> vim = try_float_vector(im.get());
    if (!vim) return std::unexpected(ComplexPartsError::Imag);
    if (vre->size() != vim->size()) return std::unexpected(ComplexPartsError::LengthMismatch);
    return ComplexParts{std::move(*vre), std::move(*vim)};
}

}  // namespace quorvane::py
