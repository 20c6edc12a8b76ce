// Python class Subordinated1D: fractional and other subordinated heat
// semigroups exp(-t phi(-d^2)).
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/bounded/subordinated.hpp"
#include "core/foundation/format.hpp"
#include "core/foundation/numeric.hpp"
#include "python/evolver.hpp"
#include "python/step_counts.hpp"

namespace quorvane::py {
namespace {

using Subordinated1DObj = GridStepEvolverObj<SubordinatedChernoff>;

constexpr char kName[] = "Subordinated1D";

constexpr char kSubordinatedDoc[] =
    "Subordinated1D(xmin, xmax, n, u0, *, subordinator=\"stable\", alpha=0.5, c=1.0, n_nodes=32, "
    "boundary=\"reflect\")\n--\n\n"
    "Subordinated heat evolution exp(-t phi(-d^2/dx^2)) on a uniform grid.\n\n"
    "phi is the Laplace exponent of the subordinator: \"stable\" lambda^alpha (fractional heat),\n"
    "\"gamma\" log(1 + lambda/c), \"inverse_gaussian\" sqrt(c^2 + 2 lambda) - c. A step of size tau is a\n"
    "weighted sum of heat evolutions D(s_j) over diffusion times s_j from an n_nodes-point Gauss\n"
    "rule: over the Gamma law, or over the Levy measure for the stable and inverse-Gaussian laws\n"
    "(I + tau int (D(s) - I) nu(ds), split into equal sub-steps whenever the jump weights sum\n"
    "beyond 1, so no mode grows). The Gamma law's steps up to tau = 2^-30 take its Levy measure\n"
    "too (the law at time tau cannot carry shorter steps; t = 0 leaves u as it is). Each D(s_j)\n"
    "is chained from the previous one in heat steps of at most s_j/32. Order 1 in time.\n\n"
    "A law whose diffusion times take heat steps that read more than 2^53 cells beyond the\n"
    "end nodes is served by no call, and is refused at construction, naming the c served on\n"
    "this grid (Gamma: c >= a bound, inverse Gaussian: a range) and the grid of the same n\n"
    "that serves it (xmax - xmin >= a span).\n\n"
    "With reflecting or periodic ends the Gamma and inverse-Gaussian steps multiply each mode of the\n"
    "grid (cosines, Fourier modes: exact eigenvectors of the heat step's generator, the degree-7\n"
    "second difference, eigenvalue mu) by exp(-tau phi(mu)): exact to rounding for every c, t and\n"
    "n_steps. With zero or linear ends they take the rules, which give a mode's rate phi(mu) to\n"
    "about 5% only for mu/c <= 30 (Gamma) and mu/c^2 <= 1/3 (inverse Gaussian) over the grid's\n"
    "modes, mu_max = 6.044/dx^2: a smaller c is refused when the object is built.\n\n"
    "Window of the stable law's 32-node rule (measured at 50 steps over t = 0.5): a mode's decay\n"
    "rate is mu^alpha to within ~5% for 1 <~ mu <~ 30 (alpha = 1/2); below mu ~ 0.1 it is ~15% low.\n"
    "Outside the window modes still decay, but not at phi(mu).\n\n"
    "Parameters\n----------\n"
    "subordinator : str\n    \"stable\", \"gamma\" or \"inverse_gaussian\" (case-sensitive).\n"
    "alpha : float\n    Stable index, 0 < alpha < 1 (stable only).\n"
    "c : float\n    Rate parameter, finite and > 0 (gamma and inverse Gaussian only), within the range\n"
    "    served on the grid.\n"
    "n_nodes : int\n    Quadrature nodes, 1 to 32.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    kind OutOfDomain \"Subordinated1D: no call serves {law} on this grid: ...\" when the law's\n"
    "    diffusion times read beyond 2^53 cells on this grid (or c is beyond the range served),\n"
    "    naming the c and the span xmax - xmin that serve it; \"... accurately on this grid: below c =\n"
    "    {} ...\" for the Gamma and inverse-Gaussian laws with zero or linear ends below the c whose\n"
    "    rule is accurate, naming the least c served; the subordinator, u0, grid and\n"
    "    n_nodes refusals otherwise.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 41)\n"
    ">>> s = quorvane.Subordinated1D(0.0, 1.0, 41, np.cos(np.pi * x), subordinator=\"stable\", alpha=0.5)\n"
    ">>> s.evolve(0.5, n_steps=50)        # fractional heat: the mode decays like exp(-t pi)\n"
    ">>> print(round(float(s.values()[0] / np.exp(-0.5 * np.pi)), 2))\n"
    "1.0\n";

constexpr char kOrderDoc[] = "order($self)\n--\n\nReturn the temporal order: 1.\n";
constexpr char kEvolveDoc[] =
    "evolve($self, t, n_steps=100)\n--\n\n"
    "Advance by time t in n_steps subordinated steps; returns None.\n\n"
    "The stable and inverse-Gaussian steps are split into sub-steps of jump weight at most 1, so\n"
    "a call costs at least t times the weight of a unit step in sub-steps whatever n_steps (with\n"
    "32 nodes 10.0 for the stable law with alpha = 0.5, 216 with alpha = 0.9, 9.07 c for the\n"
    "inverse-Gaussian law, with zero or linear ends only); calls heavier than 10000 sub-steps are refused before any work,\n"
    "naming the longest t one call serves. The Gamma law's rule exists for steps up to\n"
    "tau = 171.6, and its diffusion times grow with tau: steps whose times read beyond 2^53\n"
    "cells are refused before any work, naming the largest tau and the least n_steps.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\";\n"
    "    kind OutOfDomain for a call too heavy for one call (\"... one call serves t <= {}\") and\n"
    "    for a Gamma step too long for its rule (\"...; use n_steps >= {} for t = {}\").\n";

std::string law_text(const SubordinatedChernoff& k) {
    const std::string nodes = ", n_nodes = " + std::to_string(k.n_nodes) + ")";
    switch (k.law.tag) {
        case Subordinator::Tag::Stable: return "the stable law (alpha = " + exact_time(k.law.param) + nodes;
        case Subordinator::Tag::Gamma: return "the Gamma law (c = " + exact_time(k.law.param) + nodes;
        case Subordinator::Tag::InverseGaussian:
            return "the inverse-Gaussian law (c = " + exact_time(k.law.param) + nodes;
    }
    return {};
}

// Why a law's diffusion times are not served on a grid.
constexpr char kReadsBeyond[] = "take heat steps whose reads lie more than 2^53 cells beyond the end nodes";

// The longest unit heat step on the kernel's grid whose reads all lie
// within 2^53 cells of the end nodes (and which can be formed at all).
double longest_read_step(const DiffusionChernoff& inner) {
    const double formed = unit_heat2_formed_step();
    const HeatJudgement reach = judge_heat_step(inner, formed);
    return reach.range ? reach.range->tau_max : formed;
}

// A rule's diffusion times are each a double, and the heat steps that chain
// them read within reach.
bool within_reach(const SubordinationRule& r, double step_max) {
    const double longest_time = r.times.empty() ? 0.0 : r.times.back();
    return std::isfinite(longest_time) && longest_chain_step(r) <= step_max;
}

// The least xmax - xmin (four digits, rounded up) of a grid of the same
// nodes, ends and xmin on which heat steps of `chain` read within reach; 0
// where none is found. Reads reach sqrt(tau)/dx cells, so that span follows
// from the present one; it is then tried, and widened until it passes.
double least_span(const Grid1D<double>& g, double chain, double step_max) {
    auto passes = [&](double span) {
        const auto grid = Grid1D<double>::make(g.boundary, g.interp_kind, g.xmin, g.xmin + span, g.n);
        return grid && longest_read_step(DiffusionChernoff::unit(*grid)) >= chain;
    };
    double span = ceil_4_digits((g.xmax - g.xmin) * (std::sqrt(chain) / std::sqrt(step_max)) * (1.0 + 1e-6));
    for (int i = 0; i < 40 && std::isfinite(span); ++i, span = ceil_4_digits(span * 1.01)) {
        if (passes(span)) return span;
    }
    return 0.0;
}

// "{lead}a grid of n nodes with xmax - xmin >= {span} serves it" where the
// times of the rule are doubles and a wider grid reaches them.
std::string wider_grid(const SubordinatedChernoff& k, const SubordinationRule& r, double step_max,
                       const std::string& lead) {
    if (!std::isfinite(r.times.empty() ? 0.0 : r.times.back())) return {};
    const double span = least_span(k.inner.grid, longest_chain_step(r), step_max);
    if (!(span > 0.0)) return {};
    return lead + "a grid of " + std::to_string(k.inner.grid.n) + " nodes with xmax - xmin >= " + fmt_exp3(span) +
           " serves it";
}

// Without exact modes (ends other than reflecting or periodic) the Gamma
// and inverse-Gaussian steps take their rules, which give a mode's decay rate
// phi(mu) to within some 5 % only while mu/c <= 30 (Gamma) or mu/c^2 <= 1/3
// (inverse Gaussian): beyond, the diffusion times far exceed dx^2 and the
// results are wrong by orders of magnitude that grow with the step count
// (measured against the eigen-decomposition of the grid's own generator,
// whose modes reach mu_max = 6.044/dx^2). A smaller c is refused, naming the
// least c served. Where the reads of the rule's heat steps name a larger
// c, the refusal below names that one.
double refuse_inaccurate_law(const SubordinatedChernoff& k, bool gamma) {
    const double dx = k.inner.grid.dx();
    const double sym = unit_mode_symbol(3.141592653589793);
    const double c_window = gamma ? (sym / 30.0) / (dx * dx) : std::sqrt(3.0 * sym) / dx;
    const double c = k.law.param;
    if (c >= c_window || !std::isfinite(c_window)) return c_window;
    const double c_min = ceil_4_digits(c_window * (1.0 + 1e-9));
    if (!std::isfinite(c_min)) return c_window;
    py_err_with_kind("OutOfDomain", std::string(kName) + ": no call serves " + law_text(k) +
                                        " accurately on this grid: below c = " + fmt_exp3(c_min) +
                                        (gamma ? " (mu_max/30" : " (sqrt(3 mu_max)") +
                                        ", mu_max = 6.044/dx^2 the grid's largest mode of -d^2/dx^2) its rule's "
                                        "diffusion times far exceed dx^2 and its decay rates are wrong beyond 5 %; "
                                        "c >= " + fmt_exp3(c_min) + " is served, and with reflecting or periodic ends "
                                        "every c (each mode's exact factor)");
    return c_window;
}

// The diffusion times of a law's rule up to the steps that take its Levy
// measure (every step of the stable and inverse-Gaussian laws, the Gamma
// law's up to 2^-30) do not depend on the step: a grid on which they take
// heat steps that read beyond 2^53 cells (or times beyond the double range)
// is served by no call. The scale laws' times go as 1/c (Gamma) and 1/c^2
// (inverse Gaussian), so the c served follows from c = 1; the inverse-
// Gaussian jump weight per unit time, which grows as c, bounds it above.
void refuse_unserved_law(const SubordinatedChernoff& k) {
    if (k.modes) return;  // exact modes: no heat step is taken
    const double step_max = longest_read_step(k.inner);
    const SubordinationRule fixed = unwrap(k.rule(0.0));
    if (k.law.tag == Subordinator::Tag::Stable) {
        if (within_reach(fixed, step_max)) return;
        py_err_with_kind("OutOfDomain",
                         std::string(kName) + ": no call serves " + law_text(k) + " on this grid: its diffusion times, "
                             "up to " + fmt_exp3(fixed.times.back()) + ", " + kReadsBeyond + " (dx = " +
                             fmt_exp3(k.inner.grid.dx()) + ")" + wider_grid(k, fixed, step_max, "; "));
    }
    const bool gamma = k.law.tag == Subordinator::Tag::Gamma;
    const double c_accurate = refuse_inaccurate_law(k, gamma);
    const SubordinatedChernoff unit_law{
        k.inner, unwrap(gamma ? Subordinator::gamma(1.0) : Subordinator::inverse_gaussian(1.0)), k.n_nodes};
    const SubordinationRule r1 = unwrap(unit_law.rule(0.0));
    const double largest = std::numeric_limits<double>::max();
    const double longest_time = r1.times.empty() ? 0.0 : r1.times.back();
    const double chain = longest_chain_step(r1);
    const double c_low = (gamma ? std::fmax(longest_time / largest, chain / step_max)
                                : std::fmax(std::sqrt(longest_time / largest), std::sqrt(chain / step_max))) *
                         (1.0 + 0x1p-40);
    const double c_high = gamma ? largest : largest / unwrap(unit_law.rule(1.0)).jump_weight * (1.0 - 0x1p-40);
    const double c = k.law.param;
    if (c >= c_low && c <= c_high) return;
    // Printed inwards: ceil_4_digits may land up to 1e-9 of a unit in the
    // last digit below its argument.
    const double c_min = ceil_4_digits(c_low * (1.0 + 1e-9));
    const std::string below = " on this grid: below c = " + fmt_exp3(c_min) + " its diffusion times " +
                              (gamma ? "x/c " : "2 y/c^2 ") + kReadsBeyond + " or beyond the double range";
    const std::string grid =
        c < c_low ? wider_grid(k, fixed, step_max, "; at c = " + exact_time(c) + " ") : std::string();
    if (gamma) {
        py_err_with_kind("OutOfDomain", std::string(kName) + ": no call serves " + law_text(k) + below + "; c >= " +
                                            fmt_exp3(c_min) + " is served" + grid);
    }
    const double c_max = floor_4_digits(c_high);
    // Above the range: the least c named is served by the rule's accuracy too.
    const double c_least = c < c_low ? c_min : ceil_4_digits(std::fmax(c_low, c_accurate) * (1.0 + 1e-9));
    py_err_with_kind("OutOfDomain", std::string(kName) + ": no call serves " + law_text(k) + below +
                                        ", and above c = " + fmt_exp3(c_max) +
                                        " its jump weight per unit time, c/(2 sqrt(pi)) sum w/y, leaves the double "
                                        "range; c in [" + fmt_exp3(c_least) + ", " + fmt_exp3(c_max) + "] is served" +
                                        grid);
}

Subordinated1DObj subordinated_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const std::string name = a.str_or(4, "stable");
    const double alpha = a.f64_or(5, 0.5);
    const double c = a.f64_or(6, 1.0);
    const std::size_t n_nodes = a.usize_or(7, 32);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(8, "reflect"));
    std::vector<double> u0 = extract_u0_vec(a.raw(3));
    Subordinator law;
    if (name == "stable") law = unwrap(Subordinator::stable(alpha));
    else if (name == "gamma") law = unwrap(Subordinator::gamma(c));
    else if (name == "inverse_gaussian") law = unwrap(Subordinator::inverse_gaussian(c));
    else py_err_with_kind("Unsupported", "Unknown subordinator '" + name + "'. Must be 'stable', 'gamma', or 'inverse_gaussian'.");
    if (const double* bad = first_non_finite<double>(u0)) unwrap(domain_error("u0 contains NaN or Inf", *bad));
    const Grid1D<double> grid = unwrap(Grid1D<double>::make(policy, InterpKind::septic(), xmin, xmax, n));
    SubordinatedChernoff kernel = unwrap(SubordinatedChernoff::make(grid, law, n_nodes));
    refuse_unserved_law(kernel);
    auto semigroup = unwrap(ChernoffSemigroup<SubordinatedChernoff>::make(std::move(kernel), 100));
    return {std::move(semigroup), unwrap(GridFn<double>::make(grid, std::move(u0)))};
}

Ref subordinated_order(const Subordinated1DObj&, const Args&) { return py_int(1); }


// What a call asks before any work. The Levy-measure laws split a step into
// sub-steps of jump weight at most 1, so a call's work grows with t however
// it is divided into steps: past a cap on that weight no count helps, and
// the refusal names the longest t one call serves. The Gamma law's rule
// weighs x^(tau - 1) e^-x, whose mass Gamma(tau) leaves the double range for
// long steps: there more steps help.
void refuse_call(const SubordinatedChernoff& k, double t, std::size_t n_steps) {
    if (k.modes) return;  // exact modes: any t, in any number of steps
    const std::string cls = kName;
    if (k.law.tag == Subordinator::Tag::Gamma) {
        // The Gamma(tau, c) law's times x/c grow with tau (the rule's nodes
        // with its exponent tau - 1): a longer step may read beyond reach
        // where the short ones, judged at construction, do not.
        const double step_max = longest_read_step(k.inner);
        auto served = [&](double tau) {
            const Expected<SubordinationRule> r = k.rule(tau);
            return r && within_reach(*r, step_max);
        };
        const double tau = t / static_cast<double>(n_steps);
        if (served(tau)) return;
        const double longest = admitted_counts(tau, 1, served).longest_t;
        const double tau_max = floor_4_digits(longest);
        const StepCounts counts = admitted_counts(t, kU64Counts, [&](double step) { return step <= tau_max; });
        const Expected<SubordinationRule> r = k.rule(tau);
        std::string why = r ? "its diffusion times x/c, up to " + fmt_exp3(r->times.back()) + ", " + kReadsBeyond
                            : std::string("its rule weighs x^(tau - 1) e^-x, whose mass Gamma(tau) leaves the "
                                          "double range");
        // Where the reads, not the mass, end the steps served, the bound named is theirs.
        if (!r && k.rule(std::nextafter(longest, std::numeric_limits<double>::infinity()))) {
            why += ", and the diffusion times of steps beyond " + fmt_exp3(tau_max) + " " + kReadsBeyond;
        }
        py_err_with_kind("OutOfDomain", cls + ": tau = t/n_steps = " + fmt_exp3(tau) + " is too long a step for " +
                                            law_text(k) + ": " + why + "; the largest admissible tau is " +
                                            fmt_exp3(tau_max) + "; " +
                                            count_advice(counts, "n_steps", kU64Counts, {"t", t}));
    }
    const double unit = unwrap(k.rule(1.0)).jump_weight;
    auto within_cap = [&](double span) { return span * unit <= SubordinatedChernoff::kMaxCallJumpWeight; };
    if (within_cap(t)) return;
    const double longest = admitted_counts(t, 1, within_cap).longest_t;
    py_err_with_kind("OutOfDomain", cls + ": t = " + fmt_exp3(t) + " is too long for one call of " + law_text(k) +
                                        ": its jumps over t weigh " + fmt_exp3(t * unit) +
                                        ", and the steps are split into sub-steps of jump weight at most 1, more "
                                        "than the " + fmt_shortest(SubordinatedChernoff::kMaxCallJumpWeight) +
                                        " one call takes at any n_steps; one call serves t <= " +
                                        exact_time(longest) + " (longer times take several calls)");
}

Ref subordinated_evolve(Subordinated1DObj& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 100);
    check_steps_and_time(n_steps, t);
    refuse_call(self.semigroup.kernel, t, n_steps);
    evolve_semigroup(kName, self.semigroup, self.state, t, n_steps);
    return none();
}

}  // namespace

template <>
ClassDef& Subordinated1DObj::class_def() {
    static ClassDef def = [] {
        using K = SubordinatedChernoff;
        ClassDef d = class_def_base<Subordinated1DObj>(kName, kSubordinatedDoc);
        d.tp_new = constructor<Subordinated1DObj, kSubordinatedDoc, &subordinated_new>();
        d.methods = {method<Subordinated1DObj, kOrderDoc, &subordinated_order>(),
                     method<Subordinated1DObj, kEvolveDoc, &subordinated_evolve>(),
                     method<Subordinated1DObj, kValuesDoc, &grid_step_values<K>>()};
        return d;
    }();
    return def;
}

PyTypeObject* subordinated1d_type_object() { return type_object<Subordinated1DObj>(); }

}  // namespace quorvane::py
