// Tensor-product evaluation of D-dimensional grid functions: tap resolution
// per boundary policy (against the 1-D sampler), exactness of the cubic and
// linear tensor rules, the special taps, and the constructor's errors.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <vector>

#include "core/grid_nd.hpp"

namespace quorvane {
namespace {

Grid1D<double> axis(BoundaryPolicy<double> p, double lo, double hi, std::size_t n) {
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

TEST(GridNDTaps, ResolvedTapsGiveTheOneDimensionalPolicyValues) {
    // Axis 0 varies; axis 1 is pinned to node 2 by a single tap. Each
    // resolved tap of axis 0 must read what BoundaryPolicy::sample reads.
    const std::vector<BoundaryPolicy<double>> policies = {
        BoundaryPolicy<double>::reflect(),           BoundaryPolicy<double>::of(BoundaryTag::Zero),
        BoundaryPolicy<double>::of(BoundaryTag::Periodic), BoundaryPolicy<double>::of(BoundaryTag::Linear),
        BoundaryPolicy<double>::constant(-1.5),      BoundaryPolicy<double>::of(BoundaryTag::Clamp),
        BoundaryPolicy<double>::robin_image(0.7, 2.0), BoundaryPolicy<double>::of(BoundaryTag::OddReflect)};
    for (const auto& p : policies) {
        GridND<2> g{{axis(p, 0.0, 1.2, 7), axis(BoundaryPolicy<double>::reflect(), -1.0, 1.0, 5)},
                    InterpKind::of(InterpTag::Linear)};
        const GridFnND<2> f = fill(g, [](auto q) { return std::sin(3.0 * q[0]) + q[0] * q[0] + 10.0 * q[1]; });
        const std::span<const double> row(f.values.data() + 2 * 7, 7);
        for (std::int64_t j = -15; j <= 20; ++j) {
            AxisTaps t0;
            t0.count = 1;
            t0.weights[0] = 1.0;
            t0.stride = 1;
            t0.taps[0] = resolve_axis_tap(g.axes[0], j);
            AxisTaps t1;
            t1.count = 1;
            t1.weights[0] = 1.0;
            t1.stride = 7;
            t1.taps[0] = {AxisTapKind::Node, 0, 2};
            const double want = p.sample(row, 7, j, g.axes[0].dx());
            EXPECT_NEAR(GridND<2>::interp_axis(f, 2, {t0, t1}, 0), want, 1e-13 * (1.0 + std::fabs(want)))
                << "tag=" << int(p.tag) << " j=" << j;  // operation order differs from the 1-D sampler
        }
    }
}

TEST(GridNDTaps, ResolutionKindsAndDistances) {
    auto at = [](BoundaryPolicy<double> p, std::int64_t j) { return resolve_axis_tap(axis(p, 0.0, 1.0, 5), j); };
    auto same = [](AxisTap a, AxisTap b) { return a.kind == b.kind && a.k == b.k && a.payload == b.payload; };
    EXPECT_TRUE(same(at(BoundaryPolicy<double>::reflect(), -9), {AxisTapKind::Node, 0, 1}));
    EXPECT_TRUE(same(at(BoundaryPolicy<double>::of(BoundaryTag::Periodic), -1), {AxisTapKind::Node, 0, 4}));
    EXPECT_TRUE(same(at(BoundaryPolicy<double>::of(BoundaryTag::Linear), 6), {AxisTapKind::LinearRight, 2, 0}));
    EXPECT_TRUE(same(at(BoundaryPolicy<double>::robin_image(1, 1), 6), {AxisTapKind::Image, 2, 2}));
    EXPECT_TRUE(same(at(BoundaryPolicy<double>::of(BoundaryTag::OddReflect), -2), {AxisTapKind::Negated, 0, 2}));
    EXPECT_TRUE(same(at(BoundaryPolicy<double>::constant(2.5), 7), {AxisTapKind::Constant, 0, std::bit_cast<std::uint64_t>(2.5)}));
    // Distances beyond 2^32 nodes are kept whole, not wrapped to 32 bits.
    const std::int64_t far = -(std::int64_t{1} << 33) - 3;
    EXPECT_TRUE(same(at(BoundaryPolicy<double>::of(BoundaryTag::Linear), far), {AxisTapKind::LinearLeft, (std::uint64_t{1} << 33) + 3, 0}));
}

TEST(GridNDInterp, CubicIsExactForQuadraticsPerAxisAndLinearForMultilinear) {
    const GridND<2> g2{{axis(BoundaryPolicy<double>::reflect(), -1.0, 2.0, 13), axis(BoundaryPolicy<double>::reflect(), 0.0, 1.0, 9)},
                       InterpKind::of(InterpTag::CubicHermite)};
    auto biq = [](auto p) { return (1.0 + p[0] - 2.0 * p[0] * p[0]) * (0.5 - p[1] + 3.0 * p[1] * p[1]); };
    const GridFnND<2> f2 = fill(g2, biq);
    for (auto p : {std::array<double, 2>{-0.3, 0.41}, {0.0, 0.5}, {1.37, 0.2}, {0.6, 0.734}})
        EXPECT_NEAR(eval(f2, p), biq(p), 1e-13) << p[0] << "," << p[1];  // exact up to rounding

    const GridND<3> g3{{axis(BoundaryPolicy<double>::reflect(), 0.0, 1.0, 9), axis(BoundaryPolicy<double>::reflect(), 0.0, 2.0, 9),
                        axis(BoundaryPolicy<double>::reflect(), -1.0, 0.0, 9)},
                       InterpKind::of(InterpTag::CubicHermite)};
    auto triq = [](auto p) { return (p[0] * p[0] - p[0]) * (1.0 + p[1] * p[1]) * (2.0 - p[2] + p[2] * p[2]); };
    const GridFnND<3> f3 = fill(g3, triq);
    for (auto p : {std::array<double, 3>{0.3, 0.77, -0.45}, {0.5, 1.0, -0.5}, {0.66, 1.3, -0.3}})
        EXPECT_NEAR(eval(f3, p), triq(p), 1e-13);

    // Linear kind with linear continuation: multilinear data is exact inside
    // and beyond every face.
    GridND<6> g6;
    for (std::size_t a = 0; a < 6; ++a) g6.axes[a] = axis(BoundaryPolicy<double>::of(BoundaryTag::Linear), 0.0, 1.0, 4);
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

TEST(GridNDInterp, NodesWeightsAndSpecialTaps) {
    GridND<2> g{{axis(BoundaryPolicy<double>::reflect(), 0.0, 3.0, 4), axis(BoundaryPolicy<double>::reflect(), 0.0, 3.0, 4)},
                InterpKind::of(InterpTag::CubicHermite)};
    const GridFnND<2> f = fill(g, [](auto p) { return std::exp(p[0]) * std::cos(p[1]); });
    EXPECT_EQ(eval(f, {1.0, 2.0}), f.values[1 + 4 * 2]);  // t = 0 on both axes

    auto taps = *build_point_taps(g, {1.5, 0.5});
    taps[0].weights = {0.0, 0.0, 0.0, 0.0};
    EXPECT_EQ(GridND<2>::interp_axis(f, 2, taps, 0), 0.0);

    // Axis-0 taps alone over row values 1, 2, 3 (d = 1 reads the row).
    GridFnND<2> h = f;
    h.values[0] = 1.0, h.values[1] = 2.0, h.values[2] = 3.0;
    AxisTaps t{};
    t.count = 1;
    t.weights[0] = 1.0;
    t.stride = 1;
    t.taps[0] = {AxisTapKind::LinearLeft, 1, 0};
    EXPECT_EQ(GridND<2>::interp_axis(h, 1, {t, t}, 0), 0.0);

    t.taps[0] = {AxisTapKind::Image, 2, 1};
    EXPECT_EQ(GridND<2>::interp_axis(h, 1, {t, t}, 0), 2.0);  // reflect axis: no image factor
    h.grid.axes[0] = axis(BoundaryPolicy<double>::robin_image(1.0, 1.0), 0.0, 0.3, 4);  // dx = 0.1 (to 1 ulp)
    EXPECT_NEAR(GridND<2>::interp_axis(h, 1, {t, t}, 0), 2.0 * std::exp(-0.4), 1e-15);

    t.count = 5;
    EXPECT_THROW(GridND<2>::interp_axis(h, 1, {t, t}, 0), InternalFault);
}

TEST(GridNDConstruct, LengthThenKindThenPoint) {
    GridND<3> g{{axis(BoundaryPolicy<double>::reflect(), 0, 1, 4), axis(BoundaryPolicy<double>::reflect(), 0, 1, 5),
                 axis(BoundaryPolicy<double>::reflect(), 0, 1, 6)},
                InterpKind::septic()};
    EXPECT_EQ(g.len(), 120u);
    const auto bad_len = GridFnND<3>::make(g, std::vector<double>(119));
    ASSERT_FALSE(bad_len);
    EXPECT_EQ(bad_len.error(), CoreError::domain("GridFnND::new: values.len() must equal grid.len()", 119.0));
    const auto bad_kind = GridFnND<3>::make(g, std::vector<double>(120));
    ASSERT_FALSE(bad_kind);
    EXPECT_EQ(bad_kind.error(), CoreError::unsupported("GridND::interp for D > 1 (use InterpKind::CubicHermite or Linear)"));
    EXPECT_FALSE(build_point_taps(g, {0.5, 0.5, 0.5}));

    g.interp_kind = InterpKind::of(InterpTag::Linear);
    EXPECT_TRUE(GridFnND<3>::make(g, std::vector<double>(120)));
    const auto nan_point = build_point_taps(g, {0.5, std::nan(""), 0.5});
    ASSERT_FALSE(nan_point);
    EXPECT_EQ(nan_point.error().display(), "domain violation: GridND::interp: evaluation point must be finite (value = NaN)");
    EXPECT_FALSE(build_point_taps(g, {0.5, 0.5, 1e300}));
}

}  // namespace
}  // namespace quorvane
