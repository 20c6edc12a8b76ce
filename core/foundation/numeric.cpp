#include "core/foundation/numeric.hpp"

#include <charconv>
#include <cstdio>

namespace quorvane {
namespace {

template <class F>
int unit_scale_exponent_of(std::span<const F> v) {
    F top = F(0);
    for (const F x : v) top = std::fmax(top, std::fabs(x));
    return top > F(0) && std::isfinite(top) ? std::ilogb(top) : 0;
}

template <class F>
bool all_finite_of(std::span<const F> v) {
    for (const F x : v)
        if (!std::isfinite(x)) return false;
    return true;
}

template <class F>
void scale_by_power_of_two_of(std::span<F> v, int e) {
    for (F& x : v) x = std::ldexp(x, e);
}

double digits4_scale(double x) { return std::pow(10.0, std::floor(std::log10(x)) - 3.0); }

}  // namespace

double floor_4_digits(double x) {
    if (!(x > 0.0) || !std::isfinite(x)) return x;
    // The largest decimal of four significant digits at or below x, as the
    // double that reads back from it: a bound printed so is the bound
    // compared with, and rounding it again keeps it. (k * 10^(e-3) formed in
    // binary can land an ulp below the decimal, or below x / 10^(e-3) when
    // the quotient rounds down.)
    const int exponent = static_cast<int>(std::floor(std::log10(x))) - 3;
    // x / 10^exponent; below about 1e-297 the power is no normal double (it
    // rounds, or vanishes, and the quotient with it), so it is formed in two
    // exact-enough factors there. Each candidate is then read back as a
    // decimal, subnormal ones included, so the loop ends after four.
    const double k = std::floor(exponent >= -300 ? x / std::pow(10.0, exponent)
                                                 : (x * 1e300) / std::pow(10.0, exponent + 300));
    double best = 0.0;
    for (double c = k + 1.0; c >= k - 2.0 && c > 0.0; c -= 1.0) {
        char text[48];
        const int len = std::snprintf(text, sizeof text, "%.0fe%d", c, exponent);
        double d = 0.0;
        std::from_chars(text, text + len, d);
        if (d <= x) {
            best = d;
            break;
        }
    }
    return best > 0.0 ? best : k * std::pow(10.0, exponent);
}
double floor_4_digits_inside(double x) {
    if (!(x > 0.0) || !std::isfinite(x)) return x;
    return floor_4_digits(x * (1.0 - 0x1p-40));
}
double ceil_4_digits(double x) {
    if (!(x > 0.0) || !std::isfinite(x)) return x;
    const double scale = digits4_scale(x);
    return std::ceil(x / scale - 1e-9) * scale;
}

int unit_scale_exponent(std::span<const double> v) { return unit_scale_exponent_of(v); }
int unit_scale_exponent(std::span<const float> v) { return unit_scale_exponent_of(v); }
void scale_by_power_of_two(std::span<double> v, int e) { scale_by_power_of_two_of(v, e); }
void scale_by_power_of_two(std::span<float> v, int e) { scale_by_power_of_two_of(v, e); }
bool all_finite(std::span<const double> v) { return all_finite_of(v); }
bool all_finite(std::span<const float> v) { return all_finite_of(v); }

}  // namespace quorvane
