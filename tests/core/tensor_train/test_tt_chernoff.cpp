// The per-axis average of the separable tensor-train step.
#include <gtest/gtest.h>

#include <vector>

#include "core/tensor_train/tt_chernoff.hpp"

namespace quorvane {
namespace {

// Shifts of whole nodes read the nodes themselves, wrapped periodically:
// out(i) = 1/2 U(i + 1) + 1/4 U(i + 2) + 1/4 U(i - 2), on every fibre (a, b).
TEST(TtApplyAxis, WholeNodeShiftsWrapPeriodically) {
    const std::size_t n = 5;
    TtCore core{std::vector<double>(2 * n * 3), 2, n, 3};
    for (std::size_t k = 0; k < core.data.size(); ++k) core.data[k] = static_cast<double>(k * k % 17) - 4.0;
    const TtCore in = core;
    TtChernoff::apply_axis(core, n, 0.25, 0.5, 0.25);
    for (std::size_t a = 0; a < 2; ++a)
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t b = 0; b < 3; ++b) {
                const double want =
                    0.5 * in.at(a, (i + 1) % n, b) + 0.25 * in.at(a, (i + 2) % n, b) + 0.25 * in.at(a, (i + n - 2) % n, b);
                EXPECT_NEAR(core.at(a, i, b), want, 1e-14) << a << i << b;
            }
}

// A shift between nodes interpolates cubics exactly (here on an axis long
// enough that the taps do not wrap for the middle node).
TEST(TtApplyAxis, CubicsAreInterpolatedExactly) {
    const std::size_t n = 12;
    TtCore core{std::vector<double>(n), 1, n, 1};
    auto p = [](double x) { return 0.5 * x * x * x - x * x + 3.0; };
    for (std::size_t i = 0; i < n; ++i) core.data[i] = p(static_cast<double>(i));
    TtChernoff::apply_axis(core, n, 0.3, 1.7, 1.0);
    EXPECT_NEAR(core.data[6], 0.5 * p(6.3) + 0.25 * p(7.7) + 0.25 * p(4.3), 1e-12);
}

}  // namespace
}  // namespace quorvane
