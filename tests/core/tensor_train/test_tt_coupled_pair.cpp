// The pair re-split: an identity table keeps the tensor, core k gets
// orthonormal rows, the rank stays within the matrix's own bound.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/foundation/stop.hpp"
#include "core/tensor_train/tt_coupled_pair.hpp"
#include "tests/core/tensor_train/tt_dense.hpp"

namespace quorvane {
namespace {

std::vector<TtCore> random_train(const std::vector<std::size_t>& n, const std::vector<std::size_t>& r, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> nd;
    std::vector<TtCore> cores;
    for (std::size_t j = 0; j < n.size(); ++j) {
        TtCore c{std::vector<double>(r[j] * n[j] * r[j + 1]), r[j], n[j], r[j + 1]};
        for (double& v : c.data) v = nd(gen);
        cores.push_back(c);
    }
    return cores;
}

// Tall (m >= columns) and wide merged matrices take different sides of the
// Jacobi sweep; both must give the same contract.
class PairSplit : public ::testing::TestWithParam<std::vector<std::size_t>> {};

TEST_P(PairSplit, IdentityTableKeepsTheTensorWithOrthonormalRightRows) {
    const std::vector<std::size_t> r = GetParam();
    std::vector<TtCore> cores = random_train({3, 4, 2}, r, 11);
    const std::vector<double> before = full_tensor(cores);
    const std::vector<double> identity(3 * 4, 1.0);
    ASSERT_TRUE(apply_pair_factor(0.0, cores, 0, 1, identity));
    EXPECT_LT(max_abs_diff(full_tensor(cores), before), 1e-12);
    const TtCore& k = cores[1];
    const std::size_t cols = k.n * k.r_right;
    EXPECT_LE(k.r_left, std::min(cores[0].r_left * 3, cols));
    for (std::size_t p = 0; p < k.r_left; ++p)
        for (std::size_t q = 0; q < k.r_left; ++q) {
            double g = 0.0;
            for (std::size_t c = 0; c < cols; ++c) g += k.data[p * cols + c] * k.data[q * cols + c];
            EXPECT_NEAR(g, p == q ? 1.0 : 0.0, 1e-12);
        }
}

INSTANTIATE_TEST_SUITE_P(Shapes, PairSplit,
                         ::testing::Values(std::vector<std::size_t>{1, 5, 1, 1}, std::vector<std::size_t>{1, 2, 5, 1},
                                           std::vector<std::size_t>{1, 1, 1, 1}));

TEST(PairFactor, WrongTableLengthIsRefusedWithTheCoresUnchanged) {
    std::vector<TtCore> cores = random_train({3, 4}, {1, 2, 1}, 3);
    const std::vector<TtCore> copy = cores;
    const Status st = apply_pair_factor(0.0, cores, 0, 1, std::vector<double>(11, 1.0));
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().display(), "domain violation: apply_pair_factor: expsym length != n_j * n_k (value = 11)");
    EXPECT_EQ(cores[0].data, copy[0].data);
    EXPECT_EQ(cores[1].data, copy[1].data);
}

// The Jacobi sweeps of a merged pair of a thousand columns take seconds: a
// pending stop request ends the split with the cores unchanged.
TEST(PairFactor, PendingStopLeavesTheCoresUnchanged) {
    std::vector<TtCore> cores = random_train({3, 4}, {1, 2, 1}, 3);
    const std::vector<TtCore> copy = cores;
    std::atomic<bool> stop{true};
    const ScopedStopFlag flag(stop);
    const Status st = apply_pair_factor(0.0, cores, 0, 1, std::vector<double>(12, 1.0));
    EXPECT_EQ(st.error().variant(), CoreError::Variant::CallbackFailed);
    EXPECT_EQ(cores[0].data, copy[0].data);
    EXPECT_EQ(cores[1].data, copy[1].data);
}

TEST(PairFactor, BlockMustBePositiveDefinite) {
    const std::vector<TtCore> cores = random_train({3, 4}, {1, 1, 1}, 5);
    EXPECT_FALSE(pair_expsym(cores, 0, 1, 0.5, 0.5, 0.5, 0.1, 1.0, 1.0));
    EXPECT_FALSE(pair_expsym(cores, 0, 1, 0.5, 0.5, -0.5, 0.1, 1.0, 1.0));
    const auto ok = pair_expsym(cores, 0, 1, 0.5, 0.5, 0.49, 0.1, 1.0, 1.0);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->size(), 12u);
    EXPECT_EQ((*ok)[0], 1.0);  // the constant mode
}

// The smallest eigenvalue is positive exactly when the block is positive
// definite, at any scale: the powers of two make the determinants exact,
// 2^-51 - 2^-52 > 0 beside an entry of 2^1023, and (c_j + c_k)/2 - root
// cancelled to 0 for the first blocks.
TEST(PairFactor, SmallestEigenvalueIsPositiveExactlyForAPositiveDefiniteBlock) {
    struct Block {
        double c_j, c_k, rho;
        bool spd;
    };
    const Block blocks[] = {
        {1e-20, 1.0, 0.0, true},        {1.0, 1e-20, 0.99e-10, true},      {0x1p1023, 0x1p-1074, 0x1p-26, true},
        {0x1p-1074, 0x1p-1074, 0.0, true}, {0x1p1023, 0x1p-1074, 0x1p-25, false}, {0x1p-1074, 0x1p-1074, 0x1p-1074, false},
        {1e308, 1e308, -1e308, false},  {0.5, 0.5, 0.5, false},            {0.0, 0.0, 0.0, false},
        {0.0, 1.0, 0x1p-600, false},    {-1.0, 3.0, 0.0, false},           {-1.0, -1.0, 0.0, false},
    };
    for (const Block& b : blocks) {
        const double lambda = pair_block_min_eigenvalue(b.c_j, b.c_k, b.rho);
        EXPECT_EQ(lambda > 0.0, b.spd) << b.c_j << " " << b.c_k << " " << b.rho << ": " << lambda;
    }
}

// NaN < 0 and NaN <= 0 are both false: a block whose smallest eigenvalue is
// NaN (a NaN entry, an infinite diagonal: inf - inf) must not pass; an
// infinite rho is simply not positive definite.
TEST(PairFactor, ANaNBlockIsRefusedNotTakenAsPositiveDefinite) {
    const std::vector<TtCore> cores = random_train({3, 4}, {1, 1, 1}, 5);
    for (const auto& [c_j, rho] : {std::pair{std::nan(""), 0.1}, std::pair{0.5, std::nan("")}, std::pair{HUGE_VAL, 0.1}}) {
        const auto r = pair_expsym(cores, 0, 1, c_j, 0.5, rho, 0.1, 1.0, 1.0);
        ASSERT_FALSE(r) << c_j << " " << rho;
        EXPECT_STREQ(r.error().text(), kPairBlockNaN);
    }
    const auto r = pair_expsym(cores, 0, 1, 0.5, 0.5, HUGE_VAL, 0.1, 1.0, 1.0);
    ASSERT_FALSE(r);
    EXPECT_NE(std::string(r.error().text()).find("pair block not SPD"), std::string::npos);
}

// Spacings of 1e-160: h^2 underflows and the terms of the symbol overflow
// (inf - inf). Every mode but the mean is killed exactly; none is NaN.
TEST(PairTable, SpacingsWhoseSquareUnderflowsGiveTheLimitNotNaN) {
    const std::vector<TtCore> cores{{std::vector<double>(3, 1.0), 1, 3, 1}, {std::vector<double>(4, 1.0), 1, 4, 1}};
    const std::vector<double> table = *pair_expsym(cores, 0, 1, 1.0, 1.0, 0.3, 1.0, 1e-160, 1e-160);
    for (std::size_t k = 0; k < table.size(); ++k) EXPECT_EQ(table[k], k == 0 ? 1.0 : 0.0) << k;
    // At t = 0 every entry is exactly 1, not exp(0 * inf).
    const std::vector<double> at_zero = *pair_expsym(cores, 0, 1, 1.0, 1.0, 0.3, 0.0, 1e-160, 1e-160);
    for (double v : at_zero) EXPECT_EQ(v, 1.0);
}

}  // namespace
}  // namespace quorvane
