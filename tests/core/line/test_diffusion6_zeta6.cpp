// The heat6 node step: moments of its quadrature and consistency with the
// divergence form. Its temporal order and the second rung's nesting are
// checked through the classes in the Python suite.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/line/diffusion6_zeta6.hpp"

namespace quorvane {
namespace {

Grid1D<double> grid(double xmin, double xmax, std::size_t n, BoundaryTag tag) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::of(tag), InterpKind::septic(), xmin, xmax, n);
}

GridFn<double> sampled(const Grid1D<double>& g, double (*f)(double)) {
    std::vector<double> v(g.n);
    for (std::size_t i = 0; i < g.n; ++i) v[i] = f(g.node(i));
    return GridFn<double>{g, v};
}

// The seven-point rule matches the Gaussian moments up to the sixth, so the
// step is exact on x^6: x^6 + 30 s x^4 + 180 s^2 x^2 + 120 s^3 with s = a tau
// (interior nodes, where Hermite sampling reproduces sextics).
TEST(Heat6Node, ExactOnSexticForConstantCoefficient) {
    const Grid1D<double> g = grid(-4.0, 4.0, 161, BoundaryTag::Reflect);
    const GridFn<double> u = sampled(g, [](double x) { return std::pow(x, 6); });
    for (double c : {1.0, 0.4}) {
        Diffusion6thChernoff k = Diffusion6thChernoff::unit(g);
        if (c != 1.0) k.coef_override = CoeffSource::constant(c);
        const double tau = 0.01, s = c * tau;
        for (std::size_t i = 60; i <= 100; i += 8) {
            const double x = g.node(i);
            const double want = std::pow(x, 6) + 30.0 * s * std::pow(x, 4) + 180.0 * s * s * x * x + 120.0 * s * s * s;
            auto v = k.apply_node(u, i, tau);
            ASSERT_TRUE(v);
            EXPECT_NEAR(*v, want, 1e-11) << "c=" << c << " x=" << x;  // rounding of sums of values up to ~1e2
        }
    }
}

// As for heat4: on u = x^3 with a = 1 + 0.1 x^2, (a u')' maps span{x, x^3}
// into itself, so e^{tau L} x^3 is known and one step must miss it by
// O(tau^3) through all three correction terms (a u'' alone: O(tau)).
TEST(Heat6Node, VariableCoefficientIsSecondOrderInDivergenceForm) {
    const Grid1D<double> g = grid(-2.0, 2.0, 401, BoundaryTag::Linear);
    const GridFn<double> u = sampled(g, [](double x) { return x * x * x; });
    Diffusion6thChernoff k = Diffusion6thChernoff::unit(g);
    k.a = [](double x) { return 1.0 + 0.1 * x * x; };
    k.a_prime = [](double x) { return 0.2 * x; };
    k.a_double_prime = [](double) { return 0.2; };
    const std::size_t i = 250;
    const double x = g.node(i);
    double prev = 0.0;
    for (double tau : {2e-2, 1e-2, 5e-3}) {
        const double exact = std::exp(1.2 * tau) * x * x * x + 6.0 * (std::exp(1.2 * tau) - std::exp(0.2 * tau)) * x;
        const double e = std::fabs(*k.apply_node(u, i, tau) - exact);
        if (prev > 0.0) {
            EXPECT_NEAR(std::log2(prev / e), 3.0, 0.05) << tau;  // measured within 0.01
        }
        prev = e;
    }
}

}  // namespace
}  // namespace quorvane
