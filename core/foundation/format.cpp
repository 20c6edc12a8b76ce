#include "core/foundation/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <system_error>

namespace quorvane {
namespace {

std::string non_finite(double x) {
    if (std::isnan(x)) return "NaN";
    return x < 0 ? "-inf" : "inf";
}

std::string to_chars_str(double x, std::chars_format f) {
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, x, f);
    return std::string(buf, r.ptr);
}

std::string to_chars_str(double x, std::chars_format f, int precision) {
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, x, f, precision);
    return std::string(buf, r.ptr);
}

// "1.500e-03" -> "1.500e-3"; "1e+16" -> "1e16".
std::string strip_exponent(const std::string& s) {
    auto e = s.find('e');
    if (e == std::string::npos) return s;
    std::string mant = s.substr(0, e);
    std::string exp = s.substr(e + 1);
    bool neg = false;
    std::size_t k = 0;
    if (k < exp.size() && (exp[k] == '+' || exp[k] == '-')) {
        neg = exp[k] == '-';
        ++k;
    }
    while (k + 1 < exp.size() && exp[k] == '0') ++k;
    return mant + "e" + (neg ? "-" : "") + exp.substr(k);
}

// Shortest round-trip digits laid out positionally. std::to_chars in fixed
// form prints large values with their exact binary expansion (1e300 gets 301
// significant digits), so the layout is built from the shortest scientific
// digits instead: 1e300 is "1" followed by 300 zeros.
std::string positional_shortest(double x) {
    const std::string sci = to_chars_str(x, std::chars_format::scientific);
    const auto e = sci.find('e');
    std::string out;
    std::size_t k = 0;
    if (sci[0] == '-') {
        out += '-';
        k = 1;
    }
    std::string digits;
    for (; k < e; ++k)
        if (sci[k] != '.') digits += sci[k];
    const int exp10 = std::stoi(sci.substr(e + 1));
    const int nd = static_cast<int>(digits.size());
    if (exp10 >= nd - 1) {
        out += digits;
        out.append(static_cast<std::size_t>(exp10 - (nd - 1)), '0');
    } else if (exp10 >= 0) {
        out += digits.substr(0, static_cast<std::size_t>(exp10 + 1));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(exp10 + 1));
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-exp10 - 1), '0');
        out += digits;
    }
    return out;
}

}  // namespace

std::string fmt_shortest(double x) {
    if (!std::isfinite(x)) return non_finite(x);
    return positional_shortest(x);
}

std::string fmt_shortest_compact(double x) {
    const double ax = std::fabs(x);
    if (!std::isfinite(x) || ax == 0.0 || (ax >= 1e-4 && ax < 1e16)) return fmt_shortest(x);
    return strip_exponent(to_chars_str(x, std::chars_format::scientific));
}

std::string fmt_fixed3(double x) {
    if (!std::isfinite(x)) return non_finite(x);
    return to_chars_str(x, std::chars_format::fixed, 3);
}

std::string fmt_exp3(double x) { return fmt_exp(x, 3); }

std::string fmt_exp3_quotient(double num, double den) {
    const double q = num / den;
    if (std::isfinite(q) && q >= std::numeric_limits<double>::min()) return fmt_exp3(q);
    // Decimal exponent and mantissa from the logarithms: four digits are
    // far coarser than their rounding.
    const double l = std::log10(num) - std::log10(den);
    double k = std::floor(l);
    double mantissa = std::round(std::pow(10.0, l - k) * 1000.0) / 1000.0;
    if (mantissa >= 10.0) mantissa /= 10.0, k += 1.0;
    return to_chars_str(mantissa, std::chars_format::fixed, 3) + "e" + std::to_string(static_cast<long long>(k));
}

std::string fmt_exp4(double x) { return fmt_exp(x, 4); }

std::string fmt_exp(double x, int digits) {
    if (!std::isfinite(x)) return non_finite(x);
    return strip_exponent(to_chars_str(x, std::chars_format::scientific, digits));
}

std::string fmt_debug(double x) {
    if (!std::isfinite(x)) return non_finite(x);
    double ax = std::fabs(x);
    if (ax != 0.0 && (ax < 1e-4 || ax >= 1e16)) {
        return strip_exponent(to_chars_str(x, std::chars_format::scientific));
    }
    std::string s = positional_shortest(x);
    if (s.find('.') == std::string::npos) s += ".0";
    return s;
}

std::string fmt_debug_str(std::string_view s) {
    std::string out = "\"";
    for (std::size_t k = 0; k < s.size(); ++k) {
        unsigned char c = static_cast<unsigned char>(s[k]);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += "\"";
    return out;
}

}  // namespace quorvane
