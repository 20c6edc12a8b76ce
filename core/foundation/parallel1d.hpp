// The chunked parallel driver of the 1-D per-node kernels, and the two
// process-wide settings that size it: the worker count and the parallel
// threshold ("TAMBRIK_PARALLEL_THRESHOLD").
//
// A grid of n nodes runs on w = min(floor(n / T), P) contiguous chunks, one
// thread each, joined before the call returns; with w <= 1 it runs on the
// calling thread. Every node is computed by the same code whatever the split,
// so results do not depend on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/foundation/error.hpp"
#include "core/foundation/function_ref.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/numeric.hpp"

namespace quorvane {

// The processors of the affinity mask (online ones where it cannot be
// read), read at the first call and cached (1 when unknown).
std::size_t worker_count();

// Reads the environment variable every time it is called; see
// parse_parallel_threshold for the rules.
std::uint64_t parallel_threshold_from_env();

// The threshold text rules: optional single '+', then ASCII digits only,
// fitting in 64 bits; anything else (absent, empty, '-', blanks) gives 2048.
// The parsed value is clamped to [64, 1000000].
std::uint64_t parse_parallel_threshold(const char* text);

// The cached threshold: the environment is read on first use only.
std::uint64_t parallel_threshold();

// Fills both process-wide caches (called by the state builders).
void warm_parallel_caches();

// Per-thread worker-count override; when set it replaces worker_count() for
// every driver call made on this thread. Restores the previous value on exit.
class WorkerCountOverride {
public:
    explicit WorkerCountOverride(std::size_t workers);
    ~WorkerCountOverride();
    WorkerCountOverride(const WorkerCountOverride&) = delete;
    WorkerCountOverride& operator=(const WorkerCountOverride&) = delete;

private:
    std::optional<std::size_t> previous_;
};

// The effective worker count of the calling thread.
std::size_t effective_workers();

// Number of chunks the driver uses for n nodes on this thread.
std::size_t chunk_count(std::size_t n);

// out[i] = node(i) for every i, serially or on chunks. Serial path: stops at
// the first error. Parallel path: every chunk runs to its end or its first
// error; the first error to reach the slot is returned after all joined.
// A fault inside a worker is rethrown after the join as an InternalFault.
Status par_apply_nodes(std::span<double> out, FunctionRef<Expected<double>(std::size_t)> node);

// Runs body(begin, end) over `count` items split into at most `workers`
// contiguous chunks on scoped threads, or directly when workers <= 1. The
// calling thread waits, polling for a stop request (poll_stop) that it
// passes on to the workers' own poll_stop. Faults in workers are rethrown
// after the join.
void run_chunked(std::size_t count, std::size_t workers, FunctionRef<void(std::size_t, std::size_t)> body);

// `steps` successive steps over n nodes: step(k, begin, end, share) computes
// nodes [begin, end) of step k, reading only what step k - 1 wrote. The
// chunks are those of par_apply_nodes; with more than one, the workers are
// started once for the whole call, each keeps its share (`share` = 0, 1, ...;
// the calling thread takes share 0) for every step, and a barrier separates
// the steps; all are joined before the call returns (run_phases, one phase
// a step). Between steps the calling thread polls for a stop request
// (poll_stop), which ends the call with that error. A failing share ends the
// call after the step in which it failed, with the error of the lowest
// failing share: the first error in node order, as on one share. Faults in
// a share are rethrown after the join as an InternalFault. `max_shares`
// caps the chunk count (steps too light to pay for a barrier on small
// shares).
Status run_node_steps(std::size_t n, std::size_t steps,
                      FunctionRef<Status(std::size_t, std::size_t, std::size_t, std::size_t)> step,
                      std::size_t max_shares = SIZE_MAX);

// How run_node_steps splits n nodes: `shares` contiguous chunks of `len`
// nodes (the last one shorter), the chunks of par_apply_nodes capped at
// `max_shares`.
struct NodeShares {
    std::size_t shares;
    std::size_t len;
};
NodeShares node_shares(std::size_t n, std::size_t max_shares = SIZE_MAX);

// One share's part of one step in a round of run_node_rounds.
struct RoundPiece {
    std::size_t step;   // the step's index in the call
    std::size_t round;  // the round it belongs to
    std::size_t begin, end;  // the nodes to compute
    std::size_t share;
    bool from_input;  // reads the round's input, else what this share's previous step wrote
    bool to_output;   // writes the round's output, else this share's own buffer
};

// `steps` steps over n nodes in rounds of up to `depth` steps, with one
// barrier per round instead of one per step: a share computes every step of
// a round on its own chunk widened by `reach` nodes on either side for each
// step still to come in the round (the nodes those steps read), so it needs
// nothing the other shares compute inside the round. The widened nodes are
// clipped to [0, n), or with `wrap` taken modulo n (a periodic grid: a chunk
// at one end reaches over the other); a step's nodes are given as one or two
// pieces. A share's first step reads the round's input, its last writes its
// own chunk of the round's output, and the steps between stay in the share's
// own buffers. The calling thread takes share 0 and polls for a stop between
// rounds; errors, faults and the split are those of run_node_steps, which
// is the case depth = 1 (every step from the input into the output).
Status run_node_rounds(std::size_t n, std::size_t steps, std::size_t depth, std::size_t reach, bool wrap,
                       FunctionRef<Status(const RoundPiece&)> piece, std::size_t max_shares = SIZE_MAX);

// The stepping form of a plain per-node kernel for run_steps: every node of
// a share through apply_node.
template <class K>
struct PointwiseNodeSteps {
    const K* kernel;
    double tau;

    Status step(const GridFn<double>& src, GridFn<double>& dst, std::size_t begin, std::size_t end,
                std::size_t) const {
        for (std::size_t i = begin; i < end; ++i) {
            Expected<double> v = kernel->apply_node(src, i, tau);
            if (!v) return fail(v.error());
            dst.values[i] = *v;
        }
        return {};
    }
};

// One step of a per-node kernel at every node of u into out (grid untouched,
// values resized to u's length). tau must be finite and >= 0.
template <class K>
Status par_apply_pointwise(GridFn<double>& out, const K& kernel, const GridFn<double>& u, double tau) {
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and >= 0", tau);
    out.values.resize(u.values.size(), 0.0);
    return par_apply_nodes(out.values, [&](std::size_t i) { return kernel.apply_node(u, i, tau); });
}

}  // namespace quorvane
