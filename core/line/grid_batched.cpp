#include "core/line/grid_batched.hpp"

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

#include "core/foundation/parallel1d.hpp"
#include "core/foundation/stop.hpp"
#include "core/line/kept_in_range.hpp"
#include "core/line/state.hpp"

namespace quorvane {

Status evolve_column(const ShiftChernoff1D& kernel, std::size_t n_steps, std::span<const double> src_col,
                     std::span<double> dst_col, GridFn<double>& a, GridFn<double>& b, ScratchPool<double>& pool,
                     double tau) {
    if (a.values.size() != src_col.size()) internal_fault("evolve_column: source column length mismatch");
    std::copy(src_col.begin(), src_col.end(), a.values.begin());
    // The column's own range, as an object built from it starts with.
    const Expected<FlowRange> start = read_range(a.grid, a.values);
    if (!start) return fail(start.error());
    const KeptInRange<ShiftChernoff1D> kept(kernel, *start, range_step(kernel, tau));
    GridFn<double>* src = &a;
    GridFn<double>* dst = &b;
    const std::size_t n = a.values.size();
    if (n_steps > 0 && chunk_count(n) > 1) {
        // Steps spread over nodes keep their workers for the column, as a
        // single evolve does; the same node steps, so the same bits.
        b.values.resize(n, 0.0);
        GridFn<double>* const buffers[2] = {&a, &b};
        const Expected<std::size_t> last = run_stepping_form(kept, buffers, n_steps, tau);
        if (!last) return fail(last.error());
        if (*last == 1) std::swap(src, dst);
    } else {
        for (std::size_t k = 0; k < n_steps; ++k) {
            if (Status st = poll_stop(); !st) return st;
            if (Status st = kept.apply_into(*src, *dst, pool, tau); !st) return st;
            std::swap(src, dst);
        }
    }
    if (src->values.size() != dst_col.size()) internal_fault("evolve_column: destination column length mismatch");
    std::copy(src->values.begin(), src->values.end(), dst_col.begin());
    return {};
}

bool batched_uses_column_threads(std::size_t n, std::size_t columns) {
    return columns >= 2 && static_cast<std::uint64_t>(n) < 2 * parallel_threshold();
}

Status evolve_batched_1d(const ShiftChernoff1D& kernel, const Grid1D<double>& grid, std::size_t n_steps,
                         double tau, std::span<const double> src_cols, std::span<double> dst_cols) {
    const std::size_t n = grid.n;
    if (n == 0) return domain_error("evolve_batched_1d: grid.n == 0", 0.0);
    if (src_cols.size() != dst_cols.size()) {
        return domain_error("evolve_batched_1d: src_cols.len() != dst_cols.len()",
                            static_cast<double>(src_cols.size()));
    }
    if (src_cols.size() % n != 0) {
        return domain_error("evolve_batched_1d: src_cols.len() not divisible by grid.n",
                            static_cast<double>(src_cols.size()));
    }
    const std::size_t columns = src_cols.size() / n;
    if (columns == 0) return {};

    auto column_range = [&](std::size_t begin, std::size_t end) -> Status {
        GridFn<double> a{grid, std::vector<double>(n, 0.0)};
        GridFn<double> b{grid, std::vector<double>(n, 0.0)};
        ScratchPool<double> pool;
        for (std::size_t c = begin; c < end; ++c) {
            Status st = evolve_column(kernel, n_steps, src_cols.subspan(c * n, n), dst_cols.subspan(c * n, n), a,
                                      b, pool, tau);
            if (!st) return st;
        }
        return {};
    };

    if (!batched_uses_column_threads(n, columns)) return column_range(0, columns);

    // One thread per contiguous share of columns, never more threads than
    // workers: a wide batch must not start a thread per column. Each thread
    // steps its columns serially (override 1), so the nested node driver
    // starts no threads of its own.
    const std::size_t workers = std::min(columns, effective_workers());
    std::mutex slot_mutex;
    std::optional<CoreError> slot;
    run_chunked(columns, workers, [&](std::size_t begin, std::size_t end) {
        WorkerCountOverride serial(1);
        Status st = column_range(begin, end);
        if (!st) {
            std::lock_guard<std::mutex> lock(slot_mutex);
            if (!slot) slot = st.error();
        }
    });
    if (slot) return fail(*slot);
    return {};
}

}  // namespace quorvane
