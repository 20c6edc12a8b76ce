#include "core/line/heat_stability/margin_scan.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "core/line/heat_stability/band_factor.hpp"
#include "core/line/heat_stability/step_verdict.hpp"

namespace quorvane::heat_judgement {
namespace {

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
// 12 times that square, 1.3 times the largest seen. The spacing then
// follows the margin: where the steps damp everything well (m of order
// one, or of order mu for small steps, whose m and curvature both grow
// like mu) the points lie far apart, and where m is small they close in,
// down to kResolution. Where the margin certifies not even that (near a
// window that stays shut: a = 1 but for a bumped sample, 101 nodes, has
// dozens of such places below its first window, which stopped a scan at
// a quarter of it), the scan steps through uncertified, point by point,
// kResolution apart; its bound is the last point it took, within
// kResolution of the first step that does not pass. A window can hide
// between two certified points only where m curves faster than kappa
// allows, or where the
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

// One point of the scan: its margin m (an estimate from above, 0 where its
// factor was not kept), or -1 when the step does not pass (grows, is too
// wide, or cannot be formed).
struct Probe {
    double margin = -1.0;
    bool wide = false;  // measured by Lanczos: the plain verdict alone, margin 0
};

// Measures the step tau and its margin, from the factorisation of A and
// inverse iteration on it (margin -1 where it does not pass). False when
// the caller asked to stop.
bool probe(const KernelView& kernel, double tau, Probe& out) {
    out = Probe{};
    BandFactor factor;
    bool stopped = false;
    MeasureExtras extras;
    const std::optional<StepVerdict> v =
        measure_step(kernel, kernel.grid, tau, stopped, [] { return false; }, &factor, &extras);
    if (stopped) return false;
    if (v && *v == StepVerdict::Passes) {
        out.wide = extras.wide;
        out.margin = extras.wide || factor.l.empty() ? 0.0 : pencil_margin(factor, kernel.grid);
    }
    return true;
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

std::optional<double> margin_scan(const KernelView& kernel, const KernelVerdict& v, double top) {
    const auto curvature = [&](double tau) {
        const double mu = tau / v.unit;
        const double speed = std::sqrt(mu) + mu * v.drift;
        return kCurvature * speed * speed;
    };
    Probe at_left, r;
    if (!probe(kernel, v.floor, at_left)) return std::nullopt;
    if (at_left.margin < 0.0) return 0.0;
    double left = v.floor;
    std::vector<std::pair<double, double>> seen{{std::log(left), at_left.margin}};
    double last_leap = 0.0, limit = kLongestLeap;
    bool trust = true;
    for (std::size_t probes = 0; probes < kMostProbes;) {
        if (!(std::log(top / left) >= kResolution)) break;
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
        // Where the margin certifies no leap of kResolution, the scan steps
        // through: one point kResolution on, taken where it passes.
        const bool through = !(h >= kResolution);
        if (through) h = kResolution;
        double right = left * std::exp(h);
        if (!(right < top)) right = std::nextafter(top, 0.0);
        if (!(right > left)) break;
        if (!probe(kernel, right, r)) return std::nullopt;
        ++probes;
        const double step = std::log(right / left);
        bool certified = through && r.margin >= 0.0;
        if (r.margin >= 0.0 && !certified) {
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
    }
    return left;
}

}  // namespace quorvane::heat_judgement
