// The longest heat step whose reads can be located: the end nodes read
// farthest for a constant coefficient, the node of the largest coefficient
// for a varying one, each against the read's own position.
#include <gtest/gtest.h>

#include <cmath>

#include "core/foundation/step_count.hpp"
#include "core/line/read_reach.hpp"

namespace quorvane {
namespace {

constexpr double kCells = 9007199254740992.0;  // 2^53

double longest_located(const DiffusionChernoff& k) {
    return greatest_admitted_double(0.0, 1e300, [&](double tau) { return heat_reads_located(k, tau); });
}

// a = 1 + 99 exp(-100 (x - 1/2)^2): 100 at the middle node, about 1 at the ends.
double bump(double x) { return 1.0 + 99.0 * std::exp(-100.0 * (x - 0.5) * (x - 0.5)); }

TEST(ReadReach, TheFarthestReadOfTheStepDecides) {
    const Grid1D<double> g =
        *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0.0, 1.0, 17);
    const double edge = kCells * g.dx();  // the first point that no cell holds
    // Constant a = 1: the last node reads 1 + 2 sqrt(3 tau).
    const double unit = longest_located(DiffusionChernoff::unit(g));
    EXPECT_NEAR(unit, std::pow((edge - 1.0) / 2.0, 2) / 3.0, 1e-12 * unit);
    // Varying a: the middle node, 0.5 + 2 sqrt(300 tau), reads 100 times as far as the ends'
    // quadrature and their difference points 2 sqrt(tau) away.
    const double varying = longest_located(DiffusionChernoff{CoeffSource::plain(bump, coeff_zero, coeff_zero), g, 100.0});
    EXPECT_NEAR(varying, std::pow((edge - 0.5) / 2.0, 2) / 300.0, 1e-9 * varying);
    // A coefficient below 0 is the step's own error to report, not a read too far.
    EXPECT_TRUE(heat_reads_located(DiffusionChernoff{CoeffSource::constant(-1.0), g, 1.0}, 1e300));
}

// A shift step reads x +- 2 sqrt(tau a) and the foot x + 2 tau b; a drift step its foot, along b
// or against it: the longest located step is the one whose farthest read is the edge.
TEST(ReadReach, ShiftAndDriftStepsJudgeTheirOwnReadPoints) {
    const Grid1D<double> g =
        *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0.0, 1.0, 17);
    const double edge = kCells * g.dx();
    auto longest = [](auto located) { return greatest_admitted_double(0.0, 1e300, located); };
    // a = 1/2, b = 0: the last node reads 1 + 2 sqrt(tau / 2).
    const ShiftChernoff1D diffusion = ShiftChernoff1D::constant(g, 0.5, 0.0, 0.0);
    const double by_a = longest([&](double tau) { return shift_reads_located(diffusion, tau); });
    EXPECT_NEAR(by_a, 2.0 * std::pow((edge - 1.0) / 2.0, 2), 1e-12 * by_a);
    // b = 3, a = 0: the last node's foot 1 + 6 tau.
    const ShiftChernoff1D transport = ShiftChernoff1D::constant(g, 0.0, 3.0, 0.0);
    const double by_b = longest([&](double tau) { return shift_reads_located(transport, tau); });
    EXPECT_NEAR(by_b, (edge - 1.0) / 6.0, 1e-12 * by_b);
    // A negative a is the step's own error.
    EXPECT_TRUE(shift_reads_located(ShiftChernoff1D::constant(g, -1.0, 0.0, 0.0), 1e300));
    // The drift b = 3: forward the last node's foot 1 + 3 tau, reversed the first node's -3 tau,
    // which reaches the edge (measured from xmin = 0) a node later.
    DriftReactionChernoff drift;
    drift.grid = g;
    drift.b = [](double) { return 3.0; };
    const double along = longest([&](double tau) { return drift_reads_located(drift, tau); });
    const double against = longest([&](double tau) { return drift_reads_located(drift, tau, true); });
    EXPECT_NEAR(along, (edge - 1.0) / 3.0, 1e-12 * along);
    EXPECT_NEAR(against, edge / 3.0, 1e-12 * against);
}

}  // namespace
}  // namespace quorvane
