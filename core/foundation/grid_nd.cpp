#include "core/foundation/grid_nd.hpp"

#include <bit>
#include <cmath>
#include <limits>

#include "core/foundation/boundary.hpp"
#include "core/foundation/numeric.hpp"

namespace quorvane {

template <std::size_t D>
std::size_t GridND<D>::len() const {
    std::size_t total = 1;
    for (const Grid1D<double>& a : axes) {
        if (__builtin_mul_overflow(total, a.n, &total)) return std::numeric_limits<std::size_t>::max();
    }
    return total;
}

template <std::size_t D>
double GridND<D>::interp_axis(const GridFnND<D>& f, std::size_t d, const std::array<AxisTaps, D>& taps,
                              std::uint64_t offset) {
    if (d == 0) {
        if (offset >= f.values.size()) internal_fault("GridND::interp_axis: tap index outside the values");
        return f.values[offset];
    }
    if (d > D) internal_fault("GridND::interp_axis: more axes requested than the grid has");
    const std::size_t a = d - 1;
    const AxisTaps& rec = taps[a];
    if (rec.count == 0) return 0.0;
    if (rec.count > 4) internal_fault("GridND::interp_axis: more than four taps on an axis");
    const Grid1D<double>& axis = f.grid.axes[a];
    const std::uint64_t n = axis.n;
    auto v = [&](std::uint64_t m) { return interp_axis(f, a, taps, offset + m * rec.stride); };

    double sum = 0.0;
    for (std::uint64_t j = 0; j < rec.count; ++j) {
        const AxisTap& tap = rec.taps[j];
        const double k = static_cast<double>(tap.k);
        double value = 0.0;
        switch (tap.kind) {
            case AxisTapKind::Node:
                value = v(tap.payload);
                break;
            case AxisTapKind::Zero:
                value = 0.0;
                break;
            case AxisTapKind::LinearLeft: {
                // u(-k) = u0 - (k/2)(-3u0 + 4u1 - u2): the one-sided
                // second-order slope at node 0 carried k nodes outward.
                if (n < 3) internal_fault("GridND::interp_axis: linear continuation needs 3 nodes");
                const double u0 = v(0), u0b = v(0), u1 = v(1), u2 = v(2);
                value = u0 + (-0.5 * k) * ((-3.0 * u0b + 4.0 * u1) - u2);
                break;
            }
            case AxisTapKind::LinearRight: {
                if (n < 3) internal_fault("GridND::interp_axis: linear continuation needs 3 nodes");
                const double e0 = v(n - 1), e1 = v(n - 2), e2 = v(n - 3), e0b = v(n - 1);
                value = e0 + (k / 2.0) * (e2 + (3.0 * e0b - 4.0 * e1));
                break;
            }
            case AxisTapKind::Constant:
                value = std::bit_cast<double>(tap.payload);
                break;
            case AxisTapKind::Image: {
                const double m = v(tap.payload);
                if (axis.boundary.tag == BoundaryTag::RobinImage) {
                    // The image of a Robin end decays like exp(-2(alpha/beta) * distance).
                    const double alpha = axis.boundary.p1, beta = axis.boundary.p2;
                    value = std::exp((-axis.dx()) * ((2.0 * alpha / beta) * k)) * m;
                } else {
                    value = m;
                }
                break;
            }
            case AxisTapKind::Negated:
                value = -v(tap.payload);
                break;
            default:
                internal_fault("GridND::interp_axis: unknown tap kind");
        }
        sum += rec.weights[j] * value;
    }
    return sum;
}

template <std::size_t D>
Expected<GridFnND<D>> GridFnND<D>::make(const GridND<D>& grid, std::vector<double> values) {
    if (values.size() != grid.len()) {
        return domain_error("GridFnND::new: values.len() must equal grid.len()", static_cast<double>(values.size()));
    }
    const InterpTag tag = grid.interp_kind.tag;
    if (D > 1 && tag != InterpTag::CubicHermite && tag != InterpTag::Linear) {
        return fail(CoreError::unsupported(kGridNDKindFeature));
    }
    return GridFnND<D>{grid, std::move(values)};
}

AxisTap resolve_axis_tap(const Grid1D<double>& axis, std::int64_t j) {
    const std::size_t n = axis.n;
    if (j >= 0 && static_cast<std::uint64_t>(j) < n) return {AxisTapKind::Node, 0, static_cast<std::uint64_t>(j)};
    // Distances are kept in 64 bits: a 32-bit count would wrap beyond 2^32
    // nodes and put the continuation on the wrong side of the scale.
    const std::uint64_t dist = outside_distance(j, n);
    switch (axis.boundary.tag) {
        case BoundaryTag::Reflect:
            return {AxisTapKind::Node, 0, static_cast<std::uint64_t>(mirror_index(j, n))};
        case BoundaryTag::Zero:
            return {AxisTapKind::Zero, 0, 0};
        case BoundaryTag::Periodic:
            return {AxisTapKind::Node, 0, static_cast<std::uint64_t>(periodic_index(j, n))};
        case BoundaryTag::Linear:
            return {j < 0 ? AxisTapKind::LinearLeft : AxisTapKind::LinearRight, dist, 0};
        case BoundaryTag::Constant:
            return {AxisTapKind::Constant, 0, std::bit_cast<std::uint64_t>(axis.boundary.p1)};
        case BoundaryTag::Clamp:
            return {AxisTapKind::Node, 0, j < 0 ? 0 : static_cast<std::uint64_t>(n - 1)};
        case BoundaryTag::RobinImage:
            return {AxisTapKind::Image, dist, static_cast<std::uint64_t>(mirror_index(j, n))};
        case BoundaryTag::OddReflect:
            return {AxisTapKind::Negated, 0, static_cast<std::uint64_t>(mirror_index(j, n))};
    }
    internal_fault("resolve_axis_tap: unknown policy tag");
}

Expected<AxisTaps> build_axis_taps(const Grid1D<double>& axis, InterpKind kind, double x, std::uint64_t stride,
                                   bool foot) {
    if (kind.tag != InterpTag::CubicHermite && kind.tag != InterpTag::Linear) {
        return fail(CoreError::unsupported(kGridNDKindFeature));
    }
    if (!std::isfinite(x)) return domain_error("GridND::interp: evaluation point must be finite", x);
    const double s = (x - axis.xmin) / axis.dx();
    // Beyond 2^53 cells neighbouring cells are no longer distinct doubles.
    if (!(std::fabs(s) < 9007199254740992.0)) {
        return domain_error(kReadTooFar, x);
    }
    const double f = std::floor(s);
    const std::int64_t i = saturating_cast<std::int64_t>(f);
    const double t = s - f;

    AxisTaps rec;
    rec.stride = stride;
    const bool two_point = kind.tag == InterpTag::Linear ||
                           (foot && axis.boundary.tag != BoundaryTag::Periodic &&
                            (i - 1 < 0 || i + 2 >= static_cast<std::int64_t>(axis.n)));
    if (!two_point) {
        // Catmull-Rom weights: the cubic Hermite with central-difference
        // slopes, exact for quadratics.
        const double t2 = t * t, t3 = t2 * t;
        rec.count = 4;
        rec.weights = {0.5 * ((-t + 2.0 * t2) - t3), 0.5 * ((2.0 - 5.0 * t2) + 3.0 * t3),
                       0.5 * ((t + 4.0 * t2) - 3.0 * t3), 0.5 * (t3 - t2)};
        for (std::int64_t q = 0; q < 4; ++q) rec.taps[q] = resolve_axis_tap(axis, i - 1 + q);
    } else {
        rec.count = 2;
        rec.weights = {1.0 - t, t, 0.0, 0.0};
        rec.taps[0] = resolve_axis_tap(axis, i);
        rec.taps[1] = resolve_axis_tap(axis, i + 1);
    }
    return rec;
}

template <std::size_t D>
Expected<std::array<AxisTaps, D>> build_point_taps(const GridND<D>& grid, const std::array<double, D>& point,
                                                   bool foot) {
    std::array<AxisTaps, D> out{};
    std::uint64_t stride = 1;
    for (std::size_t a = 0; a < D; ++a) {
        Expected<AxisTaps> r = build_axis_taps(grid.axes[a], grid.interp_kind, point[a], stride, foot);
        if (!r) return fail(r.error());
        out[a] = *r;
        stride *= grid.axes[a].n;
    }
    return out;
}

#define QUORVANE_INSTANTIATE_GRID_ND(D)    \
    template struct GridND<D>;             \
    template struct GridFnND<D>;           \
    template Expected<std::array<AxisTaps, D>> build_point_taps<D>(const GridND<D>&, const std::array<double, D>&, bool);

QUORVANE_INSTANTIATE_GRID_ND(2)
QUORVANE_INSTANTIATE_GRID_ND(3)
QUORVANE_INSTANTIATE_GRID_ND(4)
QUORVANE_INSTANTIATE_GRID_ND(5)
QUORVANE_INSTANTIATE_GRID_ND(6)

}  // namespace quorvane
