// The band factorisation's verdict does not depend on the end it starts
// from: the search factorises a step from the end where the last growing
// mode was found, and a call from the start.
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

namespace quorvane::heat_judgement {
namespace {

struct Verdict {
    std::optional<StepVerdict> verdict;
    double margin = -1.0;
    std::size_t failed_at = 0;
};

Verdict factorised(const DiffusionChernoff& k, double tau, bool reversed) {
    auto node_form = [&](std::size_t i, double t, NodeForm& f, bool points) { return k.node_form(i, t, f, points); };
    auto a = [&](double x) { return k.coef.eval_a(x); };
    auto a1 = [&](double x) { return k.coef.eval_a_prime(x); };
    const KernelView view{k.grid, node_form, a, a1};
    StepRows rows;
    EXPECT_EQ(rows.build(view, k.grid, tau), StepRows::Built::Yes);
    bool stopped = false;
    BandFactor factor;
    Verdict out;
    out.verdict = step_verdict(rows, k.grid, stopped, [] { return false; }, &factor, reversed, &out.failed_at);
    if (out.verdict == StepVerdict::Passes) out.margin = pencil_margin(factor, k.grid);
    return out;
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
