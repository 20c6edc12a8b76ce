#include "core/foundation/error.hpp"

#include <cstring>

#include "core/foundation/format.hpp"

namespace quorvane {

CoreError CoreError::domain(const char* what, double value) {
    return {Variant::DomainViolation, what, value, 0, 0, 0};
}
CoreError CoreError::grid_underresolved(std::uint64_t suggested_n, double shift_dx_ratio) {
    return {Variant::GridUnderresolved, nullptr, shift_dx_ratio, 0, 0, suggested_n};
}
CoreError CoreError::convergence_failed(double last_residual, std::uint64_t max_iter) {
    return {Variant::ConvergenceFailed, nullptr, last_residual, 0, 0, max_iter};
}
CoreError CoreError::unsupported(const char* feature) {
    return {Variant::Unsupported, feature, 0, 0, 0, 0};
}
CoreError CoreError::cfl_violated(double tau, double dx_squared, double a_norm_bound) {
    return {Variant::CflViolated, nullptr, tau, dx_squared, a_norm_bound, 0};
}
CoreError CoreError::adaptive_step_rejected(double last_tau, double last_err, std::uint64_t steps) {
    return {Variant::AdaptiveStepRejected, nullptr, last_tau, last_err, 0, steps};
}
CoreError CoreError::unsupported_operation(const char* what) {
    return {Variant::UnsupportedOperation, what, 0, 0, 0, 0};
}
CoreError CoreError::out_of_magnus_radius(double tau, double rho_estimate) {
    return {Variant::OutOfMagnusRadius, nullptr, tau, rho_estimate, 0, 0};
}
CoreError CoreError::var_coef_out_of_class(const char* detail) {
    return {Variant::VarCoefOutOfClass, detail, 0, 0, 0, 0};
}
CoreError CoreError::callback_failed() {
    return {Variant::CallbackFailed, nullptr, 0, 0, 0, 0};
}

bool CoreError::operator==(const CoreError& o) const {
    const bool same_text = text_ == o.text_ || (text_ && o.text_ && std::strcmp(text_, o.text_) == 0);
    return variant_ == o.variant_ && same_text && f_[0] == o.f_[0] && f_[1] == o.f_[1] && f_[2] == o.f_[2] &&
           count_ == o.count_;
}

std::string CoreError::display() const {
    switch (variant_) {
        case Variant::DomainViolation:
            return "domain violation: " + std::string(text_) + " (value = " + fmt_shortest(f_[0]) + ")";
        case Variant::GridUnderresolved:
            return "grid under-resolved: shift/dx = " + fmt_fixed3(f_[0]) +
                   ", suggested N >= " + std::to_string(count_);
        case Variant::ConvergenceFailed:
            return "convergence failed: last_residual = " + fmt_exp3(f_[0]) +
                   ", max_iter = " + std::to_string(count_);
        case Variant::Unsupported:
            return "feature not supported in this build: " + std::string(text_);
        case Variant::CflViolated:
            return "CFL violated for truncated-exp K=4: tau = " + fmt_exp3(f_[0]) +
                   ", dx\u00b2 = " + fmt_exp3(f_[1]) + ", \u2016a\u2016_\u221e = " + fmt_exp3(f_[2]) +
                   " (need 2\u00b7tau\u00b7\u2016a\u2016_\u221e < dx\u00b2)";
        case Variant::AdaptiveStepRejected:
            return "adaptive PI: step rejected after " + std::to_string(count_) +
                   " substeps; last_tau = " + fmt_exp3(f_[0]) + ", last_err = " + fmt_exp3(f_[1]) +
                   " (increase tol_rel/tol_abs or reduce t)";
        case Variant::UnsupportedOperation:
            return "unsupported operation: " + std::string(text_);
        case Variant::OutOfMagnusRadius:
            return "Magnus convergence radius violated: rho_bar_max = " + fmt_exp3(f_[1]) +
                   ", tau = " + fmt_exp3(f_[0]) + ", product = " + fmt_exp3(f_[0] * f_[1]) +
                   " >= pi/2 (reduce tau or supply tighter rho_bar_max)";
        case Variant::VarCoefOutOfClass:
            return "VarCoefTt out-of-class: " + std::string(text_);
        case Variant::CallbackFailed:
            return "a caller-supplied callback failed";
    }
    return {};
}

std::string CoreError::debug() const {
    auto f = [](double x) { return fmt_debug(x); };
    auto s = [](const char* t) { return fmt_debug_str(t ? t : ""); };
    auto u = [](std::uint64_t n) { return std::to_string(n); };
    switch (variant_) {
        case Variant::DomainViolation:
            return "DomainViolation { what: " + s(text_) + ", value: " + f(f_[0]) + " }";
        case Variant::GridUnderresolved:
            return "GridUnderresolved { suggested_n: " + u(count_) + ", shift_dx_ratio: " + f(f_[0]) + " }";
        case Variant::ConvergenceFailed:
            return "ConvergenceFailed { last_residual: " + f(f_[0]) + ", max_iter: " + u(count_) + " }";
        case Variant::Unsupported:
            return "Unsupported { feature: " + s(text_) + " }";
        case Variant::CflViolated:
            return "CflViolated { tau: " + f(f_[0]) + ", dx_squared: " + f(f_[1]) +
                   ", a_norm_bound: " + f(f_[2]) + " }";
        case Variant::AdaptiveStepRejected:
            return "AdaptiveStepRejected { last_tau: " + f(f_[0]) + ", last_err: " + f(f_[1]) +
                   ", steps_attempted: " + u(count_) + " }";
        case Variant::UnsupportedOperation:
            return "UnsupportedOperation { what: " + s(text_) + " }";
        case Variant::OutOfMagnusRadius:
            return "OutOfMagnusRadius { tau: " + f(f_[0]) + ", rho_estimate: " + f(f_[1]) + " }";
        case Variant::VarCoefOutOfClass:
            return "VarCoefOutOfClass { detail: " + s(text_) + " }";
        case Variant::CallbackFailed:
            return "CallbackFailed";
    }
    return {};
}

void internal_fault(const std::string& message) { throw InternalFault(message); }

void internal_fault(const char* context, const CoreError& e) {
    throw InternalFault(std::string(context) + ": " + e.debug());
}

}  // namespace quorvane
