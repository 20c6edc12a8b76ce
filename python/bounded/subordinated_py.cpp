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
    "beyond 1, so no mode grows). Each D(s_j) is chained from the previous one in heat steps of\n"
    "at most s_j/32. Order 1 in time.\n\n"
    "Window of the 32-node rules, for a mode of eigenvalue mu of -d^2 (measured at 50 steps\n"
    "over t = 0.5): its decay rate is phi(mu) to within ~5% for 1 <~ mu <~ 30 (stable, alpha = 1/2),\n"
    "mu/c <~ 30 (Gamma) and mu/c^2 <~ 30 (inverse Gaussian); below mu ~ 0.1 the stable rate is\n"
    "~15% low. Outside the window modes still decay, but not at phi(mu).\n\n"
    "Parameters\n----------\n"
    "subordinator : str\n    \"stable\", \"gamma\" or \"inverse_gaussian\" (case-sensitive).\n"
    "alpha : float\n    Stable index, 0 < alpha < 1 (stable only).\n"
    "c : float\n    Rate parameter, finite and > 0 (gamma and inverse Gaussian only).\n"
    "n_nodes : int\n    Quadrature nodes, 1 to 32.\n"
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
    "inverse-Gaussian law); calls heavier than 10000 sub-steps are refused before any work,\n"
    "naming the longest t one call serves. The Gamma law's rule exists for steps up to\n"
    "tau = 171.6.\n\n"
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

// The inverse-Gaussian law's diffusion times 2 y/c^2 and jump weights
// c/(2 sqrt(pi)) w/y do not depend on t: a c whose times take heat steps
// that read beyond 2^53 cells (or beyond the double range), or whose jump
// weight per unit time overflows, is served by no call. Both scale with c
// (steps as 1/c^2, weights as c), so the range served follows from c = 1.
void refuse_unserved_scale(const SubordinatedChernoff& k) {
    const SubordinatedChernoff unit_law{k.inner, unwrap(Subordinator::inverse_gaussian(1.0)), k.n_nodes};
    const SubordinationRule r1 = unwrap(unit_law.rule(1.0));
    const double formed = unit_heat2_formed_step();
    const HeatJudgement reach = judge_heat_step(k.inner, formed);
    const double step_max = reach.range ? reach.range->tau_max : formed;
    const double largest = std::numeric_limits<double>::max();
    // The longest time itself a double, and the chains' steps within reach.
    const double longest_time = r1.times.empty() ? 0.0 : r1.times.back();
    const double c_low =
        std::fmax(std::sqrt(longest_time / largest), std::sqrt(longest_chain_step(r1) / step_max)) * (1.0 + 0x1p-40);
    const double c_high = largest / r1.jump_weight * (1.0 - 0x1p-40);
    const double c = k.law.param;
    if (c >= c_low && c <= c_high) return;
    // Printed inwards: ceil_4_digits may land up to 1e-9 of a unit in the
    // last digit below its argument.
    const double c_min = ceil_4_digits(c_low * (1.0 + 1e-9));
    const double c_max = floor_4_digits(c_high);
    py_err_with_kind("OutOfDomain", std::string(kName) + ": no call serves " + law_text(k) +
                                        " on this grid: below c = " + fmt_exp3(c_min) +
                                        " its diffusion times 2 y/c^2 take heat steps whose reads lie more than "
                                        "2^53 cells beyond the end nodes or beyond the double range, and above c = " +
                                        fmt_exp3(c_max) +
                                        " its jump weight per unit time, c/(2 sqrt(pi)) sum w/y, leaves the double "
                                        "range; c in [" + fmt_exp3(c_min) + ", " + fmt_exp3(c_max) + "] is served");
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
    if (law.tag == Subordinator::Tag::InverseGaussian) refuse_unserved_scale(kernel);
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
    const std::string cls = kName;
    if (k.law.tag == Subordinator::Tag::Gamma) {
        auto rule_exists = [&](double tau) { return static_cast<bool>(k.rule(tau)); };
        const double tau = t / static_cast<double>(n_steps);
        if (rule_exists(tau)) return;
        const double tau_max = floor_4_digits(admitted_counts(tau, 1, rule_exists).longest_t);
        const StepCounts counts = admitted_counts(t, kU64Counts, [&](double step) { return step <= tau_max; });
        py_err_with_kind("OutOfDomain", cls + ": tau = t/n_steps = " + fmt_exp3(tau) + " is too long a step for " +
                                            law_text(k) + ": its rule weighs x^(tau - 1) e^-x, whose mass " +
                                            "Gamma(tau) leaves the double range; the largest admissible tau is " +
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
