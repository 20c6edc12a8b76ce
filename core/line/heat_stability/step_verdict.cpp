#include "core/line/heat_stability/step_verdict.hpp"

#include <mutex>
#include <vector>

#include "core/foundation/stop.hpp"
#include "core/line/heat_stability/lanczos.hpp"
#include "core/line/heat_stability/operators.hpp"
#include "core/line/heat_stability/weighted_space.hpp"

namespace quorvane::heat_judgement {
namespace {

// A step whose band the factorisation cannot hold (reads spread over
// hundreds of cells: giant steps of a coefficient that varies slowly on
// its grid) is measured by Lanczos instead: the largest eigenvalue of
// K = P (D + D^T + D^T P D) P, whose quadratic form is |P B x|^2 - |x|^2 on
// data without its mean, by kWideStepSteps steps from fixed rough noise.
// That bounds the growth from below: it can miss a small growth of a slow
// mode, where the factorisation would not. nullopt where the caller asked
// to stop or `abandon()` turned true.
std::optional<StepVerdict> wide_step_verdict(const KernelView& kernel, const Grid1D<double>& g, double tau, bool& stopped,
                                             FunctionRef<bool()> abandon) {
    // One at a time: each keeps up to kOperatorBytes of reads.
    static std::mutex one_at_a_time;
    const std::lock_guard<std::mutex> lock(one_at_a_time);
    StoredStep op;
    if (!op.build(kernel, g, tau)) {
        if (!poll_stop()) {
            stopped = true;
            return std::nullopt;
        }
        return StepVerdict::Fails;
    }
    const WeightedSpace sp(g);
    const std::size_t n = g.n;
    std::vector<double> px(n), t(n), cx(n), z(n), ctz(n);
    bool abandoned = false;
    // D x = S (M - I) S^-1 x, D^T y = S^-1 (M^T - I) S y.
    auto growth = [&](const std::vector<double>& x, std::vector<double>& y) {
        y.assign(n, 0.0);
        if (abandoned || (abandoned = abandon())) return;
        px = x;
        sp.project(px);
        for (std::size_t i = 0; i < n; ++i) t[i] = px[i] / sp.sw[i];
        op.apply(t, cx);
        for (std::size_t i = 0; i < n; ++i) cx[i] = sp.sw[i] * (cx[i] - t[i]);  // D P x
        for (std::size_t i = 0; i < n; ++i) t[i] = px[i] * sp.sw[i];
        op.apply_transpose(t, ctz);
        for (std::size_t i = 0; i < n; ++i) y[i] = cx[i] + (ctz[i] - t[i]) / sp.sw[i];  // (D + D^T) P x
        z = cx;
        sp.project(z);
        for (std::size_t i = 0; i < n; ++i) t[i] = z[i] * sp.sw[i];
        op.apply_transpose(t, ctz);
        for (std::size_t i = 0; i < n; ++i) y[i] += (ctz[i] - t[i]) / sp.sw[i];  // + D^T P D P x
        sp.project(y);
    };
    const double limit = (1.0 + kStepSlack) * (1.0 + kStepSlack) - 1.0;
    const std::optional<Ritz> top = lanczos_top(n, growth, rough_noise(n, 0x9E3779B97F4A7C15ull), false, stopped,
                                                kWideStepSteps, false, limit);
    if (stopped || abandoned) return std::nullopt;
    return top && top->value <= limit ? StepVerdict::Passes : StepVerdict::Grows;
}

}  // namespace

std::optional<StepVerdict> measure_step(const KernelView& kernel, const Grid1D<double>& g, double tau, bool& stopped,
                                        FunctionRef<bool()> abandon, bool* wide, BandFactor* keep) {
    StepRows rows;
    switch (rows.build(kernel, g, tau)) {
        case StepRows::Built::Yes: break;
        case StepRows::Built::Fails: return StepVerdict::Fails;
        case StepRows::Built::TooWide: return StepVerdict::Unmeasured;
        case StepRows::Built::Stopped: stopped = true; return std::nullopt;
    }
    const std::optional<StepVerdict> v = step_verdict(rows, g, stopped, abandon, keep);
    if (keep && !(v && *v == StepVerdict::Passes)) keep->l.clear();
    if (v && *v == StepVerdict::Unmeasured) {
        if (wide) *wide = true;
        return wide_step_verdict(kernel, g, tau, stopped, abandon);
    }
    return v;
}

}  // namespace quorvane::heat_judgement
