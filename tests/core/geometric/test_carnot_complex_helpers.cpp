// The principal square root of 2s on each branch, the triple-jump
// constants, the step's refusals, its exact increments on quadratics and its
// order on a polynomial it reads exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <tuple>

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

using Point = std::array<double, 5>;
using PointFn = double (*)(const Point&);

std::size_t value_count(const FiliformAxes& axes) {
    std::size_t count = 1;
    for (const BoxAxis& a : axes) count *= a.n;
    return count;
}

// Coordinates of flat index m (axis 0 fastest), and whether the node lies
// within one node of the middle of every axis longer than two nodes.
bool central_node(const FiliformAxes& axes, std::size_t m, Point& x) {
    bool central = true;
    for (std::size_t d = 0; d < 5; ++d) {
        const std::size_t i = m % axes[d].n, mid = axes[d].n / 2;
        x[d] = axes[d].node(i);
        central = central && (axes[d].n == 2 || std::max(i, mid) - std::min(i, mid) <= 1);
        m /= axes[d].n;
    }
    return central;
}

std::vector<double> sampled(const FiliformAxes& axes, PointFn f) {
    std::vector<double> u(value_count(axes));
    Point x{};
    for (std::size_t m = 0; m < u.size(); ++m) {
        central_node(axes, m, x);
        u[m] = f(x);
    }
    return u;
}

// With L = (X_1^2 + X_2^2)/4 and X_2 = d1 + x0 d2 + x2 d3 + x3 d4:
// L(x1 x2) = x0/2, L(x0^2) = L(x1^2) = 1/2, each annihilated by L, so
// exp(tau L) u = u + tau L u.
struct Quadratic {
    PointFn u;
    PointFn rate;
};
const Quadratic kQuadratics[] = {
    {[](const Point& x) { return x[1] * x[2]; }, [](const Point& x) { return 0.5 * x[0]; }},
    {[](const Point& x) { return x[0] * x[0]; }, [](const Point&) { return 0.5; }},
    {[](const Point& x) { return x[1] * x[1]; }, [](const Point&) { return 0.5; }},
};

class ExactIncrement : public ::testing::TestWithParam<std::tuple<int, double>> {};

// The constant extension beyond the box spreads about two nodes a sub-step;
// these axes keep it away from the middle for the nine sub-steps (axes 3 and
// 4 carry no dependence and need no room).
TEST_P(ExactIncrement, IsTheSemigroupsAtInteriorNodes) {
    const auto [which, tau] = GetParam();
    const Quadratic& q = kQuadratics[which];
    const FiliformAxes axes{BoxAxis{-11.0, 11.0, 23}, BoxAxis{-7.0, 7.0, 15}, BoxAxis{-14.0, 14.0, 15},
                            BoxAxis{-1.0, 1.0, 2}, BoxAxis{-1.0, 1.0, 2}};
    const std::vector<double> u = sampled(axes, q.u);
    const auto out = ComplexTripleJump::apply_real(tau, FiliformGroup::vector_fields(), axes, u);
    ASSERT_TRUE(out.has_value());
    Point x{};
    for (std::size_t m = 0; m < u.size(); ++m) {
        if (!central_node(axes, m, x)) continue;
        // Rounding of values up to ~1e2 read around the middle.
        EXPECT_NEAR((*out)[m] - u[m], tau * q.rate(x), 1e-13) << m;
    }
}

INSTANTIATE_TEST_SUITE_P(Quadratics, ExactIncrement,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Values(0.04, 0.02, 0.01)));

// exp(tau L)(x2^2 x3^2): L^k of it for k = 1..5 (L^6 of it is 0).
double semigroup_on_x2x2x3x3(const Point& x, double t) {
    const double x0 = x[0], x2 = x[2], x3 = x[3];
    return x2 * x2 * x3 * x3 + t * (x0 * x0 * x3 * x3 / 2 + 5 * x0 * x2 * x2 * x3 / 2 + x2 * x2 * x2 * x2 / 2) +
           t * t * (3 * x0 * x0 * x0 * x3 / 4 + 39 * x0 * x0 * x2 * x2 / 16 + x3 * x3 / 8) +
           t * t * t * (15 * x0 * x0 * x0 * x0 / 32 + 19 * x0 * x3 / 48 + 41 * x2 * x2 / 96) +
           t * t * t * t * 55 * x0 * x0 / 128 + t * t * t * t * t * 11 / 256;
}

// The reads reproduce x2^2 x3^2 and all it turns into, so only the splitting
// errs. Each sub-step lowers the degree weighted (1, 1, 2, 3, 4) by 2, so on
// this weight-10 polynomial products of six sub-steps vanish and a fourth
// order step errs by exactly c tau^5: 32 times less per halving. With x0 up
// to 15 on cells of 1 the X_2 reads lie about a cell off the real axis, so
// the steps take their X_2 factors in pieces (14 field steps at tau = 0.1);
// each piece spreads the constant extension beyond the box two more nodes,
// and axes 2 and 3 leave room for that.
TEST(ComplexTripleJump, FourthOrderOnAPolynomialItReadsExactly) {
    const FiliformAxes axes{BoxAxis{-15.0, 15.0, 31}, BoxAxis{-1.0, 1.0, 2}, BoxAxis{-12.0, 12.0, 25},
                            BoxAxis{-12.0, 12.0, 25}, BoxAxis{-1.0, 1.0, 2}};
    ASSERT_GT(ComplexTripleJump::total_sub_steps(ComplexTripleJump::sub_steps(0.1, axes)), 9u);
    const std::vector<double> u = sampled(axes, [](const Point& x) { return x[2] * x[2] * x[3] * x[3]; });
    std::vector<double> errors;
    for (double tau : {0.1, 0.05, 0.025}) {
        const auto out = ComplexTripleJump::apply_real(tau, FiliformGroup::vector_fields(), axes, u);
        ASSERT_TRUE(out.has_value());
        double error = 0.0;
        Point x{};
        for (std::size_t m = 0; m < u.size(); ++m) {
            if (central_node(axes, m, x)) error = std::max(error, std::fabs((*out)[m] - semigroup_on_x2x2x3x3(x, tau)));
        }
        errors.push_back(error);
    }
    // Split or not, the step is the same composition: its error constant.
    EXPECT_NEAR(errors[0] / 1e-5, 1.5551e-3, 1.5e-5);  // measured 1.5567e-3
    EXPECT_NEAR(errors[0] / errors[1], 32.0, 0.5);      // measured 32.03
    EXPECT_NEAR(errors[1] / errors[2], 32.0, 0.5);      // measured 32.00
}

// Steps whose pieces would outnumber the cap are refused before any work;
// the largest admitted step is the cap's edge: admitted, and a step 1e-9
// longer is not.
TEST(ComplexTripleJump, RefusesStepsBeyondTheSubStepCap) {
    const BoxAxis b{0.0, 1.0, 4};
    const FiliformAxes axes{b, b, b, b, b};
    const auto total = [&](double tau) {
        return ComplexTripleJump::total_sub_steps(ComplexTripleJump::sub_steps(tau, axes));
    };
    EXPECT_EQ(total(0.0), 9u);
    EXPECT_EQ(total(0.01), 9u);  // ordinary steps are not split
    const CplxGridFn5 u = CplxGridFn5::from_real(axes, std::vector<double>(1024, 1.0));
    for (double tau : {1e6, 1e300, 1.7976931348623157e308}) {
        EXPECT_EQ(ComplexTripleJump::apply(tau, u).error(),
                  CoreError::domain("ComplexTripleJump: tau needs more field sub-steps than a step admits", tau));
    }
    const double edge = ComplexTripleJump::max_step(1e6, axes);
    EXPECT_LE(total(edge), ComplexTripleJump::kMaxSubSteps);
    EXPECT_GT(total(edge * (1.0 + 1e-9)), ComplexTripleJump::kMaxSubSteps);
    EXPECT_EQ(ComplexTripleJump::max_step(1e300, axes), edge);
    const auto out = ComplexTripleJump::apply(edge, u);
    ASSERT_TRUE(out.has_value());
    for (const Cplx& v : out->values) EXPECT_NEAR(v.re, 1.0, 1e-9) << v.im;  // constants stay
}

}  // namespace
}  // namespace quorvane
