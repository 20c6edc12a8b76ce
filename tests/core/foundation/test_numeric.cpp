// Bounds printed to four digits: the value named is at or below the bound
// and reads back from its digits, down into the subnormal range (where the
// digits' scale is no normal double and the search for them once spun
// forever).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/foundation/numeric.hpp"

namespace quorvane {
namespace {

TEST(Numeric, FourDigitsDownReadBackAtEveryScale) {
    for (const double x : {1.0 / 3.0, 6.602e27, 1.7e308, 2.3e-300, 3.3e-308, 1.23456e-310, 7.4e-323, 5e-324}) {
        const double d = floor_4_digits(x);
        char text[32];
        std::snprintf(text, sizeof text, "%.3e", d);
        EXPECT_LE(d, x) << x;
        EXPECT_EQ(std::strtod(text, nullptr), d) << x;
        EXPECT_GE(d, x * (1.0 - 1e-3) - 5e-324) << x;
    }
}

}  // namespace
}  // namespace quorvane
