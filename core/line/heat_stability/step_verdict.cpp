#include "core/line/heat_stability/step_verdict.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/foundation/stop.hpp"
#include "core/line/heat_stability/lanczos.hpp"
#include "core/line/heat_stability/operators.hpp"
#include "core/line/heat_stability/weighted_space.hpp"

namespace quorvane::heat_judgement {
namespace {

// A band factorisation of half bandwidth p costs about p^2 / 2
// multiplications a node, a Lanczos run kWideStepSteps times three step
// products, each some hundreds of multiplications a node: about equal near
// p = 120 (measured on 1001 and 10001 nodes). Up to this half bandwidth a
// search still factorises, for the exact verdict and the margin.
constexpr std::size_t kDearerBandWidth = 192;

// The reads a StoredStep keeps, at most kOperatorBytes in all: measurements
// on large grids run at once while theirs fit together, one at a time
// beyond.
constexpr double kBytesPerRead = sizeof(std::int64_t) + sizeof(Hermite7Weights<double>) + sizeof(std::size_t);

class ReadsKept {
public:
    explicit ReadsKept(double bytes) : bytes_(std::min(bytes, StoredStep::kOperatorBytes)) {
        std::unique_lock<std::mutex> lock(mutex());
        released().wait(lock, [&] { return in_use() == 0.0 || in_use() + bytes_ <= StoredStep::kOperatorBytes; });
        in_use() += bytes_;
    }
    ~ReadsKept() {
        {
            const std::lock_guard<std::mutex> lock(mutex());
            in_use() -= bytes_;
        }
        released().notify_all();
    }
    ReadsKept(const ReadsKept&) = delete;
    ReadsKept& operator=(const ReadsKept&) = delete;

private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::condition_variable& released() {
        static std::condition_variable c;
        return c;
    }
    static double& in_use() {
        static double bytes = 0.0;
        return bytes;
    }
    double bytes_;
};

// A step whose band the factorisation cannot hold (reads spread over
// hundreds of cells: giant steps of a coefficient that varies slowly on
// its grid) is measured by Lanczos instead: the largest eigenvalue of
// K = P (D + D^T + D^T P D) P, whose quadratic form is |P B x|^2 - |x|^2 on
// data without its mean, by kWideStepSteps steps from fixed noise. That
// bounds the growth from below: it can miss a growth just above the slack,
// where the factorisation would not. The noise keeps its slow part: a step
// whose reads spread over hundreds of cells grows modes that are smooth on
// the grid, which a start without its slow part reached only once they
// grew strongly (Heat1D6th, a = 1 + 0.8 sin(3x + 0.3) on 10001 nodes:
// steps at four times the first growing one were admitted). `top_value`,
// when given, receives the largest Ritz value. nullopt where the caller
// asked to stop or `abandon()` turned true.
std::optional<StepVerdict> wide_step_verdict(const KernelView& kernel, const Grid1D<double>& g, double tau, bool& stopped,
                                             FunctionRef<bool()> abandon, double* top_value) {
    const ReadsKept kept(static_cast<double>(g.n) * NodeForm::kMost * kBytesPerRead);
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
    const std::optional<Ritz> top = lanczos_top(n, growth, fixed_noise(n, 0x9E3779B97F4A7C15ull), false, stopped,
                                                kWideStepSteps, false, limit);
    if (stopped || abandoned) return std::nullopt;
    if (top_value && top) *top_value = top->value;
    return top && top->value <= limit ? StepVerdict::Passes : StepVerdict::Grows;
}

}  // namespace

std::optional<StepVerdict> measure_step(const KernelView& kernel, const Grid1D<double>& g, double tau, bool& stopped,
                                        FunctionRef<bool()> abandon, BandFactor* keep, MeasureExtras* extras) {
    StepRows rows;
    switch (rows.build(kernel, g, tau)) {
        case StepRows::Built::Yes: break;
        case StepRows::Built::Fails: return StepVerdict::Fails;
        case StepRows::Built::TooWide: return StepVerdict::Unmeasured;
        case StepRows::Built::Stopped: stopped = true; return std::nullopt;
    }
    const std::optional<std::size_t> half = band_half_width(rows, g);
    const bool dearer = extras && extras->by_cost && half && *half > kDearerBandWidth;
    const std::optional<StepVerdict> v =
        dearer ? std::optional<StepVerdict>(StepVerdict::Unmeasured)
               : step_verdict(rows, g, stopped, abandon, keep, extras && extras->reversed,
                              extras ? &extras->failed_at : nullptr);
    if (keep && !(v && *v == StepVerdict::Passes)) keep->l.clear();
    if (v && *v == StepVerdict::Unmeasured) {
        if (extras) {
            extras->wide = true;
            extras->dearer = dearer;
        }
        if (keep) keep->l.clear();
        return wide_step_verdict(kernel, g, tau, stopped, abandon, extras ? &extras->top : nullptr);
    }
    return v;
}

}  // namespace quorvane::heat_judgement
