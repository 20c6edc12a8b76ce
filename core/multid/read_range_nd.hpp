// The range of the tensor-product cubic read of data on a 2-D or 3-D grid,
// the range the anisotropic shift steps are clipped to (see
// core/foundation/flow_range.hpp for the 1-D rule this one follows).
//
// The nodes, and each cell's extremes beyond its corner values as far as the
// data there are smooth along every axis: those extremes are proven bounds
// of the read (tensor_cubic_extreme), never estimates, so on smooth data
// every value the read takes lies in the range and no clip moves a value of
// smooth data; where the data are rough on the grid's scale, or flat where a
// clip has cut them, a between-node overshoot is the read's and counts for
// nothing. Data that lie in a range read before (a state rebuilt from the
// values of an earlier one) then read no wider a range, and a chain of
// rebuilt states keeps the first one's bound.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "core/foundation/error.hpp"
#include "core/foundation/flow_range.hpp"
#include "core/foundation/grid_nd.hpp"

namespace quorvane {

// 4^D: the Bernstein coefficients of one cell of a D-axis tensor cubic.
constexpr std::size_t cell_coefficients(std::size_t d) { return d == 0 ? 1 : 4 * cell_coefficients(d - 1); }
template <std::size_t D>
inline constexpr std::size_t kCellCoefficients = cell_coefficients(D);

// A proven bound of the greatest value (`upper`; else the least) of the
// tensor-product cubic with Bernstein coefficients b (axis 0 fastest) over
// its unit cell: along axis 0 the cubic's exact extreme, along each further
// axis the bounds of its slices at split points, every interval's larger end
// widened by h^2 M / 8 (M from the second differences of b along that axis,
// the crest side only), intervals that could hold more than the slices so
// far split in 4 (twelve levels deep, 1024 slices a level at most), and a
// rounding allowance of 16 ulps of the largest |b| a level. It never lies
// beyond the hull of b; on smooth data it lies within about 1e-15 M of the
// read's own extreme.
template <std::size_t D>
double tensor_cubic_extreme(const std::array<double, kCellCoefficients<D>>& b, bool upper);

// The range of the tensor cubic read of `values` on `grid` over every cell
// (across a periodic seam too): the nodes, and each cell's extremes beyond
// the largest (smallest) of its corners, widened by kReadErrorShare |D8 u|
// and weighted by the least cell_smoothness of its edges and by bent_share
// of the data's bend towards the extreme (each axis's cell_bend where all
// the cell's edges along it bend that way, summed over the axes). Next to a
// non-periodic end the data are continued by their straight line (a zero
// end's ghost zeros or a mirror's kink are no part of the data); 0 joins the
// range under a "zero" end. A grid read by straight lines reads its nodes'
// range. The values are finite. A stop request ends it.
template <std::size_t D>
Expected<FlowRange> read_range_nd(const GridND<D>& grid, std::span<const double> values);

// What a read of the range spends on its cells' bounds, in one-dimensional
// cubic extremes: `taken`, and at most `allowed` (by default 128 a value,
// about what reading the edges of noise data costs, and 2^16 besides, so
// that the few crests of a small grid are bounded whole). A cell's bound is
// tight only where it could move an end of the range read so far; past the
// allowance it splits only its first two levels along each axis: an outer
// bound still, looser by up to 1.2e-3 |D2 u| on smooth data.
struct RangeWork {
    std::size_t allowed = 0, taken = 0;

    bool spent() const { return taken >= allowed; }
    static std::size_t allowance(std::size_t values) { return 128 * values + (std::size_t{1} << 16); }
};
// read_range_nd within work.allowed, adding to work.taken.
template <std::size_t D>
Expected<FlowRange> read_range_nd(const GridND<D>& grid, std::span<const double> values, RangeWork& work);

extern template double tensor_cubic_extreme<2>(const std::array<double, 16>&, bool);
extern template double tensor_cubic_extreme<3>(const std::array<double, 64>&, bool);

}  // namespace quorvane
