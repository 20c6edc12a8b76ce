// The principal square root of 2s on each branch, the triple-jump
// constants, and the step's refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "core/geometric/carnot_complex_helpers.hpp"

namespace quorvane {
namespace {

TEST(SqrtTwoS, PrincipalRootOnEveryBranch) {
    for (Cplx s : {Cplx{0.3, -0.2}, Cplx{0.0, 0.5}, Cplx{0.0, -0.5}, Cplx{0.4, 0.0}, Cplx{-0.4, 0.0}, Cplx{-0.4, -0.0}}) {
        const Cplx w = sqrt_two_s(s);
        const std::complex<double> ref = std::sqrt(std::complex<double>(2 * s.re, 2 * s.im));
        EXPECT_NEAR(w.re, ref.real(), 1e-15) << s.re << " " << s.im;
        EXPECT_NEAR(w.im, ref.imag(), 1e-15) << s.re << " " << s.im;
    }
}

TEST(ComplexTripleJump, ConstantsAndRefusals) {
    EXPECT_TRUE(ComplexTripleJump::verify_gamma_star());
    const auto& g = ComplexTripleJump::gamma_table();
    EXPECT_NEAR(2 * g[0].re + g[1].re, 1.0, 1e-15);  // the sub-times sum to tau
    EXPECT_NEAR(2 * g[0].im + g[1].im, 0.0, 1e-15);
    const BoxAxis b{0.0, 1.0, 4};
    const CplxGridFn5 u = CplxGridFn5::from_real({b, b, b, b, b}, std::vector<double>(1024, 1.0));
    EXPECT_EQ(ComplexTripleJump::apply(-1.0, u).error(),
              CoreError::domain("ComplexTripleJump: tau must be finite and non-negative", -1.0));
    EXPECT_EQ(ComplexTripleJump::apply(HUGE_VAL, u).error().text(),
              std::string("ComplexTripleJump: tau must be finite and non-negative"));
}

}  // namespace
}  // namespace quorvane
