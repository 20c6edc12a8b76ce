// The unit shift step (A = I, no drift, no reaction) against the general
// step built from identity factors: same bits on every boundary, in two and
// three dimensions, whatever the worker count.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "core/multid/shift_nd.hpp"

namespace quorvane {
namespace {

template <std::size_t D>
AnisotropicShiftChernoffND<D> identity_step(const GridND<D>& grid) {
    auto a = std::make_shared<const std::function<void(const Point<D>&, std::span<double>)>>(
        [](const Point<D>&, std::span<double> m) {
            for (std::size_t r = 0; r < D; ++r)
                for (std::size_t c = 0; c < D; ++c) m[c * D + r] = r == c ? 1.0 : 0.0;
        });
    auto b = std::make_shared<const std::function<void(const Point<D>&, std::span<double>)>>(
        [](const Point<D>&, std::span<double> v) {
            for (double& x : v) x = 0.0;
        });
    auto c = std::make_shared<const std::function<double(const Point<D>&)>>([](const Point<D>&) { return 0.0; });
    return *AnisotropicShiftChernoffND<D>::make(grid, a, std::move(b), std::move(c));
}

template <std::size_t D>
void expect_unit_step_equals_general(const std::array<std::size_t, D>& n, BoundaryTag tag, double tau) {
    GridND<D> grid;
    grid.interp_kind = InterpKind::of(InterpTag::CubicHermite);
    for (std::size_t a = 0; a < D; ++a) {
        grid.axes[a] = *Grid1D<double>::make(BoundaryPolicy<double>::of(tag), grid.interp_kind, -1.0,
                                             1.0 + static_cast<double>(a), n[a]);
    }
    std::vector<double> v(grid.len());
    for (std::size_t k = 0; k < v.size(); ++k) v[k] = std::sin(0.3 * static_cast<double>(k)) + 0.2;
    const GridFnND<D> u = *GridFnND<D>::make(grid, v);
    std::vector<double> want(v.size()), got(v.size());
    ASSERT_TRUE(identity_step(grid).apply_into(u, want, tau));
    for (std::size_t workers : {1, 3}) {
        ASSERT_TRUE(unit_shift_apply_into(u, got, tau, workers));
        EXPECT_EQ(got, want) << static_cast<int>(tag) << " tau " << tau << " workers " << workers;
    }
}

TEST(UnitShiftStep, EqualsTheGeneralStepWithIdentityFactorsBitForBit) {
    for (BoundaryTag tag : {BoundaryTag::Reflect, BoundaryTag::Zero, BoundaryTag::Periodic, BoundaryTag::Linear}) {
        for (double tau : {0.0, 1e-3, 0.05}) {
            expect_unit_step_equals_general<2>({7, 9}, tag, tau);
            expect_unit_step_equals_general<3>({5, 6, 5}, tag, tau);
        }
    }
}

TEST(UnitShiftStep, RefusesTheStepsTheGeneralStepRefuses) {
    GridND<2> grid;
    grid.interp_kind = InterpKind::of(InterpTag::CubicHermite);
    for (auto& ax : grid.axes) {
        ax = *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), grid.interp_kind, 0.0, 1.0, 5);
    }
    const GridFnND<2> u = *GridFnND<2>::make(grid, std::vector<double>(25, 1.0));
    std::vector<double> out(25);
    for (double tau : {-1.0, std::numeric_limits<double>::infinity(), 1e300}) {
        const Status want = identity_step(grid).apply_into(u, out, tau);
        ASSERT_FALSE(want) << tau;
        EXPECT_EQ(unit_shift_apply_into(u, out, tau).error(), want.error()) << tau;
    }
}

}  // namespace
}  // namespace quorvane
