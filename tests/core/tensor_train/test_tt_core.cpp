// Rounding of tensor trains: what it keeps, what it drops, and its bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
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

// A train of rank 2 written with bonds of rank 6: bond j carries P (2 x 6)
// on its left core and Q = P^T (P P^T)^-1 on its right core, so P Q = I and
// the tensor is unchanged. Rounding recovers rank 2 without changing it.
TEST(TtRound, RedundantRanksAreDroppedAndTheTensorKept) {
    std::mt19937 gen(7);
    const std::vector<std::size_t> n{5, 4, 6, 3};
    std::vector<TtCore> cores;
    for (std::size_t j = 0; j < n.size(); ++j) {
        cores.push_back(random_core(j == 0 ? 1 : 2, n[j], j + 1 == n.size() ? 1 : 2, gen));
    }
    for (std::size_t j = 0; j + 1 < n.size(); ++j) {
        const TtCore p = random_core(2, 1, 6, gen);
        double x = 0, y = 0, z = 0;  // P P^T = [[x, y], [y, z]]
        for (std::size_t c = 0; c < 6; ++c) {
            x += p.data[c] * p.data[c];
            y += p.data[c] * p.data[6 + c];
            z += p.data[6 + c] * p.data[6 + c];
        }
        const double det = x * z - y * y;
        const double inv[4] = {z / det, -y / det, -y / det, x / det};
        TtCore& l = cores[j];
        TtCore& r = cores[j + 1];
        TtCore nl{std::vector<double>(l.r_left * l.n * 6, 0.0), l.r_left, l.n, 6};
        for (std::size_t row = 0; row < l.r_left * l.n; ++row)
            for (std::size_t c = 0; c < 6; ++c)
                for (std::size_t s = 0; s < 2; ++s) nl.data[row * 6 + c] += l.data[row * 2 + s] * p.data[s * 6 + c];
        const std::size_t cols = r.n * r.r_right;
        TtCore nr{std::vector<double>(6 * cols, 0.0), 6, r.n, r.r_right};
        for (std::size_t c = 0; c < 6; ++c)
            for (std::size_t s = 0; s < 2; ++s) {
                double q = 0.0;  // Q[c][s] = sum_t P[t][c] inv[t][s]
                for (std::size_t t = 0; t < 2; ++t) q += p.data[t * 6 + c] * inv[t * 2 + s];
                for (std::size_t k = 0; k < cols; ++k) nr.data[c * cols + k] += q * r.data[s * cols + k];
            }
        l = nl;
        r = nr;
    }
    const std::vector<double> before = full_tensor(cores);
    // The Gram matrix squares the singular values, so directions below
    // ~1e-8 of the largest are rounding noise: eps sits above that.
    TtState::round(cores, 1e-6);
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
    TtState::round(cores, 0.0);
    EXPECT_EQ(cores[0].r_right, 2u);  // 7 columns, 2 rows
    EXPECT_EQ(cores[1].r_right, 5u);  // 2*3 rows, 5 columns
    EXPECT_LT(max_abs_diff(full_tensor(cores), before), 1e-12);
}

// sigma = (4, 2, 1) with eps 0.5: the threshold is 2 and 2 is not above it.
TEST(TtRound, ThresholdIsStrict) {
    TtCore left{{4.0, 0.0, 0.0, 0.0, 2.0, 0.0, 0.0, 0.0, 1.0}, 1, 3, 3};
    TtCore right{{1.0, 1.0, 1.0}, 3, 1, 1};
    std::vector<TtCore> cores{left, right};
    TtState::round(cores, 0.5);
    EXPECT_EQ(cores[0].r_right, 1u);
    EXPECT_EQ(full_tensor(cores), (std::vector<double>{4.0, 0.0, 0.0}));
}

TEST(TtRound, RankOneCoresAreNormalisedAndAZeroCoreZeroesTheRight) {
    std::vector<TtCore> cores{{{3.0, 4.0}, 1, 2, 1}, {{1.0, 2.0}, 1, 2, 1}};
    TtState::round(cores, 0.0);
    EXPECT_NEAR(cores[0].data[0], 0.6, 1e-15);
    EXPECT_NEAR(cores[0].data[1], 0.8, 1e-15);
    EXPECT_NEAR(cores[1].data[1], 10.0, 1e-14);
    std::vector<TtCore> zero{{{0.0, 0.0}, 1, 2, 1}, {{1.0, 2.0}, 1, 2, 1}};
    TtState::round(zero, 0.0);
    EXPECT_EQ(zero[1].data, (std::vector<double>{0.0, 0.0}));
}

}  // namespace
}  // namespace quorvane
