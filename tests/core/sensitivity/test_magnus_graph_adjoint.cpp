// Transposed Magnus steps and the live and presampled costate sweeps: duality
// with the forward steps, the store's record layout, and the sweeps' checks.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "core/graph/magnus_graph.hpp"
#include "core/sensitivity/graph_adjoint_presampled.hpp"
#include "core/sensitivity/magnus_graph_adjoint.hpp"

namespace quorvane {
namespace {

constexpr std::size_t kN = 7;

// Path weights 1 + 0.5 sin(2t + i): Laplacians at different times do not
// commute, so the commutator's sign matters.
SharedLaplacian moving(double t) {
    std::vector<Edge<double>> e;
    for (std::uint32_t i = 0; i + 1 < kN; ++i) e.push_back({i, i + 1, 1.0 + 0.5 * std::sin(2.0 * t + i)});
    return std::make_shared<const Laplacian<double>>(
        Laplacian<double>::from_graph(*Graph<double>::from_edges(kN, e), LaplacianKind::Combinatorial));
}

std::vector<double> wave(double phase) {
    std::vector<double> v(kN);
    for (std::size_t i = 0; i < kN; ++i) v[i] = std::cos(1.3 * i + phase);
    return v;
}

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double s = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}

MagnusGraphHeatChernoff stepper(bool check = true, double rho = 4.0) {
    SharedGraph g = std::make_shared<const Graph<double>>(Graph<double>::path(kN));
    return *MagnusGraphHeatChernoff::make(g, [](double t) -> Expected<SharedLaplacian> { return moving(t); }, check,
                                          rho);
}

TEST(MagnusGraphAdjoint, StepIsTheTransposeOfTheForwardStep) {
    const auto l1 = moving(0.1), l2 = moving(0.9);
    const std::vector<double> lam = wave(0.0), u = wave(2.0);
    std::vector<double> a(kN), f(kN);
    ScratchPool<double> pool;
    magnus4_adjoint_step(*l1, *l2, lam, a, pool, 0.3);
    magnus4_step_kernel<double>(*l1, *l2, u, f, pool, 0.3);
    EXPECT_NEAR(dot(a, u), dot(lam, f), 1e-15);
    // With non-commuting samples the transpose differs from the forward step.
    std::vector<double> fl(kN);
    magnus4_step_kernel<double>(*l1, *l2, lam, fl, pool, 0.3);
    EXPECT_GT(std::abs(fl[2] - a[2]), 1e-6);
    magnus4_adjoint_step(*l1, *l2, lam, a, pool, -0.0);
    EXPECT_EQ(a, lam);
    EXPECT_EQ(pool.spare_count(), 5u);
}

TEST(MagnusGraphAdjoint, SweepPairsWithTheForwardEvolution) {
    const MagnusGraphHeatChernoff m = stepper();
    const std::vector<double> lam = wave(0.4), u = wave(1.1);
    const auto lam0 = magnus_graph_adjoint_sweep(m, lam, 6, 0.25);
    const auto un = magnus_evolve(m, u, 6, 0.25);
    ASSERT_TRUE(lam0 && un);
    EXPECT_NEAR(dot(*lam0, u), dot(lam, *un), 1e-14);
}

TEST(MagnusGraphAdjoint, RadiusRefusedBeforeAnySample) {
    int calls = 0;
    SharedGraph g = std::make_shared<const Graph<double>>(Graph<double>::path(kN));
    auto m = *MagnusGraphHeatChernoff::make(
        g, [&](double t) -> Expected<SharedLaplacian> { ++calls; return moving(t); }, true, 2.0);
    const auto r = magnus_graph_adjoint_sweep(m, wave(0.0), 3, std::numbers::pi / 4.0);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().variant(), CoreError::Variant::OutOfMagnusRadius);
    EXPECT_EQ(calls, 0);
}

TEST(GraphAdjointPresampled, TimesAreStoredLatestStepFirst) {
    const std::vector<double> t = presample_times(2, 0.5);
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0], 0.5 * kGauss2C1 + 0.5);
    EXPECT_EQ(t[1], 0.5 * kGauss2C2 + 0.5);
    EXPECT_EQ(t[2], 0.5 * kGauss2C1);
    EXPECT_EQ(t[3], 0.5 * kGauss2C2);
}

TEST(GraphAdjointPresampled, SweepsEqualTheLiveSweepBitForBit) {
    const std::uint64_t n_steps = 5;
    const double tau = 0.3;
    const std::vector<double> times = presample_times(n_steps, tau);
    auto store = presample_laplacians([](double t) -> Expected<SharedLaplacian> { return moving(t); }, times,
                                      n_steps);
    ASSERT_TRUE(store);
    const auto last = presampled_laplacian_at(*store, n_steps - 1, 1);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->vals, moving(times.back())->vals);
    const auto pre = PresampledGraphAdjoint::magnus(*store, tau, 4.0, true);
    ASSERT_TRUE(pre);
    const std::vector<double> lam = wave(0.2);
    const auto live = magnus_graph_adjoint_sweep(stepper(), lam, n_steps, tau);
    const auto single = pre->evolve_state_adjoint(lam);
    ASSERT_TRUE(live && single);
    EXPECT_EQ(*single, *live);
    std::vector<double> cols = wave(1.0);
    cols.insert(cols.end(), lam.begin(), lam.end());
    const auto batched = pre->evolve_state_adjoint_batched(cols, 2);
    ASSERT_TRUE(batched);
    EXPECT_EQ(std::vector<double>(batched->begin() + kN, batched->end()), *live);
}

TEST(GraphAdjointPresampled, BatchedSweepMakesTheRadiusTest) {
    const std::vector<double> times = presample_times(2, 1.0);
    auto store = presample_laplacians([](double t) -> Expected<SharedLaplacian> { return moving(t); }, times, 2);
    const auto pre = PresampledGraphAdjoint::magnus(*store, 1.0, 4.0, true);
    const auto r = pre->evolve_state_adjoint_batched(wave(0.0), 1);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().variant(), CoreError::Variant::OutOfMagnusRadius);
}

TEST(GraphAdjointPresampled, SampleWithAnotherEntryCountIsRefused) {
    const std::vector<double> times = presample_times(1, 0.1);
    auto lap = [](double t) -> Expected<SharedLaplacian> {
        if (t == 0.0) return moving(t);
        return std::make_shared<const Laplacian<double>>(
            Laplacian<double>::from_graph(Graph<double>::cycle(kN), LaplacianKind::Combinatorial));
    };
    const auto r = presample_laplacians(lap, times, 1);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().variant(), CoreError::Variant::DomainViolation);
}

TEST(GraphAdjointPresampled, SampleWithAsManyEntriesOnAnotherPatternIsRefusedWithItsTime) {
    // The path's edge (2, 3) moved to (2, 4): 7 + 2 * 6 entries either way.
    const std::vector<double> times = presample_times(2, 0.5);
    auto lap = [](double t) -> Expected<SharedLaplacian> {
        if (t < 0.5) return moving(t);
        std::vector<Edge<double>> e;
        for (std::uint32_t i = 0; i + 1 < kN; ++i) e.push_back({i, i == 2 ? 4u : i + 1, 1.0});
        return std::make_shared<const Laplacian<double>>(
            Laplacian<double>::from_graph(*Graph<double>::from_edges(kN, e), LaplacianKind::Combinatorial));
    };
    ASSERT_EQ((*lap(1.0))->vals.size(), moving(0.0)->vals.size());
    const auto r = presample_laplacians(lap, times, 2);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), CoreError::domain(kPresampledPatternMessage, times[0]));
    EXPECT_EQ(presampled_store_bytes(2, 19, 7), 8u * 4u * 27u);
    EXPECT_EQ(presampled_store_bytes(1ull << 62, 1, 0), std::nullopt);
}

TEST(GraphAdjointPresampled, NegativeCoefficientGivesANaNRoot) {
    const std::vector<double> times = presample_times(1, 0.1);
    auto store = presample_laplacians([](double t) -> Expected<SharedLaplacian> { return moving(t); }, times, 1);
    std::vector<double> a(2 * kN, 1.0);
    a[kN + 2] = -1.0;
    const auto pre = PresampledGraphAdjoint::varcoef(*store, a, 0.1);
    const auto r = pre->evolve_state_adjoint(wave(0.0));
    ASSERT_FALSE(r);
    EXPECT_STREQ(r.error().text(), "VarCoef adjoint: a(t) not positive/finite");
    EXPECT_TRUE(std::isnan(r.error().f0()));
}

}  // namespace
}  // namespace quorvane
