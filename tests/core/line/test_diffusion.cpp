// The second-order diffusion node step ("heat2"): the coefficient check and
// the coordinate it reports, the Zero policy's worked value, and the stepping
// form (shared samples, step plan, workers kept for the call) against the
// node step itself, bit for bit. Orders in time, the divergence form with
// variable coefficients and the coefficient sources are measured through
// Heat1D.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

#include "core/line/diffusion.hpp"
#include "core/line/diffusion6_zeta6.hpp"
#include "core/line/state.hpp"

namespace quorvane {
namespace {

Grid1D<double> grid(double xmin, double xmax, std::size_t n, BoundaryTag b = BoundaryTag::Reflect) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::of(b), InterpKind::septic(), xmin, xmax, n);
}

TEST(Heat2, BadCoefficientReportsThePointWhereItWasRead) {
    const char* what = "a(x) must be finite and >= 0 (strict ellipticity required for sqrt)";
    const Grid1D<double> g = grid(-1.0, 1.0, 11);
    const GridFn<double> u{g, std::vector<double>(g.n, 1.0)};
    for (double a : {-1e-300, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()})
        EXPECT_EQ((DiffusionChernoff{CoeffSource::constant(a), g, 1.0}.apply_node(u, 3, 0.1).error()),
                  CoreError::domain(what, -1.0 + 0.2 * 3));  // the node coordinate xmin + dx*i
    // a'(x) = 1 moves the drift foot to x + tau/2, where a is not finite.
    const double x = g.node(6);
    const DiffusionChernoff k{
        CoeffSource::shared(make_coeff([x](double p) { return p == x ? 1.0 : std::numeric_limits<double>::quiet_NaN(); }),
                            constant_coeff(1.0), constant_coeff(0.0)),
        g, 1.0};
    EXPECT_EQ(k.apply_node(u, 6, 0.5).error(), CoreError::domain(what, x + 0.25));
}

TEST(Heat2, ZeroBoundaryContributesNothingBeyondTheEnds) {
    // At the end node of constant data with h1 = 0.2 and h3 = 0.35 (5 and 9
    // cells): the two outer points lie so far out that every tap reads 0, so
    // only w0 + w1 + w3 = 19/24 remains. Tolerance: rounding of the weights.
    const Grid1D<double> g = grid(0.0, 1.0, 41, BoundaryTag::Zero);
    const GridFn<double> u{g, std::vector<double>(g.n, 1.0)};
    const DiffusionChernoff k{CoeffSource::constant(1.0), g, 1.0};
    EXPECT_NEAR(*k.apply_node(u, 40, 0.01), 19.0 / 24.0, 1e-12);
    EXPECT_NEAR(*k.apply_node(u, 20, 0.01), 1.0, 1e-12);
}

// CTest registers the core tests with TAMBRIK_PARALLEL_THRESHOLD=64; run
// directly, the binary falls back to the same value.
const bool kThreshold64 = [] { return ::setenv("TAMBRIK_PARALLEL_THRESHOLD", "64", 0) == 0; }();

// n steps of the node step itself, through the per-step driver.
Expected<std::vector<double>> reference_steps(const DiffusionChernoff& k, std::vector<double> v, double tau, int n) {
    for (int s = 0; s < n; ++s) {
        GridFn<double> out{k.grid, {}};
        if (Status st = par_apply_pointwise(out, k, GridFn<double>{k.grid, v}, tau); !st) return fail(st.error());
        v = std::move(out.values);
    }
    return v;
}

// Sampled: a fixed coefficient, whose reads a call plans node by node.
enum class Coef { Unit, Constant, Variable, Sampled };
CoeffSource source(Coef c) {
    switch (c) {
        case Coef::Unit: return CoeffSource::unit();
        case Coef::Constant: return CoeffSource::constant(0.7);
        case Coef::Sampled: {
            std::vector<double> a(301), a1(301), a2(301);
            for (std::size_t i = 0; i < a.size(); ++i) {
                const double x = -2.0 + 5.0 * static_cast<double>(i) / 300.0;
                a[i] = 1.0 + 0.3 * std::sin(2.0 * x);
                a1[i] = 0.6 * std::cos(2.0 * x);
                a2[i] = -1.2 * std::sin(2.0 * x);
            }
            return CoeffSource::shared(sampled_coeff(a, -2.0, 5.0 / 300.0), sampled_coeff(a1, -2.0, 5.0 / 300.0),
                                       sampled_coeff(a2, -2.0, 5.0 / 300.0));
        }
        case Coef::Variable: break;
    }
    return CoeffSource::shared(make_coeff([](double x) { return 1.0 + 0.3 * std::sin(2.0 * x); }),
                               make_coeff([](double x) { return 0.6 * std::cos(2.0 * x); }),
                               make_coeff([](double x) { return -1.2 * std::sin(2.0 * x); }));
}

class Heat2Stepping : public ::testing::TestWithParam<std::tuple<BoundaryTag, Coef, double>> {};
TEST_P(Heat2Stepping, SameBitsAsTheNodeStepOnAnySplit) {
    const auto [b, c, mu] = GetParam();
    // 2600 nodes: three blocks of samples, and shares that start mid-block.
    const Grid1D<double> g = grid(-2.0, 3.0, 2600, b);
    std::vector<double> u0(g.n);
    for (std::size_t i = 0; i < g.n; ++i) u0[i] = std::exp(-g.node(i) * g.node(i)) + 0.01 * std::sin(37.0 * i);
    const DiffusionChernoff k{source(c), g, 1.3};
    const double tau = mu * g.dx() * g.dx();
    auto want = reference_steps(k, u0, tau, 5);
    ASSERT_TRUE(want.has_value());
    for (std::size_t workers : {1, 3, 8}) {
        WorkerCountOverride w(workers);
        auto got = evolve_values(k, g, u0, tau, 5);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(std::memcmp(got->data(), want->data(), g.n * sizeof(double)), 0) << workers;
        GridFn<double> one{g, {}};
        ScratchPool<double> pool;
        ASSERT_TRUE(k.apply_into(GridFn<double>{g, u0}, one, pool, tau));
        EXPECT_EQ(one.values, *reference_steps(k, u0, tau, 1)) << workers;
    }
}
INSTANTIATE_TEST_SUITE_P(
    BoundariesCoefficientsSteps, Heat2Stepping,
    ::testing::Combine(::testing::Values(BoundaryTag::Reflect, BoundaryTag::Zero, BoundaryTag::Periodic,
                                         BoundaryTag::Linear),
                       ::testing::Values(Coef::Unit, Coef::Constant, Coef::Variable, Coef::Sampled),
                       // tau/dx^2: none, small, the usual, reads a thousand cells out
                       ::testing::Values(0.0, 0.3, 2.5, 4e5)));

// heat4 and heat6 run constant coefficients from the plan too, a variable
// one through shared samples (heat4) or node by node; heat4's degree-9
// resampling reads a copy. One step through apply_into, four through
// run_steps, against the node step itself on the per-step driver.
template <class K>
void expect_steps_match_node_step(const K& k, const std::vector<double>& u0, double tau) {
    auto reference = [&](int steps) {
        std::vector<double> v = u0;
        for (int s = 0; s < steps; ++s) {
            GridFn<double> source{k.grid, v};
            if (auto kind = k.source_kind()) source.grid.interp_kind = *kind;
            GridFn<double> out{k.grid, {}};
            EXPECT_TRUE(par_apply_pointwise(out, k, source, tau));
            v = std::move(out.values);
        }
        return v;
    };
    const std::vector<double> one = reference(1), four = reference(4);
    for (std::size_t workers : {1, 3}) {
        WorkerCountOverride w(workers);
        ScratchPool<double> pool;
        GridFn<double> out{k.grid, {}};
        ASSERT_TRUE(k.apply_into(GridFn<double>{k.grid, u0}, out, pool, tau));
        EXPECT_EQ(std::memcmp(out.values.data(), one.data(), one.size() * sizeof(double)), 0) << workers;
        auto got = evolve_values(k, k.grid, u0, tau, 4);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(std::memcmp(got->data(), four.data(), four.size() * sizeof(double)), 0) << workers;
    }
}

TEST(QuadratureStepping, Heat4AndHeat6SameBitsAsTheNodeStep) {
    for (BoundaryTag b : {BoundaryTag::Reflect, BoundaryTag::Zero, BoundaryTag::Linear}) {
        const Grid1D<double> g = grid(-1.0, 2.0, 1500, b);
        std::vector<double> u0(g.n);
        for (std::size_t i = 0; i < g.n; ++i) u0[i] = std::cos(3.0 * g.node(i)) + 0.01 * std::sin(41.0 * i);
        const double tau = 1.7 * g.dx() * g.dx();
        Diffusion4thChernoff k4 = Diffusion4thChernoff::unit(g);
        Diffusion6thChernoff k6 = Diffusion6thChernoff::unit(g);
        expect_steps_match_node_step(k4, u0, tau);
        expect_steps_match_node_step(k6, u0, tau);
        k4.coef_override = k6.coef_override = CoeffSource::constant(0.4);
        expect_steps_match_node_step(k4, u0, tau);
        expect_steps_match_node_step(k6, u0, tau);
        k4.coef_override = k6.coef_override = source(Coef::Variable);
        expect_steps_match_node_step(k4, u0, tau);
        expect_steps_match_node_step(k6, u0, tau);
        k4.coef_override = k6.coef_override = source(Coef::Sampled);  // reads recorded once, replayed
        expect_steps_match_node_step(k4, u0, tau);
        expect_steps_match_node_step(k6, u0, tau);
        k4 = Diffusion4thChernoff::unit(g);
        k4.use_octonic = true;
        expect_steps_match_node_step(k4, u0, tau);
    }
}

// Constant coefficients run several steps between two barriers, each share
// recomputing the nodes its neighbours' steps would have given it (across
// the far end on a periodic grid): the same bits as one share, for every
// policy, round depth and last, shorter round.
TEST(Heat2Stepping, RoundsOfStepsSameBitsAsOneShare) {
    ASSERT_TRUE(kThreshold64);
    for (BoundaryTag b : {BoundaryTag::Reflect, BoundaryTag::Zero, BoundaryTag::Periodic, BoundaryTag::Linear}) {
        // shares of at least kPlannedShareNodes: 8 of 2052 nodes
        const Grid1D<double> g = grid(-1.0, 2.0, 16411, b);
        std::vector<double> u0(g.n);
        for (std::size_t i = 0; i < g.n; ++i) u0[i] = std::cos(3.0 * g.node(i)) + 0.01 * std::sin(41.0 * i);
        const DiffusionChernoff k2{CoeffSource::constant(0.7), g, 1.0};
        Diffusion4thChernoff k4 = Diffusion4thChernoff::unit(g);
        Diffusion6thChernoff k6 = Diffusion6thChernoff::unit(g);
        for (double mu : {0.3, 2.5}) {
            const double tau = mu * g.dx() * g.dx();
            // reach: ceil(2 sqrt(5 c tau) / dx) cells + 6 (cell, samples)
            EXPECT_EQ(k2.node_steps(g, tau, 8, 23).round_reach(), mu == 0.3 ? 8u : 11u);
            const auto serial = [&](const auto& k) {
                WorkerCountOverride one(1);
                return *evolve_values(k, g, u0, tau, 23);
            };
            const std::vector<double> want2 = serial(k2), want4 = serial(k4), want6 = serial(k6);
            for (std::size_t workers : {2, 3, 8}) {  // rounds of 16, 16 and 12 or 16 steps
                WorkerCountOverride w(workers);
                EXPECT_EQ(*evolve_values(k2, g, u0, tau, 23), want2) << int(b) << " " << mu << " " << workers;
                EXPECT_EQ(*evolve_values(k4, g, u0, tau, 23), want4) << int(b) << " " << mu << " " << workers;
                EXPECT_EQ(*evolve_values(k6, g, u0, tau, 23), want6) << int(b) << " " << mu << " " << workers;
            }
        }
    }
    EXPECT_EQ(round_depth({1, 3001}, 8), 1u);
    EXPECT_EQ(round_depth({3, 1001}, 8), 8u);
    EXPECT_EQ(round_depth({2, 1501}, 8), 12u);
    EXPECT_EQ(round_depth({8, 40000}, 8), kMaxRoundDepth);
    EXPECT_EQ(round_depth({8, kMaxRoundShare + 1}, 8), 1u);
}

TEST(Heat2Stepping, ErrorsAreTheNodeStepsOwn) {
    ASSERT_TRUE(kThreshold64);
    Grid1D<double> g = grid(-1.0, 1.0, 500);
    const std::vector<double> u0(g.n, 1.0);
    const DiffusionChernoff negative{CoeffSource::constant(-1.0), g, 1.0};
    g.interp_kind = InterpKind::of(InterpTag::Linear);
    const DiffusionChernoff unsampled = DiffusionChernoff::unit(g);
    {
        WorkerCountOverride serial(1);  // the first failing node: node 0
        EXPECT_EQ(evolve_values(negative, negative.grid, u0, 1e-3, 4).error(),
                  CoreError::domain(kEllipticityMessage, -1.0));
    }
    WorkerCountOverride parallel(4);  // some share's first failing node
    const CoreError e = evolve_values(negative, negative.grid, u0, 1e-3, 4).error();
    EXPECT_EQ(e.display().rfind("domain violation: a(x) must be finite", 0), 0u) << e.display();
    EXPECT_EQ(evolve_values(unsampled, g, u0, 1e-3, 4).error(), reference_steps(unsampled, u0, 1e-3, 1).error());
}

}  // namespace
}  // namespace quorvane
