// Reverse sweep of 1-D heat: the gradient against central differences of
// J, the assembled transpose against the step, the region paths.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "core/sensitivity/reverse_sweep.hpp"

namespace quorvane {
namespace {

std::vector<double> bump_at(std::size_t n, double c) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double x = static_cast<double>(i) / static_cast<double>(n - 1);
        v[i] = std::exp(-200.0 * (x - c) * (x - c));
    }
    return v;
}

Expected<ReverseResult> run(double theta, std::uint64_t steps, const std::vector<double>& u0,
                            const std::vector<double>& target, double tau) {
    const ReverseSweepConfig cfg = *reverse_heat1d_setup(theta, 0.0, 1.0, u0.size(), steps);
    const std::vector<double> th{theta};
    return reverse_sweep(cfg, steps, GridFn<double>{cfg.kernel.grid, u0}, target, th, tau);
}

class ReverseGradient : public ::testing::TestWithParam<std::tuple<double, std::uint64_t>> {};

// With reflecting ends the step is not symmetric; a bump at the end is where
// carrying the cotangent by F instead of F^T is off by 10-20%. Central
// differences with h = 1e-5 theta agree to 1e-9..2e-8 relative (the cubic
// interpolant's second derivative jumps where a read point crosses a node).
TEST_P(ReverseGradient, MatchesCentralDifferences) {
    const auto [centre, steps] = GetParam();
    const std::size_t n = 41;
    const double theta = 0.7, tau = 0.04 / static_cast<double>(steps), h = 1e-5 * theta;
    const std::vector<double> u0 = bump_at(n, centre), target(n, 0.1);
    const ReverseResult r = *run(theta, steps, u0, target, tau);
    const double fd = (run(theta + h, steps, u0, target, tau)->j - run(theta - h, steps, u0, target, tau)->j) / (2.0 * h);
    EXPECT_NEAR(r.gradient[0], fd, 5e-8 * std::fabs(fd)) << (r.gradient[0] - fd) / fd;
}

INSTANTIATE_TEST_SUITE_P(Reverse, ReverseGradient,
                         ::testing::Combine(::testing::Values(0.0, 0.05, 0.5), ::testing::Values<std::uint64_t>(1, 10, 17)));

// <M v, w> = <v, M^T w>, M v being the step itself, also with a band as wide
// as the grid.
TEST(Reverse, TransposeIsTheStepsAdjoint) {
    for (double tau : {1e-4, 0.5}) {
        const ReverseSweepConfig cfg = *reverse_heat1d_setup(0.7, 0.0, 1.0, 41, 1);
        const StepTranspose t = *StepTranspose::assemble(cfg.kernel, tau);
        const std::vector<double> v = bump_at(41, 0.1), w = bump_at(41, 0.8);
        const std::vector<double> mv = *diffusion_step_serial<double>(cfg.kernel, v, tau);
        std::vector<double> mtw(41);
        t.apply(w, mtw);
        double a = 0.0, b = 0.0;
        for (std::size_t i = 0; i < 41; ++i) a += mv[i] * w[i], b += v[i] * mtw[i];
        EXPECT_NEAR(a, b, 1e-14) << "band " << t.band();
    }
}

TEST(Reverse, RegionsAndEdgeCases) {
    const RegionMap m = *RegionMap::contiguous(10, 3);
    EXPECT_EQ(m.region_of, (std::vector<std::uint64_t>{0, 0, 0, 1, 1, 1, 2, 2, 2, 2}));
    for (std::uint64_t k : {0u, 11u})
        EXPECT_EQ(RegionMap::contiguous(10, k).error(),
                  CoreError::unsupported_operation("RegionMap::contiguous: k must be 1..=n_grid"));

    const std::size_t n = 24;
    const std::vector<double> u0 = bump_at(n, 0.0), target(n, 0.2);
    ReverseSweepConfig cfg = *reverse_heat1d_setup(0.7, 0.0, 1.0, n, 9);
    const GridFn<double> u{cfg.kernel.grid, u0};
    const std::vector<double> two{0.7, 0.7};
    EXPECT_EQ(reverse_sweep(cfg, 9, u, target, two, 0.004).error().variant(), CoreError::Variant::UnsupportedOperation);

    // Zero steps: J = |u0 - target|^2, no gradient.
    const ReverseResult zero = *reverse_sweep(cfg, 0, u, target, std::vector<double>{0.7}, 0.004);
    double j = 0.0;
    for (std::size_t i = 0; i < n; ++i) j += (u0[i] - target[i]) * (u0[i] - target[i]);
    EXPECT_EQ(zero.j, j);
    EXPECT_EQ(zero.gradient, std::vector<double>{0.0});

    // Equal theta in three regions: the region tangents add up to the one
    // region's, and both carry the cotangent by the same transpose.
    const ReverseResult one = *reverse_sweep(cfg, 9, u, target, std::vector<double>{0.7}, 0.004);
    cfg.region_map = *RegionMap::contiguous(n, 3);
    const ReverseResult three = *reverse_sweep(cfg, 9, u, target, std::vector<double>{0.7, 0.7, 0.7}, 0.004);
    EXPECT_EQ(three.j, one.j);
    EXPECT_NEAR(three.gradient[0] + three.gradient[1] + three.gradient[2], one.gradient[0],
                1e-13 * std::fabs(one.gradient[0]));
    EXPECT_GT(std::fabs(three.gradient[0]), 10.0 * std::fabs(three.gradient[2]));  // the bump sits in region 0
}

}  // namespace
}  // namespace quorvane
