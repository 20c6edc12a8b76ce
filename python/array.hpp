// NumPy arrays without NumPy's C headers: results are created through the
// array API table that NumPy publishes in its "_ARRAY_API" capsule, inputs
// are read through the buffer protocol (or the sequence protocol).
#pragma once

#include <cstddef>
#include <cstring>
#include <expected>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "python/frame.hpp"

namespace quorvane::py {

// A new C-contiguous 1-D float64 array holding a copy of `values`.
Ref new_array_f64(std::span<const double> values);
// A new C-contiguous 1-D float64 array of n elements, not yet filled, and
// its data: the caller fills it before the array is seen anywhere else, and
// may do so without the interpreter lock (where a large result's pages are
// first touched).
std::pair<Ref, std::span<double>> new_array_f64_unfilled(std::size_t n);
// A new C-contiguous float64 array of shape [rows, cols] from row-major data.
Ref new_array_f64_2d(std::size_t rows, std::size_t cols, std::span<const double> row_major);
// arr.reshape(shape, order="F"); a refusal raises ValueError with NumPy's
// message.
Ref reshape_fortran(const Ref& arr, std::span<const std::size_t> shape);
// o.ravel(order="F"); null with no error pending when o has no ravel
// method, and a failing call raises its Python error as is.
Ref ravel_fortran(PyObject* o);
// A new 1-D bool array.
Ref new_array_bool(std::span<const bool> values);
// A new 1-D int64 array.
Ref new_array_i64(std::span<const long long> values);
// A new 1-D float32 array.
Ref new_array_f32(std::span<const float> values);
// A new 1-D complex128 array of interleaved.size() / 2 elements from
// (re, im) pairs, the memory layout of complex128.
Ref new_array_complex128(std::span<const double> interleaved);

// RAII view of an object's buffer.
class Buffer {
public:
    // The object's buffer with `flags` (PyBUF_*), or nullopt with no Python
    // error pending when the object does not offer one.
    static std::optional<Buffer> get(PyObject* o, int flags);
    Buffer(Buffer&& o) noexcept;
    Buffer& operator=(Buffer&&) = delete;
    ~Buffer();

    const Py_buffer& view() const { return view_; }
    int ndim() const { return view_.ndim; }
    Py_ssize_t shape(int k) const { return view_.shape ? view_.shape[k] : view_.len / view_.itemsize; }
    Py_ssize_t stride(int k) const { return view_.strides ? view_.strides[k] : view_.itemsize; }
    bool readonly() const { return view_.readonly != 0; }
    // Native-endian float64 elements ("d", "<d" on little-endian, "=d", "@d").
    bool is_f64() const;
    // Native-endian elements of NumPy's int64 ('q', or 'l' when long is 64
    // bits) and int32 ('i', or 'l' when long is 32 bits) dtypes.
    bool is_i64() const;
    bool is_i32() const;
    // An empty buffer, or one with a data pointer that is aligned and C- or
    // Fortran-contiguous.
    bool contiguous() const;
    // Element reads copy bytes: a view (a slice of a byte array) may place
    // its doubles at any address.
    double at(Py_ssize_t i) const { return read_f64(i * stride(0)); }
    double at(Py_ssize_t i, Py_ssize_t j) const { return read_f64(i * stride(0) + j * stride(1)); }
    double* data() const { return static_cast<double*>(view_.buf); }

private:
    Buffer() = default;
    double read_f64(Py_ssize_t offset) const {
        double v;
        std::memcpy(&v, static_cast<const char*>(view_.buf) + offset, sizeof v);
        return v;
    }
    Py_buffer view_{};
    bool held_ = false;
};

// The generic float-sequence conversion: a 1-D float64 array is copied
// through its buffer, anything else that is a sequence (not a str) is
// iterated and every item converted with float(). Returns nullopt (and no
// pending error) on failure.
std::optional<std::vector<double>> try_float_vector(PyObject* o);
// The same conversion, but an exception raised while reading the sequence
// (an item's __float__, the iterator) stays set; nullopt with no error set
// means the object is neither a float64 array nor a sequence.
std::optional<std::vector<double>> float_vector_keeping_error(PyObject* o);

// Argument i by the generic float-sequence conversion; a failure is the
// argument's TypeError.
std::vector<double> float_vec_arg(const Args& a, std::size_t i);

// Argument i as a sequence of integers in [0, max] (a NumPy integer array
// included; a str refused): TypeError naming the argument for anything
// else, OverflowError naming it for a value above max.
std::vector<std::uint64_t> uint_vec_arg(const Args& a, std::size_t i, std::uint64_t max);

// A sequence (not a str) of 2-tuples of non-negative integers, e.g. node
// pairs [(0, 1), (2, 5)]: TypeError "argument '<name>': expected a sequence
// of (int, int) tuples" for any other shape, then the integer conversion's
// own errors (a TypeError naming the argument, the OverflowError of a
// negative index).
std::vector<std::pair<std::uint64_t, std::uint64_t>> index_pairs_arg(PyObject* o, const char* name);

// A complex argument read through its `real` and `imag` attributes, each
// converted by the generic float-sequence conversion (a float64 array's
// `imag` is zeros, so real arrays pass too).
struct ComplexParts {
    std::vector<double> re;
    std::vector<double> im;
};
enum class ComplexPartsError { NoAttribute, Real, Imag, LengthMismatch };
// Attributes first (both), then the real part, the imaginary part and their
// lengths; no Python error is left pending on failure.
std::expected<ComplexParts, ComplexPartsError> try_complex_parts(PyObject* o);

// A [rows, cols] float64 array argument (any strides), read-only.
struct Array2D {
    std::size_t rows = 0, cols = 0;
    std::optional<Buffer> buf;
    double at(std::size_t i, std::size_t j) const { return buf->at(static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(j)); }
};

// A float64 NumPy array argument of any dimension count, read-only; a TypeError
// naming the argument for anything else.
Buffer extract_f64_array(PyObject* o, const char* name);
// The same with exactly two dimensions (TypeError naming the argument).
Array2D extract_f64_array_2d(PyObject* o, const char* name);
// A one-dimensional array argument of the given element kind (TypeError
// naming the argument), read-only.
enum class ElemKind { F64, I64, I32 };
Buffer extract_array_1d(PyObject* o, const char* name, ElemKind kind);

}  // namespace quorvane::py
