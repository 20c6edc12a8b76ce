// Batched shift evolution: the thread cap and the layout errors (column
// bit-identity on both paths is checked from Python in subprocesses).
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <span>
#include <set>
#include <thread>
#include <vector>

#include "core/line/grid_batched.hpp"
#include "core/foundation/parallel1d.hpp"

namespace quorvane {
namespace {

Grid1D<double> grid_of(std::size_t n) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0.0, 1.0, n);
}

TEST(EvolveBatched, WideBatchUsesAtMostWorkerCountThreads) {
    // The coefficient closure records every thread that steps a node.
    std::mutex m;
    std::set<std::thread::id> seen;
    auto a = make_coeff([&](double) {
        std::lock_guard<std::mutex> lock(m);
        seen.insert(std::this_thread::get_id());
        return 0.5;
    });
    const auto g = grid_of(8);
    const auto k = ShiftChernoff1D::from_arrays(a, constant_coeff(0.0), constant_coeff(0.0), g, 0.0);
    const std::size_t cols = 40 * worker_count() + 3;
    ASSERT_TRUE(batched_uses_column_threads(8, cols));
    std::vector<double> src(8 * cols, 1.0), dst(8 * cols);
    ASSERT_TRUE(evolve_batched_1d(k, g, 2, 0.01, src, dst).has_value());
    EXPECT_LE(seen.size(), worker_count());
}

TEST(EvolveBatched, LayoutAndNodeErrorsOnBothPaths) {
    const auto g = grid_of(8);
    const auto k = ShiftChernoff1D::constant(g, 0.5, 0.0, 0.0);
    std::vector<double> src(16, 1.0), dst15(15), dst16(16), src12(12, 1.0), dst12(12);
    EXPECT_EQ(evolve_batched_1d(k, g, 1, 0.1, src, dst15).error(),
              CoreError::domain("evolve_batched_1d: src_cols.len() != dst_cols.len()", 16.0));
    EXPECT_EQ(evolve_batched_1d(k, g, 1, 0.1, src12, dst12).error(),
              CoreError::domain("evolve_batched_1d: src_cols.len() not divisible by grid.n", 12.0));
    Grid1D<double> empty = g;
    empty.n = 0;
    EXPECT_EQ(evolve_batched_1d(k, empty, 1, 0.1, src, dst16).error(),
              CoreError::domain("evolve_batched_1d: grid.n == 0", 0.0));
    const auto bad = ShiftChernoff1D::constant(g, -0.5, 0.0, 0.0);
    for (std::size_t cols : {1u, 5u}) {  // one column on the caller, several on column threads
        std::vector<double> s(8 * cols, 1.0), d(8 * cols);
        EXPECT_EQ(evolve_batched_1d(bad, g, 2, 0.1, s, d).error(), CoreError::domain(kShiftEllipticityMessage, 0.0));
    }
}

// A column on a grid whose steps spread over nodes keeps its workers for the
// whole column: the bits of the calling thread's own steps, tau checked
// first, a node's error reported.
TEST(EvolveBatched, NodeSpreadColumnsSameBitsAndErrors) {
    if (parallel_threshold() != 64) GTEST_SKIP() << "needs TAMBRIK_PARALLEL_THRESHOLD=64 (as CTest sets it)";
    const auto g = grid_of(1000);
    const auto k = ShiftChernoff1D::constant(g, 0.5, 0.3, -0.2);
    std::vector<double> src(2000), dst(2000), want(2000);
    for (std::size_t i = 0; i < src.size(); ++i) src[i] = std::sin(0.01 * static_cast<double>(i * i % 997));
    {
        WorkerCountOverride one(1);
        ASSERT_TRUE(evolve_batched_1d(k, g, 7, 1e-4, std::span<const double>(src).first(1000),
                                      std::span<double>(want).first(1000)));
        ASSERT_TRUE(evolve_batched_1d(k, g, 7, 1e-4, std::span<const double>(src).last(1000),
                                      std::span<double>(want).last(1000)));
    }
    WorkerCountOverride four(4);
    ASSERT_FALSE(batched_uses_column_threads(1000, 2));
    ASSERT_TRUE(evolve_batched_1d(k, g, 7, 1e-4, src, dst));
    EXPECT_EQ(dst, want);
    EXPECT_TRUE(std::isnan(evolve_batched_1d(k, g, 3, std::nan(""), src, dst).error().f0()));
    EXPECT_EQ(evolve_batched_1d(k, g, 3, -1.0, src, dst).error(), CoreError::domain("tau must be finite and >= 0", -1.0));
    const auto bad = ShiftChernoff1D::constant(g, -0.5, 0.0, 0.0);
    const CoreError e = evolve_batched_1d(bad, g, 2, 0.1, src, dst).error();
    EXPECT_EQ(e.display().rfind("domain violation: a(x) must be finite", 0), 0u) << e.display();
}

}  // namespace
}  // namespace quorvane
