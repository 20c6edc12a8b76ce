// Coefficient sources, Catmull-Rom sampling of coefficient arrays and the
// derivative samples of coefficient arrays.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#include "core/coeff.hpp"
#include "core/error.hpp"

namespace quorvane {
namespace {

TEST(CoeffSource, ConstantHasVanishingDerivativesWithoutCalls) {
    const CoeffSource c = CoeffSource::constant(2.0);
    EXPECT_EQ(c.eval_a(123.0), 2.0);
    EXPECT_EQ(c.eval_a_prime(123.0), 0.0);
    EXPECT_EQ(c.eval_a_double_prime(-5.0), 0.0);
    std::atomic<int> calls{0};
    const CoeffSource s = CoeffSource::shared(make_coeff([&](double x) { ++calls; return x; }),
                                              make_coeff([&](double) { ++calls; return 1.0; }),
                                              make_coeff([&](double) { ++calls; return 0.0; }));
    EXPECT_EQ(s.eval_a(0.5), 0.5);
    EXPECT_EQ(s.eval_a_prime(0.5), 1.0);
    EXPECT_EQ(calls.load(), 2);
    const CoeffSource p = CoeffSource::plain(coeff_half, coeff_one, coeff_zero);
    EXPECT_EQ(p.eval_a(9.0), 0.5);
    EXPECT_EQ(p.eval_a_prime(9.0), 1.0);
}

TEST(CoeffSource, CloneSharesClosuresAndDropRestores) {
    SharedCoeff a = constant_coeff(3.0);
    const CoeffSource s = CoeffSource::shared(a, a, a);
    EXPECT_EQ(a.use_count(), 4);
    {
        const CoeffSource copy = s;
        EXPECT_EQ(a.use_count(), 7);
        EXPECT_EQ(copy.eval_a(0.0), 3.0);
    }
    EXPECT_EQ(a.use_count(), 4);
}

TEST(SampledCoeff, ZeroOneAndManySamples) {
    EXPECT_EQ((*sampled_coeff(std::vector<double>{}, 0.0, 1.0))(3.0), 0.0);
    EXPECT_EQ((*sampled_coeff(std::vector<double>{4.5}, 0.0, 1.0))(-3.0), 4.5);
    const SharedCoeff f = sampled_coeff(std::vector<double>{1.0, 2.0, 4.0, 8.0}, 1.0, 0.5);
    EXPECT_EQ((*f)(1.5), 2.0);
    EXPECT_EQ((*f)(100.0), 8.0);
}

// f at nodes x0 + j h of a quadratic-free cubic, to see the ghost ends.
const std::vector<double> kF = {0.5, -1.0, 2.0, 3.5, 1.25, -0.75};
constexpr double kX0 = -0.3, kH = 0.4;

TEST(CatmullRom, ExactAtNodesAndAtTheRightEnd) {
    for (std::size_t j = 0; j < kF.size(); ++j) {
        EXPECT_EQ(catmull_rom_sample(kF, kX0, kH, kX0 + kH * static_cast<double>(j)), kF[j]) << j;
    }
    EXPECT_EQ(catmull_rom_sample(kF, kX0, kH, kX0 + (kF.size() - 1) * kH), kF.back());
}

TEST(CatmullRom, ClampsOutsideAndPropagatesNaN) {
    EXPECT_EQ(catmull_rom_sample(kF, kX0, kH, kX0 - 1e-9), kF.front());
    EXPECT_EQ(catmull_rom_sample(kF, kX0, kH, -1e300), kF.front());
    EXPECT_EQ(catmull_rom_sample(kF, kX0, kH, 1e300), kF.back());
    EXPECT_EQ(catmull_rom_sample(kF, kX0, kH, std::numeric_limits<double>::infinity()), kF.back());
    EXPECT_TRUE(std::isnan(catmull_rom_sample(kF, kX0, kH, std::numeric_limits<double>::quiet_NaN())));
}

TEST(CatmullRom, ReproducesStraightLinesIncludingEndCells) {
    // The ghost values 2 p1 - p2 continue a line, so lines are exact in every
    // cell; a quadratic is exact only in interior cells (central slopes).
    std::vector<double> line(7), quad(7);
    for (int j = 0; j < 7; ++j) {
        line[j] = 2.0 - 0.5 * j;
        quad[j] = 0.25 * j * j - j + 1.0;
    }
    for (double s : {0.1, 0.5, 1.3, 3.7, 5.2, 5.95}) {
        EXPECT_NEAR(catmull_rom_sample(line, 0.0, 1.0, s), 2.0 - 0.5 * s, 1e-14) << s;
        if (s > 1.0 && s < 5.0) {
            EXPECT_NEAR(catmull_rom_sample(quad, 0.0, 1.0, s), 0.25 * s * s - s + 1.0, 1e-14) << s;
        }
    }
    EXPECT_GT(std::abs(catmull_rom_sample(quad, 0.0, 1.0, 0.5) - (0.25 * 0.25 - 0.5 + 1.0)), 1e-3);
}

TEST(CatmullRom, MidpointWeightsMinusOneNineNineMinusOneOverSixteen) {
    // At t = 1/2 the Catmull-Rom segment is (-p0 + 9 p1 + 9 p2 - p3) / 16.
    const double want = (-kF[1] + 9 * kF[2] + 9 * kF[3] - kF[4]) / 16.0;
    EXPECT_NEAR(catmull_rom_sample(kF, kX0, kH, kX0 + 2.5 * kH), want, 1e-15);
}

class FdDerivatives : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FdDerivatives, SecondDerivativeOfSquareIsTwoEverywhere) {
    const std::size_t n = GetParam();
    const double h = 0.125, x0 = -0.75;
    std::vector<double> f(n);
    for (std::size_t i = 0; i < n; ++i) f[i] = std::pow(x0 + h * i, 2);
    const auto d2 = fd_second_derivative(f, h);
    ASSERT_EQ(d2.size(), n);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(d2[i], 2.0, 1e-12) << i;  // rounding / h^2
    const auto d1 = fd_first_derivative(f, h);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(d1[i], 2.0 * (x0 + h * i), 1e-13) << i;
}

TEST_P(FdDerivatives, FirstDerivativeOfCubicExactInTheInterior) {
    const std::size_t n = GetParam();
    const double h = 0.1, x0 = 0.3;
    auto P = [](double x) { return 2 * x * x * x - x * x + 0.5 * x - 3; };
    auto dP = [](double x) { return 6 * x * x - 2 * x + 0.5; };
    std::vector<double> f(n);
    for (std::size_t i = 0; i < n; ++i) f[i] = P(x0 + h * i);
    const auto d1 = fd_first_derivative(f, h);
    for (std::size_t i = 2; i + 2 < n; ++i) EXPECT_NEAR(d1[i], dP(x0 + h * i), 1e-11) << i;
    // The second-order formulas near the ends are visibly off for a cubic.
    EXPECT_GT(std::abs(d1[0] - dP(x0)), 1e-3);
    EXPECT_GT(std::abs(d1[1] - dP(x0 + h)), 1e-3);
    // Fourth-order second derivative: exact for the cubic in the interior too.
    const auto d2 = fd_second_derivative(f, h);
    for (std::size_t i = 2; i + 2 < n; ++i) EXPECT_NEAR(d2[i], 12 * (x0 + h * i) - 2, 1e-9) << i;
}

INSTANTIATE_TEST_SUITE_P(Lengths, FdDerivatives, ::testing::Values(5, 6, 12));

TEST(FdDerivativesSmall, ThreeSamplesAndEmpty) {
    const std::vector<double> f = {1.0, 4.0, 9.0};  // (x+1)^2 at x = 0, 1, 2
    EXPECT_EQ(fd_second_derivative(f, 1.0), (std::vector<double>{2.0, 2.0, 2.0}));
    // Node 1 is central, node 2 the one-sided end formula.
    EXPECT_EQ(fd_first_derivative(f, 1.0), (std::vector<double>{2.0, 4.0, 6.0}));
    EXPECT_TRUE(fd_first_derivative(std::vector<double>{}, 1.0).empty());
    EXPECT_TRUE(fd_second_derivative(std::vector<double>{}, 1.0).empty());
    // One or two samples are outside the contract: the caller must refuse them.
    EXPECT_THROW((void)fd_first_derivative(std::vector<double>{1.0, 2.0}, 1.0), InternalFault);
    EXPECT_THROW((void)fd_second_derivative(std::vector<double>{1.0}, 1.0), InternalFault);
}

}  // namespace
}  // namespace quorvane
