#include "core/foundation/parallel1d.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
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
    long r = ::sysconf(_SC_NPROCESSORS_ONLN);
    w = (r == 0 || r == -1) ? 1 : static_cast<std::size_t>(r);
    if (r < -1) w = 1;
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
    bool spawn_failed = false;
    for (std::size_t k = 0; k < chunks; ++k) {
        const std::size_t begin = k * len;
        const std::size_t end = std::min(count, begin + len);
        try {
            threads.emplace_back([&, k, begin, end] {
                try {
                    body(begin, end);
                } catch (...) {
                    faults[k] = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            spawn_failed = true;
            break;
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

}  // namespace quorvane
