// The step counts a refusal of a call's steps can name.
//
// A call of duration t in n steps takes steps of t / n, the count converted
// to a double as every caller converts it (round to nearest above 2^53).
// t / n never rises as n grows, so where a rule admits an interval of steps
// the counts it admits form an interval too. Its ends are found by bisection
// over the whole counts of the argument's range: walking up one count at a
// time from an estimate can take arbitrarily long, and above 2^53 adding one
// to a double moves nothing.
#pragma once

#include <cstdint>

#include "core/foundation/function_ref.hpp"

namespace quorvane {

struct StepCounts {
    enum class Outcome {
        Fits,     // every count in [least, most] is admitted, and no other count of the range
        TooLong,  // even the largest count of the range takes steps too long
        TooShort  // no count gives steps long enough: the longest admitted one is too short
    };
    Outcome outcome = Outcome::Fits;
    std::uint64_t least = 0, most = 0;
    // TooLong: the longest duration whose steps the largest count of the
    // range admits (0 when not even the shortest positive time is served).
    double longest_t = 0.0;
};

// The counts in [1, range_max] whose steps of t / count a rule admits. The
// rule bounds the step from above (not_too_long: it admits every step
// shorter than one it admits) and optionally from below (not_too_short: it
// admits every step longer than one it admits). At most about 200
// evaluations of the rule; t finite and >= 0.
StepCounts admitted_counts(double t, std::uint64_t range_max, FunctionRef<bool(double)> not_too_long);
StepCounts admitted_counts(double t, std::uint64_t range_max, FunctionRef<bool(double)> not_too_long,
                           FunctionRef<bool(double)> not_too_short);

// The greatest count in [lo, hi] that `ok` admits, given that lo is admitted
// and that `ok` admits every count below one it admits: at most 64 halvings.
std::uint64_t greatest_count(std::uint64_t lo, std::uint64_t hi, FunctionRef<bool(std::uint64_t)> ok);

// The greatest double in [lo, hi) that `ok` admits, given 0 <= lo < hi, lo
// admitted, hi refused, and that `ok` admits every value below one it
// admits (a step, a duration). Non-negative doubles are ordered as their bit
// patterns, so the bisection runs over those: at most 64 halvings, and the
// value found is itself admitted.
double greatest_admitted_double(double lo, double hi, FunctionRef<bool(double)> ok);

}  // namespace quorvane
