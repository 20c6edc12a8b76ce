// The subordinated flow exp(-t phi(B/dx^2)) on grids whose ends do not give
// the modes in closed form ("zero" and "linear" ends), by a contour integral
// of the resolvent:
//
//   f(B) r = (1/2 pi i) oint f(z) (z - B)^{-1} r dz,
//
// B = -dx^2 L the unit diffusion's generator in cells (a band of three
// diagonals each side, spectrum real in [0, 6.05]), f(z) = exp(-t phi(z/dx^2)).
// The contour encloses [m, M] (m below the least nonzero eigenvalue, M =
// ||B||_inf above the largest) inside the sector |arg z| < pi/(2p) where
// every law's |f| <= 1 at every t (p = max(alpha, 1/2) for the stable law,
// p = 1 for the others): z -> z^p maps the sector onto the right half
// plane, a Cayley map that onto the unit disk minus [-k, k], and Jacobi's sn
// the period strip onto that; the trapezoidal rule on the strip's midline
// converges like exp(-pi K' N / (4K)), uniformly in t, c and alpha
// (Hale, Higham and Trefethen's construction, kept inside the sector).
//
// Each node costs one banded solve (O(n)); the nodes come in conjugate
// pairs, of which one is solved. "linear" ends keep lines: their kernel
// (constants and lines, eigenvalue 0) lies outside the contour and is
// carried by the spectral projector P0 = V (W^T V)^{-1} W^T, W the left null
// vectors of B.
#pragma once

#include <complex>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"

namespace quorvane {

struct SubordinatedContour {
    using Complex = std::complex<double>;

    // The most nodes served. The solves near the spectrum's low end have
    // condition ~ n^2, so the flow's rounding grows like n^2 eps: at most
    // 4e-11 of max|u0| on 3000 nodes, 8e-10 on 1e4, 7e-7 on 1e5, 3e-6 here
    // (the check's f = 1, the worst t), 6e-5 on 1e6.
    static constexpr std::size_t kMaxNodes = std::size_t{1} << 18;

    std::size_t n = 0;
    std::vector<double> band;       // B, n rows of the diagonals -3 .. 3
    std::vector<Complex> nodes;     // z_j, one of each conjugate pair
    std::vector<Complex> weights;   // 2 dz_j/(2 pi i): the pair's sum is the real part
    std::vector<double> condition;  // of z_j - B, bounded from the spectrum's enclosure
    // "linear" ends: P0 r = lines (c0 + c1 (i - (n-1)/2)) with c = W^T r.
    std::vector<double> left_constant, left_slope;

    // The contour for `grid` ("zero" or "linear" ends, n >= 4) in the sector
    // of power `p` (1/2 <= p <= 1). Checked once on a fixed vector: the
    // quadrature of f = 1 must give back r - P0 r (no eigenvalue outside).
    static Expected<std::shared_ptr<const SubordinatedContour>> make(const Grid1D<double>& grid, double p);

    // Bytes one call needs besides its data and result.
    static std::optional<std::size_t> call_bytes(std::size_t n);

    // P0 r (zero for "zero" ends).
    std::vector<double> kernel_part(std::span<const double> r) const;

    // dst = f(B) src, f(z_j) = exp(-exp(log_w[j])), log_w[j] = log(t phi(z_j/dx^2))
    // (one per node, in the order of `nodes`). Sums the quadrature of f on
    // r = src - P0 src, and of f - 1 (added to src), and returns whichever
    // of the two loses fewer digits to rounding: the first where the flow
    // damps r, the second where it changes it little (t -> 0 returns src).
    Status apply(std::span<const double> src, std::span<double> dst, std::span<const Complex> log_w) const;

    // Both quadratures of `apply`, and the rounding each carries (sum over
    // the nodes of |weight h| max|x| times the solve's condition).
    struct Sums {
        std::vector<double> kernel, f, g;  // P0 src, Q[f] r, Q[f - 1] r
        double size_f = 0.0, size_g = 0.0;
    };
    Expected<Sums> sums(std::span<const double> src, std::span<const Complex> log_w) const;
};

}  // namespace quorvane
