#include "core/foundation/band_solve.hpp"

#include <algorithm>
#include <cmath>

#include "core/foundation/stop.hpp"

namespace quorvane {

namespace {

double magnitude2(double v) { return v * v; }
double magnitude2(std::complex<double> v) { return v.real() * v.real() + v.imag() * v.imag(); }

// Products written out: std::complex's operator* checks every result for
// NaN, which costs more than the product in the elimination's inner loop.
double times(double a, double b) { return a * b; }
std::complex<double> times(std::complex<double> a, std::complex<double> b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}
double inverse(double a) { return 1.0 / a; }
std::complex<double> inverse(std::complex<double> a) {
    // Smith's division: no overflow for pivots of any size.
    if (std::fabs(a.real()) >= std::fabs(a.imag())) {
        const double r = a.imag() / a.real(), d = a.real() + a.imag() * r;
        return {1.0 / d, -r / d};
    }
    const double r = a.real() / a.imag(), d = a.real() * r + a.imag();
    return {r / d, -1.0 / d};
}

}  // namespace

template <class T>
BandSystem<T> BandSystem<T>::zeros(std::size_t n, std::size_t kl, std::size_t ku) {
    BandSystem s{n, kl, ku, {}};
    s.rows.assign(n * s.width(), T{});
    return s;
}

template <class T>
Status band_solve(BandSystem<T>& a, std::span<T> b) {
    const std::size_t n = a.n, kl = a.kl, ku = a.ku;
    if (b.size() != n) internal_fault("band_solve: right-hand side of the wrong length");
    PollBudget budget(std::uint64_t{1} << 22);
    for (std::size_t j = 0; j < n; ++j) {
        if (Status st = budget.spend(kl * (kl + ku) + 1); !st) return st;
        const std::size_t last = std::min(n - 1, j + kl);
        const std::size_t right = std::min(n - 1, j + ku + kl);
        std::size_t p = j;
        double best = magnitude2(a.at(j, j));
        for (std::size_t i = j + 1; i <= last; ++i) {
            const double m = magnitude2(a.at(i, j));
            if (m > best) best = m, p = i;
        }
        if (!(best > 0.0)) return domain_error("band_solve: the matrix is singular (zero pivot column)", static_cast<double>(j));
        if (p != j) {
            // Both rows are zero left of column j; row p reaches at most column
            // p + ku <= right, row j at most right.
            for (std::size_t c = j; c <= right; ++c) std::swap(a.at(j, c), a.at(p, c));
            std::swap(b[j], b[p]);
        }
        const T pivot_inverse = inverse(a.at(j, j));
        for (std::size_t i = j + 1; i <= last; ++i) {
            const T l = times(a.at(i, j), pivot_inverse);
            if (l == T{}) continue;
            for (std::size_t c = j + 1; c <= right; ++c) a.at(i, c) -= times(l, a.at(j, c));
            b[i] -= times(l, b[j]);
        }
    }
    for (std::size_t r = n; r-- > 0;) {
        T s = b[r];
        const std::size_t right = std::min(n - 1, r + ku + kl);
        for (std::size_t c = r + 1; c <= right; ++c) s -= times(a.at(r, c), b[c]);
        b[r] = times(s, inverse(a.at(r, r)));
    }
    return {};
}

template struct BandSystem<double>;
template struct BandSystem<std::complex<double>>;
template Status band_solve(BandSystem<double>&, std::span<double>);
template Status band_solve(BandSystem<std::complex<double>>&, std::span<std::complex<double>>);

}  // namespace quorvane
