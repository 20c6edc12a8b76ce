// The sparse rule (node count, weight sum, exactness on quadratics) and the
// spectral radius read off the symbol against the growth of the real step.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "core/geometric/smolyak.hpp"

namespace quorvane {
namespace {

TEST(SmolyakRule, NodesWeightsAndGridChecks) {
    const SmolyakGridND<6> op = *SmolyakGridND<6>::make(4, 0.0, 1.0);
    EXPECT_EQ(op.nodes().size(), 533u);
    double sum = 0.0, lo = 0.0, hi = 0.0;
    std::size_t negative = 0;
    for (double w : op.weights()) sum += w, lo = std::min(lo, w), hi = std::max(hi, w), negative += w < 0;
    EXPECT_NEAR(sum, std::pow(std::numbers::pi, 3), 1e-12);
    EXPECT_EQ(negative, 84u);
    EXPECT_NEAR(lo, -11.48, 0.01);
    EXPECT_NEAR(hi, 7.45, 0.01);
    for (std::size_t k = 1; k < op.nodes().size(); ++k) EXPECT_LT(op.nodes()[k - 1], op.nodes()[k]);
    EXPECT_EQ(SmolyakGridND<6>::make(3, 0.0, 1.0).error(),
              CoreError::domain("n must be >= 4 (septic Hermite stencil)", 3.0));
    EXPECT_EQ(SmolyakGridND<6>::make(4, 1.0, 1.0).error(), CoreError::domain("xmin must be < xmax", 1.0));
}

double norm(const std::vector<double>& v) {
    double s = 0.0;
    for (double x : v) s += x * x;
    return std::sqrt(s);
}

// ||F^k u|| / ||F^{k-1} u|| after k steps from a random start: the power
// iteration's estimate of the largest eigenvalue modulus (from below).
double growth(const SmolyakGridND<6>& op, double tau, int steps) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> gauss;
    std::vector<double> u(op.grid().len()), v(u.size());
    for (double& x : u) x = gauss(rng);
    double ratio = 0.0;
    for (int k = 0; k < steps; ++k) {
        op.step(u, v, tau);
        ratio = norm(v) / norm(u);
        std::swap(u, v);
    }
    return ratio;
}

TEST(SmolyakStability, SymbolRadiusMatchesTheStepsGrowth) {
    // h = 1/3 on [0, 1] with 4 nodes; 2 sqrt(tau)/h = 1 amplifies by 1.978,
    // 0.7 by 1.06, 0.5 and 0.8 not at all (the first amplifying step sits
    // at 0.658).
    const SmolyakGridND<6> op = *SmolyakGridND<6>::make(4, 0.0, 1.0);
    auto tau = [](double cells) { return (cells / 6.0) * (cells / 6.0); };
    EXPECT_NEAR(op.spectral_radius(tau(1.0)), 1.978, 1e-3);
    EXPECT_NEAR(growth(op, tau(1.0), 12), op.spectral_radius(tau(1.0)), 0.03);
    for (double cells : {0.5, 0.8}) {
        EXPECT_LE(op.spectral_radius(tau(cells)), 1.0 + 1e-12);
        EXPECT_LE(growth(op, tau(cells), 6), 1.0 + 1e-12);
    }
    EXPECT_GT(op.spectral_radius(tau(0.7)), 1.05);
    EXPECT_NEAR(2.0 * std::sqrt(op.max_contracting_tau()) * 3.0, 0.658, 1e-3);
}

// The first amplifying step is the checkerboard's, a mode every grid has, so
// the bound of the steps that amplify nothing is the same ratio on every grid.
TEST(SmolyakStability, FirstAmplifyingStepIsTheSameRatioOnEveryGrid) {
    for (std::size_t n : {4u, 5u, 7u, 10u}) {
        const SmolyakGridND<6> op = *SmolyakGridND<6>::make(n, -1.0, 2.0);
        const double h = op.grid().axes[0].dx();
        const double tau_max = op.max_contracting_tau();
        EXPECT_NEAR(2.0 * std::sqrt(tau_max) / h, 0.658587, 1e-6) << n;  // bisected to rounding
        EXPECT_FALSE(op.amplifies(tau_max)) << n;
        EXPECT_TRUE(op.amplifies(tau_max * 1.001)) << n;
        // The window (0.743, 0.926) amplifies nothing either, but lies above the bound.
        EXPECT_FALSE(op.amplifies((0.8 * h / 2.0) * (0.8 * h / 2.0))) << n;
    }
}

// Data near the top of the range are carried scaled from the step whose sums
// could overflow: the scaled values are the steps of the data taken down by
// that power of two, exactly, and ordinary data are never scaled.
TEST(SmolyakEvolve, DataNearTheRangeAreCarriedScaled) {
    const SmolyakGridND<6> op = *SmolyakGridND<6>::make(4, 0.0, 1.0);
    std::mt19937_64 rng(11);
    std::normal_distribution<double> gauss;
    std::vector<double> u(op.grid().len());
    for (double& x : u) x = gauss(rng);
    const SmolyakScaledValues plain = *smolyak_evolve(op, u, 0.01, 2);
    EXPECT_EQ(plain.exponent, 0);
    std::vector<double> big = u;
    for (double& x : big) x = std::ldexp(x, 1015);
    const SmolyakScaledValues scaled = *smolyak_evolve(op, big, 0.01, 2);
    ASSERT_GT(scaled.exponent, 0);
    for (std::size_t i = 0; i < u.size(); ++i) {
        ASSERT_EQ(std::ldexp(scaled.values[i], scaled.exponent - 1015), plain.values[i]) << i;
    }
}

// The step reads u at 2 sqrt(tau) xi_k from each node, |xi_k| <= 2.651961
// (level 9 in six dimensions reaches the 7-point rule at most): the farthest
// tap sits about 2.652 * 2 sqrt(tau)/h + 3 cells from the first node, which
// must stay below 2^53 = 9.007e15 cells, so 2 sqrt(tau)/h < 3.3965e15. With
// h = 1e-150/3 the same 2 sqrt(tau)/h comes from a tau 1e-300 times smaller.
TEST(SmolyakStability, StepsBeyondTheGridsArithmeticAreRefused) {
    for (double width : {1.0, 1e-150}) {
        const SmolyakGridND<6> op = *SmolyakGridND<6>::make(4, 0.0, width);
        auto tau = [&](double cells) { return (cells * width / 6.0) * (cells * width / 6.0); };
        std::vector<double> u(op.grid().len(), 1.0), out(u.size(), -7.0);
        for (double cells : {3.40e15, 6e25, 6e50}) {
            const CoreError refused = CoreError::domain(kSmolyakReachMessage, tau(cells));
            EXPECT_EQ(op.check_step(tau(cells)).error(), refused);
            EXPECT_EQ(op.step(u, out, tau(cells)).error(), refused);
            EXPECT_EQ(out[0], -7.0);  // refused before writing
        }
        // Just inside, the step runs and keeps constants (the weights sum to pi^3).
        ASSERT_TRUE(op.check_step(tau(3.39e15)));
        ASSERT_TRUE(op.step(u, out, tau(3.39e15)));
        for (double v : out) ASSERT_NEAR(v, 1.0, 1e-12);
    }
}

}  // namespace
}  // namespace quorvane
