// Dense rank-k updates whose every entry takes its products one at a time in
// ascending k:
//
//     for k = 0 .. depth - 1:   c(r, s) -= a(k, r) * b(k, s)
//
// with one rounding per product and one per subtraction, as in the textbook
// loop (no partial sum is formed apart and added later). A blocked Cholesky
// or triangular substitution built on these therefore has the bits of the
// column-by-column loop; only the order in which entries are visited changes,
// so that a tile of c stays in registers while a and b stream from cache.
//
// Matrices are row-major views: element (i, j) at data[i * stride + j].
#pragma once

#include <cstddef>

namespace quorvane {

struct RowsView {
    const double* data;
    std::size_t stride;
};

struct MutableRowsView {
    double* data;
    std::size_t stride;
};

// Every entry r < rows, s < cols of c.
void subtract_ordered_products(MutableRowsView c, RowsView a, RowsView b, std::size_t rows, std::size_t cols,
                               std::size_t depth);

// The entries s >= r of the size x size block c (its upper triangle with the
// diagonal); the others are neither read nor written.
void subtract_ordered_products_upper(MutableRowsView c, RowsView a, RowsView b, std::size_t size, std::size_t depth);

}  // namespace quorvane
