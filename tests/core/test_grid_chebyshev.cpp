// Chebyshev sampling: the node table against a high-precision cosine, the
// barycentric interpolant against an independent Lagrange evaluation, exact
// reproduction of data the Hermite rule reproduces, folding beyond the ends
// under each policy, derivatives of the dual instances, and the errors.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <numbers>
#include <vector>

#include "core/dual.hpp"
#include "core/grid_chebyshev.hpp"
#include "core/grid_fn.hpp"

namespace quorvane {
namespace {

constexpr std::uint64_t kAllM[] = {8, 16, 32, 64, 128, 256, 512};

template <class F = double>
Grid1D<F> cgrid(BoundaryPolicy<F> p, double xmin = 0.0, double xmax = 1.0, std::size_t n = 101) {
    return *Grid1D<F>::make(p, InterpKind::septic(), from_f64<F>(xmin), from_f64<F>(xmax), n);
}

template <class F = double>
std::vector<F> sampled(const Grid1D<F>& g, auto f) {
    std::vector<F> u(g.n);
    for (std::size_t i = 0; i < g.n; ++i) u[i] = from_f64<F>(f(real_part(g.node(i))));
    return u;
}

TEST(ChebyshevNodes, CorrectlyRoundedCosines) {
    if (LDBL_MANT_DIG < 64) GTEST_SKIP() << "needs an extended-precision long double as reference";
    const long double pi = 3.141592653589793238462643383279502884L;
    for (std::uint64_t m : kAllM) {
        for (std::uint64_t j = 0; j <= m; ++j) {
            // Reference with ~1e-19 relative error: reduce to [0, pi/4] so the
            // argument's rounding cannot be amplified by the cosine's slope.
            const std::uint64_t jj = 2 * j <= m ? j : m - j;
            const long double sign = 2 * j <= m ? 1.0L : -1.0L;
            const long double ref = 4 * jj <= m ? sign * std::cos(static_cast<long double>(jj) * pi / m)
                                                : sign * std::sin(static_cast<long double>(m - 2 * jj) * pi / (2 * m));
            const double got = chebyshev_node(m, j);
            const long double half_ulp = (std::nextafter(std::fabs(got), 2.0) - std::fabs(got)) / 2.0L;
            // Within half an ulp (plus the reference's own error) means correctly rounded.
            EXPECT_LE(std::fabs(static_cast<long double>(got) - ref), half_ulp + 1e-18L * std::fabs(ref))
                << "M=" << m << " j=" << j;
        }
        EXPECT_EQ(chebyshev_node(m, m / 2), 0.0);
        EXPECT_EQ(chebyshev_node(m, m / 4), std::sqrt(0.5));
        EXPECT_EQ(chebyshev_node(m, 0), 1.0);
        EXPECT_EQ(chebyshev_node(m, m), -1.0);
    }
}

TEST(ChebyshevSample, BarycentricMatchesLagrangeThroughHermiteNodeValues) {
    // Data no rule reproduces exactly: whatever the node values are, the
    // result must be the degree-M polynomial through them.
    const Grid1D<double> g = cgrid(BoundaryPolicy<double>::reflect(), -0.5, 2.0, 23);
    const auto u = sampled(g, [](double x) { return std::exp(x) * std::sin(3.0 * x); });
    const double c = 0.75, h = 1.25;
    for (std::uint64_t m : {8u, 16u}) {
        std::vector<long double> xs(m + 1), fs(m + 1);
        for (std::uint64_t j = 0; j <= m; ++j) {
            xs[j] = c + h * chebyshev_node(m, j);
            fs[j] = hermite7_sample<double>(u, g, static_cast<double>(xs[j]));
        }
        for (double x : {-0.49, -0.1, 0.3337, 1.0, 1.61, 1.999}) {
            long double lag = 0.0L;
            for (std::uint64_t j = 0; j <= m; ++j) {
                long double l = 1.0L;
                for (std::uint64_t q = 0; q <= m; ++q)
                    if (q != j) l *= (x - xs[q]) / (xs[j] - xs[q]);
                lag += l * fs[j];
            }
            // The barycentric form is backward stable: a few ulps of the data scale.
            EXPECT_NEAR(*chebyshev_sample<double>(u, g, m, x), static_cast<double>(lag), 1e-13) << m << " " << x;
        }
    }
}

TEST(ChebyshevSample, ExactHitsReturnTheHermiteNodeValue) {
    const Grid1D<double> g = cgrid(BoundaryPolicy<double>::reflect(), 0.0, 1.0, 4);
    const std::vector<double> u = {1.0, -2.0, 0.5, 3.0};
    EXPECT_EQ(*chebyshev_sample<double>(u, g, 8, 0.5), hermite7_sample<double>(u, g, 0.5));
    EXPECT_EQ(*chebyshev_sample<double>(u, g, 8, 0.0), 1.0);
    EXPECT_EQ(*chebyshev_sample<double>(u, g, 8, 1.0), 3.0);
}

TEST(ChebyshevSample, AffineDataUnderLinearPolicyIsExactEverywhere) {
    // Linear continuation, the Hermite rule and the interpolant all reproduce
    // a straight line, inside and beyond both ends.
    const Grid1D<double> g = cgrid(BoundaryPolicy<double>::of(BoundaryTag::Linear), -1.0, 3.0, 41);
    const auto line = [](double x) { return 0.75 - 2.5 * x; };
    const auto u = sampled(g, line);
    for (std::uint64_t m : kAllM)
        for (double x : {-7.0, -1.0001, -0.3, 0.123, 2.9, 3.5, 40.0})
            // The chord spans h(1 - cos(pi/M)) ~ h*pi^2/(2M^2): its slope
            // carries ~eps*M^2 relative rounding, times the distance.
            EXPECT_NEAR(*chebyshev_sample<double>(u, g, m, x), line(x), 1e-15 * double(m * m) * (1.0 + std::fabs(x)))
                << "M=" << m << " x=" << x;
}

// Functions whose extension by the policy is the function itself, so the
// Hermite node values are accurate up to the ends and beyond.
struct SmoothCase {
    BoundaryTag tag;
    double (*f)(double);
    double (*df)(double);
};
const double kPi = std::numbers::pi;
const SmoothCase kSmooth[] = {
    {BoundaryTag::Reflect, [](double x) { return std::cos(2 * kPi * x); }, [](double x) { return -2 * kPi * std::sin(2 * kPi * x); }},
    {BoundaryTag::OddReflect, [](double x) { return std::sin(kPi * x); }, [](double x) { return kPi * std::cos(kPi * x); }},
    {BoundaryTag::RobinImage, [](double x) { return std::cos(kPi * x); }, [](double x) { return -kPi * std::sin(kPi * x); }},
};

class ChebyshevSmooth : public ::testing::TestWithParam<SmoothCase> {};

template <class F>
BoundaryPolicy<F> smooth_policy(BoundaryTag t) {
    // RobinImage with alpha = 0 is an undamped mirror, the even extension.
    return t == BoundaryTag::RobinImage ? BoundaryPolicy<F>::robin_image(from_f64<F>(0.0), from_f64<F>(1.0))
                                        : BoundaryPolicy<F>::of(t);
}

TEST_P(ChebyshevSmooth, AccurateInsideAndFoldedOutside) {
    const SmoothCase sc = GetParam();
    const Grid1D<double> g = cgrid(smooth_policy<double>(sc.tag), 0.0, 1.0, 201);
    const Grid1D<Dual1> gd = cgrid<Dual1>(smooth_policy<Dual1>(sc.tag), 0.0, 1.0, 201);
    const auto u = sampled(g, sc.f);
    const auto ud = sampled<Dual1>(gd, sc.f);
    for (double x : {-2.3, -0.25, 0.0, 0.1, 0.4999, 0.93, 1.25, 7.7}) {
        // Degree-7 Hermite at dx = 5e-3 and degree 32 on an entire function:
        // both errors are far below 1e-9.
        EXPECT_NEAR(*chebyshev_sample<double>(u, g, 32, x), sc.f(x), 1e-9) << x;
        // The derivative of the interpolant through the dual instance (not
        // at x = 0, an end node, where the node value is taken as is).
        if (x == 0.0) continue;
        const Dual1 r = *chebyshev_sample<Dual1>(ud, gd, 32, Dual1(x, 1.0));
        EXPECT_NEAR(r.v, sc.f(x), 1e-9) << x;
        EXPECT_NEAR(r.d, sc.df(x), 1e-6) << x;  // one derivative of a 1e-9 interpolation error, times M^2
    }
}

INSTANTIATE_TEST_SUITE_P(FoldingPolicies, ChebyshevSmooth, ::testing::ValuesIn(kSmooth));

TEST(ChebyshevSample, HyperDualCarriesSecondDerivative) {
    const Grid1D<Dual2> g = cgrid<Dual2>(BoundaryPolicy<Dual2>::reflect(), 0.0, 1.0, 201);
    const auto u = sampled<Dual2>(g, [](double x) { return std::cos(2 * kPi * x); });
    const double x = 0.37;
    const Dual2 X(Dual1(x, 1.0), Dual1(1.0, 0.0));
    const Dual2 r = *chebyshev_sample<Dual2>(u, g, 64, X);
    const double w = 2 * kPi;
    EXPECT_NEAR(r.v.v, std::cos(w * x), 1e-9);
    EXPECT_NEAR(r.v.d, -w * std::sin(w * x), 1e-6);   // first derivative, as above
    EXPECT_NEAR(r.d.d, -w * w * std::cos(w * x), 1e-3);  // second derivative amplifies by another M^2
}

TEST(ChebyshevSample, ConstantsUnderEveryPolicy) {
    const double k = 2.5;
    struct Case {
        BoundaryPolicy<double> p;
        bool extends_constant;  // the policy continues constant data by the same constant
        double outside;         // expected value beyond the ends
    } cases[] = {
        {BoundaryPolicy<double>::reflect(), true, k},
        {BoundaryPolicy<double>::of(BoundaryTag::Periodic), true, k},
        {BoundaryPolicy<double>::of(BoundaryTag::Clamp), true, k},
        {BoundaryPolicy<double>::of(BoundaryTag::Linear), true, k},
        {BoundaryPolicy<double>::of(BoundaryTag::Zero), false, 0.0},
        {BoundaryPolicy<double>::constant(-4.0), false, -4.0},
    };
    for (const Case& c : cases) {
        const Grid1D<double> g = cgrid(c.p, -2.0, 1.0, 9);
        const std::vector<double> u(9, k);
        for (std::uint64_t m : {8u, 512u}) {
            if (c.extends_constant) {
                for (double x : {-1.3, 0.0, 0.77}) EXPECT_NEAR(*chebyshev_sample<double>(u, g, m, x), k, 1e-13);
            }
            for (double x : {-1e9, -2.6, 1.4, 123.0}) {
                EXPECT_NEAR(*chebyshev_sample<double>(u, g, m, x), c.outside, 1e-13)
                    << "tag=" << int(c.p.tag) << " x=" << x;
            }
        }
        // The single-precision instance folds with floor and its own constants.
        const Grid1D<float> gf = *Grid1D<float>::make({c.p.tag, static_cast<float>(c.p.p1), static_cast<float>(c.p.p2)},
                                                      InterpKind::septic(), -2.0f, 1.0f, 9);
        const std::vector<float> uf(9, static_cast<float>(k));
        for (float x : {-5.5f, -0.5f, 3.25f}) {
            if (!c.extends_constant && x == -0.5f) continue;
            EXPECT_NEAR(*chebyshev_sample<float>(uf, gf, 16, x), x < -2.0f || x > 1.0f ? c.outside : k, 1e-4);  // f32 rounding over the 17-term barycentric sums
        }
    }
}

TEST(ChebyshevSample, FoldsMapToTheMirroredOrShiftedPoint) {
    const Grid1D<double> g0 = cgrid(BoundaryPolicy<double>::reflect(), 0.0, 1.0, 21);
    const auto u = sampled(g0, [](double x) { return x * x * x - x + 0.2; });
    auto with = [&](BoundaryTag t) {
        Grid1D<double> g = g0;
        g.boundary.tag = t;
        return g;
    };
    const Grid1D<double> per = with(BoundaryTag::Periodic), ref = with(BoundaryTag::Reflect),
                         odd = with(BoundaryTag::OddReflect);
    Grid1D<double> robin = g0;
    robin.boundary = BoundaryPolicy<double>::robin_image(1.0, 1.0);
    // The Robin image damping belongs to the node stencils, not to the fold.
    EXPECT_EQ(*chebyshev_sample<double>(u, robin, 16, -0.25), *chebyshev_sample<double>(u, robin, 16, 0.25));
    EXPECT_EQ(*chebyshev_sample<double>(u, per, 16, 1.25), *chebyshev_sample<double>(u, per, 16, 0.25));
    EXPECT_EQ(*chebyshev_sample<double>(u, per, 16, -0.75), *chebyshev_sample<double>(u, per, 16, 0.25));
    EXPECT_EQ(*chebyshev_sample<double>(u, ref, 16, -0.25), *chebyshev_sample<double>(u, ref, 16, 0.25));
    EXPECT_EQ(*chebyshev_sample<double>(u, ref, 16, 1.75), *chebyshev_sample<double>(u, ref, 16, 0.25));
    EXPECT_EQ(*chebyshev_sample<double>(u, odd, 16, -0.25), -*chebyshev_sample<double>(u, odd, 16, 0.25));
    // Far points fold in one step and stay finite.
    EXPECT_TRUE(std::isfinite(*chebyshev_sample<double>(u, ref, 16, 1e300)));
    EXPECT_TRUE(std::isfinite(*chebyshev_sample<double>(u, per, 16, -1e300)));
}

TEST(ChebyshevSample, RejectsBadMBeforeAnythingElse) {
    const Grid1D<double> g = cgrid(BoundaryPolicy<double>::reflect());
    const std::vector<double> u(g.n, 1.0);
    for (std::uint64_t m : {0u, 1u, 4u, 12u, 100u, 1024u}) {
        const auto r = chebyshev_sample<double>(u, g, m, std::nan(""));
        ASSERT_FALSE(r) << m;
        EXPECT_EQ(r.error(), CoreError::domain("Chebyshev M must be in {8,16,32,64,128,256,512}", double(m)));
    }
    EXPECT_TRUE(chebyshev_sample<double>(u, g, 512, 0.3));
    EXPECT_FALSE((chebyshev_sample<Dual2>({}, Grid1D<Dual2>{}, 3, Dual2(0.0))));
}

TEST(ChebyshevSample, NonFinitePointIsAnErrorThroughInterp) {
    // Reached through Grid1D::interp, which hands over the effective grid.
    Grid1D<double> g = cgrid(BoundaryPolicy<double>::reflect());
    g.interp_kind = InterpKind::chebyshev(16);
    const std::vector<double> u(g.n, 1.0);
    for (double x : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        const auto r = g.interp(u, x);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().display(), CoreError::domain("Grid1D::interp: evaluation point must be finite", x).display());
    }
    // The Chebyshev boundary override replaces the grid's own policy.
    g.interp_kind = InterpKind::chebyshev(16, ChebyshevBoundary::Zero);
    EXPECT_EQ(*g.interp(u, 1.5), 0.0);
    EXPECT_NEAR(*g.interp(u, 0.5), 1.0, 1e-14);
}

}  // namespace
}  // namespace quorvane
