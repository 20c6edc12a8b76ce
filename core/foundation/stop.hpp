// Stopping long calls on request.
//
// A long-running loop (many steps, many columns, an adaptive search) asks
// between units of work whether its caller wants it to stop; the Python layer
// answers from pending signals (Ctrl-C). The hook is installed on the calling
// thread for the duration of one call, and `poll_stop` consults it at most
// once every ~50 ms of work, so polling after every step costs a clock read.
// The core itself knows nothing of what the hook looks at.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "core/foundation/error.hpp"

namespace quorvane {

struct StopHook {
    // True when the call should stop; the hook keeps its own reason.
    bool (*should_stop)(void* ctx) = nullptr;
    void* ctx = nullptr;
};

// Installs `hook` on the calling thread until destruction (nesting restores
// the outer hook).
class ScopedStopHook {
public:
    explicit ScopedStopHook(StopHook hook);
    ~ScopedStopHook();
    ScopedStopHook(const ScopedStopHook&) = delete;
    ScopedStopHook& operator=(const ScopedStopHook&) = delete;

private:
    StopHook previous_;
    std::chrono::steady_clock::time_point previous_poll_;
};

// Installs, on a worker thread of a call, the flag through which the calling
// thread passes a stop request on (run_chunked raises it when the calling
// thread's own poll asks to stop); until destruction poll_stop on the worker
// answers from the flag.
class ScopedStopFlag {
public:
    explicit ScopedStopFlag(const std::atomic<bool>& flag);
    ~ScopedStopFlag();
    ScopedStopFlag(const ScopedStopFlag&) = delete;
    ScopedStopFlag& operator=(const ScopedStopFlag&) = delete;

private:
    const std::atomic<bool>* previous_;
};

// Whether poll_stop on the calling thread can ever ask to stop (a hook or a
// flag is installed).
bool stop_requestable();

// CoreError::callback_failed() when the calling thread's hook asks to stop
// (or its stop flag is raised);
// success when no hook is installed or less than the poll interval has
// passed since the last consultation. Call it from the thread that runs the
// loop (the one the hook was installed on), between steps.
Status poll_stop();

// poll_stop at the first of every 1024 values of a loop over grid values
// (value index i) whose values cost a few hundred operations or more each:
// the clock read of a poll per value would show, one per 1024 does not, and
// 1024 values stay far below the poll interval.
inline Status poll_stop_per_block(std::size_t i) { return i % 1024 == 0 ? poll_stop() : Status{}; }

// poll_stop for loops whose units of work are too cheap, or too uneven, for
// a poll each: the first spend polls (a request that came before the work
// ends it at once), then every spend that uses up the period since the last
// poll.
class PollBudget {
public:
    explicit PollBudget(std::uint64_t period) : period_(period) {}

    // Units that can still be spent before the next poll (0 before the first).
    std::uint64_t left() const { return left_; }

    Status spend(std::uint64_t units) {
        if (units < left_) {
            left_ -= units;
            return {};
        }
        left_ = period_;
        return poll_stop();
    }

private:
    std::uint64_t period_;
    std::uint64_t left_ = 0;
};

}  // namespace quorvane
