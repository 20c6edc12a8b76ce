#include "core/foundation/parallel_phases.hpp"

#include <cxxabi.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "core/foundation/step_barrier.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

bool PhaseControl::keep_going() {
    if (stopped_->load(std::memory_order_relaxed)) return false;
    if (!caller_) return true;
    if (poll_stop()) return true;
    if (halt_ != nullptr) halt_->store(true, std::memory_order_relaxed);
    stopped_->store(true, std::memory_order_relaxed);
    return false;
}

std::size_t available_processors() {
    // The affinity mask, so that a process pinned to fewer CPUs (taskset)
    // starts fewer threads; the online count when the mask cannot be read.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<std::size_t>(n) : 1;
}

std::size_t sweep_worker_count(std::size_t nodes, std::size_t lines, std::size_t phases) {
    const std::size_t work = sweeps_of(nodes, phases);
    const std::size_t by_work = std::min(nodes / kSweepNodesPerWorker, work / kSweepWorkPerWorker);
    return std::max<std::size_t>(1, std::min({available_processors(), by_work, lines}));
}

std::size_t sweeps_of(std::size_t per_step, std::size_t steps) {
    std::size_t total = 0;
    return __builtin_mul_overflow(per_step, steps, &total) ? SIZE_MAX : total;
}

WorkShare share_of(std::size_t count, std::size_t workers, std::size_t w) {
    const std::size_t base = count / workers, extra = count % workers;
    const std::size_t begin = w * base + std::min(w, extra);
    return {begin, begin + base + (w < extra ? 1 : 0)};
}

Status run_phases(std::size_t phases, std::size_t workers,
                  FunctionRef<Status(std::size_t, std::size_t, PhaseControl&)> body) {
    std::atomic<bool> stopped{false};
    if (workers <= 1) {
        PhaseControl control(stopped, true);
        for (std::size_t k = 0; k < phases; ++k) {
            if (k > 0 && !control.keep_going()) break;
            if (Status st = body(k, 0, control); !st) return st;
            if (stopped.load(std::memory_order_relaxed)) break;
        }
        if (stopped.load(std::memory_order_relaxed)) return fail(CoreError::callback_failed());
        return {};
    }

    StepBarrier barrier(workers);
    // halt[k % 2]: some worker failed in phase k, or a stop was requested
    // during it. Only phase k writes it and only after the barrier ending
    // phase k is it read; the flag of phase k + 1 is the other one, still
    // clear (a worker late out of barrier k must not see phase k + 1's).
    std::atomic<bool> halt[2] = {false, false};
    std::vector<std::optional<CoreError>> errors(workers);
    std::vector<std::exception_ptr> faults(workers);
    std::vector<std::thread> threads;  // workers 1, 2, ...
    auto run_worker = [&](std::size_t w) {
        PhaseControl control(stopped, w == 0);
        for (std::size_t k = 0; k < phases; ++k) {
            control.set_phase_halt(&halt[k % 2]);
            try {
                if (!stopped.load(std::memory_order_relaxed)) {
                    Status st = body(k, w, control);
                    if (!st) {
                        errors[w] = st.error();
                        halt[k % 2].store(true, std::memory_order_relaxed);
                    }
                }
                // Between phases the calling thread asks for a stop too, so
                // that a body which never asks still ends the call; it asks
                // before the barrier, so that no worker starts the next phase.
                if (w == 0 && k + 1 < phases && !halt[k % 2].load(std::memory_order_relaxed)) {
                    (void)control.keep_going();
                }
            } catch (const abi::__forced_unwind&) {
                // The thread is being ended (pthread_exit): let it end. The
                // calling thread first releases the other workers and joins
                // them, so no joinable thread is left behind.
                if (w == 0) {
                    stopped.store(true, std::memory_order_relaxed);
                    halt[k % 2].store(true, std::memory_order_relaxed);
                    barrier.arrive_and_wait();
                    for (auto& th : threads) th.join();
                }
                throw;
            } catch (...) {
                faults[w] = std::current_exception();
                halt[k % 2].store(true, std::memory_order_relaxed);
            }
            if (stopped.load(std::memory_order_relaxed)) halt[k % 2].store(true, std::memory_order_relaxed);
            barrier.arrive_and_wait();
            if (halt[k % 2].load(std::memory_order_relaxed)) return;
        }
    };

    // The workers wait at a gate until every one of them is started, so a
    // refused thread ends the call without leaving any at the barrier.
    enum : int { kWait = 0, kGo = 1, kAbort = 2 };
    std::atomic<int> gate{kWait};
    threads.reserve(workers - 1);
    bool spawn_failed = false;
    for (std::size_t w = 1; w < workers; ++w) {
        try {
            threads.emplace_back([&, w] {
                gate.wait(kWait, std::memory_order_acquire);
                if (gate.load(std::memory_order_acquire) != kGo) return;
                // Code inside the body that polls for a stop answers from the
                // calling thread's request.
                ScopedStopFlag flag(stopped);
                run_worker(w);
            });
        } catch (const std::system_error&) {
            spawn_failed = true;
            break;
        }
    }
    gate.store(spawn_failed ? kAbort : kGo, std::memory_order_release);
    gate.notify_all();
    if (!spawn_failed) run_worker(0);
    for (auto& th : threads) th.join();
    if (spawn_failed) internal_fault("failed to spawn thread");
    for (const auto& f : faults)
        if (f) internal_fault("a scoped thread panicked");
    for (const auto& e : errors)
        if (e) return fail(*e);
    if (stopped.load(std::memory_order_relaxed)) return fail(CoreError::callback_failed());
    return {};
}

}  // namespace quorvane
