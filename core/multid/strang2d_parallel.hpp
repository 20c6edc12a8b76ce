// Worker threads for the multi-dimensional Strang sweeps, and the parallel
// form of the 2-D step.
//
// Every phase of a leg starts its own threads and joins them before it ends.
// Each worker steps a contiguous block of whole lines with the same 1-D
// routine the sequential step uses, so the result does not depend on the
// thread count. The first error any worker meets is kept in a shared slot
// and returned after the join; the other workers finish their blocks.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <span>

#include "core/foundation/error.hpp"
#include "core/foundation/function_ref.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/grid_fn2d.hpp"
#include "core/line/diffusion.hpp"
#include "core/multid/strang2d.hpp"

namespace quorvane {

// The first error stored by any worker of one phase.
class FirstErrorSlot {
public:
    void store(const CoreError& e);
    // Called once, after every worker has been joined.
    std::optional<CoreError> take();

private:
    std::mutex mutex_;
    std::optional<CoreError> error_;
};

// A new line holding one kernel step of `line` (same grid), computed with a
// private scratch pool.
Expected<GridFn<double>> apply_kernel_to_new_line(const DiffusionChernoff& kernel, const GridFn<double>& line,
                                                  double tau);

// Processors available to this process, asked of the system at every call
// (1 when it cannot say).
std::size_t available_processors();

// max(1, min(n / 16, processors)): at least 16 lines per thread.
std::size_t strang_thread_count(std::size_t n);

// Steps `lines` lines of axis.n nodes on at most `threads` blocks of whole
// lines: gather(p, line) fills line p, store(p, result) takes its stepped
// values. gather and store are called concurrently for distinct p and must
// touch only line p's storage.
Status sweep_lines(std::size_t lines, const Grid1D<double>& axis, std::size_t threads,
                   const DiffusionChernoff& kernel, double tau,
                   FunctionRef<void(std::size_t, std::span<double>)> gather,
                   FunctionRef<void(std::size_t, std::span<const double>)> store);

// Steps every row (axis.n contiguous values) of `values` in place.
Status sweep_rows_in_place(std::span<double> values, const Grid1D<double>& axis, std::size_t threads,
                           const DiffusionChernoff& kernel, double tau);

// The 2-D step the evolvers call: Strang2D::step below 32 rows, else the
// same composition with every leg spread over threads (the y leg on a
// transposed copy). dst is untouched on error of the parallel path.
Status strang2d_parallel_step(const Strang2D& stepper, const GridFn2D& src, GridFn2D& dst,
                              ScratchPool<double>& pool, double tau);

}  // namespace quorvane
