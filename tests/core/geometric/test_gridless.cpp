// Gridless steps: the Chernoff measure's moments in closed form, the dual
// identity on Fourier modes, first-order convergence to the Fokker-Planck
// flow, what the binning keeps, and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "core/geometric/gridless.hpp"

namespace quorvane {
namespace {

using Kind = GridlessPolicy::Kind;

GridlessEvolver unreduced(double a, double b, double c) { return {{Kind::GaussianBackground, 0}, a, b, c}; }

MeasureState two_atoms() { return MeasureState{{{0.3, 1.5}, {-1.0, -0.25}}, {}}; }

struct Moments {
    double mass, mean, var;
};
Moments moments(const MeasureState& m) {
    double m0 = 0.0, m1 = 0.0, v = 0.0;
    for (const Atom& a : m.atoms) m0 += a.w, m1 += a.x * a.w;
    const double mean = m1 / m0;
    for (const Atom& a : m.atoms) v += (a.x - mean) * (a.x - mean) * a.w;
    return {m0, mean, v / m0};
}

MeasureState evolved(const GridlessEvolver& ev, MeasureState m, double t, std::size_t n) {
    EXPECT_TRUE(gridless_evolve(ev, m, t, n));
    return m;
}

// One atom at x0: n steps of tau give mass (1 + tau c)^n, mean x0 + n b tau
// and variance n (2 a tau + b^2 tau^2), exactly.
TEST(Gridless, ChernoffMeasureMomentsInClosedForm) {
    const double a = 0.7, b = -0.4, c = 0.9, x0 = 1.25, t = 1.0;
    const std::size_t n = 9;
    const double tau = t / n;
    const Moments mo = moments(evolved(unreduced(a, b, c), MeasureState{{{x0, 2.0}}, {}}, t, n));
    // 3^9 weights summed: rounding of order 1e-12.
    EXPECT_NEAR(mo.mass, 2.0 * std::pow(1.0 + tau * c, n), 1e-11);
    EXPECT_NEAR(mo.mean, x0 + n * b * tau, 1e-12);
    EXPECT_NEAR(mo.var, n * (2.0 * a * tau + b * b * tau * tau), 1e-12);
}

// Without reduction the step is the dual of F(tau), and F(tau) maps the mode
// e^{i w x} to lambda e^{i w x}, lambda = (1 + tau c)(cos(w h)/2 + e^{i w k}/2).
TEST(Gridless, DualOfTheChernoffFunctionOnFourierModes) {
    const double a = 0.5, b = 0.3, c = -0.6, tau = 0.05, w = 2.3;
    const std::size_t n = 6;
    const MeasureState mu = two_atoms();
    const MeasureState out = evolved(unreduced(a, b, c), mu, n * tau, n);
    const double h = 2.0 * std::sqrt(a * tau), k = 2.0 * b * tau;
    const std::complex<double> lambda = (1.0 + tau * c) * (0.5 * std::cos(w * h) + 0.5 * std::polar(1.0, w * k));
    std::complex<double> before = 0.0;
    for (const Atom& at : mu.atoms) before += at.w * std::polar(1.0, w * at.x);
    double after = 0.0;
    for (const Atom& at : out.atoms) after += at.w * std::cos(w * at.x);
    EXPECT_NEAR(after, std::real(std::pow(lambda, static_cast<int>(n)) * before), 1e-13);
}

// Against the flow itself (mass e^{ct}, variance 2at): the error halves
// with tau. The variance error is b^2 t tau exactly.
TEST(Gridless, FirstOrderTowardsFokkerPlanck) {
    const double a = 1.0, b = 0.8, c = -1.0, t = 1.0;
    double prev_mass = 0.0, prev_var = 0.0;
    for (std::size_t n : {2, 4, 8}) {
        const Moments mo = moments(evolved(unreduced(a, b, c), MeasureState{{{0.0, 1.0}}, {}}, t, n));
        const double e_mass = std::fabs(mo.mass - std::exp(c * t)), e_var = std::fabs(mo.var - 2.0 * a * t);
        EXPECT_NEAR(e_var, b * b * t * t / n, 1e-12);
        EXPECT_NEAR(mo.mean, b * t, 1e-12);
        if (prev_mass > 0.0) {
            EXPECT_NEAR(prev_mass / e_mass, 2.0, 0.3);  // first order, ratio -> 2 as tau -> 0
            EXPECT_NEAR(prev_var / e_var, 2.0, 1e-9);
        }
        prev_mass = e_mass, prev_var = e_var;
    }
}

TEST(Gridless, BinningKeepsMassAndMeanAndStaysUnderTheCap) {
    const GridlessEvolver ev{{Kind::WeightedVoronoi, 64}, 1.0, 0.5, 0.0};
    MeasureState m = evolved(ev, MeasureState{{{0.0, 1.0}}, {}}, 1.0, 3);
    ASSERT_EQ(m.atoms.size(), 27u);  // 27 <= 64: nothing binned yet
    const Moments before = moments(evolved(unreduced(1.0, 0.5, 0.0), m, 0.25, 1));
    const MeasureState binned = evolved(ev, m, 0.25, 1);
    EXPECT_LE(binned.atoms.size(), 64u);
    EXPECT_LT(binned.atoms.size(), 81u);
    const Moments after = moments(binned);
    EXPECT_NEAR(after.mass, before.mass, 1e-14);
    EXPECT_NEAR(after.mean, before.mean, 1e-14);
    EXPECT_LT(after.var, before.var);  // the spread inside each bin is lost
}

TEST(Gridless, BinsThatCancelOrCoincide) {
    MeasureState dst;
    // a = b = c = 0: the three children coincide and one bin holds them all.
    ASSERT_TRUE(gridless_apply(1.0, {{Kind::WeightedVoronoi, 2}, 0.0, 0.0, 0.0}, MeasureState{{{1.5, 3.0}}, {}}, dst));
    ASSERT_EQ(dst.atoms.size(), 1u);
    EXPECT_DOUBLE_EQ(dst.atoms[0].x, 1.5);
    EXPECT_DOUBLE_EQ(dst.atoms[0].w, 3.0);
    // +1 and -1 at the same place cancel: no atom for that bin.
    ASSERT_TRUE(gridless_apply(1.0, {{Kind::WeightedVoronoi, 1}, 0.0, 0.0, 0.0},
                               MeasureState{{{0.0, 1.0}, {0.0, -1.0}}, {}}, dst));
    EXPECT_TRUE(dst.atoms.empty());
}

TEST(Gridless, RefusalsAndTheAtomLimit) {
    const MeasureState src{{{0.0, 1.0}}, {{0.0, 1.0, 2.0}}};
    MeasureState dst = two_atoms();
    const GridlessEvolver ev = unreduced(1.0, 0.0, 0.0);
    EXPECT_EQ(gridless_apply(-1.0, ev, src, dst).error(), CoreError::domain("gridless: tau must be finite and >= 0", -1.0));
    EXPECT_EQ(gridless_apply(1.0, unreduced(-1.0, 0.0, 0.0), src, dst).error(),
              CoreError::domain("gridless: diffusion coefficient a_j must be >= 0", -1.0));
    EXPECT_EQ(dst.atoms.size(), 2u);  // untouched by both
    EXPECT_EQ(gridless_apply(1.0, {{Kind::WeightedVoronoi, 0}, 1.0, 0.0, 0.0}, src, dst).error(),
              CoreError::domain("gridless: WeightedVoronoi cap must be >= 1", 0.0));
    // A non-finite weight stops the reduction, leaving the branched atoms.
    const MeasureState bad{{{0.0, 1.0}, {1.0, INFINITY}}, {}};
    EXPECT_EQ(gridless_apply(1.0, {{Kind::WeightedVoronoi, 1}, 1.0, 0.0, 0.0}, bad, dst).error(),
              CoreError::domain("gridless: non-finite weight in WeightedVoronoi reduction", INFINITY));
    EXPECT_EQ(dst.atoms.size(), 6u);
    // Components are copied, never moved.
    ASSERT_TRUE(gridless_apply(1.0, ev, src, dst));
    EXPECT_EQ(dst.gaussians.size(), 1u);
    EXPECT_EQ(dst.gaussians[0].var, 1.0);

    // One atom and 20 unreduced steps would be 3^20 atoms: refused up front.
    MeasureState state{{{0.0, 1.0}}, {}};
    EXPECT_EQ(ev.peak_atoms(1, 20), 3486784401u);
    EXPECT_EQ(gridless_evolve(ev, state, 1.0, 20).error(),
              CoreError::domain("gridless: atom count would exceed the limit of 67108864 (2^26)", 3486784401.0));
    EXPECT_EQ(state.atoms.size(), 1u);
    EXPECT_EQ(ev.peak_atoms(1, 16), 43046721u);  // 3^16 <= 2^26 still runs
    // With a cap the count settles at 3 cap, whatever the step count.
    EXPECT_EQ((GridlessEvolver{{Kind::WeightedVoronoi, 64}, 1.0, 0.0, 0.0}.peak_atoms(1, 1'000'000'000'000)), 192u);
    EXPECT_EQ(peak_atom_count(2, 4, 40, std::nullopt), std::nullopt);  // 2 * 4^40 overflows
    EXPECT_EQ(peak_atom_count(100, 3, 1, 64), 300u);
}

TEST(MeasureState, MomentRulesAndZip) {
    const MeasureState m{{{1.0, 2.0}, {-3.0, 0.5}}, {{1.0, 0.5, -2.0}}};
    EXPECT_DOUBLE_EQ(m.second_moment(), (1.0 + 0.5) * -2.0 + 6.5);
    EXPECT_DOUBLE_EQ(m.total_variation(), 2.0 + 2.5);
    const std::vector<double> x{1.0, 2.0, 3.0}, w{4.0, 5.0};
    const MeasureState z = zip_positions_weights(x, w);
    ASSERT_EQ(z.atoms.size(), 2u);
    EXPECT_EQ(z.atoms[1].x, 2.0);
    EXPECT_EQ(z.atoms[1].w, 5.0);
    EXPECT_EQ((MeasureState{{{1.0, NAN}}, {}}.first_non_finite().has_value()), true);
    EXPECT_FALSE(m.first_non_finite());
}

}  // namespace
}  // namespace quorvane
