#include "core/tensor_train/tt_spectral.hpp"

#include <cmath>
#include <complex>
#include <numbers>

#include "core/foundation/error.hpp"
#include "core/tensor_train/tt_core.hpp"

namespace quorvane {

namespace {
constexpr double kTwoPi = 2.0 * std::numbers::pi;
}  // namespace

SpectralTables tt_spectral_tables(std::size_t n, double h) {
    SpectralTables t{std::vector<double>(n), std::vector<double>(n)};
    for (std::size_t f = 0; f < n; ++f) {
        const double angle = (static_cast<double>(f) * kTwoPi) / static_cast<double>(n);
        t.lambda[f] = (2.0 * std::cos(angle) - 2.0) / (h * h);
        t.mu[f] = std::sin(angle) / h;
    }
    return t;
}

namespace {

// e^{2 pi i p/n} for p = 0 .. n-1: every term of a length-n transform is one
// of these at p = (index product) mod n, reduced exactly in integers.
std::vector<std::complex<double>> unit_roots(std::size_t n) {
    std::vector<std::complex<double>> w(n);
    for (std::size_t p = 0; p < n; ++p) {
        const double angle = (kTwoPi / static_cast<double>(n)) * static_cast<double>(p);
        w[p] = {std::cos(angle), std::sin(angle)};
    }
    return w;
}

// out[u] = sum_p in[p] w^{sign * u p}, or (1/n) of it for the inverse; the
// stride walks one axis of a row-major slice.
void dft_1d(const std::complex<double>* in, std::complex<double>* out, std::size_t n, std::size_t stride,
            const std::vector<std::complex<double>>& roots, bool inverse) {
    const double inv_n = 1.0 / static_cast<double>(n);
    for (std::size_t u = 0; u < n; ++u) {
        std::complex<double> acc = 0.0;
        std::size_t p_mod = 0;  // u*p mod n
        for (std::size_t p = 0; p < n; ++p) {
            const std::complex<double> w = inverse ? roots[p_mod] : std::conj(roots[p_mod]);
            acc += in[p * stride] * w;
            p_mod += u;
            if (p_mod >= n) p_mod -= n;
        }
        out[u * stride] = inverse ? acc * inv_n : acc;
    }
}

}  // namespace

void spectral_multiply_2d(std::vector<double>& theta, std::size_t r_left, std::size_t n_j, std::size_t n_k,
                          std::size_t r_right, std::span<const double> expsym) {
    if (expsym.size() != n_j * n_k || theta.size() != core_size(r_left * n_j, n_k, r_right)) {
        internal_fault("spectral_multiply_2d: sizes do not match");
    }
    const auto roots_j = unit_roots(n_j);
    const auto roots_k = unit_roots(n_k);
    std::vector<std::complex<double>> x(n_j * n_k), y(n_j * n_k);
    for (std::size_t a = 0; a < r_left; ++a) {
        for (std::size_t b = 0; b < r_right; ++b) {
            auto at = [&](std::size_t p, std::size_t q) -> double& {
                return theta[((a * n_j + p) * n_k + q) * r_right + b];
            };
            for (std::size_t p = 0; p < n_j; ++p)
                for (std::size_t q = 0; q < n_k; ++q) x[p * n_k + q] = at(p, q);
            // Forward along j (columns), then along k (rows).
            for (std::size_t q = 0; q < n_k; ++q) dft_1d(&x[q], &y[q], n_j, n_k, roots_j, false);
            for (std::size_t u = 0; u < n_j; ++u) dft_1d(&y[u * n_k], &x[u * n_k], n_k, 1, roots_k, false);
            for (std::size_t k = 0; k < n_j * n_k; ++k) x[k] *= expsym[k];
            // Inverse along k, then along j; the imaginary part is dropped.
            for (std::size_t u = 0; u < n_j; ++u) dft_1d(&x[u * n_k], &y[u * n_k], n_k, 1, roots_k, true);
            for (std::size_t q = 0; q < n_k; ++q) dft_1d(&y[q], &x[q], n_j, n_k, roots_j, true);
            for (std::size_t p = 0; p < n_j; ++p)
                for (std::size_t q = 0; q < n_k; ++q) at(p, q) = x[p * n_k + q].real();
        }
    }
}

}  // namespace quorvane
