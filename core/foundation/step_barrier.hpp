// The barrier between the steps (or sweeps) of one parallel call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace quorvane {

// A reusable barrier for the workers of one call: a short spin (a step of
// a small grid takes microseconds), then a wait on the generation word.
class StepBarrier {
public:
    explicit StepBarrier(std::size_t count) : count_(count) {}

    void arrive_and_wait() {
        const std::uint32_t gen = generation_.load(std::memory_order_acquire);
        if (arrived_.fetch_add(1, std::memory_order_acq_rel) + 1 == count_) {
            arrived_.store(0, std::memory_order_relaxed);
            generation_.store(gen + 1, std::memory_order_release);
            generation_.notify_all();
            return;
        }
        for (int spin = 0; spin < kSpins; ++spin) {
            if (generation_.load(std::memory_order_acquire) != gen) return;
            cpu_relax();
        }
        // On a loaded machine the last share may be waiting for this core.
        for (int round = 0; round < kYields; ++round) {
            if (generation_.load(std::memory_order_acquire) != gen) return;
            std::this_thread::yield();
        }
        while (generation_.load(std::memory_order_acquire) == gen) generation_.wait(gen, std::memory_order_acquire);
    }

private:
    static void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    static constexpr int kSpins = 2000;
    static constexpr int kYields = 20;
    const std::size_t count_;
    std::atomic<std::size_t> arrived_{0};
    std::atomic<std::uint32_t> generation_{0};
};

}  // namespace quorvane
