// Gauss rules by Golub-Welsch: the eigen-solver on a matrix with known
// spectrum, polynomial exactness of Gauss-Legendre on [a, b], moments of the
// generalised Gauss-Laguerre rule, the stored 32-point table, and the
// parameter errors.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "core/gen_quadrature.hpp"

namespace quorvane {
namespace {

TEST(TridiagonalEigen, DiscreteLaplacianSpectrumAndFirstComponents) {
    // tridiag(-1, 2, -1) of size n: eigenvalues 2 - 2cos(k pi/(n+1)), first
    // eigenvector components sqrt(2/(n+1)) sin(k pi/(n+1)) up to sign.
    for (std::size_t n : {1u, 2u, 7u, 32u}) {
        std::array<double, 32> d{}, e{};
        for (std::size_t i = 0; i < n; ++i) {
            d[i] = 2.0;
            e[i] = -1.0;
        }
        const auto r = symmetric_tridiagonal_eigen(d, e, n);
        ASSERT_TRUE(r);
        const double np1 = static_cast<double>(n + 1);
        for (std::size_t k = 0; k < n; ++k) {
            const double th = static_cast<double>(k + 1) * std::numbers::pi / np1;
            EXPECT_NEAR(r->values[k], 2.0 - 2.0 * std::cos(th), 1e-14);  // O(eps * ||A||)
            EXPECT_NEAR(std::fabs(r->first_components[k]), std::sqrt(2.0 / np1) * std::sin(th), 1e-13);
        }
    }
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
    const QuadratureRule one = *gauss_legendre_rule(1, 2.0, 5.0);
    EXPECT_EQ(one.nodes[0], 3.5);
    EXPECT_EQ(one.weights[0], 3.0);
    const QuadratureRule two = *gauss_legendre_rule(2, -1.0, 1.0);
    EXPECT_NEAR(two.nodes[1], 1.0 / std::sqrt(3.0), 1e-15);
    EXPECT_NEAR(two.weights[0], 1.0, 1e-15);
    const QuadratureRule flat = *gauss_legendre_rule(4, 1.5, 1.5);
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(flat.nodes[k], 1.5);
        EXPECT_EQ(flat.weights[k], 0.0);
    }
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
    const QuadratureRule one = *gamma_weighted_gauss_rule(1, 1.5);
    EXPECT_NEAR(one.nodes[0], 2.5, 1e-15);
    EXPECT_NEAR(one.weights[0], std::tgamma(2.5), 1e-15);
    const QuadratureRule two = *gamma_weighted_gauss_rule(2, 0.0);
    const double s2 = std::sqrt(2.0);
    EXPECT_NEAR(two.nodes[0], 2.0 - s2, 1e-15);
    EXPECT_NEAR(two.nodes[1], 2.0 + s2, 1e-14);
    EXPECT_NEAR(two.weights[0], (2.0 + s2) / 4.0, 1e-15);
    EXPECT_NEAR(two.weights[1], (2.0 - s2) / 4.0, 1e-15);
}

TEST(GammaWeightedGauss, ThirtyTwoPointsMatchTheClassicalTable) {
    // Entries of the classical 32-point Gauss-Laguerre rule to 15 digits,
    // computed independently at 80 digits (roots of L_32, w = x / (33 L_33(x))^2).
    const std::size_t idx[] = {0, 7, 15, 23, 26, 31};
    const double ref[][2] = {
        {0.044489365833267, 0.109218341952385},
        {4.61645676974977, 0.0119182148348386},
        {19.8558609403361, 6.35060222662581e-9},
        {49.2243949873086, 2.05442967378805e-21},
        {65.9753772879351, 1.41856054546304e-28},
        {111.751398097938, 4.51053619389897e-48},
    };
    const QuadratureRule r = *gamma_weighted_gauss_rule(32, 0.0);
    for (std::size_t q = 0; q < 6; ++q) {
        EXPECT_NEAR(r.nodes[idx[q]] / ref[q][0], 1.0, 1e-12) << idx[q];    // 15-digit reference
        EXPECT_NEAR(r.weights[idx[q]] / ref[q][1], 1.0, 1e-12) << idx[q];  // down to the 4.5e-48 weight
    }
}

TEST(QuadratureRules, InvalidParametersAreErrors) {
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    for (double alpha : {nan, inf, -inf, -1.0, -3.0}) {
        const auto r = gamma_weighted_gauss_rule(8, alpha);
        ASSERT_FALSE(r) << alpha;
        EXPECT_EQ(r.error().display(),
                  CoreError::domain("gamma_weighted_gauss_rule: alpha must be finite and > -1", alpha).display());
    }
    EXPECT_EQ(gamma_weighted_gauss_rule(4, 200.0).error(),
              CoreError::domain("gamma_weighted_gauss_rule: Gamma(alpha + 1) must be finite", 200.0));
    for (std::size_t n : {0u, 33u}) {
        EXPECT_EQ(gamma_weighted_gauss_rule(n, 0.0).error(),
                  CoreError::domain("gamma_weighted_gauss_rule: n must be in 1..=32", double(n)));
        EXPECT_EQ(gauss_legendre_rule(n, 0.0, 1.0).error(),
                  CoreError::domain("gauss_legendre_rule: n must be in 1..=32", double(n)));
    }
    EXPECT_EQ(gauss_legendre_rule(4, 0.0, inf).error(), CoreError::domain("gauss_legendre_rule: a and b must be finite", inf));
    EXPECT_FALSE(gauss_legendre_rule(4, nan, 1.0));
}

}  // namespace
}  // namespace quorvane
