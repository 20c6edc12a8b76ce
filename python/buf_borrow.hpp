// Exclusive borrows of caller-owned NumPy arrays that a call writes in place.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "python/array.hpp"
#include "python/frame.hpp"

namespace quorvane::py {

// A writable one-dimensional float64 NumPy array, held exclusively (its
// buffer exported, so NumPy cannot resize it, and its bytes registered, so a
// second call on an overlapping array is refused instead of racing) until
// destruction. Every failure is the argument error of "buf".
class BufBorrow {
public:
    explicit BufBorrow(PyObject* o);
    ~BufBorrow();
    BufBorrow(const BufBorrow&) = delete;
    BufBorrow& operator=(const BufBorrow&) = delete;

    std::size_t len() const { return static_cast<std::size_t>(buf_->shape(0)); }
    // One element apart (a single element is contiguous whatever its stride).
    bool contiguous() const { return len() <= 1 || buf_->stride(0) == 8; }
    // NumPy's aligned flag: the address and the stride are multiples of 8.
    bool aligned() const;
    // Contiguous and aligned, the only layout written through data().
    bool contiguous_aligned() const { return contiguous() && aligned(); }
    double* data() const { return buf_->data(); }
    // The elements in index order, whatever the strides (negative included)
    // and the alignment.
    std::vector<double> read() const;
    // Writes `v` (len() values) element by element, whatever the alignment;
    // only for contiguous arrays.
    void write_contiguous(const std::vector<double>& v) const;

private:
    std::optional<Buffer> buf_;
    const char* lo_ = nullptr;
    const char* hi_ = nullptr;
    bool registered_ = false;
};

}  // namespace quorvane::py
