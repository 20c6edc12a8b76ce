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

// The stepping form of a kernel (a single sweep a step) with its steps
// clipped: step j's values to the range the flow keeps after j + 1 steps.
// Every share walks the range on by itself, step by step, so all shares
// clip alike without a barrier of their own.
template <class S>
class RangeSteps {
public:
    RangeSteps(S inner, FlowRange start, ReactionFactors per_step, std::size_t shares)
        : inner_(std::move(inner)), per_step_(per_step), walks_(std::max<std::size_t>(shares, 1), Walk{start, 0}) {}

    Status step_at(std::size_t j, const GridFn<double>& src, GridFn<double>& dst, std::size_t begin, std::size_t end,
                   std::size_t share) {
        Walk& w = walks_[share];
        if (!per_step_.identity()) {
            for (; w.done <= j; ++w.done) w.range = w.range.after(per_step_);
        }
        if (Status st = inner_.step(src, dst, begin, end, share); !st) return st;
        w.range.clip(std::span<double>(dst.values.data() + begin, end - begin));
        return {};
    }

private:
    struct alignas(64) Walk {  // one cache line apart: shares write their own only
        FlowRange range;
        std::size_t done = 0;  // steps the range has been walked through
    };
    S inner_;
    ReactionFactors per_step_;
    std::vector<Walk> walks_;
};

// Kernel K (any kernel with apply_into, and optionally a stepping form)
// whose steps of one call are clipped to the range `start` walked on by
// `per_step` every step. One object serves one call; range_after(steps) is
// the range the next call starts from.
template <class K>
class KeptInRange {
public:
    KeptInRange(const K& kernel, FlowRange start, ReactionFactors per_step)
        : kernel_(&kernel), start_(start), per_step_(per_step), current_(start) {}

    Status apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>& pool, double tau) const {
        if (Status st = kernel_->apply_into(in, out, pool, tau); !st) return st;
        current_ = current_.after(per_step_);
        current_.clip(out.values);
        return {};
    }

    auto node_steps(const Grid1D<double>& grid, double tau, std::size_t shares, std::size_t steps) const
        requires HasNodeSteps<K>
    {
        using Inner = decltype(kernel_->node_steps(grid, tau, shares, steps));
        return RangeSteps<Inner>(kernel_->node_steps(grid, tau, shares, steps), start_, per_step_, shares);
    }

    FlowRange range_after(std::size_t steps) const { return start_.after(per_step_, steps); }

private:
    const K* kernel_;
    FlowRange start_;
    ReactionFactors per_step_;
    // The range of the last step apply_into took (steps taken one by one).
    mutable FlowRange current_;
};

// `steps` steps of tau of `kernel` from `values` (validated as a grid
// function on `grid`), clipped to `range` walked on by the kernel's
// reaction_factors(tau); on success `range` becomes the range after them.
template <class K>
Expected<std::vector<double>> evolve_values_in_range(const K& kernel, const Grid1D<double>& grid,
                                                     std::vector<double> values, double tau, std::size_t steps,
                                                     FlowRange& range) {
    const KeptInRange<K> kept(kernel, range, reaction_factors(kernel, tau));
    Expected<std::vector<double>> out = evolve_values(kept, grid, std::move(values), tau, steps);
    if (out) range = kept.range_after(steps);
    return out;
}

}  // namespace quorvane
