// Tensor grids of D axes, their grid functions and the tensor-product
// evaluation at a point from per-axis taps.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"

namespace quorvane {

template <std::size_t D>
struct GridFnND;

// How one tap of an axis gets its value; v(j) is the evaluation of the
// remaining axes at node j of this axis.
enum class AxisTapKind : std::uint32_t {
    Node = 0,         // v(payload)
    Zero = 1,         // 0
    LinearLeft = 2,   // second-order continuation k nodes left of node 0
    LinearRight = 3,  // second-order continuation k nodes right of node n-1
    Constant = 4,     // the double whose bits are the payload
    Image = 5,        // v(payload), times the Robin image factor on a RobinImage axis
    Negated = 6,      // -v(payload)
};

struct AxisTap {
    AxisTapKind kind = AxisTapKind::Node;
    std::uint64_t k = 0;        // distance beyond the end node (LinearLeft/Right, Image)
    std::uint64_t payload = 0;  // node index, or the bits of a Constant's value
};

// The taps of one axis for one point; the taps in use come first.
struct AxisTaps {
    std::array<AxisTap, 4> taps{};
    std::uint64_t count = 0;
    std::array<double, 4> weights{};
    std::uint64_t stride = 0;  // distance in the values between neighbouring nodes of the axis
};

// Axes in order, axis 0 fastest in the flat node order: node (i_0, ..., i_{D-1})
// at i_0 + n_0*(i_1 + n_1*(...)). One interpolation kind for the whole grid.
template <std::size_t D>
struct GridND {
    std::array<Grid1D<double>, D> axes{};
    InterpKind interp_kind{};

    // Product of the axis node counts (SIZE_MAX if it does not fit).
    std::size_t len() const;

    // Tensor-product value: the weighted sum over the taps of axis d-1 of
    // the same sum over the axes below, down to values[offset]. The top call
    // passes d = D and offset = 0. Taps that leave the values, or more than
    // four taps on an axis, are internal faults.
    static double interp_axis(const GridFnND<D>& f, std::size_t d, const std::array<AxisTaps, D>& taps,
                              std::uint64_t offset);
};

template <std::size_t D>
struct GridFnND {
    GridND<D> grid{};
    std::vector<double> values;

    // Length first ("GridFnND::new: values.len() must equal grid.len()",
    // value = length); then, since the tensor evaluation has taps only for
    // them, a kind other than CubicHermite or Linear is Unsupported.
    static Expected<GridFnND> make(const GridND<D>& grid, std::vector<double> values);
};

inline constexpr const char* kGridNDKindFeature = "GridND::interp for D > 1 (use InterpKind::CubicHermite or Linear)";

// Tap for node index j of `axis` (any j): inside [0, n) the node itself,
// beyond the ends the axis policy's resolution (the same values as
// BoundaryPolicy::sample gives).
AxisTap resolve_axis_tap(const Grid1D<double>& axis, std::int64_t j);

// The taps of coordinate x on `axis` for `kind`: CubicHermite (four-point
// cubic with central slopes, exact for quadratics) or Linear. Other kinds
// are Unsupported; a non-finite x, or one more than 2^53 cells away, is a
// DomainViolation. With `foot` (a transport read), a cubic cell that taps a
// ghost node of a non-periodic axis takes the two-point taps instead, as
// Grid1D::interp_foot does.
Expected<AxisTaps> build_axis_taps(const Grid1D<double>& axis, InterpKind kind, double x, std::uint64_t stride,
                                   bool foot = false);

// The taps of every axis of `grid` for `point`, with the grid's kind and
// strides 1, n_0, n_0*n_1, ...
template <std::size_t D>
Expected<std::array<AxisTaps, D>> build_point_taps(const GridND<D>& grid, const std::array<double, D>& point,
                                                   bool foot = false);

}  // namespace quorvane
