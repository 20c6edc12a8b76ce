// Validation of caller CSR arrays and the Taylor-degree selection.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/sparse/general_operator.hpp"
#include "core/sparse/symmetric_operator.hpp"

namespace quorvane {
namespace {

TEST(SymmetricOperator, DescendingRowMissesItsPartner) {
    // Exactly symmetric, but row 0 lists column 1 before column 0: the binary
    // search of row 1's partner lookup assumes ascending columns.
    const std::vector<std::uint64_t> rp{0, 2, 4};
    const std::vector<std::uint32_t> ci{1, 0, 1, 0};
    const std::vector<double> v{-1.0, 2.0, 2.0, -1.0};
    auto op = SymmetricOperator::from_csr(2, rp, ci, v, 1e-10);
    ASSERT_FALSE(op);
    EXPECT_STREQ(op.error().text(), "SymmetricOperator::from_csr: no (j,i) entry for existing (i,j)");
}

TEST(SymmetricOperator, SharesOneRecordAndKeepsTheBound) {
    const std::vector<std::uint64_t> rp{0, 2, 4};
    const std::vector<std::uint32_t> ci{0, 1, 0, 1};
    const std::vector<double> v{2.0, -1.0, -1.0, 2.0};
    auto op = SymmetricOperator::from_csr(2, rp, ci, v, 1e-10);
    ASSERT_TRUE(op);
    const SymmetricOperator copy = *op;
    EXPECT_EQ(copy.laplacian().get(), op->laplacian().get());
    EXPECT_EQ(op->spectral_bound(), 3.0);
    EXPECT_EQ(op->laplacian()->kind, LaplacianKind::GeneralSymmetric);
}

TEST(SelectTaylorDegree, TableExamplesAndRefusal) {
    const char* msg = "too large";
    struct Case {
        double x;
        std::uint32_t m;
        std::uint64_t s;
    };
    for (const Case c : {Case{0.0, 1, 1}, Case{0.001, 5, 1}, Case{1.0, 18, 1}, Case{2.0, 25, 1}, Case{10.0, 30, 3},
                         Case{100.0, 30, 29}, Case{3.0, 30, 1}, Case{4.0, 25, 2}}) {
        auto p = select_taylor_degree(c.x, 0.0, msg);
        ASSERT_TRUE(p) << c.x;
        EXPECT_EQ(p->m, c.m) << c.x;
        EXPECT_EQ(p->s, c.s) << c.x;
    }
    // 1.2e10 would clip s to 32 bits; 1.2e15 has no admissible row at all.
    for (const double x : {1.2e10, 1.2e15, double(INFINITY), double(NAN)}) {
        auto p = select_taylor_degree(x, 1.0, msg);
        ASSERT_FALSE(p) << x;
        EXPECT_STREQ(p.error().text(), msg);
    }
}

}  // namespace
}  // namespace quorvane
