// Adaptive step sizes: the controller meets its tolerance on an exact
// cosine mode, accepts exact steps at full size, never accepts a non-finite
// step, and reports the substep limit.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <numbers>
#include <vector>

#include "core/adaptive.hpp"

namespace quorvane {
namespace {

GridFn<double> state_of(std::size_t n, auto f) {
    const auto g = *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), 0.0, 1.0, n);
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = f(g.node(i));
    return *GridFn<double>::make(g, std::move(v));
}

double cos_mode(double x) { return std::cos(std::numbers::pi * x); }

class AdaptiveCosine : public ::testing::TestWithParam<KernelName> {};

TEST_P(AdaptiveCosine, ErrorFollowsTheTolerance) {
    // A reflecting cosine mode decays as exp(-pi^2 D t): D = 1 for the heat
    // kernels, D = 1/2 for the shift kernel (a = 1/2).
    const KernelName name = GetParam();
    const double diff = name == KernelName::Shift ? 0.5 : 1.0;
    const double t = 0.05;
    std::vector<double> errs;
    for (double tol : {1e-4, 1e-6, 1e-8}) {
        auto e = *AdaptiveEvolver::build(name, state_of(101, cos_mode), tol, 0.0);
        auto r = e.integrate(t);
        ASSERT_TRUE(r);
        const double decay = std::exp(-std::numbers::pi * std::numbers::pi * diff * t);
        double err = 0.0;
        for (std::size_t i = 0; i < r->size(); ++i) {
            err = std::max(err, std::fabs((*r)[i] - decay * cos_mode(e.state.grid.node(i))));
        }
        // The controller bounds the local error of each substep by tol; the
        // global error sums them over the substeps (a few dozen here for the
        // second-order kernels).
        if (name != KernelName::Shift) {
            EXPECT_LT(err, 50 * tol) << tol;
        }
        errs.push_back(err);
    }
    // 100 times tighter gives markedly smaller errors (about 10 times: the
    // error per substep scales with tol, the substep count grows as it
    // tightens); a controller that ignored tol would give a ratio near 1.
    for (std::size_t k = 1; k < errs.size(); ++k) EXPECT_GT(errs[k - 1] / errs[k], 5.0) << k;
}

INSTANTIATE_TEST_SUITE_P(Kernels, AdaptiveCosine,
                         ::testing::Values(KernelName::Heat2, KernelName::Heat4, KernelName::Heat6,
                                           KernelName::Shift));

TEST(Adaptive, ExactStepsAreAcceptedAtFullSize) {
    // A zero state gives a doubling difference of exactly 0: the stored error
    // must not become 0, or every later step would shrink to 0.2 tau and the
    // call would run into the substep limit. A constant state differs from
    // exact only by rounding. Both must finish in a handful of substeps.
    for (double level : {0.0, 2.5}) {
        for (double tol_abs : {1e-6, 0.0}) {
            auto e = *AdaptiveEvolver::build(KernelName::Heat2, state_of(2001, [&](double) { return level; }),
                                             tol_abs, 1e-4);
            const auto t0 = std::chrono::steady_clock::now();
            auto r = e.integrate(10.0);
            const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            ASSERT_TRUE(r) << level << " " << tol_abs << " " << r.error().display();
            for (double v : *r) EXPECT_NEAR(v, level, 1e-12);
            // 100000 substeps on 2001 nodes take seconds; a handful take < 50 ms.
            EXPECT_LT(ms, 500.0) << level << " " << tol_abs;
        }
    }
}

TEST(Adaptive, NonFiniteStepsAreNeverAccepted) {
    // A NaN reaction coefficient makes every step NaN. Its doubling
    // difference is NaN, which a NaN-ignoring maximum would read as 0.
    auto base = state_of(41, cos_mode);
    auto nan_c = make_coeff([](double) { return std::nan(""); });
    auto e = AdaptiveEvolver::with_arrays(base, constant_coeff(0.5), constant_coeff(0.0), nan_c, 0.0, 1e-6, 1e-4);
    auto r = e.integrate(0.1);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().variant(), CoreError::Variant::AdaptiveStepRejected);
    // Rejections shrink the step until it underflows; the call stops there
    // instead of spending the whole substep budget.
    EXPECT_LT(r.error().count(), 2000u);
}

TEST(Adaptive, SubstepLimitIsReported) {
    // A negative tolerance rejects every step.
    auto e = *AdaptiveEvolver::build(KernelName::Heat2, state_of(21, cos_mode), -1.0, 0.0);
    auto r = e.integrate(0.1);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().variant(), CoreError::Variant::AdaptiveStepRejected);
}

TEST(Adaptive, KernelCasesAndGains) {
    const auto s = state_of(21, cos_mode);
    auto shift = *AdaptiveEvolver::build(KernelName::Shift, s, 1e-6, 1e-4);
    const auto& sk = std::get<AdaptiveChernoff<ShiftChernoff1D>>(shift.kernel);
    EXPECT_EQ(sk.controller.k_i, 0.7);
    EXPECT_EQ(sk.controller.k_p, 0.4);
    EXPECT_EQ(sk.kernel.a(0.3), 0.5);
    auto drift = *AdaptiveEvolver::build(KernelName::Drift, s, 1e-6, 1e-4);
    const auto& dk = std::get<AdaptiveChernoff<DriftReactionChernoff>>(drift.kernel);
    EXPECT_EQ(dk.controller.k_i, 0.35);
    EXPECT_EQ(dk.controller.k_p, 0.2);
    EXPECT_EQ((*dk.kernel.coef_override->b)(0.3), 0.5);
    EXPECT_FALSE(dk.full.has_value());  // scratch made by the first integration
}

TEST(KernelSelect, NamesAreExact) {
    EXPECT_EQ(parse_kernel_name("heat6"), KernelName::Heat6);
    EXPECT_EQ(parse_kernel_name("shift"), KernelName::Shift);
    EXPECT_FALSE(parse_kernel_name("Heat2"));
    EXPECT_FALSE(parse_kernel_name("heat2 "));
    EXPECT_FALSE(parse_kernel_name(""));
}

}  // namespace
}  // namespace quorvane
