#include "core/line/heat_stability/step_bound.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "core/foundation/parallel1d.hpp"
#include "core/foundation/parallel_phases.hpp"
#include "core/line/heat_stability/band_factor.hpp"
#include "core/line/heat_stability/step_verdict.hpp"

namespace quorvane::heat_judgement {
namespace {

// Grids from this many nodes measure several steps at once, one thread
// each, on up to the processors the process may run on: below, a
// measurement takes less than a thread costs to start.
constexpr std::size_t kConcurrentNodes = 256;

// The scan behind a refusal's bound. A call's own step is judged exactly,
// so nothing that grows data is admitted; a refusal names the largest X
// such that every step up to X passes, and that needs every step below
// it. Above the first step that grows, windows of growing steps alternate
// with passing islands (a = 1 + 0.8 sin(3x + 0.3), Heat1D6th, 401 nodes,
// "reflect": steps pass up to 20.18 dx^2, grow to 20.62, pass to 22.93);
// windows also lie alone below long islands, and where the reads spread
// over tens of cells they narrow to a few tenths of a percent of tau, so a
// search that skips steps (a bisection) or measures fixed points only can
// land in an island and name a bound above a window.
//
// So the scan measures a margin, not only a verdict. With A(tau) the
// matrix of step_verdict and W its smooth-blind weight, the margin
// m(tau) = min <x, A x> / <x, W x> over data without the mean is positive
// exactly while the step grows nothing; a window is an interval where m
// dips below 0. For matrices affine in tau, m would be concave in tau (a
// minimum of affine functions): a dip between two points needs the
// curvature of A itself, and with the curvature of m along ln tau bounded
// by kappa, m stays above min(m(t1), m(t2)) - kappa h^2 / 8 between two
// points h apart in ln tau. So an interval is certified when both its ends
// pass and their margins (pencil_margin, from each end's factor) are at
// least kappa h^2 / 8. The curvature comes from the reads moving across
// cells: a read of spread r cells moves by r / 2 cells per unit of ln tau,
// the drift by its whole length, and m's second derivative grows with the
// square of that speed. Measured on 39 random smooth coefficients (every
// class and kind of end, 22 to 260 nodes, tau from 0.01 to beyond the
// first growing step, 0.3 % apart), m'' stayed below 9.2 (sqrt(mu) +
// mu |a'| dx / max a)^2, mu = tau max a / dx^2; kappa (kCurvature) takes
// 12 times that square, 1.3 times the largest seen. The spacing then follows the margin: where the steps damp
// everything well (m of order one, or of order mu for small steps, whose
// m and curvature both grow like mu) the points lie far apart, and where m
// is small they close in, down to kResolution, where the scan stops: its
// bound is the last point certified, within a few times kResolution of the
// first step that does not pass. A window can hide between two certified
// points only where m curves faster than kappa allows, or where the
// margins of the last points follow one power of tau (smooth_trend) and a
// leap of up to twice the last is certified on that trend alone; a leap
// not certified halves the next, each then on the margin alone. The W
// weight keeps the slow modes, which small steps damp by only tau times
// their rate, from setting the margin: a margin in plain A would be that
// small for every small step.
//
// Steps beyond the factorisation's band are measured by Lanczos, without a
// margin: between two such points the scan certifies no more than
// kWideSpacing, and a window narrower than that is missed there (giant
// steps of a slowly varying coefficient; their windows are wide).
constexpr double kCurvature = 12.0;
constexpr double kResolution = 1.0 / 1024.0;  // in ln tau: 0.1 %
constexpr double kWideSpacing = 1.0 / 64.0;  // in ln tau: 1.6 %
constexpr double kLongestLeap = 0.7;         // in ln tau: a factor 2
constexpr std::size_t kMostProbes = 8192;
constexpr double kFloorChange = 0x1.0p-16;

}  // namespace

bool step_scale(const Grid1D<double>& g, const GeneratorSizes& s, KernelVerdict& v) {
    const double dx = g.dx();
    const double unit = (dx * dx) / s.a_top;
    if (!(unit >= std::numeric_limits<double>::min()) || !std::isfinite(unit)) return false;
    double floor = unit * 0x1.0p-20;
    if (s.size > 0.0 && std::isfinite(s.size)) floor = kFloorChange / s.size;
    if (!(floor >= std::numeric_limits<double>::min()) || !std::isfinite(floor)) return false;
    v.unit = unit;
    v.floor = floor;
    v.drift = s.a1_top * dx / s.a_top;
    if (!std::isfinite(v.drift)) v.drift = 0.0;
    return true;
}

namespace {

// One point of the scan: its margin m (an estimate from above, 0 where its
// factor was not kept), or -1 when the step does not pass (grows, is too
// wide, or cannot be formed).
struct Probe {
    double margin = -1.0;
    bool wide = false;  // measured by Lanczos: the plain verdict alone, margin 0
};

// Measures the steps `taus` (ascending) and their margins, from the
// factorisation of A and inverse iteration on it; on large grids several
// at once, a step that does not pass making the larger ones moot (left at
// -1). False when the caller asked to stop.
bool probe(const KernelView& kernel, const std::vector<double>& taus, std::vector<Probe>& out) {
    const Grid1D<double>& g = kernel.grid;
    const std::size_t count = taus.size();
    out.assign(count, Probe{});
    const std::size_t workers =
        g.n < kConcurrentNodes ? 1 : std::max<std::size_t>(1, std::min(available_processors(), count));
    std::atomic<std::size_t> next{0}, first_out{count};
    std::atomic<bool> stopped_any{false};
    run_chunked(workers, workers, [&](std::size_t, std::size_t) {
        BandFactor factor;
        for (std::size_t i; (i = next.fetch_add(1)) < count;) {
            if (i > first_out.load()) return;
            bool stopped = false, wide = false;
            const std::optional<StepVerdict> v = measure_step(
                kernel, g, taus[i], stopped, [&] { return first_out.load() < i; }, &wide, &factor);
            if (stopped) stopped_any = true;
            if (!v) continue;
            if (*v == StepVerdict::Passes) {
                out[i].wide = wide;
                out[i].margin = wide || factor.l.empty() ? 0.0 : pencil_margin(factor, g);
            } else {
                std::size_t seen = first_out.load();
                while (i < seen && !first_out.compare_exchange_weak(seen, i)) {
                }
            }
        }
    });
    for (std::size_t i = first_out.load() + 1; i < count; ++i) out[i] = Probe{};
    return !stopped_any;
}

// Whether the margins of the last points (ln tau, m), the newest last,
// follow one smooth trend: log m within kTrendSpread of the straight line
// through them (a power of tau); its slope in `slope`.
constexpr double kTrendSpread = 0.02;
constexpr std::size_t kTrendPoints = 6;

bool smooth_trend(const std::vector<std::pair<double, double>>& seen, double* slope) {
    if (seen.size() < kTrendPoints) return false;
    double st = 0.0, sy = 0.0;
    const std::size_t from = seen.size() - kTrendPoints;
    for (std::size_t k = from; k < seen.size(); ++k) {
        if (!(seen[k].second > 0.0)) return false;
        st += seen[k].first;
        sy += std::log(seen[k].second);
    }
    st /= kTrendPoints;
    sy /= kTrendPoints;
    double stt = 0.0, sty = 0.0;
    for (std::size_t k = from; k < seen.size(); ++k) {
        stt += (seen[k].first - st) * (seen[k].first - st);
        sty += (seen[k].first - st) * (std::log(seen[k].second) - sy);
    }
    if (!(stt > 0.0)) return false;
    const double b = sty / stt;
    for (std::size_t k = from; k < seen.size(); ++k) {
        if (std::fabs(std::log(seen[k].second) - (sy + b * (seen[k].first - st))) > kTrendSpread) return false;
    }
    if (slope) *slope = b;
    return true;
}

}  // namespace

std::optional<double> scan_bound(const KernelView& kernel, const KernelVerdict& v, double top) {
    const auto curvature = [&](double tau) {
        const double mu = tau / v.unit;
        const double speed = std::sqrt(mu) + mu * v.drift;
        return kCurvature * speed * speed;
    };
    std::vector<Probe> found;
    if (!probe(kernel, {v.floor}, found)) return std::nullopt;
    if (found[0].margin < 0.0) return 0.0;
    double left = v.floor;
    Probe at_left = found[0];
    std::vector<std::pair<double, double>> seen{{std::log(left), at_left.margin}};
    double last_leap = 0.0, limit = kLongestLeap;
    bool trust = true;
    // Large grids measure a few leaps ahead at once, each as long as the
    // last: where the margin holds, they are certified in turn.
    const std::size_t ahead =
        kernel.grid.n < kConcurrentNodes ? 1 : std::clamp<std::size_t>(available_processors(), 1, 8);
    std::vector<double> rights;
    for (std::size_t probes = 0; probes < kMostProbes;) {
        if (!(top > left)) break;
        const double room = std::min(limit, std::log(top / left));
        double h = room, slope = 0.0;
        if (at_left.wide) {
            h = std::min(h, kWideSpacing);
        } else {
            const double by_curvature = std::sqrt(8.0 * at_left.margin / curvature(left * std::exp(room)));
            double by_trend = 0.0;
            if (trust && smooth_trend(seen, &slope)) {
                by_trend = last_leap > 0.0 ? 2.0 * last_leap : room;
                if (slope < 0.0) by_trend = std::min(by_trend, 0.5 / -slope);
            }
            h = std::min(h, std::max(by_curvature, by_trend));
        }
        if (!(h >= kResolution)) break;
        rights.clear();
        for (std::size_t k = 1; k <= ahead; ++k) {
            double right = left * std::exp(static_cast<double>(k) * h);
            if (!(right < top)) {
                if (k == 1) rights.push_back(std::nextafter(top, 0.0));
                break;
            }
            rights.push_back(right);
        }
        if (!(rights[0] > left)) break;
        if (!probe(kernel, rights, found)) return std::nullopt;
        probes += rights.size();
        bool all = true;
        for (std::size_t k = 0; k < rights.size() && all; ++k) {
            const double right = rights[k];
            const double step = std::log(right / left);
            const Probe& r = found[k];
            bool certified = false;
            if (r.margin >= 0.0) {
                if (r.wide || at_left.wide) {
                    certified = step <= kWideSpacing * (1.0 + 1e-12);
                } else {
                    certified = std::min(r.margin, at_left.margin) >= curvature(right) * step * step / 8.0;
                    if (!certified && trust) {
                        seen.emplace_back(std::log(right), r.margin);
                        certified = smooth_trend(seen, nullptr) &&
                                    (last_leap == 0.0 || step <= 2.0 * last_leap * (1.0 + 1e-12));
                        seen.pop_back();
                    }
                }
            }
            if (certified) {
                left = right;
                at_left = r;
                seen.emplace_back(std::log(right), r.wide ? 0.0 : r.margin);
                last_leap = step;
                limit = kLongestLeap;
                trust = true;
                continue;
            }
            if (r.margin < 0.0) top = right;
            // Not certified: shorter leaps, each on the margin alone, until one is.
            limit = step / 2.0;
            trust = false;
            all = false;
        }
    }
    return left;
}

}  // namespace quorvane::heat_judgement
