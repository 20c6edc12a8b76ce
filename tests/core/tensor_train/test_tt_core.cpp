// Rounding of tensor trains: what it keeps, what it drops, and its bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <tuple>
#include <vector>

#include "core/tensor_train/tt_core.hpp"
#include "tests/core/tensor_train/tt_dense.hpp"

namespace quorvane {
namespace {

TtCore random_core(std::size_t rl, std::size_t n, std::size_t rr, std::mt19937& gen) {
    std::normal_distribution<double> nd;
    TtCore c{std::vector<double>(rl * n * rr), rl, n, rr};
    for (double& v : c.data) v = nd(gen);
    return c;
}

// A train of rank 2 written with bonds of rank 6: every bond repeats the
// left core's two columns three times and carries a third of the right
// core's two rows three times. Rounding recovers rank 2 without changing
// the tensor.
TEST(TtRound, RedundantRanksAreDroppedAndTheTensorKept) {
    std::mt19937 gen(7);
    const std::vector<std::size_t> n{5, 4, 6, 3};
    std::vector<TtCore> cores;
    for (std::size_t j = 0; j < n.size(); ++j) {
        const TtCore c = random_core(j == 0 ? 1 : 2, n[j], j + 1 == n.size() ? 1 : 2, gen);
        const std::size_t rl = c.r_left == 1 ? 1 : 6, rr = c.r_right == 1 ? 1 : 6;
        TtCore padded{std::vector<double>(rl * n[j] * rr), rl, n[j], rr};
        for (std::size_t a = 0; a < rl; ++a)
            for (std::size_t i = 0; i < n[j]; ++i)
                for (std::size_t b = 0; b < rr; ++b)
                    padded.data[(a * n[j] + i) * rr + b] = c.at(a % 2, i, b % 2) / (rl == 6 ? 3.0 : 1.0);
        cores.push_back(padded);
    }
    const std::vector<double> before = full_tensor(cores);
    // The Gram matrix squares the singular values, so directions below
    // ~1e-8 of the largest are rounding noise: eps sits above that.
    ASSERT_TRUE(TtState::round(cores, 1e-6).has_value());
    EXPECT_LT(max_abs_diff(full_tensor(cores), before), 1e-12);
    for (std::size_t j = 0; j + 1 < cores.size(); ++j) EXPECT_EQ(cores[j].r_right, 2u) << j;
    // Left cores have orthonormal columns.
    for (std::size_t j = 0; j + 1 < cores.size(); ++j) {
        const TtCore& c = cores[j];
        for (std::size_t p = 0; p < c.r_right; ++p)
            for (std::size_t q = 0; q < c.r_right; ++q) {
                double g = 0.0;
                for (std::size_t k = 0; k < c.r_left * c.n; ++k) g += c.data[k * c.r_right + p] * c.data[k * c.r_right + q];
                EXPECT_NEAR(g, p == q ? 1.0 : 0.0, 1e-10);
            }
    }
}

// The rank never exceeds the row count of the left unfolding, even at eps 0
// where rounding noise has positive norm.
TEST(TtRound, RankIsCappedByTheRowCount) {
    std::mt19937 gen(3);
    std::vector<TtCore> cores{random_core(1, 2, 7, gen), random_core(7, 3, 5, gen), random_core(5, 2, 1, gen)};
    const std::vector<double> before = full_tensor(cores);
    ASSERT_TRUE(TtState::round(cores, 0.0).has_value());
    EXPECT_EQ(cores[0].r_right, 2u);  // 7 columns, 2 rows
    EXPECT_EQ(cores[1].r_right, 5u);  // 2*3 rows, 5 columns
    EXPECT_LT(max_abs_diff(full_tensor(cores), before), 1e-12);
}

// sigma = (4, 2, 1) with eps 0.5: the threshold is 2 and 2 is not above it.
TEST(TtRound, ThresholdIsStrict) {
    TtCore left{{4.0, 0.0, 0.0, 0.0, 2.0, 0.0, 0.0, 0.0, 1.0}, 1, 3, 3};
    TtCore right{{1.0, 1.0, 1.0}, 3, 1, 1};
    std::vector<TtCore> cores{left, right};
    ASSERT_TRUE(TtState::round(cores, 0.5).has_value());
    EXPECT_EQ(cores[0].r_right, 1u);
    EXPECT_EQ(full_tensor(cores), (std::vector<double>{4.0, 0.0, 0.0}));
}

TEST(TtRound, RankOneCoresAreNormalisedAndAZeroCoreZeroesTheRight) {
    std::vector<TtCore> cores{{{3.0, 4.0}, 1, 2, 1}, {{1.0, 2.0}, 1, 2, 1}};
    ASSERT_TRUE(TtState::round(cores, 0.0).has_value());
    EXPECT_NEAR(cores[0].data[0], 0.6, 1e-15);
    EXPECT_NEAR(cores[0].data[1], 0.8, 1e-15);
    EXPECT_NEAR(cores[1].data[1], 10.0, 1e-14);
    std::vector<TtCore> zero{{{0.0, 0.0}, 1, 2, 1}, {{1.0, 2.0}, 1, 2, 1}};
    ASSERT_TRUE(TtState::round(zero, 0.0).has_value());
    EXPECT_EQ(zero[1].data, (std::vector<double>{0.0, 0.0}));
}

// A NaN in a middle core would give sigma = sqrt(max(NaN, 0)) = 0 and zero
// every core to its right: the pass refuses it instead.
TEST(TtRound, ANonFiniteValueIsRefusedNotZeroed) {
    for (double bad : {std::nan(""), HUGE_VAL}) {
        std::vector<TtCore> cores{{{1.0, 2.0}, 1, 2, 1}, {{3.0, bad}, 1, 2, 1}, {{1.0, 1.0}, 1, 2, 1}};
        const Status st = TtState::round(cores, 0.0);
        ASSERT_FALSE(st);
        EXPECT_TRUE(is_tt_non_finite(st.error()));
    }
}

// Two orthogonal columns of equal norm near 2^-300: the Gram matrix is
// diagonal with equal entries and its tolerance 1e-30 trace^2 underflows to
// 0, where an unscaled sweep would rotate the zero pivot (0/0). Scaled, the
// bond is exact at any magnitude.
TEST(TtRound, CoresFarFromUnitSizeKeepTheTensor) {
    for (int e : {-300, 300}) {
        const double s = std::ldexp(1.0, e);
        std::vector<TtCore> cores{{{s, 0.0, 0.0, s}, 1, 2, 2}, {{1.0, 2.0, 3.0, 4.0}, 2, 2, 1}};
        const std::vector<double> before = full_tensor(cores);
        ASSERT_TRUE(TtState::round(cores, 0.0).has_value());
        EXPECT_EQ(cores[0].r_right, 2u);
        const std::vector<double> after = full_tensor(cores);
        for (std::size_t k = 0; k < before.size(); ++k) EXPECT_DOUBLE_EQ(after[k] / s, before[k] / s) << e << " " << k;
    }
}

// Cores of 2^-1000 and 2^600 next to unit ones: the pushed factors multiply
// to 2^-2000 or 2^1200 part-way although the train stays in range. The pass
// carries the powers of two, so it leaves the unit train's left cores and
// its last core times the total scale, bit for bit.
TEST(TtRound, PartialProductsBeyondTheDoubleRangeAreCarried) {
    std::mt19937 gen(4);
    const std::vector<TtCore> unit{random_core(1, 3, 2, gen), random_core(2, 4, 3, gen), random_core(3, 2, 1, gen)};
    std::vector<TtCore> rounded = unit;
    ASSERT_TRUE(TtState::round(rounded, 1e-12).has_value());
    for (const std::vector<int>& e : {std::vector{-1000, -1000, 1000}, std::vector{600, 600, -700}}) {
        std::vector<TtCore> cores = unit;
        for (std::size_t j = 0; j < 3; ++j)
            for (double& x : cores[j].data) x = std::ldexp(x, e[j]);
        ASSERT_TRUE(TtState::round(cores, 1e-12).has_value());
        for (std::size_t j = 0; j < 3; ++j) {
            ASSERT_EQ(cores[j].data.size(), rounded[j].data.size());
            const int total = j == 2 ? e[0] + e[1] + e[2] : 0;
            for (std::size_t k = 0; k < cores[j].data.size(); ++k)
                EXPECT_EQ(cores[j].data[k], std::ldexp(rounded[j].data[k], total)) << e[0] << " " << j << " " << k;
        }
    }
}

// Powers of two are exact: a rank-2 train and functionals scaled by 2^+-600
// and 2^+-1000 (partial products of 2^1600 and 2^-1000 unscaled) give the
// unit inner product times the total scale, bit for bit, or refuse a total
// beyond the double range.
TEST(TtInner, ScalesBeyondTheDoubleRangeGiveTheUnitValueTimesTheScale) {
    std::mt19937 gen(9);
    TtState unit{{random_core(1, 3, 2, gen), random_core(2, 4, 2, gen), random_core(2, 2, 1, gen)}};
    std::vector<std::vector<double>> f{{1.0, -2.0, 0.5}, {0.25, 1.0, 3.0, -1.0}, {2.0, 1.0}};
    const double base = *unit.inner_separable(f);
    for (const auto& [cores, funcs, total] : {std::tuple{std::vector{600, 1000, -1000}, std::vector{600, -1000, 0}, 200},
                                              std::tuple{std::vector{-1000, -600, 1000}, std::vector{0, -1000, 1000}, -600},
                                              std::tuple{std::vector{1000, 0, 0}, std::vector{0, 100, 0}, 1100}}) {
        TtState s = unit;
        std::vector<std::vector<double>> g = f;
        for (std::size_t j = 0; j < 3; ++j) {
            for (double& x : s.cores[j].data) x = std::ldexp(x, cores[j]);
            for (double& x : g[j]) x = std::ldexp(x, funcs[j]);
        }
        const Expected<double> got = s.inner_separable(g);
        if (total > 1000) {
            ASSERT_FALSE(got);
            EXPECT_STREQ(got.error().text(), kTtInnerOverflow);
        } else {
            ASSERT_TRUE(got);
            EXPECT_EQ(*got, std::ldexp(base, total)) << total;
        }
    }
}

}  // namespace
}  // namespace quorvane
