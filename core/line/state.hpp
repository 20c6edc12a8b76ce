// Chernoff semigroups, fixed-step evolvers and the default 1-D heat state.
//
// A "Chernoff function" here is any kernel with
//   Status apply_into(const GridFn<double>& in, GridFn<double>& out,
//                     ScratchPool<double>& pool, double tau) const;
// per-node kernels implement it through par_apply_pointwise, whole-grid
// steps directly.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/foundation/boundary.hpp"
#include "core/line/diffusion.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/parallel1d.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

// Kernels with a stepping form: node_steps(grid, tau, shares, steps)
// returns an object whose step(src, dst, begin, end, share) computes nodes
// [begin, end) of one step exactly as apply_into would. A step made of
// several sweeps (each reading what the sweeps before it wrote in full)
// instead has phases() sweeps and phase(p, src, dst, begin, end, share);
// prepare(n), when present, sizes its buffers before the first sweep;
// finish(), when present, gives the call's verdict after the last one;
// min_share_nodes(), when present, is the fewest nodes a share should have.
template <class K>
concept HasNodeSteps = requires(const K& k, const Grid1D<double>& g) {
    k.node_steps(g, 0.0, std::size_t{1}, std::size_t{1});
};

template <class S>
std::size_t phases_of(const S& s) {
    if constexpr (requires { s.phases(); }) {
        return s.phases();
    } else {
        return 1;
    }
}

template <class S>
void prepare_steps(S& s, std::size_t n) {
    if constexpr (requires { s.prepare(n); }) s.prepare(n);
}

// Sweep p of one step of a stepping form, nodes [begin, end) of share `share`.
template <class S>
Status run_phase(S& s, std::size_t p, const GridFn<double>& src, GridFn<double>& dst, std::size_t begin,
                 std::size_t end, std::size_t share) {
    if constexpr (requires { s.phase(p, src, dst, begin, end, share); }) {
        return s.phase(p, src, dst, begin, end, share);
    } else {
        return s.step(src, dst, begin, end, share);
    }
}

// The same for step j (counted from 0 in the call): a form whose steps
// differ from step to step takes the step's index (step_at).
template <class S>
Status run_phase_of_step(S& s, std::size_t j, std::size_t p, const GridFn<double>& src, GridFn<double>& dst,
                         std::size_t begin, std::size_t end, std::size_t share) {
    if constexpr (requires { s.step_at(j, src, dst, begin, end, share); }) {
        return s.step_at(j, src, dst, begin, end, share);
    } else {
        return run_phase(s, p, src, dst, begin, end, share);
    }
}

// Steps per round when a stepping form can run several steps between two
// barriers (round_reach, round_step: see run_node_rounds), for shares of
// `len` nodes whose steps read `reach` nodes beyond their own: 1 (a barrier
// per step) on one share or where the widened chunks would recompute more
// than a sixteenth of the work; shares longer than kMaxRoundShare keep a
// barrier per step, which costs them little, and spare the round's
// buffers (two grid lengths a worker, of which only the widened chunks'
// pages are touched).
inline constexpr std::size_t kMaxRoundDepth = 16;
inline constexpr std::size_t kMaxRoundShare = std::size_t{1} << 16;
inline std::size_t round_depth(const NodeShares& split, std::size_t reach) {
    if (split.shares <= 1 || reach == 0 || split.len > kMaxRoundShare) return 1;
    return 1 + std::min(kMaxRoundDepth - 1, split.len / (16 * reach));
}

// `steps` steps of a stepping form with round_step in rounds of `depth`
// (> 1) steps between the two buffers; false (buffers[0] untouched) where
// some share could not plan its nodes, and the call is to run step by step.
// The result ends in buffers[rounds % 2].
template <class S>
Expected<bool> run_rounds(S& stepper, GridFn<double>* const (&buffers)[2], std::size_t steps, std::size_t depth,
                          std::size_t reach, std::size_t max_shares) {
    const std::size_t n = buffers[0]->values.size();
    const NodeShares split = node_shares(n, max_shares);
    // Each share's own pair of buffers for the steps inside a round; only
    // the nodes its widened chunk covers are ever written or read.
    std::vector<std::unique_ptr<double[]>> own(2 * split.shares);
    std::atomic<bool> unplanned{false};
    const bool wrap = buffers[0]->grid.boundary.tag == BoundaryTag::Periodic;
    Status st = run_node_rounds(
        n, steps, depth, reach, wrap,
        [&](const RoundPiece& p) -> Status {
            const double* src =
                p.from_input ? buffers[p.round % 2]->values.data() : own[2 * p.share + p.step % 2].get();
            double* dst = nullptr;
            if (p.to_output) {
                dst = buffers[(p.round + 1) % 2]->values.data();
            } else {
                std::unique_ptr<double[]>& mine = own[2 * p.share + (p.step + 1) % 2];
                if (!mine) mine = std::make_unique_for_overwrite<double[]>(n);
                dst = mine.get();
            }
            if (stepper.round_step(std::span<const double>(src, n), dst, p.begin, p.end, p.share)) return {};
            // Plans are made in the first round, before any share writes
            // the round's input again.
            if (p.round > 0) internal_fault("run_rounds: nodes planned too late");
            unplanned.store(true, std::memory_order_relaxed);
            return fail(CoreError::unsupported("rounds without a plan"));
        },
        max_shares);
    if (unplanned.load(std::memory_order_relaxed)) return false;
    if (!st) return fail(st.error());
    return true;
}

// `steps` >= 1 applications of a kernel with a stepping form, from
// *buffers[0], alternating between the two caller-owned buffers of equal
// length, on one set of workers for the whole call (run_node_steps, one
// barrier per sweep, or rounds of several steps per share); returns the
// index of the buffer that holds the result.
template <class K>
    requires HasNodeSteps<K>
Expected<std::size_t> run_stepping_form(const K& kernel, GridFn<double>* const (&buffers)[2], std::size_t steps,
                                        double tau) {
    if (Status st = poll_stop(); !st) return fail(st.error());
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and >= 0", tau);
    const std::size_t n = buffers[0]->values.size();
    auto stepper = kernel.node_steps(buffers[0]->grid, tau, chunk_count(n), steps);
    prepare_steps(stepper, n);
    const std::size_t sweeps = phases_of(stepper);
    // A light sweep pays for its barrier only on large shares.
    std::size_t max_shares = SIZE_MAX;
    if constexpr (requires { stepper.min_share_nodes(); }) {
        max_shares = std::max<std::size_t>(1, n / stepper.min_share_nodes());
    }
    if constexpr (requires { stepper.round_reach(); }) {
        const std::optional<std::size_t> reach = stepper.round_reach();
        const std::size_t depth = reach ? round_depth(node_shares(n, max_shares), *reach) : 1;
        if (depth > 1) {
            auto done = run_rounds(stepper, buffers, steps, depth, *reach, max_shares);
            if (!done) return fail(done.error());
            if (*done) {
                const std::size_t rounds = steps / depth + (steps % depth != 0);
                return rounds % 2;
            }
        }
    }
    // steps * sweeps barriers, in runs whose count fits a size_t.
    for (std::size_t done = 0; done < steps;) {
        const std::size_t run = std::min(steps - done, SIZE_MAX / sweeps);
        Status st = run_node_steps(n, run * sweeps,
                                   [&](std::size_t k, std::size_t begin, std::size_t end, std::size_t s) {
                                       const std::size_t j = done + k / sweeps;
                                       return run_phase_of_step(stepper, j, k % sweeps, *buffers[j % 2],
                                                                *buffers[(j + 1) % 2], begin, end, s);
                                   },
                                   max_shares);
        if (!st) return fail(st.error());
        done += run;
    }
    // What the last sweep found and could not refuse on its own.
    if constexpr (requires { stepper.finish(); }) {
        if (Status st = stepper.finish(); !st) return fail(st.error());
    }
    return steps % 2;
}

// Runs `steps` applications of `kernel` with step tau, starting from
// `start`, alternating between two buffers; returns the last result.
// Kernels with a stepping form run the whole call through
// run_stepping_form, the others step by step through apply_into.
template <class K>
Expected<GridFn<double>> run_steps(const K& kernel, GridFn<double> start, std::size_t steps, double tau,
                                   ScratchPool<double>& pool) {
    GridFn<double> other{start.grid, std::vector<double>(start.values.size(), 0.0)};
    if constexpr (HasNodeSteps<K>) {
        if (steps == 0) return start;
        GridFn<double>* const buffers[2] = {&start, &other};
        const Expected<std::size_t> last = run_stepping_form(kernel, buffers, steps, tau);
        if (!last) return fail(last.error());
        if (*last == 1) std::swap(start, other);
        return start;
    } else {
        for (std::size_t k = 0; k < steps; ++k) {
            if (Status st = poll_stop(); !st) return fail(st.error());
            if (Status st = kernel.apply_into(start, other, pool, tau); !st) return fail(st.error());
            std::swap(start, other);
        }
        return start;
    }
}

// `steps` applications of `kernel` with step tau to `values`, which are
// first validated as a grid function on `grid` (length, finiteness).
template <class K>
Expected<std::vector<double>> evolve_values(const K& kernel, const Grid1D<double>& grid, std::vector<double> values,
                                            double tau, std::size_t steps) {
    auto start = GridFn<double>::make(grid, std::move(values));
    if (!start) return fail(start.error());
    ScratchPool<double> pool;
    auto end = run_steps(kernel, std::move(*start), steps, tau, pool);
    if (!end) return fail(end.error());
    return std::move(end->values);
}

template <class K>
struct ChernoffSemigroup {
    K kernel;
    std::size_t n = 1;

    static Expected<ChernoffSemigroup> make(K kernel, std::size_t n) {
        if (n == 0) return domain_error("ChernoffSemigroup n must be >= 1", 0.0);
        warm_parallel_caches();
        return ChernoffSemigroup{std::move(kernel), n};
    }

    // n steps of t/n from `state`; t must be finite and >= 0.
    Expected<GridFn<double>> evolve(double t, const GridFn<double>& state) const {
        if (!finite_nonneg(t)) return domain_error("t must be finite and >= 0", t);
        ScratchPool<double> pool;
        return run_steps(kernel, state, n, t / static_cast<double>(n), pool);
    }
};

// Generic fixed-step evolver: a kernel, a step count n >= 1 and its state.
template <class K>
struct Evolver {
    K kernel;
    std::size_t n = 1;
    GridFn<double> state;

    static Expected<Evolver> make(K kernel, std::size_t n, GridFn<double> state) {
        if (n == 0) return domain_error("Evolver n must be >= 1", 0.0);
        return Evolver{std::move(kernel), n, std::move(state)};
    }

    // n steps of t/n; the state is replaced only on success.
    Status advance(double t) {
        if (!finite_nonneg(t)) return domain_error("t must be finite and >= 0", t);
        ScratchPool<double> pool;
        auto r = run_steps(kernel, state, n, t / static_cast<double>(n), pool);
        if (!r) return fail(r.error());
        state.values = std::move(r->values);
        return {};
    }
};

// The sequence every 1-D state builder follows: u0 finite ("u0 contains NaN
// or Inf"), the grid checks, the semigroup of make_kernel(grid) with `steps`,
// then the grid function of a copy of u0.
template <class MakeKernel>
auto build_state(std::size_t n, std::size_t steps, std::span<const double> u0, BoundaryPolicy<double> boundary,
                 double xmin, double xmax, MakeKernel make_kernel)
    -> Expected<std::pair<ChernoffSemigroup<std::invoke_result_t<MakeKernel, const Grid1D<double>&>>, GridFn<double>>> {
    using K = std::invoke_result_t<MakeKernel, const Grid1D<double>&>;
    if (const double* bad = first_non_finite<double>(u0)) return domain_error("u0 contains NaN or Inf", *bad);
    auto grid = Grid1D<double>::make(boundary, InterpKind::septic(), xmin, xmax, n);
    if (!grid) return fail(grid.error());
    auto sg = ChernoffSemigroup<K>::make(make_kernel(*grid), steps);
    if (!sg) return fail(sg.error());
    auto fn = GridFn<double>::make(*grid, std::vector<double>(u0.begin(), u0.end()));
    if (!fn) return fail(fn.error());
    return std::pair{std::move(*sg), std::move(*fn)};
}

// n steps of the heat2 kernel from g, between two caller-owned grid
// functions; the result ends in `state`.
Status evolve_steps_pingpong(const DiffusionChernoff& kernel, std::span<const double> g,
                             GridFn<double>& state, GridFn<double>& scratch, std::size_t n, double tau);

// The default unit heat state: u0 finite ("u0 contains NaN or Inf"), the grid
// checks, then the grid function of a copy of u0.
Expected<std::pair<ChernoffSemigroup<DiffusionChernoff>, GridFn<double>>> build_heat_state(
    std::size_t n, std::size_t steps, std::span<const double> u0, BoundaryPolicy<double> boundary, double xmin,
    double xmax);

}  // namespace quorvane
