// Off-grid evaluation Grid1D::interp: polynomial exactness of each Hermite
// kind and its miss one degree higher, node values and constants under the
// policies, accuracy up to the ends, the errors, single precision and
// dual-number derivatives against finite differences.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/foundation/dual.hpp"
#include "core/foundation/grid_fn.hpp"

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

template <class F = double>
std::vector<F> samples(const Grid1D<double>& g, auto f) {
    std::vector<F> u;
    for (std::size_t i = 0; i < g.n; ++i) u.push_back(F(f(g.node(i))));
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
    for (std::int64_t i = k.left; i + k.right < static_cast<std::int64_t>(g.n); ++i)
        for (double t : {0.0, 0.13, 0.5, 0.77, 0.999}) {
            const double x = g.xmin + g.dx() * (static_cast<double>(i) + t);
            worst = std::max(worst, std::abs(*g.interp(u, x) - poly(degree, x)));
        }
    return worst;
}

TEST_P(HermiteKind, ExactUpToItsDegreeAndNotOneHigher) {
    // Values O(1); the widest stencil amplifies rounding by ~10.
    for (int d = 0; d <= kind().exact_degree; ++d) EXPECT_LT(max_interior_error(kind(), d), 1e-13) << d;
    // The next degree leaves an error far above rounding: the check above can fail.
    EXPECT_GT(max_interior_error(kind(), kind().exact_degree + 1), 1e-9);
}

TEST_P(HermiteKind, NodeValuesExactAndConstantsKeptBeyondTheEnds) {
    for (BoundaryTag b : {BoundaryTag::Reflect, BoundaryTag::Zero, BoundaryTag::Periodic, BoundaryTag::Linear,
                          BoundaryTag::Clamp}) {
        const Grid1D<double> g = grid(kind().tag, b);
        // Rough, non-smooth samples: the estimates are large but carry weight 0.
        const auto u = samples(g, [&](double x) { return std::sin(7.3 * x * x) * (3.0 + x); });
        for (std::size_t i = 0; i < g.n; ++i) EXPECT_EQ(*g.interp(u, g.node(i)), u[i]) << i;
        if (b == BoundaryTag::Zero) continue;
        const std::vector<double> c(g.n, 1.7);
        for (double x : {-1.0 - 3.3 * 0.125, -1.01, 0.2, 1.0 + 10.7 * 0.125, 57.3, -1e6}) {
            // Linear extrapolation multiplies the end slope's rounding (~1e-16)
            // by the distance in cells.
            const double tol = b == BoundaryTag::Linear ? 1e-13 * (1.0 + std::abs(x) / 0.125) : 1e-13;
            EXPECT_NEAR(*g.interp(c, x), 1.7, tol) << static_cast<int>(b) << " x " << x;
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
    auto fp = [](double x) { return std::sin(2.0 * std::acos(-1.0) * x / (3.0 * 61.0 / 60.0)); };
    const auto up = samples(p, fp);
    for (double c = -3.0; c < 68.0; c += 0.37) {
        const double xr = r.xmin + r.dx() * c, xp = p.xmin + p.dx() * c;
        EXPECT_NEAR(*r.interp(ur, xr), std::cos(2.0 * xr), tol) << "reflect cell " << c;
        EXPECT_NEAR(*p.interp(up, xp), fp(xp), tol) << "periodic cell " << c;
    }
}

TEST(InterpZeroPolicy, CubicThreeCellsOutIsZeroSepticStillSeesTheGrid) {
    // The cubic's taps reach one node past its cell, the septic's four.
    const std::vector<double> u(17, 1.0);
    const double x = 1.0 + 3.0 * 0.125 + 0.05;
    EXPECT_EQ(*grid(InterpTag::CubicHermite, BoundaryTag::Zero).interp(u, x), 0.0);
    EXPECT_NE(*grid(InterpTag::SepticHermite, BoundaryTag::Zero).interp(u, x), 0.0);
}

TEST(InterpErrors, UnsupportedKindNonFiniteAndUnresolvablePoints) {
    const std::vector<double> u(17, 1.0);
    EXPECT_EQ(grid(InterpTag::Linear).interp(u, 0.0).error().display(),
              "feature not supported in this build: linear-interp (enable with --features linear-interp)");
    const Grid1D<double> g = grid(InterpTag::SepticHermite);
    EXPECT_EQ(g.interp(u, std::numeric_limits<double>::quiet_NaN()).error().display(),
              "domain violation: Grid1D::interp: evaluation point must be finite (value = NaN)");
    EXPECT_EQ(g.interp(u, -HUGE_VAL).error(), CoreError::domain("Grid1D::interp: evaluation point must be finite", -HUGE_VAL));
    // 2^54 cells out no cell can be told apart from its neighbour; 8e12 cells
    // out still can, and the policy applies (the distance needs 64 bits).
    EXPECT_FALSE(g.interp(u, 0.125 * 9007199254740992.0 * 2));
    EXPECT_NEAR(*g.interp(u, 1e12), 1.0, 1e-12);
}

TEST(InterpFloat, MatchesDoubleOnQuadraticsAndRejectsTheLinearKind) {
    auto make = [](InterpKind k) {
        return *Grid1D<float>::make(BoundaryPolicy<float>::reflect(), k, -1.0f, 1.0f, 17, kCubicNMessage);
    };
    const Grid1D<double> gd = grid(InterpTag::SepticHermite);
    const auto ud = samples(gd, [](double x) { return poly(2, x); });
    const std::vector<float> uf(ud.begin(), ud.end());
    for (double x : {-1.0, -0.41, 0.0625, 0.333, 0.45})  // a node, then cells 4..11 with stencils inside
        // Single-precision rounding (6e-8) amplified by the stencil weights.
        EXPECT_NEAR(*make(InterpKind::septic()).interp(uf, static_cast<float>(x)), *gd.interp(ud, x), 2e-6) << x;
    EXPECT_EQ(make(InterpKind::of(InterpTag::Linear)).interp(uf, 0.0f).error().variant(),
              CoreError::Variant::Unsupported);
}

template <class F>
Grid1D<F> lift(const Grid1D<double>& g) {
    return Grid1D<F>{BoundaryPolicy<F>::of(g.boundary.tag), g.interp_kind, F(g.xmin), F(g.xmax), g.n};
}

TEST_P(HermiteKind, DualDerivativesInXAndInTheSamples) {
    // First direction on x, second on the samples (derivative parts w_j).
    // The interpolant is linear in the samples: the second direction gives
    // I[w](x) and the mixed part d/dx I[w](x).
    auto f = [](double x) { return std::exp(0.7 * x) * std::cos(2.1 * x); };
    for (BoundaryTag b : {BoundaryTag::Reflect, BoundaryTag::Linear}) {
        const Grid1D<double> g = grid(kind().tag, b);
        const auto u = samples(g, f), w = samples(g, [](double x) { return std::cos(1.3 * x); });
        std::vector<Dual2> uw;
        for (std::size_t q = 0; q < g.n; ++q) uw.push_back(Dual2(Dual1(u[q]), Dual1(w[q])));
        auto dx = [&](const std::vector<double>& v, double x) {
            return lift<Dual1>(g).interp(std::vector<Dual1>(v.begin(), v.end()), Dual1(x, 1.0))->d;
        };
        for (double x : {-1.3, -0.97, -0.31, 0.0517, 0.6, 0.99, 1.2}) {
            const Dual2 r = *lift<Dual2>(g).interp(uw, Dual2(Dual1(x, 1.0), Dual1(0.0)));
            EXPECT_EQ(r.v.v, *g.interp(u, x));  // the same double arithmetic on the value parts
            // h keeps x +- h inside one cell (a polynomial there): truncation ~h^2, rounding ~eps/h.
            const double h = 1e-6;
            EXPECT_NEAR(dx(u, x), (*g.interp(u, x + h) - *g.interp(u, x - h)) / (2 * h), 1e-8) << x;
            // The nested instance against the plain one: rounding only.
            EXPECT_NEAR(r.v.d, dx(u, x), 1e-12) << x;
            EXPECT_NEAR(r.d.v, *g.interp(w, x), 1e-12) << x;
            EXPECT_NEAR(r.d.d, dx(w, x), 1e-12) << x;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, HermiteKind, ::testing::Range(0, 3),
                         [](const auto& info) { return std::string(kKinds[info.param].name); });

}  // namespace
}  // namespace quorvane
