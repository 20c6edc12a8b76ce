// The dense updates keep the bits of the textbook loop on every tile shape
// and edge, and the triangular one leaves the strict lower part alone.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "core/foundation/ordered_products.hpp"

namespace quorvane {
namespace {

// Magnitudes over six decades, so that adding the products in another order
// (or forming their sum apart) changes the last bits.
std::vector<double> values(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> mant(-1.0, 1.0), expo(-3.0, 3.0);
    std::vector<double> v(count);
    for (double& x : v) x = mant(gen) * std::pow(10.0, expo(gen));
    return v;
}

// for k ascending: c(r, s) -= a(k, r) * b(k, s), one entry at a time.
void textbook(std::vector<double>& c, std::size_t ldc, const std::vector<double>& a, std::size_t lda,
              const std::vector<double>& b, std::size_t ldb, std::size_t rows, std::size_t cols, std::size_t depth,
              bool upper) {
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t s = upper ? r : 0; s < cols; ++s) {
            double t = c[r * ldc + s];
            for (std::size_t k = 0; k < depth; ++k) t -= a[k * lda + r] * b[k * ldb + s];
            c[r * ldc + s] = t;
        }
    }
}

void expect_same_bits(const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(want[i])) << "entry " << i;
    }
}

class Rectangle : public testing::TestWithParam<std::tuple<std::size_t, std::size_t, std::size_t>> {};

// Row counts around the 4-row tile, column counts around the 4- and 16-wide
// tiles and the 256-column chunk, depths from none to a full panel.
TEST_P(Rectangle, HasTheBitsOfTheTextbookLoop) {
    const auto [rows, cols, depth] = GetParam();
    // Strides wider than the blocks: the views are parts of larger matrices.
    const std::size_t ldc = cols + 3, lda = rows + 2, ldb = cols + 5;
    std::vector<double> c = values(rows * ldc, 1), a = values(std::max<std::size_t>(depth, 1) * lda, 2),
                        b = values(std::max<std::size_t>(depth, 1) * ldb, 3);
    std::vector<double> want = c;
    textbook(want, ldc, a, lda, b, ldb, rows, cols, depth, false);
    subtract_ordered_products({c.data(), ldc}, {a.data(), lda}, {b.data(), ldb}, rows, cols, depth);
    expect_same_bits(c, want);
}

INSTANTIATE_TEST_SUITE_P(Shapes, Rectangle,
                         testing::Combine(testing::Values(1, 3, 4, 9), testing::Values(1, 5, 16, 21, 300),
                                          testing::Values(0, 1, 7, 64)));

TEST(Upper, HasTheTextbookBitsOnTheTriangleAndLeavesTheRestAlone) {
    for (const std::size_t size : {1u, 5u, 9u, 260u, 301u}) {
        const std::size_t ld = size + 2, depth = 13;
        std::vector<double> c = values(size * ld, 4), a = values(depth * ld, 5), b = values(depth * ld, 6);
        for (std::size_t r = 0; r < size; ++r) {
            for (std::size_t s = 0; s < r; ++s) c[r * ld + s] = NAN;  // never read, never written
        }
        std::vector<double> want = c;
        textbook(want, ld, a, ld, b, ld, size, size, depth, true);
        subtract_ordered_products_upper({c.data(), ld}, {a.data(), ld}, {b.data(), ld}, size, depth);
        expect_same_bits(c, want);
    }
}

}  // namespace
}  // namespace quorvane
