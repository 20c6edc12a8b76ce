// Calls made of successive phases over a fixed set of workers: the sweeps
// of a multi-dimensional step (every line of one axis, then every line of
// the next), with one barrier between consecutive phases.
//
// The workers are started once for the call and joined before it returns;
// worker 0 is the calling thread. A worker's part of a phase is whatever the
// body gives it (a contiguous range of lines, say); since the body decides
// what every worker computes, results need not depend on the worker count.
#pragma once

#include <atomic>
#include <cstddef>

#include "core/foundation/error.hpp"
#include "core/foundation/function_ref.hpp"

namespace quorvane {

// Whether a worker should go on with its part of the current phase. On the
// calling thread it consults the stop hook (poll_stop, a clock read between
// consultations) and passes a stop request on to the other workers; on a
// worker it reads that request. Ask it between units of work of a few
// microseconds or more.
class PhaseControl {
public:
    PhaseControl(std::atomic<bool>& stopped, bool caller) : stopped_(&stopped), caller_(caller) {}

    bool keep_going();

    // The flag that ends the call after the current phase (set with a stop).
    void set_phase_halt(std::atomic<bool>* halt) { halt_ = halt; }

private:
    std::atomic<bool>* stopped_;
    std::atomic<bool>* halt_ = nullptr;
    bool caller_;
};

// Runs `phases` phases on `workers` threads: body(k, w, control) computes
// worker w's part of phase k and may read everything phase k - 1 wrote.
// A body that finds control.keep_going() false leaves its part at once.
//
// The call ends after the first phase in which some worker failed, with
// the first error of the lowest-numbered failing worker (the workers of
// that phase finish their parts; a body that gives worker w the w-th range
// of ordered work thus reports what a single worker would); with the stop
// error (CoreError::callback_failed) when a stop was requested and no
// worker failed. Between phases the calling thread asks for a stop itself
// (before the barrier, so the next phase is not started), so bodies that
// never ask still end the call. Faults in a worker are rethrown after the
// join as an InternalFault. With workers <= 1 everything runs on the
// calling thread.
Status run_phases(std::size_t phases, std::size_t workers,
                  FunctionRef<Status(std::size_t, std::size_t, PhaseControl&)> body);

// Processors available to this process: its affinity mask, asked at every
// call (the online count when the mask cannot be read, at least 1).
std::size_t available_processors();

// The workers of a call of `phases` phases, each stepping `nodes` nodes in
// `lines` independent lines (a node of a phase costs ~20 ns): every worker
// gets kSweepNodesPerWorker nodes or more and a line or more per phase, and
// kSweepWorkPerWorker node-phases or more in the call (a thread started for
// less costs more than it saves); at most the available processors.
inline constexpr std::size_t kSweepNodesPerWorker = 1024;
inline constexpr std::size_t kSweepWorkPerWorker = 8192;
std::size_t sweep_worker_count(std::size_t nodes, std::size_t lines, std::size_t phases);

// per_step * steps, or SIZE_MAX when that does not fit.
std::size_t sweeps_of(std::size_t per_step, std::size_t steps);

// [begin, end) of worker w's share when `count` items are split into
// `workers` contiguous shares, the first ones one item larger.
struct WorkShare {
    std::size_t begin, end;
};
WorkShare share_of(std::size_t count, std::size_t workers, std::size_t w);

}  // namespace quorvane
