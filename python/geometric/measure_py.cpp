// Python classes of particle measures on the line: MeasureState (atoms and
// Gaussian components), GridlessEvolver (branching steps with a binning
// reduction, changing a MeasureState in place) and AdjointFokkerPlanckV8
// (unreduced adjoint steps on plain position and weight arrays).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/foundation/numeric.hpp"
#include "core/geometric/adjoint_fp.hpp"
#include "core/geometric/gridless.hpp"
#include "core/geometric/measure_state.hpp"
#include "python/array.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"

namespace quorvane::py {
namespace {

// "{ctx}: ... would hold N atoms, above the limit of 2^26" (OutOfDomain),
// before anything is allocated.
void check_atom_limit(const std::string& ctx, std::optional<std::uint64_t> count) {
    if (count && *count <= kMaxAtoms) return;
    const std::string n = count ? std::to_string(*count) : "more than 18446744073709551615";
    py_err_with_kind("OutOfDomain", ctx + ": the measure would hold " + n +
                                        " atoms, above the limit of 67108864 (2^26) atoms");
}

// A measure with a non-finite position or weight is never stored.
void refuse_non_finite(const MeasureState& m) {
    if (const std::optional<double> bad = m.first_non_finite()) {
        raise_core_error(CoreError::domain("all values must be finite (no NaN/Inf)", *bad));
    }
}

// A moment of a finite measure that leaves the double range is refused
// like any non-finite result (NanInf), never returned; a measure holding
// NaN or inf gives its moment as computed.
Ref finite_moment(const MeasureState& m, double value) {
    if (!std::isfinite(value) && !m.first_non_finite()) {
        raise_core_error(CoreError::domain("all values must be finite (no NaN/Inf)", value));
    }
    return py_float(value);
}

Ref arrays_of(const MeasureState& m) {
    std::vector<double> x, w;
    x.reserve(m.atoms.size());
    w.reserve(m.atoms.size());
    for (const Atom& a : m.atoms) {
        x.push_back(a.x);
        w.push_back(a.w);
    }
    return py_tuple({new_array_f64(x), new_array_f64(w)});
}

// ---------------------------------------------------------------------------

struct MeasureStateObj {
    MeasureState m;
    static ClassDef& class_def();
};

constexpr char kMeasureDoc[] =
    "MeasureState(positions, weights, dim)\n--\n\n"
    "A signed measure on the real line: weighted Dirac atoms (and Gaussian components).\n\n"
    "Built with one atom (positions[i], weights[i]) per index and no Gaussian component;\n"
    "weights may be negative or zero. GridlessEvolver rewrites it in place.\n\n"
    "Parameters\n----------\n"
    "positions, weights : sequence of float\n    Equal, non-zero lengths; finite values.\n"
    "dim : int\n    Spatial dimension; only 1 is supported.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[Unsupported] MeasureState: dim must be 1 (compiled D)\", \"[GridMismatch] MeasureState:\n"
    "    positions/weights must be non-empty\", \"[GridMismatch] MeasureState: positions and weights\n"
    "    lengths differ\", \"[NanInf] MeasureState: NaN/Inf in positions or weights\".\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> m = quorvane.MeasureState([-1.0, 1.0], [0.5, 0.5], 1)\n"
    ">>> print(m.n_diracs(), m.total_variation(), m.second_moment())\n"
    "2 1.0 1.0\n";

constexpr char kNDiracsDoc[] =
    "n_diracs($self)\n--\n\nNumber of Dirac atoms (Gaussian components are not counted).\n";

constexpr char kMarginalDoc[] =
    "marginal($self, axis)\n--\n\n"
    "Return (positions, weights) of the atoms along `axis`, in list order, as new float64 arrays.\n\n"
    "Gaussian components are not included.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n    \"[OutOfDomain] MeasureState.marginal: axis >= 1 (COMPILED_D)\" for axis >= 1.\n";

constexpr char kStateSecondMomentDoc[] =
    "second_moment($self)\n--\n\n"
    "Return the second moment: sum of (mean^2 + variance) * weight over the Gaussian\n"
    "components plus sum of x^2 * w over the atoms.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n    \"[NanInf] all values must be finite (no NaN/Inf): {value}\" when it is beyond the\n"
    "    double range.\n";

constexpr char kStateTotalVariationDoc[] =
    "total_variation($self)\n--\n\n"
    "Return the total variation: sum of |weight| over the Gaussian components and the atoms.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n    \"[NanInf] all values must be finite (no NaN/Inf): {value}\" when it is beyond the\n"
    "    double range.\n";

MeasureStateObj measure_new(const Args& a) {
    const std::vector<double> positions = float_vec_arg(a, 0);
    const std::vector<double> weights = float_vec_arg(a, 1);
    const std::uint64_t dim = a.u64(2);
    if (dim != 1) py_err_with_kind("Unsupported", "MeasureState: dim must be 1 (compiled D)");
    if (positions.empty() || weights.empty()) {
        py_err_with_kind("GridMismatch", "MeasureState: positions/weights must be non-empty");
    }
    if (positions.size() != weights.size()) {
        py_err_with_kind("GridMismatch", "MeasureState: positions and weights lengths differ");
    }
    for (std::size_t i = 0; i < positions.size(); ++i) {
        if (!std::isfinite(positions[i]) || !std::isfinite(weights[i])) {
            py_err_with_kind("NanInf", "MeasureState: NaN/Inf in positions or weights");
        }
    }
    return MeasureStateObj{zip_positions_weights(positions, weights)};
}

Ref measure_n_diracs(const MeasureStateObj& self, const Args&) { return py_int(self.m.atoms.size()); }

Ref measure_marginal(const MeasureStateObj& self, const Args& a) {
    if (a.u64(0) >= 1) py_err_with_kind("OutOfDomain", "MeasureState.marginal: axis >= 1 (COMPILED_D)");
    return arrays_of(self.m);
}

Ref measure_second_moment(const MeasureStateObj& self, const Args&) {
    return finite_moment(self.m, self.m.second_moment());
}
Ref measure_total_variation(const MeasureStateObj& self, const Args&) {
    return finite_moment(self.m, self.m.total_variation());
}

// ---------------------------------------------------------------------------

struct GridlessEvolverObj {
    GridlessEvolver ev;
    static ClassDef& class_def();
};

constexpr char kGridlessDoc[] =
    "GridlessEvolver(a, b, c, voronoi_cap=64, gaussian_background=False)\n--\n\n"
    "Gridless Chernoff evolver of a measure for the generator a f'' + b f' + c f.\n\n"
    "One step of size tau replaces every atom (x, w) by (x + h, w/4), (x - h, w/4) and\n"
    "(x + k, w/2), h = 2 sqrt(a tau), k = 2 b tau, and scales the weights by 1 + tau c: the\n"
    "dual of F(tau) f(x) = (1 + tau c)(f(x + h)/4 + f(x - h)/4 + f(x + k)/2). Without reduction\n"
    "n steps of t/n give mass (1 + tau c)^n, the mean moved by b t and the variance grown by\n"
    "2 a t + b^2 t tau: the Fokker-Planck flow to first order in tau.\n\n"
    "With the default reduction (gaussian_background=False) a step that leaves more than\n"
    "voronoi_cap atoms bins them into voronoi_cap equal bins over their range, one atom per\n"
    "bin at its weighted mean. The binning keeps the mass and the mean exactly, but not the variance:\n"
    "the spread inside each bin is lost at every reduction, so the variance falls behind\n"
    "the more steps are taken (cap 64, exact variance 2: 1.95, 1.65, 1.28, 1.02 after 64,\n"
    "128, 256, 1024 steps). gaussian_background=True never reduces: the atom count triples\n"
    "every step.\n\n"
    "Signed weights may cancel in a bin. A bin whose weights cancel to within 2^-40 of their\n"
    "absolute sum leaves no atom, as one that cancels exactly: its sum is the rounding left of\n"
    "an exact cancellation, and its mean would lie far outside the atoms. The mass so dropped is\n"
    "at most 2^-40 of the total variation at each reduction. The steps are linear: weights\n"
    "scaled by any factor give the same atoms with their weights scaled (exactly for a power of\n"
    "two, to rounding otherwise), and positions scaled by a power of two L, with a L^2 and b L,\n"
    "give the positions scaled by L. evolve carries the weights at a scale of their own, so tiny\n"
    "or huge weights (1e-300 ... 1e300) take the steps of weights near 1.\n\n"
    "A call that would hold more than 67108864 (2^26) atoms at once is refused before\n"
    "anything is allocated; so is a step with 1 + tau c < 0. A result beyond the double range\n"
    "is refused, naming a time (or a scale of the weights) that stays within it.\n\n"
    "Parameters\n----------\n"
    "a : float\n    Diffusion coefficient, finite and >= 0.\n"
    "b, c : float\n    Drift and reaction rate, finite.\n"
    "voronoi_cap : int\n    Most atoms kept after a step (>= 1 unless gaussian_background).\n"
    "gaussian_background : bool\n    Switch the reduction off.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[NanInf] GridlessEvolver: a must be finite >= 0\", \"[NanInf] GridlessEvolver: b is\n"
    "    non-finite\", \"[NanInf] GridlessEvolver: c is non-finite\", \"[OutOfDomain]\n"
    "    GridlessEvolver: voronoi_cap must be >= 1\".\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> m = quorvane.MeasureState([0.0], [1.0], 1)\n"
    ">>> ev = quorvane.GridlessEvolver(1.0, 0.0, 0.0)       # a f'' : the atoms spread, mass kept\n"
    ">>> ev.evolve(m, 0.5, 4)\n"
    ">>> print(round(m.total_variation(), 12), bool(m.n_diracs() <= 64))\n"
    "1.0 True\n";

constexpr char kApplyDoc[] =
    "apply($self, tau, src, dst)\n--\n\n"
    "One step of size tau from the measure `src` into the measure `dst` (src is not changed).\n"
    "Source and destination must be two different MeasureState objects: the same one passed\n"
    "as both is refused (RuntimeError \"argument 'dst': Already borrowed\", nothing changed).\n"
    "To step a measure in place, call evolve(state, tau, 1).\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] GridlessEvolver.apply: tau must be finite >= 0\"; kind CflViolated when\n"
    "    1 + tau c < 0; kind OutOfDomain when the step would hold more than 2^26 atoms or the\n"
    "    step fails; kind NanInf for a non-finite result. dst is unchanged after a failure.\n"
    "RuntimeError\n    \"argument 'dst': Already borrowed\" when dst is src (source and destination\n"
    "    must differ) or dst is in use by another call.\n";

constexpr char kGridlessEvolveDoc[] =
    "evolve($self, state, t_final, n_steps)\n--\n\n"
    "Advance `state` in place by n_steps steps of t_final / n_steps.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] GridlessEvolver.evolve: n_steps must be >= 1\", \"[OutOfDomain]\n"
    "    GridlessEvolver.evolve: t_final must be finite >= 0\"; kind CflViolated when\n"
    "    1 + tau c < 0; kind OutOfDomain when the steps would hold more than 2^26 atoms or a\n"
    "    step fails; kind NanInf for a non-finite result. The state is unchanged after a failure.\n";

GridlessEvolverObj gridless_new(const Args& a) {
    const double da = a.f64(0);
    const double db = a.f64(1);
    const double dc = a.f64(2);
    const std::size_t cap = a.usize_or(3, 64);
    const bool background = a.flag_or(4, false);
    if (!finite_nonneg(da)) py_err_with_kind("NanInf", "GridlessEvolver: a must be finite >= 0");
    if (!std::isfinite(db)) py_err_with_kind("NanInf", "GridlessEvolver: b is non-finite");
    if (!std::isfinite(dc)) py_err_with_kind("NanInf", "GridlessEvolver: c is non-finite");
    if (!background && cap == 0) py_err_with_kind("OutOfDomain", "GridlessEvolver: voronoi_cap must be >= 1");
    const auto kind = background ? GridlessPolicy::Kind::GaussianBackground : GridlessPolicy::Kind::WeightedVoronoi;
    return GridlessEvolverObj{GridlessEvolver{GridlessPolicy{kind, cap}, da, db, dc}};
}

// A failed step is reported with the core error's own text, whatever its variant.
void raise_step_failure(const Status& st) {
    if (!st) py_err_with_kind("OutOfDomain", st.error().display());
}

// A step that met weights beyond the double range in its reduction.
bool overflowed(const Status& st) {
    return !st && std::string_view(st.error().text()) == kReductionNonFinite;
}

double largest_position(const MeasureState& m) {
    double top = 0.0;
    for (const Atom& a : m.atoms) top = std::fmax(top, std::fabs(a.x));
    return top;
}

double largest_weight(const MeasureState& m) {
    double top = 0.0;
    for (const Atom& a : m.atoms) top = std::fmax(top, std::fabs(a.w));
    return top;
}

// "NanInf": steps that grow weights of max|w0| = top_w beyond the double
// range, by the factor top_out / top_in (found on the weights scaled down to
// top_in); the weights scaled down to `passes` stay within it.
[[noreturn]] void raise_weights_beyond(const std::string& ctx, double top_w, double top_in, double top_out,
                                       double passes) {
    py_err_with_kind("NanInf", ctx + ": the result lies beyond the double range: these steps grow max|w| by a factor " +
                                   fmt_exp3_quotient(top_out, top_in) + ", and max|w0| = " + fmt_exp3(top_w) +
                                   " takes it past the largest double, " +
                                   fmt_exp3(std::numeric_limits<double>::max()) +
                                   "; the same atoms with their weights scaled down to max|w0| <= " + fmt_exp3(passes) +
                                   " stay within it");
}

// The steps of finite atoms whose result is not finite: a call over a time
// (`name` its argument) in n_steps steps, run again by `run(src, out)`.
// Weights are carried linearly (each child and bin a fixed combination of
// weights, the bins' means independent of their scale): the same steps on
// the weights scaled by 2^-e, exact, tell the growth and a scale that
// passes. Where even the weights scaled down to 2^-960 fail, either the
// positions leave the range (each step moves an atom by 2 sqrt(a tau) and
// 2 b tau, whatever the weights, and a bin's mean of weights of one sign
// lies within its atoms: n_steps of them reach up to max|x0| +
// 2 sqrt(a t n_steps) + 2 |b| t) or the factor 1 + tau c of a step does.
template <class Run>
[[noreturn]] void raise_measure_overflow(const std::string& ctx, const GridlessEvolver& ev, const MeasureState& src,
                                         const char* name, double time, std::size_t n_steps, Run&& run) {
    const double largest = std::numeric_limits<double>::max();
    const double n = static_cast<double>(n_steps);
    const double top_w = largest_weight(src);
    auto finite_at = [&](int e, double* top) {
        MeasureState scaled = src;
        for (Atom& a : scaled.atoms) a.w = std::ldexp(a.w, -e);
        MeasureState again;
        if (!run(scaled, again) || again.first_non_finite()) return false;
        if (top) *top = largest_weight(again);
        return true;
    };
    std::vector<double> weights;
    for (const Atom& a : src.atoms) weights.push_back(a.w);
    const int deepest = retry_exponent(weights);
    double top_out = 0.0;
    const double x0 = largest_position(src);
    // Each factor's root: a t (and a t n) may overflow where the reach does not.
    const double reach = x0 + 2.0 * (std::sqrt(ev.a) * std::sqrt(time) * std::sqrt(n)) + 2.0 * (std::fabs(ev.b) * time);
    if (!finite_at(deepest, &top_out) && !(reach <= largest)) {
        // The spread and the drift within half of what is left of the range
        // each (a relative 2^-20 below it, for the rounding of the steps):
        // 2 sqrt(a t n) <= room/2 and 2 |b| t <= room/2, each quotient
        // formed so that it cannot overflow before it is clamped.
        const double quarter = (largest - x0) * (1.0 - 0x1p-20) / 4.0;
        const double by_drift = ev.b != 0.0 ? quarter / std::fabs(ev.b) : largest;
        const double by_spread = ev.a > 0.0 ? (quarter / ev.a) * (quarter / n) : largest;
        double t_max = std::fmin(by_drift, by_spread);
        if (ev.c > 0.0) {
            // Nor may the weights then grow beyond the range: (1 + tau c)^n_steps max|w0| <= 1e300.
            t_max = std::fmin(t_max, n * (std::expm1(std::log(1e300 / std::fmax(top_w, 1.0)) / n) / ev.c));
        }
        py_err_with_kind("NanInf", ctx + ": the atoms' positions leave the double range (each step of tau moves "
                                         "an atom by 2 sqrt(a tau) and 2 |b| tau, from max|x0| = " + fmt_exp3(x0) +
                                         "); " + name + " <= " +
                                         fmt_exp3(floor_4_digits(std::clamp(t_max, 0.0, largest))) +
                                         " keeps them within it");
    }
    if (!(top_out > 0.0)) {
        // (1 + tau c)^n_steps max|w0| at most 1e300, each factor too.
        const double tau_max = std::expm1(std::log(1e300 / std::fmax(top_w, 1.0)) / n) / ev.c;
        py_err_with_kind("NanInf", ctx + ": the result lies beyond the double range at every scale of the "
                                         "weights: each step multiplies them by 1 + tau c, and (1 + tau c)^n_steps "
                                         "max|w0| = " + fmt_exp3(top_w) + " leaves the range; " + name + " <= " +
                                         fmt_exp3(floor_4_digits(n * tau_max)) + " keeps it within the range");
    }
    const double top_in = std::ldexp(top_w, -deepest);
    const int fits = deepest + static_cast<int>(std::ceil(std::log2(top_out / largest)));
    const int e = least_passing_exponent(0, deepest, fits, [&](int k) { return finite_at(k, nullptr); });
    raise_weights_beyond(ctx, top_w, top_in, top_out, floor_4_digits(std::ldexp(top_w, -e) * (1.0 - 0x1p-40)));
}

Ref gridless_apply_body(const GridlessEvolverObj& self, const Args& a) {
    const double tau = a.f64(0);
    return with_shared_arg<MeasureStateObj>(a.raw(1), a.name(1), [&](const MeasureStateObj& src) {
        ExclusiveArg<MeasureStateObj> dst = exclusive_arg<MeasureStateObj>(a, 2);
        const std::string ctx = "GridlessEvolver.apply";
        if (!finite_nonneg(tau)) py_err_with_kind("OutOfDomain", ctx + ": tau must be finite >= 0");
        check_reaction_step(ctx, self.ev.c, tau);
        check_atom_limit(ctx, self.ev.peak_atoms(src.m.atoms.size(), 1));
        // Stepped into a fresh measure: dst changes only when the step succeeded.
        MeasureState out;
        const Status st = gridless_apply(tau, self.ev, src.m, out);
        if (!st && !overflowed(st)) raise_step_failure(st);
        if ((!st || out.first_non_finite()) && !src.m.first_non_finite()) {
            raise_measure_overflow(ctx, self.ev, src.m, "tau", tau, 1, [&](const MeasureState& s, MeasureState& o) {
                return static_cast<bool>(gridless_apply(tau, self.ev, s, o));
            });
        }
        raise_step_failure(st);
        refuse_non_finite(out);
        dst->m = std::move(out);
        return none();
    });
}

Ref gridless_evolve_body(const GridlessEvolverObj& self, const Args& a) {
    ExclusiveArg<MeasureStateObj> state = exclusive_arg<MeasureStateObj>(a, 0);
    const double t_final = a.f64(1);
    const std::size_t n_steps = a.usize(2);
    const std::string ctx = "GridlessEvolver.evolve";
    if (n_steps == 0) py_err_with_kind("OutOfDomain", ctx + ": n_steps must be >= 1");
    if (!finite_nonneg(t_final)) py_err_with_kind("OutOfDomain", ctx + ": t_final must be finite >= 0");
    check_reaction_factor(ctx, self.ev.c, t_final, n_steps);
    check_atom_limit(ctx, self.ev.peak_atoms(state->m.atoms.size(), n_steps));
    MeasureState m = state->m;
    const Status st = run_with_lock_held([&] { return gridless_evolve(self.ev, m, t_final, n_steps); });
    if (!st && !overflowed(st)) raise_step_failure(st);
    if ((!st || m.first_non_finite()) && !state->m.first_non_finite()) {
        raise_measure_overflow(ctx, self.ev, state->m, "t_final", t_final, n_steps,
                               [&](const MeasureState& s, MeasureState& o) {
                                   o = s;
                                   return static_cast<bool>(
                                       run_with_lock_held([&] { return gridless_evolve(self.ev, o, t_final, n_steps); }));
                               });
    }
    raise_step_failure(st);
    refuse_non_finite(m);
    state->m = std::move(m);
    return none();
}

// ---------------------------------------------------------------------------

struct AdjointFokkerPlanckObj {
    AdjointFokkerPlanck op;
    static ClassDef& class_def();
};

constexpr char kAdjointDoc[] =
    "AdjointFokkerPlanckV8(a, b, c)\n--\n\n"
    "Adjoint Chernoff steps of a Dirac measure for the generator a f'' + b f' + c f.\n\n"
    "A step of size tau is the exact dual of S(tau) f(x) = f(x + h)/4 + f(x - h)/4 +\n"
    "f(x + k)/2 + tau c f(x), h = 2 sqrt(a tau), k = 2 b tau: every atom (x, w) becomes\n"
    "(x + h, w/4), (x - h, w/4), (x + k, w/2), (x, tau c w), so that the integral of S(tau) f\n"
    "against the old measure equals the integral of f against the new one. No atom is merged:\n"
    "N atoms become N * 4^n_steps, and a result above 67108864 (2^26) atoms is refused.\n\n"
    "With c < 0 the fourth child (x, tau c w) has the sign opposite to w, so the particle\n"
    "measure is signed though the solution stays positive: its mass is (1 + tau c)^n_steps,\n"
    "which tends to the exact e^{c t} only as tau -> 0 (c = -5, t = 1, 10 steps: 9.8e-4\n"
    "against 6.7e-3), and its total variation is (1 + tau |c|)^n_steps, which grows like\n"
    "e^{|c| t} while the solution's decays like e^{c t} (10 steps: 57.67 against 0.0067).\n"
    "``total_variation`` of the stepped atoms is that of the particle measure, not the\n"
    "solution's.\n\n"
    "Parameters\n----------\n"
    "a : float\n    Diffusion coefficient, finite and >= 0.\n"
    "b, c : float\n    Drift and reaction rate, finite.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[NanInf] adjoint_fp: a, b, c must be finite: {a}\" when a is not finite,\n"
    "    \"[OutOfDomain] adjoint_fp: a, b, c must be finite\" when b or c is not,\n"
    "    \"[OutOfDomain] adjoint_fp: a must be >= 0 (diffusion coefficient)\".\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> fp = quorvane.AdjointFokkerPlanckV8(1.0, 0.0, 0.0)      # f'' only: a particle cloud that spreads\n"
    ">>> pos, w = fp.step(0.1, [0.0], [1.0], n_steps=3)\n"
    ">>> print(len(pos), round(fp.total_variation(pos, w), 12), round(fp.second_moment(pos, w), 6))\n"
    "64 1.0 0.6\n";

constexpr char kStepDoc[] =
    "step($self, tau, positions, weights, n_steps=1)\n--\n\n"
    "Apply n_steps adjoint steps, each of the full size tau (total time n_steps * tau). The\n"
    "steps, and the filling of the result arrays, run with the interpreter lock released.\n\n"
    "Returns\n-------\ntuple of numpy.ndarray[float64]\n"
    "    (positions, weights) of the N * 4^n_steps atoms; atom i yields atoms 4i ... 4i + 3.\n\n"
    "Raises\n------\n"
    "TypeError\n    \"positions/weights must be numpy.ndarray[float64] or sequence of floats\".\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] tau must be finite and > 0\", \"[OutOfDomain] n_steps must be >= 1\",\n"
    "    kind CflViolated when 1 + tau c < 0, \"[GridMismatch] len(positions) must equal\n"
    "    len(weights)\", kind OutOfDomain when the result would exceed 2^26 atoms; kind NanInf\n"
    "    when finite positions and weights would leave the double range: positions carried\n"
    "    past it by x +- 2 sqrt(a tau) or x + 2 b tau name the tau that keeps them within it;\n"
    "    weights grown by tau c name the max|w0| of the same atoms that keeps them within it\n"
    "    (the steps are linear in the weights), or the tau where no scale of the weights\n"
    "    does. NaN or inf given in positions or weights is not refused: it is carried to the\n"
    "    children.\n";

constexpr char kAdjointSecondMomentDoc[] =
    "second_moment($self, positions, weights)\n--\n\n"
    "Return sum of x^2 * w over the atoms (positions[i], weights[i]).\n\n"
    "Raises\n------\n"
    "QuorvaneError\n    \"[GridMismatch] len(positions) != len(weights)\", \"[NanInf] all values must be\n"
    "    finite (no NaN/Inf): {value}\" when the sum of finite atoms is beyond the double range\n"
    "    (NaN or inf given gives the sum as computed).\n";

constexpr char kAdjointTotalVariationDoc[] =
    "total_variation($self, positions, weights)\n--\n\n"
    "Return sum of |w| over the atoms (positions[i], weights[i]): that of the particle\n"
    "measure, which with c < 0 grows while the solution's decays (see the class).\n\n"
    "Raises\n------\n"
    "QuorvaneError\n    \"[GridMismatch] len(positions) != len(weights)\", \"[NanInf] all values must be\n"
    "    finite (no NaN/Inf): {value}\" when the sum of finite atoms is beyond the double range\n"
    "    (NaN or inf given gives the sum as computed).\n";

// Either argument: one message that does not say which.
std::vector<double> extract_positions_weights_vec(PyObject* o) {
    std::optional<std::vector<double>> v = try_float_vector(o);
    if (!v) raise_type_error("positions/weights must be numpy.ndarray[float64] or sequence of floats");
    return std::move(*v);
}

AdjointFokkerPlanckObj adjoint_new(const Args& a) {
    return AdjointFokkerPlanckObj{unwrap(AdjointFokkerPlanck::make(a.f64(0), a.f64(1), a.f64(2)))};
}

// The adjoint steps of finite atoms whose result is not finite. A step
// moves an atom by 2 sqrt(a tau) or 2 b tau and gives each child its
// parent's weight times 1/4, 1/2 or tau c: the positions reach at most
// max|x0| + n_steps max(2 sqrt(a tau), 2 |b| tau) whatever the weights, and
// the weights, carried linearly, grow at most by max(|tau c|, 1/2)^n_steps.
// The steps on the weights scaled far down (retry_exponent, exact) tell
// whether a scale of the weights passes (named) or no scale does (then a tau
// is).
[[noreturn]] void raise_adjoint_overflow(const std::string& ctx, const AdjointFokkerPlanck& op,
                                         const MeasureState& start, double tau, std::uint64_t n_steps) {
    const double largest = std::numeric_limits<double>::max();
    const double n = static_cast<double>(n_steps);
    const double top_w = largest_weight(start);
    // The longest step that keeps the positions within the range (each move
    // at most a relative 2^-20 below its share of what is left of it)...
    const double share = (largest - largest_position(start)) * (1.0 - 0x1p-20) / n / 2.0;
    double tau_max = std::fmin(op.a > 0.0 ? share / op.a * share : largest,
                               op.b != 0.0 ? share / std::fabs(op.b) : largest);
    // ... and the weights: (tau c)^n_steps max|w0| <= largest (a relative
    // 2^-40 below it, for the rounding of the products).
    if (op.c > 0.0) {
        tau_max = std::fmin(tau_max, std::exp((std::log(largest) - std::log(top_w)) / n) / op.c * (1.0 - 0x1p-40));
    }
    const std::string shorter = "; tau <= " + fmt_exp3(floor_4_digits(std::clamp(tau_max, 0.0, largest))) +
                                " keeps them within it";
    MeasureState scaled = start;
    std::vector<double> weights;
    for (const Atom& at : start.atoms) weights.push_back(at.w);
    const int e = retry_exponent(weights);
    for (Atom& at : scaled.atoms) at.w = std::ldexp(at.w, -e);
    const Expected<MeasureState> again = without_gil([&] { return op.step(std::move(scaled), tau, n_steps); });
    if (again && !std::isfinite(largest_position(*again))) {
        py_err_with_kind("NanInf", ctx + ": the atoms' positions leave the double range (each step of tau moves an "
                                         "atom by 2 sqrt(a tau) or 2 |b| tau, from max|x0| = " +
                                         fmt_exp3(largest_position(start)) + ")" + shorter);
    }
    if (!again || again->first_non_finite()) {
        py_err_with_kind("NanInf", ctx + ": the weights leave the double range: each step multiplies a weight by up "
                                         "to max(|tau c|, 1/2), by a factor max(|tau c|, 1/2)^n_steps over the call "
                                         "that no scale of the weights keeps within it" + shorter);
    }
    const double top_in = std::ldexp(top_w, -e), top_out = largest_weight(*again);
    raise_weights_beyond(ctx, top_w, top_in, top_out, floor_4_digits_inside(largest_scaled_by(top_in, top_out)));
}

Ref adjoint_step(const AdjointFokkerPlanckObj& self, const Args& a) {
    const double tau = a.f64(0);
    const std::uint64_t n_steps = a.u64_or(3, 1);
    if (!(std::isfinite(tau) && tau > 0.0)) py_err_with_kind("OutOfDomain", "tau must be finite and > 0");
    if (n_steps == 0) py_err_with_kind("OutOfDomain", "n_steps must be >= 1");
    const std::string ctx = "AdjointFokkerPlanckV8.step";
    check_reaction_step(ctx, self.op.c, tau);
    const std::vector<double> positions = extract_positions_weights_vec(a.raw(1));
    const std::vector<double> weights = extract_positions_weights_vec(a.raw(2));
    if (positions.size() != weights.size()) {
        py_err_with_kind("GridMismatch", "len(positions) must equal len(weights)");
    }
    check_atom_limit(ctx, peak_atom_count(positions.size(), 4, n_steps, std::nullopt));
    // Everything but the arrays' creation runs without the lock: the steps,
    // the finiteness scan, the filling of the arrays (the first touch of up
    // to 2 x 512 MiB) and the release of the measure.
    std::optional<double> beyond;
    std::optional<MeasureState> out(compute([&]() -> Expected<MeasureState> {
        MeasureState start = zip_positions_weights(positions, weights);
        const bool finite_start = !start.first_non_finite();
        Expected<MeasureState> r = self.op.step(std::move(start), tau, n_steps);
        // Finite atoms carried beyond the double range (positions x +- h, or
        // weights grown by tau c) are refused; NaN or inf given is carried.
        if (r && finite_start) beyond = r->first_non_finite();
        return r;
    }));
    if (beyond) {
        out.reset();
        raise_adjoint_overflow(ctx, self.op, zip_positions_weights(positions, weights), tau, n_steps);
    }
    auto [x, x_data] = new_array_f64_unfilled(out->atoms.size());
    auto [w, w_data] = new_array_f64_unfilled(out->atoms.size());
    without_gil([&] {
        for (std::size_t i = 0; i < out->atoms.size(); ++i) {
            x_data[i] = out->atoms[i].x;
            w_data[i] = out->atoms[i].w;
        }
        out.reset();
    });
    return py_tuple({std::move(x), std::move(w)});
}

// The measure of second_moment and total_variation.
MeasureState measure_of(const Args& a) {
    const std::vector<double> positions = extract_positions_weights_vec(a.raw(0));
    const std::vector<double> weights = extract_positions_weights_vec(a.raw(1));
    if (positions.size() != weights.size()) py_err_with_kind("GridMismatch", "len(positions) != len(weights)");
    return zip_positions_weights(positions, weights);
}

Ref adjoint_second_moment(const AdjointFokkerPlanckObj&, const Args& a) {
    const MeasureState m = measure_of(a);
    return finite_moment(m, m.second_moment());
}
Ref adjoint_total_variation(const AdjointFokkerPlanckObj&, const Args& a) {
    const MeasureState m = measure_of(a);
    return finite_moment(m, m.total_variation());
}

}  // namespace

ClassDef& MeasureStateObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<MeasureStateObj>("MeasureState", kMeasureDoc);
        d.tp_new = constructor<MeasureStateObj, kMeasureDoc, &measure_new>();
        d.methods = {
            method<MeasureStateObj, kNDiracsDoc, &measure_n_diracs>(),
            method<MeasureStateObj, kStateTotalVariationDoc, &measure_total_variation>(),
            method<MeasureStateObj, kStateSecondMomentDoc, &measure_second_moment>(),
            method<MeasureStateObj, kMarginalDoc, &measure_marginal>(),
        };
        return d;
    }();
    return def;
}

ClassDef& GridlessEvolverObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<GridlessEvolverObj>("GridlessEvolver", kGridlessDoc);
        d.tp_new = constructor<GridlessEvolverObj, kGridlessDoc, &gridless_new>();
        d.methods = {
            method<GridlessEvolverObj, kApplyDoc, &gridless_apply_body>(),
            method<GridlessEvolverObj, kGridlessEvolveDoc, &gridless_evolve_body>(),
        };
        return d;
    }();
    return def;
}

ClassDef& AdjointFokkerPlanckObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<AdjointFokkerPlanckObj>("AdjointFokkerPlanckV8", kAdjointDoc);
        d.tp_new = constructor<AdjointFokkerPlanckObj, kAdjointDoc, &adjoint_new>();
        d.methods = {
            method<AdjointFokkerPlanckObj, kStepDoc, &adjoint_step>(),
            method<AdjointFokkerPlanckObj, kAdjointTotalVariationDoc, &adjoint_total_variation>(),
            method<AdjointFokkerPlanckObj, kAdjointSecondMomentDoc, &adjoint_second_moment>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* measure_state_type_object() { return type_object<MeasureStateObj>(); }
PyTypeObject* gridless_evolver_type_object() { return type_object<GridlessEvolverObj>(); }
PyTypeObject* adjoint_fokker_planck_v8_type_object() { return type_object<AdjointFokkerPlanckObj>(); }

}  // namespace quorvane::py
