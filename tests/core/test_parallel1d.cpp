// The chunked pointwise driver: threshold parsing, chunk geometry, identical
// results on every split, the first error kept, faults after the join, and
// the step checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/coeff.hpp"
#include "core/diffusion.hpp"
#include "core/parallel1d.hpp"

namespace quorvane {
namespace {

// CTest registers these tests with TAMBRIK_PARALLEL_THRESHOLD=64; run
// directly, the binary falls back to the same value (an explicit setting wins).
const bool kThresholdDefault = [] { return ::setenv("TAMBRIK_PARALLEL_THRESHOLD", "64", 0) == 0; }();

void require_threshold_64() {
    ASSERT_TRUE(kThresholdDefault);
    if (parallel_threshold() != 64) GTEST_SKIP() << "needs TAMBRIK_PARALLEL_THRESHOLD=64";
}

struct ThresholdCase {
    const char* text;
    std::uint64_t want;
};
class ThresholdParse : public ::testing::TestWithParam<ThresholdCase> {};
TEST_P(ThresholdParse, Table) { EXPECT_EQ(parse_parallel_threshold(GetParam().text), GetParam().want); }
INSTANTIATE_TEST_SUITE_P(
    Table, ThresholdParse,
    ::testing::Values(ThresholdCase{"+500", 500}, ThresholdCase{"00100", 100}, ThresholdCase{"0", 64},
                      ThresholdCase{"63", 64}, ThresholdCase{"64", 64}, ThresholdCase{"1000000", 1000000},
                      ThresholdCase{"5000000", 1000000}, ThresholdCase{"18446744073709551615", 1000000},
                      ThresholdCase{"18446744073709551616", 2048}, ThresholdCase{"99999999999999999999", 2048},
                      ThresholdCase{" 100", 2048}, ThresholdCase{"100 ", 2048}, ThresholdCase{"1e3", 2048},
                      ThresholdCase{"-5", 2048}, ThresholdCase{"-0", 2048}, ThresholdCase{"", 2048},
                      ThresholdCase{"+", 2048}, ThresholdCase{"-", 2048}, ThresholdCase{"++5", 2048},
                      ThresholdCase{"0x40", 2048}, ThresholdCase{"\xd9\xa3", 2048}, ThresholdCase{nullptr, 2048}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(ThresholdCache, EnvironmentReadOnlyOnFirstUse) {
    const std::uint64_t cached = parallel_threshold();
    const char* old = std::getenv("TAMBRIK_PARALLEL_THRESHOLD");
    const std::string saved = old ? old : "";
    ::setenv("TAMBRIK_PARALLEL_THRESHOLD", "5000000", 1);
    EXPECT_EQ(parallel_threshold_from_env(), 1000000u);
    EXPECT_EQ(parallel_threshold(), cached);
    if (old) ::setenv("TAMBRIK_PARALLEL_THRESHOLD", saved.c_str(), 1);
    else ::unsetenv("TAMBRIK_PARALLEL_THRESHOLD");
}

TEST(WorkerCount, AtLeastOneAndOverrideNests) {
    EXPECT_GE(worker_count(), 1u);
    {
        WorkerCountOverride outer(3);
        EXPECT_EQ(effective_workers(), 3u);
        {
            WorkerCountOverride inner(1);
            EXPECT_EQ(effective_workers(), 1u);
        }
        EXPECT_EQ(effective_workers(), 3u);
        // The override belongs to this thread only.
        std::size_t seen = 0;
        std::thread([&] { seen = effective_workers(); }).join();
        EXPECT_EQ(seen, worker_count());
    }
    EXPECT_EQ(effective_workers(), worker_count());
}

std::vector<std::pair<std::size_t, std::size_t>> chunks_of(std::size_t n, std::size_t workers) {
    std::mutex m;
    std::vector<std::pair<std::size_t, std::size_t>> seen;
    run_chunked(n, workers, [&](std::size_t b, std::size_t e) {
        std::lock_guard<std::mutex> lock(m);
        seen.emplace_back(b, e);
    });
    std::sort(seen.begin(), seen.end());
    return seen;
}

TEST(ChunkGeometry, TenThousandNodesOnEightWorkers) {
    require_threshold_64();
    WorkerCountOverride p(8);
    ASSERT_EQ(chunk_count(10000), 8u);
    const auto c = chunks_of(10000, chunk_count(10000));
    ASSERT_EQ(c.size(), 8u);
    for (std::size_t k = 0; k < 8; ++k) EXPECT_EQ(c[k], std::make_pair(k * 1250, k * 1250 + 1250));
}

TEST(ChunkGeometry, ThousandNodesOnSixteenWorkers) {
    require_threshold_64();
    WorkerCountOverride p(16);
    ASSERT_EQ(chunk_count(1000), 15u);  // floor(1000/64)
    const auto c = chunks_of(1000, chunk_count(1000));
    ASSERT_EQ(c.size(), 15u);
    for (std::size_t k = 0; k < 14; ++k) EXPECT_EQ(c[k], std::make_pair(k * 67, k * 67 + 67));
    EXPECT_EQ(c[14], std::make_pair(std::size_t{938}, std::size_t{1000}));
}

TEST(ChunkGeometry, FewerChunksThanWorkersWhenLengthRoundsUp) {
    // L = ceil(10/4) = 3 gives ceil(10/3) = 4 chunks; L = ceil(9/4) = 3 gives 3.
    EXPECT_EQ(chunks_of(10, 4).size(), 4u);
    EXPECT_EQ(chunks_of(9, 4).size(), 3u);
    EXPECT_EQ(chunks_of(5, 1), (std::vector<std::pair<std::size_t, std::size_t>>{{0, 5}}));
}

TEST(ChunkGeometry, OverrideOfOneIsSerialWhateverN) {
    WorkerCountOverride p(1);
    EXPECT_LE(chunk_count(1000000), 1u);
}

// A per-node kernel that records which thread computed each node.
struct RecordingKernel {
    std::vector<std::thread::id>* who;
    Expected<double> apply_node(const GridFn<double>& u, std::size_t i, double tau) const {
        (*who)[i] = std::this_thread::get_id();
        return u.values[i] + tau;
    }
};

GridFn<double> line(std::size_t n) {
    GridFn<double> g;
    g.grid = *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0.0, 1.0, std::max<std::size_t>(n, 4));
    g.values.resize(n);
    for (std::size_t i = 0; i < n; ++i) g.values[i] = static_cast<double>(i);
    return g;
}

TEST(DriverThreads, EachChunkOnItsOwnThreadCallerOnlyWaits) {
    require_threshold_64();
    WorkerCountOverride p(8);
    const GridFn<double> u = line(10000);
    std::vector<std::thread::id> who(10000);
    GridFn<double> out;
    ASSERT_TRUE(par_apply_pointwise(out, RecordingKernel{&who}, u, 0.5));
    std::set<std::thread::id> ids(who.begin(), who.end());
    EXPECT_EQ(ids.size(), 8u);
    EXPECT_EQ(ids.count(std::this_thread::get_id()), 0u);
    for (std::size_t i = 0; i < 10000; ++i) {
        EXPECT_EQ(who[i], who[(i / 1250) * 1250]) << i;
        EXPECT_EQ(out.values[i], static_cast<double>(i) + 0.5);
    }
}

TEST(DriverThreads, SerialPathStaysOnCallingThread) {
    WorkerCountOverride p(1);
    const GridFn<double> u = line(5000);
    std::vector<std::thread::id> who(5000);
    GridFn<double> out;
    ASSERT_TRUE(par_apply_pointwise(out, RecordingKernel{&who}, u, 0.0));
    for (const auto& id : who) ASSERT_EQ(id, std::this_thread::get_id());
}

// heat2 with a variable coefficient through shared closures: the heaviest
// path (ten samples and eight coefficient calls per node).
DiffusionChernoff variable_heat(const Grid1D<double>& g) {
    return DiffusionChernoff{
        CoeffSource::shared(make_coeff([](double x) { return 1.0 + 0.5 * std::sin(3.0 * x); }),
                            make_coeff([](double x) { return 1.5 * std::cos(3.0 * x); }),
                            make_coeff([](double x) { return -4.5 * std::sin(3.0 * x); })),
        g, 1.5};
}

class SplitIndependence : public ::testing::TestWithParam<std::size_t> {};
TEST_P(SplitIndependence, ParallelBitIdenticalToSerial) {
    require_threshold_64();
    const std::size_t n = 5000;
    GridFn<double> u;
    u.grid = *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), -2.0, 3.0, n);
    for (std::size_t i = 0; i < n; ++i) u.values.push_back(std::exp(-std::pow(u.grid.node(i) - 0.4, 2)) + 0.1 * std::sin(17.0 * i));
    const DiffusionChernoff k = variable_heat(u.grid);
    GridFn<double> serial{u.grid, {}}, parallel{u.grid, {}};
    {
        WorkerCountOverride one(1);
        ASSERT_TRUE(par_apply_pointwise(serial, k, u, 1e-3));
    }
    {
        WorkerCountOverride many(GetParam());
        ASSERT_GT(chunk_count(n), 1u);
        ASSERT_TRUE(par_apply_pointwise(parallel, k, u, 1e-3));
    }
    ASSERT_EQ(serial.values.size(), n);
    ASSERT_EQ(parallel.values.size(), n);
    EXPECT_EQ(std::memcmp(serial.values.data(), parallel.values.data(), n * sizeof(double)), 0);
    EXPECT_NE(serial.values, u.values);  // the step did something
}
INSTANTIATE_TEST_SUITE_P(Workers, SplitIndependence, ::testing::Values(2, 3, 8, 16));

// Fails at the listed nodes with the node index as the error value.
struct FailingKernel {
    std::vector<std::size_t> bad;
    Expected<double> apply_node(const GridFn<double>&, std::size_t i, double) const {
        for (std::size_t b : bad)
            if (i == b) return domain_error("node failed", static_cast<double>(i));
        return 2.0 * static_cast<double>(i);
    }
};

TEST(DriverErrors, SerialPathReturnsLowestNodeAndStopsThere) {
    WorkerCountOverride p(1);
    const GridFn<double> u = line(5000);
    GridFn<double> out{u.grid, std::vector<double>(5000, -1.0)};
    const Status st = par_apply_pointwise(out, FailingKernel{{4500, 5, 3000}}, u, 0.1);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().f0(), 5.0);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(out.values[i], 2.0 * i);
    for (std::size_t i = 5; i < 5000; ++i) ASSERT_EQ(out.values[i], -1.0) << i;
}

TEST(DriverErrors, ParallelPathKeepsOneErrorAndFinishesOtherChunks) {
    require_threshold_64();
    WorkerCountOverride p(8);  // chunks of 625
    const GridFn<double> u = line(5000);
    GridFn<double> out{u.grid, std::vector<double>(5000, -1.0)};
    const Status st = par_apply_pointwise(out, FailingKernel{{5, 3000, 4500}}, u, 0.1);
    ASSERT_FALSE(st);
    const double v = st.error().f0();
    EXPECT_TRUE(v == 5.0 || v == 3000.0 || v == 4500.0) << v;
    // Each failing chunk stops at its failure; every other node is written.
    auto stopped = [](std::size_t i) {
        return (i >= 5 && i < 625) || (i >= 3000 && i < 3125) || (i >= 4500 && i < 5000);
    };
    for (std::size_t i = 0; i < 5000; ++i) ASSERT_EQ(out.values[i], stopped(i) ? -1.0 : 2.0 * i) << i;
}

struct ThrowingKernel {
    Expected<double> apply_node(const GridFn<double>&, std::size_t i, double) const {
        if (i == 4321) throw InternalFault("index out of bounds");
        return 0.0;
    }
};

TEST(DriverErrors, WorkerFaultSurfacesAfterTheJoin) {
    require_threshold_64();
    WorkerCountOverride p(4);
    const GridFn<double> u = line(5000);
    GridFn<double> out;
    try {
        (void)par_apply_pointwise(out, ThrowingKernel{}, u, 0.0);
        FAIL() << "expected an internal fault";
    } catch (const InternalFault& f) {
        EXPECT_STREQ(f.what(), "a scoped thread panicked");
    }
}

struct TauCase {
    double tau;
    std::string shown;
};
class DriverTau : public ::testing::TestWithParam<TauCase> {};
TEST_P(DriverTau, RejectedWithItsValueBeforeAnyWrite) {
    const GridFn<double> u = line(10);
    const std::vector<double> before = {7.0, 8.0};
    GridFn<double> out{u.grid, before};
    const Status st = par_apply_pointwise(out, FailingKernel{}, u, GetParam().tau);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().display(), "domain violation: tau must be finite and >= 0 (value = " + GetParam().shown + ")");
    EXPECT_EQ(out.values, before);  // not even resized
}
INSTANTIATE_TEST_SUITE_P(
    Bad, DriverTau,
    ::testing::Values(TauCase{-1e-300, std::string("-0.").append(299, '0').append("1")}, TauCase{-1.0, "-1"},
                      TauCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      TauCase{std::numeric_limits<double>::infinity(), "inf"},
                      TauCase{-std::numeric_limits<double>::infinity(), "-inf"}));

TEST(DriverTauAccepted, NegativeZero) {
    const GridFn<double> u = line(10);
    GridFn<double> out;
    EXPECT_TRUE(par_apply_pointwise(out, FailingKernel{}, u, -0.0));
    EXPECT_EQ(out.values.size(), 10u);
}

TEST(DriverSizes, OutputResizedToInputAndEmptyInputCallsNothing) {
    const GridFn<double> u = line(6);
    GridFn<double> longer{u.grid, std::vector<double>(9, 1.0)};
    ASSERT_TRUE(par_apply_pointwise(longer, FailingKernel{}, u, 0.0));
    EXPECT_EQ(longer.values, (std::vector<double>{0, 2, 4, 6, 8, 10}));
    const GridFn<double> empty = line(0);
    GridFn<double> out{u.grid, std::vector<double>(3, 1.0)};
    std::vector<std::thread::id> who;  // a call would write out of range
    EXPECT_TRUE(par_apply_pointwise(out, RecordingKernel{&who}, empty, 0.0));
    EXPECT_TRUE(out.values.empty());
}

}  // namespace
}  // namespace quorvane
