// Shift kernel node step: the diffusion check and the coordinate it reports
// (accuracy, schedules and batches are checked from Python).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "core/line/drift_reaction.hpp"
#include "core/line/kept_in_range.hpp"
#include "core/line/shift1d.hpp"

namespace quorvane {
namespace {

TEST(ShiftNodeStep, RejectsBadDiffusionAtTheNodeCoordinate) {
    const auto g = *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0.0, 1.0, 11);
    const auto u = *GridFn<double>::make(g, std::vector<double>(11, 1.0));
    EXPECT_TRUE(ShiftChernoff1D::constant(g, -0.0, 0.0, 0.0).apply_node(u, 3, 0.1).has_value());
    for (double a : {-1e-300, std::nan(""), double(INFINITY)})
        EXPECT_EQ(ShiftChernoff1D::constant(g, a, 0.0, 0.0).apply_node(u, 3, 0.1).error(),
                  CoreError::domain(kShiftEllipticityMessage, g.node(3)));
}

// Without diffusion and drift all three reads are u_i itself: a decay rate
// scales it by exactly 1 + tau c, a growth rate adds tau c u_i.
TEST(ShiftNodeStep, PureReactionScalesOrAdds) {
    const auto g = *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0.0, 1.0, 11);
    const auto u = *GridFn<double>::make(g, std::vector<double>(11, 0.7));
    const double tau = 0.1;
    for (double c : {-10.0, -3.3, -0.0, 0.0, 2.5}) {
        const double want = c < 0.0 ? (1.0 + tau * c) * 0.7 : 0.7 + (tau * c) * 0.7;
        EXPECT_EQ(*ShiftChernoff1D::constant(g, 0.0, 0.0, c).apply_node(u, 4, tau), want) << c;
    }
}

// Shift and drift steps read through shared node samples, in run_steps and
// in apply_into alike: the node step's own bits, on any split, with drifts
// carrying reads within and beyond the samples' margin.
template <class K>
void expect_node_step_bits(const K& k, const std::vector<double>& u0, double tau) {
    std::vector<double> want = u0;
    for (int s = 0; s < 3; ++s) {
        GridFn<double> out{k.grid, {}};
        ASSERT_TRUE(par_apply_pointwise(out, k, GridFn<double>{k.grid, want}, tau));
        want = std::move(out.values);
    }
    for (std::size_t workers : {1, 3}) {
        WorkerCountOverride w(workers);
        auto got = evolve_values(k, k.grid, u0, tau, 3);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(std::memcmp(got->data(), want.data(), want.size() * sizeof(double)), 0) << workers;
    }
}

TEST(SampledSteps, ShiftAndDriftKeepTheNodeStepsBits) {
    for (BoundaryTag b : {BoundaryTag::Reflect, BoundaryTag::Zero, BoundaryTag::Periodic}) {
        const Grid1D<double> g = *Grid1D<double>::make(BoundaryPolicy<double>::of(b), InterpKind::septic(), -1, 2, 2500);
        std::vector<double> u0(g.n);
        for (std::size_t i = 0; i < g.n; ++i) u0[i] = std::sin(2.0 * g.node(i)) + 0.01 * std::cos(29.0 * i);
        const double tau = 2.0 * g.dx() * g.dx();
        for (double drift : {0.4, -3e3}) {  // a few cells, or hundreds (beyond the margin)
            expect_node_step_bits(ShiftChernoff1D::constant(g, 0.6, drift, -0.3), u0, tau);
            expect_node_step_bits(DriftReactionChernoff::constant(g, drift, 0.2, 0.2), u0, tau);
        }
    }
}

// Clipped steps: every share walks the range on by itself, so any split
// gives the bits of the steps taken one by one, each clipped to the range
// after it (rough data under a sign-changing drift and a reaction, so the
// clip acts at both ends while the range moves).
TEST(KeptInRange, EverySplitClipsAsStepByStep) {
    const Grid1D<double> g = *Grid1D<double>::make(BoundaryPolicy<double>::of(BoundaryTag::Periodic),
                                                   InterpKind::septic(), 0.0, 1.0, 600);
    std::vector<double> u0(g.n), b(g.n), c(g.n);
    for (std::size_t i = 0; i < g.n; ++i) {
        u0[i] = i % 7 < 3 ? -1.0 : 1.0;
        b[i] = std::sin(37.0 * i);
        c[i] = 0.3 * std::cos(5.0 * i);
    }
    auto sampled = [&](std::vector<double> v) {
        return sampled_coeff(std::make_shared<const std::vector<double>>(std::move(v)), g.xmin, g.dx());
    };
    const ShiftChernoff1D k = ShiftChernoff1D::from_arrays(constant_coeff(1e-5), sampled(b), sampled(c), g, 0.3);
    const double tau = 1e-3;
    const FlowRange start = *read_range(g, u0);
    const ReactionFactors f = reaction_factors(k, tau);
    std::vector<double> want = u0;
    FlowRange walked = start;
    bool clipped = false;
    for (int s = 0; s < 40; ++s) {
        GridFn<double> out{g, {}};
        ASSERT_TRUE(par_apply_pointwise(out, k, GridFn<double>{g, want}, tau));
        walked = walked.after(f);
        for (double& v : out.values) {
            clipped = clipped || v != walked.clip(v);
            v = walked.clip(v);
        }
        want = std::move(out.values);
    }
    ASSERT_TRUE(clipped);
    for (std::size_t workers : {1, 4}) {
        WorkerCountOverride w(workers);
        FlowRange range = start;
        auto got = evolve_values_in_range(k, g, u0, tau, 40, range);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(std::memcmp(got->data(), want.data(), want.size() * sizeof(double)), 0) << workers;
        EXPECT_EQ(range, walked);
    }
}

}  // namespace
}  // namespace quorvane
