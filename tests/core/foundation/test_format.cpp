// Number formats of the library's messages: shortest positional "{}",
// fixed "{:.3}", scientific "{:.3e}" and the debug form of floats and texts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/foundation/format.hpp"

namespace quorvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Case {
    std::string (*fmt)(double);
    double x;
    std::string want;
};
class NumberFormat : public ::testing::TestWithParam<Case> {};
TEST_P(NumberFormat, Table) { EXPECT_EQ(GetParam().fmt(GetParam().x), GetParam().want); }

// head followed by `zeros` zeros and a tail.
std::string padded(const char* head, std::size_t zeros, const char* tail = "") {
    return std::string(head).append(zeros, '0').append(tail);
}

Case S(double x, std::string w) { return {fmt_shortest, x, std::move(w)}; }
Case F(double x, std::string w) { return {fmt_fixed3, x, std::move(w)}; }
Case E(double x, std::string w) { return {fmt_exp3, x, std::move(w)}; }
Case D(double x, std::string w) { return {fmt_debug, x, std::move(w)}; }
Case C(double x, std::string w) { return {fmt_shortest_compact, x, std::move(w)}; }

INSTANTIATE_TEST_SUITE_P(
    Table, NumberFormat,
    ::testing::Values(
        // "{}": shortest round-trip digits, always positional.
        S(2.0, "2"), S(-0.0, "-0"), S(-0.5, "-0.5"), S(1e-7, "0.0000001"), S(0.001, "0.001"),
        S(1.0 / 3.0, "0.3333333333333333"), S(1e23, "100000000000000000000000"), S(kNaN, "NaN"), S(kInf, "inf"),
        S(-kInf, "-inf"), S(1e300, padded("1", 300)), S(std::numeric_limits<double>::max(), padded("17976931348623157", 292)),
        S(5e-324, padded("0.", 323, "5")), S(-1e-300, padded("-0.", 299, "1")),
        // "{:.3}": correctly rounded three decimals.
        F(2.0, "2.000"), F(2.0 / 3.0, "0.667"), F(-1.0 / 3.0, "-0.333"), F(0.0006, "0.001"), F(kNaN, "NaN"),
        F(-kInf, "-inf"),
        // "{:.3e}": no plus sign or leading zeros in the exponent.
        E(0.0015, "1.500e-3"), E(1.0, "1.000e0"), E(2.5e12, "2.500e12"), E(1.5707963267948966, "1.571e0"),
        E(0.0, "0.000e0"), E(-0.25, "-2.500e-1"), E(9.9996, "1.000e1"), E(1e-300, "1.000e-300"),
        E(1.23456e300, "1.235e300"), E(kNaN, "NaN"), E(kInf, "inf"),
        // "{:?}": always a fraction or an exponent; exponent from 1e16 and below 1e-4.
        D(1.0, "1.0"), D(-0.0, "-0.0"), D(0.0001, "0.0001"), D(0.00009, "9e-5"), D(1e15, "1000000000000000.0"),
        D(1e16, "1e16"), D(-2.5e20, "-2.5e20"), D(-3.25, "-3.25"), D(1.5e-7, "1.5e-7"), D(kNaN, "NaN"),
        D(-kInf, "-inf"),
        // Compact: "{}" between 1e-4 and 1e16, the same digits with an exponent beyond.
        C(2.0, "2"), C(-0.5, "-0.5"), C(0.0, "0"), C(0.0001, "0.0001"), C(9999999999999998.0, "9999999999999998"),
        C(1e16, "1e16"), C(-1.0000000000000002e300, "-1.0000000000000002e300"), C(3.3e-20, "3.3e-20"),
        C(5e-324, "5e-324"), C(kNaN, "NaN"), C(-kInf, "-inf")),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(ShortestFormat, ReadsBackAsTheSameDouble) {
    for (double x : {0.1, 2.0 / 3.0, 1e-7, 6.02214076e23, 1.2345678901234567e-5, 9007199254740993.0, 4.35e100}) {
        const std::string s = fmt_shortest(x);
        EXPECT_EQ(s.find('e'), std::string::npos) << s;
        EXPECT_EQ(std::stod(s), x) << s;
    }
}

TEST(DebugStringFormat, QuotesAndEscapes) {
    EXPECT_EQ(fmt_debug_str(""), "\"\"");
    EXPECT_EQ(fmt_debug_str("a\"b\\c\nd\re\tf"), "\"a\\\"b\\\\c\\nd\\re\\tf\"");
    EXPECT_EQ(fmt_debug_str(std::string_view("x\0y", 3)), "\"x\\0y\"");
    EXPECT_EQ(fmt_debug_str("\x01"), "\"\\u{1}\"");
    // Non-ASCII text (the messages' own Unicode) passes unchanged.
    EXPECT_EQ(fmt_debug_str("dx\u00b2"), "\"dx\u00b2\"");
}

}  // namespace
}  // namespace quorvane
