// The exact exponential of abar * D2_h on a periodic axis, by a direct
// discrete Fourier transform (D2_h = (1, -2, 1)/h^2 has the symbol
// (2 cos(2 pi k/n) - 2)/h^2).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/foundation/stop.hpp"

namespace quorvane {

// The transform's angles and the mode factors of one axis, computed once per
// axis step and shared by all its fibres.
class SpectralHeatStep {
public:
    SpectralHeatStep(std::size_t n, double h, double abar, double dt);

    // u <- F^-1 diag(exp(dt abar lambda_k)) F u, the imaginary part dropped.
    // The transforms take n^2 products, minutes for n = 10^6: a stop request
    // (poll_stop) ends them, looked at every ~2^20 products over all the
    // calls of this object.
    Status apply(std::span<double> u);

private:
    std::size_t n_;
    PollBudget budget_{std::uint64_t{1} << 20};
    std::vector<double> cos_, sin_;  // of 2 pi p/n, p = 0 .. n-1
    std::vector<double> factor_;
    std::vector<double> re_, im_;
};

}  // namespace quorvane
