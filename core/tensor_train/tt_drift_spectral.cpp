#include "core/tensor_train/tt_drift_spectral.hpp"

#include <cmath>
#include <numbers>

namespace quorvane {

SpectralHeatStep::SpectralHeatStep(std::size_t n, double h, double abar, double dt)
    : n_(n), cos_(n), sin_(n), factor_(n), re_(n), im_(n) {
    constexpr double two_pi = 2.0 * std::numbers::pi;
    const double nn = static_cast<double>(n);
    const double h2 = h * h;
    for (std::size_t k = 0; k < n; ++k) {
        const double cs = std::cos((static_cast<double>(k) * two_pi) / nn);
        const double lambda = ((cs + cs) - 2.0) / h2;
        factor_[k] = std::exp(dt * (abar * lambda));
    }
    // Every angle of the transform is 2 pi (j k mod n)/n: one table of n
    // sines and cosines serves all n^2 terms, and reducing the index first
    // keeps the angles small (and exact as integers).
    for (std::size_t p = 0; p < n; ++p) {
        const double angle = (two_pi / nn) * static_cast<double>(p);
        cos_[p] = std::cos(angle);
        sin_[p] = std::sin(angle);
    }
}

Status SpectralHeatStep::apply(std::span<double> u) {
    const std::size_t n = n_;
    // Forward: Re_k + i Im_k = sum_j u_j e^{-2 pi i jk/n}.
    for (std::size_t k = 0; k < n; ++k) {
        if (Status st = budget_.spend(n); !st) return st;
        double re = 0.0, im = 0.0;
        std::size_t p = 0;  // j*k mod n
        for (std::size_t j = 0; j < n; ++j) {
            re += u[j] * cos_[p];
            im -= u[j] * sin_[p];
            p += k;
            if (p >= n) p -= n;
        }
        re_[k] = re * factor_[k];
        im_[k] = im * factor_[k];
    }
    // Inverse, real part: u_j = (1/n) sum_k (Re_k cos - Im_k sin)(2 pi jk/n).
    const double inv_n = 1.0 / static_cast<double>(n);
    for (std::size_t j = 0; j < n; ++j) {
        if (Status st = budget_.spend(n); !st) return st;
        double acc = 0.0;
        std::size_t p = 0;
        for (std::size_t k = 0; k < n; ++k) {
            acc += re_[k] * cos_[p] - im_[k] * sin_[p];
            p += j;
            if (p >= n) p -= n;
        }
        u[j] = inv_n * acc;
    }
    return {};
}

}  // namespace quorvane
