// Number formatting with the conventions of the library's messages.
//
// Messages print floats the way the original message templates expect:
// "{}" is the shortest round-trip decimal in positional notation, "{:.3}" is
// fixed-point with three decimals, "{:.3e}" is scientific with an exponent
// that carries no '+' and no leading zeros ("1.500e-3", "1.000e0").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvane {

// Shortest digits that read back as the same double, never with an exponent:
// 2.0 -> "2", -0.0 -> "-0", 1e-7 -> "0.0000001", NaN -> "NaN", inf -> "inf".
std::string fmt_shortest(double x);

// The same digits in exponent form where positional ones would run long
// (|x| < 1e-4 or |x| >= 1e16): 2.0 -> "2", -1e300 -> "-1e300",
// 3.3e-20 -> "3.3e-20".
std::string fmt_shortest_compact(double x);

// Fixed-point with exactly three decimals, correctly rounded: 2/3 -> "0.667".
std::string fmt_fixed3(double x);

// One digit, a point, three digits, 'e', exponent without '+' or leading zeros:
// 0.0015 -> "1.500e-3", 1.0 -> "1.000e0". Non-finite values as "NaN", "inf", "-inf".
std::string fmt_exp3(double x);
// num/den (both positive and finite) in that form, also where the quotient
// lies beyond the double range: 1e300/1e-300 -> "1.000e600".
std::string fmt_exp3_quotient(double num, double den);
// The same with four digits after the point: 12.0 -> "1.2000e1".
std::string fmt_exp4(double x);
// The same with `digits` digits after the point (0 to 17).
std::string fmt_exp(double x, int digits);

// Debug form of a double: always shows a fractional part or an exponent
// ("1.0", "1e-5", "1e16"); exponent form for 0 < |x| < 1e-4 or |x| >= 1e16.
std::string fmt_debug(double x);

// Debug form of a text: quoted, with quotes, backslashes and control
// characters escaped (\", \\, \n, \r, \t, \0, \u{hex}).
std::string fmt_debug_str(std::string_view s);

}  // namespace quorvane
