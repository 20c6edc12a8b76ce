// Complex arithmetic written out on (re, im) pairs, in the operation order
// the kernels rely on: products (ac - bd, ad + bc) and unscaled division.
// std::complex is not used because its division rescales and its products
// take a slow path for infinities, which would change results bit for bit.
#pragma once

namespace quorvane {

struct Cplx {
    double re = 0.0;
    double im = 0.0;
};

inline Cplx operator+(Cplx a, Cplx b) { return {a.re + b.re, a.im + b.im}; }
inline Cplx operator-(Cplx a, Cplx b) { return {a.re - b.re, a.im - b.im}; }
inline Cplx operator*(Cplx a, Cplx b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
inline Cplx operator*(double s, Cplx a) { return {s * a.re, s * a.im}; }
// u / p = ((u.re p.re + u.im p.im) / |p|^2, (u.im p.re - u.re p.im) / |p|^2).
inline Cplx operator/(Cplx u, Cplx p) {
    const double d = p.re * p.re + p.im * p.im;
    return {(u.re * p.re + u.im * p.im) / d, (u.im * p.re - u.re * p.im) / d};
}

}  // namespace quorvane
