// Overflow-safe complex division, band sizes, the time range and the
// ghost-row solve.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#include "core/bounded/resolvent_jump.hpp"
#include "core/bounded/resolvent_jump_nd_banded.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {
namespace {

TEST(ResolventJump, DivisionSurvivesMagnitudesWhoseSquareOverflowsOrUnderflows) {
    for (double big : {1e200, 1e-200, 1e300, 1e-300}) {
        const Complex q = cdiv(Complex{3.0 * big, 4.0 * big}, Complex{big, 2.0 * big});
        EXPECT_NEAR(q.real(), 2.2, 1e-15);  // (3 + 4i)/(1 + 2i) = 2.2 - 0.4i
        EXPECT_NEAR(q.imag(), -0.4, 1e-15);
    }
}

TEST(ResolventJump, BandCountsOverflowToNothing) {
    EXPECT_EQ(band_value_count(4, 5, 0), std::optional<std::uint64_t>{20u * 9u});
    EXPECT_EQ(band_value_count(64, 64, 64), std::optional<std::uint64_t>{262144ull * 8193ull});
    EXPECT_EQ(band_value_count(1ull << 22, 1ull << 22, 0), std::nullopt);
    EXPECT_EQ(band_value_count(1ull << 22, 1ull << 22, 1ull << 22), std::nullopt);
}

TEST(ResolventJump, TimeRangeNarrowsAsTheContourGrowsAndNeverEmpties) {
    // The rounding grows with M at every t, so a larger contour never admits
    // a longer time; every admitted M keeps a range; up to M = 32 the range
    // ends at t s = 1e9 as it always did.
    const double s = 1e4;
    double previous = std::numeric_limits<double>::infinity();
    for (std::uint64_t m = 6; m <= kMaxJumpNodes; ++m) {
        const JumpTimeRange r = jump_time_range(m, s);
        EXPECT_LT(r.t_min, r.t_max) << m;
        EXPECT_LE(r.t_max, previous) << m;
        if (m <= 32) {
            EXPECT_EQ(r.t_max, 1e9 / s) << m;
        }
        previous = r.t_max;
    }
    EXPECT_LT(jump_time_range(kMaxJumpNodes, s).t_max * s, 1e5);
}

TEST(ResolventJump, GhostRowSolveKeepsConstantsAndMatchesTheBandedSolve) {
    // (z - L) 1 = z 1 for the ghost-row Laplacian: constants are in its kernel.
    const Complex z{0.3, -2.0};
    const std::vector<double> ones(7, 1.0);
    const auto u = resolve_lhp(z, 100.0, ones);
    ASSERT_TRUE(u);
    const Complex inv = cdiv(Complex{1.0, 0.0}, z);
    for (const Complex& v : *u) {
        EXPECT_NEAR(v.real(), inv.real(), 1e-14);
        EXPECT_NEAR(v.imag(), inv.imag(), 1e-14);
    }
    // Data constant along y: the 7 x 4 band solve is the 1-D solve along x
    // on every line (h = 0.1: s = 100; the y rows annihilate constants).
    const std::vector<double> g{1.0, -2.0, 0.5, 3.0, 0.0, 1.0, 2.0};
    std::vector<Complex> rhs;
    for (int j = 0; j < 4; ++j) rhs.insert(rhs.end(), g.begin(), g.end());
    const auto one_d = resolve_lhp(z, 100.0, g);
    const auto banded = banded_lu_solve(banded_shifted_laplacian_2d(7, 4, 0.1, 0.5, z), 7, 28, rhs);
    ASSERT_TRUE(one_d && banded);
    for (std::size_t r = 0; r < 28; ++r) EXPECT_NEAR(std::abs((*one_d)[r % 7] - (*banded)[r]), 0.0, 1e-13);
    // One solve of a 24^3 box takes seconds: a pending stop request ends it.
    std::atomic<bool> stop{true};
    const ScopedStopFlag flag(stop);
    const auto stopped = banded_lu_solve(banded_shifted_laplacian_2d(7, 4, 0.1, 0.5, z), 7, 28, rhs);
    EXPECT_EQ(stopped.error().variant(), CoreError::Variant::CallbackFailed);
}

}  // namespace
}  // namespace quorvane
