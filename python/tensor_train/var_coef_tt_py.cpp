// Python class VarCoefTtEvolver: variable-coefficient steps on a TtState.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/foundation/numeric.hpp"
#include "core/tensor_train/tt_varcoef.hpp"
#include "python/array.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"
#include "python/step_counts.hpp"
#include "python/tensor_train/tt_state_py.hpp"

namespace quorvane::py {
namespace {

struct VarCoefTtEvolverObj {
    VarCoefTt evolver;
    static ClassDef& class_def();
};

constexpr char kVarCoefTtEvolverDoc[] =
    "VarCoefTtEvolver(a_axis, b_axis, v_axis, domain, eps_round)\n--\n\n"
    "Additive-separable variable-coefficient TT evolver: evolves a `TtState` by exp(τ·L).\n\n"
    "L = sum_j L_j with L_j = d/dx_j (a_j(x_j) d/dx_j) + b_j(x_j) d/dx_j + v_j(x_j), each axis\n"
    "periodic on its n_j nodes spaced h_j = (hi_j - lo_j)/(n_j - 1). Every axis step splits\n"
    "L_j into the exact spectral exponential of its mean diffusion and a second-order Taylor\n"
    "step of the three-point residual on either side; the axes are composed symmetrically\n"
    "(Strang) and the train is rounded after every step. Second order in time.\n\n"
    "Parameters\n----------\n"
    "a_axis : list of list[float]\n    Per axis, the strictly positive a_j at its n_j >= 2 nodes.\n"
    "b_axis : list of list[float]\n    Per axis, b_j at the same nodes (same length as a_j).\n"
    "v_axis : list of list[float]\n"
    "    Per axis, v_j at the same nodes, or an empty list for zero reaction.\n"
    "domain : list of (float, float)\n    Per axis, the bounds (lo, hi) with hi > lo.\n"
    "eps_round : float\n    Rounding tolerance applied after each step.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    kind OutOfDomain for d = 0, shape mismatches, n_j < 2 or a non-positive a entry;\n"
    "    kind NanInf for a non-finite coefficient, bound or eps_round.\n"
    "KeyboardInterrupt\n"
    "    on Ctrl-C while the axes are judged (each axis operator: 0.3 ms to 20 ms from 512\n"
    "    to 4096 nodes; up to 3 s at 1024 nodes where only a QR decides).\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> n = 16\n"
    ">>> s = quorvane.TtState([np.ones(n), np.ones(n)])\n"
    ">>> ev = quorvane.VarCoefTtEvolver([np.ones(n), np.ones(n)], [np.zeros(n), np.zeros(n)], [np.zeros(n), np.zeros(n)], [(0.0, 1.0), (0.0, 1.0)], 1e-10)\n"
    ">>> ev.evolve(s, 0.01, 5)\n"
    ">>> print(ev.ndim(), s.peak_rank())\n"
    "2 1\n";

constexpr char kEvolveDoc[] =
    "evolve($self, state, t_final, n_steps)\n--\n\n"
    "Evolve `state` in-place for `t_final` using `n_steps` steps.\n\n"
    "Parameters\n----------\n"
    "state : TtState\n    The mutable carrier state (the same `TtState` as `TtEvolver.evolve`).\n"
    "t_final : float\n    Total evolution time (>= 0, finite).\n"
    "n_steps : int\n    Number of time steps (>= 1).\n\n"
    "Returns\n-------\nNone\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    kind OutOfDomain for n_steps = 0, a negative or non-finite t_final, a state with\n"
    "    another number of axes or a mode size other than its axis's sample count; for an\n"
    "    axis whose three-point operator without v has an eigenvalue of positive real part\n"
    "    beyond rounding (central differences of a drift that changes sign, or falls steeply,\n"
    "    across cells whose Peclet number |b| h/(2a) exceeds 1: the values would grow like\n"
    "    exp(rate t) at any n_steps; the message names the axis, the node and its Peclet\n"
    "    number, and a >= max|b| h/2 on the whole axis always passes), judged at any length\n"
    "    when the evolver is built (a weighted certificate, O(n), and a search for a growing\n"
    "    mode, a few steps' cost; a QR up to 1024 nodes where neither decides); and for an\n"
    "    axis whose a, b or v varies from node to node on more than 1024 nodes, whose steps\n"
    "    cannot be judged; and for an axis whose residual R (the three-point operator less\n"
    "    mean(a) D2) has |R|_inf^2 beyond the double range, whose Taylor steps, which form\n"
    "    R(R u), cannot be doubles at any n_steps. Kind CflViolated when a step of some axis\n"
    "    would grow data beyond what exp(dt L) allows: each step length dt the call takes is\n"
    "    judged on the linear map T E T of its Taylor residual and spectral steps, its\n"
    "    spectral radius within exp(dt max v) (by the symbol where a, b and v are each\n"
    "    constant; by a QR of the n x n step matrix otherwise), and where the matrix is\n"
    "    dense its |S|_inf within 4 exp(dt max v) and a step of 2 dt passing the same two\n"
    "    tests (two QRs: 0.6 s at 512 nodes on a fresh evolver); or when dt/2 |R|_inf\n"
    "    exceeds 8192 (the Taylor steps would cancel beyond 1e-8 of the data); and when the\n"
    "    steps pass but n_steps of them would multiply max|u| by more than 5 exp(t_final max v)\n"
    "    (|S^n_steps|_inf of each dense axis's step matrix, by repeated squaring, their\n"
    "    product: steps whose radius passes can grow data for thousands of steps before they\n"
    "    decay). An admitted call keeps max|u| within 5 max|u0| exp(t_final max v). The message\n"
    "    names the axis and what it carries, the growth, and an n_steps that passes both\n"
    "    judgements (from the least count the step search admits, or twice the count asked\n"
    "    for, doubled until one does; other counts are judged as they are called), or that no\n"
    "    n_steps does where the powers approach the overshoot of exp(t_final L_h) itself. The\n"
    "    norms of the powers are kept per step and count. The evolver keeps\n"
    "    what it judged: a later step at or below the edge such a search found on an axis,\n"
    "    or equal to one of the last 8 steps the axis admitted, is not judged again; any\n"
    "    other step is. Kind NanInf when a step makes a NaN\n"
    "    or an infinity. The state is unchanged after a failure.\n";

// One float vector per list element; empty elements are accepted here.
std::vector<std::vector<double>> extract_axis_lists(PyObject* list, const std::string& name) {
    const Py_ssize_t len = PyList_Size(list);
    if (len < 0) throw_python_error();
    if (len == 0) py_err_with_kind("OutOfDomain", name + " : list is empty (d must be >= 1)");
    std::vector<std::vector<double>> out;
    for (Py_ssize_t i = 0; i < len; ++i) {
        const std::string idx = std::to_string(i);
        PyObject* item = PyList_GetItem(list, i);
        std::optional<std::vector<double>> v;
        if (item) v = try_float_vector(Ref::borrowed(item).get());
        else PyErr_Clear();
        if (!v) py_err_with_kind("OutOfDomain", name + ": axis " + idx + " is not a list[float]");
        for (double x : *v) {
            if (!std::isfinite(x)) py_err_with_kind("NanInf", name + ": NaN/Inf in axis " + idx);
        }
        out.push_back(std::move(*v));
    }
    return out;
}

// A list of (lo, hi) tuples, each finite with lo < hi.
std::vector<std::pair<double, double>> extract_domain(PyObject* list) {
    const std::string ctx = "domain";
    const Py_ssize_t len = PyList_Size(list);
    if (len < 0) throw_python_error();
    if (len == 0) py_err_with_kind("OutOfDomain", ctx + ": domain list is empty");
    std::vector<std::pair<double, double>> out;
    for (Py_ssize_t i = 0; i < len; ++i) {
        const std::string at = ctx + ": domain[" + std::to_string(i) + "]";
        PyObject* raw = PyList_GetItem(list, i);
        if (!raw) throw_python_error();
        Ref item = Ref::borrowed(raw);
        double lo = 0.0, hi = 0.0;
        bool ok = PyTuple_Check(item.get()) && PyTuple_Size(item.get()) == 2;
        if (ok) {
            lo = PyFloat_AsDouble(PyTuple_GetItem(item.get(), 0));
            ok = !(lo == -1.0 && PyErr_Occurred());
        }
        if (ok) {
            hi = PyFloat_AsDouble(PyTuple_GetItem(item.get(), 1));
            ok = !(hi == -1.0 && PyErr_Occurred());
        }
        if (!ok) {
            PyErr_Clear();
            py_err_with_kind("OutOfDomain", at + " is not a (float, float) tuple");
        }
        if (!std::isfinite(lo) || !std::isfinite(hi)) py_err_with_kind("NanInf", at + " contains NaN/Inf");
        if (lo >= hi) py_err_with_kind("OutOfDomain", at + ".lo >= hi");
        out.emplace_back(lo, hi);
    }
    return out;
}

VarCoefTtEvolverObj var_coef_tt_new(const Args& args) {
    PyObject* a_list = args.list(0);
    PyObject* b_list = args.list(1);
    PyObject* v_list = args.list(2);
    PyObject* domain_list = args.list(3);
    const double eps_round = args.f64(4);
    std::vector<std::vector<double>> a_axis = extract_axis_lists(a_list, "a_axis");
    std::vector<std::vector<double>> b_axis = extract_axis_lists(b_list, "b_axis");
    std::vector<std::vector<double>> v_axis = extract_axis_lists(v_list, "v_axis");
    std::vector<std::pair<double, double>> domain = extract_domain(domain_list);
    if (!std::isfinite(eps_round)) py_err_with_kind("NanInf", "VarCoefTtEvolver: eps_round is non-finite");
    // Judging the axes takes up to 10 n^3 flops each with the lock held:
    // Ctrl-C is answered while they run.
    return VarCoefTtEvolverObj{unwrap(run_with_lock_held([&] {
        return VarCoefTt::make(std::move(a_axis), std::move(b_axis), std::move(v_axis), std::move(domain), eps_round);
    }))};
}

// What the user set on axis j that its residual Taylor steps carry: the
// cause a refusal of its steps names.
std::string residual_causes(const VarCoefTt& ev, std::size_t j) {
    auto nonzero = [](const std::vector<double>& x) {
        return std::any_of(x.begin(), x.end(), [](double y) { return y != 0.0; });
    };
    const std::vector<double>& a = ev.a_axis[j];
    std::vector<std::string> parts;
    if (std::any_of(a.begin(), a.end(), [&](double y) { return y != a.front(); })) {
        parts.emplace_back("a varying from node to node");
    }
    if (nonzero(ev.b_axis[j])) parts.emplace_back("drift b");
    if (nonzero(ev.v_axis[j])) parts.emplace_back("reaction v");
    if (parts.empty()) return "the residual the rounded mean of a leaves";
    std::string out = parts.front();
    for (std::size_t k = 1; k < parts.size(); ++k) out += (k + 1 == parts.size() ? " and " : ", ") + parts[k];
    return out;
}

Ref var_coef_tt_ndim(const VarCoefTtEvolverObj& self, const Args&) { return py_int(self.evolver.ndim()); }

Ref var_coef_tt_evolve(const VarCoefTtEvolverObj& self, const Args& a) {
    TtStateArg state = exclusive_arg<TtStateObj>(a, 0);
    const double t_final = a.f64(1);
    const std::size_t n_steps = a.usize(2);
    const std::string ctx = "VarCoefTtEvolver.evolve";
    const VarCoefTt& ev = self.evolver;
    check_tt_evolve(ctx, n_steps, t_final, ev.ndim(), state->state.ndim());
    // Every axis step runs on the axis's own samples: a state of other mode
    // sizes is refused before any core changes.
    for (std::size_t j = 0; j < ev.ndim(); ++j) {
        const std::size_t n = state->state.cores[j].n, m = ev.a_axis[j].size();
        if (n != m) {
            py_err_with_kind("OutOfDomain", ctx + ": state axis " + std::to_string(j) + " has " + std::to_string(n) +
                                                " nodes but a_axis[" + std::to_string(j) + "] has " +
                                                std::to_string(m) + " samples");
        }
    }
    // An axis operator that grows a mode grows the result like exp(rate t)
    // at every step count: no step refusal below can help.
    if (const std::optional<VarCoefTt::GrowingMode>& g = ev.growing_mode) {
        const std::string where = g->sign_change ? ", which changes sign at node " : " at node ";
        py_err_with_kind("OutOfDomain",
                         ctx + ": axis " + std::to_string(g->axis) + " has a mode growing like exp(" +
                             fmt_exp3(g->rate) +
                             " t) where the exact flow does not grow (reaction aside): central differences misread "
                             "the drift" +
                             where + std::to_string(g->node) + " (x = " + fmt_exp3(g->x) +
                             "), under a cell Peclet number |b| h/(2a) = " + fmt_exp3(g->peclet) +
                             "; more diffusion there or a finer grid passes (a >= max|b| h/2 = " +
                             fmt_exp3(g->diffusion_bound) + " at every node always does)");
    }
    if (const std::optional<VarCoefTt::UnjudgedAxis>& u = ev.unjudged_axis) {
        py_err_with_kind("OutOfDomain",
                         ctx + ": axis " + std::to_string(u->axis) + " has " + std::to_string(u->n) +
                             " nodes and coefficients that vary from node to node: its steps are judged by the "
                             "eigenvalues of their dense matrix, on at most " +
                             std::to_string(VarCoefTt::kMaxDenseNodes) +
                             " nodes (10 n^3 flops); at most that many nodes there, or a, b and v each the same at "
                             "every node, pass");
    }
    if (const std::optional<VarCoefTt::OverflowingAxis>& o = ev.overflowing_axis) {
        const std::string axis = ctx + ": axis " + std::to_string(o->axis);
        const double h2 = o->spacing * o->spacing;
        if (!std::isfinite(h2) || !std::isnormal(h2)) {
            py_err_with_kind("OutOfDomain", axis + ": its three-point operator, a/h^2, is no double at the spacing "
                                                "h = " + fmt_exp3(o->spacing) +
                                                ": the grid spacing h = (hi - lo)/(n - 1) must have a finite, normal "
                                                "square h^2");
        }
        if (!std::isfinite(o->residual_norm)) {
            py_err_with_kind("OutOfDomain", axis + " (" + residual_causes(ev, o->axis) +
                                                ") has a residual R that is no double (a/h^2, |b|/h or |v| beyond "
                                                "the double range): no step of this axis is a double at any n_steps");
        }
        py_err_with_kind("OutOfDomain",
                         ctx + ": axis " + std::to_string(o->axis) + " (" + residual_causes(ev, o->axis) +
                             ") has a residual R with |R|_inf = " + fmt_exp3(o->residual_norm) +
                             ", and its Taylor steps form R(R u): |R|_inf^2 lies beyond the double range, so no step "
                             "of this axis is a double at any n_steps; |R|_inf <= " +
                             fmt_exp3(floor_4_digits(std::sqrt(std::numeric_limits<double>::max()))) +
                             " passes (R is the three-point operator less mean(a) D2: a/h^2, |b|/h and |v| within "
                             "about that)");
    }
    const double tau = t_final / static_cast<double>(n_steps);
    // Up to a dozen QRs of 10 n^3 flops, and the products of the powers,
    // with the lock held: Ctrl-C is answered while they run.
    const std::optional<VarCoefTt::StepLimit> limit =
        unwrap(run_with_lock_held([&] { return ev.amplifying_step(t_final, n_steps); }));
    // The count a refusal names passes both judgements, its steps and their
    // powers; where no count does, the call cannot be served in one piece.
    auto advice = [&](const VarCoefTt::StepLimit& l) {
        if (l.count_named > 0) {
            return count_advice(StepCounts{StepCounts::Outcome::Fits, l.count_named, kU64Counts, 0.0}, "n_steps",
                                kU64Counts, {"t_final", t_final});
        }
        const StepCounts counts = admitted_counts(t_final, kU64Counts, [&](double step) { return step <= l.tau_named; });
        if (counts.outcome != StepCounts::Outcome::Fits) return count_advice(counts, "n_steps", kU64Counts, {"t_final", t_final});
        return std::string("no n_steps passes for t_final = ") + exact_time(t_final) +
               ": as the steps shorten, their powers stop approaching exp(t_final L_h) of the three-point operator "
               "within that factor; more diffusion or a finer grid pass";
    };
    if (limit && limit->by_powers) {
        py_err_with_kind(
            "CflViolated",
            ctx + ": tau = t_final/n_steps = " + fmt_exp3(tau) + " passes step by step, but n_steps = " +
                std::to_string(n_steps) + " steps of axis " + std::to_string(limit->axis) + " (" +
                residual_causes(ev, limit->axis) + ") would multiply max|u| by up to " + fmt_exp3(limit->factor) +
                " times exp(t_final max v) (|S^n_steps|_inf of the step matrices S), more than " +
                fmt_shortest(VarCoefTt::kPowerFactor) + " times the " + fmt_exp3(limit->flow) +
                " of the flow they approximate (max(1, |exp(t_final L_h)|_inf), L_h the axis's three-point "
                "operator): where a, b or v varies the powers of a step can grow data for many steps before they "
                "decay; " +
                advice(*limit));
    }
    if (limit) {
        const double shown = limit->tau_named;
        const std::string bound = limit->largest ? "exceeds the largest admissible tau = " + fmt_exp3(shown)
                                                 : "exceeds the admissible tau <= " + fmt_exp3(shown);
        const std::string axis =
            "a step of axis " + std::to_string(limit->axis) + " (" + residual_causes(ev, limit->axis) + ") ";
        // Growth that four digits would print as 1.000e0 is printed as its excess over 1.
        auto factor = [](double f) { return f > 1.0 && f < 1.001 ? "1 + " + fmt_exp3(f - 1.0) : fmt_exp3(f); };
        const std::string beyond = ", where the exact flow grows none beyond exp(" +
                                   std::string(limit->doubled ? "2 tau" : "tau") +
                                   " max v) = " + factor(limit->allowed);
        std::string growth;
        if (!std::isfinite(limit->factor)) {
            growth = axis + (limit->doubled ? "twice as long overflows" : "overflows");
        } else if (limit->by_rounding) {
            growth = axis + (limit->doubled ? "twice as long " : "") + "takes its Taylor steps at dt/2 |R|_inf = " +
                     fmt_exp3(limit->factor) +
                     " (R its residual), beyond " + fmt_shortest(VarCoefTt::kMaxTaylorArgument) +
                     ": they would cancel to rounding of more than 1e-8 of the data";
        } else if (limit->by_norm) {
            growth = axis + "grows no mode, but one " + (limit->doubled ? "twice as long " : "") +
                     "would multiply max|u| by up to " + fmt_exp3(limit->factor) +
                     " (|S|_inf of its step matrix S), more than " + fmt_shortest(VarCoefTt::kNormFactor) +
                     " times exp(" +
                     (limit->doubled ? "2 tau" : "tau") + " max v) = " + factor(limit->allowed) +
                     ": such long steps amplify data once where they grow no mode";
        } else if (!limit->doubled) {
            growth = axis + "grows a mode by a factor " + factor(limit->factor) +
                     " (the spectral radius of its step)" + beyond;
        } else {
            growth = axis + "grows no mode, but one twice as long would, by a factor " + factor(limit->factor) +
                     beyond + " (where a, b or v varies, steps are admitted only so far from that edge: near it "
                              "the slowest modes decay far slower than the exact flow's)";
        }
        py_err_with_kind("CflViolated", ctx + ": tau = t_final/n_steps = " + fmt_exp3(tau) + " " + bound + ": " +
                                            growth + "; " + advice(*limit));
    }
    evolve_tt_state(state->state, [&](std::vector<TtCore>& cores) { return ev.evolve(cores, t_final, n_steps); });
    return none();
}

}  // namespace

ClassDef& VarCoefTtEvolverObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<VarCoefTtEvolverObj>("VarCoefTtEvolver", kVarCoefTtEvolverDoc);
        d.tp_new = constructor<VarCoefTtEvolverObj, kVarCoefTtEvolverDoc, &var_coef_tt_new>();
        d.methods = {
            method<VarCoefTtEvolverObj, kTtEvolverNdimDoc, &var_coef_tt_ndim>(),
            method<VarCoefTtEvolverObj, kEvolveDoc, &var_coef_tt_evolve>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* var_coef_tt_evolver_type_object() { return type_object<VarCoefTtEvolverObj>(); }

}  // namespace quorvane::py
