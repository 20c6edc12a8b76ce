#include "core/graph/graph_batched.hpp"

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

#include "core/foundation/parallel1d.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

namespace {

Status evolve_one_column(std::uint64_t n_steps, std::span<const double> src, std::span<double> dst,
                         std::vector<double>& a, std::vector<double>& b, ScratchPool<double>& pool, ColumnStep step) {
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = 0.0 + src[i];
    std::vector<double>* from = &a;
    std::vector<double>* to = &b;
    for (std::uint64_t k = 0; k < n_steps; ++k) {
        if (Status st = poll_stop(); !st) return st;
        if (Status st = step(*from, *to, pool); !st) return st;
        std::swap(from, to);
    }
    std::copy(from->begin(), from->end(), dst.begin());
    return {};
}

}  // namespace

Status evolve_columns(std::uint64_t n_nodes, std::uint64_t n_steps, std::span<const double> src_cols,
                      std::span<double> dst_cols, ColumnStep step) {
    if (n_nodes == 0) return domain_error("evolve_batched: n_nodes == 0", 0.0);
    if (src_cols.size() != dst_cols.size()) {
        return domain_error("evolve_batched: src_cols.len() != dst_cols.len()", static_cast<double>(src_cols.size()));
    }
    if (src_cols.size() % n_nodes != 0) {
        return domain_error("evolve_batched: src_cols.len() not divisible by n_nodes",
                            static_cast<double>(src_cols.size()));
    }
    const std::size_t n = static_cast<std::size_t>(n_nodes);
    const std::size_t columns = src_cols.size() / n;
    if (columns == 0) return {};

    std::mutex slot_mutex;
    std::optional<CoreError> slot;
    auto share = [&](std::size_t begin, std::size_t end) {
        std::vector<double> a(n, 0.0);
        std::vector<double> b(n, 0.0);
        ScratchPool<double> pool;
        for (std::size_t c = begin; c < end; ++c) {
            Status st = evolve_one_column(n_steps, src_cols.subspan(c * n, n), dst_cols.subspan(c * n, n), a, b,
                                          pool, step);
            if (!st) {
                std::lock_guard<std::mutex> lock(slot_mutex);
                if (!slot) slot = st.error();
            }
        }
    };
    // Never more threads than workers: a wide batch must not start a thread
    // per column.
    run_chunked(columns, std::min(columns, effective_workers()), share);
    if (slot) return fail(*slot);
    return {};
}

}  // namespace quorvane
