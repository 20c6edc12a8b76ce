// The plan of the phi actions: the sign of tau and the size of v.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/sparse/phi_functions.hpp"

namespace quorvane {
namespace {

NegLaplacianGenerator two_by_two() {
    const std::vector<std::uint64_t> rp{0, 2, 4};
    const std::vector<std::uint32_t> ci{0, 1, 0, 1};
    const std::vector<double> v{2.0, -1.0, -1.0, 2.0};  // bound 3
    return NegLaplacianGenerator(*SymmetricOperator::from_csr(2, rp, ci, v, 1e-10));
}

TEST(PhiPlan, NegativeTauPlansLikeItsMagnitude) {
    const NegLaplacianGenerator gen = two_by_two();
    const std::vector<double> v{0.5, -0.25};
    const auto pos = phi_plan(gen, 4.0, v);
    const auto neg = phi_plan(gen, -4.0, v);
    ASSERT_TRUE(pos && neg);
    EXPECT_EQ(neg->taylor.m, pos->taylor.m);
    EXPECT_EQ(neg->taylor.s, pos->taylor.s);
    EXPECT_GT(pos->taylor.m * pos->taylor.s, 18u);  // eta = 2 (12 + 0.5 + 1) = 27
}

TEST(PhiPlan, DataScaledByAPowerOfTwo) {
    const NegLaplacianGenerator gen = two_by_two();
    // The plan of v = (1e6, 1) is that of (1e6 / 2^20, 2^-20): eta below 4.
    const auto big = phi_plan(gen, 0.0, std::vector<double>{1e6, 1.0});
    const auto unit = phi_plan(gen, 0.0, std::vector<double>{0.95, 0.0});
    ASSERT_TRUE(big && unit);
    EXPECT_EQ(big->scale_exp, 20);
    EXPECT_EQ(unit->scale_exp, 0);
    EXPECT_EQ(big->taylor.m * big->taylor.s, unit->taylor.m * unit->taylor.s);
    // Non-finite entries neither scale nor inflate the plan; they reach the output.
    const auto inf = phi_plan(gen, 0.0, std::vector<double>{INFINITY, 0.5});
    ASSERT_TRUE(inf);
    EXPECT_EQ(inf->scale_exp, 0);
}

}  // namespace
}  // namespace quorvane
