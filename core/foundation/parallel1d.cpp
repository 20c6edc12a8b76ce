#include "core/foundation/parallel1d.hpp"

#include <cxxabi.h>

#include "core/foundation/parallel_phases.hpp"
#include "core/foundation/stop.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace quorvane {
namespace {

std::atomic<std::size_t> g_worker_count{0};
std::atomic<std::uint64_t> g_threshold{UINT64_MAX};
thread_local std::optional<std::size_t> t_worker_override;

}  // namespace

std::size_t worker_count() {
    std::size_t w = g_worker_count.load(std::memory_order_relaxed);
    if (w != 0) return w;
    // The processors this process may run on, not all that are online: one
    // pinned to fewer (taskset) would only share them among more threads.
    w = available_processors();
    g_worker_count.store(w, std::memory_order_relaxed);
    return w;
}

std::uint64_t parse_parallel_threshold(const char* text) {
    constexpr std::uint64_t kDefault = 2048;
    if (text == nullptr) return kDefault;
    const char* p = text;
    if (*p == '+') ++p;
    if (*p == '\0') return kDefault;
    std::uint64_t v = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9') return kDefault;
        const std::uint64_t d = static_cast<std::uint64_t>(*p - '0');
        if (v > (UINT64_MAX - d) / 10) return kDefault;
        v = v * 10 + d;
    }
    return std::clamp<std::uint64_t>(v, 64, 1000000);
}

std::uint64_t parallel_threshold_from_env() {
    return parse_parallel_threshold(std::getenv("TAMBRIK_PARALLEL_THRESHOLD"));
}

std::uint64_t parallel_threshold() {
    std::uint64_t t = g_threshold.load(std::memory_order_relaxed);
    if (t != UINT64_MAX) return t;
    t = parallel_threshold_from_env();
    g_threshold.store(t, std::memory_order_relaxed);
    return t;
}

void warm_parallel_caches() {
    (void)parallel_threshold();
    (void)worker_count();
}

WorkerCountOverride::WorkerCountOverride(std::size_t workers) : previous_(t_worker_override) {
    t_worker_override = workers;
}
WorkerCountOverride::~WorkerCountOverride() { t_worker_override = previous_; }

std::size_t effective_workers() { return t_worker_override ? *t_worker_override : worker_count(); }

std::size_t chunk_count(std::size_t n) {
    const std::uint64_t t = parallel_threshold();
    return std::min<std::size_t>(static_cast<std::size_t>(n / t), effective_workers());
}

void run_chunked(std::size_t count, std::size_t workers, FunctionRef<void(std::size_t, std::size_t)> body) {
    if (workers <= 1 || count == 0) {
        body(0, count);
        return;
    }
    const std::size_t len = (count + workers - 1) / workers;
    const std::size_t chunks = (count + len - 1) / len;
    std::vector<std::thread> threads;
    threads.reserve(chunks);
    std::vector<std::exception_ptr> faults(chunks);
    // The workers' poll_stop reads `stop`; the calling thread raises it when
    // its own poll asks to stop while it waits for them.
    std::atomic<bool> stop{false};
    std::mutex done_mutex;
    std::condition_variable done;
    std::size_t running = 0;
    bool spawn_failed = false;
    for (std::size_t k = 0; k < chunks; ++k) {
        const std::size_t begin = k * len;
        const std::size_t end = std::min(count, begin + len);
        {
            std::lock_guard<std::mutex> lock(done_mutex);
            ++running;
        }
        try {
            threads.emplace_back([&, k, begin, end] {
                try {
                    ScopedStopFlag flag(stop);
                    body(begin, end);
                } catch (const abi::__forced_unwind&) {
                    throw;  // the thread is being ended (pthread_exit): let it end
                } catch (...) {
                    faults[k] = std::current_exception();
                }
                std::lock_guard<std::mutex> lock(done_mutex);
                --running;
                done.notify_all();
            });
        } catch (const std::system_error&) {
            std::lock_guard<std::mutex> lock(done_mutex);
            --running;
            spawn_failed = true;
            break;
        }
    }
    if (stop_requestable()) {
        std::unique_lock<std::mutex> lock(done_mutex);
        while (!done.wait_for(lock, std::chrono::milliseconds(10), [&] { return running == 0; })) {
            lock.unlock();
            try {
                if (!poll_stop()) stop.store(true, std::memory_order_relaxed);
            } catch (const abi::__forced_unwind&) {
                // The calling thread is being ended: its workers stop and are
                // joined first, so that no joinable thread is left behind.
                stop.store(true, std::memory_order_relaxed);
                for (auto& th : threads) th.join();
                throw;
            }
            lock.lock();
        }
    }
    for (auto& th : threads) th.join();
    if (spawn_failed) internal_fault("failed to spawn thread");
    for (const auto& f : faults)
        if (f) internal_fault("a scoped thread panicked");
}

Status par_apply_nodes(std::span<double> out, FunctionRef<Expected<double>(std::size_t)> node) {
    const std::size_t n = out.size();
    const std::size_t c = chunk_count(n);
    if (c <= 1) {
        for (std::size_t i = 0; i < n; ++i) {
            Expected<double> v = node(i);
            if (!v) return fail(v.error());
            out[i] = *v;
        }
        return {};
    }
    std::mutex slot_mutex;
    std::optional<CoreError> slot;
    run_chunked(n, c, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            Expected<double> v = node(i);
            if (!v) {
                std::lock_guard<std::mutex> lock(slot_mutex);
                if (!slot) slot = v.error();
                return;
            }
            out[i] = *v;
        }
    });
    if (slot) return fail(*slot);
    return {};
}

NodeShares node_shares(std::size_t n, std::size_t max_shares) {
    const std::size_t c = std::min(chunk_count(n), max_shares);
    if (c <= 1) return {1, n};
    const std::size_t len = (n + c - 1) / c;
    return {(n + len - 1) / len, len};
}

namespace {

// The pieces of nodes [lo, hi) (signed, possibly beyond the grid) that a
// widened chunk computes: clipped to [0, n), or taken modulo n.
template <class Piece>
Status widened_pieces(std::int64_t lo, std::int64_t hi, std::size_t n, bool wrap, const Piece& piece) {
    const std::int64_t nn = static_cast<std::int64_t>(n);
    if (!wrap || hi - lo >= nn) return piece(static_cast<std::size_t>(std::max<std::int64_t>(lo, 0)),
                                             static_cast<std::size_t>(std::min(hi, nn)));
    if (lo < 0) {
        if (Status st = piece(static_cast<std::size_t>(nn + lo), n); !st) return st;
        return piece(0, static_cast<std::size_t>(hi));
    }
    if (hi > nn) {
        if (Status st = piece(static_cast<std::size_t>(lo), n); !st) return st;
        return piece(0, static_cast<std::size_t>(hi - nn));
    }
    return piece(static_cast<std::size_t>(lo), static_cast<std::size_t>(hi));
}

}  // namespace

Status run_node_steps(std::size_t n, std::size_t steps,
                      FunctionRef<Status(std::size_t, std::size_t, std::size_t, std::size_t)> step,
                      std::size_t max_shares) {
    return run_node_rounds(n, steps, 1, 0, false,
                           [&](const RoundPiece& p) { return step(p.step, p.begin, p.end, p.share); }, max_shares);
}

Status run_node_rounds(std::size_t n, std::size_t steps, std::size_t depth, std::size_t reach, bool wrap,
                       FunctionRef<Status(const RoundPiece&)> piece, std::size_t max_shares) {
    depth = std::max<std::size_t>(depth, 1);
    const std::size_t rounds = steps / depth + (steps % depth != 0);
    const auto [shares, len] = node_shares(n, max_shares);
    // The steps of round r of share s, each on its chunk widened by the
    // reach of the steps after it in the round.
    return run_phases(rounds, shares, [&](std::size_t r, std::size_t s, PhaseControl&) -> Status {
        const std::size_t first = r * depth;
        const std::size_t count = std::min(depth, steps - first);
        const std::int64_t begin = static_cast<std::int64_t>(std::min(n, s * len));
        const std::int64_t end = static_cast<std::int64_t>(std::min(n, s * len + len));
        for (std::size_t j = 0; j < count; ++j) {
            const std::int64_t widen = static_cast<std::int64_t>((count - 1 - j) * reach);
            Status st = widened_pieces(begin - widen, end + widen, n, wrap, [&](std::size_t b, std::size_t e) {
                return piece(RoundPiece{first + j, r, b, e, s, j == 0, j + 1 == count});
            });
            if (!st) return st;
        }
        return {};
    });
}

}  // namespace quorvane
