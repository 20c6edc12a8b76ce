// The phase driver of the multi-dimensional sweeps: workers kept for the
// call, the error of the first failing worker, a stop answered inside a
// phase, faults after the join; and the shares it hands out.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "core/foundation/parallel_phases.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {
namespace {

struct PhaseLog {
    std::mutex m;
    std::set<std::pair<std::size_t, std::size_t>> seen;  // (phase, worker)
    std::set<std::thread::id> threads;
    void add(std::size_t k, std::size_t w) {
        std::lock_guard<std::mutex> lock(m);
        seen.emplace(k, w);
        threads.insert(std::this_thread::get_id());
    }
};

TEST(Phases, EveryWorkerRunsEveryPhaseUntilTheFailingOneWhoseFirstWorkerReports) {
    for (std::size_t workers : {1, 4}) {
        PhaseLog log;
        const Status st = run_phases(40, workers, [&](std::size_t k, std::size_t w, PhaseControl&) {
            log.add(k, w);
            // Two workers fail in phase 9: the lower one's error is the call's,
            // as a single worker going through their work in order meets it first.
            if (k == 9 && (w == 1 || w == 3 || workers == 1)) {
                return Status(domain_error("failed", static_cast<double>(workers == 1 ? 1 : w)));
            }
            if (k == 9 && w == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return Status{};
        });
        EXPECT_EQ(st.error(), CoreError::domain("failed", 1.0)) << workers;
        EXPECT_EQ(log.seen.size(), 10u * workers);  // phases 0..9, nothing after
        EXPECT_EQ(log.threads.size(), workers);     // one thread per worker for the whole call
        EXPECT_TRUE(log.threads.contains(std::this_thread::get_id()));
    }
}

TEST(Phases, StopRequestLeavesThePhaseAtOnceOnEveryWorker) {
    for (std::size_t workers : {1, 3}) {
        const ScopedStopHook hook({[](void*) { return true; }, nullptr});
        std::atomic<std::size_t> left{0};
        const auto start = std::chrono::steady_clock::now();
        const Status st = run_phases(1000, workers, [&](std::size_t k, std::size_t, PhaseControl& control) {
            EXPECT_EQ(k, 0u);
            // One long phase: only the answer of control can end it.
            while (control.keep_going()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ++left;
            return Status{};
        });
        EXPECT_EQ(st.error(), CoreError::callback_failed()) << workers;
        EXPECT_EQ(left.load(), workers);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
}

TEST(Phases, BetweenPhasesTheCallerAsksEvenWhenTheBodyDoesNot) {
    const ScopedStopHook hook({[](void*) { return true; }, nullptr});
    std::atomic<std::size_t> last{0};
    const Status st = run_phases(1000, 2, [&](std::size_t k, std::size_t, PhaseControl&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));  // past the poll interval
        last = k;
        return Status{};
    });
    EXPECT_EQ(st.error(), CoreError::callback_failed());
    EXPECT_LE(last.load(), 1u);  // the other worker may have entered phase 1 before the answer
}

TEST(Phases, AFaultInAWorkerIsRethrownAfterTheJoin) {
    try {
        (void)run_phases(10, 4, [](std::size_t k, std::size_t w, PhaseControl&) -> Status {
            if (k == 3 && w == 2) throw InternalFault("index out of bounds");
            return {};
        });
        FAIL() << "expected an internal fault";
    } catch (const InternalFault& f) {
        EXPECT_STREQ(f.what(), "a scoped thread panicked");
    }
}

TEST(Phases, SharesAreContiguousAndCoverTheItems) {
    for (std::size_t count : {0, 1, 7, 64, 1001}) {
        for (std::size_t workers : {1, 3, 8}) {
            std::size_t next = 0;
            for (std::size_t w = 0; w < workers; ++w) {
                const WorkShare s = share_of(count, workers, w);
                EXPECT_EQ(s.begin, next);
                EXPECT_LE(s.end - s.begin, count / workers + 1);
                next = s.end;
            }
            EXPECT_EQ(next, count);
        }
    }
}

TEST(Phases, WorkersGrowWithTheWorkOfTheCall) {
    const std::size_t p = available_processors();
    EXPECT_EQ(sweep_worker_count(2047, 100, 1000), 1u);        // under two workers' nodes
    EXPECT_EQ(sweep_worker_count(4096, 100, 3), 1u);           // 12288 node-sweeps: one thread's worth
    EXPECT_EQ(sweep_worker_count(4096, 100, 4), std::min<std::size_t>(p, 2));
    EXPECT_EQ(sweep_worker_count(1 << 20, 3, 1000), std::min<std::size_t>(p, 3));  // a line each at least
    EXPECT_EQ(sweep_worker_count(1 << 20, 1 << 10, SIZE_MAX), std::min<std::size_t>(p, 1 << 10));
    EXPECT_EQ(sweeps_of(SIZE_MAX / 2, 3), SIZE_MAX);
}

}  // namespace
}  // namespace quorvane
