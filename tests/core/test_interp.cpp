// Off-grid evaluation Grid1D::interp: polynomial exactness of each Hermite
// kind, node values, constants beyond the ends, the unsupported kind, the
// single-precision instance and dual-number derivatives.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/dual.hpp"
#include "core/grid_fn.hpp"

namespace quorvane {
namespace {

// [-1, 1] with 17 nodes: dx = 0.125 exactly, so node coordinates map back to
// integral cell positions without rounding.
Grid1D<double> grid(InterpTag kind, BoundaryTag b = BoundaryTag::Reflect, double xmin = -1.0, double xmax = 1.0,
                    std::size_t n = 17) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::of(b), InterpKind::of(kind), xmin, xmax, n);
}

double poly(int degree, double x) {
    // Coefficients of alternating sign and decreasing size keep values O(1).
    double v = 0.0;
    for (int q = degree; q >= 0; --q) v = v * x + (q % 2 ? -1.0 : 1.0) / (1.0 + q);
    return v;
}

std::vector<double> samples(const Grid1D<double>& g, auto f) {
    std::vector<double> u(g.n);
    for (std::size_t i = 0; i < g.n; ++i) u[i] = f(g.node(i));
    return u;
}

struct KindInfo {
    InterpTag tag;
    const char* name;
    int exact_degree;
    std::int64_t left, right;  // stencil reach around cell i: i-left .. i+right
};
const KindInfo kKinds[] = {{InterpTag::SepticHermite, "septic", 6, 4, 5},
                           {InterpTag::OctonicHermite, "octonic", 9, 5, 6},
                           {InterpTag::CubicHermite, "cubic", 2, 1, 2}};

class HermiteKind : public ::testing::TestWithParam<int> {
protected:
    const KindInfo& kind() const { return kKinds[GetParam()]; }
};

// Largest error over points in every cell whose stencil lies inside the grid.
double max_interior_error(const KindInfo& k, int degree) {
    const Grid1D<double> g = grid(k.tag);
    const auto u = samples(g, [&](double x) { return poly(degree, x); });
    double worst = 0.0;
    for (std::int64_t i = k.left; i + k.right < static_cast<std::int64_t>(g.n); ++i) {
        for (double t : {0.0, 0.13, 0.5, 0.77, 0.999}) {
            const double x = g.xmin + g.dx() * (static_cast<double>(i) + t);
            worst = std::max(worst, std::abs(*g.interp(u, x) - poly(degree, x)));
        }
    }
    return worst;
}

TEST_P(HermiteKind, ReproducesPolynomialsUpToItsDegree) {
    for (int d = 0; d <= kind().exact_degree; ++d) {
        // Values O(1); the widest stencil amplifies rounding by ~10.
        EXPECT_LT(max_interior_error(kind(), d), 1e-13) << kind().name << " degree " << d;
    }
}

TEST_P(HermiteKind, MissesTheNextDegree) {
    // One degree more must leave a visible error, far above rounding: this is
    // what makes the exactness test above mean something.
    EXPECT_GT(max_interior_error(kind(), kind().exact_degree + 1), 1e-9) << kind().name;
}

TEST_P(HermiteKind, NodeValuesReturnedExactly) {
    for (BoundaryTag b : {BoundaryTag::Reflect, BoundaryTag::Zero, BoundaryTag::Periodic, BoundaryTag::Linear}) {
        const Grid1D<double> g = grid(kind().tag, b);
        // Rough, non-smooth samples: the estimates are large but carry weight 0.
        std::vector<double> u(g.n);
        for (std::size_t i = 0; i < g.n; ++i) u[i] = std::sin(7.3 * i * i) * (1.0 + i);
        for (std::size_t i = 0; i < g.n; ++i) EXPECT_EQ(*g.interp(u, g.node(i)), u[i]) << i;
        EXPECT_EQ(*g.interp(u, g.xmax), u[g.n - 1]);
    }
}

TEST_P(HermiteKind, ConstantsPreservedBeyondTheEnds) {
    for (BoundaryTag b : {BoundaryTag::Reflect, BoundaryTag::Periodic, BoundaryTag::Clamp, BoundaryTag::Linear}) {
        const Grid1D<double> g = grid(kind().tag, b);
        const std::vector<double> u(g.n, 1.7);
        for (double x : {-1.0 - 3.3 * 0.125, -1.01, -0.93, 0.2, 0.99, 1.0 + 10.7 * 0.125, 57.3, -1e6}) {
            // Linear extrapolation multiplies the end slope's rounding (~1e-16)
            // by the distance in cells.
            const double tol = b == BoundaryTag::Linear ? 1e-13 * (1.0 + std::abs(x) / 0.125) : 1e-13;
            EXPECT_NEAR(*g.interp(u, x), 1.7, tol) << kind().name << " tag " << static_cast<int>(b) << " x " << x;
        }
    }
}

TEST_P(HermiteKind, SmoothExtensionsAreAccurateUpToTheEnds) {
    // cos(2x) on [0, pi] is even about both ends, so its mirror extension is
    // smooth; sin with period n*dx is smooth under the periodic wrap. Every
    // cell, boundary cells included, must then be as accurate as the interior.
    const double tol = kind().tag == InterpTag::CubicHermite ? 2e-5 : 1e-9;  // O(dx^4) vs O(dx^7), dx ~ 0.05
    const Grid1D<double> r = grid(kind().tag, BoundaryTag::Reflect, 0.0, std::acos(-1.0), 65);
    const auto ur = samples(r, [](double x) { return std::cos(2.0 * x); });
    const Grid1D<double> p = grid(kind().tag, BoundaryTag::Periodic, 0.0, 3.0, 61);
    const double period = 3.0 * 61.0 / 60.0;
    auto fp = [&](double x) { return std::sin(2.0 * std::acos(-1.0) * x / period); };
    const auto up = samples(p, fp);
    for (double c = -3.0; c < 68.0; c += 0.37) {
        const double xr = r.xmin + r.dx() * c, xp = p.xmin + p.dx() * c;
        EXPECT_NEAR(*r.interp(ur, xr), std::cos(2.0 * xr), tol) << kind().name << " reflect cell " << c;
        EXPECT_NEAR(*p.interp(up, xp), fp(xp), tol) << kind().name << " periodic cell " << c;
    }
}

TEST_P(HermiteKind, InteriorValueOfASmoothFunctionIsAccurate) {
    // A sanity check away from polynomials: sin on 17 nodes.
    const Grid1D<double> g = grid(kind().tag, BoundaryTag::Reflect);
    const auto u = samples(g, [](double x) { return std::sin(x); });
    // cubic: O(dx^3) ~ 2e-3 * small constant; Hermite kinds far tighter.
    const double tol = kind().tag == InterpTag::CubicHermite ? 1e-3 : 1e-7;
    EXPECT_NEAR(*g.interp(u, 0.3141), std::sin(0.3141), tol);
}

INSTANTIATE_TEST_SUITE_P(Kinds, HermiteKind, ::testing::Range(0, 3),
                         [](const auto& info) { return std::string(kKinds[info.param].name); });

TEST(InterpZeroPolicy, CubicThreeCellsOutIsZeroSepticStillSeesTheGrid) {
    const Grid1D<double> c = grid(InterpTag::CubicHermite, BoundaryTag::Zero);
    const Grid1D<double> s = grid(InterpTag::SepticHermite, BoundaryTag::Zero);
    const std::vector<double> u(17, 1.0);
    const double x = 1.0 + 3.0 * 0.125 + 0.05;
    EXPECT_EQ(*c.interp(u, x), 0.0);
    EXPECT_NE(*s.interp(u, x), 0.0);
}

TEST(InterpErrors, LinearKindIsUnsupportedForEveryNumberType) {
    const char* msg =
        "feature not supported in this build: linear-interp (enable with --features linear-interp)";
    const Grid1D<double> g = grid(InterpTag::Linear);
    const std::vector<double> u(17, 1.0);
    ASSERT_FALSE(g.interp(u, 0.0));
    EXPECT_EQ(g.interp(u, 0.0).error().display(), msg);
    const auto gf = *Grid1D<float>::make(BoundaryPolicy<float>::reflect(), InterpKind::of(InterpTag::Linear), -1.0f,
                                         1.0f, 17, kCubicNMessage);
    const std::vector<float> uf(17, 1.0f);
    EXPECT_EQ(gf.interp(uf, 0.0f).error().display(), msg);
}

TEST(InterpErrors, NonFiniteOrFarPointsAreReported) {
    const Grid1D<double> g = grid(InterpTag::SepticHermite);
    const std::vector<double> u(17, 1.0);
    const auto nan = g.interp(u, std::numeric_limits<double>::quiet_NaN());
    ASSERT_FALSE(nan);
    EXPECT_EQ(nan.error().variant(), CoreError::Variant::DomainViolation);
    EXPECT_TRUE(std::isnan(nan.error().f0()));
    const auto inf = g.interp(u, -std::numeric_limits<double>::infinity());
    ASSERT_FALSE(inf);
    EXPECT_EQ(inf.error().f0(), -std::numeric_limits<double>::infinity());
    // 2^53 cells out: no cell can be told apart from its neighbour.
    ASSERT_FALSE(g.interp(u, 0.125 * 9007199254740992.0 * 2));
    // Far but resolvable points follow the policy.
    EXPECT_NEAR(*g.interp(u, 1e12), 1.0, 1e-12);
}

// ---------------------------------------------------------------------------
// Single precision

TEST(InterpFloat, MatchesDoubleAndIsExactOnQuadratics) {
    const auto gf = *Grid1D<float>::make(BoundaryPolicy<float>::reflect(), InterpKind::septic(), -1.0f, 1.0f, 17,
                                         kCubicNMessage);
    const Grid1D<double> gd = grid(InterpTag::SepticHermite);
    std::vector<float> uf(17);
    std::vector<double> ud(17);
    for (std::size_t i = 0; i < 17; ++i) {
        ud[i] = poly(2, gd.node(i));
        uf[i] = static_cast<float>(ud[i]);
    }
    for (std::size_t i = 0; i < 17; ++i) EXPECT_EQ(*gf.interp(uf, gf.node(i)), uf[i]);
    for (double x : {-0.41, 0.0625, 0.333, 0.45}) {  // cells 4..11: stencils inside
        // Single-precision rounding (6e-8) amplified by the stencil weights.
        EXPECT_NEAR(*gf.interp(uf, static_cast<float>(x)), poly(2, x), 2e-6) << x;
        EXPECT_NEAR(*gf.interp(uf, static_cast<float>(x)), *gd.interp(ud, x), 2e-6) << x;
    }
}

// ---------------------------------------------------------------------------
// Dual numbers: derivatives carried through the interpolant.

template <class F>
Grid1D<F> lift(const Grid1D<double>& g) {
    return Grid1D<F>{BoundaryPolicy<F>::of(g.boundary.tag), g.interp_kind, F(g.xmin), F(g.xmax), g.n};
}

class DualInterp : public ::testing::TestWithParam<int> {};

TEST_P(DualInterp, DerivativeInXMatchesCentralDifference) {
    const KindInfo& k = kKinds[GetParam()];
    for (BoundaryTag b : {BoundaryTag::Reflect, BoundaryTag::Linear}) {
        const Grid1D<double> g = grid(k.tag, b);
        const auto u = samples(g, [](double x) { return std::exp(0.7 * x) * std::cos(2.1 * x); });
        const Grid1D<Dual1> gd = lift<Dual1>(g);
        std::vector<Dual1> ud;
        for (double v : u) ud.push_back(Dual1(v));
        for (double x : {-1.3, -0.97, -0.31, 0.0517, 0.6, 0.99, 1.2}) {
            const Dual1 r = *gd.interp(ud, Dual1(x, 1.0));
            // Same double arithmetic on the value parts.
            EXPECT_EQ(r.v, *g.interp(u, x));
            // h small enough to stay inside one cell (the interpolant is a
            // polynomial there): truncation ~h^2, rounding ~eps/h ~ 1e-10.
            const double h = 1e-6;
            const double fd = (*g.interp(u, x + h) - *g.interp(u, x - h)) / (2 * h);
            EXPECT_NEAR(r.d, fd, 1e-8) << k.name << " x " << x;
        }
    }
}

TEST_P(DualInterp, DerivativeInXIsExactOnPolynomials) {
    const KindInfo& k = kKinds[GetParam()];
    const Grid1D<double> g = grid(k.tag);
    const int d = k.exact_degree;
    const auto u = samples(g, [&](double x) { return poly(d, x); });
    const Grid1D<Dual1> gd = lift<Dual1>(g);
    std::vector<Dual1> ud;
    for (double v : u) ud.push_back(Dual1(v));
    auto dpoly = [&](double x) {
        const double h = 1e-5;  // exact polynomial: 5-point derivative, error ~h^4
        return (poly(d, x - 2 * h) - 8 * poly(d, x - h) + 8 * poly(d, x + h) - poly(d, x + 2 * h)) / (12 * h);
    };
    const double xs[] = {-1.0 + 0.125 * (k.left + 0.4), 0.07, 1.0 - 0.125 * (k.right + 0.3)};
    for (double x : xs) EXPECT_NEAR(gd.interp(ud, Dual1(x, 1.0))->d, dpoly(x), 1e-9) << k.name << " " << x;
}

TEST_P(DualInterp, DerivativeInASampleMatchesPerturbation) {
    const KindInfo& k = kKinds[GetParam()];
    const Grid1D<double> g = grid(k.tag, BoundaryTag::Linear);
    const auto u = samples(g, [](double x) { return 1.0 / (1.5 + x); });
    const Grid1D<Dual1> gd = lift<Dual1>(g);
    for (std::size_t j : {std::size_t{0}, std::size_t{2}, std::size_t{8}, std::size_t{16}}) {
        std::vector<Dual1> ud;
        for (std::size_t q = 0; q < u.size(); ++q) ud.push_back(Dual1(u[q], q == j ? 1.0 : 0.0));
        auto up = u, um = u;
        up[j] += 0.5;
        um[j] -= 0.5;
        for (double x : {-1.2, -0.95, 0.0, 0.44, 0.93, 1.1}) {
            // The interpolant is linear in the samples: the difference is exact
            // up to rounding.
            const double fd = *g.interp(up, x) - *g.interp(um, x);
            EXPECT_NEAR(gd.interp(ud, Dual1(x))->d, fd, 1e-12) << k.name << " j " << j << " x " << x;
        }
    }
}

TEST_P(DualInterp, DerivativeInAGridBoundMatchesCentralDifference) {
    // Moving xmax stretches the grid under fixed samples; the quotient
    // s = (x - xmin)/dx carries that derivative into the result.
    const KindInfo& k = kKinds[GetParam()];
    const Grid1D<double> g = grid(k.tag, BoundaryTag::Reflect);
    const auto u = samples(g, [](double x) { return std::sin(1.7 * x) + 0.3 * x * x; });
    Grid1D<Dual1> gd = lift<Dual1>(g);
    gd.xmax = Dual1(g.xmax, 1.0);
    std::vector<Dual1> ud;
    for (double v : u) ud.push_back(Dual1(v));
    for (double x : {-0.83, 0.11, 0.52, 1.07}) {
        const double h = 1e-7;  // stays inside one cell; rounding ~eps/h ~ 1e-9
        Grid1D<double> gp = g, gm = g;
        gp.xmax += h;
        gm.xmax -= h;
        const double fd = (*gp.interp(u, x) - *gm.interp(u, x)) / (2 * h);
        EXPECT_NEAR(gd.interp(ud, Dual1(x))->d, fd, 1e-7) << k.name << " x " << x;
    }
}

TEST_P(DualInterp, HyperDualMixedDerivative) {
    // Direction 1 on x, direction 2 on sample 9: the mixed part is d/dx of
    // the weight of u_9, compared with a difference of dual x-derivatives.
    const KindInfo& k = kKinds[GetParam()];
    const Grid1D<double> g = grid(k.tag);
    const auto u = samples(g, [](double x) { return std::cos(1.3 * x); });
    const Grid1D<Dual2> gh = lift<Dual2>(g);
    const Grid1D<Dual1> gd = lift<Dual1>(g);
    const std::size_t j = 9;
    std::vector<Dual2> uh;
    for (std::size_t q = 0; q < u.size(); ++q) uh.push_back(Dual2(Dual1(u[q]), Dual1(q == j ? 1.0 : 0.0)));
    auto dx_at = [&](std::vector<double> v, double x) {
        std::vector<Dual1> vd;
        for (double y : v) vd.push_back(Dual1(y));
        return gd.interp(vd, Dual1(x, 1.0))->d;
    };
    auto up = u, um = u;
    up[j] += 0.5;
    um[j] -= 0.5;
    for (double x : {0.02, 0.13, 0.2, 0.31}) {
        const Dual2 r = *gh.interp(uh, Dual2(Dual1(x, 1.0), Dual1(0.0)));
        EXPECT_EQ(r.v.v, *g.interp(u, x));
        EXPECT_NEAR(r.v.d, dx_at(u, x), 1e-12);
        EXPECT_NEAR(r.d.v, *g.interp(up, x) - *g.interp(um, x), 1e-12);
        // Linear in the samples: the difference of x-derivatives is exact.
        EXPECT_NEAR(r.d.d, dx_at(up, x) - dx_at(um, x), 1e-10) << k.name << " x " << x;
        EXPECT_GT(std::abs(r.d.d), 1e-3);  // the weight of u_9 varies near node 9
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, DualInterp, ::testing::Range(0, 3),
                         [](const auto& info) { return std::string(kKinds[info.param].name); });

TEST(HyperDualSecondDerivative, BothDirectionsOnX) {
    // Seeding both directions on x gives f'' in the mixed part.
    const Grid1D<double> g = grid(InterpTag::SepticHermite);
    const auto u = samples(g, [](double x) { return poly(6, x); });
    const Grid1D<Dual2> gh = lift<Dual2>(g);
    std::vector<Dual2> uh;
    for (double v : u) uh.push_back(Dual2(v));
    const double x = 0.21;
    const Dual2 r = *gh.interp(uh, Dual2(Dual1(x, 1.0), Dual1(1.0, 0.0)));
    const double h = 1e-4;  // second difference of an exact degree-6 interpolant: error ~h^2
    const double fd2 = (poly(6, x + h) - 2 * poly(6, x) + poly(6, x - h)) / (h * h);
    EXPECT_NEAR(r.d.d, fd2, 1e-6);
    EXPECT_EQ(r.v.d, r.d.v);
}

}  // namespace
}  // namespace quorvane
