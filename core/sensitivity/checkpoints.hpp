// A reverse sweep over the states of a fixed-step forward pass without
// keeping them all: every s-th state (s = ceil(sqrt(n_steps))) is kept as a
// checkpoint and each segment between checkpoints is recomputed once on the
// way back. Memory grows like sqrt(n_steps) * n instead of n_steps * n, at
// the price of a second forward pass; the recomputed states are the same
// bits as the first pass, since the same steps run on the same inputs.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/memory.hpp"

namespace quorvane {

// The memory plan of a sweep of n_steps steps over states of n values:
// every `interval`-th state kept (`marks` of them) and one segment of
// `segment` states recomputed at a time.
struct CheckpointPlan {
    std::uint64_t interval = 1;
    std::uint64_t marks = 0;
    std::uint64_t segment = 0;
    // Bytes of the marks, the segment and the two working states; nullopt
    // when the count does not even fit in size_t.
    std::optional<std::size_t> bytes;
};
CheckpointPlan checkpoint_plan(std::uint64_t n_steps, std::size_t n);

// Whether the plan's memory can be had at all: at most the machine's
// physical memory. Sweeps past it are refused before anything is allocated.
bool checkpoints_fit(const CheckpointPlan& plan);

// `step(k, prev, next)` computes state k + 1 from state k (k = 0 … n_steps − 1,
// all of them once in the first pass, so a failing step fails as it would in
// a plain forward pass); `visit(k, state_k)` is then called for
// k = n_steps − 1 down to 0. Refused (DomainViolation, value n_steps) before
// any allocation when the checkpoints do not fit in the machine's memory.
template <class Step, class Visit>
Status checkpointed_reverse(std::span<const double> u0, std::uint64_t n_steps, Step&& step, Visit&& visit) {
    const std::size_t n = u0.size();
    if (n_steps == 0) return {};
    const CheckpointPlan plan = checkpoint_plan(n_steps, n);
    if (!checkpoints_fit(plan)) {
        return domain_error("checkpointed reverse sweep: the ceil(sqrt(n_steps)) checkpoints of n values exceed the "
                            "machine's memory",
                            static_cast<double>(n_steps));
    }
    const std::uint64_t s = plan.interval, n_marks = plan.marks, seg_len = plan.segment;
    // Left uninitialised: every mark and segment state is written before it
    // is read. Zeroing them would touch gigabytes for long sweeps (10 GB at
    // 10^9 steps of 20000 values) before the first step and its stop poll,
    // holding off Ctrl-C for seconds; untouched, their pages come in as the
    // polled steps write them.
    const std::unique_ptr<double[]> marks = std::make_unique_for_overwrite<double[]>(n_marks * n);
    const std::unique_ptr<double[]> segment = std::make_unique_for_overwrite<double[]>(seg_len * n);
    {
        std::vector<double> cur(u0.begin(), u0.end()), next(n);
        for (std::uint64_t k = 0; k < n_steps; ++k) {
            if (k % s == 0) std::copy(cur.begin(), cur.end(), marks.get() + (k / s) * n);
            if (Status st = step(k, std::span<const double>(cur), std::span<double>(next)); !st) return st;
            cur.swap(next);
        }
    }
    for (std::uint64_t seg = n_marks; seg-- > 0;) {
        const std::uint64_t first = seg * s;
        const std::uint64_t len = std::min(s, n_steps - first);
        std::copy_n(marks.get() + seg * n, n, segment.get());
        for (std::uint64_t j = 1; j < len; ++j) {
            std::span<const double> prev(segment.get() + (j - 1) * n, n);
            if (Status st = step(first + j - 1, prev, std::span<double>(segment.get() + j * n, n)); !st) return st;
        }
        for (std::uint64_t j = len; j-- > 0;) {
            if (Status st = visit(first + j, std::span<const double>(segment.get() + j * n, n)); !st) return st;
        }
    }
    return {};
}

}  // namespace quorvane
