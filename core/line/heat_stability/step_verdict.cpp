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

double growth_limit() { return (1.0 + kStepSlack) * (1.0 + kStepSlack) - 1.0; }

namespace {

// A band factorisation of half bandwidth p costs about p^2 / 2
// multiplications a node, a Lanczos run kWideStepSteps times three step
// products, each some hundreds of multiplications a node: about equal near
// p = 120 (measured on 1001 and 10001 nodes). Up to this half bandwidth a
// search still factorises, for the exact verdict and the margin.
constexpr std::size_t kDearerBandWidth = 192;

// Sweeps of inverse iteration for a passing factor's mode: near the bound
// the smallest eigenvalue of its matrix lies far below the next, and a few
// sweeps give the growing data to many digits.
constexpr int kModeSweeps = 6;

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

// K = P (D + D^T + D^T P D) P of one step, whose quadratic form is
// |P B x|^2 - |x|^2 on data x without its mean (D x = S (M - I) S^-1 x,
// D^T y = S^-1 (M^T - I) S y, S the square roots of the grid weights): the
// step kept as its reads, each product about three steps. Every Ritz value
// of K lies within its spectrum to rounding, so one above the limit shows
// that the step grows some data.
class GrowthForm {
public:
    GrowthForm(const Grid1D<double>& g) : sp_(g), n_(g.n), px_(n_), t_(n_), cx_(n_), z_(n_), ctz_(n_) {}

    // False where a node's step fails or the caller asked to stop.
    bool build(const KernelView& kernel, const Grid1D<double>& g, double tau) { return op_.build(kernel, g, tau); }

    void apply(const std::vector<double>& x, std::vector<double>& y) {
        const std::vector<double>& sw = sp_.sw;
        y.assign(n_, 0.0);
        px_ = x;
        sp_.project(px_);
        for (std::size_t i = 0; i < n_; ++i) t_[i] = px_[i] / sw[i];
        op_.apply(t_, cx_);
        for (std::size_t i = 0; i < n_; ++i) cx_[i] = sw[i] * (cx_[i] - t_[i]);  // D P x
        for (std::size_t i = 0; i < n_; ++i) t_[i] = px_[i] * sw[i];
        op_.apply_transpose(t_, ctz_);
        for (std::size_t i = 0; i < n_; ++i) y[i] = cx_[i] + (ctz_[i] - t_[i]) / sw[i];  // (D + D^T) P x
        z_ = cx_;
        sp_.project(z_);
        for (std::size_t i = 0; i < n_; ++i) t_[i] = z_[i] * sw[i];
        op_.apply_transpose(t_, ctz_);
        for (std::size_t i = 0; i < n_; ++i) y[i] += (ctz_[i] - t_[i]) / sw[i];  // + D^T P D P x
        sp_.project(y);
    }

    // y = K x formed as P B^T P B P x - P x: two products where apply takes
    // three, for runs that only follow a growth well above the rounding of
    // |P B x|^2 (see growth_from).
    void apply_square(const std::vector<double>& x, std::vector<double>& y) {
        const std::vector<double>& sw = sp_.sw;
        px_ = x;
        sp_.project(px_);
        for (std::size_t i = 0; i < n_; ++i) t_[i] = px_[i] / sw[i];
        op_.apply(t_, cx_);
        for (std::size_t i = 0; i < n_; ++i) cx_[i] *= sw[i];
        sp_.project(cx_);  // P B P x
        for (std::size_t i = 0; i < n_; ++i) t_[i] = cx_[i] * sw[i];
        op_.apply_transpose(t_, ctz_);
        y.resize(n_);
        for (std::size_t i = 0; i < n_; ++i) y[i] = ctz_[i] / sw[i] - px_[i];
        sp_.project(y);
    }

private:
    StoredStep op_;
    WeightedSpace sp_;
    std::size_t n_;
    std::vector<double> px_, t_, cx_, z_, ctz_;
};

// A step whose band the factorisation cannot hold (reads spread over
// hundreds of cells: giant steps of a coefficient that varies slowly on
// its grid) is measured by Lanczos instead: the largest eigenvalue of K by
// kWideStepSteps steps from fixed noise. That bounds the growth from below:
// it can miss a growth just above the slack, where the factorisation would
// not. The noise keeps its slow part: a step whose reads spread over
// hundreds of cells grows modes that are smooth on the grid, which a start
// without its slow part reached only once they grew strongly (Heat1D6th,
// a = 1 + 0.8 sin(3x + 0.3) on 10001 nodes: steps at four times the first
// growing one were admitted). `top`, when given, receives the largest Ritz
// value and, where asked for, its vector. nullopt where the caller asked to
// stop or `abandon()` turned true.
std::optional<StepVerdict> wide_step_verdict(const KernelView& kernel, const Grid1D<double>& g, double tau, bool& stopped,
                                             FunctionRef<bool()> abandon, MeasureExtras* extras) {
    const ReadsKept kept(static_cast<double>(g.n) * NodeForm::kMost * kBytesPerRead);
    GrowthForm form(g);
    if (!form.build(kernel, g, tau)) {
        if (!poll_stop()) {
            stopped = true;
            return std::nullopt;
        }
        return StepVerdict::Fails;
    }
    bool abandoned = false;
    auto growth = [&](const std::vector<double>& x, std::vector<double>& y) {
        if (abandoned || (abandoned = abandon())) {
            y.assign(x.size(), 0.0);
            return;
        }
        form.apply(x, y);
    };
    const double limit = growth_limit();
    const bool want_mode = extras && extras->want_mode;
    std::optional<Ritz> top = lanczos_top(g.n, growth, fixed_noise(g.n, 0x9E3779B97F4A7C15ull), want_mode, stopped,
                                          kWideStepSteps, false, limit);
    if (stopped || abandoned) return std::nullopt;
    if (extras && top) {
        extras->top = top->value;
        if (want_mode) extras->mode = std::move(top->vector);
    }
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
        return wide_step_verdict(kernel, g, tau, stopped, abandon, extras);
    }
    // A passing factor's mode: the data its step grows most, by inverse
    // iteration (near the bound its eigenvalue stands well apart).
    if (v && *v == StepVerdict::Passes && extras && extras->want_mode && keep && !keep->l.empty()) {
        extras->mode = growing_mode(*keep, g, kModeSweeps);
    }
    return v;
}

std::optional<Ritz> growth_from(const KernelView& kernel, const Grid1D<double>& g, double tau, std::vector<double> start,
                                std::size_t most, double settle, bool& stopped) {
    if (start.size() != g.n) return std::nullopt;
    const ReadsKept kept(static_cast<double>(g.n) * NodeForm::kMost * kBytesPerRead);
    GrowthForm form(g);
    if (!form.build(kernel, g, tau)) {
        if (!poll_stop()) stopped = true;
        return std::nullopt;
    }
    auto growth = [&](const std::vector<double>& x, std::vector<double>& y) { form.apply_square(x, y); };
    return lanczos_top(g.n, growth, std::move(start), true, stopped, most, true, growth_limit(), settle);
}

}  // namespace quorvane::heat_judgement
