// Boundary policies (the value of every integer node index) and the
// undivided finite-difference stencils that read their taps through them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "core/boundary.hpp"
#include "core/dual.hpp"

namespace quorvane {
namespace {

using Policy = BoundaryPolicy<double>;

double at(const Policy& p, const std::vector<double>& u, std::int64_t i, double dx = 0.1) {
    return p.sample(u, u.size(), i, dx);
}

const std::vector<double> kU4 = {10.0, 11.0, 13.0, 17.0};

struct IndexCase {
    BoundaryTag tag;
    std::int64_t i;
    double want;
};

class PolicyWorkedExamples : public ::testing::TestWithParam<IndexCase> {};
TEST_P(PolicyWorkedExamples, SampleAtIndex) {
    const auto& c = GetParam();
    EXPECT_EQ(at(Policy::of(c.tag), kU4, c.i), c.want) << "index " << c.i;
}
INSTANTIATE_TEST_SUITE_P(
    NFour, PolicyWorkedExamples,
    ::testing::Values(
        // Reflect: period 2n-2 = 6, end nodes not repeated.
        IndexCase{BoundaryTag::Reflect, -1, 11.0}, IndexCase{BoundaryTag::Reflect, -3, 17.0},
        IndexCase{BoundaryTag::Reflect, -4, 13.0}, IndexCase{BoundaryTag::Reflect, 4, 13.0},
        IndexCase{BoundaryTag::Reflect, 6, 10.0}, IndexCase{BoundaryTag::Reflect, 6000000000001, 11.0},
        IndexCase{BoundaryTag::Reflect, -6000000000001, 11.0},
        IndexCase{BoundaryTag::Periodic, -1, 17.0}, IndexCase{BoundaryTag::Periodic, 4, 10.0},
        IndexCase{BoundaryTag::Periodic, -5, 17.0}, IndexCase{BoundaryTag::Periodic, 4000000000002, 13.0},
        // OddReflect flips the sign once, not once per fold.
        IndexCase{BoundaryTag::OddReflect, -1, -11.0}, IndexCase{BoundaryTag::OddReflect, 6, -10.0},
        IndexCase{BoundaryTag::OddReflect, 4, -13.0},
        IndexCase{BoundaryTag::Clamp, -1000, 10.0}, IndexCase{BoundaryTag::Clamp, 1000, 17.0},
        IndexCase{BoundaryTag::Zero, -1, 0.0}, IndexCase{BoundaryTag::Zero, 4, 0.0},
        IndexCase{BoundaryTag::Zero, std::numeric_limits<std::int64_t>::min(), 0.0}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(PolicyInside, EveryPolicyReturnsStoredSample) {
    const std::vector<BoundaryTag> tags = {BoundaryTag::Reflect,  BoundaryTag::Zero,       BoundaryTag::Periodic,
                                           BoundaryTag::Linear,   BoundaryTag::Constant,   BoundaryTag::Clamp,
                                           BoundaryTag::RobinImage, BoundaryTag::OddReflect};
    for (BoundaryTag t : tags) {
        const Policy p{t, 2.5, 3.0};
        for (std::int64_t i = 0; i < 4; ++i) EXPECT_EQ(at(p, kU4, i), kU4[i]);
    }
}

TEST(PolicyConstant, ParameterAtBothEnds) {
    const Policy p = Policy::constant(2.5);
    EXPECT_EQ(at(p, kU4, -1), 2.5);
    EXPECT_EQ(at(p, kU4, 9), 2.5);
}

TEST(PolicyLinear, ContinuesAStraightLineOnBothSides) {
    // Samples of 3 - 0.75 j: every outside index lies on the same line.
    std::vector<double> u(6);
    for (int j = 0; j < 6; ++j) u[j] = 3.0 - 0.75 * j;
    const Policy p = Policy::of(BoundaryTag::Linear);
    for (std::int64_t i : {-1, -2, -7, -100, 6, 7, 12, 1000}) {
        EXPECT_NEAR(at(p, u, i), 3.0 - 0.75 * static_cast<double>(i), 1e-12 * (1.0 + std::abs(i)));
    }
}

TEST(PolicyLinear, UsesSecondOrderEndSlopeOfCurvedData) {
    // u_j = j^2: the one-sided slope at node 0 is (-3*0 + 4*1 - 4)/2 = 0, at
    // node 4 it is (3*16 - 4*9 + 4)/2 = 8.
    const std::vector<double> u = {0, 1, 4, 9, 16};
    const Policy p = Policy::of(BoundaryTag::Linear);
    EXPECT_EQ(at(p, u, -3), 0.0);
    EXPECT_EQ(at(p, u, 6), 16.0 + 2 * 8.0);
}

TEST(PolicyRobinImage, DampedMirrorValue) {
    EXPECT_EQ(at(Policy::robin_image(0.0, 1.0), kU4, -2), kU4[2]);
    EXPECT_DOUBLE_EQ(at(Policy::robin_image(1.0, 1.0), kU4, -2, 0.1), kU4[2] * std::exp(-0.4));
    // Right end: index 5 mirrors to 1, distance 2 from node 3.
    EXPECT_DOUBLE_EQ(at(Policy::robin_image(0.5, 2.0), kU4, 5, 0.2), kU4[1] * std::exp(-0.2 * 0.5 * 2));
}

TEST(PolicyFloat, SinglePrecisionInstanceAgrees) {
    const std::vector<float> u = {1.0f, 2.0f, 4.0f, 8.0f};
    const BoundaryPolicy<float> r{BoundaryTag::Reflect, 0.0f, 0.0f};
    EXPECT_EQ(r.sample(u, 4, -3, 0.1f), 8.0f);
    const BoundaryPolicy<float> rob{BoundaryTag::RobinImage, 1.0f, 1.0f};
    EXPECT_FLOAT_EQ(rob.sample(u, 4, -2, 0.1f), 4.0f * std::exp(-0.4f));
}

TEST(PolicyDual, DerivativePartsOfSamplesAndParameters) {
    // Linear extrapolation is linear in the samples: seeding u[1] gives the
    // weight of u[1] at index -2, which is 2 * (-0.5*... ) = -0.5*2*4 = -4.
    std::vector<Dual1> u = {Dual1(1.0), Dual1(2.0, 1.0), Dual1(4.0), Dual1(8.0)};
    const BoundaryPolicy<Dual1> lin{BoundaryTag::Linear, Dual1(0.0), Dual1(0.0)};
    EXPECT_DOUBLE_EQ(lin.sample(u, 4, -2, Dual1(0.1)).d, -4.0);
    // Robin: d/dalpha of u[2] exp(-2 alpha dx k / beta) at alpha = beta = 1.
    std::vector<Dual1> w = {Dual1(1.0), Dual1(2.0), Dual1(4.0), Dual1(8.0)};
    const BoundaryPolicy<Dual1> rob{BoundaryTag::RobinImage, Dual1(1.0, 1.0), Dual1(1.0)};
    const Dual1 r = rob.sample(w, 4, -2, Dual1(0.1));
    EXPECT_DOUBLE_EQ(r.v, 4.0 * std::exp(-0.4));
    EXPECT_DOUBLE_EQ(r.d, -0.4 * 4.0 * std::exp(-0.4));
}

// ---------------------------------------------------------------------------
// Stencils

template <class F>
using Stencil = F (*)(std::span<const F>, const BoundaryPolicy<F>&, std::size_t, std::int64_t, F);

struct StencilInfo {
    const char* name;
    int k;       // derivative order
    int degree;  // exact for polynomials up to this degree (2m)
    double zero_at_node0;  // estimate at node 0 for all-ones samples under Zero
};

template <class F>
Stencil<F> stencil_fn(int idx) {
    static const Stencil<F> fns[] = {fd_d1_o8<F>, fd_d2_o6<F>, fd_d3_o4<F>, fd_d1_o10<F>,
                                     fd_d2_o8<F>, fd_d3_o8<F>, fd_d4_o6<F>};
    return fns[idx];
}

const StencilInfo kStencils[] = {
    {"d1_o8", 1, 8, 533.0 / 840.0},   {"d2_o6", 2, 6, -49.0 / 36.0},   {"d3_o4", 3, 6, -3.0 / 4.0},
    {"d1_o10", 1, 10, 1627.0 / 2520.0}, {"d2_o8", 2, 8, -205.0 / 144.0}, {"d3_o8", 3, 10, -107.0 / 108.0},
    {"d4_o6", 4, 8, 91.0 / 16.0},
};

double falling(int p, int k) {  // p (p-1) ... (p-k+1)
    double r = 1.0;
    for (int q = 0; q < k; ++q) r *= p - q;
    return r;
}

class StencilExactness : public ::testing::TestWithParam<int> {};

// Samples u_j = (j - c)^p at an interior node c: the estimate of d^k/dj^k at
// c is k! for p = k and 0 for every other p <= degree; the next power of the
// parity of k must miss, which shows the test can tell the weights apart.
TEST_P(StencilExactness, ReproducesMonomialsUpToItsDegree) {
    const StencilInfo& s = kStencils[GetParam()];
    const Stencil<double> fn = stencil_fn<double>(GetParam());
    const int n = 25;
    const std::int64_t c = 12;
    const Policy p = Policy::reflect();
    for (int deg = 0; deg <= s.degree + 2; ++deg) {
        std::vector<double> u(n);
        for (int j = 0; j < n; ++j) u[j] = std::pow(static_cast<double>(j - c), deg);
        const double want = deg == s.k ? falling(deg, s.k) : 0.0;
        const double got = fn(u, p, n, c, 0.25);
        // Sums of up to 11 terms of size <= 12^deg times weights <= 3: rounding only.
        const double tol = 1e-12 * std::pow(12.0, deg) * 10;
        if (deg <= s.degree) {
            EXPECT_NEAR(got, want, tol) << s.name << " degree " << deg;
        } else if ((deg - s.k) % 2 == 0) {
            // Same parity as k: the leading error term is visible.
            EXPECT_GT(std::abs(got - want), 1.0) << s.name << " degree " << deg;
        }
    }
}

TEST_P(StencilExactness, ShiftedPolynomialAtEveryInteriorNode) {
    // A full polynomial of the stencil's degree, not only centred monomials.
    const StencilInfo& s = kStencils[GetParam()];
    const Stencil<double> fn = stencil_fn<double>(GetParam());
    const int n = 30;
    const double h = 0.05;
    auto P = [&](double x) {
        double v = 0.0;
        for (int q = s.degree; q >= 0; --q) v = v * x + 1.0 / (1.0 + q);
        return v;
    };
    auto dPk = [&](double x) {  // k-th derivative of P
        double v = 0.0;
        for (int q = s.degree; q >= s.k; --q) v += falling(q, s.k) / (1.0 + q) * std::pow(x, q - s.k);
        return v;
    };
    std::vector<double> u(n);
    for (int j = 0; j < n; ++j) u[j] = P(-0.7 + h * j);
    const int m = s.degree / 2;
    for (std::int64_t i = m; i + m < n; ++i) {
        const double want = std::pow(h, s.k) * dPk(-0.7 + h * static_cast<double>(i));
        EXPECT_NEAR(fn(u, Policy::reflect(), n, i, h), want, 1e-12) << s.name << " node " << i;
    }
}

TEST_P(StencilExactness, ZeroPolicyWorkedValueAtNodeZero) {
    const StencilInfo& s = kStencils[GetParam()];
    const std::vector<double> ones(8, 1.0);
    EXPECT_NEAR(stencil_fn<double>(GetParam())(ones, Policy::of(BoundaryTag::Zero), 8, 0, 0.1), s.zero_at_node0,
                1e-14)
        << s.name;
}

TEST_P(StencilExactness, ConstantsGiveZeroAtAnyIndexUnderPreservingPolicies) {
    const std::vector<double> u(6, 3.25);
    const Stencil<double> fn = stencil_fn<double>(GetParam());
    for (const Policy& p : {Policy::of(BoundaryTag::Clamp), Policy::reflect(), Policy::of(BoundaryTag::Periodic),
                            Policy::constant(3.25), Policy::of(BoundaryTag::Linear)}) {
        for (std::int64_t i : {-1000, -3, 0, 2, 5, 6 + 7, 100000}) {
            EXPECT_NEAR(fn(u, p, 6, i, 0.1), 0.0, 1e-12) << kStencils[GetParam()].name << " tag "
                                                          << static_cast<int>(p.tag) << " i " << i;
        }
    }
}

TEST(StencilReflect, OddDerivativesVanishAtReflectingEnds) {
    const std::vector<double> u = {0.3, -1.2, 4.0, 2.2, 0.9, -3.5, 1.1};
    for (int idx = 0; idx < 7; ++idx) {
        if (kStencils[idx].k % 2 == 0) continue;
        EXPECT_NEAR(stencil_fn<double>(idx)(u, Policy::reflect(), 7, 0, 0.1), 0.0, 1e-13) << kStencils[idx].name;
        EXPECT_NEAR(stencil_fn<double>(idx)(u, Policy::reflect(), 7, 6, 0.1), 0.0, 1e-13) << kStencils[idx].name;
    }
}

TEST_P(StencilExactness, UndividedEstimatesIgnoreTheStepExceptUnderRobin) {
    const std::vector<double> u = {0.3, -1.2, 4.0, 2.2, 0.9, -3.5, 1.1};
    const Stencil<double> fn = stencil_fn<double>(GetParam());
    for (std::int64_t i : {-3, 0, 3, 6, 13}) {
        EXPECT_EQ(fn(u, Policy::reflect(), 7, i, 0.1), fn(u, Policy::reflect(), 7, i, 0.2));
    }
    const Policy robin = Policy::robin_image(1.0, 1.0);
    EXPECT_NE(fn(u, robin, 7, 0, 0.1), fn(u, robin, 7, 0, 0.2));
}

TEST_P(StencilExactness, EveryNumberTypeGivesTheSameEstimate) {
    const Stencil<double> f64 = stencil_fn<double>(GetParam());
    const std::vector<double> u = {0.3, -1.2, 4.0, 2.2, 0.9, -3.5, 1.1, 0.25};
    std::vector<float> uf(u.begin(), u.end());
    std::vector<Dual1> ud;
    std::vector<Dual2> uh;
    for (std::size_t j = 0; j < u.size(); ++j) {
        // Derivative parts: d/du_3 in the dual, and a second seed on u_4.
        ud.push_back(Dual1(u[j], j == 3 ? 1.0 : 0.0));
        uh.push_back(Dual2(Dual1(u[j], j == 3 ? 1.0 : 0.0), Dual1(j == 4 ? 1.0 : 0.0, 0.0)));
    }
    for (std::int64_t i : {-2, 0, 3, 7, 11}) {
        const Policy p = Policy::of(BoundaryTag::Linear);
        const double want = f64(u, p, 8, i, 0.1);
        const Dual1 d = stencil_fn<Dual1>(GetParam())(ud, BoundaryPolicy<Dual1>::of(BoundaryTag::Linear), 8, i,
                                                      Dual1(0.1));
        const Dual2 h = stencil_fn<Dual2>(GetParam())(uh, BoundaryPolicy<Dual2>::of(BoundaryTag::Linear), 8, i,
                                                      Dual2(0.1));
        const float f = stencil_fn<float>(GetParam())(uf, BoundaryPolicy<float>::of(BoundaryTag::Linear), 8, i, 0.1f);
        // The value parts run the very same double arithmetic.
        EXPECT_EQ(d.v, want);
        EXPECT_EQ(h.v.v, want);
        // The derivative parts are the stencil applied to the seeded unit
        // vector, i.e. a finite difference of the linear estimate.
        std::vector<double> e3 = u, e4 = u;
        e3[3] += 1.0;
        e4[4] += 1.0;
        EXPECT_NEAR(d.d, f64(e3, p, 8, i, 0.1) - want, 1e-12);
        EXPECT_NEAR(h.v.d, f64(e3, p, 8, i, 0.1) - want, 1e-12);
        EXPECT_NEAR(h.d.v, f64(e4, p, 8, i, 0.1) - want, 1e-12);
        EXPECT_EQ(h.d.d, 0.0);  // linear in the samples: no mixed part
        // Single precision: relative rounding of ~1e-7 amplified by the weights.
        EXPECT_NEAR(f, want, 1e-4 * (1.0 + std::abs(want)));
    }
}

TEST_P(StencilExactness, NonFiniteSampleMakesDualDerivativeNaN) {
    std::vector<Dual1> u(8, Dual1(1.0));
    u[4] = Dual1(std::numeric_limits<double>::infinity(), 0.0);
    const Dual1 d = stencil_fn<Dual1>(GetParam())(u, BoundaryPolicy<Dual1>::reflect(), 8, 3, Dual1(0.1));
    EXPECT_TRUE(std::isnan(d.d));
}

INSTANTIATE_TEST_SUITE_P(AllSeven, StencilExactness, ::testing::Range(0, 7),
                         [](const auto& info) { return std::string(kStencils[info.param].name); });

}  // namespace
}  // namespace quorvane
