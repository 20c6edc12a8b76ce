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
#include "core/line/heat_stability/lanczos.hpp"
#include "core/line/heat_stability/margin_scan.hpp"
#include "core/line/heat_stability/step_verdict.hpp"

namespace quorvane::heat_judgement {
namespace {

// Grids from this many nodes measure several steps at once, one thread
// each, on up to the processors the process may run on: below, a
// measurement takes less than a thread costs to start.
constexpr std::size_t kConcurrentNodes = 256;

constexpr double kFloorChange = 0x1.0p-16;

// The search behind a refusal's bound on grids of kSearchedNodes nodes and
// more. A scan that certifies every leap by the margins at its ends (see
// margin_scan.cpp) costs hundreds of verdicts there: its bound on the
// margin's curvature grows with the step's spread in cells, and near the
// bound the margins are small (Heat1D, a = 1 + 0.8 sin(3x + 0.3): 151 calls
// of 100 steps on 1001 nodes, 328 on 10001, where it stopped at 1/30 of the
// first step that grows). Where the reads spread over tens of cells and
// more, the first growing step is where the margin of a mode smooth on the
// grid reaches 0, and just below it that margin runs nearly straight in
// tau. So the search
//   - climbs rungs unit 4^k (unit = dx^2 / max a) up to the first that does
//     not pass, a rung whose band would cost more than a Lanczos run
//     measured by Lanczos (on 10001 nodes a band of a few hundred costs
//     several times a call's own verdict);
//   - narrows between the last passing and the first growing point, each
//     point measured as a call would: a little below where the margins of
//     the last passing points reach 0 (pencil_margin of the factor, minus
//     the largest Ritz value where Lanczos measured), halfway where they do
//     not lead or a point they led to grew;
//   - ends when its ends lie within kBracket, its bound the passing end
//     (measured again as a call would where the climb had measured it by
//     Lanczos).
// It costs a few verdicts near the bound and the climb's below it. Between
// its points it does not look: a window of growing steps narrower than
// their spacing below the bound goes unseen (heat_stability.hpp says how
// often that was found).
//
// Where a call factorises near the bound, each verdict there costs about a
// call's own (the correction's widths follow the step's diffusion length,
// so the band widens with the bound), and the narrowing measured a dozen
// (Heat1D, a = 1 + 0.8 sin(3x + 0.3), "zero", 1001 nodes: a refusal cost
// ten times the call it names). There the search first tracks the growth
// between the climb's ends (track_crossing), which factorises only the
// passing end it closes on (within half of kBracket of a step shown to
// grow; one more point within kBracket where that end grows); the
// narrowing above takes over where the tracking does not close.

// The climb's rungs: unit 4^k from k = kFirstRung (steps that spread over
// some eight cells) up, and down from there where even that step grows.
constexpr double kRungRatio = 4.0;
constexpr int kFirstRung = 3;
constexpr int kMostRungs = 48;

// The search ends once its passing and its growing end lie this close: the
// bound is then within 0.8 % of the first step the search found growing.
constexpr double kBracket = 0x1.0p-7;

// The narrowing reads the margins of the passing ends within kMarginSpan
// (in ln tau) of the last, and aims a little below where they reach 0: by
// kAimBelow in ln tau, or a tenth of the way there where that is more.
constexpr double kMarginSpan = 0.75;
constexpr double kAimBelow = 0.006;

constexpr std::size_t kMostPoints = 64;

// The narrowing reads a margin's trend, not its digits: fewer sweeps of
// inverse iteration than the certified scan takes.
constexpr int kMarginSweeps = 4;

// One point of the search.
struct Point {
    Point() = default;
    explicit Point(double t) : tau(t) {}

    double tau = 0.0;
    bool measured = false;
    bool passes = false;
    bool as_a_call = true;  // the verdict a call's own measurement gives
    // How far a passing step is from growing: pencil_margin where a factor
    // was kept, minus the largest Ritz value where Lanczos measured it
    // (`wide`: another scale); -1 where unknown.
    double margin = -1.0;
    bool wide = false;
    std::size_t failed_at = 0;  // where a factorisation found growth (its order)
    // The data the step grows most, where asked for (see MeasureExtras).
    std::vector<double> mode;
};

class Search {
public:
    Search(const KernelView& kernel, KernelVerdict& v) : k_(kernel), v_(v) {}

    // Measures `points` (ascending): a point that does not pass makes the
    // larger ones moot (left unmeasured); on large grids several at once.
    // With `by_cost`, by Lanczos also where a band fits but would cost more
    // (a pass is then not what a call sees). Verdicts a call would reach
    // too are kept. False when the caller asked to stop.
    bool measure(std::vector<Point>& points, bool by_cost) {
        const Grid1D<double>& g = k_.grid;
        const std::size_t count = points.size();
        const std::size_t workers =
            g.n < kConcurrentNodes ? 1 : std::max<std::size_t>(1, std::min(available_processors(), count));
        std::atomic<std::size_t> next{0}, first_out{count};
        std::atomic<bool> stopped_any{false};
        auto out_at = [&](std::size_t i) {
            std::size_t seen = first_out.load();
            while (i < seen && !first_out.compare_exchange_weak(seen, i)) {
            }
        };
        run_chunked(workers, workers, [&](std::size_t, std::size_t) {
            BandFactor factor;
            for (std::size_t i; (i = next.fetch_add(1)) < count;) {
                if (i > first_out.load()) return;
                Point& p = points[i];
                p = Point(p.tau);
                if (const std::optional<bool> known = v_.known(p.tau)) {
                    p.measured = true;
                    p.passes = *known;
                    if (!p.passes) out_at(i);
                    continue;
                }
                bool stopped = false;
                MeasureExtras extras;
                extras.by_cost = by_cost;
                extras.reversed = reversed_;
                extras.want_mode = want_modes_;
                const std::optional<StepVerdict> verdict =
                    measure_step(k_, g, p.tau, stopped, [&] { return first_out.load() < i; }, &factor, &extras);
                if (stopped) stopped_any = true;
                if (!verdict) continue;
                p.measured = true;
                p.passes = *verdict == StepVerdict::Passes;
                p.wide = extras.wide;
                p.mode = std::move(extras.mode);
                p.as_a_call = !extras.dearer;
                if (p.passes) {
                    if (!extras.wide && !factor.l.empty()) p.margin = pencil_margin(factor, g, kMarginSweeps);
                    if (extras.wide && -extras.top > 0.0) p.margin = -extras.top;
                } else {
                    p.failed_at = extras.wide ? g.n : extras.failed_at;
                    out_at(i);
                }
            }
        });
        const std::size_t out = first_out.load();
        for (std::size_t i = out + 1; i < count; ++i) points[i] = Point(points[i].tau);
        for (const Point& p : points)
            if (p.measured && p.as_a_call) v_.note(p.tau, p.passes);
        // A factorisation that found growth late in its order: the next ones
        // start from the other end, where the growing mode lies.
        if (out < count && points[out].measured && points[out].failed_at < g.n && 2 * points[out].failed_at >= g.n) {
            reversed_ = !reversed_;
        }
        return !stopped_any;
    }

    // One point. nullopt when the caller asked to stop.
    std::optional<Point> at(double tau, bool by_cost) {
        std::vector<Point> one{Point(tau)};
        if (!measure(one, by_cost)) return std::nullopt;
        return one[0];
    }

    // Whether the points measured keep the data their steps grow most.
    void keep_modes(bool keep) { want_modes_ = keep; }

private:
    const KernelView& k_;
    KernelVerdict& v_;
    bool reversed_ = false;
    bool want_modes_ = false;
};

// The tracking between the climb's ends (see track_crossing).
constexpr std::size_t kTrackSteps = 20;
constexpr double kSettle = 8.0;
constexpr int kMostTracks = 24;
// The modes are kept on grids up to this many nodes: the climb holds one a
// rung.
constexpr std::size_t kTrackedNodes = 65536;

// The narrowing by tracking: between the passing end lo and the growing end
// hi of the climb, the growth of the data a step grows most is followed by
// short Lanczos runs (growth_from) from the data the nearest growing step
// grows most (the passing end's where none is known yet). A run whose Ritz
// value passes the slack shows that its step grows (Ritz values lie within
// the spectrum): a new growing end, certain. One that does not is a
// passing point for the time being: from data farther off a run may fall
// short of the growth. Near the bound those data change little from step
// to step, so from a nearby growing step's a dozen Lanczos steps give the
// growth to several digits, at a fraction of a factorisation there. Once
// the ends lie within half of kBracket, the passing end is tracked again
// from the growing end's data where these changed since, and where it
// grows the next passing point below takes its place (where that happens
// twice, the runs miss the growing data, and the narrowing by margins
// takes over). The passing end that stands is measured as a call would:
// where it passes it is the bound; where it grows, a point just within the
// bracket below it, which closes the bracket where it passes. Where
// neither passes, or the tracking did not close, the narrowing by margins
// goes on below `hi`, which stays a step shown to grow.
struct Tracked {
    bool stopped = false;
    std::optional<double> bound;
};
Tracked track_crossing(const KernelView& kernel, Search& search, double lo, double& hi, std::vector<double> mode_lo,
                       std::vector<double> mode_hi) {
    Tracked out;
    const Grid1D<double>& g = kernel.grid;
    const double limit = growth_limit();
    const double target = 0.5 * std::log1p(kBracket);
    struct Low {
        double s, f;  // ln tau, growth less the limit (inf: not tracked)
        std::vector<double> mode;
        int seen;     // how often the growing end had moved when it was tracked
    };
    std::vector<Low> lows{{std::log(lo), kInf, std::move(mode_lo), -1}};  // ascending
    double b = std::log(hi), fb = kInf;
    int moves = 0;            // of the growing end
    int overturned = 0;       // passing ends found growing when tracked again
    int in_a_row = 0, last = 0;  // which end moved last (-1 passing, +1 growing), how often in a row
    std::vector<double> widths;  // the bracket before each point
    double wa = 1.0, wb = 1.0;   // the ends' weights in the secant (Illinois)
    // The growth at ln tau x, from the growing end's data (the passing
    // end's where there are none): true where it shows.
    auto track = [&](double x, const std::vector<double>& low_mode, std::size_t steps, double settle) -> std::optional<bool> {
        const std::optional<Ritz> r = growth_from(kernel, g, std::exp(x), mode_hi.empty() ? low_mode : mode_hi, steps,
                                                  settle, out.stopped);
        if (!r || !std::isfinite(r->value) || r->vector.empty()) return std::nullopt;
        const int side = r->value > limit ? 1 : -1;
        in_a_row = side == last ? in_a_row + 1 : 1;
        last = side;
        if (side > 0) {
            b = x;
            fb = r->value - limit;
            mode_hi = r->vector;
            ++moves;
            // Illinois: the end that stood still counts for less.
            wb = 1.0;
            if (in_a_row >= 2) wa *= 0.5;
            return true;
        }
        wa = 1.0;
        if (in_a_row >= 2) wb *= 0.5;
        lows.push_back({x, r->value - limit, r->vector, moves});
        return false;
    };
    for (int count = 0; count < kMostTracks && !lows.empty(); ++count) {
        const double a = lows.back().s, fa = lows.back().f;
        if (b - a <= target) {
            // The passing end stands if the growing end's data have not
            // changed since it was tracked, or, tracked again from them, it
            // still passes; else the next passing point below takes its
            // place.
            if (lows.back().seen == moves) break;
            const std::vector<double> mode = std::move(lows.back().mode);
            lows.pop_back();
            const std::optional<bool> grew = track(a, mode, kTrackSteps, 0.0);
            if (out.stopped || !grew) return out;
            if (*grew && ++overturned == 2) {
                hi = std::exp(b);
                return out;
            }
            continue;
        }
        // Where the growth crosses the slack: on the line through the two
        // highest passing points where they rise (tracked from nearby data,
        // their growth is the sharpest), else on the secant through the
        // ends, a quarter of the final width to the side of the end that
        // stood still; halfway without either, and where the last two
        // points did not halve the bracket. Within twice the final width,
        // just within it above the passing end: a growing point there
        // closes the bracket, a passing one leaves less than the width.
        double x = 0.5 * (a + b);
        std::optional<double> z;
        const std::size_t k = lows.size();
        if (k >= 2 && std::isfinite(fa) && std::isfinite(lows[k - 2].f) && fa < 0.0 && lows[k - 2].f < fa) {
            z = a + (a - lows[k - 2].s) * -fa / (fa - lows[k - 2].f);
        }
        if (!(z && *z < b) && std::isfinite(fa) && std::isfinite(fb) && fa < 0.0 && fb > 0.0) {
            z = a + (b - a) * (wa * fa) / (wa * fa - wb * fb);
        }
        widths.push_back(b - a);
        const std::size_t w = widths.size();
        const bool halve = w >= 3 && widths[w - 1] > 0.5 * widths[w - 3];
        if (b - a <= 2.0 * target) x = a + 0.9 * target;
        else if (z && !halve) x = *z + (last > 0 ? -0.25 : 0.25) * target;
        x = std::clamp(x, a + 0.1 * target, b - 0.1 * target);
        const std::optional<bool> grew = track(x, lows.back().mode, kTrackSteps, kSettle);
        if (out.stopped || !grew) return out;
    }
    hi = std::exp(b);
    if (lows.empty() || b - lows.back().s > target || lows.back().seen != moves) return out;
    double at = std::exp(lows.back().s);
    for (int tries = 0; tries < 2; ++tries) {
        const std::optional<Point> p = search.at(at, false);
        if (!p) {
            out.stopped = true;
            return out;
        }
        if (p->passes) {
            if (std::log(hi / p->tau) <= std::log1p(kBracket)) out.bound = p->tau;
            return out;
        }
        hi = p->tau;
        at = hi * std::exp(-0.9 * std::log1p(kBracket));
    }
    return out;
}

struct Margin {
    double s, m;  // ln tau, margin
    bool wide;    // read off Lanczos, not a factor: another scale
};

// Where the margins of the last passing ends, within kMarginSpan of `lo`
// (ln tau), of one scale and falling, reach 0 (ln tau): the parabola in tau
// through the last three, or the line through the last two (near its zero
// the margin runs nearly straight in tau, and bends down in ln tau sooner);
// nullopt where they do not fall.
std::optional<double> margin_zero(double lo, const std::vector<Margin>& margins) {
    const std::size_t k = margins.size();
    if (k < 2 || margins[k - 1].s != lo || !(margins[k - 1].m > 0.0)) return std::nullopt;
    auto usable = [&](std::size_t j) {
        return lo - margins[j].s <= kMarginSpan && margins[j].wide == margins[k - 1].wide &&
               margins[j].m > margins[j + 1].m;
    };
    if (!usable(k - 2)) return std::nullopt;
    const double t1 = std::exp(margins[k - 2].s), t2 = std::exp(lo);
    const double m1 = margins[k - 2].m, m2 = margins[k - 1].m;
    if (k >= 3 && usable(k - 3)) {
        // m = m2 + b (t - t2) + c (t - t2)(t - t1) through the three; its
        // first zero above t2.
        const double t0 = std::exp(margins[k - 3].s), m0 = margins[k - 3].m;
        const double b = (m2 - m1) / (t2 - t1);
        const double c = ((m1 - m0) / (t1 - t0) - b) / (t0 - t2);
        const double slope = b + c * (t2 - t1);  // at t2
        const double disc = slope * slope - 4.0 * c * m2;
        if (c != 0.0 && disc >= 0.0) {
            const double r = std::sqrt(disc);
            const double d1 = (-slope - r) / (2.0 * c), d2 = (-slope + r) / (2.0 * c);
            const double d = d1 > 0.0 && (d2 <= 0.0 || d1 < d2) ? d1 : d2;
            if (d > 0.0 && std::isfinite(d)) return std::log(t2 + d);
        }
    }
    return std::log(t2 + m2 * (t2 - t1) / (m1 - m2));
}

// The next point between the passing end `lo` and the growing end `hi`
// (ln tau): a little below where the margins reach 0, or high in the
// bracket where that lies beyond `hi` (the margin bends down before it);
// halfway without a zero, and after a point that grew.
double next_point(double lo, double hi, const std::vector<Margin>& margins, bool after_growth) {
    const double span = hi - lo;
    const double close = std::log1p(kBracket);
    const std::optional<double> zero = after_growth ? std::nullopt : margin_zero(lo, margins);
    double at = lo + 0.5 * span;
    if (zero) {
        const double aim = std::max(kAimBelow, 0.1 * (*zero - lo));
        at = *zero - aim >= hi ? lo + 0.85 * span : *zero - aim;
    }
    return std::clamp(at, lo + 0.9 * close, hi - 0.5 * close);
}

}  // namespace

bool step_scale(const Grid1D<double>& g, const GeneratorSizes& s, KernelVerdict& v) {
    const double dx = g.dx();
    // A coefficient zero at every node has no scale of its own: its steps
    // are paced by the cell.
    const double unit = s.a_top > 0.0 ? (dx * dx) / s.a_top : dx * dx;
    if (!(unit >= std::numeric_limits<double>::min()) || !std::isfinite(unit)) return false;
    double floor = unit * 0x1.0p-20;
    if (s.size > 0.0 && std::isfinite(s.size)) floor = kFloorChange / s.size;
    if (!(floor >= std::numeric_limits<double>::min()) || !std::isfinite(floor)) return false;
    v.unit = unit;
    v.floor = floor;
    v.drift = s.a_top > 0.0 ? s.a1_top * dx / s.a_top : 0.0;
    if (!std::isfinite(v.drift)) v.drift = 0.0;
    return true;
}

std::optional<double> step_bound(const KernelView& kernel, KernelVerdict& v, double top) {
    return kernel.grid.n < kSearchedNodes ? margin_scan(kernel, v, top) : search_bound(kernel, v, top);
}

std::optional<double> search_bound(const KernelView& kernel, KernelVerdict& v, double top) {
    Search search(kernel, v);
    auto rung = [&](int k) { return v.unit * std::pow(kRungRatio, k); };

    // The climb: the rungs below top, from kFirstRung up to the first that
    // does not pass; down the rungs where even the first grows.
    int start = kFirstRung;
    while (start > -kMostRungs && !(rung(start) < top)) --start;
    std::vector<Point> rungs;
    for (int k = start; k < start + kMostRungs && rung(k) < top && std::isfinite(rung(k)); ++k) {
        if (rung(k) > v.floor) rungs.push_back(Point(rung(k)));
    }
    std::vector<Point> passed;  // the passing points, ascending
    double hi = top;
    std::vector<double> growing;  // what the first step found growing grows most
    bool dearer = false;          // whether a band near the bound costs more than a Lanczos run
    search.keep_modes(kernel.grid.n <= kTrackedNodes);
    if (!rungs.empty()) {
        if (!search.measure(rungs, true)) return std::nullopt;
        std::size_t out = 0;
        while (out < rungs.size() && rungs[out].measured && rungs[out].passes) ++out;
        if (out < rungs.size()) {
            hi = rungs[out].tau;
            growing = std::move(rungs[out].mode);
            dearer = rungs[out].measured && !rungs[out].as_a_call;
        }
        passed.assign(rungs.begin(), rungs.begin() + static_cast<std::ptrdiff_t>(out));
        for (int k = start - 1; passed.empty() && k > start - kMostRungs && rung(k) > v.floor; --k) {
            std::optional<Point> p = search.at(rung(k), true);
            if (!p) return std::nullopt;
            if (p->passes) {
                passed.push_back(*p);
            } else {
                hi = p->tau;
                growing = std::move(p->mode);
                dearer = !p->as_a_call;
            }
        }
    }
    search.keep_modes(false);
    // Tracking pays where a call factorises near the bound and its band
    // costs more than a Lanczos run (a climb's end measured by Lanczos for
    // that): a tracking run costs a fraction of such a factorisation, while
    // narrower bands cost less than the runs, and where the band does not
    // fit a call's own verdict is a Lanczos run.
    if (!passed.empty() && std::isfinite(hi) && kernel.grid.n <= kTrackedNodes &&
        (dearer || !passed.back().as_a_call)) {
        const Tracked tracked = track_crossing(kernel, search, passed.back().tau, hi, std::move(passed.back().mode),
                                               std::move(growing));
        if (tracked.stopped) return std::nullopt;
        if (tracked.bound) return tracked.bound;
    }
    // A passing end that passed by Lanczos where a call factorises is
    // factorised first, and where it grows the end goes down the rungs: the
    // narrowing above a step that grows would halve its way down to it.
    while (!passed.empty() && !passed.back().as_a_call) {
        const std::optional<Point> p = search.at(passed.back().tau, false);
        if (!p) return std::nullopt;
        if (p->passes) {
            passed.back() = *p;
            break;
        }
        hi = p->tau;
        passed.pop_back();
    }

    // The narrowing: points between the passing and the growing end, led
    // by the margins and measured as a call would, until the ends lie
    // within kBracket.
    if (passed.empty()) {
        const std::optional<Point> floor = search.at(v.floor, false);
        if (!floor) return std::nullopt;
        if (!floor->passes) return 0.0;
        passed.push_back(*floor);
    }
    std::vector<Margin> margins;  // of the passing points, ascending
    for (const Point& p : passed)
        if (p.as_a_call && p.margin > 0.0) margins.push_back({std::log(p.tau), p.margin, p.wide});
    double lo = passed.back().tau;
    bool after_growth = false;
    for (std::size_t count = 0; count < kMostPoints && std::isfinite(hi) && std::log(hi / lo) > std::log1p(kBracket);
         ++count) {
        const double tau = std::exp(next_point(std::log(lo), std::log(hi), margins, after_growth));
        const std::optional<Point> p = search.at(tau, false);
        if (!p) return std::nullopt;
        after_growth = !p->passes;
        if (p->passes) {
            lo = tau;
            if (p->margin > 0.0) margins.push_back({std::log(tau), p->margin, p->wide});
        } else {
            hi = tau;
        }
    }
    return lo;
}

}  // namespace quorvane::heat_judgement
