// The chunked pointwise driver: threshold parsing, chunk geometry, identical
// results on every split, the first error kept, faults after the join, and
// the step checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "core/foundation/coeff.hpp"
#include "core/line/diffusion.hpp"
#include "core/foundation/parallel1d.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {
namespace {

// CTest registers these tests with TAMBRIK_PARALLEL_THRESHOLD=64; run
// directly, the binary falls back to the same value (an explicit setting wins).
const bool kThresholdDefault = [] { return ::setenv("TAMBRIK_PARALLEL_THRESHOLD", "64", 0) == 0; }();

void require_threshold_64() {
    ASSERT_TRUE(kThresholdDefault);
    if (parallel_threshold() != 64) GTEST_SKIP() << "needs TAMBRIK_PARALLEL_THRESHOLD=64";
}

TEST(Threshold, ParsingTableAndReadOnlyOnFirstUse) {
    const std::pair<const char*, std::uint64_t> table[] = {
        {"+500", 500}, {"00100", 100}, {"0", 64}, {"63", 64}, {"64", 64}, {"1000000", 1000000},
        {"5000000", 1000000}, {"18446744073709551615", 1000000}, {"18446744073709551616", 2048},
        {"99999999999999999999", 2048}, {" 100", 2048}, {"100 ", 2048}, {"1e3", 2048}, {"-5", 2048}, {"-0", 2048},
        {"", 2048}, {"+", 2048}, {"-", 2048}, {"++5", 2048}, {"0x40", 2048}, {"\xd9\xa3", 2048}, {nullptr, 2048}};
    for (auto [text, want] : table) EXPECT_EQ(parse_parallel_threshold(text), want) << (text ? text : "(unset)");
    const std::uint64_t cached = parallel_threshold();
    const char* old = std::getenv("TAMBRIK_PARALLEL_THRESHOLD");
    const std::string saved = old ? old : "";
    ::setenv("TAMBRIK_PARALLEL_THRESHOLD", "5000000", 1);
    EXPECT_EQ(parallel_threshold_from_env(), 1000000u);
    EXPECT_EQ(parallel_threshold(), cached);
    if (old) ::setenv("TAMBRIK_PARALLEL_THRESHOLD", saved.c_str(), 1);
    else ::unsetenv("TAMBRIK_PARALLEL_THRESHOLD");
}

TEST(WorkerCount, OverrideNestsAndBelongsToItsThread) {
    WorkerCountOverride outer(3);
    {
        WorkerCountOverride inner(1);
        EXPECT_EQ(effective_workers(), 1u);
    }
    EXPECT_EQ(effective_workers(), 3u);
    std::size_t seen = 0;
    std::thread([&] { seen = effective_workers(); }).join();
    EXPECT_EQ(seen, worker_count());
}

TEST(ChunkGeometry, MinOfLengthOverThresholdAndWorkersInContiguousChunks) {
    require_threshold_64();
    auto count = [](std::size_t workers, std::size_t n) {
        WorkerCountOverride p(workers);
        return chunk_count(n);
    };
    EXPECT_EQ(count(8, 10000), 8u);
    EXPECT_EQ(count(16, 1000), 15u);  // floor(1000/64)
    EXPECT_LE(count(1, 1000000), 1u);
    auto chunks = [](std::size_t n, std::size_t workers) {
        std::mutex m;
        std::vector<std::pair<std::size_t, std::size_t>> seen;  // (begin, end) of each chunk
        run_chunked(n, workers, [&](std::size_t b, std::size_t e) {
            std::lock_guard<std::mutex> lock(m);
            seen.emplace_back(b, e);
        });
        std::ranges::sort(seen);
        return seen;
    };
    // Length L = ceil(n/w), the last chunk takes the rest: L = ceil(10/4) = 3
    // gives ceil(10/3) = 4 chunks; L = ceil(9/4) = 3 gives 3.
    using Chunks = std::vector<std::pair<std::size_t, std::size_t>>;
    EXPECT_EQ(chunks(10, 4), (Chunks{{0, 3}, {3, 6}, {6, 9}, {9, 10}}));
    EXPECT_EQ(chunks(9, 4).size(), 3u);
}

GridFn<double> line(std::size_t n) {
    const std::size_t nodes = std::max<std::size_t>(n, 4);
    GridFn<double> g{*Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0, 1, nodes), {}};
    for (std::size_t i = 0; i < n; ++i) g.values.push_back(static_cast<double>(i));
    return g;
}

// Records the thread of each node; fails (error value: the node) or throws at
// the listed nodes; otherwise returns 2i.
struct ProbeKernel {
    std::vector<std::thread::id>* who = nullptr;
    std::vector<std::size_t> bad = {};
    std::size_t throw_at = SIZE_MAX;
    Expected<double> apply_node(const GridFn<double>&, std::size_t i, double) const {
        if (who) (*who)[i] = std::this_thread::get_id();
        if (i == throw_at) throw InternalFault("index out of bounds");
        if (std::ranges::find(bad, i) != bad.end()) return domain_error("node failed", static_cast<double>(i));
        return 2.0 * static_cast<double>(i);
    }
};

class SplitIndependence : public ::testing::TestWithParam<std::size_t> {};
TEST_P(SplitIndependence, ParallelBitIdenticalToSerial) {
    require_threshold_64();
    const std::size_t n = 5000;
    GridFn<double> u{*Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), -2.0, 3.0, n), {}};
    for (std::size_t i = 0; i < n; ++i)
        u.values.push_back(std::exp(-std::pow(u.grid.node(i) - 0.4, 2)) + 0.1 * std::sin(17.0 * i));
    // heat2 with a variable coefficient through shared closures: the heaviest
    // path (ten samples and eight coefficient calls per node).
    const DiffusionChernoff k{
        CoeffSource::shared(make_coeff([](double x) { return 1.0 + 0.5 * std::sin(3.0 * x); }),
                            make_coeff([](double x) { return 1.5 * std::cos(3.0 * x); }),
                            make_coeff([](double x) { return -4.5 * std::sin(3.0 * x); })),
        u.grid, 1.5};
    GridFn<double> serial, parallel;
    {
        WorkerCountOverride one(1);
        ASSERT_TRUE(par_apply_pointwise(serial, k, u, 1e-3));
    }
    WorkerCountOverride many(GetParam());
    ASSERT_GT(chunk_count(n), 1u);
    ASSERT_TRUE(par_apply_pointwise(parallel, k, u, 1e-3));
    ASSERT_EQ(parallel.values.size(), n);
    EXPECT_EQ(std::memcmp(serial.values.data(), parallel.values.data(), n * sizeof(double)), 0);
    EXPECT_NE(serial.values, u.values);  // the step did something
}
INSTANTIATE_TEST_SUITE_P(Workers, SplitIndependence, ::testing::Values(2, 3, 8, 16));

TEST(Driver, OneErrorKeptEachChunkStopsAtItsFailure) {
    require_threshold_64();
    for (std::size_t workers : {1, 8}) {  // 8 workers: chunks of 625
        WorkerCountOverride p(workers);
        GridFn<double> out{line(5000).grid, std::vector<double>(5000, -1.0)};
        const Status st = par_apply_pointwise(out, ProbeKernel{nullptr, {4500, 5, 3000}}, line(5000), 0.1);
        const double v = st.error().f0();
        // Serial: the lowest failing node; parallel: any one of them.
        EXPECT_TRUE(v == 5.0 || (workers > 1 && (v == 3000.0 || v == 4500.0))) << v;
        for (std::size_t i = 0; i < 5000; ++i) {
            const bool stopped = workers == 1 ? i >= 5 : (i >= 5 && i < 625) || (i >= 3000 && i < 3125) || i >= 4500;
            ASSERT_EQ(out.values[i], stopped ? -1.0 : 2.0 * i) << workers << " " << i;
        }
    }
    WorkerCountOverride p(4);
    GridFn<double> out;
    try {
        (void)par_apply_pointwise(out, ProbeKernel{nullptr, {}, 4321}, line(5000), 0.0);
        FAIL() << "expected an internal fault";
    } catch (const InternalFault& f) {
        EXPECT_STREQ(f.what(), "a scoped thread panicked");  // the worker's fault, after the join
    }
}

TEST(Driver, BadTauRejectedBeforeAnyWriteSizesFollowTheInput) {
    const GridFn<double> u = line(6);
    for (auto [tau, shown] : {std::pair{-1.0, "-1"}, {std::numeric_limits<double>::quiet_NaN(), "NaN"},
                              {-std::numeric_limits<double>::infinity(), "-inf"}}) {
        GridFn<double> out{u.grid, {7.0, 8.0}};
        EXPECT_EQ(par_apply_pointwise(out, ProbeKernel{}, u, tau).error().display(),
                  std::string("domain violation: tau must be finite and >= 0 (value = ") + shown + ")");
        EXPECT_EQ(out.values, (std::vector<double>{7.0, 8.0}));  // not even resized
    }
    GridFn<double> longer{u.grid, std::vector<double>(9, 1.0)};
    ASSERT_TRUE(par_apply_pointwise(longer, ProbeKernel{}, u, -0.0));  // -0 is a zero step
    EXPECT_EQ(longer.values, (std::vector<double>{0, 2, 4, 6, 8, 10}));
    std::vector<std::thread::id> who;  // a call would write out of range
    EXPECT_TRUE(par_apply_pointwise(longer, ProbeKernel{&who}, line(0), 0.0));
    EXPECT_TRUE(longer.values.empty());
}

// run_node_steps with steps that record (step, share) and fail or throw on
// request: every share sees every step until the one that ends the call.
struct StepLog {
    std::mutex m;
    std::set<std::pair<std::size_t, std::size_t>> seen;  // (step, share)
    std::set<std::thread::id> threads;
    std::size_t max_step() {
        std::size_t k = 0;
        for (auto [s, _] : seen) k = std::max(k, s);
        return k;
    }
};

TEST(NodeSteps, WorkersKeptForTheCallAndStoppedAfterTheFailingStep) {
    require_threshold_64();
    WorkerCountOverride p(4);  // 1000 nodes: four shares of 250
    StepLog log;
    const Status st = run_node_steps(1000, 50, [&](std::size_t k, std::size_t b, std::size_t e, std::size_t s) {
        {
            std::lock_guard<std::mutex> lock(log.m);
            log.seen.emplace(k, s);
            log.threads.insert(std::this_thread::get_id());
        }
        EXPECT_EQ(b, 250 * s);
        EXPECT_EQ(e, 250 * s + 250);
        if (k == 7 && s == 2) return Status(domain_error("share 2 failed", 7.0));
        return Status{};
    });
    EXPECT_EQ(st.error().f0(), 7.0);
    EXPECT_EQ(log.seen.size(), 8u * 4u);  // steps 0..7, every share, nothing after
    EXPECT_EQ(log.max_step(), 7u);
    EXPECT_EQ(log.threads.size(), 4u);  // one thread per share for all steps
    EXPECT_TRUE(log.threads.contains(std::this_thread::get_id()));
}

TEST(NodeSteps, SharesFailingInOneStepReportTheErrorOfTheLowestAsOneShareWould) {
    require_threshold_64();
    for (std::size_t workers : {1, 4}) {
        WorkerCountOverride p(workers);  // 1000 nodes: one share, or four of 250
        // Nodes 300 and 900 fail in step 5 (shares 1 and 3); share 1 is held
        // back so that share 3's error is the first one raised.
        const Status st = run_node_steps(1000, 20, [&](std::size_t k, std::size_t b, std::size_t e, std::size_t) {
            if (k != 5) return Status{};
            if (b <= 300 && 300 < e) {
                if (workers > 1) std::this_thread::sleep_for(std::chrono::milliseconds(20));
                return Status(domain_error("node failed", 300.0));
            }
            if (b <= 900 && 900 < e) return Status(domain_error("node failed", 900.0));
            return Status{};
        });
        EXPECT_EQ(st.error(), CoreError::domain("node failed", 300.0)) << workers;
    }
}

TEST(NodeSteps, StopRequestEndsTheCallBetweenStepsAndFaultsAfterTheJoin) {
    require_threshold_64();
    for (std::size_t workers : {1, 4}) {
        WorkerCountOverride p(workers);
        std::atomic<int> asked{0};
        const ScopedStopHook hook({[](void* c) { return ++*static_cast<std::atomic<int>*>(c) > 0; }, &asked});
        StepLog log;
        const Status st = run_node_steps(1000, 1000, [&](std::size_t k, std::size_t, std::size_t, std::size_t s) {
            if (k == 0) std::this_thread::sleep_for(std::chrono::milliseconds(60));  // past the poll interval
            std::lock_guard<std::mutex> lock(log.m);
            log.seen.emplace(k, s);
            return Status{};
        });
        EXPECT_EQ(st.error(), CoreError::callback_failed()) << workers;
        EXPECT_EQ(asked.load(), 1);
        EXPECT_EQ(log.max_step(), 0u);  // asked after step 0, before step 1
    }
    WorkerCountOverride p(4);
    try {
        (void)run_node_steps(1000, 10, [](std::size_t k, std::size_t, std::size_t, std::size_t s) -> Status {
            if (k == 3 && s == 1) throw InternalFault("index out of bounds");
            return {};
        });
        FAIL() << "expected an internal fault";
    } catch (const InternalFault& f) {
        EXPECT_STREQ(f.what(), "a scoped thread panicked");
    }
}

// run_node_rounds: in a round a share computes each step on its chunk
// widened by the reach of the steps after it in the round (clipped, or
// wrapped around a periodic grid), one barrier per round, the last round
// shorter; a failure ends the call after its round.
TEST(NodeRounds, ChunksWidenedByTheStepsLeftInTheRound) {
    require_threshold_64();
    WorkerCountOverride p(4);  // 1000 nodes: four shares of 250
    for (const bool wrap : {false, true}) {
        std::mutex m;
        // (step, share) -> nodes computed, as [begin, end) pieces
        std::set<std::tuple<std::size_t, std::size_t, std::size_t, std::size_t, bool, bool>> seen;
        std::set<std::pair<std::size_t, std::thread::id>> threads;
        const Status st = run_node_rounds(1000, 11, 4, 30, wrap, [&](const RoundPiece& q) {
            std::lock_guard<std::mutex> lock(m);
            seen.emplace(q.step, q.share, q.begin, q.end, q.from_input, q.to_output);
            threads.emplace(q.share, std::this_thread::get_id());
            EXPECT_EQ(q.round, q.step / 4);
            return Status{};
        });
        ASSERT_TRUE(st);
        EXPECT_EQ(threads.size(), 4u) << "one thread per share for the call";
        // Round 0 of share 0: steps 0..3 widened by 90, 60, 30, 0 nodes.
        for (std::size_t j = 0; j < 4; ++j) {
            const std::size_t w = 30 * (3 - j);
            EXPECT_TRUE(seen.contains({j, 0, 0, 250 + w, j == 0, j == 3})) << j;
            EXPECT_TRUE(seen.contains({j, 2, 500 - w, 750 + w, j == 0, j == 3})) << j;
            if (wrap && w > 0) {
                EXPECT_TRUE(seen.contains({j, 0, 1000 - w, 1000, j == 0, j == 3})) << j;
            }
        }
        // The last round has three steps: widened by 60, 30, 0.
        EXPECT_TRUE(seen.contains({8, 3, 690, 1000, true, false}));
        EXPECT_TRUE(seen.contains({10, 3, 750, 1000, false, true}));
        if (wrap) {
            EXPECT_TRUE(seen.contains({8, 3, 0, 60, true, false}));
        }
        EXPECT_EQ(seen.size(), wrap ? 44u + 16u : 44u);  // wrapped: 3 + 3 + 2 more pieces at either end
    }
    std::atomic<std::size_t> last{0};
    const Status st = run_node_rounds(1000, 40, 4, 10, false, [&](const RoundPiece& q) {
        last = std::max<std::size_t>(last, q.step);
        if (q.step == 5 && q.share == 1) return Status(domain_error("share 1 failed", 5.0));
        return Status{};
    });
    EXPECT_EQ(st.error().f0(), 5.0);
    EXPECT_EQ(last.load(), 7u);  // the round of step 5 ends, nothing after it
}

// The calling thread of run_chunked only waits; a stop its hook asks for
// reaches the workers' own polls, and no worker sees a stop without one.
TEST(RunChunked, PassesTheCallingThreadsStopOnToTheWorkers) {
    for (const bool stop : {false, true}) {
        const ScopedStopHook hook({stop ? [](void*) { return true; } : [](void*) { return false; }, nullptr});
        std::atomic<int> stopped{0};
        run_chunked(4, 4, [&](std::size_t, std::size_t) {
            const auto start = std::chrono::steady_clock::now();
            while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(300)) {
                if (!poll_stop()) {
                    ++stopped;
                    return;
                }
            }
        });
        EXPECT_EQ(stopped.load(), stop ? 4 : 0);
    }
    EXPECT_FALSE(stop_requestable());
}

}  // namespace
}  // namespace quorvane
