// How far transport reads are held: the shares' derivatives against central
// differences, and the values at the points the holds turn on.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <tuple>
#include <vector>

#include "core/foundation/read_hold.hpp"

namespace quorvane {
namespace {

double central(const std::function<double(double)>& f, double x, double h = 1e-7) {
    return (f(x + h) - f(x - h)) / (2.0 * h);
}

TEST(DriftMeeting, MeetsOnlyWhereBothNodesReadIntoTheCell) {
    EXPECT_EQ(drift_meeting(1.0, -1.0).value, 1.0);
    EXPECT_EQ(drift_meeting(1.0, -0.25).value, 0.25);
    EXPECT_EQ(drift_meeting(1.0, 0.5).value, 0.0);   // both read to the right
    EXPECT_EQ(drift_meeting(-1.0, 1.0).value, 0.0);  // both read away from the cell
    EXPECT_EQ(drift_meeting(0.0, 0.0).value, 0.0);
    // Derivatives where it is smooth, on either side of the larger magnitude.
    for (auto [b0, b1] : {std::pair{0.7, -0.3}, std::pair{0.2, -0.9}, std::pair{0.5, -0.6}}) {
        const DriftChange c = drift_meeting(b0, b1);
        EXPECT_NEAR(c.d0, central([&](double v) { return drift_meeting(v, b1).value; }, b0), 1e-7);
        EXPECT_NEAR(c.d1, central([&](double v) { return drift_meeting(b0, v).value; }, b1), 1e-7);
    }
}

TEST(DriftShare, DerivativesMatchCentralDifferences) {
    EXPECT_EQ(drift_share(0.4, 0.4).value, 1.0);  // a drift the same at both nodes keeps it all
    EXPECT_EQ(drift_share(1.0, -1.0).value, 0.0);
    for (auto [b0, b1] : {std::pair{0.7, 0.5}, std::pair{0.3, -0.05}, std::pair{-0.2, 0.6}}) {
        const DriftChange c = drift_share(b0, b1);
        EXPECT_NEAR(c.d0, central([&](double v) { return drift_share(v, b1).value; }, b0), 1e-6);
        EXPECT_NEAR(c.d1, central([&](double v) { return drift_share(b0, v).value; }, b1), 1e-6);
    }
}

// A sampled wave of P nodes a wavelength bends by 4 sin^2(pi / P) at its
// crest, a line not at all; the derivatives with the largest magnitude at
// each of the three nodes, of either sign.
TEST(DriftRoughness, WaveBendsByItsSampling) {
    const double pi = std::acos(-1.0);
    for (double P : {8.0, 12.5, 41.0}) {
        const double step = 2.0 * pi / P;
        EXPECT_NEAR(drift_roughness(std::sin(pi / 2 - step), 1.0, std::sin(pi / 2 + step)).value,
                    4.0 * std::pow(std::sin(pi / P), 2), 1e-15);
    }
    EXPECT_EQ(drift_roughness(0.25, 0.5, 0.75).value, 0.0);
    EXPECT_EQ(drift_roughness(0.0, 0.0, 0.0).value, 0.0);
    for (auto [p, h, m] : {std::tuple{0.9, 0.3, 0.5}, std::tuple{0.2, -0.7, 0.1}, std::tuple{0.25, 0.4, -0.8}}) {
        const DriftRoughness r = drift_roughness(p, h, m);
        EXPECT_NEAR(r.d_prev, central([&](double v) { return drift_roughness(v, h, m).value; }, p), 1e-7);
        EXPECT_NEAR(r.d_here, central([&](double v) { return drift_roughness(p, v, m).value; }, h), 1e-7);
        EXPECT_NEAR(r.d_next, central([&](double v) { return drift_roughness(p, h, v).value; }, m), 1e-7);
    }
}

TEST(ReadHold, SharesAreContinuousAndTheirSlopesMatch) {
    // No kink where a share starts or stops: 0 at both ends of each ramp.
    double slope = 1.0;
    EXPECT_EQ(meeting_widen(0.0), 1.0);
    EXPECT_EQ(meeting_widen(kMeetingFull, &slope), 0.0);
    EXPECT_EQ(slope, 0.0);
    EXPECT_EQ(change_widen(kChangeFull, &slope), 0.0);
    EXPECT_EQ(slope, 0.0);
    EXPECT_EQ(fold_widen(1.0), 1.0);
    EXPECT_EQ(fold_widen(0.5, &slope), 0.0);
    EXPECT_EQ(slope, 0.0);
    EXPECT_EQ(hold_weight(0.0, 0.0), 0.0);
    EXPECT_EQ(hold_weight(kRoughFree, kChangeFree, &slope), 0.0);
    EXPECT_EQ(slope, 0.0);
    EXPECT_EQ(hold_weight(kRoughHeld, 0.0), 1.0);
    EXPECT_EQ(hold_weight(0.0, kChangeHeld, nullptr, &slope), 1.0);
    EXPECT_EQ(slope, 0.0);
    for (double x : {0.1, 0.2}) {
        meeting_widen(x, &slope);
        EXPECT_NEAR(slope, central([](double v) { return meeting_widen(v); }, x), 1e-7);
        change_widen(5.0 * x, &slope);
        EXPECT_NEAR(slope, central([](double v) { return change_widen(v); }, 5.0 * x), 1e-7);
    }
    for (double x : {0.6, 0.9}) {
        fold_widen(x, &slope);
        EXPECT_NEAR(slope, central([](double v) { return fold_widen(v); }, x), 1e-6);
    }
    // Each ramp where it is the larger, and the other's slope 0 there.
    double other = 1.0;
    hold_weight(0.2, 0.25, &slope, &other);
    EXPECT_NEAR(slope, central([](double v) { return hold_weight(v, 0.25); }, 0.2), 1e-7);
    EXPECT_EQ(other, 0.0);
    hold_weight(0.12, 0.4, &other, &slope);
    EXPECT_NEAR(slope, central([](double v) { return hold_weight(0.12, v); }, 0.4), 1e-7);
    EXPECT_EQ(other, 0.0);
}

// The node weights' (in steps that keep the foot at the node) and folds'
// derivatives with respect to b next to the node, at the ends and across a
// periodic seam. In the second drift nodes 0, 1, 3 and 5 weigh on a ramp (of
// the bend at the periodic ends, of the change elsewhere).
TEST(ReadHold, NodeDerivativesMatchCentralDifferences) {
    const double reach = 3.0;
    const std::vector<double> drifts[] = {{0.3, 0.30012, 0.2999, -0.1, 0.4, 0.25}, {0.59, 0.43, 0.24, 0.36, 0.46, 0.6}};
    for (const std::vector<double>& b : drifts) {
        for (BoundaryTag tag : {BoundaryTag::Reflect, BoundaryTag::Periodic}) {
            for (std::size_t i : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{5}}) {
                HoldSlope slope;
                step_hold_weight(b, tag, i, 0.0, &slope);
                double f[3];
                node_fold(b, tag, i, reach, &f[0], &f[1], &f[2]);
                const std::size_t n = b.size(), nodes[3] = {i > 0 ? i - 1 : n - 1, i, i + 1 < n ? i + 1 : 0};
                for (int k = 0; k < 3; ++k) {
                    const bool exists =
                        tag == BoundaryTag::Periodic || (k == 0 ? i > 0 : k == 2 ? i + 1 < n : true);
                    if (!exists) continue;
                    auto moved = [&](double v) {
                        std::vector<double> c = b;
                        c[nodes[k]] = v;
                        return c;
                    };
                    double w = 0.0;
                    for (std::size_t e = 0; e < slope.count; ++e) w += slope.node[e] == nodes[k] ? slope.d[e] : 0.0;
                    const double bk = b[nodes[k]];
                    EXPECT_NEAR(w, central([&](double v) { return step_hold_weight(moved(v), tag, i, 0.0); }, bk),
                                1e-6);
                    EXPECT_NEAR(f[k], central([&](double v) { return node_fold(moved(v), tag, i, reach); }, bk),
                                1e-6);
                }
            }
        }
    }
}

// A step that carries the foot a few cells weighs the change to the drift
// there: nodes 1 and 3 of this wave weigh on its ramp (the foot's change
// the larger), and the slope's entries, summed by node, match central
// differences, across a seam and past the ends too.
TEST(ReadHold, StepWeightDerivativesMatchCentralDifferences) {
    const std::vector<double> b = {0.274, 0.42, 0.629, 0.734, 0.708, 0.549, 0.391, 0.233};
    const double reach = 4.0;
    const std::size_t n = b.size();
    for (BoundaryTag tag : {BoundaryTag::Reflect, BoundaryTag::Periodic, BoundaryTag::Zero}) {
        for (std::size_t i : {std::size_t{1}, std::size_t{3}}) {
            const FootChange foot = foot_change(b, tag, i, reach);
            EXPECT_GT(foot.value, 0.3);
            EXPECT_LT(foot.value, 0.5);
            EXPECT_GT(step_hold_weight(b, tag, i, reach), step_hold_weight(b, tag, i, 0.0));
        }
        for (std::size_t i = 0; i < n; ++i) {
            HoldSlope slope;
            step_hold_weight(b, tag, i, reach, &slope);
            std::vector<double> by_node(n, 0.0);
            for (std::size_t k = 0; k < slope.count; ++k) by_node[slope.node[k]] += slope.d[k];
            for (std::size_t m = 0; m < n; ++m) {
                auto moved = [&](double v) {
                    std::vector<double> c = b;
                    c[m] = v;
                    return step_hold_weight(c, tag, i, reach);
                };
                EXPECT_NEAR(by_node[m], central(moved, b[m]), 1e-6) << "node " << i << ", b at " << m;
            }
        }
    }
}

}  // namespace
}  // namespace quorvane
