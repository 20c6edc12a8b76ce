#include "core/sensitivity/shift1d_vjp.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/foundation/boundary.hpp"
#include "core/foundation/flow_range.hpp"
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

}  // namespace

bool shift1d_coeff_reads_located(const Grid1D<double>& grid, std::span<const double> a, std::span<const double> b,
                                 double tau) {
    const double eps = grid.dx() * 0.0001;
    for (std::size_t i = 0; i < grid.n; ++i) {
        if (!(a[i] >= 0.0)) continue;
        for (const double x : step_reads(grid, tau, a[i], b[i], i).points) {
            if (!read_is_located(grid, x) || !read_is_located(grid, x + eps) || !read_is_located(grid, x - eps)) {
                return false;
            }
        }
    }
    return true;
}

namespace {

// The three-point mean of u that the step at node i reads (before the
// reaction).
Expected<double> step_mean(const ShiftCoeffProblem& p, std::span<const double> u, std::size_t i) {
    const Grid1D<double>& g = p.grid;
    const StepReads r = step_reads(g, p.tau, p.a[i], p.b[i], i);
    auto up = g.interp(u, r.points[0]);
    if (!up) return up;
    auto um = g.interp(u, r.points[1]);
    if (!um) return um;
    if (Status st = refuse_linear_inflow(g, i, r.points[2]); !st) return std::unexpected(st.error());
    auto ub = g.interp_foot(u, r.points[2]);
    if (!ub) return ub;
    return (0.25 * *up + 0.25 * *um) + 0.5 * *ub;
}

// One step S(tau) of the whole grid as Shift1D's node step computes it,
// before its clip.
Status shift_step(const ShiftCoeffProblem& p, std::span<const double> u, std::span<double> out) {
    for (std::size_t i = 0; i < p.grid.n; ++i) {
        auto mean = step_mean(p, u, i);
        if (!mean) return std::unexpected(mean.error());
        out[i] = shift_reaction(*mean, u[i], p.tau, p.c[i]);
    }
    return {};
}

// sqrt(tau / a), dh/da of the shift h = 2 sqrt(tau a): from the quotient
// where it is a normal double, else from the roots apart, since tau / a can
// leave the doubles (a tiny a and a long step) where its root does not.
double root_of_quotient(double tau, double a) {
    const double q = tau / a;
    if (std::isfinite(q) && q >= std::numeric_limits<double>::min()) return std::sqrt(q);
    return std::sqrt(tau) / std::sqrt(a);
}

// Derivative of output node i of one step (before its clip) with respect
// to the selected coefficient at node i through the positions of the reads,
// by central differences of the interpolant. The mean's weight (1 + tau c_i
// for c_i < 0) scales the a and b derivatives; the c derivative is tau
// times the mean where c_i < 0, tau u_i elsewhere (at c_i = 0 the
// derivative towards c > 0, the branch the step takes).
Expected<double> local_derivative(const ShiftCoeffProblem& p, CoeffWrt wrt, std::span<const double> u,
                                  std::size_t i, double eps) {
    const Grid1D<double>& g = p.grid;
    const double x = g.node(i);
    auto at = [&](double y) { return g.interp(u, y); };
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
            return shift_mean_weight(p.tau, p.c[i]) * ((root_of_quotient(p.tau, ai) * 0.25) * (d_plus - d_minus));
        }
        case CoeffWrt::B: {
            const double pt = x + p.tau * (2.0 * p.b[i]);
            auto hi = g.interp_foot(u, pt + eps);
            if (!hi) return hi;
            auto lo = g.interp_foot(u, pt - eps);
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

// The ranges a sweep clips to: the range before step k (after k steps).
// The first forward pass asks for them in order, k = 1, 2, ..., and walks
// them on one step at a time, keeping an anchor every `every` steps; later
// asks (the recomputed segments, the reverse visits, last first) are served
// from the window of one anchor's steps, walked on when first asked for.
class RangeWalk {
public:
    RangeWalk(FlowRange start, ReactionFactors per_step, std::uint64_t every)
        : per_step_(per_step), every_(std::max<std::uint64_t>(every, 1)), start_(start), walked_(start) {
        if (!per_step_.identity()) anchors_.push_back(start);
    }

    FlowRange before(std::uint64_t k) {
        if (per_step_.identity()) return start_;
        if (k == done_ + 1) {
            walked_ = walked_.after(per_step_);
            done_ = k;
            if (k % every_ == 0) anchors_.push_back(walked_);
            return walked_;
        }
        if (k == done_) return walked_;
        const std::uint64_t anchor = k / every_;
        if (anchor >= anchors_.size()) internal_fault("RangeWalk: a step asked for before the first pass reached it");
        if (window_anchor_ != anchor || window_.empty()) {
            window_.resize(static_cast<std::size_t>(every_));
            FlowRange r = anchors_[static_cast<std::size_t>(anchor)];
            for (FlowRange& w : window_) {
                w = r;
                r = r.after(per_step_);
            }
            window_anchor_ = anchor;
        }
        return window_[static_cast<std::size_t>(k % every_)];
    }

    const ReactionFactors& per_step() const { return per_step_; }

private:
    ReactionFactors per_step_;
    std::uint64_t every_;
    FlowRange start_;
    // The first pass's walk: the range after done_ steps.
    FlowRange walked_;
    std::uint64_t done_ = 0;
    std::vector<FlowRange> anchors_;
    std::vector<FlowRange> window_;
    std::uint64_t window_anchor_ = 0;
};

// The bounds of the problem's c between the nodes, read as Shift1D reads
// its samples (Catmull-Rom, constant beyond the ends), and the weights of
// the samples in the value at each bound's point: a bound moves with the
// samples as the value at its point does (the point itself moves with
// them, but there the value is stationary).
struct ReactionBounds {
    CoefficientBounds b;
    std::vector<std::pair<std::size_t, double>> w_lo, w_hi;
};

ReactionBounds problem_bounds(const ShiftCoeffProblem& p) {
    const Grid1D<double>& g = p.grid;
    const double h = g.dx();
    auto read = [&](std::span<const double> f, double x) { return catmull_rom_sample(f, g.xmin, h, x); };
    ReactionBounds r;
    r.b = coefficient_bounds(g, [&](double x) { return read(p.c, x); });
    // The value is linear in the samples: a sample's weight is the read of
    // its unit vector, nonzero only for the samples around the point.
    std::vector<double> unit(p.c.size(), 0.0);
    auto weights = [&](double x) {
        std::vector<std::pair<std::size_t, double>> w;
        const double s = std::floor((x - g.xmin) / h);
        const std::int64_t i = std::isfinite(s) ? static_cast<std::int64_t>(s) : 0;
        for (std::int64_t j = i - 2; j <= i + 3; ++j) {
            if (j < 0 || j >= static_cast<std::int64_t>(unit.size())) continue;
            unit[static_cast<std::size_t>(j)] = 1.0;
            const double v = read(unit, x);
            unit[static_cast<std::size_t>(j)] = 0.0;
            if (v != 0.0) w.emplace_back(static_cast<std::size_t>(j), v);
        }
        return w;
    };
    r.w_lo = weights(r.b.x_lo);
    r.w_hi = weights(r.b.x_hi);
    return r;
}

ReactionFactors problem_factors(const ReactionBounds& r, double tau) {
    if (!(r.b.lo <= r.b.hi)) return {};
    return {std::exp(tau * r.b.lo), std::exp(tau * r.b.hi)};
}

}  // namespace

Expected<InterpStencil> interp_weights(double x, const Grid1D<double>& grid, std::span<double> scratch,
                                       bool foot) {
    const std::size_t n = grid.n;
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
        auto w = foot ? grid.interp_foot(scratch, x) : grid.interp(scratch, x);
        scratch[st.nodes[k]] = 0.0;
        if (!w) return std::unexpected(w.error());
        st.weights[k] = *w;
    }
    return st;
}

Status shift1d_step_vjp(double tau, const Grid1D<double>& grid, std::span<const double> a,
                        std::span<const double> b, std::span<const double> c, std::span<const double> lambda,
                        std::span<double> out, std::span<double> scratch) {
    std::fill(out.begin(), out.end(), 0.0);
    for (std::size_t i = 0; i < grid.n; ++i) {
        const StepReads r = step_reads(grid, tau, a[i], b[i], i);
        // The mean's weight is exactly 1 for c_i >= 0, leaving those bits.
        const double li = lambda[i] * shift_mean_weight(tau, c[i]);
        for (int k = 0; k < 3; ++k) {
            auto st = interp_weights(r.points[k], grid, scratch, StepReads::is_foot(k));
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
    std::vector<double> other(n), scratch(n, 0.0), unclipped(n);
    const double eps = g.dx() * 0.0001;
    // The range Shift1D clips every step to, from u0's read.
    const ReactionBounds c_bounds = problem_bounds(problem);
    const Expected<FlowRange> start = read_range(g, u0);
    if (!start) return fail(start.error());
    RangeWalk ranges(*start, problem_factors(c_bounds, problem.tau), checkpoint_plan(problem.n_steps, n).interval);
    auto step = [&](std::uint64_t k, std::span<const double> prev, std::span<double> next) -> Status {
        if (auto st = poll_stop(); !st) return st;
        if (auto st = shift_step(problem, prev, next); !st) return st;
        ranges.before(k + 1).clip(next);
        if (const double* bad = first_non_finite<double>(next)) return domain_error(kForwardOverflow, *bad);
        return {};
    };
    auto visit = [&](std::uint64_t k, std::span<const double> u) -> Status {
        if (auto st = poll_stop(); !st) return st;
        // A clipped value is the range's end after k + 1 steps: nothing of
        // it comes from the state or from a and b; with c, each end moves
        // by its own size times (k + 1) tau per unit of the greatest or least
        // c between the nodes, which its factor takes.
        if (auto st = shift_step(problem, u, unclipped); !st) return st;
        const FlowRange range = ranges.before(k + 1);
        const double walked = static_cast<double>(k + 1) * problem.tau;
        for (std::size_t i = 0; i < n; ++i) {
            const double v = unclipped[i];
            if (!(v < range.lo) && !(v > range.hi)) continue;
            if (wrt == CoeffWrt::C && !ranges.per_step().identity()) {
                const double end = v < range.lo ? range.lo : range.hi;
                // A positive end grows by the greatest factor, a negative one
                // by the least (FlowRange::after), in either role.
                const bool upper = v > range.hi;
                const auto& w = (end > 0.0) == upper ? c_bounds.w_hi : c_bounds.w_lo;
                if (end != 0.0)
                    for (const auto& [j, wj] : w) grad_out[j] += lambda[i] * (end * walked) * wj;
            }
            lambda[i] = 0.0;
        }
        for (std::size_t i = 0; i < n; ++i) {
            auto l = local_derivative(problem, wrt, u, i, eps);
            if (!l) return std::unexpected(l.error());
            grad_out[i] += lambda[i] * *l;
        }
        if (auto st = shift1d_step_vjp(problem.tau, g, problem.a, problem.b, problem.c, lambda, other, scratch); !st)
            return st;
        lambda.swap(other);
        return {};
    };
    if (Status st = checkpointed_reverse(u0, problem.n_steps, step, visit); !st) return st;
    if (const double* bad = first_non_finite<double>(grad_out)) return domain_error(kGradientOverflow, *bad);
    return {};
}

}  // namespace quorvane
