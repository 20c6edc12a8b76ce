// Number formats of the library's messages: shortest positional "{}",
// fixed "{:.3}", scientific "{:.3e}" and the debug form of floats and texts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/format.hpp"

namespace quorvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Case {
    double x;
    const char* want;
};

class ShortestFormat : public ::testing::TestWithParam<Case> {};
TEST_P(ShortestFormat, PrintsShortestPositionalDigits) {
    EXPECT_EQ(fmt_shortest(GetParam().x), GetParam().want);
}
INSTANTIATE_TEST_SUITE_P(
    Table, ShortestFormat,
    ::testing::Values(Case{2.0, "2"}, Case{-0.0, "-0"}, Case{0.0, "0"}, Case{3.0, "3"}, Case{-0.5, "-0.5"},
                      Case{1e-7, "0.0000001"}, Case{0.1, "0.1"}, Case{0.001, "0.001"},
                      Case{1.0 / 3.0, "0.3333333333333333"}, Case{123.456, "123.456"},
                      Case{1e23, "100000000000000000000000"}, Case{kNaN, "NaN"},
                      Case{kInf, "inf"}, Case{-kInf, "-inf"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

// head followed by `zeros` zeros (and an optional tail).
std::string padded(const char* head, std::size_t zeros, const char* tail = "") {
    std::string s(head);
    s.append(zeros, '0');
    return s.append(tail);
}

TEST(ShortestFormatLarge, PowersOfTenAreOneFollowedByZeros) {
    // The exact binary value of 1e300 has many more significant digits; the
    // shortest round-trip form has exactly one.
    EXPECT_EQ(fmt_shortest(1e300), padded("1", 300));
    EXPECT_EQ(fmt_shortest(-1e300), padded("-1", 300));
    EXPECT_EQ(fmt_shortest(std::numeric_limits<double>::max()), padded("17976931348623157", 292));
}

TEST(ShortestFormatSmall, TinyValuesStayPositional) {
    EXPECT_EQ(fmt_shortest(5e-324), padded("0.", 323, "5"));
    EXPECT_EQ(fmt_shortest(-1e-300), padded("-0.", 299, "1"));
}

TEST(ShortestFormatRoundTrip, ReadsBackAsTheSameDouble) {
    for (double x : {0.1, 2.0 / 3.0, 1e-7, 6.02214076e23, 1.2345678901234567e-5, 9007199254740993.0, 4.35e100}) {
        const std::string s = fmt_shortest(x);
        EXPECT_EQ(s.find('e'), std::string::npos) << s;
        EXPECT_EQ(std::stod(s), x) << s;
    }
}

class Fixed3Format : public ::testing::TestWithParam<Case> {};
TEST_P(Fixed3Format, ThreeDecimalsCorrectlyRounded) { EXPECT_EQ(fmt_fixed3(GetParam().x), GetParam().want); }
INSTANTIATE_TEST_SUITE_P(Table, Fixed3Format,
                         ::testing::Values(Case{2.0, "2.000"}, Case{2.0 / 3.0, "0.667"}, Case{-1.0 / 3.0, "-0.333"},
                                           Case{0.0004, "0.000"}, Case{0.0006, "0.001"}, Case{123.4567, "123.457"},
                                           Case{kNaN, "NaN"}, Case{kInf, "inf"}, Case{-kInf, "-inf"}),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

class Exp3Format : public ::testing::TestWithParam<Case> {};
TEST_P(Exp3Format, ExponentWithoutPlusOrLeadingZeros) { EXPECT_EQ(fmt_exp3(GetParam().x), GetParam().want); }
INSTANTIATE_TEST_SUITE_P(
    Table, Exp3Format,
    ::testing::Values(Case{0.0015, "1.500e-3"}, Case{1.0, "1.000e0"}, Case{2.5e12, "2.500e12"},
                      Case{0.001, "1.000e-3"}, Case{1.5707963267948966, "1.571e0"}, Case{0.0, "0.000e0"},
                      Case{-0.25, "-2.500e-1"}, Case{9.9996, "1.000e1"}, Case{1e-300, "1.000e-300"},
                      Case{1.23456e300, "1.235e300"}, Case{kNaN, "NaN"}, Case{kInf, "inf"}, Case{-kInf, "-inf"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

class DebugFormat : public ::testing::TestWithParam<Case> {};
TEST_P(DebugFormat, AlwaysShowsFractionOrExponent) { EXPECT_EQ(fmt_debug(GetParam().x), GetParam().want); }
INSTANTIATE_TEST_SUITE_P(
    Table, DebugFormat,
    ::testing::Values(Case{1.0, "1.0"}, Case{1e-5, "1e-5"}, Case{0.0, "0.0"}, Case{-0.0, "-0.0"},
                      Case{0.0001, "0.0001"}, Case{0.00009, "9e-5"}, Case{1e15, "1000000000000000.0"},
                      Case{1e16, "1e16"}, Case{-2.5e20, "-2.5e20"}, Case{0.1, "0.1"}, Case{-3.25, "-3.25"},
                      Case{1.5e-7, "1.5e-7"}, Case{kNaN, "NaN"}, Case{kInf, "inf"}, Case{-kInf, "-inf"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(DebugStringFormat, QuotesAndEscapes) {
    EXPECT_EQ(fmt_debug_str("plain"), "\"plain\"");
    EXPECT_EQ(fmt_debug_str(""), "\"\"");
    EXPECT_EQ(fmt_debug_str("a\"b\\c\nd\re\tf"), "\"a\\\"b\\\\c\\nd\\re\\tf\"");
    EXPECT_EQ(fmt_debug_str(std::string_view("x\0y", 3)), "\"x\\0y\"");
    EXPECT_EQ(fmt_debug_str("\x01"), "\"\\u{1}\"");
    // Non-ASCII text (the messages' own Unicode) passes unchanged.
    EXPECT_EQ(fmt_debug_str("dx\u00b2"), "\"dx\u00b2\"");
}

}  // namespace
}  // namespace quorvane
