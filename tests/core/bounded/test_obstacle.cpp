// Obstacle projection, the projected evolution and the inactive-set curvature.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/bounded/obstacle.hpp"
#include "core/line/state.hpp"

namespace quorvane {
namespace {

Grid1D<double> grid01(std::size_t n) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0, 1, n);
}

TEST(Obstacle, ProjectionIsStrictAndLeavesNaN) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> u{-1.0, 0.5, 0.5, nan, 2.0};
    ASSERT_TRUE(ConstantObstacle{0.5}.project_in_place(u));
    EXPECT_EQ(u[0], 0.5);
    EXPECT_TRUE(std::isnan(u[3]));
    EXPECT_EQ(u[4], 2.0);
    std::vector<double> v{0.0, 3.0, 1.0};
    const ArrayObstacle g3{{1.0, 2.0, 3.0}};
    ASSERT_TRUE(g3.project_in_place(v));
    EXPECT_EQ(v, (std::vector<double>{1.0, 3.0, 3.0}));
    std::vector<double> w(4, 0.0);
    EXPECT_EQ(g3.project_in_place(w).error().display(),
              "domain violation: ArrayObstacle::project_in_place: obstacle length != grid n (value = 3)");
    EXPECT_EQ(ConstantObstacle::make(nan).error().display(),
              "domain violation: ConstantObstacle: level must be finite (value = NaN)");
}

TEST(Obstacle, NeverBindingEqualsTheLinearStepAndBindingStaysAbove) {
    const Grid1D<double> g = grid01(41);
    std::vector<double> u0(41);
    for (std::size_t i = 0; i < 41; ++i) u0[i] = std::cos(M_PI * g.node(i));
    const ObstacleChernoff low{DiffusionChernoff{CoeffSource::constant(1.0), g, 1.0}, ConstantObstacle{-10.0}};
    const auto heat = *ChernoffSemigroup<DiffusionChernoff>::make(DiffusionChernoff::unit(g), 20);
    EXPECT_EQ(*low.evolve(u0, 0.1, 20), heat.evolve(0.1, GridFn<double>{g, u0})->values);

    const ObstacleChernoff high{constant_coefficient_kernels(g, 1.0, 0.5, -1.0), ConstantObstacle{0.0}};
    const std::vector<double> u = *high.evolve(u0, 0.2, 10);
    for (double x : u) EXPECT_GE(x, 0.0);
}

TEST(Obstacle, InactiveCurvatureRefusesContactAndGuardBand) {
    const Grid1D<double> g = grid01(11);
    const ObstacleChernoff ob{DiffusionChernoff::unit(g), ConstantObstacle{0.0}};
    std::vector<double> v(11);
    for (std::size_t i = 0; i < 11; ++i) v[i] = 1.0 + g.node(i) * g.node(i);
    v[5] = 0.0;  // contact at node 5 refuses 4, 5, 6
    const InactiveGamma r = *ob.apply_inactive_gamma_into(v);
    EXPECT_EQ(r.count, 6u);
    for (std::size_t i : {0u, 4u, 5u, 6u, 10u}) {
        EXPECT_FALSE(r.defined[i]);
        EXPECT_EQ(r.gamma[i], 0.0);
    }
    for (std::size_t i : {1u, 2u, 3u, 7u, 8u, 9u}) EXPECT_NEAR(r.gamma[i], 2.0, 1e-11);
}

}  // namespace
}  // namespace quorvane
