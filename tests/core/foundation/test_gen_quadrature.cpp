// Gauss rules by Golub-Welsch: polynomial exactness of Gauss-Legendre on
// [a, b], moments of the generalised Gauss-Laguerre rule, the 32-point rule
// against the classical table, and the parameter errors.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <tuple>

#include "core/foundation/gen_quadrature.hpp"

namespace quorvane {
namespace {

TEST(TridiagonalEigen, NaNEntryIsAnErrorNotARule) {
    std::array<double, 32> d{}, e{};
    d[0] = std::nan(""), e[0] = 1.0;
    EXPECT_FALSE(symmetric_tridiagonal_eigen(d, e, 3));  // NaN defeats every convergence test
}

struct Interval {
    double a, b;
};

TEST(GaussLegendre, ExactToDegree2nMinus1) {
    for (Interval iv : {Interval{-1.0, 1.0}, Interval{0.0, 3.0}, Interval{2.0, -1.5}}) {
        for (std::size_t n : {1u, 2u, 3u, 5u, 8u, 16u, 32u}) {
            const QuadratureRule r = *gauss_legendre_rule(n, iv.a, iv.b);
            const double mid = (iv.a + iv.b) / 2, half = (iv.b - iv.a) / 2;
            for (std::size_t j = 0; j < 2 * n; ++j) {
                // Monomials of the scaled variable keep every moment O(1):
                // integral over [a, b] of ((x - mid)/half)^j = half * 2/(j+1) for even j.
                double s = 0.0;
                for (std::size_t k = 0; k < n; ++k) s += r.weights[k] * std::pow((r.nodes[k] - mid) / half, double(j));
                const double exact = j % 2 ? 0.0 : half * 2.0 / double(j + 1);
                EXPECT_NEAR(s, exact, 1e-13 * std::fabs(iv.b - iv.a)) << "n=" << n << " j=" << j;  // eps * n terms
            }
            for (std::size_t k = 1; k < n; ++k) EXPECT_EQ(r.nodes[k] > r.nodes[k - 1], iv.b > iv.a);
            for (double w : r.weights) EXPECT_EQ(w > 0.0, iv.b > iv.a);
        }
    }
    const QuadratureRule flat = *gauss_legendre_rule(4, 1.5, 1.5);
    EXPECT_EQ(flat.nodes, std::vector<double>(4, 1.5));
    EXPECT_EQ(flat.weights, std::vector<double>(4, 0.0));
}

TEST(GammaWeightedGauss, MomentsAreGammaFunctionValues) {
    for (double alpha : {-0.9, -0.5, 0.0, 0.7, 2.5}) {
        for (std::size_t n : {1u, 2u, 5u, 10u, 20u, 32u}) {
            const QuadratureRule r = *gamma_weighted_gauss_rule(n, alpha);
            for (std::size_t j = 0; j < 2 * n; ++j) {
                double s = 0.0;
                for (std::size_t k = 0; k < n; ++k) s += r.weights[k] * std::pow(r.nodes[k], double(j));
                const double exact = std::tgamma(alpha + double(j) + 1.0);
                // High moments are dominated by the largest nodes, each
                // carrying eps relative error raised to the power j.
                EXPECT_NEAR(s / exact, 1.0, 1e-13 * double(j + 1)) << "alpha=" << alpha << " n=" << n << " j=" << j;
            }
        }
    }
}

TEST(GammaWeightedGauss, ThirtyTwoPointsMatchTheClassicalTable) {
    // Entries of the classical 32-point Gauss-Laguerre rule to 15 digits,
    // computed independently at 80 digits (roots of L_32, w = x / (33 L_33(x))^2).
    const QuadratureRule r = *gamma_weighted_gauss_rule(32, 0.0);
    const std::tuple<std::size_t, double, double> ref[] = {{0, 0.044489365833267, 0.109218341952385},
                                                           {15, 19.8558609403361, 6.35060222662581e-9},
                                                           {31, 111.751398097938, 4.51053619389897e-48}};
    for (auto [k, node, weight] : ref) {
        EXPECT_NEAR(r.nodes[k] / node, 1.0, 1e-12) << k;      // 15-digit reference
        EXPECT_NEAR(r.weights[k] / weight, 1.0, 1e-12) << k;  // down to the 4.5e-48 weight
    }
}

TEST(QuadratureRules, InvalidParametersAreErrors) {
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    for (double alpha : {nan, inf, -1.0})  // a NaN alpha must not slip through to a rule that is not one
        EXPECT_EQ(gamma_weighted_gauss_rule(8, alpha).error().display(),
                  CoreError::domain("gamma_weighted_gauss_rule: alpha must be finite and > -1", alpha).display());
    EXPECT_EQ(gamma_weighted_gauss_rule(4, 200.0).error(),
              CoreError::domain("gamma_weighted_gauss_rule: Gamma(alpha + 1) must be finite", 200.0));
    for (std::size_t n : {0u, 33u}) {
        EXPECT_EQ(gamma_weighted_gauss_rule(n, 0.0).error(),
                  CoreError::domain("gamma_weighted_gauss_rule: n must be in 1..=32", double(n)));
        EXPECT_EQ(gauss_legendre_rule(n, 0.0, 1.0).error(),
                  CoreError::domain("gauss_legendre_rule: n must be in 1..=32", double(n)));
    }
    EXPECT_EQ(gauss_legendre_rule(4, nan, inf).error().display(),
              CoreError::domain("gauss_legendre_rule: a and b must be finite", nan).display());
}

// Moments of e^{-x^2}: integral x^{2m} = Gamma(m + 1/2), odd moments 0.
double hermite_moment(std::size_t j) { return j % 2 ? 0.0 : std::tgamma(double(j) / 2.0 + 0.5); }

TEST(GaussHermite, ThirtyTwoPointRuleIsExactToDegree63) {
    const GaussHermite32& r = gauss_hermite_32();
    EXPECT_NEAR(r.nodes[31], 7.12581390983, 1e-10);
    for (std::size_t k = 0; k < 32; ++k) {
        EXPECT_EQ(r.nodes[k], -r.nodes[31 - k]);
        EXPECT_EQ(r.weights[k], r.weights[31 - k]);
    }
    for (std::size_t j = 0; j < 64; j += 2) {
        double s = 0.0;
        for (std::size_t k = 0; k < 32; ++k) s += r.weights[k] * std::pow(r.nodes[k], double(j));
        EXPECT_NEAR(s / hermite_moment(j), 1.0, 1e-12) << j;  // a few ulps of the largest terms
    }
}

TEST(GaussHermite, LadderRungsAreExactToTheirDegree) {
    for (std::size_t level = 1; level <= kGaussHermiteLadderDepth; ++level) {
        const GaussHermiteRung r = *gauss_hermite_ladder(level);
        ASSERT_EQ(r.nodes.size(), 2 * level - 1);
        for (std::size_t j = 0; j < 2 * r.nodes.size(); j += 2) {
            double s = 0.0;
            for (std::size_t k = 0; k < r.nodes.size(); ++k) s += r.weights[k] * std::pow(r.nodes[k], double(j));
            // 15 decimals leave the small outer weights ~1e-12 relative off.
            EXPECT_NEAR(s / hermite_moment(j), 1.0, 1e-11) << level << " " << j;
        }
    }
    EXPECT_FALSE(gauss_hermite_ladder(0));
    EXPECT_FALSE(gauss_hermite_ladder(6));
}

}  // namespace
}  // namespace quorvane
