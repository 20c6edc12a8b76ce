// CoreError: the display text and the debug form of every variant, and the
// internal-fault message built from the debug form.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "core/foundation/error.hpp"

namespace quorvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Shown {
    CoreError err;
    const char* display;
    const char* debug;
};

class CoreErrorText : public ::testing::TestWithParam<Shown> {};

TEST_P(CoreErrorText, DisplayAndDebug) {
    EXPECT_EQ(GetParam().err.display(), GetParam().display);
    EXPECT_EQ(GetParam().err.debug(), GetParam().debug);
}

INSTANTIATE_TEST_SUITE_P(
    AllVariants, CoreErrorText,
    ::testing::Values(
        Shown{CoreError::domain("tau must be finite and >= 0", kNaN),
              "domain violation: tau must be finite and >= 0 (value = NaN)",
              "DomainViolation { what: \"tau must be finite and >= 0\", value: NaN }"},
        Shown{CoreError::grid_underresolved(129, 2.0), "grid under-resolved: shift/dx = 2.000, suggested N >= 129",
              "GridUnderresolved { suggested_n: 129, shift_dx_ratio: 2.0 }"},
        Shown{CoreError::grid_underresolved(18446744073709551615ull, 2.0 / 3.0),
              "grid under-resolved: shift/dx = 0.667, suggested N >= 18446744073709551615",
              "GridUnderresolved { suggested_n: 18446744073709551615, shift_dx_ratio: 0.6666666666666666 }"},
        Shown{CoreError::convergence_failed(1.5e-3, 200),
              "convergence failed: last_residual = 1.500e-3, max_iter = 200",
              "ConvergenceFailed { last_residual: 0.0015, max_iter: 200 }"},
        Shown{CoreError::unsupported("linear-interp (enable with --features linear-interp)"),
              "feature not supported in this build: linear-interp (enable with --features linear-interp)",
              "Unsupported { feature: \"linear-interp (enable with --features linear-interp)\" }"},
        Shown{CoreError::cfl_violated(0.001, 0.0001, 1.0),
              "CFL violated for truncated-exp K=4: tau = 1.000e-3, dx\u00b2 = 1.000e-4, "
              "\u2016a\u2016_\u221e = 1.000e0 (need 2\u00b7tau\u00b7\u2016a\u2016_\u221e < dx\u00b2)",
              "CflViolated { tau: 0.001, dx_squared: 0.0001, a_norm_bound: 1.0 }"},
        // The count is printed first although it is declared last.
        Shown{CoreError::adaptive_step_rejected(0.25, 3e-2, 17),
              "adaptive PI: step rejected after 17 substeps; last_tau = 2.500e-1, last_err = 3.000e-2 "
              "(increase tol_rel/tol_abs or reduce t)",
              "AdaptiveStepRejected { last_tau: 0.25, last_err: 0.03, steps_attempted: 17 }"},
        Shown{CoreError::unsupported_operation("evolve_into on a read-only buffer"),
              "unsupported operation: evolve_into on a read-only buffer",
              "UnsupportedOperation { what: \"evolve_into on a read-only buffer\" }"},
        // rho_estimate is printed before tau although tau is declared first;
        // the product is formed when formatting.
        Shown{CoreError::out_of_magnus_radius(0.5, 4.0),
              "Magnus convergence radius violated: rho_bar_max = 4.000e0, tau = 5.000e-1, product = 2.000e0 "
              ">= pi/2 (reduce tau or supply tighter rho_bar_max)",
              "OutOfMagnusRadius { tau: 0.5, rho_estimate: 4.0 }"},
        Shown{CoreError::var_coef_out_of_class("rank \"r\" too large\n"),
              "VarCoefTt out-of-class: rank \"r\" too large\n",
              "VarCoefOutOfClass { detail: \"rank \\\"r\\\" too large\\n\" }"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(InternalFaultMessage, ContextColonBlankDebugForm) {
    try {
        expect_ok(Status{fail(CoreError::domain("ChernoffSemigroup n must be >= 1", 0.0))}, "Heat1D::evolve");
        FAIL() << "expected an internal fault";
    } catch (const InternalFault& f) {
        EXPECT_STREQ(f.what(),
                     "Heat1D::evolve: DomainViolation { what: \"ChernoffSemigroup n must be >= 1\", value: 0.0 }");
    }
    EXPECT_EQ(expect_ok(Expected<int>{7}, "unused"), 7);
}

}  // namespace
}  // namespace quorvane
