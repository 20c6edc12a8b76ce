// Batched evolution of many columns of values on one 1-D grid under one
// shift kernel.
//
// Columns are stored one after another (column c at c*N ... c*N + N - 1).
// Small grids with several columns are spread over threads by columns, each
// thread stepping its columns serially; otherwise the columns run one after
// another and each step is spread over nodes. Every column is computed by the
// same node steps either way, so a column's result is bit-identical to a
// single-column evolution of it.
#pragma once

#include <cstddef>
#include <span>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/shift1d.hpp"

namespace quorvane {

// n_steps steps of size tau of one column: src_col is copied into a, the
// steps alternate between a and b, each clipped to the range of the
// column's own read walked on by the kernel's reaction (as an evolver
// built from the column clips them), and the last result is copied into
// dst_col (all four of the grid's length).
Status evolve_column(const ShiftChernoff1D& kernel, std::size_t n_steps, std::span<const double> src_col,
                     std::span<double> dst_col, GridFn<double>& a, GridFn<double>& b, ScratchPool<double>& pool,
                     double tau);

// Evolves every column of src_cols into the same column of dst_cols. On
// failure the sequential path reports the lowest failing column; the
// threaded path the first error recorded by any thread.
Status evolve_batched_1d(const ShiftChernoff1D& kernel, const Grid1D<double>& grid, std::size_t n_steps,
                         double tau, std::span<const double> src_cols, std::span<double> dst_cols);

// Whether evolve_batched_1d spreads `columns` columns of n nodes over
// threads by columns (several columns on a grid below twice the threshold).
bool batched_uses_column_threads(std::size_t n, std::size_t columns);

}  // namespace quorvane
