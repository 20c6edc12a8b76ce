// The step bound of the odd image, L^2/12, and the step counts named for it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "core/bounded/image.hpp"
#include "core/foundation/numeric.hpp"

namespace quorvane {
namespace {

DirichletHeat2ndChernoff on(double length) {
    const auto g = *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0.0, length, 21);
    return DirichletHeat2ndChernoff{DiffusionChernoff::unit(g), *HalfSpaceRegion::make({0.0}, {1.0})};
}

TEST(DirichletImage, ABoundReusedAsKStepsOfItIsAdmitted) {
    // L = 0.6: L^2/12 is 0.03 and prints so; 9 * 0.03 / 9 lies an ulp above it.
    const auto k = on(0.6);
    const double shown = floor_4_digits(max_image_step(k));
    for (int n = 1; n <= 20; ++n) EXPECT_TRUE(image_step_admitted(k, (n * shown) / n)) << n;
    EXPECT_FALSE(image_step_admitted(k, max_image_step(k) * (1.0 + 1e-12)));
}

TEST(DirichletImage, CountsAreTheLeastAdmittedOrNoneWithinTheArgument) {
    const auto k = on(1.0);
    EXPECT_EQ(least_image_steps(k, 1.0), 12u);  // 1/12 itself is the bound
    EXPECT_EQ(least_image_steps(k, 0.0), 1u);
    // 2^63 / (2^64 - 1) = 0.5 exceeds 1/12: no count of the argument's range.
    EXPECT_FALSE(least_image_steps(k, 0x1p63));
    EXPECT_FALSE(least_image_steps(k, 1e300));
    // The longest t named is served by the largest count and by no fewer than it allows.
    const double longest = longest_image_time(k);
    EXPECT_DOUBLE_EQ(longest, 1.537e18);
    const auto need = least_image_steps(k, longest);
    ASSERT_TRUE(need);
    EXPECT_TRUE(image_step_admitted(k, longest / static_cast<double>(*need)));
    EXPECT_FALSE(least_image_steps(k, 1.538e18));
}

}  // namespace
}  // namespace quorvane
