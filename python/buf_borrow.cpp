#include "python/buf_borrow.hpp"

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

namespace quorvane::py {
namespace {

// Byte ranges of arrays that a running call writes without the interpreter
// lock.
class ArrayWriteRegistry {
public:
    bool try_add(const char* lo, const char* hi) {
        std::lock_guard<std::mutex> g(m_);
        for (const auto& r : ranges_)
            if (lo < r.second && r.first < hi) return false;
        ranges_.emplace_back(lo, hi);
        return true;
    }
    void remove(const char* lo) {
        std::lock_guard<std::mutex> g(m_);
        for (auto it = ranges_.begin(); it != ranges_.end(); ++it) {
            if (it->first == lo) {
                ranges_.erase(it);
                return;
            }
        }
    }

private:
    std::mutex m_;
    std::vector<std::pair<const char*, const char*>> ranges_;
};

ArrayWriteRegistry& write_registry() {
    static ArrayWriteRegistry r;
    return r;
}

// Kept under the interpreter lock, not behind a static's guard, for the
// reason given at numpy_api (python/array.cpp).
PyObject* ndarray_type() {
    static PyObject* t = nullptr;  // kept for the life of the process
    if (t == nullptr) {
        Ref np(PyImport_ImportModule("numpy"));
        if (!np) throw_python_error();
        Ref ty(PyObject_GetAttrString(np.get(), "ndarray"));
        if (!ty) throw_python_error();
        if (t == nullptr) t = ty.release();
    }
    return t;
}

}  // namespace

BufBorrow::BufBorrow(PyObject* o) {
    const int is_array = o ? PyObject_IsInstance(o, ndarray_type()) : 0;
    if (is_array < 0) throw_python_error();
    if (!is_array) raise_type_error("argument 'buf': '" + type_name_of(o) + "' object is not an instance of 'ndarray'");
    auto b = Buffer::get(o, PyBUF_RECORDS_RO);
    if (!b) raise_type_error("argument 'buf': the array does not export a buffer");
    if (!b->is_f64()) raise_type_error("argument 'buf': type mismatch: expected float64 elements");
    if (b->ndim() != 1) {
        raise_type_error("argument 'buf': dimensionality mismatch: expected 1, got " + std::to_string(b->ndim()));
    }
    if (b->readonly()) raise_type_error("argument 'buf': The given array is not writeable");
    const Py_ssize_t len = b->shape(0);
    const char* base = static_cast<const char*>(b->view().buf);
    // Extent of the elements, whatever the sign of the stride.
    const Py_ssize_t span = len == 0 ? 0 : (len - 1) * b->stride(0);
    lo_ = span < 0 ? base + span : base;
    hi_ = (span < 0 ? base : base + span) + (len == 0 ? 0 : 8);
    if (len != 0 && !write_registry().try_add(lo_, hi_)) {
        raise_type_error("argument 'buf': The given array is already borrowed");
    }
    registered_ = len != 0;
    buf_.emplace(std::move(*b));
}

BufBorrow::~BufBorrow() {
    if (registered_) write_registry().remove(lo_);
}

bool BufBorrow::aligned() const {
    const auto addr = reinterpret_cast<std::uintptr_t>(buf_->view().buf);
    return addr % alignof(double) == 0 && (len() <= 1 || buf_->stride(0) % 8 == 0);
}

std::vector<double> BufBorrow::read() const {
    std::vector<double> v(len());
    const char* base = static_cast<const char*>(buf_->view().buf);
    const Py_ssize_t stride = buf_->stride(0);
    for (std::size_t i = 0; i < v.size(); ++i) std::memcpy(&v[i], base + static_cast<Py_ssize_t>(i) * stride, 8);
    return v;
}

void BufBorrow::write_contiguous(const std::vector<double>& v) const {
    if (v.size() != len() || !contiguous()) internal_fault("BufBorrow::write_contiguous: layout mismatch");
    if (!v.empty()) std::memcpy(buf_->view().buf, v.data(), v.size() * sizeof(double));
}

}  // namespace quorvane::py
