// The cell lookup, the bracket check at the origin, the field step's
// identities and the Engel step's chain-field flow.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#include "core/foundation/stop.hpp"
#include "core/geometric/hormander.hpp"
#include "core/geometric/hormander_engel.hpp"

namespace quorvane {
namespace {

TEST(LocateCell, FractionsInsideAndConstantExtensionOutside) {
    const BoxAxis axis{-1.0, 1.0, 5};  // nodes -1, -0.5, 0, 0.5, 1
    const CellRead in = locate_cell(0.2, axis);
    EXPECT_EQ(in.i, 2u);
    EXPECT_EQ(in.j, 3u);
    EXPECT_NEAR(in.f, 0.4, 1e-15);
    for (double p : {-1.0, -7.0}) {
        const CellRead c = locate_cell(p, axis);
        EXPECT_EQ(c.i, 0u);
        EXPECT_EQ(c.j, 0u);
        EXPECT_EQ(c.f, 0.0);
    }
    const CellRead right = locate_cell(1.5, axis);
    EXPECT_EQ(right.i, 4u);
    EXPECT_EQ(right.j, 4u);
    const CellRead last = locate_cell(0.999, axis);  // the last cell, not one beyond
    EXPECT_EQ(last.i, 3u);
    EXPECT_EQ(last.j, 4u);
}

class ConstantField final : public VectorField {
public:
    ConstantField(double a, double b) : a_(a), b_(b) {}
    Status eval_into(std::span<const double>, std::span<double> out) const override {
        out[0] = a_, out[1] = b_;
        return {};
    }

private:
    double a_, b_;
};

TEST(VerifyHormander, SpanningFieldsPassOthersFailWithTheirValue) {
    auto ok = KolmogorovHypoelliptic::verify_hormander(KolmogorovGroup::x1());
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->generators.size(), 1u);
    const char* what = "H\u00f6rmander condition violated: brackets fail to span T_xM at origin";
    // (1, 0) has a zero bracket with v d/dx; (0, 0) is zero itself.
    EXPECT_EQ(KolmogorovHypoelliptic::verify_hormander(std::make_unique<ConstantField>(1.0, 0.0)).error(),
              CoreError::domain(what, 1.0));
    EXPECT_EQ(KolmogorovHypoelliptic::verify_hormander(std::make_unique<ConstantField>(0.0, 0.0)).error(),
              CoreError::domain(what, 0.0));
}

TEST(FieldStep, CopiesAtZeroAndAveragesWithVarianceS) {
    const std::vector<double> in{1.0, 2.0, 3.0};
    std::vector<double> out(3);
    int calls = 0;
    for (double s : {0.0, -1.0}) {
        field_step(s, in, out, [&](std::size_t, double) { return ++calls, 0.0; });
        EXPECT_EQ(out, in);
    }
    EXPECT_EQ(calls, 0);
    // read = sigma^2: the mean of sigma^2 over N(0, s) is s; of sigma^4, 3 s^2.
    field_step(0.3, in, out, [](std::size_t, double sigma) { return sigma * sigma; });
    EXPECT_NEAR(out[0], 0.3, 1e-15);
    field_step(0.3, in, out, [](std::size_t, double sigma) { return sigma * sigma * sigma * sigma; });
    EXPECT_NEAR(out[1], 0.27, 1e-15);
}

// One step of a 4096 x 4096 phase space, or of 64^4 Engel values, takes
// seconds to a minute: a pending stop request ends it before its first row
// or block of values.
TEST(HormanderSteps, PendingStopEndsAStepBeforeItsWork) {
    std::atomic<bool> stop{true};
    const ScopedStopFlag flag(stop);
    const std::vector<double> in{1.0, 2.0, 3.0};
    std::vector<double> out(3, 0.0);
    int reads = 0;
    Status st = field_step(0.3, in, out, [&](std::size_t, double) { return ++reads, 0.0; });
    EXPECT_EQ(st.error().variant(), CoreError::Variant::CallbackFailed);
    EXPECT_EQ(reads, 0);
    const Grid1D<double> x = *Grid1D<double>::make({}, InterpKind::septic(), -1.0, 1.0, 8);
    const GridFn2D src{Grid2D{x, x}, std::vector<double>(64, 1.0)};
    GridFn2D dst{src.grid, {}};
    EXPECT_EQ(hormander_kolmogorov_step(0.01, src, dst).error().variant(), CoreError::Variant::CallbackFailed);
}

TEST(EngelStep, SecondFieldStepFollowsTheFlowOfTheChainField) {
    // On x3 the X2 average with parameter s gives x3 + x0 s/2 (the flow
    // reaches x3 - x2 sigma + x0 sigma^2/2); a reversed sign of the x0 term
    // would subtract it.
    const std::size_t n = 9;
    const EngelAxes axes{BoxAxis{-8, 8, n}, BoxAxis{-8, 8, n}, BoxAxis{-8, 8, n}, BoxAxis{-8, 8, n}};
    std::vector<double> u(n * n * n * n), out(u.size());
    for (std::size_t m = 0; m < u.size(); ++m) u[m] = axes[3].node(m / (n * n * n));
    engel_x2_step(0.01, axes, u, out);
    const std::size_t centre = 4 + n * (4 + n * (4 + n * 4));  // x = 0
    const std::size_t m = (centre + 2) - n * n;               // x0 = 4, x2 = -2
    EXPECT_NEAR(out[centre], 0.0, 1e-15);
    EXPECT_NEAR(out[m], 4.0 * 0.005, 1e-13);
}

// p_h(0, 0, 0) = 1/(4 h^2) leaves the doubles below h = 3.73e-155: inf
// there, the value just above, and 0 where exp(-r^2/(2h)) wins; never NaN.
TEST(HeisenbergHeatKernel, FiniteArgumentsGiveTheValueOrInfNeverNaN) {
    const double inf = std::numeric_limits<double>::infinity();
    for (double h : {1.0, 1e-150, 0.99e-150, 4e-155}) {
        EXPECT_NEAR(h * (h * heisenberg_heat_kernel(h, 0.0, 0.0, 0.0)), 0.25, 1e-7) << h;  // the cut at 40/h
    }
    EXPECT_EQ(heisenberg_heat_kernel(3.7e-155, 0.0, 0.0, 0.0), inf);
    EXPECT_EQ(heisenberg_heat_kernel(5e-324, 0.0, 0.0, 5e-324), inf);
    EXPECT_EQ(heisenberg_heat_kernel(5e-324, 1.0, 0.0, 0.0), 0.0);
    EXPECT_EQ(heisenberg_heat_kernel(1.797e308, 1.797e308, 0.0, 0.0), 0.0);
}

// p_h(x, y, tc) = p_1(x/sqrt(h), y/sqrt(h), tc/h)/h^2: the integrand is read at the same
// scaled points at every h, so the law holds to rounding, also where a cut at a fixed
// lambda would have moved the value (by 1e-3 at h = 1.4e9).
TEST(HeisenbergHeatKernel, KeepsItsScalingLawAtEveryH) {
    for (double h : {1e-100, 1.4e9, 1e50, 1e150}) {
        const double r = std::sqrt(h);
        for (const auto& [x, y, t] :
             {std::array{0.0, 0.0, 0.0}, std::array{0.3, -0.2, 0.5}, std::array{1.0, 0.5, -2.0}}) {
            EXPECT_NEAR(h * (h * heisenberg_heat_kernel(h, x * r, y * r, t * h)), heisenberg_heat_kernel(1.0, x, y, t),
                        1e-15)
                << h;
        }
    }
}

}  // namespace
}  // namespace quorvane
