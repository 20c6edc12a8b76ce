// Chebyshev sampling: the node table against a high-precision cosine, the
// barycentric interpolant against an independent Lagrange evaluation,
// reproduction of polynomial data, folding beyond the ends under each
// policy, derivatives of the dual instances, and the errors.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cstdint>
#include <cmath>
#include <numbers>
#include <vector>

#include "core/foundation/dual.hpp"
#include "core/foundation/grid_chebyshev.hpp"
#include "core/foundation/grid_fn.hpp"

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
        // A point on a Chebyshev node (here the centre) takes the node value itself.
        EXPECT_EQ(*chebyshev_sample<double>(u, g, m, c), hermite7_sample<double>(u, g, c));
    }
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

template <class F>
BoundaryPolicy<F> smooth_policy(BoundaryTag t) {
    // RobinImage with alpha = 0 is an undamped mirror, the even extension.
    return t == BoundaryTag::RobinImage ? BoundaryPolicy<F>::robin_image(from_f64<F>(0.0), from_f64<F>(1.0))
                                        : BoundaryPolicy<F>::of(t);
}

TEST(ChebyshevSample, AccurateInsideAndFoldedOutsideWithDualDerivative) {
    // Functions whose extension by the policy is the function itself, so the
    // Hermite node values are accurate up to the ends and beyond.
    constexpr double pi = std::numbers::pi;
    const std::pair<BoundaryTag, double (*)(double)> cases[] = {
        {BoundaryTag::Reflect, [](double x) { return std::cos(2 * pi * x); }},
        {BoundaryTag::OddReflect, [](double x) { return std::sin(pi * x); }},
        {BoundaryTag::RobinImage, [](double x) { return std::cos(pi * x); }}};
    for (auto [tag, f] : cases) {
        const Grid1D<double> g = cgrid(smooth_policy<double>(tag), 0.0, 1.0, 201);
        const Grid1D<Dual1> gd = cgrid<Dual1>(smooth_policy<Dual1>(tag), 0.0, 1.0, 201);
        const auto u = sampled(g, f);
        const auto ud = sampled<Dual1>(gd, f);
        for (double x : {-2.3, -0.25, 0.1, 0.4999, 0.93, 1.25, 7.7}) {
            // Degree-7 Hermite at dx = 5e-3 and degree 32 on an entire function:
            // both errors are far below 1e-9.
            EXPECT_NEAR(*chebyshev_sample<double>(u, g, 32, x), f(x), 1e-9) << int(tag) << " " << x;
            const Dual1 r = *chebyshev_sample<Dual1>(ud, gd, 32, Dual1(x, 1.0));
            EXPECT_EQ(r.v, *chebyshev_sample<double>(u, g, 32, x));
            // One derivative of a 1e-9 interpolation error, times M^2; the
            // reference difference quotient is good to 1e-10.
            EXPECT_NEAR(r.d, (f(x + 1e-6) - f(x - 1e-6)) / 2e-6, 1e-6) << int(tag) << " " << x;
        }
    }
}

TEST(ChebyshevSample, ConstantsBeyondTheEndsPerPolicyInBothPrecisions) {
    // Policies not covered by the folds below: the value beyond the ends of
    // constant data 2.5. Tolerance: rounding of the barycentric sums (f32: 1e-4).
    const std::pair<BoundaryPolicy<double>, double> cases[] = {{BoundaryPolicy<double>::of(BoundaryTag::Clamp), 2.5},
                                                               {BoundaryPolicy<double>::of(BoundaryTag::Linear), 2.5},
                                                               {BoundaryPolicy<double>::of(BoundaryTag::Zero), 0.0},
                                                               {BoundaryPolicy<double>::constant(-4.0), -4.0}};
    for (const auto& [p, outside] : cases) {
        const Grid1D<double> g = cgrid(p, -2.0, 1.0, 9);
        const Grid1D<float> gf = *Grid1D<float>::make({p.tag, static_cast<float>(p.p1), static_cast<float>(p.p2)},
                                                      InterpKind::septic(), -2.0f, 1.0f, 9);
        for (double x : {-1e9, -2.6, 1.4, 123.0}) {
            for (std::uint64_t m : {8u, 512u})
                EXPECT_NEAR(*chebyshev_sample<double>(std::vector<double>(9, 2.5), g, m, x), outside, 1e-13) << x;
            if (std::fabs(x) > 10) continue;  // f32 slope rounding would grow with the distance under Linear
            EXPECT_NEAR(*chebyshev_sample<float>(std::vector<float>(9, 2.5f), gf, 16, float(x)), outside, 1e-4) << x;
        }
    }
}

TEST(ChebyshevSample, FoldsMapToTheMirroredOrShiftedPoint) {
    const Grid1D<double> g0 = cgrid(BoundaryPolicy<double>::reflect(), 0.0, 1.0, 21);
    const auto u = sampled(g0, [](double x) { return x * x * x - x + 0.2; });
    auto at = [&](BoundaryPolicy<double> p, double x) {
        Grid1D<double> g = g0;
        g.boundary = p;
        return *chebyshev_sample<double>(u, g, 16, x);
    };
    const auto per = BoundaryPolicy<double>::of(BoundaryTag::Periodic), ref = BoundaryPolicy<double>::reflect(),
               robin = BoundaryPolicy<double>::robin_image(1.0, 1.0);
    // The Robin image damping belongs to the node stencils, not to the fold.
    EXPECT_EQ(at(robin, -0.25), at(robin, 0.25));
    EXPECT_NEAR(at(per, 1.30), at(per, 0.25), 1e-13);  // the grid's period n*dx = 1.05; the fold rounds
    EXPECT_NEAR(at(per, -0.80), at(per, 0.25), 1e-13);
    EXPECT_EQ(at(ref, 1.75), at(ref, 0.25));
    EXPECT_EQ(at(BoundaryPolicy<double>::of(BoundaryTag::OddReflect), -0.25),
              -at(BoundaryPolicy<double>::of(BoundaryTag::OddReflect), 0.25));
    // Far points fold in one step and stay finite.
    EXPECT_TRUE(std::isfinite(at(ref, 1e300)));
    EXPECT_TRUE(std::isfinite(at(per, -1e300)));
}

// Periodic reads follow the grid's period n*dx, also in the seam cell past
// xmax: a smooth function of that period is read to interpolation accuracy.
TEST(ChebyshevSample, PeriodicReadsAcrossTheSeam) {
    Grid1D<double> g = cgrid(BoundaryPolicy<double>::of(BoundaryTag::Periodic), 0.0, 1.0, 21);  // period 1.05
    const double w = 2.0 * std::numbers::pi / 1.05;
    const auto f = [&](double x) { return std::cos(w * x) + 0.5 * std::sin(2.0 * w * x); };
    const std::vector<double> u = sampled(g, f);
    g.interp_kind = InterpKind::chebyshev(64);
    for (double x : {1.0 + 1e-12, 1.01, 1.025, 1.049, 1.05, 1.07, -0.01, -0.04, 3.17, -2.2}) {
        EXPECT_NEAR(*g.interp(u, x), f(x), 2e-6) << x;  // degree-7 Hermite on 21 nodes of two periods
    }
}

// Reads planned once and made side by side give interp's bits: inside, on a
// Chebyshev node, and beyond either end under each folding or constant
// policy; a policy that continues the grid function itself beyond the ends
// is not planned, nor is a point that is not finite.
TEST(ChebyshevReadPlan, SameBitsAsInterpOnEveryPolicy) {
    const InterpKind kind = InterpKind::chebyshev(32);
    std::vector<double> points;
    for (int k = -150; k <= 250; ++k) points.push_back(0.0137 * k - 0.31);  // 401 reads: 7 blocks, [-2.4, 3.1]
    points.push_back(0.5 + 0.5 * chebyshev_node(32, 5));                      // a node of the interpolant
    for (BoundaryTag tag : {BoundaryTag::Reflect, BoundaryTag::Periodic, BoundaryTag::Zero, BoundaryTag::OddReflect,
                            BoundaryTag::Constant}) {
        BoundaryPolicy<double> p = BoundaryPolicy<double>::of(tag);
        p.p1 = 0.25;
        Grid1D<double> g = cgrid(p);
        g.interp_kind = kind;
        const std::vector<double> u = sampled(g, [](double x) { return std::exp(x) * std::sin(7.0 * x); });
        ChebyshevSamples samples;
        samples.fill(u, g);
        ChebyshevReadPlan plan;
        ASSERT_TRUE(plan.make(g, points)) << int(tag);
        std::vector<double> got(points.size());
        plan.run(samples, got.data());
        for (std::size_t r = 0; r < points.size(); ++r) {
            const double want = *g.interp(u, points[r]);
            EXPECT_EQ(std::bit_cast<std::uint64_t>(got[r]), std::bit_cast<std::uint64_t>(want))
                << int(tag) << " at " << points[r];
        }
    }
    for (BoundaryTag tag : {BoundaryTag::Linear, BoundaryTag::Clamp}) {
        Grid1D<double> g = cgrid(BoundaryPolicy<double>::of(tag));
        g.interp_kind = kind;
        ChebyshevReadPlan plan;
        EXPECT_TRUE(plan.make(g, std::vector<double>{0.0, 0.5, 1.0}));
        EXPECT_FALSE(plan.make(g, std::vector<double>{0.5, 1.01}));
    }
    Grid1D<double> g = cgrid(BoundaryPolicy<double>::reflect());
    g.interp_kind = kind;
    ChebyshevReadPlan plan;
    EXPECT_FALSE(plan.make(g, std::vector<double>{0.5, std::nan("")}));
    g.interp_kind = InterpKind::chebyshev(24);
    EXPECT_FALSE(plan.make(g, std::vector<double>{0.5}));
}

TEST(ChebyshevSample, BadMBeforeAnythingElseNonFinitePointsThroughInterp) {
    Grid1D<double> g = cgrid(BoundaryPolicy<double>::reflect());
    const std::vector<double> u(g.n, 1.0);
    for (std::uint64_t m : {0u, 1u, 12u, 1024u})
        EXPECT_EQ(chebyshev_sample<double>(u, g, m, std::nan("")).error(),
                  CoreError::domain("Chebyshev M must be in {8,16,32,64,128,256,512}", double(m)));
    EXPECT_FALSE((chebyshev_sample<Dual2>({}, Grid1D<Dual2>{}, 3, Dual2(0.0))));
    g.interp_kind = InterpKind::chebyshev(16);
    for (double x : {std::nan(""), HUGE_VAL, -HUGE_VAL})
        EXPECT_EQ(g.interp(u, x).error().display(),
                  CoreError::domain("Grid1D::interp: evaluation point must be finite", x).display());
    // The Chebyshev boundary override replaces the grid's own policy.
    g.interp_kind = InterpKind::chebyshev(16, ChebyshevBoundary::Zero);
    EXPECT_EQ(*g.interp(u, 1.5), 0.0);
}

}  // namespace
}  // namespace quorvane
