// How far transport reads are held: the shares' derivatives against central
// differences, and the values at the points the holds turn on.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
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
    EXPECT_EQ(hold_weight(0.0), 0.0);
    EXPECT_EQ(hold_weight(2.0 * kHoldRamp), 1.0);
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
    hold_weight(0.4 * kHoldRamp, &slope);
    EXPECT_NEAR(slope, central([](double v) { return hold_weight(v); }, 0.4 * kHoldRamp, 1e-9), 1e-3);
}

// The node weights' and folds' derivatives with respect to b next to the
// node, at the ends and across a periodic seam.
TEST(ReadHold, NodeDerivativesMatchCentralDifferences) {
    std::vector<double> b = {0.3, 0.30012, 0.2999, -0.1, 0.4, 0.25};
    const double reach = 3.0;
    for (BoundaryTag tag : {BoundaryTag::Reflect, BoundaryTag::Periodic}) {
        for (std::size_t i : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{5}}) {
            double w[3], f[3];
            drift_hold_weight(b, tag, i, &w[0], &w[1], &w[2]);
            node_fold(b, tag, i, reach, &f[0], &f[1], &f[2]);
            const std::size_t n = b.size(), nodes[3] = {i > 0 ? i - 1 : n - 1, i, i + 1 < n ? i + 1 : 0};
            for (int k = 0; k < 3; ++k) {
                const bool exists = tag == BoundaryTag::Periodic || (k == 0 ? i > 0 : k == 2 ? i + 1 < n : true);
                if (!exists) continue;
                auto moved = [&](double v) {
                    std::vector<double> c = b;
                    c[nodes[k]] = v;
                    return c;
                };
                const double bk = b[nodes[k]];
                EXPECT_NEAR(w[k], central([&](double v) { return drift_hold_weight(moved(v), tag, i); }, bk, 1e-9),
                            1e-3 * (1.0 + std::fabs(w[k])));
                EXPECT_NEAR(f[k], central([&](double v) { return node_fold(moved(v), tag, i, reach); }, bk), 1e-6);
            }
        }
    }
}

}  // namespace
}  // namespace quorvane
