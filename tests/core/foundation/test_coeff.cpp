// Catmull-Rom sampling of coefficient arrays and the derivative samples of
// coefficient arrays.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "core/foundation/coeff.hpp"
#include "core/foundation/error.hpp"

namespace quorvane {
namespace {

TEST(SampledCoeff, ZeroOneAndManySamples) {
    EXPECT_EQ((*sampled_coeff(std::vector<double>{}, 0.0, 1.0))(3.0), 0.0);
    EXPECT_EQ((*sampled_coeff(std::vector<double>{4.5}, 0.0, 1.0))(-3.0), 4.5);
    const SharedCoeff f = sampled_coeff(std::vector<double>{1.0, 2.0, 4.0, 8.0}, 1.0, 0.5);
    EXPECT_EQ((*f)(1.5), 2.0);
    EXPECT_EQ((*f)(100.0), 8.0);
}

TEST(CatmullRom, NodeValuesClampedOutsideNaNPropagated) {
    // Accuracy between the nodes is measured through Heat1D.with_a_array.
    const std::vector<double> f = {0.5, -1.0, 2.0, 3.5, 1.25, -0.75};
    for (std::size_t j = 0; j < f.size(); ++j) EXPECT_EQ(catmull_rom_sample(f, 0.0, 1.0, double(j)), f[j]);
    EXPECT_EQ(catmull_rom_sample(f, 0.0, 1.0, -1e-9), f.front());
    EXPECT_EQ(catmull_rom_sample(f, 0.0, 1.0, std::numeric_limits<double>::infinity()), f.back());
    EXPECT_TRUE(std::isnan(catmull_rom_sample(f, 0.0, 1.0, std::numeric_limits<double>::quiet_NaN())));
}

// Samples continued by an end's rule: cos 2 pi x (even about both walls of
// [0, 1]) and its derivative (odd) mirrored, sin 2 pi x on the open periodic
// grid repeated, continue the functions; the differences stay fourth order
// at the end nodes.
TEST(SampleEnds, MirroredAndPeriodicContinueTheFunction) {
    const std::size_t n = 41;
    const double h = 1.0 / 40, w = 2.0 * std::numbers::pi;
    std::vector<double> c(n), d(n), p(n);
    for (std::size_t i = 0; i < n; ++i) {
        c[i] = std::cos(w * h * i), d[i] = -w * std::sin(w * h * i), p[i] = std::sin(w * i / double(n));
    }
    const SampleEnds even{SampleEnd::Mirror, false}, odd{SampleEnd::Mirror, true}, periodic{SampleEnd::Periodic};
    for (double x : {-0.13, -0.01, 1.004, 1.2, -2.37, 5.55}) {  // Catmull-Rom, third order at h = 1/40
        EXPECT_NEAR(catmull_rom_sample(c, 0.0, h, even, x), std::cos(w * x), 2e-4) << x;
        EXPECT_NEAR(catmull_rom_sample(d, 0.0, h, odd, x), -w * std::sin(w * x), 2e-3) << x;
        EXPECT_NEAR(catmull_rom_sample(p, 0.0, 1.0 / n, periodic, x), std::sin(w * x), 2e-4) << x;
    }
    const auto d1 = fd_first_derivative(c, h, even), q1 = fd_first_derivative(p, 1.0 / n, periodic);
    for (std::size_t i : {0u, 1u, 39u, 40u}) {  // w^5 h^4 / 30: 1.2e-4 at h = 1/41
        EXPECT_NEAR(d1[i], d[i], 2e-4) << i;
        EXPECT_NEAR(q1[i], w * std::cos(w * i / double(n)), 2e-4) << i;
    }
}

// A reflecting wall keeps a's slope s: a quadratic continues as itself for a
// grid length (exact end slopes; Catmull-Rom reproduces it), then as its
// value there; e^x, a' given, as a(x_w + y) - 2 s y and a' as
// 2 s - a'(x_w + y); a never below zero. "zero" ends keep the end samples.
TEST(SampleEnds, ReflectingWallsKeepTheSlope) {
    const std::size_t n = 21;
    const double h = 0.05;
    std::vector<double> q(n), e(n), line(n);
    const auto quad = [](double x) { return 3.0 + 0.3 * x - 0.8 * x * x; };
    for (std::size_t i = 0; i < n; ++i) q[i] = quad(h * i), e[i] = std::exp(h * i), line[i] = 0.05 + h * i;
    const CoefficientEnds cq = coefficient_ends(BoundaryTag::Reflect, q, h);
    const CoefficientEnds ce = coefficient_ends(BoundaryTag::Reflect, e, h, e);
    const auto dq1 = fd_first_derivative(q, h, cq.a);
    for (double x : {-0.3, -0.02, 1.07, 1.95, -2.37, 5.55}) {  // rounding / h
        EXPECT_NEAR(catmull_rom_sample(q, 0.0, h, cq.a, x), quad(std::clamp(x, -1.0, 2.0)), 1e-12) << x;
        EXPECT_NEAR(catmull_rom_sample(dq1, 0.0, h, cq.a_prime, x), 0.3 - 1.6 * std::clamp(x, -1.0, 2.0), 1e-10);
    }
    for (double y : {0.013, 0.37}) {  // Catmull-Rom, third order at h = 0.05
        EXPECT_NEAR(catmull_rom_sample(e, 0.0, h, ce.a, 1.0 + y), std::exp(1.0 - y) + 2.0 * std::exp(1.0) * y, 5e-5);
        EXPECT_NEAR(catmull_rom_sample(e, 0.0, h, ce.a_prime, -y), 2.0 - std::exp(y), 5e-4) << y;
    }
    EXPECT_EQ(catmull_rom_sample(line, 0.0, h, coefficient_ends(BoundaryTag::Reflect, line, h).a, -0.3), 0.0);
    EXPECT_EQ(catmull_rom_sample(e, 0.0, h, coefficient_ends(BoundaryTag::Zero, e, h).a, -0.3), 1.0);
}

class FdDerivatives : public ::testing::TestWithParam<std::size_t> {};
TEST_P(FdDerivatives, FourthOrderInsideSecondOrderAtTheEnds) {
    const std::size_t n = GetParam();
    const double h = 0.1, x0 = 0.3;
    auto P = [](double x) { return 2 * x * x * x - x * x + 0.5 * x - 3; };
    auto dP = [](double x) { return 6 * x * x - 2 * x + 0.5; };
    std::vector<double> f(n), sq(n);
    for (std::size_t i = 0; i < n; ++i) f[i] = P(x0 + h * i), sq[i] = std::pow(x0 + h * i, 2);
    const auto d1 = fd_first_derivative(f, h), d2 = fd_second_derivative(f, h);
    const auto s1 = fd_first_derivative(sq, h), s2 = fd_second_derivative(sq, h);
    ASSERT_EQ(d1.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
        // Quadratics are exact everywhere, the end formulas included: rounding / h^2.
        EXPECT_NEAR(s1[i], 2.0 * (x0 + h * i), 1e-12) << i;
        EXPECT_NEAR(s2[i], 2.0, 1e-10) << i;
        if (i < 2 || i + 2 >= n) continue;
        EXPECT_NEAR(d1[i], dP(x0 + h * i), 1e-11) << i;  // cubics exact inside
        EXPECT_NEAR(d2[i], 12 * (x0 + h * i) - 2, 1e-9) << i;
    }
    // The second-order formulas near the ends are visibly off for a cubic.
    EXPECT_GT(std::abs(d1[0] - dP(x0)), 1e-3);
    EXPECT_GT(std::abs(d1[1] - dP(x0 + h)), 1e-3);
}
INSTANTIATE_TEST_SUITE_P(Lengths, FdDerivatives, ::testing::Values(5, 6, 12));

TEST(FdDerivativesSmall, ThreeSamplesEmptyAndTooFew) {
    const std::vector<double> f = {1.0, 4.0, 9.0};  // (x+1)^2 at x = 0, 1, 2
    EXPECT_EQ(fd_second_derivative(f, 1.0), (std::vector<double>{2.0, 2.0, 2.0}));
    EXPECT_EQ(fd_first_derivative(f, 1.0), (std::vector<double>{2.0, 4.0, 6.0}));
    EXPECT_TRUE(fd_first_derivative(std::vector<double>{}, 1.0).empty());
    // One or two samples are outside the contract: the caller must refuse them.
    EXPECT_THROW((void)fd_first_derivative(std::vector<double>{1.0, 2.0}, 1.0), InternalFault);
    EXPECT_THROW((void)fd_second_derivative(std::vector<double>{1.0}, 1.0), InternalFault);
}

}  // namespace
}  // namespace quorvane
