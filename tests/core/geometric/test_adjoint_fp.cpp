// Adjoint steps: the dual identity on a Fourier mode and on x^2, first-order
// moments of the Fokker-Planck flow, the layout of the children, refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "core/geometric/adjoint_fp.hpp"

namespace quorvane {
namespace {

const MeasureState kMu{{{0.3, 1.5}, {-1.0, -0.25}, {2.0, 0.75}}, {}};

TEST(AdjointFokkerPlanck, ChildrenLayout) {
    const MeasureState out = *AdjointFokkerPlanck{2.0, 1.0, 0.4}.step(MeasureState{{{0.0, 1.0}}, {}}, 0.5, 1);
    const double want[4][2] = {{2.0, 0.25}, {-2.0, 0.25}, {1.0, 0.5}, {0.0, 0.2}};
    ASSERT_EQ(out.atoms.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_DOUBLE_EQ(out.atoms[i].x, want[i][0]);
        EXPECT_DOUBLE_EQ(out.atoms[i].w, want[i][1]);
    }
    EXPECT_EQ((AdjointFokkerPlanck{1.0, 0.0, 0.0}.step(kMu, 0.1, 2)->atoms.size()), 48u);
}

// integral S^n f dmu = integral f d(S*^n mu): S(tau) maps e^{i w x} to
// lambda e^{i w x} with lambda = cos(w h)/2 + e^{i w k}/2 + tau c.
TEST(AdjointFokkerPlanck, DualIdentityOnAFourierMode) {
    const double a = 0.8, b = -0.5, c = 1.3, tau = 0.07, w = 1.7;
    const int n = 5;
    const MeasureState out = *AdjointFokkerPlanck{a, b, c}.step(kMu, tau, n);
    const std::complex<double> lambda =
        0.5 * std::cos(w * 2.0 * std::sqrt(a * tau)) + 0.5 * std::polar(1.0, w * 2.0 * b * tau) + tau * c;
    std::complex<double> before = 0.0;
    for (const Atom& at : kMu.atoms) before += at.w * std::polar(1.0, w * at.x);
    double after = 0.0;
    for (const Atom& at : out.atoms) after += at.w * std::cos(w * at.x);
    EXPECT_NEAR(after, std::real(std::pow(lambda, n) * before), 1e-13);
}

// The same on f = x^2 and f = x: S x^2 = (1 + tau c) x^2 + 2 b tau x + 2 a tau +
// 2 b^2 tau^2 and S x = (1 + tau c) x + b tau, a recursion for M2 through M1, M0.
TEST(AdjointFokkerPlanck, DualIdentityOnTheSecondMoment) {
    const double a = 0.6, b = 0.9, c = -2.0, tau = 0.1;
    double m0 = 0.0, m1 = 0.0, m2 = 0.0;
    for (const Atom& at : kMu.atoms) m0 += at.w, m1 += at.x * at.w, m2 += at.x * at.x * at.w;
    for (int s = 0; s < 4; ++s) {
        const double r = 1.0 + tau * c;
        const double m2n = r * m2 + 2.0 * b * tau * m1 + (2.0 * a * tau + 2.0 * b * b * tau * tau) * m0;
        m1 = r * m1 + b * tau * m0;
        m0 = r * m0;
        m2 = m2n;
    }
    const MeasureState out = *AdjointFokkerPlanck{a, b, c}.step(kMu, tau, 4);
    EXPECT_NEAR(out.second_moment(), m2, 1e-13);
}

// One atom at 0 against the flow (mass e^{ct}, mean b t, variance 2 a t):
// every error halves with tau.
TEST(AdjointFokkerPlanck, FirstOrderTowardsFokkerPlanck) {
    const double a = 0.5, b = 1.0, c = 0.8, t = 0.2;
    double prev[3] = {0.0, 0.0, 0.0};
    for (int n : {2, 4, 8}) {
        const MeasureState out = *AdjointFokkerPlanck{a, b, c}.step(MeasureState{{{0.0, 1.0}}, {}}, t / n, n);
        double m0 = 0.0, m1 = 0.0, m2 = 0.0;
        for (const Atom& at : out.atoms) m0 += at.w, m1 += at.x * at.w, m2 += at.x * at.x * at.w;
        const double mean = m1 / m0;
        const double err[3] = {std::fabs(m0 - std::exp(c * t)), std::fabs(mean - b * t),
                               std::fabs(m2 / m0 - mean * mean - 2.0 * a * t)};
        for (int q = 0; q < 3; ++q) {
            if (prev[q] > 0.0) {
                EXPECT_NEAR(prev[q] / err[q], 2.0, 0.25) << "moment " << q << ", n = " << n;
            }
            prev[q] = err[q];
        }
    }
}

TEST(AdjointFokkerPlanck, Refusals) {
    EXPECT_EQ(AdjointFokkerPlanck::make(NAN, 0.0, 0.0).error().display(),
              "domain violation: adjoint_fp: a, b, c must be finite (value = NaN)");
    EXPECT_EQ(AdjointFokkerPlanck::make(1.0, INFINITY, 0.0).error(),
              CoreError::domain("adjoint_fp: a, b, c must be finite", 1.0));
    EXPECT_EQ(AdjointFokkerPlanck::make(-0.5, 0.0, 0.0).error(),
              CoreError::domain("adjoint_fp: a must be >= 0 (diffusion coefficient)", -0.5));
    EXPECT_TRUE(AdjointFokkerPlanck::make(-0.0, 0.0, 0.0));
    // 3 * 4^13 > 2^26: refused before allocating (3 * 4^12 would run).
    EXPECT_EQ((AdjointFokkerPlanck{1.0, 0.0, 0.0}.step(kMu, 0.1, 13).error()),
              CoreError::domain("adjoint_fp: atom count would exceed the limit of 67108864 (2^26)", 3.0 * 67108864.0));
    EXPECT_EQ((AdjointFokkerPlanck{1.0, 0.0, 0.0}.step(kMu, 0.1, 1'000'000).error()),
              CoreError::domain("adjoint_fp: atom count would exceed the limit of 67108864 (2^26)", 0x1p64));
}

}  // namespace
}  // namespace quorvane
