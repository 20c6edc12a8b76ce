// The serial whole-grid heat2 step over double and over dual numbers: the
// double instance against the stepping form of Heat1D bit for bit, the dual
// instances against central differences of the double step in theta.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "core/line/diffusion.hpp"
#include "core/line/state.hpp"

namespace quorvane {
namespace {

template <class F>
Grid1D<F> grid_of(InterpTag kind, std::size_t n) {
    return *Grid1D<F>::make(BoundaryPolicy<F>::of(BoundaryTag::Reflect), InterpKind::of(kind), from_f64<F>(-1.0),
                            from_f64<F>(2.0), n);
}

std::vector<double> bump(std::size_t n) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double x = -1.0 + 3.0 * static_cast<double>(i) / static_cast<double>(n - 1);
        v[i] = std::exp(-4.0 * (x - 1.6) * (x - 1.6)) + 0.3 * std::cos(2.0 * x);
    }
    return v;
}

// a(x) = theta (1 + 0.3 sin x) and its derivatives, over any number type
// whose point may carry a derivative (the drift foot does).
template <class F>
struct VarCoef {
    static F sin_(const F& x) {
        if constexpr (std::is_same_v<F, double>) return std::sin(x);
        else return F(VarCoef<decltype(x.v)>::sin_(x.v), x.d * VarCoef<decltype(x.v)>::cos_(x.v));
    }
    static F cos_(const F& x) {
        if constexpr (std::is_same_v<F, double>) return std::cos(x);
        else return F(VarCoef<decltype(x.v)>::cos_(x.v), -(x.d * VarCoef<decltype(x.v)>::sin_(x.v)));
    }
};

DiffusionChernoff var_kernel(double theta, const Grid1D<double>& g) {
    return {CoeffSource::shared(make_coeff([theta](double x) { return theta * (1.0 + 0.3 * std::sin(x)); }),
                                make_coeff([theta](double x) { return theta * 0.3 * std::cos(x); }),
                                make_coeff([theta](double x) { return -theta * 0.3 * std::sin(x); })),
            g, 1.3 * theta};
}

DualDiffusionChernoff<Dual1> dual_var_kernel(double theta, const Grid1D<Dual1>& g) {
    using S = VarCoef<Dual1>;
    const Dual1 th(theta, 1.0);
    DualCoeffSource<Dual1> c;
    c.a = [th](const Dual1& x) { return th * (Dual1(1.0) + Dual1(0.3) * S::sin_(x)); };
    c.a1 = [th](const Dual1& x) { return th * Dual1(0.3) * S::cos_(x); };
    c.a2 = [th](const Dual1& x) { return -(th * Dual1(0.3) * S::sin_(x)); };
    return {c, g, 1.3 * theta};
}

class SerialMatchesStepping : public ::testing::TestWithParam<std::tuple<bool, std::size_t>> {};

// Heat1D steps through shared node samples (variable a) or a step plan
// (constant a, several steps), on worker shares for large n: the serial step
// must give the same bits.
TEST_P(SerialMatchesStepping, BitForBit) {
    const auto [variable, n] = GetParam();
    const Grid1D<double> g = grid_of<double>(InterpTag::SepticHermite, n);
    const DiffusionChernoff k = variable ? var_kernel(0.7, g) : DiffusionChernoff{CoeffSource::constant(0.7), g, 0.7};
    const double tau = 0.004;
    const std::size_t steps = 5;
    GridFn<double> u{g, bump(n)};
    const std::vector<double> fast = *evolve_values(k, g, u.values, tau, steps);
    for (std::size_t s = 0; s < steps; ++s) u = *k.apply_serial(u, tau);
    ASSERT_EQ(u.values.size(), fast.size());
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(u.values[i], fast[i]) << "node " << i;
}

INSTANTIATE_TEST_SUITE_P(Heat2, SerialMatchesStepping,
                         ::testing::Combine(::testing::Bool(), ::testing::Values<std::size_t>(41, 5000)));

class TangentMatchesDifferences : public ::testing::TestWithParam<std::tuple<bool, InterpTag>> {};

// d/dtheta of one step by the dual instance against central differences of
// the double instance (h = 1e-5: truncation ~h^2 u''' ~ 1e-10, rounding
// ~1e-16/h ~ 1e-11).
TEST_P(TangentMatchesDifferences, OneStep) {
    const auto [variable, kind] = GetParam();
    const std::size_t n = 41;
    const double theta = 0.7, tau = 0.01, h = 1e-5;
    const Grid1D<double> g = grid_of<double>(kind, n);
    const Grid1D<Dual1> gd = grid_of<Dual1>(kind, n);
    const std::vector<double> u = bump(n);
    auto step = [&](double th) {
        const DiffusionChernoff k = variable ? var_kernel(th, g) : DiffusionChernoff{CoeffSource::constant(th), g, th};
        return *diffusion_step_serial<double>(k, u, tau);
    };
    const DualDiffusionChernoff<Dual1> kd =
        variable ? dual_var_kernel(theta, gd)
                 : DualDiffusionChernoff<Dual1>{DualCoeffSource<Dual1>::constant(Dual1(theta, 1.0)), gd, theta};
    const std::vector<double> t = *apply_tangent(kd, u, tau);
    const std::vector<double> up = step(theta + h), um = step(theta - h);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(t[i], (up[i] - um[i]) / (2.0 * h), 2e-8) << "node " << i;
}

INSTANTIATE_TEST_SUITE_P(Heat2, TangentMatchesDifferences,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values(InterpTag::CubicHermite, InterpTag::SepticHermite)));

// Both seeds on theta: the two first-derivative parts are the Dual<double>
// tangent, the mixed part its central difference in theta.
TEST(Heat2, HyperDualSecondDerivative) {
    const std::size_t n = 41;
    const double theta = 0.7, tau = 0.01, h = 1e-5;
    const std::vector<double> u = bump(n);
    const Grid1D<Dual1> gd = grid_of<Dual1>(InterpTag::SepticHermite, n);
    auto tangent = [&](double th) {
        return *apply_tangent({DualCoeffSource<Dual1>::constant(Dual1(th, 1.0)), gd, th}, u, tau);
    };
    const Grid1D<Dual2> g2 = grid_of<Dual2>(InterpTag::SepticHermite, n);
    const DualDiffusionChernoff<Dual2> k2{DualCoeffSource<Dual2>::constant(Dual2(Dual1(theta, 1.0), Dual1(1.0, 0.0))),
                                          g2, theta};
    std::vector<Dual2> u2(n);
    for (std::size_t i = 0; i < n; ++i) u2[i] = Dual2(u[i]);
    const std::vector<Dual2> out = *diffusion_step_serial<Dual2>(k2, u2, Dual2(tau));
    const std::vector<double> t = tangent(theta), tp = tangent(theta + h), tm = tangent(theta - h);
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_DOUBLE_EQ(out[i].v.d, t[i]);
        EXPECT_DOUBLE_EQ(out[i].d.v, t[i]);
        EXPECT_NEAR(out[i].d.d, (tp[i] - tm[i]) / (2.0 * h), 2e-7) << "node " << i;
    }
}

TEST(Heat2, SerialStepChecksTauAndLength) {
    const Grid1D<double> g = grid_of<double>(InterpTag::CubicHermite, 8);
    const DiffusionChernoff k{CoeffSource::constant(1.0), g, 1.0};
    const std::vector<double> u(8, 1.0);
    EXPECT_EQ(diffusion_step_serial<double>(k, u, -1e-3).error(), CoreError::domain("tau must be finite and >= 0", -1e-3));
    EXPECT_EQ(diffusion_step_serial<double>(k, std::vector<double>(7, 1.0), 1e-3).error(),
              CoreError::domain("values.len() must equal grid.n", 7.0));
}

}  // namespace
}  // namespace quorvane
