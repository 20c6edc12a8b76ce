#include "core/foundation/fft.hpp"

#include <bit>
#include <cmath>
#include <optional>
#include <utility>

#include "core/foundation/memory.hpp"

namespace quorvane {

namespace {

constexpr double kPi = 3.141592653589793238462643383279502884;

// e^{-2 pi i k/m}, each from its own angle (no recurrence), so every root is
// correct to a few ulps however long the transform.
std::complex<double> root(std::size_t k, std::size_t m) {
    const double a = 2.0 * kPi * static_cast<double>(k) / static_cast<double>(m);
    return {std::cos(a), -std::sin(a)};
}

}  // namespace

Expected<Dft> Dft::make(std::size_t n) {
    if (n == 0) return domain_error("Dft::make: length must be >= 1", 0.0);
    Dft d;
    d.n_ = n;
    const bool pow2 = std::has_single_bit(n);
    // Bluestein's convolution needs m >= 2n - 1.
    if (!pow2 && n > (std::size_t{1} << 61)) return domain_error("Dft::make: length too large", static_cast<double>(n));
    d.m_ = pow2 ? n : std::bit_ceil(2 * n - 1);
    // roots (m/2), chirp (n), chirp_ft (m) and the work (m) of a transform.
    const std::size_t values = d.m_ / 2 + (pow2 ? 0 : n + 2 * d.m_);
    if (!fits_in_memory(values <= SIZE_MAX / sizeof(std::complex<double>)
                            ? std::optional<std::size_t>(values * sizeof(std::complex<double>))
                            : std::nullopt)) {
        return domain_error("Dft::make: the transform's tables do not fit in memory", static_cast<double>(n));
    }
    d.roots_.resize(d.m_ / 2);
    for (std::size_t k = 0; k < d.m_ / 2; ++k) d.roots_[k] = root(k, d.m_);
    if (pow2) return d;
    // j^2 mod 2n keeps the chirp's angle pi j^2/n small, so it is exact to an ulp.
    d.chirp_.resize(n);
    const std::size_t two_n = 2 * n;
    std::size_t sq = 0;  // j^2 mod 2n
    for (std::size_t j = 0; j < n; ++j) {
        const double a = kPi * static_cast<double>(sq) / static_cast<double>(n);
        d.chirp_[j] = {std::cos(a), -std::sin(a)};
        // (j + 1)^2 = j^2 + 2j + 1, each term below 2n.
        const std::size_t step = (2 * j + 1) % two_n;
        sq = sq >= two_n - step ? sq - (two_n - step) : sq + step;
    }
    d.chirp_ft_.assign(d.m_, {0.0, 0.0});
    d.chirp_ft_[0] = std::conj(d.chirp_[0]);
    for (std::size_t j = 1; j < n; ++j) d.chirp_ft_[j] = d.chirp_ft_[d.m_ - j] = std::conj(d.chirp_[j]);
    d.radix2(d.chirp_ft_.data(), -1);
    return d;
}

// Iterative decimation in time over m points (bit-reversed input order).
void Dft::radix2(std::complex<double>* a, int sign) const {
    const std::size_t m = m_;
    for (std::size_t i = 1, j = 0; i < m; ++i) {
        std::size_t bit = m >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (std::size_t len = 2; len <= m; len <<= 1) {
        const std::size_t half = len / 2, stride = m / len;
        for (std::size_t s = 0; s < m; s += len) {
            for (std::size_t k = 0; k < half; ++k) {
                const std::complex<double> w = sign < 0 ? roots_[k * stride] : std::conj(roots_[k * stride]);
                const std::complex<double> u = a[s + k], v = a[s + k + half] * w;
                a[s + k] = u + v;
                a[s + k + half] = u - v;
            }
        }
    }
}

void Dft::transform(std::vector<std::complex<double>>& a, int sign, std::vector<std::complex<double>>& work) const {
    if (a.size() != n_) internal_fault("Dft::transform: length mismatch");
    if (chirp_.empty()) {
        radix2(a.data(), sign);
        return;
    }
    // sum_j a_j w^{jk} = c_k sum_j (a_j c_j) conj(c_{k-j}), c_j = e^{-pi i j^2/n}
    // (2jk = j^2 + k^2 - (k-j)^2); the inverse takes the conjugate chirps.
    auto chirp = [&](std::size_t j) { return sign < 0 ? chirp_[j] : std::conj(chirp_[j]); };
    work.assign(m_, {0.0, 0.0});
    for (std::size_t j = 0; j < n_; ++j) work[j] = a[j] * chirp(j);
    radix2(work.data(), -1);
    for (std::size_t k = 0; k < m_; ++k) work[k] *= sign < 0 ? chirp_ft_[k] : std::conj(chirp_ft_[(m_ - k) % m_]);
    radix2(work.data(), +1);
    const double scale = 1.0 / static_cast<double>(m_);
    for (std::size_t k = 0; k < n_; ++k) a[k] = chirp(k) * (work[k] * scale);
}

}  // namespace quorvane
