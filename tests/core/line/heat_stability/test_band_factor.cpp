// The band factorisation's verdict does not depend on the end it starts
// from: the search factorises a step from the end where the last growing
// mode was found, and a call from the start. What a refusal's search tracks
// between its points is the growth of the step itself.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <optional>
#include <vector>

#include "core/foundation/coeff.hpp"
#include "core/line/diffusion.hpp"
#include "core/line/heat_stability.hpp"
#include "core/line/heat_stability/band_factor.hpp"
#include "core/line/heat_stability/kernel_view.hpp"
#include "core/line/heat_stability/step_verdict.hpp"

namespace quorvane::heat_judgement {
namespace {

struct Verdict {
    std::optional<StepVerdict> verdict;
    double margin = -1.0;
    std::size_t failed_at = 0;
};

Verdict factorised(const DiffusionChernoff& k, double tau, bool reversed, BandFactor* keep = nullptr) {
    auto node_form = [&](std::size_t i, double t, NodeForm& f, bool points) { return k.node_form(i, t, f, points); };
    auto a = [&](double x) { return k.coef.eval_a(x); };
    auto a1 = [&](double x) { return k.coef.eval_a_prime(x); };
    const KernelView view{k.grid, node_form, a, a1};
    StepRows rows;
    EXPECT_EQ(rows.build(view, k.grid, tau), StepRows::Built::Yes);
    bool stopped = false;
    BandFactor own;
    BandFactor& factor = keep ? *keep : own;
    Verdict out;
    out.verdict = step_verdict(rows, k.grid, stopped, [] { return false; }, &factor, reversed, &out.failed_at);
    if (out.verdict == StepVerdict::Passes) out.margin = pencil_margin(factor, k.grid);
    return out;
}

DiffusionChernoff sine_kernel(BoundaryTag tag, std::size_t n) {
    const BoundaryPolicy<double> ends = BoundaryPolicy<double>::of(tag);
    const double xmax = tag == BoundaryTag::Periodic ? 1.0 - 1.0 / double(n) : 1.0;
    const Grid1D<double> g = *Grid1D<double>::make(ends, InterpKind::septic(), 0.0, xmax, n);
    const double w = tag == BoundaryTag::Periodic ? 2.0 * M_PI : 3.0;
    return DiffusionChernoff{CoeffSource::shared(make_coeff([=](double x) { return 1.0 + 0.8 * std::sin(w * x); }),
                                                 make_coeff([=](double x) { return 0.8 * w * std::cos(w * x); }),
                                                 make_coeff([=](double x) { return -0.8 * w * w * std::sin(w * x); })),
                             g, 1.8};
}

// |P S M S^-1 P x|^2 / |P x|^2 - 1 for the step M of tau as the kernel takes
// it: S the square roots of the trapezoid weights (1/2 at "reflect" walls),
// P the removal of the weighted mean where the step keeps it.
double dense_growth(const DiffusionChernoff& k, double tau, const std::vector<double>& x) {
    const Grid1D<double>& g = k.grid;
    const std::size_t n = g.n;
    std::vector<double> sw(n, 1.0);
    if (g.boundary.tag == BoundaryTag::Reflect) sw.front() = sw.back() = std::sqrt(0.5);
    auto project = [&](std::vector<double>& v) {
        if (g.boundary.tag == BoundaryTag::Zero) return;
        double c = 0.0, w = 0.0;
        for (std::size_t i = 0; i < n; ++i) c += sw[i] * v[i], w += sw[i] * sw[i];
        for (std::size_t i = 0; i < n; ++i) v[i] -= c / w * sw[i];
    };
    std::vector<double> px = x, u(n);
    project(px);
    for (std::size_t i = 0; i < n; ++i) u[i] = px[i] / sw[i];
    GridFn<double> out{g, {}};
    ScratchPool<double> pool;
    EXPECT_TRUE(k.apply_into(GridFn<double>{g, u}, out, pool, tau));
    std::vector<double> y(n);
    for (std::size_t i = 0; i < n; ++i) y[i] = sw[i] * out.values[i];
    project(y);
    double yy = 0.0, xx = 0.0;
    for (std::size_t i = 0; i < n; ++i) yy += y[i] * y[i], xx += px[i] * px[i];
    return yy / xx - 1.0;
}

// The growth a tracking run reads is that of the step itself: one Lanczos
// step returns the start's growth by the kernel's own step, and from the data
// a passing factor finds growing most, twenty steps show growth exactly where
// the factorisation finds it, above the bound and not below.
TEST(BandFactor, TrackedGrowthIsTheStepsOwn) {
    for (const BoundaryTag tag : {BoundaryTag::Reflect, BoundaryTag::Zero, BoundaryTag::Periodic}) {
        const DiffusionChernoff k = sine_kernel(tag, 301);
        const HeatJudgement refused = judge_heat_step(k, 0.1);
        ASSERT_TRUE(refused.range.has_value());
        const double bound = refused.range->tau_max;
        BandFactor factor;
        ASSERT_EQ(factorised(k, 0.995 * bound, false, &factor).verdict, StepVerdict::Passes);
        const std::vector<double> mode = growing_mode(factor, k.grid, 6);
        auto node_form = [&](std::size_t i, double t, NodeForm& f, bool points) { return k.node_form(i, t, f, points); };
        auto a = [&](double x) { return k.coef.eval_a(x); };
        auto a1 = [&](double x) { return k.coef.eval_a_prime(x); };
        const KernelView view{k.grid, node_form, a, a1};
        for (double f : {0.5, 0.995, 1.02, 4.0}) {
            bool stopped = false;
            const std::optional<Ritz> one = growth_from(view, k.grid, f * bound, mode, 1, 0.0, stopped);
            ASSERT_TRUE(one.has_value());
            EXPECT_NEAR(one->value, dense_growth(k, f * bound, mode), 1e-12) << f;
            const std::optional<Ritz> run = growth_from(view, k.grid, f * bound, mode, 20, 8.0, stopped);
            ASSERT_TRUE(run.has_value());
            const bool grows = *factorised(k, f * bound, false).verdict == StepVerdict::Grows;
            EXPECT_EQ(run->value > growth_limit(), grows) << int(tag) << " " << f << " " << run->value;
            // Its vector is data the step grows by that much.
            EXPECT_NEAR(dense_growth(k, f * bound, run->vector), run->value, 1e-9 + 1e-6 * std::fabs(run->value)) << f;
        }
    }
}

TEST(BandFactor, EitherEndGivesTheVerdictAndTheMargin) {
    for (const BoundaryTag tag : {BoundaryTag::Reflect, BoundaryTag::Zero, BoundaryTag::Periodic}) {
        const BoundaryPolicy<double> ends = BoundaryPolicy<double>::of(tag);
        const std::size_t n = 301;
        const double xmax = ends.tag == BoundaryTag::Periodic ? 1.0 - 1.0 / n : 1.0;
        const Grid1D<double> g = *Grid1D<double>::make(ends, InterpKind::septic(), 0.0, xmax, n);
        const double w = ends.tag == BoundaryTag::Periodic ? 2.0 * M_PI : 3.0;
        const DiffusionChernoff k{CoeffSource::shared(make_coeff([=](double x) { return 1.0 + 0.8 * std::sin(w * x); }),
                                                      make_coeff([=](double x) { return 0.8 * w * std::cos(w * x); }),
                                                      make_coeff([=](double x) { return -0.8 * w * w * std::sin(w * x); })),
                                  g, 1.8};
        const HeatJudgement refused = judge_heat_step(k, 0.1);
        ASSERT_TRUE(refused.range.has_value());
        const double bound = refused.range->tau_max;
        int grew = 0;
        // (0.995: the bound lies within 0.4 % of a growing step, and at 0.99 of it the
        // zero ends' two smallest pencil values cross, where eight sweeps settle apart.)
        for (double f : {0.5, 0.995, 1.0, 1.02, 1.5, 4.0}) {
            const Verdict forward = factorised(k, f * bound, false), backward = factorised(k, f * bound, true);
            ASSERT_TRUE(forward.verdict.has_value() && backward.verdict.has_value());
            EXPECT_EQ(*forward.verdict, *backward.verdict) << f;
            // The same pencil's smallest value, estimated from above by eight sweeps
            // from noise laid out in each order: a few percent apart near the bound.
            if (forward.margin > 0.0) {
                EXPECT_NEAR(backward.margin, forward.margin, 0.15 * forward.margin) << f;
            }
            if (*forward.verdict == StepVerdict::Grows) {
                ++grew;
                EXPECT_LT(forward.failed_at, n);
                EXPECT_LT(backward.failed_at, n);
            } else {
                EXPECT_EQ(forward.failed_at, n);
            }
        }
        EXPECT_GE(grew, 2);  // the steps above the bound
    }
}

}  // namespace
}  // namespace quorvane::heat_judgement
