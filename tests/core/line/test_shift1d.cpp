// Shift kernel node step: the diffusion check and the coordinate it reports
// (accuracy, schedules and batches are checked from Python).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/line/drift_reaction.hpp"
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

// A constant drift enters across one end; "linear" refuses to extrapolate
// what comes in there, at that end only.
TEST(TransportReads, LinearEndsRefuseAnInflowOnly) {
    const auto g = *Grid1D<double>::make(BoundaryPolicy<double>::of(BoundaryTag::Linear), InterpKind::septic(), 0, 1, 11);
    const auto u = *GridFn<double>::make(g, std::vector<double>(11, 1.0));
    for (double drift : {0.5, -0.5}) {
        const std::size_t in = drift > 0 ? 10 : 0, out = 10 - in;
        const auto shift = ShiftChernoff1D::constant(g, 0.1, drift, 0.0);
        const auto dr = DriftReactionChernoff::constant(g, drift, 0.0, 0.0);
        EXPECT_EQ(shift.apply_node(u, in, 0.01).error().text(), std::string(kLinearInflowMessage));
        EXPECT_EQ(dr.apply_node(u, in, 0.01).error().text(), std::string(kLinearInflowMessage));
        EXPECT_DOUBLE_EQ(*shift.apply_node(u, out, 0.01), 1.0);
        EXPECT_DOUBLE_EQ(*dr.apply_node(u, out, 0.01), 1.0);
    }
}

// Near a non-periodic end a transport read is the straight line between the
// cell's two policy values, whatever the Hermite stencil would give; away
// from the ends (and on a periodic grid) it is interp itself.
TEST(TransportReads, TwoPointReadOnlyWhereTheStencilReachesAGhost) {
    for (BoundaryTag b : {BoundaryTag::Reflect, BoundaryTag::Zero, BoundaryTag::Periodic}) {
        const auto g = *Grid1D<double>::make(BoundaryPolicy<double>::of(b), InterpKind::septic(), 0, 1, 21);
        std::vector<double> v(21);
        for (std::size_t i = 0; i < 21; ++i) v[i] = std::cos(7.0 * g.node(i));
        for (double x : {-0.13, 0.012, 0.17, 0.5, 0.77, 0.93, 1.04}) {
            const double s = x / g.dx();
            const auto i = static_cast<std::int64_t>(std::floor(s));
            const bool ghost = b != BoundaryTag::Periodic && (i < 4 || i + 5 > 20);
            const double u0 = g.boundary.sample(v, 21, i, g.dx()), u1 = g.boundary.sample(v, 21, i + 1, g.dx());
            const double want = ghost ? u0 + (s - std::floor(s)) * (u1 - u0) : *g.interp(v, x);
            EXPECT_EQ(*g.interp_foot(v, x), want) << static_cast<int>(b) << " " << x;
        }
    }
}

}  // namespace
}  // namespace quorvane
