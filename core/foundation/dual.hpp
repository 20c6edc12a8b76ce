// Number types the core is generic over: double, float, Dual<double> and
// Dual<Dual<double>>. A dual number carries a value and a derivative; every
// integer decision (cells, boundary sides, exact hits) is taken from the real
// part only.
#pragma once

#include <cmath>
#include <type_traits>

namespace quorvane {

template <class T>
struct Dual {
    T v{};  // value
    T d{};  // derivative

    constexpr Dual() = default;
    constexpr Dual(T value, T deriv) : v(value), d(deriv) {}
    // Constants enter with a zero derivative part.
    constexpr explicit Dual(double c) : v(T(c)), d(T(0.0)) {}

    friend constexpr Dual operator+(Dual a, Dual b) { return {a.v + b.v, a.d + b.d}; }
    friend constexpr Dual operator-(Dual a, Dual b) { return {a.v - b.v, a.d - b.d}; }
    friend constexpr Dual operator-(Dual a) { return {-a.v, -a.d}; }
    friend constexpr Dual operator*(Dual a, Dual b) { return {a.v * b.v, a.d * b.v + a.v * b.d}; }
    friend constexpr Dual operator/(Dual a, Dual b) {
        return {a.v / b.v, (a.d * b.v - a.v * b.d) / (b.v * b.v)};
    }
    Dual& operator+=(Dual b) { return *this = *this + b; }
    Dual& operator-=(Dual b) { return *this = *this - b; }
    Dual& operator*=(Dual b) { return *this = *this * b; }
    Dual& operator/=(Dual b) { return *this = *this / b; }
};

template <class T> struct is_dual : std::false_type {};
template <class T> struct is_dual<Dual<T>> : std::true_type {};

using Dual1 = Dual<double>;
using Dual2 = Dual<Dual<double>>;

// --- uniform operations over the four number types -------------------------

template <class F> inline F from_f64(double x) {
    if constexpr (is_dual<F>::value) return F(x);
    else return static_cast<F>(x);
}

// Real part as a double (what a CoreError records, and what decides integers).
inline double real_part(double x) { return x; }
inline double real_part(float x) { return static_cast<double>(x); }
template <class T> inline double real_part(const Dual<T>& x) { return real_part(x.v); }

inline bool is_finite(double x) { return std::isfinite(x); }
inline bool is_finite(float x) { return std::isfinite(x); }
template <class T> inline bool is_finite(const Dual<T>& x) { return is_finite(x.v) && is_finite(x.d); }

inline double fsqrt(double x) { return std::sqrt(x); }
inline float fsqrt(float x) { return std::sqrt(x); }
template <class T> inline Dual<T> fsqrt(const Dual<T>& x) {
    T r = fsqrt(x.v);
    return {r, x.d / (r + r)};
}

inline double fexp(double x) { return std::exp(x); }
inline float fexp(float x) { return std::exp(x); }
template <class T> inline Dual<T> fexp(const Dual<T>& x) {
    T e = fexp(x.v);
    return {e, x.d * e};
}

inline double fabs_(double x) { return std::fabs(x); }
inline float fabs_(float x) { return std::fabs(x); }
template <class T> inline Dual<T> fabs_(const Dual<T>& x) { return real_part(x) < 0 ? -x : x; }

// floor of the real part, as a number of the type with zero derivative.
inline double ffloor(double x) { return std::floor(x); }
inline float ffloor(float x) { return std::floor(x); }
template <class T> inline Dual<T> ffloor(const Dual<T>& x) { return Dual<T>(std::floor(real_part(x))); }

template <class F> inline bool lt(const F& a, const F& b) { return real_part(a) < real_part(b); }

}  // namespace quorvane
