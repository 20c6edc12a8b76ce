// Reusable value buffers, so that repeated steps do not allocate.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel1d.hpp"

namespace quorvane {

template <class F>
class ScratchPool {
public:
    // n zeros: the first spare with enough capacity (removed by moving the
    // last spare into its place), else a new vector.
    std::vector<F> take(std::size_t n);
    // The vector's length is set to 0 and its capacity kept as a spare.
    void give_back(std::vector<F> v);

    std::size_t peak() const { return peak_; }
    std::size_t spare_count() const { return spares_.size(); }
    const std::vector<std::vector<F>>& spares() const { return spares_; }

private:
    std::vector<std::vector<F>> spares_;
    std::size_t peak_ = 0;
};

extern template class ScratchPool<double>;
extern template class ScratchPool<float>;

// Runs fn with the calling thread's own pool (created on first use, dropped
// with the thread). A nested use on the same thread is an internal fault.
void with_thread_scratch(FunctionRef<void(ScratchPool<double>&)> fn);

// One 1-D step of a per-node kernel along one grid line: src is copied into
// a pooled buffer, stepped on `grid` into a second pooled buffer and copied
// into dst. On error dst is unchanged and both buffers are dropped.
template <class K>
Status apply_kernel_on_line(const K& kernel, std::span<const double> src, std::span<double> dst,
                            const Grid1D<double>& grid, ScratchPool<double>& pool, double tau) {
    std::vector<double> a = pool.take(src.size());
    std::copy(src.begin(), src.end(), a.begin());
    GridFn<double> u{grid, std::move(a)};
    GridFn<double> out{grid, pool.take(src.size())};
    if (Status st = par_apply_pointwise(out, kernel, u, tau); !st) return st;
    if (dst.size() != out.values.size()) internal_fault("apply_kernel_on_line: destination length mismatch");
    std::copy(out.values.begin(), out.values.end(), dst.begin());
    pool.give_back(std::move(u.values));
    pool.give_back(std::move(out.values));
    return {};
}

}  // namespace quorvane
