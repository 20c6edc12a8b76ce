#include "core/graph/pcg.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/foundation/grid_fn.hpp"
#include "core/foundation/step_count.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

namespace {

// poll_stop reads the clock, which costs as much as a CG iteration on an
// operator of a few dozen rows; the polls inside a solve come once per
// about 4096 vector entries of work (every product from n = 4096 on).
constexpr std::uint64_t kCgPollPeriod = 4096;

// (2^-52)^2: a residual below 2^-52 ||b|| is below the rounding of b itself.
constexpr double kRoundingSquared = 0x1p-104;

double dot(std::span<const double> a, std::span<const double> b) {
    double s = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}

double effective_tol(double tol) { return std::isnan(tol) ? 1e-12 : std::max(tol, 1e-12); }

// max(ln(2/tol), 1), the factor of sqrt(kappa) in the iteration bound.
double bound_factor(double tol_eff) {
    const double tol_c = std::clamp(tol_eff, 1e-15, 0.9999999999999998);
    return std::max(std::log(2.0 / tol_c), 1.0);
}

std::uint64_t iteration_bound(double dt, double spectral_bound, double tol_eff) {
    const double l = bound_factor(tol_eff);
    const double kappa = 1.0 + dt * spectral_bound;
    const double k = std::ceil(l * std::sqrt(kappa));
    return (k >= 18446744073709551615.0) ? UINT64_MAX : (k > 0.0 ? static_cast<std::uint64_t>(k) : 0);
}

std::uint64_t derived_cap(const SpdOperator& op, double dt, double tol_eff) {
    const std::uint64_t cap = std::min<std::uint64_t>(iteration_bound(dt, op.spectral_bound(), tol_eff), op.n());
    return std::max<std::uint64_t>(cap, 16);
}

// Solves (I + dt A) y = b by Jacobi-preconditioned CG from y = b. The start's
// residual r0 = -dt A b is the step's own size: the change y - b solves
// (I + dt A) d = r0, so ||d|| <= ||r0||, and a small step leaves r0 far below
// ||b||. A test relative to ||b|| alone would take the start as converged
// whenever ||r0|| <= tol ||b|| (thousands of short steps would then return b
// unchanged); the solve instead runs at least one iteration and stops at
// ||r|| <= tol min(||b||, ||r0||), whose error, at most ||r|| as
// I + dt A >= I, is within tol of the step's change for short steps and
// within tol ||b|| for long ones, or once ||r|| reaches the rounding of b,
// 2^-52 ||b||, below which no step can be resolved. Only an exact start
// (r0 = 0: dt = 0, or b in A's null space) is returned as it is. b is scaled
// to max |b_i| in [0.5, 1) by a power of two first (exact), so neither the
// residual test nor the breakdown guard depends on the magnitude of b; y is
// scaled back.
Status cg_solve(const SpdOperator& op, std::span<double> b, std::span<double> y, double dt, double tol,
                std::uint64_t cap, std::span<const double> jacobi, ScratchPool<double>& pool) {
    const std::size_t n = b.size();
    double big = 0.0;
    for (const double v : b) big = std::max(big, std::fabs(v));
    if (big == 0.0) {
        std::fill(y.begin(), y.end(), 0.0);
        return {};
    }
    int e = 0;
    std::frexp(big, &e);
    for (double& v : b) v = std::ldexp(v, -e);
    std::copy(b.begin(), b.end(), y.begin());
    const double bb = dot(b, b);

    std::vector<double> r = pool.take(n);
    std::vector<double> z = pool.take(n);
    std::vector<double> p = pool.take(n);
    std::vector<double> q = pool.take(n);
    auto finish = [&](Status st) {
        pool.give_back(std::move(r));
        pool.give_back(std::move(z));
        pool.give_back(std::move(p));
        pool.give_back(std::move(q));
        if (st) {
            for (double& v : y) v = std::ldexp(v, e);
        }
        return st;
    };
    auto failed = [&](double residual) {
        return fail(CoreError::convergence_failed(std::ldexp(residual, e), cap));
    };

    op.apply(y, q);
    for (std::size_t i = 0; i < n; ++i) r[i] = (b[i] - y[i]) - q[i] * dt;
    double rr = dot(r, r);
    if (rr == 0.0) return finish({});
    const double threshold = std::max((tol * tol) * std::min(bb, rr), kRoundingSquared * bb);
    for (std::size_t i = 0; i < n; ++i) z[i] = jacobi[i] * r[i];
    std::copy(z.begin(), z.end(), p.begin());
    double rz = dot(r, z);
    if (cap == 0) return finish(fail(CoreError::convergence_failed(std::numeric_limits<double>::infinity(), 0)));
    // One solve may take thousands of products (seconds on a large or dense
    // operator): the stop request is asked for within it.
    PollBudget poll(kCgPollPeriod);
    for (std::uint64_t it = 0; it < cap; ++it) {
        if (Status st = poll.spend(n); !st) return finish(st);
        op.apply(p, q);
        for (std::size_t i = 0; i < n; ++i) q[i] = p[i] + q[i] * dt;
        const double pq = dot(p, q);
        if (pq <= 0.0) {
            rr = dot(r, r);
            return finish(rr <= threshold ? Status{} : Status{failed(std::sqrt(rr))});
        }
        const double alpha = rz / pq;
        for (std::size_t i = 0; i < n; ++i) {
            y[i] = p[i] * alpha + y[i];
            r[i] = r[i] - q[i] * alpha;
        }
        rr = dot(r, r);
        if (rr <= threshold) return finish({});
        for (std::size_t i = 0; i < n; ++i) z[i] = jacobi[i] * r[i];
        const double rz_new = dot(r, z);
        if (std::fabs(rz_new) < 1e-300) return finish({});
        const double beta = rz_new / rz;
        for (std::size_t i = 0; i < n; ++i) p[i] = z[i] + p[i] * beta;
        rz = rz_new;
    }
    return finish(failed(std::sqrt(rr)));
}

}  // namespace

Status implicit_euler_action(const SpdOperator& op, std::span<const double> x, std::span<double> y,
                             std::uint64_t n_steps, double t, double tol, std::optional<std::uint64_t> cg_max_iter,
                             ScratchPool<double>& pool) {
    if (n_steps == 0) return domain_error("implicit_euler_action: n_steps must be >= 1", 0.0);
    const std::size_t n = op.n();
    if (x.size() != n || y.size() != n) internal_fault("implicit_euler_action: vector length differs from the operator");
    const double dt = t / static_cast<double>(n_steps);
    const double tol_eff = effective_tol(tol);
    const std::uint64_t cap = cg_max_iter ? *cg_max_iter : derived_cap(op, dt, tol_eff);

    // Jacobi weights 1 / (1 + dt A_ii). The diagonal comes from the operator
    // when it can give it (O(nnz) for a sparse one), else from n products
    // with unit vectors; both give the same bits.
    std::vector<double> jacobi(n, 1.0);
    if (!op.diagonal(jacobi)) {
        std::vector<double> e = pool.take(n);
        std::vector<double> w = pool.take(n);
        Status st;
        // n products: O(n^3) on a dense operator, so polled inside.
        PollBudget poll(kCgPollPeriod);
        for (std::size_t i = 0; i < n; ++i) {
            if (st = poll.spend(n); !st) break;
            e[i] = 1.0;
            op.apply(e, w);
            jacobi[i] = w[i];
            e[i] = 0.0;
        }
        pool.give_back(std::move(e));
        pool.give_back(std::move(w));
        if (!st) return st;
    }
    for (double& a : jacobi) {
        const double d = dt * a + 1.0;
        a = d > 1e-300 ? 1.0 / d : 1.0;
    }

    std::vector<double> cur = pool.take(n);
    std::copy(x.begin(), x.end(), cur.begin());
    std::vector<double> next = pool.take(n);
    for (std::uint64_t k = 0; k < n_steps; ++k) {
        Status st = poll_stop();
        if (st) st = cg_solve(op, cur, next, dt, tol_eff, cap, jacobi, pool);
        // A solve works on scaled data; data near the double maximum can
        // still come out past it, and the next solve would only fail on it.
        if (st) {
            if (const double* bad = first_non_finite<double>(next)) {
                st = domain_error("implicit_euler_action: the state overflows the double range", *bad);
            }
        }
        if (!st) {
            pool.give_back(std::move(cur));
            pool.give_back(std::move(next));
            return st;
        }
        std::swap(cur, next);
    }
    std::copy(cur.begin(), cur.end(), y.begin());
    pool.give_back(std::move(cur));
    pool.give_back(std::move(next));
    return {};
}

std::uint64_t cg_iteration_bound(double dt, double spectral_bound, double tol) {
    return iteration_bound(dt, spectral_bound, effective_tol(tol));
}

std::optional<std::uint64_t> cg_steps_within(double t, double spectral_bound, double tol, std::uint64_t budget) {
    const double tol_eff = effective_tol(tol);
    // The bound falls with the step towards ceil(l) (kappa -> 1): a budget
    // below that takes no count.
    const StepCounts counts = admitted_counts(t, std::numeric_limits<std::uint64_t>::max(), [&](double dt) {
        return iteration_bound(dt, spectral_bound, tol_eff) <= budget;
    });
    if (counts.outcome != StepCounts::Outcome::Fits) return std::nullopt;
    return counts.least;
}

}  // namespace quorvane
