// Discrete Fourier transforms of any length n >= 1: radix-2 where n is a
// power of two, otherwise Bluestein's chirp, which writes the length-n
// transform as a cyclic convolution of a power-of-two length m >= 2n - 1.
// Both are exact to a few ulps times log m of the largest coefficient.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

#include "core/foundation/error.hpp"

namespace quorvane {

class Dft {
public:
    // The plan for length n; an error where its tables would not fit in
    // this machine's memory.
    static Expected<Dft> make(std::size_t n);

    std::size_t size() const { return n_; }
    // Complex values the transform works in (for m > n: the convolution's).
    std::size_t work_size() const { return m_; }

    // a[k] := sum_j a[j] e^{-2 pi i jk/n} (sign -1) or e^{+2 pi i jk/n}
    // (sign +1), in place; `work` is resized to work_size().
    void transform(std::vector<std::complex<double>>& a, int sign, std::vector<std::complex<double>>& work) const;

private:
    std::size_t n_ = 0, m_ = 0;
    std::vector<std::complex<double>> roots_;     // e^{-2 pi i k/m}, k < m/2
    std::vector<std::complex<double>> chirp_;     // e^{-pi i j^2/n}, j < n (Bluestein only)
    std::vector<std::complex<double>> chirp_ft_;  // transform of the conjugate chirp, wrapped to m

    void radix2(std::complex<double>* a, int sign) const;
};

}  // namespace quorvane
