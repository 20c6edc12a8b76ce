#include "core/foundation/parallel_pool.hpp"

namespace quorvane {

template <class F>
std::vector<F> ScratchPool<F>::take(std::size_t n) {
    if (n > peak_) peak_ = n;
    // A length whose byte size no allocation can hold is a caller bug, not
    // an expected failure: report it as an internal fault.
    if (n > std::vector<F>().max_size()) internal_fault("capacity overflow");
    for (std::size_t k = 0; k < spares_.size(); ++k) {
        if (spares_[k].capacity() >= n) {
            std::vector<F> v = std::move(spares_[k]);
            if (k + 1 != spares_.size()) spares_[k] = std::move(spares_.back());
            spares_.pop_back();
            v.assign(n, F{});
            return v;
        }
    }
    return std::vector<F>(n, F{});
}

template <class F>
void ScratchPool<F>::give_back(std::vector<F> v) {
    v.clear();
    spares_.push_back(std::move(v));
}

template class ScratchPool<double>;
template class ScratchPool<float>;

namespace {
struct ThreadScratch {
    ScratchPool<double> pool;
    bool borrowed = false;
};
thread_local ThreadScratch t_scratch;
}  // namespace

void with_thread_scratch(FunctionRef<void(ScratchPool<double>&)> fn) {
    if (t_scratch.borrowed) internal_fault("THREAD_SCRATCH already borrowed");
    t_scratch.borrowed = true;
    struct Release {
        ~Release() { t_scratch.borrowed = false; }
    } release;
    fn(t_scratch.pool);
}

}  // namespace quorvane
