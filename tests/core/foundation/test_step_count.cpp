#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "core/foundation/step_count.hpp"

namespace quorvane {
namespace {

constexpr std::uint64_t kU64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kU32 = std::numeric_limits<std::uint32_t>::max();

double step(double t, std::uint64_t n) { return t / static_cast<double>(n); }

// The least count is admitted and the one below it is not, also where t / n
// rounds: above 2^53 neighbouring counts give the same double.
TEST(StepCounts, LeastCountIsTheFirstAdmitted) {
    for (const double t : {1.0, 0.3, 1e6, 1e15, 7.0e16, 1e17}) {
        for (const double bound : {0.3, 7.95e-3, 1.0 / 3.0}) {
            auto ok = [&](double tau) { return tau <= bound; };
            const StepCounts c = admitted_counts(t, kU64, ok);
            ASSERT_EQ(c.outcome, StepCounts::Outcome::Fits) << t << " " << bound;
            EXPECT_EQ(c.most, kU64);
            EXPECT_TRUE(ok(step(t, c.least)));
            if (c.least > 1) {
                EXPECT_FALSE(ok(step(t, c.least - 1))) << t << " " << bound;
            }
            EXPECT_NEAR(static_cast<double>(c.least), t / bound, 1.0 + 1e-15 * t / bound);
        }
    }
}

// A rule the steps must also not fall short of: both ends are named, and t
// shorter than the shortest step, or no whole count between, is told apart.
TEST(StepCounts, BoundedBothWays) {
    auto longest = [](double tau) { return tau <= 2.0; };
    auto shortest = [](double tau) { return tau >= 0.5; };
    StepCounts c = admitted_counts(10.0, kU64, longest, shortest);
    EXPECT_EQ(c.outcome, StepCounts::Outcome::Fits);
    EXPECT_EQ(c.least, 5u);
    EXPECT_EQ(c.most, 20u);
    EXPECT_EQ(admitted_counts(0.25, kU64, longest, shortest).outcome, StepCounts::Outcome::TooShort);
    c = admitted_counts(0.25, kU64, longest, shortest);
    EXPECT_EQ(c.least, 1u);
    // Steps of 2 to 2.1 for t = 2.2: one is too long, two too short.
    c = admitted_counts(2.2, kU64, [](double tau) { return tau <= 2.1; }, [](double tau) { return tau >= 2.0; });
    EXPECT_EQ(c.outcome, StepCounts::Outcome::TooShort);
    EXPECT_EQ(c.least, 2u);
}

// Beyond the range no count is named: the longest time the largest count
// serves is, and it is served while the next double is not.
TEST(StepCounts, BeyondTheRangeNamesTheLongestTime) {
    for (const std::uint64_t range : {kU32, kU64}) {
        for (const double t : {1e17, 0x1p63, 1e30, 1e300}) {
            auto ok = [](double tau) { return !(tau * 4.0 > 2.0); };
            const StepCounts c = admitted_counts(t, range, ok);
            if (t / 0.5 <= static_cast<double>(range)) continue;
            ASSERT_EQ(c.outcome, StepCounts::Outcome::TooLong) << t;
            EXPECT_TRUE(ok(step(c.longest_t, range)));
            EXPECT_FALSE(ok(step(std::nextafter(c.longest_t, 1e308), range)));
        }
    }
}

// A step that leaves the normal range no longer carries its time (0 passes
// every rule): no time is served where only such steps are admitted.
TEST(StepCounts, SubnormalStepsServeNoTime) {
    auto ok = [](double tau) { return !(std::numeric_limits<double>::infinity() * tau > 4.0); };
    const StepCounts c = admitted_counts(1.0, kU64, ok);
    EXPECT_EQ(c.outcome, StepCounts::Outcome::TooLong);
    EXPECT_EQ(c.longest_t, 0.0);
}

// The greatest admitted double is itself admitted and the next one up is
// not, over the whole range of a rule's bound, subnormal ones included.
TEST(StepCounts, GreatestAdmittedDoubleIsTheBound) {
    for (const double bound : {5e-324, 3e-310, 1e-300, 0.3, 1.0 / 3.0, 7e307}) {
        auto ok = [&](double x) { return x <= bound; };
        EXPECT_EQ(greatest_admitted_double(0.0, 1.7e308, ok), bound);
    }
    auto strict = [](double x) { return x * 8.0 < 0.1875; };  // 8 x < 3/16, equality refused
    EXPECT_EQ(greatest_admitted_double(0.0, 1.0, strict), std::nextafter(0.0234375, 0.0));
}

}  // namespace
}  // namespace quorvane
