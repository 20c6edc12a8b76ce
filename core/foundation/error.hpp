// The core's error value and its internal-fault exception.
//
// Expected failures travel as `CoreError` values inside std::expected; an
// error owns no heap storage (texts are literals), so it moves freely across
// worker threads. Violated invariants are `InternalFault` exceptions, which
// the Python boundary reports as kind "Panic".
#pragma once

#include <cstdint>
#include <expected>
#include <stdexcept>
#include <string>

namespace quorvane {

class CoreError {
public:
    // Discriminant order is fixed: the failure-kind mapping depends on it.
    enum class Variant : std::uint8_t {
        DomainViolation = 0,
        GridUnderresolved = 1,
        ConvergenceFailed = 2,
        Unsupported = 3,
        CflViolated = 4,
        AdaptiveStepRejected = 5,
        UnsupportedOperation = 6,
        OutOfMagnusRadius = 7,
        VarCoefOutOfClass = 8,
        // A caller-supplied callback (a Python coefficient, a time-dependent
        // operator, the stop hook) failed; the caller kept its own error and
        // reports that one. Never classified into a failure kind.
        CallbackFailed = 9,
    };

    static CoreError domain(const char* what, double value);
    static CoreError grid_underresolved(std::uint64_t suggested_n, double shift_dx_ratio);
    static CoreError convergence_failed(double last_residual, std::uint64_t max_iter);
    static CoreError unsupported(const char* feature);
    static CoreError cfl_violated(double tau, double dx_squared, double a_norm_bound);
    static CoreError adaptive_step_rejected(double last_tau, double last_err, std::uint64_t steps_attempted);
    static CoreError unsupported_operation(const char* what);
    static CoreError out_of_magnus_radius(double tau, double rho_estimate);
    static CoreError var_coef_out_of_class(const char* detail);
    static CoreError callback_failed();

    Variant variant() const { return variant_; }
    // The text field of DomainViolation (what), Unsupported (feature),
    // UnsupportedOperation (what) and VarCoefOutOfClass (detail).
    const char* text() const { return text_; }
    // DomainViolation: value. GridUnderresolved: shift_dx_ratio.
    // ConvergenceFailed: last_residual. CflViolated: tau. AdaptiveStepRejected:
    // last_tau. OutOfMagnusRadius: tau.
    double f0() const { return f_[0]; }
    // CflViolated: dx_squared. AdaptiveStepRejected: last_err. OutOfMagnusRadius: rho_estimate.
    double f1() const { return f_[1]; }
    // CflViolated: a_norm_bound.
    double f2() const { return f_[2]; }
    // GridUnderresolved: suggested_n. ConvergenceFailed: max_iter.
    // AdaptiveStepRejected: steps_attempted.
    std::uint64_t count() const { return count_; }

    // Display text: the message template of the variant, filled in.
    std::string display() const;
    // Structural debug form, e.g.
    // DomainViolation { what: "ChernoffSemigroup n must be >= 1", value: 0.0 }
    std::string debug() const;

    // Texts compare by content: equal literals need not share an address.
    bool operator==(const CoreError& o) const;

private:
    CoreError(Variant v, const char* text, double a, double b, double c, std::uint64_t n)
        : variant_(v), text_(text), f_{a, b, c}, count_(n) {}

    Variant variant_;
    const char* text_;
    double f_[3];
    std::uint64_t count_;
};

template <class T>
using Expected = std::expected<T, CoreError>;
using Status = std::expected<void, CoreError>;

inline std::unexpected<CoreError> fail(CoreError e) { return std::unexpected<CoreError>(e); }
inline std::unexpected<CoreError> domain_error(const char* what, double value) {
    return std::unexpected<CoreError>(CoreError::domain(what, value));
}

// A read at a point that is NaN or infinite (Grid1D::interp's refusal).
inline constexpr const char* kNonFinitePointMessage = "Grid1D::interp: evaluation point must be finite";

// A read of u so far outside the grid that no cell can be told apart from
// its neighbour. What puts it there is a step (or a point) a caller chose,
// so the text says that, not where it was found (kind OutOfDomain: the
// text avoids the words that classify a domain error as a grid mismatch).
inline constexpr const char* kReadTooFar =
    "a step reads u more than 2^53 cells beyond the end nodes, where no cell can be told apart from its "
    "neighbour: the step is too long for this spacing (more, shorter steps read nearer)";

// A violated internal invariant. Never an expected failure.
class InternalFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void internal_fault(const std::string& message);

// An operation that cannot fail by construction received an error from a
// callee: stop with "<context>: <debug form>".
[[noreturn]] void internal_fault(const char* context, const CoreError& e);

template <class T>
T expect_ok(Expected<T> r, const char* context) {
    if (!r) internal_fault(context, r.error());
    return std::move(*r);
}
inline void expect_ok(Status r, const char* context) {
    if (!r) internal_fault(context, r.error());
}

}  // namespace quorvane
