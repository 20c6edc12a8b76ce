// Shift-kernel adjoint: the assembled transpose against the forward step,
// and the checks that come before the sweep.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "core/sensitivity/shift1d_vjp.hpp"

namespace quorvane {
namespace {

std::vector<double> wave(std::size_t n, double f, double off) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = off + std::sin(f * static_cast<double>(i) + 0.3);
    return v;
}

class ShiftTranspose : public ::testing::TestWithParam<std::tuple<BoundaryTag, InterpTag, std::size_t>> {};

// <S v, w> = <v, S^T w> with S v from the interpolant directly; c takes
// both signs, b varies.
TEST_P(ShiftTranspose, AdjointIdentity) {
    const auto [tag, kind, n] = GetParam();
    const auto g = *Grid1D<double>::make(BoundaryPolicy<double>::of(tag), InterpKind::of(kind), -1.0, 2.0, n);
    const auto a = wave(n, 0.7, 1.2), b = wave(n, 1.3, 0.1), c = wave(n, 0.4, -0.5);
    const double tau = 0.02;
    const auto v = wave(n, 2.1, 0.0), w = wave(n, 0.9, 0.4);
    std::vector<double> stw(n), scratch(n, 0.0);
    ASSERT_TRUE(shift1d_step_vjp(tau, g, a, b, c, w, stw, scratch));
    for (double s : scratch) ASSERT_EQ(s, 0.0);
    // Forward step by hand from the interpolant (the drift sample is a
    // transport read).
    double lhs = 0.0, rhs = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = g.node(i), h = 2.0 * std::sqrt(tau * a[i]);
        const double mean = 0.25 * *g.interp(v, x + h) + 0.25 * *g.interp(v, x - h) +
                            0.5 * *g.interp_foot(v, x + 2.0 * tau * b[i]);
        // A decay rate scales the mean; a growth rate adds tau c v_i.
        const double si = c[i] < 0.0 ? (1.0 + tau * c[i]) * mean : mean + tau * c[i] * v[i];
        lhs += si * w[i];
        rhs += v[i] * stw[i];
    }
    EXPECT_NEAR(lhs, rhs, 1e-13 * (std::abs(lhs) + 1.0));
}

INSTANTIATE_TEST_SUITE_P(
    Policies, ShiftTranspose,
    ::testing::Combine(::testing::Values(BoundaryTag::Reflect, BoundaryTag::Zero, BoundaryTag::Periodic,
                                         BoundaryTag::Linear, BoundaryTag::Clamp),
                       ::testing::Values(InterpTag::SepticHermite, InterpTag::CubicHermite),
                       ::testing::Values(std::size_t{4}, std::size_t{17})));

TEST(ShiftCoeffGradient, ChecksBeforeTheSweep) {
    const auto g = *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0.0, 1.0, 6);
    std::vector<double> a(6, 0.1), b(6, 0.0), c(6, 0.0), u(6, 1.0), dj(6, 1.0), out(6, 7.0);
    a[2] = -0.5;
    for (CoeffWrt wrt : {CoeffWrt::B, CoeffWrt::C})
        EXPECT_EQ(shift1d_coeff_gradient({g, a, b, c, 0.01, 3}, wrt, u, dj, out).error(),
                  CoreError::domain("shift1d_coeff_gradient: a_i must be >= 0", -0.5));
    EXPECT_EQ(shift1d_coeff_gradient({g, a, b, c, 0.01, 3}, CoeffWrt::A, u, dj, out).error(),
              CoreError::domain("shift1d_coeff_gradient: d/da undefined at a_i <= 0", -0.5));
    a[2] = 0.0;  // allowed for b and c: the two diffusion samples meet at the node
    EXPECT_TRUE(shift1d_coeff_gradient({g, a, b, c, 0.01, 3}, CoeffWrt::B, u, dj, out));
    EXPECT_EQ(shift1d_coeff_gradient({g, a, b, c, 0.01, 3}, CoeffWrt::A, u, dj, out).error(),
              CoreError::domain("shift1d_coeff_gradient: d/da undefined at a_i <= 0", 0.0));
    EXPECT_EQ(shift1d_coeff_gradient({g, a, b, c, 0.0, 3}, CoeffWrt::C, u, dj, out).error(),
              CoreError::domain("shift1d_coeff_gradient: tau must be finite and > 0", 0.0));
    std::vector<double> short_c(5, 0.0);
    EXPECT_EQ(shift1d_coeff_gradient({g, a, b, short_c, 0.01, 3}, CoeffWrt::C, u, dj, out).error(),
              CoreError::domain("shift1d_coeff_gradient: array length != grid.n", 5.0));
}

}  // namespace
}  // namespace quorvane
