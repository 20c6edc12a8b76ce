// Complex band matrices for the shifted 2-D/3-D Laplacians of the
// resolvent jumps, and their elimination without pivoting.
//
// Storage: N rows of 2k+1 entries, entry (r, c) at r(2k+1) + (c - r + k).
// Flat node order: the first axis runs fastest (NumPy's Fortran order).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/bounded/resolvent_jump.hpp"

namespace quorvane {

// N (2k+1) for an nx x ny (x nz) grid, k = nx (2-D) or nx ny (3-D); nullopt
// when it overflows 64 bits. nz = 0 means two dimensions.
std::optional<std::uint64_t> band_value_count(std::uint64_t nx, std::uint64_t ny, std::uint64_t nz);

// The most complex values one band may hold (256 MiB); a jump holds two.
inline constexpr std::uint64_t kMaxBandValues = std::uint64_t{1} << 24;

// zI - L with L the five-point (seven-point) Laplacian whose face rows use
// the ghost-point reflection per axis (diagonal 2/h^2 per axis, the one
// inside neighbour -2/h^2): second order at the faces, constants in the
// kernel. The element count must have passed band_value_count.
std::vector<Complex> banded_shifted_laplacian_2d(std::size_t nx, std::size_t ny, double hx, double hy, Complex z);
std::vector<Complex> banded_shifted_laplacian_3d(std::size_t nx, std::size_t ny, std::size_t nz, double hx, double hy,
                                                 double hz, Complex z);

// Solves band * x = rhs (half-bandwidth k, N rows) by Gaussian elimination
// without row exchanges, in place on `band` (taken by value: a caller that
// passes a temporary saves a copy of up to 2^24 entries) and on a copy of
// rhs; a stop request (poll_stop) ends the elimination.
Expected<std::vector<Complex>> banded_lu_solve(std::vector<Complex> band, std::size_t k, std::size_t n,
                                               const std::vector<Complex>& rhs);

}  // namespace quorvane
