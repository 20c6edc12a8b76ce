// What a refusal of a call's steps says about its step count: the counts
// that pass, always within the range of the argument that takes them, or,
// where none does, that and the longest time one call serves.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "core/foundation/step_count.hpp"

namespace quorvane::py {

// The largest count each conversion of a count argument takes
// (Args::u64 and Args::usize, Args::u32).
inline constexpr std::uint64_t kU64Counts = std::numeric_limits<std::uint64_t>::max();
inline constexpr std::uint64_t kU32Counts = std::numeric_limits<std::uint32_t>::max();
static_assert(std::numeric_limits<std::size_t>::max() == kU64Counts, "usize counts are 64-bit");

// A time (or a step, a length) a caller may pass back: its shortest digits,
// which read back as the same double, in exponent form where positional
// digits would run long ("998.59", "2.22098798647463e-288", "1.4665161538599094e17").
std::string exact_time(double t);

// The duration a text names and how: "t" and t print "t = 0.5".
struct CallTime {
    const char* name;
    double t;
};

// The advice on `count` (the argument's name) for a call of duration `time`:
// "use n_steps >= 12 for t = 0.5", "use n_steps <= 7 ...", "use 3 <= n_steps
// <= 7 ..." (the "for" part left out when `with_time` is false); where even
// the largest count of the range takes too long steps, "no n_steps up to M
// makes the steps of t = ... short enough: one call serves t <= T (n_steps =
// M), longer times take several calls"; where t is too short for one
// admitted step, says that.
std::string count_advice(const StepCounts& c, const char* count, std::uint64_t range_max, CallTime time,
                         bool with_time = true);

// "; it serves {name} up to {X} {where}": X the longest value in [0,
// refused) that `fits` admits, rounded down to four digits (`fits` admits
// every value below one it admits, so every value up to X passes); empty
// where no value above 0 fits.
std::string served_up_to(const char* name, double refused, FunctionRef<bool(double)> fits,
                         const char* where = "on this operator");

// The same for a rule that bounds the step from above by `tau_max` as a
// refusal prints it (four digits, rounded down: the count named takes steps
// no longer than the bound shown).
std::string least_count_advice(double tau_max, const char* count, std::uint64_t range_max, CallTime time);

}  // namespace quorvane::py
