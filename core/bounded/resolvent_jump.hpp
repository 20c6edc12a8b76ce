// e^{tA} g in one step for the unit diffusion generator with reflecting
// ends, by the inverse Laplace transform of the resolvent along a parabolic
// contour: e^{tA} g = (1/2 pi i) int e^{tz} (zI - A)^{-1} g dz, midpoint rule
// with M nodes, one complex solve per node.
//
// Rounding: every node carries weights of size ~e^{0.1309 M}, so the sum
// cancels numbers that much larger than the result; and for large t/dx^2
// the constant mode (1/z with |z| ~ M/t) is resolved against the grid modes
// (~4/dx^2) in one solve. The two compound: the error grows like
// e^{0.1309 M} t/dx^2 / M^1.5. The caller enforces the limits through
// jump_time_range (which depends on M) and kMaxJumpNodes.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

using Complex = std::complex<double>;

// Plain products and an overflow-safe quotient: the divisor is scaled by a
// power of two (exact) before the conjugate product, so |b|^2 neither
// overflows nor underflows for any finite b.
inline Complex cmul(Complex a, Complex b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}
Complex cdiv(Complex a, Complex b);

// The largest contour size. The quadrature reaches rounding level by
// M = 32 ... 48; past that, larger M only raises the weights' rounding floor
// (eps e^{0.1309 M}, ~4e-9 of max|g| at 128) and shrinks the time range
// (t_max s ~ 2.1e4 at 128).
inline constexpr std::uint64_t kMaxJumpNodes = 128;

// The times t for which M nodes keep the rounding below ~1e-6 of max|g| on
// a grid whose shifted Laplacian has sum over axes of 1/h^2 = s: t_max s is
// 1e9 up to M = 32 and falls like M^1.25 e^{-0.1309 M} beyond.
struct JumpTimeRange {
    double t_min;
    double t_max;
};
JumpTimeRange jump_time_range(std::uint64_t m_nodes, double s);

// Node k of the contour: z, and the weight w = h e^{tz} z' / (2 pi i).
struct ContourNode {
    Complex z;
    Complex w;
};
ContourNode contour_node(std::uint64_t m_nodes, double t, std::uint64_t k);

// sum_k w_k solve(z_k), real part. solve(z) yields N complex values.
template <class Solve>
Expected<std::vector<double>> contour_sum(std::uint64_t m_nodes, double t, std::size_t n, Solve&& solve) {
    std::vector<Complex> acc(n, Complex{});
    for (std::uint64_t k = 0; k < m_nodes; ++k) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        const ContourNode node = contour_node(m_nodes, t, k);
        Expected<std::vector<Complex>> u = solve(node.z);
        if (!u) return fail(u.error());
        for (std::size_t j = 0; j < n; ++j) acc[j] += cmul(node.w, (*u)[j]);
    }
    std::vector<double> out(n);
    for (std::size_t j = 0; j < n; ++j) out[j] = acc[j].real();
    return out;
}

// (zI - L) u = g with L the three-point Laplacian whose end rows use the
// ghost-point reflection (diagonal z + 2s, neighbour -2s): second order at
// the walls, constants in its kernel. Elimination without pivoting.
Expected<std::vector<Complex>> resolve_lhp(Complex z, double s, std::span<const double> g);

struct ResolventJumpChernoff {
    Grid1D<double> grid;
    std::uint64_t m_nodes = 6;

    // M >= 6, M <= kMaxJumpNodes.
    static Expected<ResolventJumpChernoff> make(const Grid1D<double>& grid, std::uint64_t m_nodes);
    double laplacian_scale() const;
    // e^{tA} g; g finite with grid.n values.
    Expected<std::vector<double>> jump(double t, std::vector<double> g) const;
};

}  // namespace quorvane
