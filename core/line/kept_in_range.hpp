// A 1-D kernel stepped with every new node value clipped to the range its
// flow keeps (see core/foundation/flow_range.hpp): the transport evolvers'
// steps read u at the feet of characteristics with the plain degree-7 read,
// and the range, carried from step to step and from call to call, holds
// what those reads would build up where characteristics meet or the data
// are rough.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/flow_range.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/state.hpp"

namespace quorvane {

// How a step of tau of kernel K moves the range: its reaction_factors and,
// where the kernel says how far its reads reach past a "linear" end
// (linear_end_cells), that reach.
template <class K>
RangeStep range_step(const K& kernel, double tau) {
    RangeStep s{reaction_factors(kernel, tau)};
    if constexpr (requires { linear_end_cells(kernel, tau); }) s.end_cells = linear_end_cells(kernel, tau);
    return s;
}

// The stepping form of a kernel (a single sweep a step) with its steps
// clipped: step j's values to the range after it (RangeStep::next of the
// range before it and of step j's input). Every share walks the range on by
// itself, step by step, so all shares clip alike without a barrier of their
// own; share 0 (the calling thread's, which takes every step) leaves the
// range after its last step in `last`.
template <class S>
class RangeSteps {
public:
    RangeSteps(S inner, FlowRange start, RangeStep per_step, std::size_t shares, FlowRange* last)
        : inner_(std::move(inner)), per_step_(per_step), walks_(std::max<std::size_t>(shares, 1), Walk{start, 0}),
          last_(last) {}

    Status step_at(std::size_t j, const GridFn<double>& src, GridFn<double>& dst, std::size_t begin, std::size_t end,
                   std::size_t share) {
        Walk& w = walks_[share];
        if (per_step_.moves()) {
            // A share takes every step but where it has no nodes at all (and
            // then clips nothing): only the steps it missed are walked blind.
            for (; w.done <= j; ++w.done) {
                w.range = w.done == j ? per_step_.next(w.range, src.values) : w.range.after(per_step_.factors);
            }
        }
        if (Status st = inner_.step(src, dst, begin, end, share); !st) return st;
        w.range.clip(std::span<double>(dst.values.data() + begin, end - begin));
        if (share == 0) *last_ = w.range;
        return {};
    }

private:
    struct alignas(64) Walk {  // one cache line apart: shares write their own only
        FlowRange range;
        std::size_t done = 0;  // steps the range has been walked through
    };
    S inner_;
    RangeStep per_step_;
    std::vector<Walk> walks_;
    FlowRange* last_;
};

// Kernel K (any kernel with apply_into, and optionally a stepping form)
// whose steps of one call are clipped to the range `start` moved on by
// `per_step` every step. One object serves one call; range() is the range
// after its last step, the range the next call starts from.
template <class K>
class KeptInRange {
public:
    KeptInRange(const K& kernel, FlowRange start, RangeStep per_step)
        : kernel_(&kernel), start_(start), per_step_(per_step), current_(start) {}

    Status apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>& pool, double tau) const {
        if (Status st = kernel_->apply_into(in, out, pool, tau); !st) return st;
        current_ = per_step_.next(current_, in.values);
        current_.clip(out.values);
        return {};
    }

    auto node_steps(const Grid1D<double>& grid, double tau, std::size_t shares, std::size_t steps) const
        requires HasNodeSteps<K>
    {
        using Inner = decltype(kernel_->node_steps(grid, tau, shares, steps));
        return RangeSteps<Inner>(kernel_->node_steps(grid, tau, shares, steps), start_, per_step_, shares, &current_);
    }

    FlowRange range() const { return current_; }

private:
    const K* kernel_;
    FlowRange start_;
    RangeStep per_step_;
    // The range after the last step taken (by apply_into, or by share 0 of
    // a stepping form).
    mutable FlowRange current_;
};

// `steps` steps of tau of `kernel` from `values` (validated as a grid
// function on `grid`), clipped to `range` moved on by range_step(kernel,
// tau); on success `range` becomes the range after them.
template <class K>
Expected<std::vector<double>> evolve_values_in_range(const K& kernel, const Grid1D<double>& grid,
                                                     std::vector<double> values, double tau, std::size_t steps,
                                                     FlowRange& range) {
    const KeptInRange<K> kept(kernel, range, range_step(kernel, tau));
    Expected<std::vector<double>> out = evolve_values(kept, grid, std::move(values), tau, steps);
    if (out) range = kept.range();
    return out;
}

}  // namespace quorvane
