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
#include <limits>
#include <new>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"

namespace quorvane {

// `step(k, prev, next)` computes state k + 1 from state k (k = 0 … n_steps − 1,
// all of them once in the first pass, so a failing step fails as it would in
// a plain forward pass); `visit(k, state_k)` is then called for
// k = n_steps − 1 down to 0. Throws bad_alloc when even the checkpoints do
// not fit in memory.
template <class Step, class Visit>
Status checkpointed_reverse(std::span<const double> u0, std::uint64_t n_steps, Step&& step, Visit&& visit) {
    const std::size_t n = u0.size();
    if (n_steps == 0) return {};
    const std::uint64_t s =
        std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<double>(n_steps)))));
    const std::uint64_t n_marks = (n_steps + s - 1) / s;
    const std::uint64_t seg_len = std::min(s, n_steps);
    const std::uint64_t max_states = std::numeric_limits<std::size_t>::max() / sizeof(double) / (n > 0 ? n : 1);
    if (n_marks > max_states || seg_len > max_states) throw std::bad_alloc();
    std::vector<double> marks(static_cast<std::size_t>(n_marks) * n);
    std::vector<double> segment(static_cast<std::size_t>(seg_len) * n);
    {
        std::vector<double> cur(u0.begin(), u0.end()), next(n);
        for (std::uint64_t k = 0; k < n_steps; ++k) {
            if (k % s == 0) std::copy(cur.begin(), cur.end(), marks.begin() + static_cast<std::ptrdiff_t>((k / s) * n));
            if (Status st = step(k, std::span<const double>(cur), std::span<double>(next)); !st) return st;
            cur.swap(next);
        }
    }
    for (std::uint64_t seg = n_marks; seg-- > 0;) {
        const std::uint64_t first = seg * s;
        const std::uint64_t len = std::min(s, n_steps - first);
        std::copy_n(marks.begin() + static_cast<std::ptrdiff_t>(seg * n), n, segment.begin());
        for (std::uint64_t j = 1; j < len; ++j) {
            std::span<const double> prev(segment.data() + (j - 1) * n, n);
            if (Status st = step(first + j - 1, prev, std::span<double>(segment.data() + j * n, n)); !st) return st;
        }
        for (std::uint64_t j = len; j-- > 0;) {
            if (Status st = visit(first + j, std::span<const double>(segment.data() + j * n, n)); !st) return st;
        }
    }
    return {};
}

}  // namespace quorvane
