// Transforms of any length against the defining sum, and their inverse.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "core/foundation/fft.hpp"

namespace quorvane {
namespace {

class DftLength : public ::testing::TestWithParam<std::size_t> {};

// Powers of two (radix-2), odd and even lengths (Bluestein), 1 and a prime.
INSTANTIATE_TEST_SUITE_P(Lengths, DftLength, ::testing::Values(1, 2, 3, 5, 16, 40, 80, 97, 128, 200));

TEST_P(DftLength, MatchesTheDefiningSumAndInverts) {
    const std::size_t n = GetParam();
    std::vector<std::complex<double>> x(n), a, work;
    for (std::size_t j = 0; j < n; ++j) x[j] = {std::sin(1.0 + 3.0 * j), std::cos(0.5 * j * j)};
    const Dft dft = *Dft::make(n);
    a = x;
    dft.transform(a, -1, work);
    const double pi = 3.141592653589793;
    for (std::size_t k = 0; k < n; ++k) {
        std::complex<double> sum{0.0, 0.0};
        for (std::size_t j = 0; j < n; ++j) sum += x[j] * std::polar(1.0, -2.0 * pi * double(j * k % n) / double(n));
        EXPECT_LT(std::abs(a[k] - sum), 1e-12 * double(n)) << k;  // rounding of both sums
    }
    dft.transform(a, +1, work);
    for (std::size_t j = 0; j < n; ++j) EXPECT_LT(std::abs(a[j] / double(n) - x[j]), 1e-14) << j;
}

TEST(Dft, RefusesLengthZero) { EXPECT_FALSE(Dft::make(0)); }

}  // namespace
}  // namespace quorvane
