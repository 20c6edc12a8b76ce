// Grid-function validation, the Chernoff semigroup and ping-pong stepping.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/line/state.hpp"

namespace quorvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Grid1D<double> grid01(std::size_t n) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0, 1, n);
}

// The grid and build_heat_state checks and their order are covered through
// Heat1D's constructor; here what it cannot reach.
TEST(StateChecks, GridFnLengthBeforeFinitenessAndTheCubicMessage) {
    const Grid1D<double> g = grid01(4);
    EXPECT_EQ(GridFn<double>::make(g, {kNaN, 1.0, 2.0}).error().display(),
              "domain violation: values.len() must equal grid.n (value = 3)");
    EXPECT_EQ(GridFn<double>::make(g, {1.0, -kInf, kNaN, 2.0}).error().display(),
              "domain violation: all values must be finite (no NaN/Inf) (value = -inf)");
    EXPECT_EQ(Grid1D<float>::make(BoundaryPolicy<float>::reflect(), InterpKind::septic(), 0.0f, 1.0f, 3, kCubicNMessage)
                  .error()
                  .display(),
              "domain violation: n must be >= 4 (cubic Hermite stencil) (value = 3)");
}

// One heat2 step on u, for comparisons.
std::vector<double> step(const DiffusionChernoff& k, const GridFn<double>& u, double tau) {
    GridFn<double> out{u.grid, {}};
    expect_ok(par_apply_pointwise(out, k, u, tau), "step");
    return out.values;
}

TEST(ChernoffSemigroup, EvolveAppliesNStepsOfTOverNZeroStepsReleaseTheKernel) {
    const Grid1D<double> g = grid01(10);
    const auto sg = *ChernoffSemigroup<DiffusionChernoff>::make(DiffusionChernoff::unit(g), 4);
    std::vector<double> u0(10);
    for (std::size_t i = 0; i < 10; ++i) u0[i] = std::sin(2.0 * i);
    std::vector<double> want = u0;
    for (int s = 0; s < 4; ++s) want = step(sg.kernel, {g, want}, 0.01 / 4);
    EXPECT_EQ(sg.evolve(0.01, GridFn<double>{g, u0})->values, want);
    SharedCoeff a = constant_coeff(1.0);
    EXPECT_EQ(ChernoffSemigroup<DiffusionChernoff>::make(
                  DiffusionChernoff{CoeffSource::shared(a, constant_coeff(0.0), constant_coeff(0.0)), g, 1.0}, 0)
                  .error()
                  .display(),
              "domain violation: ChernoffSemigroup n must be >= 1 (value = 0)");
    EXPECT_EQ(a.use_count(), 1);  // the refused kernel's share was dropped
}

TEST(PingPong, NewestInStatePreviousInScratchErrorsKeepTheStart) {
    const Grid1D<double> g = grid01(12);
    const DiffusionChernoff k = DiffusionChernoff::unit(g);
    std::vector<double> g0(12);
    for (std::size_t i = 0; i < 12; ++i) g0[i] = std::cos(3.1 * g.node(i)) + (i == 5);
    const auto s2 = step(k, {g, step(k, {g, g0}, 2e-3)}, 2e-3);
    GridFn<double> state{g, std::vector<double>(12)}, scratch{g, std::vector<double>(12)};
    ASSERT_TRUE(evolve_steps_pingpong(k, g0, state, scratch, 3, 2e-3));
    EXPECT_EQ(state.values, step(k, {g, s2}, 2e-3));
    EXPECT_EQ(scratch.values, s2);
    state.values.assign(12, 5.0);
    EXPECT_EQ(evolve_steps_pingpong(k, g0, state, scratch, 3, -1.0).error().f0(), -1.0);
    EXPECT_EQ(state.values, g0);
    GridFn<double> short_state{g, std::vector<double>(11)};
    EXPECT_THROW((void)evolve_steps_pingpong(k, g0, short_state, scratch, 1, 0.1), InternalFault);
}

}  // namespace
}  // namespace quorvane
