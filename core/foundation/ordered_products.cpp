#include "core/foundation/ordered_products.hpp"

#include <algorithm>

namespace quorvane {
namespace {

// A 4 x 4 tile of c lives in eight 2-wide registers over the whole depth;
// per k it reads four values of a and four of b (contiguous in their rows)
// for sixteen products.
constexpr std::size_t kTile = 4;
constexpr std::size_t kRowTile = 16;
// Columns of b visited by all row strips before the next ones: depth x 256
// values of b (128 KiB at depth 64) stay in the second-level cache.
constexpr std::size_t kChunkCols = 256;

void tile_4x4(double* c, std::size_t ldc, const double* a, std::size_t lda, const double* b, std::size_t ldb,
              std::size_t depth) {
    double t[kTile][kTile];
    for (std::size_t r = 0; r < kTile; ++r) {
        for (std::size_t s = 0; s < kTile; ++s) t[r][s] = c[r * ldc + s];
    }
    for (std::size_t k = 0; k < depth; ++k) {
        const double* ak = a + k * lda;
        const double* bk = b + k * ldb;
        for (std::size_t r = 0; r < kTile; ++r) {
            for (std::size_t s = 0; s < kTile; ++s) t[r][s] -= ak[r] * bk[s];
        }
    }
    for (std::size_t r = 0; r < kTile; ++r) {
        for (std::size_t s = 0; s < kTile; ++s) c[r * ldc + s] = t[r][s];
    }
}

// One row of Width entries: Width / 2 independent running sums, so that
// the latency of a subtraction does not hold up the next product.
template <std::size_t Width>
void tile_row(double* c, const double* a, std::size_t lda, const double* b, std::size_t ldb, std::size_t depth) {
    double t[Width];
    for (std::size_t s = 0; s < Width; ++s) t[s] = c[s];
    for (std::size_t k = 0; k < depth; ++k) {
        const double ak = a[k * lda];
        const double* bk = b + k * ldb;
        for (std::size_t s = 0; s < Width; ++s) t[s] -= ak * bk[s];
    }
    for (std::size_t s = 0; s < Width; ++s) c[s] = t[s];
}

void entry(double* c, const double* a, std::size_t lda, const double* b, std::size_t ldb, std::size_t depth) {
    double t = *c;
    for (std::size_t k = 0; k < depth; ++k) t -= a[k * lda] * b[k * ldb];
    *c = t;
}

// Rows [r0, r0 + rows) (rows <= kTile) and columns [s0, s1) of c.
void strip(MutableRowsView c, RowsView a, RowsView b, std::size_t r0, std::size_t rows, std::size_t s0,
           std::size_t s1, std::size_t depth) {
    double* cr = c.data + r0 * c.stride;
    const double* ar = a.data + r0;
    std::size_t s = s0;
    if (rows == kTile) {
        for (; s + kTile <= s1; s += kTile) tile_4x4(cr + s, c.stride, ar, a.stride, b.data + s, b.stride, depth);
    } else {
        // A lone row has no rows to share a's values with: wide tiles instead.
        for (std::size_t r = 0; r < rows; ++r) {
            std::size_t q = s;
            for (; q + kRowTile <= s1; q += kRowTile) {
                tile_row<kRowTile>(cr + r * c.stride + q, ar + r, a.stride, b.data + q, b.stride, depth);
            }
            for (; q + kTile <= s1; q += kTile) {
                tile_row<kTile>(cr + r * c.stride + q, ar + r, a.stride, b.data + q, b.stride, depth);
            }
        }
        s += (s1 - s) / kTile * kTile;
    }
    for (; s < s1; ++s) {
        for (std::size_t r = 0; r < rows; ++r) entry(cr + r * c.stride + s, ar + r, a.stride, b.data + s, b.stride, depth);
    }
}

}  // namespace

void subtract_ordered_products(MutableRowsView c, RowsView a, RowsView b, std::size_t rows, std::size_t cols,
                               std::size_t depth) {
    for (std::size_t s0 = 0; s0 < cols; s0 += kChunkCols) {
        const std::size_t s1 = std::min(cols, s0 + kChunkCols);
        for (std::size_t r0 = 0; r0 < rows; r0 += kTile) strip(c, a, b, r0, std::min(kTile, rows - r0), s0, s1, depth);
    }
}

void subtract_ordered_products_upper(MutableRowsView c, RowsView a, RowsView b, std::size_t size, std::size_t depth) {
    for (std::size_t s0 = 0; s0 < size; s0 += kChunkCols) {
        const std::size_t s1 = std::min(size, s0 + kChunkCols);
        // Strips start at multiples of kTile and chunks at multiples of
        // kChunkCols, so a strip lies wholly left of the chunk (a rectangle)
        // or meets the diagonal inside it (its own triangle, then a rectangle).
        for (std::size_t r0 = 0; r0 < s1; r0 += kTile) {
            const std::size_t rows = std::min(kTile, s1 - r0);
            for (std::size_t r = std::max(r0, s0); r < r0 + rows; ++r) {
                for (std::size_t s = r; s < r0 + rows; ++s) {
                    entry(c.data + r * c.stride + s, a.data + r, a.stride, b.data + s, b.stride, depth);
                }
            }
            strip(c, a, b, r0, rows, std::max(s0, r0 + rows), s1, depth);
        }
    }
}

}  // namespace quorvane
