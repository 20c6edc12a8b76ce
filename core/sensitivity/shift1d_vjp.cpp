#include "core/sensitivity/shift1d_vjp.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/foundation/boundary.hpp"
#include "core/foundation/stop.hpp"
#include "core/line/shift1d.hpp"
#include "core/sensitivity/checkpoints.hpp"

namespace quorvane {
namespace {

constexpr const char* kLengthMessage = "shift1d_coeff_gradient: array length != grid.n";
constexpr const char* kTauMessage = "shift1d_coeff_gradient: tau must be finite and > 0";
constexpr const char* kDaMessage = "shift1d_coeff_gradient: d/da undefined at a_i <= 0";
// A negative diffusion coefficient makes the shift 2 sqrt(tau a_i) NaN; the
// forward map itself is undefined there, whichever field is differentiated.
constexpr const char* kNegativeAMessage = "shift1d_coeff_gradient: a_i must be >= 0";
// A growth rate c > 0 grows the state by up to 1 + tau c per step, and the
// transpose the cotangent likewise: refused where Shift1D's evolve refuses
// the same steps, and not carried on as Inf and NaN.
constexpr const char* kForwardOverflow = "shift1d_coeff_gradient: the forward state u_k overflows the double range";
constexpr const char* kGradientOverflow = "shift1d_coeff_gradient: the gradient overflows the double range";

std::int64_t saturating_floor(double v) {
    constexpr double lo = -9223372036854775808.0;
    if (std::isnan(v)) return 0;
    if (v >= -lo) return std::numeric_limits<std::int64_t>::max();
    if (v <= lo) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(std::floor(v));
}

// The node that index m (possibly outside [0, n)) reads under the policy,
// or -1 when the policy supplies no node there.
std::int64_t policy_node(std::int64_t m, std::size_t n, BoundaryTag tag) {
    const auto sn = static_cast<std::int64_t>(n);
    if (m >= 0 && m < sn) return m;
    switch (tag) {
        case BoundaryTag::Reflect:
        case BoundaryTag::RobinImage:
        case BoundaryTag::OddReflect:
            return mirror_index(m, n);
        case BoundaryTag::Periodic:
            return periodic_index(m, n);
        case BoundaryTag::Clamp:
            return m < 0 ? 0 : sn - 1;
        default:
            return -1;
    }
}

// The foot's shift 2 tau b in cells, per unit of b.
double foot_reach(const Grid1D<double>& g, double tau) { return (tau + tau) / g.dx(); }

// How node i's reads are held: as Shift1D's step holds them, weighed by
// b's bend and change next to node i and to its foot; the foot's read's
// margin also by how the characteristics meet in its cell and fold in the
// step. `spread` holds the two diffusion reads, `foot` the drift's.
struct StepHolds {
    ReadHold spread, foot;
};

StepHolds step_holds(const Grid1D<double>& g, std::span<const double> b, double tau, std::size_t i) {
    const BoundaryTag tag = g.boundary.tag;
    const double reach = foot_reach(g, tau);
    const double weight = step_hold_weight(b, tag, i, reach);
    const ReadHold spread{weight, {}, 1.0};
    if (weight == 0.0) return {spread, spread};
    return {spread, {weight, b, node_fold(b, tag, i, reach)}};
}

// The step's three read points at node i (x + h, x - h, the foot) and
// weights.
struct StepReads {
    double points[3];
    static constexpr double weights[3] = {0.25, 0.25, 0.5};
    static bool is_foot(int k) { return k == 2; }
};

StepReads step_reads(const Grid1D<double>& g, double tau, double a, double b, std::size_t i) {
    const double x = g.node(i);
    const double h = 2.0 * std::sqrt(tau * a);
    return {{x + h, x - h, x + tau * (2.0 * b)}};
}

// The three-point mean of u that the step at node i reads (before the
// reaction), its reads held as in Shift1D's step.
Expected<double> step_mean(const ShiftCoeffProblem& p, std::span<const double> u, std::size_t i) {
    const Grid1D<double>& g = p.grid;
    const StepHolds holds = step_holds(g, p.b, p.tau, i);
    const StepReads r = step_reads(g, p.tau, p.a[i], p.b[i], i);
    auto up = g.interp(u, r.points[0], holds.spread);
    if (!up) return up;
    auto um = g.interp(u, r.points[1], holds.spread);
    if (!um) return um;
    if (Status st = refuse_linear_inflow(g, i, r.points[2]); !st) return std::unexpected(st.error());
    auto ub = g.interp_foot(u, r.points[2], holds.foot);
    if (!ub) return ub;
    return (0.25 * *up + 0.25 * *um) + 0.5 * *ub;
}

// One step S(tau) of the whole grid, as Shift1D's node step computes it.
Status shift_step(const ShiftCoeffProblem& p, std::span<const double> u, std::span<double> out) {
    for (std::size_t i = 0; i < p.grid.n; ++i) {
        auto mean = step_mean(p, u, i);
        if (!mean) return std::unexpected(mean.error());
        out[i] = shift_reaction(*mean, u[i], p.tau, p.c[i]);
    }
    return {};
}

// Derivative of output node i of one step with respect to the selected
// coefficient at node i through the positions of the reads, by central
// differences of the reads the step takes (a read held at an end of its
// cell's range does not move with its position). The mean's weight
// (1 + tau c_i for c_i < 0) scales the a and b derivatives; the c derivative
// is tau times the mean where c_i < 0, tau u_i elsewhere (at c_i = 0 the
// derivative towards c > 0, the branch the step takes). How far the reads
// are held depends on b as well: hold_gradient adds that part.
Expected<double> local_derivative(const ShiftCoeffProblem& p, CoeffWrt wrt, std::span<const double> u,
                                  std::size_t i, double eps) {
    const Grid1D<double>& g = p.grid;
    const double x = g.node(i);
    const StepHolds holds = step_holds(g, p.b, p.tau, i);
    auto at = [&](double y) { return g.interp(u, y, holds.spread); };
    switch (wrt) {
        case CoeffWrt::A: {
            const double ai = p.a[i];
            if (!(ai > 0.0)) return domain_error(kDaMessage, ai);
            const double h = 2.0 * std::sqrt(p.tau * ai);
            double s[4];
            const double pts[4] = {(x + h) + eps, (x + h) - eps, (x - h) + eps, (x - h) - eps};
            for (int k = 0; k < 4; ++k) {
                auto v = at(pts[k]);
                if (!v) return v;
                s[k] = *v;
            }
            const double d_plus = (s[0] - s[1]) / (2.0 * eps);
            const double d_minus = (s[2] - s[3]) / (2.0 * eps);
            return shift_mean_weight(p.tau, p.c[i]) * ((std::sqrt(p.tau / ai) * 0.25) * (d_plus - d_minus));
        }
        case CoeffWrt::B: {
            const double pt = x + p.tau * (2.0 * p.b[i]);
            auto hi = g.interp_foot(u, pt + eps, holds.foot);
            if (!hi) return hi;
            auto lo = g.interp_foot(u, pt - eps, holds.foot);
            if (!lo) return lo;
            return shift_mean_weight(p.tau, p.c[i]) * (p.tau * (*hi - *lo) / (2.0 * eps));
        }
        case CoeffWrt::C:
            break;
    }
    if (p.c[i] < 0.0) {
        auto mean = step_mean(p, u, i);
        if (!mean) return mean;
        return p.tau * *mean;
    }
    return p.tau * u[i];
}

// The value the choice of a held read gives on the values v (see
// BoundedChoice): linear in v.
double choice_value(const BoundedChoice& choice, const Grid1D<double>& g, std::span<const double> v) {
    const double dx = g.dx();
    const double at_node = g.boundary.sample(v, g.n, choice.node, dx);
    if (choice.widen == 0.0) return at_node;
    double e[4];
    for (int k = 0; k < 4; ++k) e[k] = fd_d2_o6<double>(v, g.boundary, g.n, choice.cell - 1 + k, dx);
    const double d4_0 = (e[0] - 2.0 * e[1]) + e[2], d4_1 = (e[1] - 2.0 * e[2]) + e[3];
    const double stray = choice.sign0 * d4_0 + choice.sign1 * d4_1;
    return at_node - choice.widen * (e[choice.estimate - choice.cell + 1] + choice.side * choice.stray * stray);
}

// How far the reads are held depends on b: each node's weight on b's bend
// and change next to it and to its foot, each widened end of a foot read's
// range on how the characteristics meet in its cell and fold next to the
// node.
// Adds lambda_i times the derivative of output node i through both to the b
// gradient (a read that is not clamped contributes nothing: its held value
// is the read itself).
Status hold_gradient(const ShiftCoeffProblem& p, std::span<const double> u, std::span<const double> lambda,
                     std::span<double> grad) {
    const Grid1D<double>& g = p.grid;
    const std::size_t n = g.n;
    const BoundaryTag tag = g.boundary.tag;
    const double reach = foot_reach(g, p.tau);
    for (std::size_t i = 0; i < n; ++i) {
        HoldSlope slope;
        const double weight = step_hold_weight(p.b, tag, i, reach, &slope);
        if (weight == 0.0) continue;
        double f_prev = 0.0, f_here = 0.0, f_next = 0.0;
        const double fold = node_fold(p.b, tag, i, reach, &f_prev, &f_here, &f_next);
        const double scale = lambda[i] * shift_mean_weight(p.tau, p.c[i]);
        const StepReads r = step_reads(g, p.tau, p.a[i], p.b[i], i);
        double d_weight = 0.0, d_fold = 0.0;
        for (int k = 0; k < 3; ++k) {
            const bool foot = StepReads::is_foot(k);
            const ReadHold hold = foot ? ReadHold{weight, p.b, fold} : ReadHold{weight, {}, 1.0};
            auto choice = bounded_read_choice(g, u, r.points[k], foot, hold);
            if (!choice) return std::unexpected(choice.error());
            if (!choice->clamped) continue;
            d_weight += StepReads::weights[k] * (choice->held - choice->raw);
            if (!foot || choice->d_widen == 0.0) continue;
            // The margin's share is the cell's drift share times the fold.
            const DriftChange share = cell_drift_share(p.b, tag, n, choice->cell);
            const double d_held = scale * StepReads::weights[k] * weight * choice->d_widen;
            grad[coefficient_node(choice->cell, tag, n)] += d_held * fold * share.d0;
            grad[coefficient_node(choice->cell + 1, tag, n)] += d_held * fold * share.d1;
            d_fold += d_held * share.value;
        }
        const std::size_t prev = i > 0 ? i - 1 : n - 1, next = i + 1 < n ? i + 1 : 0;
        const double at = scale * d_weight;
        for (std::size_t k = 0; k < slope.count; ++k) grad[slope.node[k]] += at * slope.d[k];
        grad[prev] += d_fold * f_prev;
        grad[i] += d_fold * f_here;
        grad[next] += d_fold * f_next;
    }
    return {};
}

}  // namespace

Expected<InterpStencil> interp_weights(double x, const Grid1D<double>& grid, std::span<double> scratch,
                                       bool foot, std::span<const double> state, ReadHold hold) {
    const std::size_t n = grid.n;
    BoundedChoice choice;
    if (!state.empty()) {
        auto taken = bounded_read_choice(grid, state, x, foot, hold);
        if (!taken) return std::unexpected(taken.error());
        choice = *taken;
    }
    const double held = choice.clamped ? hold.weight : 0.0;
    InterpStencil st;
    auto add = [&](std::int64_t node) {
        if (node < 0 || st.count >= st.nodes.size()) return;
        const auto u = static_cast<std::size_t>(node);
        if (std::find(st.nodes.begin(), st.nodes.begin() + st.count, u) != st.nodes.begin() + st.count) return;
        st.nodes[st.count++] = u;
    };
    const std::int64_t i0 = saturating_floor((x - grid.xmin) / grid.dx());
    for (std::int64_t j = -6; j <= 7; ++j) {
        // Saturated positions far off the grid: the policy maps them like any
        // other index, and the sum cannot wrap.
        const std::int64_t m = (j > 0 && i0 > std::numeric_limits<std::int64_t>::max() - j) ||
                                       (j < 0 && i0 < std::numeric_limits<std::int64_t>::min() - j)
                                   ? i0
                                   : i0 + j;
        add(policy_node(m, n, grid.boundary.tag));
    }
    // The end nodes carry the one-sided extrapolation of the Linear policy.
    for (std::size_t k = 0; k < 3 && k < n; ++k) add(static_cast<std::int64_t>(k));
    for (std::size_t k = 0; k < 3 && k < n; ++k) add(static_cast<std::int64_t>(n - 1 - k));
    for (std::size_t k = 0; k < st.count; ++k) {
        scratch[st.nodes[k]] = 1.0;
        // The read is raw + weight (held - raw): the plain read's weights
        // blended with the held choice's.
        Expected<double> w = 0.0;
        if (held < 1.0) w = foot ? grid.interp_foot(scratch, x) : grid.interp(scratch, x);
        if (w && held > 0.0) {
            const double c = choice_value(choice, grid, scratch);
            w = held >= 1.0 ? c : *w + held * (c - *w);
        }
        scratch[st.nodes[k]] = 0.0;
        if (!w) return std::unexpected(w.error());
        st.weights[k] = *w;
    }
    return st;
}

Status shift1d_step_vjp(double tau, const Grid1D<double>& grid, std::span<const double> a,
                        std::span<const double> b, std::span<const double> c, std::span<const double> u,
                        std::span<const double> lambda, std::span<double> out, std::span<double> scratch) {
    std::fill(out.begin(), out.end(), 0.0);
    for (std::size_t i = 0; i < grid.n; ++i) {
        // Held reads (b rough or near a zero at node i) are linear in u on
        // the choice each takes at u, and transposed as that.
        const StepHolds holds = step_holds(grid, b, tau, i);
        const std::span<const double> state = holds.spread.held() ? u : std::span<const double>{};
        const StepReads r = step_reads(grid, tau, a[i], b[i], i);
        // The mean's weight is exactly 1 for c_i >= 0, leaving those bits.
        const double li = lambda[i] * shift_mean_weight(tau, c[i]);
        for (int k = 0; k < 3; ++k) {
            const bool foot = StepReads::is_foot(k);
            auto st = interp_weights(r.points[k], grid, scratch, foot, state, foot ? holds.foot : holds.spread);
            if (!st) return std::unexpected(st.error());
            const double scale = StepReads::weights[k] * li;
            for (std::size_t j = 0; j < st->count; ++j) out[st->nodes[j]] += scale * st->weights[j];
        }
        if (!(c[i] < 0.0)) out[i] += (lambda[i] * tau) * c[i];
    }
    return {};
}

Status shift1d_coeff_gradient(const ShiftCoeffProblem& problem, CoeffWrt wrt, std::span<const double> u0,
                              std::span<const double> dj_du_n, std::span<double> grad_out) {
    const Grid1D<double>& g = problem.grid;
    const std::size_t n = u0.size();
    if (n != g.n) return domain_error(kLengthMessage, static_cast<double>(n));
    for (std::size_t len : {dj_du_n.size(), grad_out.size(), problem.a.size(), problem.b.size(), problem.c.size()})
        if (len != n) return domain_error(kLengthMessage, static_cast<double>(len));
    if (!std::isfinite(problem.tau) || problem.tau <= 0.0) return domain_error(kTauMessage, problem.tau);
    for (double ai : problem.a)
        if (ai < 0.0) return domain_error(wrt == CoeffWrt::A ? kDaMessage : kNegativeAMessage, ai);
    std::fill(grad_out.begin(), grad_out.end(), 0.0);

    std::vector<double> lambda(dj_du_n.begin(), dj_du_n.end());
    std::vector<double> other(n), scratch(n, 0.0);
    const double eps = g.dx() * 0.0001;
    auto step = [&](std::uint64_t, std::span<const double> prev, std::span<double> next) -> Status {
        if (auto st = poll_stop(); !st) return st;
        if (auto st = shift_step(problem, prev, next); !st) return st;
        if (const double* bad = first_non_finite<double>(next)) return domain_error(kForwardOverflow, *bad);
        return {};
    };
    auto visit = [&](std::uint64_t, std::span<const double> u) -> Status {
        if (auto st = poll_stop(); !st) return st;
        for (std::size_t i = 0; i < n; ++i) {
            auto l = local_derivative(problem, wrt, u, i, eps);
            if (!l) return std::unexpected(l.error());
            grad_out[i] += lambda[i] * *l;
        }
        if (wrt == CoeffWrt::B) {
            if (auto st = hold_gradient(problem, u, lambda, grad_out); !st) return st;
        }
        if (auto st = shift1d_step_vjp(problem.tau, g, problem.a, problem.b, problem.c, u, lambda, other, scratch);
            !st)
            return st;
        lambda.swap(other);
        return {};
    };
    if (Status st = checkpointed_reverse(u0, problem.n_steps, step, visit); !st) return st;
    if (const double* bad = first_non_finite<double>(grad_out)) return domain_error(kGradientOverflow, *bad);
    return {};
}

}  // namespace quorvane
