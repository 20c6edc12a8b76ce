#include "core/graph/graph_batched.hpp"

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

#include "core/foundation/parallel1d.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

namespace {

// Steps first ... first + count - 1 of one column, from `from` (a copy of
// the column's state) ping-ponging with `to`; the final state is left in
// *from.
Status step_column(std::uint64_t first, std::uint64_t count, std::vector<double>*& from, std::vector<double>*& to,
                   ScratchPool<double>& pool, IndexedColumnStep step) {
    for (std::uint64_t k = first; k < first + count; ++k) {
        if (Status st = poll_stop(); !st) return st;
        if (Status st = step(k, *from, *to, pool); !st) return st;
        std::swap(from, to);
    }
    return {};
}

// Runs `column(c, a, b, pool)` for every column, spread over at most
// worker_count() threads with contiguous shares (never a thread per column
// of a wide batch); the first stored error after every thread has joined.
template <class Column>
Status for_each_column(std::size_t columns, std::size_t n, Column&& column) {
    std::mutex slot_mutex;
    std::optional<CoreError> slot;
    auto share = [&](std::size_t begin, std::size_t end) {
        std::vector<double> a(n, 0.0);
        std::vector<double> b(n, 0.0);
        ScratchPool<double> pool;
        for (std::size_t c = begin; c < end; ++c) {
            if (Status st = column(c, a, b, pool); !st) {
                std::lock_guard<std::mutex> lock(slot_mutex);
                if (!slot) slot = st.error();
            }
        }
    };
    run_chunked(columns, std::min(columns, effective_workers()), share);
    if (slot) return fail(*slot);
    return {};
}

}  // namespace

Expected<std::size_t> batched_column_count(std::uint64_t n_nodes, std::span<const double> src_cols,
                                           std::span<const double> dst_cols) {
    if (n_nodes == 0) return domain_error("evolve_batched: n_nodes == 0", 0.0);
    if (src_cols.size() != dst_cols.size()) {
        return domain_error("evolve_batched: src_cols.len() != dst_cols.len()", static_cast<double>(src_cols.size()));
    }
    if (src_cols.size() % n_nodes != 0) {
        return domain_error("evolve_batched: src_cols.len() not divisible by n_nodes",
                            static_cast<double>(src_cols.size()));
    }
    return src_cols.size() / static_cast<std::size_t>(n_nodes);
}

Status evolve_columns(std::uint64_t n_nodes, std::uint64_t n_steps, std::span<const double> src_cols,
                      std::span<double> dst_cols, ColumnStep step) {
    const Expected<std::size_t> columns = batched_column_count(n_nodes, src_cols, dst_cols);
    if (!columns) return fail(columns.error());
    const std::size_t n = static_cast<std::size_t>(n_nodes);
    auto indexed = [&](std::uint64_t, std::span<const double> s, std::span<double> d, ScratchPool<double>& pool) {
        return step(s, d, pool);
    };
    return for_each_column(*columns, n, [&](std::size_t c, std::vector<double>& a, std::vector<double>& b,
                                            ScratchPool<double>& pool) -> Status {
        const auto src = src_cols.subspan(c * n, n);
        for (std::size_t i = 0; i < n; ++i) a[i] = 0.0 + src[i];
        std::vector<double>* from = &a;
        std::vector<double>* to = &b;
        if (Status st = step_column(0, n_steps, from, to, pool, indexed); !st) return st;
        std::copy(from->begin(), from->end(), dst_cols.begin() + static_cast<std::ptrdiff_t>(c * n));
        return {};
    });
}

Status evolve_columns_in_blocks(std::uint64_t n_nodes, std::uint64_t n_steps, std::span<const double> src_cols,
                                std::span<double> dst_cols, StepBlockPrepare prepare, IndexedColumnStep step) {
    const Expected<std::size_t> columns = batched_column_count(n_nodes, src_cols, dst_cols);
    if (!columns) return fail(columns.error());
    if (*columns == 0) return {};
    const std::size_t n = static_cast<std::size_t>(n_nodes);
    for (std::size_t i = 0; i < src_cols.size(); ++i) dst_cols[i] = 0.0 + src_cols[i];
    std::uint64_t first = 0;
    while (first < n_steps) {
        if (Status st = poll_stop(); !st) return st;
        const Expected<std::uint64_t> count = prepare(first, n_steps - first);
        if (!count) return fail(count.error());
        if (*count == 0 || *count > n_steps - first) internal_fault("evolve_columns_in_blocks: bad block length");
        Status st = for_each_column(*columns, n, [&](std::size_t c, std::vector<double>& a, std::vector<double>& b,
                                                     ScratchPool<double>& pool) -> Status {
            const auto col = dst_cols.subspan(c * n, n);
            std::copy(col.begin(), col.end(), a.begin());
            std::vector<double>* from = &a;
            std::vector<double>* to = &b;
            if (Status s = step_column(first, *count, from, to, pool, step); !s) return s;
            std::copy(from->begin(), from->end(), col.begin());
            return {};
        });
        if (!st) return st;
        first += *count;
    }
    return {};
}

}  // namespace quorvane
