// ScratchPool reuse, the per-thread pool and one kernel step along a line.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "core/line/diffusion.hpp"
#include "core/foundation/parallel_pool.hpp"

namespace quorvane {
namespace {

std::vector<double> with_capacity(std::size_t cap) {
    std::vector<double> v;
    v.reserve(cap);
    return v;
}

TEST(ScratchPool, FirstFitReuseBySwapRemovalAsZeros) {
    ScratchPool<double> pool;
    for (std::size_t cap : {16, 4, 12}) pool.give_back(with_capacity(cap));
    std::vector<double> v = pool.take(10);
    EXPECT_GE(v.capacity(), 16u);
    EXPECT_EQ(v, std::vector<double>(10, 0.0));
    ASSERT_EQ(pool.spare_count(), 2u);
    // The last spare moved into the freed slot: 12 first, then 4.
    EXPECT_EQ(pool.spares()[0].capacity(), 12u);
    EXPECT_EQ(pool.spares()[1].capacity(), 4u);
    EXPECT_EQ(pool.take(11).capacity(), 12u);
    EXPECT_EQ(pool.take(6).size(), 6u);  // 4 is too small: a new allocation
    EXPECT_EQ(pool.spare_count(), 1u);
    EXPECT_EQ(pool.peak(), 11u);
    // A returned vector is stored empty and comes back as zeros, same allocation.
    for (double& x : v) x = 3.5;
    const double* data = v.data();
    pool.give_back(std::move(v));
    const std::vector<double> w = pool.take(10);
    EXPECT_EQ(w.data(), data);
    EXPECT_EQ(w, std::vector<double>(10, 0.0));
    EXPECT_THROW((void)pool.take(std::numeric_limits<std::size_t>::max()), InternalFault);
}

TEST(ThreadScratch, PerThreadPoolKeepsSparesAndRefusesNestedBorrows) {
    with_thread_scratch([](ScratchPool<double>& p) { p.give_back(std::vector<double>(32, 1.0)); });
    std::size_t here = 0, there = 7;
    with_thread_scratch([&](ScratchPool<double>& p) { here = p.spare_count(); });
    std::thread([&] { with_thread_scratch([&](ScratchPool<double>& p) { there = p.spare_count(); }); }).join();
    EXPECT_GE(here, 1u);
    EXPECT_EQ(there, 0u);  // a new thread starts with an empty pool
    bool inner_ran = false;
    EXPECT_THROW(with_thread_scratch([&](ScratchPool<double>&) {
                     with_thread_scratch([&](ScratchPool<double>&) { inner_ran = true; });
                 }),
                 InternalFault);
    EXPECT_FALSE(inner_ran);
    bool ran = false;  // the outer borrow was released on the way out
    with_thread_scratch([&](ScratchPool<double>&) { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(ApplyKernelOnLine, MatchesTheDriverErrorsLeaveTheDestination) {
    const Grid1D<double> g = *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0, 1, 9);
    const DiffusionChernoff k = DiffusionChernoff::unit(g);
    std::vector<double> src(9);
    for (std::size_t i = 0; i < 9; ++i) src[i] = std::cos(3.0 * g.node(i));
    std::vector<double> dst(9, -7.0);
    ScratchPool<double> pool;
    ASSERT_TRUE(apply_kernel_on_line(k, src, dst, g, pool, 1e-3));
    GridFn<double> out{g, {}};
    ASSERT_TRUE(par_apply_pointwise(out, k, GridFn<double>{g, src}, 1e-3));
    EXPECT_EQ(dst, out.values);
    EXPECT_EQ(pool.spare_count(), 2u);  // both line buffers handed back
    // A failed step keeps the destination and drops the buffers it held.
    const std::vector<double> before = dst;
    const Status st = apply_kernel_on_line(k, src, dst, g, pool, std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(st.error().display(), "domain violation: tau must be finite and >= 0 (value = NaN)");
    EXPECT_EQ(dst, before);
    EXPECT_EQ(pool.spare_count(), 0u);
    std::vector<double> short_dst(8);
    EXPECT_THROW((void)apply_kernel_on_line(k, src, short_dst, g, pool, 0.0), InternalFault);
}

}  // namespace
}  // namespace quorvane
