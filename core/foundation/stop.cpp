#include "core/foundation/stop.hpp"

namespace quorvane {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(50);

thread_local StopHook t_hook{};
thread_local std::chrono::steady_clock::time_point t_last_poll{};
thread_local const std::atomic<bool>* t_flag = nullptr;

}  // namespace

ScopedStopHook::ScopedStopHook(StopHook hook) : previous_(t_hook), previous_poll_(t_last_poll) {
    t_hook = hook;
    t_last_poll = std::chrono::steady_clock::now();
}

ScopedStopHook::~ScopedStopHook() {
    t_hook = previous_;
    t_last_poll = previous_poll_;
}

ScopedStopFlag::ScopedStopFlag(const std::atomic<bool>& flag) : previous_(t_flag) { t_flag = &flag; }

ScopedStopFlag::~ScopedStopFlag() { t_flag = previous_; }

bool stop_requestable() { return t_hook.should_stop != nullptr || t_flag != nullptr; }

Status poll_stop() {
    if (t_flag != nullptr && t_flag->load(std::memory_order_relaxed)) return fail(CoreError::callback_failed());
    if (t_hook.should_stop == nullptr) return {};
    const auto now = std::chrono::steady_clock::now();
    if (now - t_last_poll < kPollInterval) return {};
    t_last_poll = now;
    if (t_hook.should_stop(t_hook.ctx)) return fail(CoreError::callback_failed());
    return {};
}

}  // namespace quorvane
