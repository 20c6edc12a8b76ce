// Small numeric helpers with the semantics the algorithms rely on.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>

namespace quorvane {

// Float -> integer conversion that saturates at the type's range and maps
// NaN to 0 (a plain C++ cast is undefined there).
template <class I>
constexpr I saturating_cast(double x) {
    static_assert(std::is_integral_v<I>);
    if (std::isnan(x)) return I{0};
    constexpr double lo = static_cast<double>(std::numeric_limits<I>::min());
    // 2^bits for unsigned, 2^(bits-1) for signed: the first double beyond the range.
    constexpr double hi_excl = std::is_signed_v<I>
                                   ? -static_cast<double>(std::numeric_limits<I>::min())
                                   : 2.0 * static_cast<double>(std::numeric_limits<I>::max() / 2 + 1);
    if (x <= lo) return std::numeric_limits<I>::min();
    if (x >= hi_excl) return std::numeric_limits<I>::max();
    return static_cast<I>(x);
}

// Maximum that ignores a NaN operand (returns the other one).
inline double max_ignore_nan(double a, double b) { return std::fmax(a, b); }
inline double min_ignore_nan(double a, double b) { return std::fmin(a, b); }

// Round half away from zero.
inline double round_half_away(double x) { return std::round(x); }

// double -> float with IEEE rounding, overflowing to +-inf (a plain cast of
// an out-of-range double is undefined behaviour in C++).
inline float narrow_to_float(double x) {
    // Half an ulp above FLT_MAX: from here on round-to-nearest gives infinity.
    constexpr double kOverflow = 340282356779733661637539395458142568448.0;  // FLT_MAX + 2^103
    if (std::isfinite(x) && std::fabs(x) >= kOverflow) {
        return std::copysign(std::numeric_limits<float>::infinity(), static_cast<float>(x < 0 ? -1.0 : 1.0));
    }
    return static_cast<float>(x);
}

// "must be finite and >= 0": rejects NaN, both infinities and every value
// with the sign bit set except -0.0.
inline bool finite_nonneg(double x) { return std::isfinite(x) && !(x < 0.0); }

// A caller who reuses a named bound X on the step t/n_steps, as t = k X in
// k steps, gets fl(fl(k X) / k): up to two roundings, an ulp or two, above
// X. Steps this close beyond a bound are the bound's own.
inline constexpr double kBoundUlps = 8.0 * std::numeric_limits<double>::epsilon();
inline bool within_bound(double tau, double bound) { return tau <= bound + bound * kBoundUlps; }

// The reaction factor 1 + tau c of a first-order step (as tau * c + 1.0
// rounds it) flips the sign of the data every step below 0. At the bound
// tau = -1/c it is 0 only in exact arithmetic: -1/c rounded, or k (-1/c) / k,
// leaves it a few ulps below 0, where it is admitted and taken as 0.
inline bool reaction_factor_admitted(double f) { return f >= -kBoundUlps; }
inline double admitted_reaction_factor(double f) { return f < 0.0 && f >= -kBoundUlps ? 0.0 : f; }

// Bounds rounded to four significant digits inwards, as the messages print
// them, so that a printed bound is itself admissible (a relative 1e-9
// absorbs the binary rounding of bounds that are round decimals).
double floor_4_digits(double x);
double ceil_4_digits(double x);
// The same for a bound named for reuse as a step t/n_steps, taken from
// within a relative 2^-40 (some 4500 ulps) of x: k X / k, an ulp or two above
// X, then still lies below x, also where x is itself a decimal of four digits
// or the edge of a strict test.
double floor_4_digits_inside(double x);

// The exponent e with max|v| in [2^e, 2^(e+1)) (0 for values all zero; NaN
// is passed over): v 2^-e has max|v| in [1, 2). Scaling by a power of two
// is exact for normal values, so a linear step taken on v 2^-e and scaled
// back by 2^e is the step of v with every intermediate 2^e smaller.
int unit_scale_exponent(std::span<const double> v);
int unit_scale_exponent(std::span<const float> v);
// v[i] 2^e, in place.
void scale_by_power_of_two(std::span<double> v, int e);
void scale_by_power_of_two(std::span<float> v, int e);
// Whether every value is finite (no NaN, no inf).
bool all_finite(std::span<const double> v);
bool all_finite(std::span<const float> v);

// The next output of the splitmix64 generator, its state advanced in place.
inline std::uint64_t splitmix64_next(std::uint64_t& state) {
    state += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace quorvane
