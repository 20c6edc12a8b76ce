// The Chernoff semigroup, ping-pong stepping and the default heat state:
// check order, messages and where results end up.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/state.hpp"

namespace quorvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(ChernoffSemigroup, ZeroStepsFailsAndReleasesTheKernel) {
    const Grid1D<double> g = *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0, 1, 8);
    SharedCoeff a = constant_coeff(1.0);
    {
        const auto r = ChernoffSemigroup<DiffusionChernoff>::make(
            DiffusionChernoff{CoeffSource::shared(a, constant_coeff(0.0), constant_coeff(0.0)), g, 1.0}, 0);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().display(), "domain violation: ChernoffSemigroup n must be >= 1 (value = 0)");
        EXPECT_EQ(r.error().debug(), "DomainViolation { what: \"ChernoffSemigroup n must be >= 1\", value: 0.0 }");
    }
    EXPECT_EQ(a.use_count(), 1);  // the kernel's share was dropped
    const auto one = ChernoffSemigroup<DiffusionChernoff>::make(DiffusionChernoff::unit(g), 1);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->n, 1u);
}

struct GridCase {
    double xmin, xmax;
    std::size_t n;
    const char* what;
    double value;
};
class GridChecks : public ::testing::TestWithParam<GridCase> {};
TEST_P(GridChecks, FirstBrokenConditionReported) {
    const auto& c = GetParam();
    const auto g = Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), c.xmin, c.xmax, c.n);
    ASSERT_FALSE(g);
    EXPECT_STREQ(g.error().text(), c.what);
    if (std::isnan(c.value)) EXPECT_TRUE(std::isnan(g.error().f0()));
    else EXPECT_EQ(g.error().f0(), c.value);
}
INSTANTIATE_TEST_SUITE_P(
    Order, GridChecks,
    ::testing::Values(GridCase{kNaN, kNaN, 0, "xmin must be finite", kNaN},
                      GridCase{-kInf, 1.0, 8, "xmin must be finite", -kInf},
                      GridCase{0.0, kInf, 2, "xmax must be finite", kInf},
                      GridCase{1.0, 1.0, 8, "xmin must be < xmax", 1.0},
                      GridCase{2.0, 1.0, 3, "xmin must be < xmax", 2.0},  // xmin reported before n
                      GridCase{0.0, 1.0, 3, "n must be >= 4 (septic Hermite stencil)", 3.0},
                      GridCase{0.0, 1.0, 0, "n must be >= 4 (septic Hermite stencil)", 0.0}));

TEST(GridChecksFloat, SameOrderWithCubicMessage) {
    // The float grid reports its own (narrowed) bound and the cubic message for n.
    const float big = std::numeric_limits<float>::infinity();
    const auto g = Grid1D<float>::make(BoundaryPolicy<float>::reflect(), InterpKind::septic(), 0.0f, big, 8,
                                       kCubicNMessage);
    ASSERT_FALSE(g);
    EXPECT_EQ(g.error().display(), "domain violation: xmax must be finite (value = inf)");
    const auto n3 = Grid1D<float>::make(BoundaryPolicy<float>::reflect(), InterpKind::septic(), 0.0f, 1.0f, 3,
                                        kCubicNMessage);
    EXPECT_EQ(n3.error().display(), "domain violation: n must be >= 4 (cubic Hermite stencil) (value = 3)");
}

TEST(GridFnChecks, LengthBeforeFiniteness) {
    const Grid1D<double> g = *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0, 1, 4);
    const auto shortv = GridFn<double>::make(g, {kNaN, 1.0, 2.0});
    EXPECT_EQ(shortv.error().display(), "domain violation: values.len() must equal grid.n (value = 3)");
    const auto bad = GridFn<double>::make(g, {1.0, -kInf, kNaN, 2.0});
    EXPECT_EQ(bad.error().display(), "domain violation: all values must be finite (no NaN/Inf) (value = -inf)");
    EXPECT_TRUE(GridFn<double>::make(g, {1.0, 2.0, 3.0, 4.0}));
}

struct HeatStateCase {
    std::vector<double> u0;
    double xmin, xmax;
    std::size_t n;
    const char* message;
};
class HeatStateChecks : public ::testing::TestWithParam<HeatStateCase> {};
TEST_P(HeatStateChecks, Order) {
    const auto& c = GetParam();
    const auto r = build_heat_state(c.n, 100, c.u0, BoundaryPolicy<double>::reflect(), c.xmin, c.xmax);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), c.message);
}
INSTANTIATE_TEST_SUITE_P(
    Table, HeatStateChecks,
    ::testing::Values(
        // The sample is checked before the grid.
        HeatStateCase{{0, 1, kNaN, kInf}, kNaN, 1.0, 4, "domain violation: u0 contains NaN or Inf (value = NaN)"},
        HeatStateCase{{0, 1, 2, 3}, kNaN, 1.0, 4, "domain violation: xmin must be finite (value = NaN)"},
        HeatStateCase{{0, 1, 2}, 5.0, 1.0, 3, "domain violation: xmin must be < xmax (value = 5)"},
        HeatStateCase{{0, 1, 2}, 0.0, 1.0, 3,
                      "domain violation: n must be >= 4 (septic Hermite stencil) (value = 3)"},
        // The length is checked after the grid.
        HeatStateCase{{0, 1, 2}, 0.0, 1.0, 4, "domain violation: values.len() must equal grid.n (value = 3)"}));

TEST(HeatState, UnitKernelAndCopiedValues) {
    const std::vector<double> u0 = {1, 2, 3, 4, 5, 6};
    const auto r = build_heat_state(6, 100, u0, BoundaryPolicy<double>::of(BoundaryTag::Periodic), -1.0, 2.0);
    ASSERT_TRUE(r);
    const auto& [sg, fn] = *r;
    EXPECT_EQ(sg.n, 100u);
    EXPECT_EQ(sg.kernel.grid.boundary.tag, BoundaryTag::Periodic);
    EXPECT_EQ(sg.kernel.grid.interp_kind.tag, InterpTag::SepticHermite);
    EXPECT_EQ(sg.kernel.a_norm_bound, 1.0);
    EXPECT_EQ(sg.kernel.coef.eval_a(0.3), 1.0);
    EXPECT_EQ(fn.values, u0);
    EXPECT_EQ(fn.grid.n, 6u);
}

// One heat2 step on u, for comparisons.
std::vector<double> step(const DiffusionChernoff& k, const GridFn<double>& u, double tau) {
    GridFn<double> out{u.grid, {}};
    expect_ok(par_apply_pointwise(out, k, u, tau), "step");
    return out.values;
}

TEST(PingPong, ThreeStepsLeaveNewestInStateAndPreviousInScratch) {
    const Grid1D<double> g = *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0, 1, 12);
    const DiffusionChernoff k = DiffusionChernoff::unit(g);
    std::vector<double> g0(12);
    for (std::size_t i = 0; i < 12; ++i) g0[i] = std::cos(3.1 * g.node(i)) + (i == 5);
    const auto s1 = step(k, {g, g0}, 2e-3);
    const auto s2 = step(k, {g, s1}, 2e-3);
    const auto s3 = step(k, {g, s2}, 2e-3);
    GridFn<double> state{g, std::vector<double>(12, 0.0)}, scratch{g, std::vector<double>(12, 0.0)};
    ASSERT_TRUE(evolve_steps_pingpong(k, g0, state, scratch, 3, 2e-3));
    EXPECT_EQ(state.values, s3);
    EXPECT_EQ(scratch.values, s2);
    ASSERT_TRUE(evolve_steps_pingpong(k, g0, state, scratch, 0, 2e-3));
    EXPECT_EQ(state.values, g0);
}

TEST(PingPong, ErrorKeepsStartValuesAndWrongLengthFaults) {
    const Grid1D<double> g = *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0, 1, 6);
    const DiffusionChernoff k = DiffusionChernoff::unit(g);
    const std::vector<double> g0 = {1, 2, 3, 4, 5, 6};
    GridFn<double> state{g, std::vector<double>(6)}, scratch{g, std::vector<double>(6)};
    const Status st = evolve_steps_pingpong(k, g0, state, scratch, 3, -1.0);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().f0(), -1.0);
    EXPECT_EQ(state.values, g0);
    GridFn<double> short_state{g, std::vector<double>(5)};
    EXPECT_THROW((void)evolve_steps_pingpong(k, g0, short_state, scratch, 1, 0.1), InternalFault);
}

TEST(ChernoffSemigroup, EvolveAppliesNStepsOfTOverN) {
    const Grid1D<double> g = *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0, 1, 10);
    const auto sg = *ChernoffSemigroup<DiffusionChernoff>::make(DiffusionChernoff::unit(g), 4);
    std::vector<double> u0(10);
    for (std::size_t i = 0; i < 10; ++i) u0[i] = std::sin(2.0 * i);
    std::vector<double> want = u0;
    for (int s = 0; s < 4; ++s) want = step(sg.kernel, {g, want}, 0.01 / 4);
    const auto r = sg.evolve(0.01, GridFn<double>{g, u0});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->values, want);
}

}  // namespace
}  // namespace quorvane
