// The batched column driver: thread cap, bit-identity with single columns,
// errors.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "core/foundation/parallel1d.hpp"
#include "core/graph/graph_batched.hpp"
#include "core/graph/graph_signal.hpp"

namespace quorvane {
namespace {

TEST(EvolveColumns, CappedThreadsAndBitIdenticalColumns) {
    const auto g = Graph<double>::cycle(50);
    const GraphHeat6thChernoff k{std::make_shared<const Laplacian<double>>(
        Laplacian<double>::from_graph(g, LaplacianKind::Combinatorial))};
    const std::size_t n = 50;
    const std::size_t cols = 3 * worker_count() + 2;
    std::vector<double> src(n * cols);
    for (std::size_t i = 0; i < src.size(); ++i) src[i] = std::sin(0.37 * static_cast<double>(i));
    std::vector<double> dst(src.size());
    std::mutex m;
    std::set<std::thread::id> seen;
    auto step = [&](std::span<const double> s, std::span<double> d, ScratchPool<double>& pool) {
        {
            std::lock_guard<std::mutex> lock(m);
            seen.insert(std::this_thread::get_id());
        }
        return k.apply_into(s, d, pool, 0.3);
    };
    ASSERT_TRUE(evolve_columns(n, 7, src, dst, step).has_value());
    EXPECT_LE(seen.size(), worker_count());
    for (std::size_t c = 0; c < cols; ++c) {
        std::vector<double> col(src.begin() + static_cast<long>(c * n), src.begin() + static_cast<long>((c + 1) * n));
        auto single = evolve_steps<double>(k, col, 7, 0.3);
        ASSERT_TRUE(single.has_value());
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ((*single)[i], dst[c * n + i]);
    }
}

TEST(EvolveColumns, LayoutChecksAndOneErrorForManyFailures) {
    std::vector<double> src(12, 1.0), dst(12, 7.0);
    auto ok = [](std::span<const double> s, std::span<double> d, ScratchPool<double>&) {
        std::copy(s.begin(), s.end(), d.begin());
        return Status{};
    };
    EXPECT_STREQ(evolve_columns(0, 1, src, dst, ok).error().text(), "evolve_batched: n_nodes == 0");
    std::vector<double> short_dst(11);
    EXPECT_EQ(evolve_columns(3, 1, src, short_dst, ok).error().f0(), 12.0);
    EXPECT_STREQ(evolve_columns(5, 1, src, dst, ok).error().text(),
                 "evolve_batched: src_cols.len() not divisible by n_nodes");
    // Every column fails: exactly one error, and no destination written.
    std::atomic<int> calls{0};
    auto bad = [&](std::span<const double>, std::span<double>, ScratchPool<double>&) -> Status {
        ++calls;
        return domain_error("step failed", 1.0);
    };
    auto r = evolve_columns(3, 2, src, dst, bad);
    ASSERT_FALSE(r.has_value());
    EXPECT_STREQ(r.error().text(), "step failed");
    EXPECT_EQ(calls.load(), 4);
    for (double v : dst) EXPECT_EQ(v, 7.0);
}

TEST(GraphHeatSteps, StableStepCount) {
    constexpr std::uint64_t kRange = UINT32_MAX;
    EXPECT_FALSE(stable_step_counts(1.0, 2, 4.0, 2.0, kRange).has_value());
    EXPECT_EQ(stable_step_counts(1.0, 1, 4.0, 2.0, kRange).value().least, 2u);
    EXPECT_EQ(stable_step_counts(10.0, 3, 4.0, kTaylor4StabilityLimit, kRange).value().least, 15u);
    // t rho / limit rounds to 1000 while 1000 steps of t / 1000 still exceed
    // the limit: the count named is the next whole one, not 1000 again.
    const double t = 1000.0 * 3.5534 / 3.1;
    ASSERT_TRUE(stable_step_counts(t, 1000, 3.1, 3.5534, kRange).has_value());
    EXPECT_EQ(stable_step_counts(t, 1000, 3.1, 3.5534, kRange).value().least, 1001u);
    // Beyond the range no count is named; the longest t the largest count serves is.
    const StepCounts none = stable_step_counts(1e17, 1, 4.0, 2.0, kRange).value();
    EXPECT_EQ(none.outcome, StepCounts::Outcome::TooLong);
    EXPECT_LE(none.longest_t / double(kRange) * 4.0, 2.0);
    EXPECT_GT(std::nextafter(none.longest_t, 1e300) / double(kRange) * 4.0, 2.0);
}

}  // namespace
}  // namespace quorvane
