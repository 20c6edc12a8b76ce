#include "core/line/heat_stability.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "core/foundation/boundary.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/step_count.hpp"
#include "core/line/diffusion.hpp"
#include "core/line/heat_stability/generator_fault.hpp"
#include "core/line/heat_stability/kernel_view.hpp"
#include "core/line/heat_stability/step_bound.hpp"
#include "core/line/heat_stability/step_verdict.hpp"
#include "core/line/heat_stability/verdict_cache.hpp"
#include "core/line/node_form.hpp"
#include "core/line/read_reach.hpp"
#include "core/line/state.hpp"

namespace quorvane {
namespace {

using namespace heat_judgement;

// A zeta rung's step is admissible while no mode grows by more than this
// factor per step: far below anything rounding noise could feed on over a
// realistic number of steps, yet above the rounding of the symbol
// evaluation itself. (The rungs act on exact eigenvectors, so the bound is
// sharp there.)
constexpr double kSymbolSlack = 1e-10;

// The measured window of Heat1DZeta8's Chebyshev-sampled rung, as tau/dx^2:
// the full spectra of grids of 8 to 257 nodes under every boundary policy
// (and the noise growth on grids of up to 1025 nodes) give spectral radius 1
// to rounding inside [0.06, 6.75], and above 1 just outside [0.05, 7] on
// many grids; the window keeps a margin on both sides.
constexpr double kZeta8ChebyshevMuMin = 0.08;
constexpr double kZeta8ChebyshevMuMax = 6.5;

// The judgement of steps of tau for a kernel with a variable coefficient,
// on tau alone: a fault of the coefficient (its generator grows data), or
// the bound when the step of tau itself grows data, or neither.
HeatJudgement judge(const KernelView& kernel, const CoeffSource& coef, int rule, double tau) {
    HeatJudgement out;
    if (!(tau > 0.0) || !std::isfinite(tau)) return out;
    const VerdictKey key = verdict_key(coef, kernel.grid, rule);
    KernelVerdict v = verdict_cache().find(key);
    const Grid1D<double>& g = kernel.grid;
    bool stopped = false;
    if (!v.generator_judged) {
        GeneratorSizes sizes;
        const std::optional<std::optional<CoefficientFault>> verdict =
            generator_fault(kernel, g, stopped, false, &sizes);
        if (!verdict) return out;  // the coefficient fails at a node (its own error), or the call is ending
        v.fault = *verdict;
        // A grid whose steps of a cell's spread are no doubles: its steps
        // are not judged.
        if (!v.fault && !step_scale(g, sizes, v)) v.unit = 0.0;
        v.generator_judged = true;
        verdict_cache().store(key, v);
    }
    if (v.fault) {
        out.fault = v.fault;
        return out;
    }
    if (!(v.unit > 0.0) || tau <= v.floor) return out;
    std::optional<bool> passes = v.known(tau);
    if (!passes) {
        const std::optional<StepVerdict> own = measure_step(kernel, g, tau, stopped, [] { return false; });
        // Where tau's own step cannot be formed (a coefficient that fails
        // where the step reads it), that is the call's error to report.
        if (!own || *own == StepVerdict::Fails) return out;
        passes = *own == StepVerdict::Passes;
        v.note(tau, *passes);
        verdict_cache().store(key, v);
    }
    if (*passes) return out;
    // tau grows data: the bound below it, found unless an earlier one lies
    // below tau already (a step below that bound that grows, in a window
    // the search did not look into, brings it down below tau).
    if (!(v.bound > 0.0 && v.bound < tau)) {
        // The search goes up to the first step it finds not passing,
        // whatever step was refused, so that every refusal names the same
        // bound; only where it went past a step known to grow does it go
        // again, below that step.
        const double least = std::min(tau, v.least_growing());
        std::optional<double> bound = step_bound(kernel, v, kInf);
        if (bound && *bound >= least) bound = step_bound(kernel, v, least);
        if (!bound) return out;  // the call is ending
        if (!(*bound > 0.0)) {
            // Even the floor grows something: the coefficient is at fault
            // after all (its generator's growth below the slack).
            const std::optional<std::optional<CoefficientFault>> verdict = generator_fault(kernel, g, stopped, true);
            if (!verdict || !*verdict) return out;
            v.fault = *verdict;
            verdict_cache().store(key, v);
            out.fault = v.fault;
            return out;
        }
        v.bound = v.bound > 0.0 ? std::min(v.bound, *bound) : *bound;
        verdict_cache().store(key, v);
    }
    // The bound as named, rounded down to four digits from a little below
    // the search's, so that a step a caller forms from it with its own
    // rounding (k X / k, t / n) stays below it.
    out.range = StepRange{0.0, floor_4_digits_inside(v.bound)};
    out.every_step_judged = g.n < kSearchedNodes;
    return out;
}

// The kernel as its judgement reads it (see kernel_view.hpp); `use`
// receives the view, which refers to lambdas that live only during the call.
template <class K, class Use>
HeatJudgement with_view(const K& k, Use&& use) {
    auto node_form = [&k](std::size_t i, double tau, NodeForm& form, bool points_only) {
        return k.node_form(i, tau, form, points_only);
    };
    auto a = [&k](double x) {
        if constexpr (requires { k.coef.eval_a(x); }) return k.coef.eval_a(x);
        else return k.coef_a(x);
    };
    auto a_prime = [&k](double x) {
        if constexpr (requires { k.coef.eval_a_prime(x); }) return k.coef.eval_a_prime(x);
        else return k.coef_a_prime(x);
    };
    const KernelView view{k.grid, node_form, a, a_prime};
    return use(view);
}

// The zeta combination applied to one eigenvalue: the rungs act on a common
// eigenvector of the base step through the same formula as on grid values
// (steps mu in units of dx^2).
double zeta_symbol(const Diffusion4thChernoff& inner, int level, double tau) {
    if (level <= 2) return heat4_nyquist_eigenvalue(inner, tau);
    const double w = level == 4 ? 4.0 : level == 6 ? 16.0 : 64.0;
    const double d = w - 1.0;
    const double coarse = zeta_symbol(inner, level - 2, tau);
    const double half = zeta_symbol(inner, level - 2, tau / 2.0);
    return (w * (half * half) - coarse) / d;
}

// The window's ends are products like 6.5 dx^2 that a caller forms with its
// own rounding (dx from linspace, t/n_steps): a step within a few ulps of an
// end counts as on it.
std::optional<StepRange> outside(const StepRange& r, double tau) {
    constexpr double kEndSlack = 1e-12;
    const bool in = tau >= r.tau_min * (1.0 - kEndSlack) && tau <= r.tau_max * (1.0 + kEndSlack);
    return in ? std::nullopt : std::optional<StepRange>(r);
}

constexpr const char* kRungAmplifies =
    "the Richardson combination amplifies the highest grid frequencies there, so rounding noise grows "
    "geometrically with the step count";
constexpr const char* kStepGrows =
    "the derivative correction of the variable-coefficient step makes a larger step grow some data without its "
    "mean in the grid 2-norm, where the exact evolution damps it, and such growth compounds over the steps";
constexpr const char* kChebyshevAmplifies =
    "the degree-64 Chebyshev resampling of the inner heat4 sweeps is not the identity, and the Richardson "
    "ladder amplifies its error unless every step diffuses it away";

}  // namespace

// A constant coefficient's step: only its reads' reach is judged. The
// farthest reads are those of the end nodes, and they move out with tau,
// so the longest step whose reads all can be located is found by
// bisection.
template <class K>
HeatJudgement judge_reach(const K& kernel, double tau) {
    HeatJudgement out;
    if (!(tau > 0.0) || !std::isfinite(tau)) return out;
    auto located = [&](double step) { return heat_reads_located(kernel, step); };
    if (located(tau)) return out;
    out.range = StepRange{0.0, greatest_admitted_double(0.0, tau, located)};
    out.reason = kReadsBeyondGrid;
    return out;
}

HeatJudgement judge_heat_step(const DiffusionChernoff& k, double tau) {
    // A constant coefficient skips the correction: a convex combination.
    if (k.coef.constant_value()) return judge_reach(k, tau);
    return with_view(k, [&](const KernelView& view) { return judge(view, k.coef, 2, tau); });
}

HeatJudgement judge_heat_step(const Diffusion4thChernoff& k, double tau) {
    if (k.use_octonic || k.use_chebyshev) return {};
    if (k.constant_value()) return judge_reach(k, tau);
    const CoeffSource coef =
        k.coef_override ? *k.coef_override : CoeffSource::plain(k.a, k.a_prime, k.a_double_prime);
    return with_view(k, [&](const KernelView& view) { return judge(view, coef, 4, tau); });
}

HeatJudgement judge_heat_step(const Diffusion6thChernoff& k, double tau) {
    if (k.constant_value()) return judge_reach(k, tau);
    const CoeffSource coef =
        k.coef_override ? *k.coef_override : CoeffSource::plain(k.a, k.a_prime, k.a_double_prime);
    return with_view(k, [&](const KernelView& view) { return judge(view, coef, 6, tau); });
}

std::optional<StepRange> step_violation(const Diffusion4thZeta4Chernoff& k, double tau) {
    return outside(zeta_stable_steps(k.inner, 4), tau);
}
std::optional<StepRange> step_violation(const Diffusion6thZeta6Chernoff& k, double tau) {
    return outside(zeta_stable_steps(k.zeta4.inner, 6), tau);
}
std::optional<StepRange> step_violation(const Diffusion8thZeta8Chernoff& k, double tau) {
    return outside(zeta_stable_steps(k.inner(), 8), tau);
}

const char* instability_reason(const DiffusionChernoff&) { return kStepGrows; }
const char* instability_reason(const Diffusion4thChernoff&) { return kStepGrows; }
const char* instability_reason(const Diffusion6thChernoff&) { return kStepGrows; }
const char* instability_reason(const Diffusion4thZeta4Chernoff&) { return kRungAmplifies; }
const char* instability_reason(const Diffusion6thZeta6Chernoff&) { return kRungAmplifies; }
const char* instability_reason(const Diffusion8thZeta8Chernoff&) { return kChebyshevAmplifies; }

double heat4_nyquist_eigenvalue(const Diffusion4thChernoff& kernel, double mu) {
    // (-1)^j on a reflecting grid is mapped onto a multiple of itself by any
    // translation-invariant step, whatever the shifts: the mirror image of
    // the alternating sequence is again alternating. The unit-diffusion step
    // reads at offsets of sqrt(tau) and samples in units of dx, so its
    // eigenvalue depends on tau/dx^2 alone: it is measured on a grid of unit
    // spacing, where no product of the kernel's own dx (up to 1e154, or
    // down to 1e-154) can leave the doubles.
    constexpr std::size_t kNodes = 16;
    Grid1D<double> g = kernel.grid;
    g.boundary = BoundaryPolicy<double>::reflect();
    g.xmin = 0.0;
    g.xmax = static_cast<double>(kNodes - 1);
    g.n = kNodes;
    if (kernel.use_octonic) g.interp_kind = InterpKind::of(InterpTag::OctonicHermite);
    std::vector<double> v(kNodes);
    for (std::size_t j = 0; j < kNodes; ++j) v[j] = (j % 2 == 0) ? 1.0 : -1.0;
    Diffusion4thChernoff unit = Diffusion4thChernoff::unit(g);
    const GridFn<double> u{g, std::move(v)};
    const std::size_t mid = kNodes / 2;
    auto r = unit.apply_node(u, mid, mu);
    if (!r) internal_fault("heat4_nyquist_eigenvalue", r.error());
    return *r / u.values[mid];
}

namespace {

// mu dx^2, the largest double where the product leaves the doubles: a
// window's end beyond the doubles admits every finite step.
double in_steps(double mu, double dx2) {
    const double tau = mu * dx2;
    return std::isfinite(tau) ? tau : std::numeric_limits<double>::max();
}

}  // namespace

StepRange zeta_stable_steps(const Diffusion4thChernoff& inner, int level) {
    const double dx2 = inner.grid.dx() * inner.grid.dx();
    if (inner.use_chebyshev && !inner.use_octonic) {
        return StepRange{in_steps(kZeta8ChebyshevMuMin, dx2), in_steps(kZeta8ChebyshevMuMax, dx2)};
    }
    auto stable = [&](double mu) { return std::abs(zeta_symbol(inner, level, mu)) <= 1.0 + kSymbolSlack; };
    // Walk up from the always-stable small steps to the first crossing, then
    // bisect it.
    double lo = 0.0;
    double hi = 0.05;
    while (hi < 1024.0 && stable(hi)) {
        lo = hi;
        hi += 0.05;
    }
    if (hi >= 1024.0) return StepRange{};
    for (int k = 0; k < 60; ++k) {
        const double mid = 0.5 * (lo + hi);
        if (stable(mid)) lo = mid;
        else hi = mid;
    }
    return StepRange{0.0, in_steps(lo, dx2)};
}

}  // namespace quorvane
