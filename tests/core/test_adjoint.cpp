// Adjoint evolution: the reversed drift transports the other way, and on a
// periodic grid every adjoint step is the transpose of the forward step.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/adjoint.hpp"

namespace quorvane {
namespace {

GridFn<double> state_of(BoundaryTag tag, double xmin, double xmax, std::size_t n, auto f) {
    const auto g = *Grid1D<double>::make(BoundaryPolicy<double>::of(tag), InterpKind::septic(), xmin, xmax, n);
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = f(g.node(i));
    return *GridFn<double>::make(g, std::move(v));
}

double gauss(double x) { return std::exp(-x * x); }

TEST(Adjoint, DriftMovesAlongOrAgainstTheCharacteristic) {
    const double b = 0.5, t = 2.0;
    for (bool self_adjoint : {true, false}) {
        auto e = *AdjointEvolver::build(KernelName::Drift, self_adjoint,
                                        state_of(BoundaryTag::Zero, -10.0, 10.0, 401, gauss));
        EXPECT_EQ(e.self_adjoint, self_adjoint);
        auto r = e.evolve(e.state.values, t, 20);
        ASSERT_TRUE(r);
        // Forward: u(x + b t); reversed characteristic: u(x - b t). Constant b
        // makes both feet exact; what remains is interpolation (dx = 0.05).
        const double shift = self_adjoint ? b * t : -b * t;
        double err = 0.0;
        for (std::size_t i = 0; i < r->size(); ++i) {
            err = std::max(err, std::fabs((*r)[i] - gauss(e.state.grid.node(i) + shift)));
        }
        EXPECT_LT(err, 1e-7) << self_adjoint;
    }
}

// Matrix of one step (column j = step of the j-th unit vector).
std::vector<std::vector<double>> step_matrix(const AdjointEvolver& e, double tau) {
    const std::size_t n = e.state.grid.n;
    std::vector<std::vector<double>> cols;
    for (std::size_t j = 0; j < n; ++j) {
        std::vector<double> ej(n, 0.0);
        ej[j] = 1.0;
        cols.push_back(*e.evolve(ej, tau, 1));
    }
    return cols;
}

class AdjointTranspose : public ::testing::TestWithParam<KernelName> {};

TEST_P(AdjointTranspose, AdjointStepIsTheTransposeOnAPeriodicGrid) {
    // Periodic grid, constant coefficients: every step is a circulant whose
    // taps are the interpolation weights at the shifted feet. Reversing the
    // feet mirrors the taps, which for the reflection-symmetric interpolant
    // is the transpose, so <F* v, u> = <v, F u> up to rounding.
    const auto s = state_of(BoundaryTag::Periodic, 0.0, 1.0, 32, [](double) { return 0.0; });
    auto fwd = *AdjointEvolver::build(GetParam(), true, s);
    auto adj = *AdjointEvolver::build(GetParam(), false, s);
    const double tau = 3e-4;
    const auto F = step_matrix(fwd, tau);
    const auto Fa = step_matrix(adj, tau);
    double asym = 0.0;
    for (std::size_t i = 0; i < 32; ++i)
        for (std::size_t j = 0; j < 32; ++j) asym = std::max(asym, std::fabs(Fa[j][i] - F[i][j]));
    // Feet are rounded in x (a few ulps), which moves the weights by about
    // ulp/dx = 3e-15 per tap.
    EXPECT_LT(asym, 1e-13);
}

INSTANTIATE_TEST_SUITE_P(Kernels, AdjointTranspose,
                         ::testing::Values(KernelName::Heat2, KernelName::Heat4, KernelName::Heat6,
                                           KernelName::Drift, KernelName::Shift));

TEST(Adjoint, OrdersFlagsAndValidation) {
    const auto s = state_of(BoundaryTag::Reflect, 0.0, 1.0, 16, gauss);
    for (KernelName k : {KernelName::Heat2, KernelName::Heat4, KernelName::Heat6, KernelName::Shift}) {
        auto e = *AdjointEvolver::build(k, false, s);
        EXPECT_TRUE(e.self_adjoint);
        EXPECT_EQ(e.order(), k == KernelName::Shift ? 1 : 2);
    }
    auto e = *AdjointEvolver::build(KernelName::Drift, false, s);
    EXPECT_EQ(e.order(), 2);
    std::vector<double> bad = s.values;
    bad[3] = INFINITY;
    auto r = e.evolve(bad, 0.1, 2);
    ASSERT_FALSE(r);
    EXPECT_STREQ(r.error().text(), "all values must be finite (no NaN/Inf)");
    EXPECT_STREQ(e.evolve(std::vector<double>(15, 0.0), 0.1, 2).error().text(), "values.len() must equal grid.n");
}

TEST(KernelSelect, CheckedStateOrder) {
    const auto r = BoundaryPolicy<double>::reflect();
    const std::vector<double> nan4{0.0, std::nan(""), 0.0, 0.0};
    // Grid first, then length, then finiteness.
    EXPECT_STREQ(make_checked_state(r, 1.0, 0.0, 4, nan4).error().text(), "xmin must be < xmax");
    EXPECT_STREQ(make_checked_state(r, 0.0, 1.0, 5, nan4).error().text(), "values.len() must equal grid.n");
    EXPECT_STREQ(make_checked_state(r, 0.0, 1.0, 4, nan4).error().text(), "all values must be finite (no NaN/Inf)");
}

}  // namespace
}  // namespace quorvane
