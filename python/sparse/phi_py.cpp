// The phi-function actions phi_action and phi_action_batched, and the ETDRK4
// driver Etdrk4 built on them.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "core/foundation/format.hpp"
#include "core/foundation/numeric.hpp"
#include "core/sparse/etdrk4.hpp"
#include "core/sparse/phi_functions.hpp"
#include "python/evolver.hpp"
#include "python/graph/graph_args.hpp"
#include "python/sparse/sparse_args.hpp"
#include "python/step_counts.hpp"

namespace quorvane::py {

struct Etdrk4Obj {
    std::shared_ptr<const Etdrk4> scheme;
    std::uint64_t n = 0;
    static ClassDef& class_def();
};

namespace {

constexpr char kPhiDoc[] =
    "phi_action(op, k, tau, v)\n--\n\n"
    "phi_k(tau A) v for A = -op and k = 0..3, as a new 1-D float64 array.\n\n"
    "phi_0 = exp and phi_k(z) = sum_j z^j / (j + k)!, so phi_k(0) = 1/k! (no factor tau^k is\n"
    "applied). Computed from one exponential action of the (n + 3)-dimensional augmented\n"
    "matrix by a scaled truncated Taylor series; tau may be negative. An action that would\n"
    "need more than 1e7 sparse products is refused before any work (kind OutOfDomain), naming\n"
    "what every v is served at: \"...; it serves tau up to {X} on this operator\", and for a\n"
    "negative tau \"|tau| up to {X} on this operator for this v\", an |tau| that also keeps\n"
    "e^{|tau| lambda_max_bound} sqrt(n) max|v| (and the series' products with the operator)\n"
    "a factor e^8 inside the double range; a v holding NaN or Inf\n"
    "(\"[NanInf] v contains NaN or Inf: {value}\") and a result beyond the double range (a\n"
    "negative tau grows the data) are refused with kind NanInf, the latter naming the max|v|\n"
    "that keeps it within: the action is linear and runs at v's unit scale, so v of every size\n"
    "whose result is a double is served.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> K = quorvane.ConservativeDiffusionChernoff.from_k_array(8, 0.0, 1.0, np.ones(8)).to_symmetric_operator()\n"
    ">>> print(np.round(quorvane.phi_action(K, 1, 0.1, np.ones(8)), 12)[:3])   # phi_1(0) = 1 on constants\n"
    "[1. 1. 1.]\n";
constexpr char kPhiBatchedDoc[] =
    "phi_action_batched(op, p, tau, v)\n--\n\n"
    "The rows phi_k(tau A) v for k = 0..p (p <= 3) as a new (p + 1, n) float64 array;\n"
    "row k equals ``phi_action(op, k, tau, v)`` value for value, and it fails as that does.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> K = quorvane.ConservativeDiffusionChernoff.from_k_array(8, 0.0, 1.0, np.ones(8)).to_symmetric_operator()\n"
    ">>> out = quorvane.phi_action_batched(K, 3, 0.1, np.ones(8))\n"
    ">>> print(np.round(out[:, 0], 6))     # phi_0..phi_3 on constants: 1, 1, 1/2, 1/6\n"
    "[1.       1.       0.5      0.166667]\n";

constexpr char kEtdrk4Doc[] =
    "Fourth-order exponential time differencing Runge-Kutta (Cox-Matthews) for\n"
    "du/dt = A u + N(u), A = -L of a SymmetricOperator, with a fixed step h.\n\n"
    "Built by ``Etdrk4.from_symmetric_op``; the nonlinearity \"allen_cahn\" is\n"
    "N(u) = u - u^3. One step costs nine phi-function actions (no phi matrix is formed).\n\n"
    "The fourth order is that of mildly stiff steps (measured 3.96-4.00 on Allen-Cahn with\n"
    "t lambda_max = 40, h lambda_max from 10 to 0.12); on stiff ones it drops (2.3-2.8 with\n"
    "t lambda_max = 4e3, h lambda_max from 400 to 12.5): plan step counts with that order.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> K = quorvane.ConservativeDiffusionChernoff.from_k_array(32, 0.0, 1.0, np.full(32, 1e-3)).to_symmetric_operator()\n"
    ">>> e = quorvane.Etdrk4.from_symmetric_op(K, \"allen_cahn\", 0.1)\n"
    ">>> u = e.integrate(np.full(32, 0.5), 100)             # u' = -K u + u - u^3 from 0.5 towards 1\n"
    ">>> print(e.n(), bool(abs(u - 1.0).max() < 1e-3))\n"
    "32 True\n";
constexpr char kFromDoc[] =
    "from_symmetric_op(op, nonlinearity, h)\n--\n\n"
    "An integrator for the operator op with the named nonlinearity (\"allen_cahn\") and the\n"
    "step h (finite, > 0).\n";
constexpr char kStepDoc[] =
    "step($self, u)\n--\n\nThe state after one step h, as a new 1-D float64 array.\n\n"
    "A u holding NaN or Inf is refused (\"[NanInf] u contains NaN or Inf: {value}\"), and so is a\n"
    "step whose nonlinearity u - u^3 or result leaves the double range (kind NanInf, naming it).\n"
    "A step one of whose phi actions would need more than 1e7 sparse products (h * lambda_max_bound\n"
    "above about 5.9e5) is refused before any work, kind OutOfDomain, naming the largest h that\n"
    "this cap and the rule on h below admit for these data; a step costs about\n"
    "110 * h * lambda_max_bound sparse products in all.\n\n"
    "The solution keeps |u| <= max(1, max|u|) (sqrt(1 - g) in place of 1 when the operator's\n"
    "Gershgorin floor g = min_i (L_ii - sum_{j != i} |L_ij|) is negative), and along it\n"
    "N'(u) = 1 - 3u^2 >= 1 - 3M^2 with M = max(sqrt(max(0, 1 - g)), max|u|) (M = 1 on a\n"
    "Laplacian for |u| <= 1; data within 5 % beyond max(1, sqrt(1 - g)), the steps' own\n"
    "overshoot near fronts, count as that). A step with h * (3M^2 - 1) > 2.7 (h > 1.35 on a\n"
    "Laplacian), at which the steps stall at spurious values, fall past the solution or blow up,\n"
    "is refused before any work, kind CflViolated, naming the largest admissible h. Near fronts\n"
    "the steps overshoot the bound by a fixed amount (at most 1.75 % at h = 1.35, the same at\n"
    "every step count); a result beyond it by more than 5 % is refused the same way.\n";
constexpr char kIntegrateDoc[] =
    "integrate($self, u0, n_steps)\n--\n\n"
    "The state u(n_steps h) after n_steps steps from u0, as a new 1-D float64 array\n"
    "(n_steps = 0 gives a copy of u0). A u0 holding NaN or Inf, a step that leaves the double\n"
    "range and a step beyond the product cap are refused as by ``step``, and so is an h beyond\n"
    "the largest admissible one for u0, before the first step whatever n_steps (the message also\n"
    "names the least n_steps whose steps cover t = n_steps * h), kind CflViolated.\n";
constexpr char kNDoc[] = "n($self)\n--\n\nOperator dimension.\n";

struct PhiArgs {
    SymmetricOperator op;
    std::uint32_t k;
    double tau;
    std::vector<double> v;
};

PhiArgs phi_args(const Args& a, const char* index_name) {
    SymmetricOperator op = symmetric_operator_arg(a, 0);
    const std::uint64_t k = a.u64(1);
    const double tau = a.f64(2);
    const Buffer v = extract_f64_array(a.raw(3), "v");
    if (k > PHI_MAX) {
        py_err_with_kind("OutOfDomain", std::string(index_name) + " = " + std::to_string(k) +
                                            " > PHI_MAX = " + std::to_string(PHI_MAX));
    }
    if (!std::isfinite(tau)) py_err_with_kind("OutOfDomain", "tau must be finite");
    std::vector<double> values = finite_values(v, "v", op.n(), "op.n()");
    // Refused before any work, naming a |tau| that every v is served at
    // (phi_plans_fit bounds the plans of all data). A negative tau grows v by
    // up to e^{|tau| lambda_max_bound} (phi_k(z) <= e^z for z >= 0, in the
    // 2-norm, which bounds max|.| by sqrt(n) max|v|); the series runs on v
    // scaled to max|v| <= 1, where its products with the operator reach up
    // to lambda_max_bound times that growth. The |tau| named for it keeps
    // both a factor e^8 inside the double range for these data.
    const NegLaplacianGenerator gen(op);
    if (!phi_plan(gen, tau, values)) {
        double top = 0.0;
        for (const double e : values) top = std::max(top, std::fabs(e));
        const double rho = gen.lap->spectral_bound;
        const double log_size = 0.5 * std::log(static_cast<double>(values.size())) +
                                std::max(std::log(std::max(1.0, rho)), std::log(top));
        auto served = [&](double x) {
            if (!phi_plans_fit(gen, x, kPhiTooLarge)) return false;
            return tau >= 0.0 || x * rho + log_size <= std::log(std::numeric_limits<double>::max()) - 8.0;
        };
        py_err_with_kind("OutOfDomain", kPhiTooLarge + (tau >= 0.0 ? served_up_to("tau", tau, served)
                                                                    : served_up_to("|tau|", -tau, served,
                                                                                   "on this operator for this v")));
    }
    return {std::move(op), static_cast<std::uint32_t>(k), tau, std::move(values)};
}

// `rows` phi-function rows of n values from v, by `action(v, out)`; linear
// in v, so run at its unit scale (evolve_linear), where the products of v
// with the operator's powers neither overflow nor underflow.
template <class Action>
std::vector<double> phi_rows(const char* fn, const PhiArgs& p, std::size_t rows, Action&& action) {
    return evolve_linear(fn, p.v, [&](std::vector<double> v) -> Expected<std::vector<double>> {
        std::vector<double> out(rows * v.size(), 0.0);
        if (Status st = action(v, out); !st) return fail(st.error());
        return out;
    });
}

Ref phi_action_body(const Args& a) {
    const PhiArgs p = phi_args(a, "k");
    return new_array_f64(phi_rows("phi_action", p, 1, [&](std::span<const double> v, std::span<double> out) {
        ScratchPool<double> pool;
        return phi_action_expmv(NegLaplacianGenerator(p.op), p.k, v, out, pool, p.tau);
    }));
}

Ref phi_batched_body(const Args& a) {
    const PhiArgs p = phi_args(a, "p");
    const std::vector<double> out =
        phi_rows("phi_action_batched", p, p.k + 1, [&](std::span<const double> v, std::span<double> out) {
            ScratchPool<double> pool;
            return phi_action_rows(NegLaplacianGenerator(p.op), p.k, v, out, pool, p.tau);
        });
    return new_array_f64_2d(p.k + 1, p.v.size(), out);
}

Ref etdrk4_from(const Args& a) {
    const SymmetricOperator op = symmetric_operator_arg(a, 0);
    const std::string name = a.str(1);
    const double h = a.f64(2);
    if (name != "allen_cahn") {
        py_err_with_kind("OutOfDomain", "unknown nonlinearity '" + name + "'; valid choices: \"allen_cahn\"");
    }
    if (!std::isfinite(h) || !(h > 0.0)) py_err_with_kind("OutOfDomain", "h must be finite and positive");
    Etdrk4 scheme = unwrap(Etdrk4::make(NegLaplacianGenerator(op), Etdrk4Nonlinearity::AllenCahn, h));
    const std::uint64_t n = scheme.n;
    return new_object(Etdrk4Obj{std::make_shared<const Etdrk4>(std::move(scheme)), n});
}

// An h at which the steps would not follow the solution from data of
// largest magnitude `top` (etdrk4_limits): CflViolated naming the largest
// admissible h and, for a call of n_steps steps, the least step count that
// covers its time n_steps * h with admissible steps. Data whose cube leaves the
// double range admit no h: the step refuses them (NanInf) at its first
// nonlinearity, before any phi action.
void refuse_unfollowing_h(const Etdrk4& scheme, double top, std::optional<std::uint64_t> n_steps) {
    if (!std::isfinite(top * top * top)) return;
    const Etdrk4Limits lim = etdrk4_limits(scheme, top);
    if (scheme.h <= lim.h_max) return;
    const double shown = floor_4_digits(lim.h_max);
    std::string msg = "Etdrk4: h = " + fmt_exp3(scheme.h) + " exceeds the largest admissible h = " + fmt_exp3(shown) +
                      " for \"allen_cahn\": the solution ranges over |u| <= " + fmt_exp3(lim.reach) +
                      ", where N'(u) = 1 - 3u^2 falls to " + fmt_exp3(-lim.damping) + ", and h * " +
                      fmt_exp3(lim.damping) + " = " + fmt_exp3(scheme.h * lim.damping) + " > " +
                      fmt_shortest(kEtdrk4SettleLimit) +
                      ": the steps stall at spurious values, fall past the solution or blow up; build the Etdrk4 "
                      "with h <= " + fmt_exp3(shown);
    // Counts whose step t / n is at most h_max itself: the rounded h_max the
    // message prints would name one step too many where t / h_max lies just
    // above a whole number.
    if (n_steps) msg += counts_for_time(static_cast<double>(*n_steps) * scheme.h, lim.h_max, "h");
    py_err_with_kind("CflViolated", msg);
}

// An h whose phi actions would exceed the product cap: refused before any
// work, naming the largest h that both the cap and, for data of largest
// magnitude `top`, the rule on h admit (and the counts for the call's time).
// Data whose cube leaves the double range admit no h: their refusal, the
// step's first, is raised instead.
void refuse_costly_h(const Etdrk4& scheme, std::span<const double> x, double top,
                     std::optional<std::uint64_t> n_steps) {
    const Status fits = etdrk4_fits(scheme);
    if (fits) return;
    for (const double e : x) {
        const double n = e - e * e * e;
        if (!std::isfinite(n)) unwrap(domain_error("Etdrk4: the nonlinearity u - u^3 overflows the double range", n));
    }
    double most = greatest_admitted_double(0.0, scheme.h, [&](double h) {
        return static_cast<bool>(phi_plans_fit(scheme.generator, h, fits.error().text()));
    });
    most = std::min(most, etdrk4_limits(scheme, top).h_max);
    std::string msg = std::string(fits.error().text()) + "; the largest admissible h = " +
                      fmt_exp3(floor_4_digits(most)) + " for these data: build the Etdrk4 with h <= " +
                      fmt_exp3(floor_4_digits(most));
    if (n_steps) msg += counts_for_time(static_cast<double>(*n_steps) * scheme.h, most, "h");
    py_err_with_kind("OutOfDomain", msg);
}

// The checks of `steps` >= 1 steps from x (n_steps: the count a call of
// integrate names, none for step). Before any work: the product cap (so that
// a step refused for its cost says so), then the rule on h from the data's
// own bound, which neither the step count nor the steps' results change.
// After the steps, as a safety net the rule makes unreachable: a result
// beyond the bound the exact solution keeps by more than the steps' fixed
// overshoot near fronts and their rounding.
template <class Run>
void run_etdrk4_checked(const Etdrk4& scheme, std::span<const double> x, std::span<const double> out,
                        std::uint64_t steps, std::optional<std::uint64_t> n_steps, const char* name, Run&& run) {
    double top = 0.0;
    for (const double e : x) top = std::max(top, std::fabs(e));
    refuse_costly_h(scheme, x, top, n_steps);
    refuse_unfollowing_h(scheme, top, n_steps);
    compute(run);
    const double bound = etdrk4_bound(scheme, top);
    const double* bad = etdrk4_beyond(out, bound, etdrk4_rounding(scheme, steps));
    if (!bad) return;
    const double floor_sq = std::max(1.0, 1.0 - scheme.spectrum_floor);
    const std::string floor_text = floor_sq == 1.0 ? std::string("1") : "sqrt(1 - g) with g = " +
                                                                            fmt_exp3(scheme.spectrum_floor) +
                                                                            " the operator's Gershgorin floor";
    py_err_with_kind("CflViolated", std::string("Etdrk4: the ") + (steps == 1 ? "step" : "steps") + " took |u| to " +
                                        exp_text_apart_from(std::fabs(*bad), bound) + ", beyond the bound " +
                                        fmt_exp3(bound) + " = max(" + floor_text + ", max|" + name +
                                        "|) that the solution never leaves, by more than the " +
                                        fmt_shortest(100.0 * kEtdrk4Overshoot) +
                                        " % the steps may overshoot it near fronts: h = " + fmt_exp3(scheme.h) +
                                        " is too coarse for these data; use a smaller h");
}

Ref etdrk4_step_body(const Etdrk4Obj& self, const Args& a) {
    const Buffer u = extract_f64_array(a.raw(0), "u");
    const std::vector<double> x = finite_values(u, "u", self.n, "op.n()");
    const std::shared_ptr<const Etdrk4> scheme = self.scheme;
    std::vector<double> out(x.size(), 0.0);
    run_etdrk4_checked(*scheme, x, out, 1, std::nullopt, "u", [&] {
        ScratchPool<double> pool;
        return etdrk4_step(scheme->generator, x, out, pool, scheme->h);
    });
    return new_array_f64(out);
}

Ref etdrk4_integrate_body(const Etdrk4Obj& self, const Args& a) {
    const Buffer u0 = extract_f64_array(a.raw(0), "u0");
    const std::uint64_t n_steps = a.u64(1);
    const std::vector<double> x = finite_values(u0, "u0", self.n, "op.n()");
    const std::shared_ptr<const Etdrk4> scheme = self.scheme;
    // No step, nothing to refuse: the result is u0.
    if (n_steps == 0) return new_array_f64(x);
    std::vector<double> out(x.size(), 0.0);
    run_etdrk4_checked(*scheme, x, out, n_steps, n_steps, "u0",
                       [&] { return etdrk4_integrate(*scheme, x, n_steps, out); });
    return new_array_f64(out);
}

Ref etdrk4_n(const Etdrk4Obj& self, const Args&) { return py_int(self.n); }

}  // namespace

ClassDef& Etdrk4Obj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<Etdrk4Obj>("Etdrk4", kEtdrk4Doc);
        d.methods = {
            method<Etdrk4Obj, kFromDoc, &etdrk4_from>(),
            method<Etdrk4Obj, kStepDoc, &etdrk4_step_body>(),
            method<Etdrk4Obj, kIntegrateDoc, &etdrk4_integrate_body>(),
            method<Etdrk4Obj, kNDoc, &etdrk4_n>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* etdrk4_type_object() { return type_object<Etdrk4Obj>(); }

PyMethodDef* phi_action_function_def() {
    static PyMethodDef def = method<void, kPhiDoc, &phi_action_body>();
    return &def;
}

PyMethodDef* phi_action_batched_function_def() {
    static PyMethodDef def = method<void, kPhiBatchedDoc, &phi_batched_body>();
    return &def;
}

}  // namespace quorvane::py
