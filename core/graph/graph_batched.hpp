// Batched column evolution: C node signals of N values stored column after
// column (column c at c*N ... c*N + N - 1), each evolved by the same step
// loop as a single signal.
//
// Columns are spread over at most worker_count() scoped threads, each taking
// a contiguous share of columns with its own two work vectors and scratch
// pool; one column (or one worker) runs on the calling thread. A column's
// arithmetic does not depend on the split, so every column is bit-identical
// to evolving it alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/foundation/error.hpp"
#include "core/foundation/function_ref.hpp"
#include "core/foundation/parallel_pool.hpp"

namespace quorvane {

// One step of a column: src -> dst (both N values), scratch from `pool`.
using ColumnStep = FunctionRef<Status(std::span<const double> src, std::span<double> dst, ScratchPool<double>& pool)>;

// Checks, in order (each a DomainViolation): n_nodes == 0, source and
// destination lengths differ, source length not a multiple of n_nodes. No
// column is success with nothing written. Each column: a = 0.0 + src (so
// -0.0 enters as +0.0), n_steps steps alternating a -> b -> a, the last
// written vector copied into dst. A failing column stops (its destination
// untouched) and the first stored error is returned after every thread has
// joined; the other columns run to their end.
Status evolve_columns(std::uint64_t n_nodes, std::uint64_t n_steps, std::span<const double> src_cols,
                      std::span<double> dst_cols, ColumnStep step);

// The column count of a batched call, after the checks of evolve_columns.
Expected<std::size_t> batched_column_count(std::uint64_t n_nodes, std::span<const double> src_cols,
                                           std::span<const double> dst_cols);

// Steps whose operator data change from step to step (time-dependent
// operators): `prepare(first, max_count)` runs on the calling thread before
// any column takes step `first`, makes the data of steps first ...
// first + count - 1 available (1 <= count <= max_count) and returns count;
// the columns then take those steps, `step(k, src, dst, pool)` reading step
// k's data in common. Sampling a block of steps at a time keeps the data of
// a long run out of memory and lets the stop hook be polled between blocks.
using StepBlockPrepare = FunctionRef<Expected<std::uint64_t>(std::uint64_t first, std::uint64_t max_count)>;
using IndexedColumnStep =
    FunctionRef<Status(std::uint64_t k, std::span<const double> src, std::span<double> dst, ScratchPool<double>& pool)>;

// The checks of evolve_columns, then dst = 0.0 + src, which holds the column
// states between blocks. A failing prepare or step ends the call with its
// error (dst is then unspecified).
Status evolve_columns_in_blocks(std::uint64_t n_nodes, std::uint64_t n_steps, std::span<const double> src_cols,
                                std::span<double> dst_cols, StepBlockPrepare prepare, IndexedColumnStep step);

// The driver for a kernel with apply_into(src, dst, pool, tau).
template <class K>
Status evolve_batched(const K& kernel, std::uint64_t n_nodes, std::uint64_t n_steps, std::span<const double> src_cols,
                      std::span<double> dst_cols, double tau) {
    return evolve_columns(n_nodes, n_steps, src_cols, dst_cols,
                          [&](std::span<const double> s, std::span<double> d, ScratchPool<double>& pool) {
                              return kernel.apply_into(s, d, pool, tau);
                          });
}

}  // namespace quorvane
