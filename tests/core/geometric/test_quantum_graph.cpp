// Kirchhoff heat on metric graphs: a single edge's Neumann mode at first
// order, the spacing-weighted vertex mean (mass of unequal arms), constants.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <numbers>
#include <vector>

#include "core/foundation/stop.hpp"
#include "core/geometric/quantum_graph.hpp"

namespace quorvane {
namespace {

constexpr double kPi = std::numbers::pi;

std::vector<double> evolve(const QuantumGraph& g, std::vector<double> u, double t, std::size_t n) {
    const QuantumGraphHeatChernoff op = *QuantumGraphHeatChernoff::make(g);
    return *op.evolve(std::move(u), t, n);
}

// Trapezoidal mass of every edge, the quantity the vertex mean keeps.
double mass(const QuantumGraph& g, const std::vector<double>& u) {
    const std::size_t n = g.n_per_edge();
    double m = 0.0;
    for (std::size_t e = 0; e < g.n_edges; ++e) {
        double s = 0.5 * (u[e * n] + u[e * n + n - 1]);
        for (std::size_t i = 1; i + 1 < n; ++i) s += u[e * n + i];
        m += s * g.edge_lengths[e] / static_cast<double>(n - 1);
    }
    return m;
}

// cos(pi x / L) with reflecting ends decays like exp(-(pi/L)^2 t / 2); the
// error halves with tau.
TEST(QuantumGraphHeat, SingleEdgeCosineModeFirstOrder) {
    const double L = 2.0, t = 0.4;
    const std::size_t n = 201;
    const QuantumGraph g = *QuantumGraph::path(1, L, n);
    std::vector<double> u0(n), exact(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double x = L * static_cast<double>(i) / (n - 1);
        u0[i] = std::cos(kPi * x / L);
        exact[i] = std::exp(-0.5 * (kPi / L) * (kPi / L) * t) * u0[i];
    }
    double prev = 0.0;
    for (std::size_t steps : {10, 20, 40}) {
        const std::vector<double> u = evolve(g, u0, t, steps);
        double err = 0.0;
        for (std::size_t i = 0; i < n; ++i) err = std::max(err, std::abs(u[i] - exact[i]));
        if (prev > 0.0) {
            EXPECT_NEAR(prev / err, 2.0, 0.2) << steps;
        }
        prev = err;
    }
}

// Arms 1, 2, 3 on a star: the hub takes the mean weighted by the end
// spacings h_e = L_e / (n - 1), which keeps the trapezoidal mass; an
// unweighted mean gained 46 % by t = 0.5.
TEST(QuantumGraphHeat, StarWithUnequalArmsKeepsItsMass) {
    const std::size_t n = 32;
    const QuantumGraph g = *QuantumGraph::make({{0, 1}, {0, 2}, {0, 3}}, {1.0, 2.0, 3.0}, n);
    const VertexProjection hub = *g.vertex_projection(0);
    ASSERT_EQ(hub.degree(), 3u);
    for (std::size_t k = 0; k < 3; ++k) EXPECT_DOUBLE_EQ(hub.ends[k].weight, (k + 1.0) / (n - 1));
    std::vector<double> u0(3 * n);
    for (std::size_t e = 0; e < 3; ++e) {
        for (std::size_t i = 0; i < n; ++i) {
            const double x = (e + 1.0) * static_cast<double>(i) / (n - 1);
            u0[e * n + i] = std::exp(-x * x);
        }
    }
    const double h = 1.0 / (n - 1);
    const std::vector<double> u = evolve(g, u0, 0.5, static_cast<std::size_t>(std::ceil(0.5 / (h * h))));
    // The edge steps keep the mass to O(h^2) near the reflecting ends.
    EXPECT_NEAR(mass(g, u) / mass(g, u0), 1.0, 1e-3);
}

// A step of a star of 2^22 arms takes seconds: a pending stop request ends a
// step on either road (arms stepped apart, or a chain joined into one
// interval) before its work.
TEST(QuantumGraphHeat, PendingStopEndsAStep) {
    std::atomic<bool> stop{true};
    const ScopedStopFlag flag(stop);
    for (const QuantumGraph& g : {*QuantumGraph::make({{0, 1}, {0, 2}, {0, 3}}, {1.0, 2.0, 0.5}, 8),
                                  *QuantumGraph::make({{0, 1}, {1, 2}}, {1.0, 1.0}, 8)}) {
        const QuantumGraphHeatChernoff op = *QuantumGraphHeatChernoff::make(g);
        const std::vector<double> in(g.n_edges * 8, 1.0);
        std::vector<double> out(in.size(), 0.0);
        EXPECT_EQ(op.step(in, out, 1e-4).error().variant(), CoreError::Variant::CallbackFailed);
    }
}

TEST(QuantumGraphHeat, ConstantsStayOnACycleAndAStar) {
    for (const QuantumGraph& g : {*QuantumGraph::make({{0, 1}, {1, 2}, {2, 0}}, {1.0, 1.0, 1.0}, 8),
                                  *QuantumGraph::make({{0, 1}, {0, 2}, {0, 3}}, {1.0, 2.0, 0.5}, 8)}) {
        const std::vector<double> u = evolve(g, std::vector<double>(3 * 8, 2.5), 0.01, 1000);
        for (double v : u) EXPECT_NEAR(v, 2.5, 1e-12);
    }
}

}  // namespace
}  // namespace quorvane
