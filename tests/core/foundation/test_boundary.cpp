// Boundary policies (the value of every integer node index) and the
// undivided finite-difference stencils that read their taps through them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/foundation/boundary.hpp"
#include "core/foundation/dual.hpp"

namespace quorvane {
namespace {

using Policy = BoundaryPolicy<double>;

const std::vector<double> kU4 = {10.0, 11.0, 13.0, 17.0};

struct IndexCase {
    Policy p;
    std::int64_t i;
    double want;
    double dx = 0.1;
};

TEST(BoundaryPolicies, WorkedExamplesOnFourSamplesAndStoredSamplesInside) {
    const Policy kReflect = Policy::reflect(), kPeriodic = Policy::of(BoundaryTag::Periodic),
                 kOdd = Policy::of(BoundaryTag::OddReflect), kClamp = Policy::of(BoundaryTag::Clamp),
                 kZero = Policy::of(BoundaryTag::Zero), kLinear = Policy::of(BoundaryTag::Linear);
    const IndexCase cases[] = {
        // Reflect: period 2n-2 = 6, end nodes not repeated; far indices need 64 bits.
        {kReflect, -1, 11.0}, {kReflect, -3, 17.0}, {kReflect, 4, 13.0}, {kReflect, 6, 10.0},
        {kReflect, 6000000000001, 11.0}, {kReflect, -6000000000001, 11.0}, {kPeriodic, -1, 17.0},
        {kPeriodic, 4, 10.0}, {kPeriodic, 4000000000002, 13.0},
        // OddReflect flips the sign once, not once per fold.
        {kOdd, -1, -11.0}, {kOdd, 6, -10.0}, {kOdd, 4, -13.0}, {kClamp, -1000, 10.0}, {kClamp, 1000, 17.0},
        {kZero, -1, 0.0}, {kZero, std::numeric_limits<std::int64_t>::min(), 0.0}, {Policy::constant(2.5), 9, 2.5},
        // Linear: second-order end slopes (-3*10 + 4*11 - 13)/2 = 0.5 and
        // (3*17 - 4*13 + 11)/2 = 5, continued 3 nodes out.
        {kLinear, -3, 8.5}, {kLinear, 6, 32.0},
        // RobinImage: the mirror value damped by exp(-alpha |i - mirror| dx / beta).
        {Policy::robin_image(1.0, 1.0), -2, 13.0 * std::exp(-0.4)},
        {Policy::robin_image(0.5, 2.0), 5, 11.0 * std::exp(-0.2), 0.2}};
    // Robin values are exp() of a product: equal to a few ulps.
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(c.p.sample(kU4, 4, c.i, c.dx), c.want) << int(c.p.tag) << " " << c.i;
    for (BoundaryTag t : {BoundaryTag::Reflect, BoundaryTag::Zero, BoundaryTag::Periodic, BoundaryTag::Linear,
                          BoundaryTag::Constant, BoundaryTag::Clamp, BoundaryTag::RobinImage, BoundaryTag::OddReflect})
        for (std::int64_t i = 0; i < 4; ++i) EXPECT_EQ((Policy{t, 2.5, 3.0}.sample(kU4, 4, i, 0.1)), kU4[i]);
}

// ---------------------------------------------------------------------------
// Stencils

template <class F>
using Stencil = F (*)(std::span<const F>, const BoundaryPolicy<F>&, std::size_t, std::int64_t, F);

template <class F>
Stencil<F> stencil_fn(int idx) {
    static const Stencil<F> fns[] = {fd_d1_o8<F>, fd_d2_o6<F>, fd_d3_o4<F>, fd_d1_o10<F>,
                                     fd_d2_o8<F>, fd_d3_o8<F>, fd_d4_o6<F>};
    return fns[idx];
}

struct StencilInfo {
    const char* name;
    int k;                 // derivative order
    int degree;            // exact for polynomials up to this degree
    double zero_at_node0;  // estimate at node 0 for all-ones samples under Zero
};
const StencilInfo kStencils[] = {
    {"d1_o8", 1, 8, 533.0 / 840.0},     {"d2_o6", 2, 6, -49.0 / 36.0},   {"d3_o4", 3, 6, -3.0 / 4.0},
    {"d1_o10", 1, 10, 1627.0 / 2520.0}, {"d2_o8", 2, 8, -205.0 / 144.0}, {"d3_o8", 3, 10, -107.0 / 108.0},
    {"d4_o6", 4, 8, 91.0 / 16.0},
};

class StencilExactness : public ::testing::TestWithParam<int> {
protected:
    const StencilInfo& info() const { return kStencils[GetParam()]; }
    template <class F = double>
    Stencil<F> fn() const { return stencil_fn<F>(GetParam()); }
};

// Samples u_j = (j - c)^p at an interior node c: the estimate of d^k/dj^k at
// c is k! for p = k and 0 for every other p <= degree; the next power of the
// parity of k must miss, which shows the test can tell the weights apart.
TEST_P(StencilExactness, ReproducesMonomialsUpToItsDegree) {
    const int n = 25;
    const std::int64_t c = 12;
    for (int deg = 0; deg <= info().degree + 2; ++deg) {
        std::vector<double> u(n);
        for (int j = 0; j < n; ++j) u[j] = std::pow(static_cast<double>(j - c), deg);
        double want = deg == info().k ? 1.0 : 0.0;
        for (int q = 2; q <= info().k && deg == info().k; ++q) want *= q;
        const double got = fn()(u, Policy::reflect(), n, c, 0.25);
        if (deg <= info().degree) {
            // Sums of up to 11 terms of size <= 12^deg times weights <= 3: rounding only.
            EXPECT_NEAR(got, want, 1e-11 * std::pow(12.0, deg)) << "degree " << deg;
        } else if ((deg - info().k) % 2 == 0) {
            EXPECT_GT(std::abs(got - want), 1.0) << "degree " << deg;  // the leading error term
        }
    }
}

TEST_P(StencilExactness, ZeroPolicyWorkedValueAtNodeZero) {
    const std::vector<double> ones(8, 1.0);
    // Rational weights summed in double: a few ulps.
    EXPECT_NEAR(fn()(ones, Policy::of(BoundaryTag::Zero), 8, 0, 0.1), info().zero_at_node0, 1e-14);
}

TEST_P(StencilExactness, EveryNumberTypeGivesTheSameEstimate) {
    const std::vector<double> u = {0.3, -1.2, 4.0, 2.2, 0.9, -3.5, 1.1, 0.25};
    const std::vector<float> uf(u.begin(), u.end());
    std::vector<Dual2> uh;  // derivative parts: d/du_3 in both directions
    for (std::size_t j = 0; j < u.size(); ++j) uh.push_back(Dual2(Dual1(u[j], j == 3), Dual1(j == 3, 0.0)));
    std::vector<double> e3 = u;
    e3[3] += 1.0;
    const Policy p = Policy::of(BoundaryTag::Linear);
    for (std::int64_t i : {-2, 0, 3, 7, 11}) {
        const double want = fn()(u, p, 8, i, 0.1);
        const Dual2 h = fn<Dual2>()(uh, BoundaryPolicy<Dual2>::of(BoundaryTag::Linear), 8, i, Dual2(0.1));
        EXPECT_EQ(h.v.v, want);  // the value parts run the very same double arithmetic
        // Linear in the samples: the derivative parts are a difference of
        // estimates (up to rounding) and there is no mixed part.
        EXPECT_NEAR(h.v.d, fn()(e3, p, 8, i, 0.1) - want, 1e-12);
        EXPECT_EQ(h.d.v, h.v.d);
        EXPECT_EQ(h.d.d, 0.0);
        // Single precision: relative rounding of ~1e-7 amplified by the weights.
        EXPECT_NEAR(fn<float>()(uf, BoundaryPolicy<float>::of(BoundaryTag::Linear), 8, i, 0.1f), want,
                    1e-4 * (1.0 + std::abs(want)));
    }
}

INSTANTIATE_TEST_SUITE_P(AllSeven, StencilExactness, ::testing::Range(0, 7),
                         [](const auto& info) { return std::string(kStencils[info.param].name); });

}  // namespace
}  // namespace quorvane
