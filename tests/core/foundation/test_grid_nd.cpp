// Tensor-product evaluation of D-dimensional grid functions: tap resolution
// per boundary policy (against the 1-D sampler), exactness of the cubic and
// linear tensor rules, and the errors.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <vector>

#include "core/foundation/grid_nd.hpp"

namespace quorvane {
namespace {

using Policy = BoundaryPolicy<double>;

Grid1D<double> axis(Policy p, double lo, double hi, std::size_t n) {
    return *Grid1D<double>::make(p, InterpKind::septic(), lo, hi, n);
}

template <std::size_t D, class Fn>
GridFnND<D> fill(const GridND<D>& g, Fn f) {
    std::vector<double> v(g.len());
    for (std::size_t flat = 0; flat < v.size(); ++flat) {
        std::array<double, D> p{};
        std::size_t rest = flat;
        for (std::size_t a = 0; a < D; ++a) {
            p[a] = g.axes[a].node(rest % g.axes[a].n);
            rest /= g.axes[a].n;
        }
        v[flat] = f(p);
    }
    return *GridFnND<D>::make(g, std::move(v));
}

template <std::size_t D>
double eval(const GridFnND<D>& f, const std::array<double, D>& p) {
    return GridND<D>::interp_axis(f, D, *build_point_taps(f.grid, p), 0);
}

AxisTaps single(AxisTap tap, std::uint64_t stride) { return AxisTaps{{tap}, 1, {1.0}, stride}; }

TEST(GridNDTaps, ResolvedTapsGiveTheOneDimensionalPolicyValues) {
    // Axis 0 varies; axis 1 is pinned to node 2 by a single tap. Each
    // resolved tap of axis 0 must read what BoundaryPolicy::sample reads.
    for (const Policy& p : {Policy::reflect(), Policy::of(BoundaryTag::Zero), Policy::of(BoundaryTag::Periodic),
                            Policy::of(BoundaryTag::Linear), Policy::constant(-1.5), Policy::of(BoundaryTag::Clamp),
                            Policy::robin_image(0.7, 2.0), Policy::of(BoundaryTag::OddReflect)}) {
        const GridND<2> g{{axis(p, 0.0, 1.2, 7), axis(Policy::reflect(), -1.0, 1.0, 5)}, InterpKind::of(InterpTag::Linear)};
        const GridFnND<2> f = fill(g, [](auto q) { return std::sin(3.0 * q[0]) + q[0] * q[0] + 10.0 * q[1]; });
        const std::span<const double> row(f.values.data() + 2 * 7, 7);
        for (std::int64_t j = -15; j <= 20; ++j) {
            const std::array<AxisTaps, 2> taps{single(resolve_axis_tap(g.axes[0], j), 1),
                                               single({AxisTapKind::Node, 0, 2}, 7)};
            const double want = p.sample(row, 7, j, g.axes[0].dx());
            // The operation order differs from the 1-D sampler: rounding only.
            EXPECT_NEAR(GridND<2>::interp_axis(f, 2, taps, 0), want, 1e-13 * (1.0 + std::fabs(want)))
                << "tag=" << int(p.tag) << " j=" << j;
        }
    }
    // Distances beyond 2^32 nodes are kept whole, not wrapped to 32 bits.
    const AxisTap far = resolve_axis_tap(axis(Policy::of(BoundaryTag::Linear), 0.0, 1.0, 5), -(std::int64_t{1} << 33) - 3);
    EXPECT_EQ(far.kind, AxisTapKind::LinearLeft);
    EXPECT_EQ(far.k, (std::uint64_t{1} << 33) + 3);
    EXPECT_EQ(resolve_axis_tap(axis(Policy::constant(2.5), 0.0, 1.0, 5), 7).payload, std::bit_cast<std::uint64_t>(2.5));
}

TEST(GridNDInterp, CubicExactForQuadraticsPerAxisLinearForMultilinear) {
    const GridND<2> g2{{axis(Policy::reflect(), -1.0, 2.0, 13), axis(Policy::reflect(), 0.0, 1.0, 9)},
                       InterpKind::of(InterpTag::CubicHermite)};
    auto biq = [](auto p) { return (1.0 + p[0] - 2.0 * p[0] * p[0]) * (0.5 - p[1] + 3.0 * p[1] * p[1]); };
    const GridFnND<2> f2 = fill(g2, biq);
    for (auto p : {std::array<double, 2>{-0.3, 0.41}, {0.0, 0.5}, {1.37, 0.2}, {0.6, 0.734}})
        EXPECT_NEAR(eval(f2, p), biq(p), 1e-13) << p[0] << "," << p[1];  // exact up to rounding
    EXPECT_EQ(eval(f2, {0.5, 0.25}), f2.values[6 + 13 * 2]);  // a node: t = 0 on both axes

    // Linear kind with linear continuation: multilinear data is exact inside
    // and beyond every face.
    GridND<6> g6;
    for (std::size_t a = 0; a < 6; ++a) g6.axes[a] = axis(Policy::of(BoundaryTag::Linear), 0.0, 1.0, 4);
    g6.interp_kind = InterpKind::of(InterpTag::Linear);
    auto multi = [](auto p) {
        double v = 1.0;
        for (std::size_t a = 0; a < 6; ++a) v *= (1.0 + (a + 1.0) * p[a]);
        return v;
    };
    const GridFnND<6> f6 = fill(g6, multi);
    for (auto p : {std::array<double, 6>{0.1, 0.5, 0.9, 0.33, 0.0, 1.0}, {-0.4, 1.3, 0.2, 0.7, 2.0, -0.1}})
        EXPECT_NEAR(eval(f6, p), multi(p), 1e-11 * std::fabs(multi(p)));  // 2^6 taps, each with its own rounding
}

TEST(GridNDConstruct, LengthThenKindThenPoint) {
    GridND<3> g{{axis(Policy::reflect(), 0, 1, 4), axis(Policy::reflect(), 0, 1, 5), axis(Policy::reflect(), 0, 1, 6)},
                InterpKind::septic()};
    EXPECT_EQ(GridFnND<3>::make(g, std::vector<double>(119)).error(),
              CoreError::domain("GridFnND::new: values.len() must equal grid.len()", 119.0));
    EXPECT_EQ(GridFnND<3>::make(g, std::vector<double>(120)).error(),
              CoreError::unsupported("GridND::interp for D > 1 (use InterpKind::CubicHermite or Linear)"));
    EXPECT_FALSE(build_point_taps(g, {0.5, 0.5, 0.5}));
    g.interp_kind = InterpKind::of(InterpTag::Linear);
    const GridFnND<3> f = *GridFnND<3>::make(g, std::vector<double>(120));
    EXPECT_EQ(build_point_taps(g, {0.5, std::nan(""), 0.5}).error().display(),
              "domain violation: GridND::interp: evaluation point must be finite (value = NaN)");
    EXPECT_FALSE(build_point_taps(g, {0.5, 0.5, 1e300}));
    auto taps = *build_point_taps(g, {0.5, 0.5, 0.5});
    taps[1].count = 5;  // more taps than an axis holds
    EXPECT_THROW(GridND<3>::interp_axis(f, 3, taps, 0), InternalFault);
}

}  // namespace
}  // namespace quorvane
