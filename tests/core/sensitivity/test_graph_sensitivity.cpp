// Edge-weight derivatives and the adjoint-state gradient of Magnus graph
// heat: central differences under a time-dependent Laplacian (so the
// commutator terms count), the batched sum bit for bit, the errors.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "core/foundation/parallel1d.hpp"
#include "core/sensitivity/graph_sensitivity.hpp"
#include "core/sensitivity/graph_sensitivity_helpers.hpp"

namespace quorvane {
namespace {

using Vec = std::vector<double>;

// A 6-node graph: a path plus two chords.
const std::vector<Edge<double>> kEdges = {{0, 1, 1.0}, {1, 2, 0.5}, {2, 3, 2.0}, {3, 4, 1.5},
                                          {4, 5, 0.75}, {0, 3, 0.25}, {1, 5, 1.25}};
constexpr std::uint64_t kN = 6;

SharedGraph graph_with(const std::vector<Edge<double>>& e) {
    return std::make_shared<const Graph<double>>(*Graph<double>::from_edges(kN, e));
}

// Weights that move in time, w_e(t) = w_e (1 + 0.5 sin(3t + e)), with
// edge `bumped` shifted by h at every time.
LaplacianProvider moving(std::size_t bumped, double h) {
    return [=](double t) -> Expected<SharedLaplacian> {
        std::vector<Edge<double>> e = kEdges;
        for (std::size_t k = 0; k < e.size(); ++k) e[k].w = e[k].w * (1.0 + 0.5 * std::sin(3.0 * t + k));
        if (bumped < e.size()) e[bumped].w += h;
        return std::make_shared<const Laplacian<double>>(
            Laplacian<double>::from_graph(*Graph<double>::from_edges(kN, e), LaplacianKind::Combinatorial));
    };
}

MagnusGraphHeatChernoff step_of(LaplacianProvider p) {
    return *MagnusGraphHeatChernoff::make(graph_with(kEdges), std::move(p), true, 8.0);
}

Vec signal(double f) {
    Vec v(kN);
    for (std::size_t i = 0; i < kN; ++i) v[i] = std::sin(f * (i + 1.0)) + 0.1 * i;
    return v;
}

double loss(const MagnusGraphHeatChernoff& m, const Vec& u0, const Vec& dj, std::uint64_t n_steps, double tau) {
    const Vec u = *magnus_evolve(m, u0, n_steps, tau);
    double s = 0.0;
    for (std::size_t i = 0; i < kN; ++i) s += dj[i] * u[i];
    return s;
}

TEST(GraphSensitivity, EdgeDerivativeAndItsErrors) {
    const Vec x = {1.0, 4.0, 2.5};
    Vec out(3, 7.0);
    ASSERT_TRUE(apply_edge_weight_deriv(2, 0, x, out));
    EXPECT_EQ(out, (Vec{1.5, 0.0, -1.5}));
    EXPECT_TRUE(std::signbit(out[1]));
    struct Bad {
        std::uint64_t i, j;
        const char* what;
        double value;
    };
    for (const Bad& b : {Bad{0, 3, "apply_edge_weight_deriv: index out of range", 3.0},
                         Bad{3, 3, "apply_edge_weight_deriv: index out of range", 3.0},
                         Bad{2, 2, "apply_edge_weight_deriv: self-loop (i==j)", 2.0}}) {
        Vec o(3, 7.0);
        const Status st = apply_edge_weight_deriv(b.i, b.j, x, o);
        ASSERT_FALSE(st);
        EXPECT_EQ(st.error(), CoreError::domain(b.what, b.value));
        EXPECT_EQ(o, Vec(3, 7.0));
    }
}

TEST(GraphSensitivity, ExponentDerivativeOfAConstantLaplacianIsTauDA) {
    const std::vector<EdgePair> pairs = {{1, 4}, {4, 1}};
    const EdgeWeightSensitivity sens(pairs);
    const Laplacian<double> l = Laplacian<double>::from_graph(*graph_with(kEdges), LaplacianKind::Combinatorial);
    const Vec u = signal(0.7);
    const double tau = 0.1;
    Vec out(kN), s1(kN), s2(kN), s3(kN);
    for (std::size_t k : {0, 1}) {
        ASSERT_TRUE(sens.apply_param_deriv(k, l, l, u, out, s1, s2, s3, tau));
        for (std::size_t i = 0; i < kN; ++i) {
            const double d = i == 1 ? -(u[1] - u[4]) : i == 4 ? u[1] - u[4] : 0.0;
            EXPECT_NEAR(out[i], tau * d, 1e-15);
        }
    }
    const Status st = sens.apply_param_deriv(2, l, l, u, out, s1, s2, s3, tau);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error(), CoreError::domain("EdgeWeightSensitivity: k out of range", 2.0));
}

// The exponent derivative under moving weights (L1 != L2, commutator on)
// against central differences of the exponent itself.
TEST(GraphSensitivity, ExponentDerivativeMatchesCentralDifferences) {
    const double tau = 0.2, h = 1e-5, t = 0.3;
    const std::vector<EdgePair> pairs = {{2, 3}};
    const EdgeWeightSensitivity sens(pairs);
    const Vec u = signal(0.4);
    Vec out(kN), s1(kN), s2(kN), s3(kN);
    auto omega_u = [&](double bump) {
        const LaplacianProvider p = moving(2, bump);
        Vec y(kN), r1(kN), r2(kN), r3(kN);
        magnus4_omega_apply<double>(**p(t + kGauss2C1 * tau), **p(t + kGauss2C2 * tau), u, y, r1, r2, r3, tau, 1.0);
        return y;
    };
    const LaplacianProvider p = moving(99, 0.0);
    ASSERT_TRUE(sens.apply_param_deriv(0, **p(t + kGauss2C1 * tau), **p(t + kGauss2C2 * tau), u, out, s1, s2, s3, tau));
    const Vec plus = omega_u(h), minus = omega_u(-h);
    for (std::size_t i = 0; i < kN; ++i) EXPECT_NEAR(out[i], (plus[i] - minus[i]) / (2 * h), 1e-9);
}

// Every edge, listed in a scrambled order with one pair reversed, against
// central differences of <dj, u_N> under the same moving weights.
TEST(GraphSensitivity, AdjointGradientMatchesCentralDifferences) {
    const std::vector<EdgePair> pairs = {{3, 0}, {0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 1}};
    const std::vector<std::size_t> edge_of = {5, 0, 1, 2, 3, 4, 6};
    const Vec u0 = signal(0.9), dj = signal(2.1);
    const std::uint64_t n_steps = 7;
    const double tau = 0.05, h = 1e-5;
    const MagnusGraphHeatChernoff m = step_of(moving(99, 0.0));
    Vec grad(pairs.size());
    ScratchPool<double> pool;
    ASSERT_TRUE(adjoint_state_gradient(m, u0, n_steps, dj, EdgeWeightSensitivity(pairs), grad, pool, tau));
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        const double fd = (loss(step_of(moving(edge_of[k], h)), u0, dj, n_steps, tau) -
                           loss(step_of(moving(edge_of[k], -h)), u0, dj, n_steps, tau)) /
                          (2 * h);
        EXPECT_NEAR(grad[k], fd, 1e-9) << "pair " << k;
    }
}

TEST(GraphSensitivity, AdjointGradientErrorsAndTrivialCases) {
    const MagnusGraphHeatChernoff m = step_of(moving(99, 0.0));
    const Vec u0 = signal(0.9), dj = signal(2.1);
    ScratchPool<double> pool;
    const std::vector<EdgePair> bad = {{0, 1}, {6, 2}};
    Vec grad(2, 5.0);
    ASSERT_TRUE(adjoint_state_gradient(m, u0, 0, dj, EdgeWeightSensitivity(bad), grad, pool, 0.1));
    EXPECT_EQ(grad, Vec(2, 0.0));
    Status st = adjoint_state_gradient(m, u0, 3, dj, EdgeWeightSensitivity(bad), grad, pool, 0.1);
    EXPECT_EQ(st.error(), CoreError::domain("apply_edge_weight_deriv: index out of range", 6.0));
    // The radius is tested by the forward sweep, before any pair.
    st = adjoint_state_gradient(m, u0, 3, dj, EdgeWeightSensitivity(bad), grad, pool, 0.25);
    EXPECT_EQ(st.error(), CoreError::out_of_magnus_radius(0.25, 8.0));
    Vec short_grad(1);
    st = adjoint_state_gradient(m, u0, 3, dj, EdgeWeightSensitivity(bad), short_grad, pool, 0.1);
    EXPECT_EQ(st.error(), CoreError::domain("adjoint_state_gradient: grad_theta.len() != n_params()", 1.0));
}

// The batched sum equals the sequential sum of single-column gradients bit
// for bit, whatever the number of workers.
TEST(GraphSensitivity, BatchedIsTheColumnOrderSumOfSingleColumns) {
    const SharedGraph g = graph_with(kEdges);
    const std::vector<EdgePair> pairs = all_edge_pairs(*g);
    ASSERT_EQ(pairs, (std::vector<EdgePair>{{0, 1}, {0, 3}, {1, 2}, {1, 5}, {2, 3}, {3, 4}, {4, 5}}));
    const std::size_t cols = 7;
    Vec u0(cols * kN), dj(cols * kN);
    for (std::size_t c = 0; c < cols; ++c) {
        const Vec a = signal(0.3 + c), b = signal(1.7 * c + 0.2);
        std::copy(a.begin(), a.end(), u0.begin() + c * kN);
        std::copy(b.begin(), b.end(), dj.begin() + c * kN);
    }
    const double tau = 0.04, rho = 10.0;
    Vec expect(pairs.size(), 0.0);
    for (std::size_t c = 0; c < cols; ++c) {
        const Vec one = *compute_edge_weight_grad(g, std::span(u0).subspan(c * kN, kN),
                                                  std::span(dj).subspan(c * kN, kN), pairs, tau, 5, rho);
        for (std::size_t k = 0; k < pairs.size(); ++k) expect[k] += one[k];
    }
    for (std::size_t workers : {1, 2, 3, 16}) {
        WorkerCountOverride w(workers);
        const Vec got = *adjoint_state_gradient_batched(g, u0, dj, pairs, tau, 5, rho);
        for (std::size_t k = 0; k < pairs.size(); ++k) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(got[k]), std::bit_cast<std::uint64_t>(expect[k])) << workers;
        }
    }
    auto err = [&](std::span<const double> a, std::span<const double> b) {
        return adjoint_state_gradient_batched(g, a, b, pairs, tau, 5, rho).error();
    };
    EXPECT_EQ(err(std::span(u0).first(3 * kN), std::span(dj).first(2 * kN)),
              CoreError::domain("adjoint_state_gradient_batched: u0_cols.len() != dj_cols.len()", 18.0));
    EXPECT_EQ(err(std::span(u0).first(2 * kN + 1), std::span(dj).first(2 * kN + 1)),
              CoreError::domain("adjoint_state_gradient_batched: u0_cols.len() not divisible by n_nodes", 13.0));
    // A bad pair fails every column alike; no partial result escapes.
    const std::vector<EdgePair> loop = {{2, 2}};
    WorkerCountOverride w(4);
    EXPECT_EQ(adjoint_state_gradient_batched(g, u0, dj, loop, tau, 5, rho).error(),
              CoreError::domain("apply_edge_weight_deriv: self-loop (i==j)", 2.0));
}

}  // namespace
}  // namespace quorvane
