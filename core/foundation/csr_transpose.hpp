// The transpose of a matrix in compressed rows, by a stable counting pass.
#pragma once

#include <cstdint>
#include <vector>

namespace quorvane {

template <class F>
struct CsrRows {
    std::vector<std::uint64_t> ptr;
    std::vector<std::uint32_t> col;
    std::vector<F> val;
};

// The transpose of (ptr, col, val), n rows and n columns, every column index
// below n. The rows of the input are visited in order, so row j of the
// result lists its entries by ascending source row (its columns ascending
// whatever the order within the input's rows), duplicates in their stored
// order. O(n + nnz), no comparison sort.
template <class F>
CsrRows<F> csr_transpose(std::uint64_t n, const std::vector<std::uint64_t>& ptr, const std::vector<std::uint32_t>& col,
                         const std::vector<F>& val);

}  // namespace quorvane
