#include "core/foundation/step_count.hpp"

#include <bit>
#include <cmath>
#include <limits>

namespace quorvane {

namespace {

double step_of(double t, std::uint64_t n) { return t / static_cast<double>(n); }

// The least count in [1, hi] whose step `ok` admits, given that hi's is;
// `ok` admits every count above one it admits.
std::uint64_t least_admitted(double t, std::uint64_t hi, FunctionRef<bool(double)> ok) {
    std::uint64_t lo = 0;  // below the range: taken as refused
    while (hi - lo > 1) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        if (ok(step_of(t, mid))) hi = mid;
        else lo = mid;
    }
    return hi;
}

// The greatest count in [lo, hi] whose step `ok` admits, given that lo's is;
// `ok` admits every count below one it admits.
std::uint64_t greatest_admitted(double t, std::uint64_t lo, std::uint64_t hi, FunctionRef<bool(double)> ok) {
    return greatest_count(lo, hi, [&](std::uint64_t n) { return ok(step_of(t, n)); });
}

// The largest duration in (0, t_refused) whose steps of duration / n `ok`
// admits, 0 for none. A step deep in the subnormal range no longer carries
// the duration (it rounds to a few bits, or to 0, which every rule admits):
// the shortest duration counted is the one whose step keeps 24 significant
// bits, 2^-1050. Rules that bound the step near the bottom of the normal
// range (a reaction of |c| ~ 1e308 admits steps up to ~6e-309) still name
// a time served.
double longest_admitted(std::uint64_t n, double t_refused, FunctionRef<bool(double)> ok) {
    constexpr double kLeast = 0x1p-1050;
    // kLeast n lies within an ulp or two of it (two roundings).
    double shortest = kLeast * static_cast<double>(n);
    for (int k = 0; k < 4 && step_of(shortest, n) < kLeast; ++k) {
        shortest = std::nextafter(shortest, std::numeric_limits<double>::infinity());
    }
    if (!(shortest < t_refused) || !(step_of(shortest, n) >= kLeast) || !ok(step_of(shortest, n))) return 0.0;
    return greatest_admitted_double(shortest, t_refused, [&](double t) { return ok(step_of(t, n)); });
}

}  // namespace

std::uint64_t greatest_count(std::uint64_t lo, std::uint64_t hi, FunctionRef<bool(std::uint64_t)> ok) {
    if (ok(hi)) return hi;
    while (hi - lo > 1) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        if (ok(mid)) lo = mid;
        else hi = mid;
    }
    return lo;
}

double greatest_admitted_double(double lo, double hi, FunctionRef<bool(double)> ok) {
    std::uint64_t a = std::bit_cast<std::uint64_t>(lo);
    std::uint64_t b = std::bit_cast<std::uint64_t>(hi);
    while (b - a > 1) {
        const std::uint64_t mid = a + (b - a) / 2;
        if (ok(std::bit_cast<double>(mid))) a = mid;
        else b = mid;
    }
    return std::bit_cast<double>(a);
}

StepCounts admitted_counts(double t, std::uint64_t range_max, FunctionRef<bool(double)> not_too_long) {
    return admitted_counts(t, range_max, not_too_long, [](double) { return true; });
}

StepCounts admitted_counts(double t, std::uint64_t range_max, FunctionRef<bool(double)> not_too_long,
                           FunctionRef<bool(double)> not_too_short) {
    StepCounts c;
    if (!not_too_long(step_of(t, range_max))) {
        c.outcome = StepCounts::Outcome::TooLong;
        c.longest_t = longest_admitted(range_max, t, not_too_long);
        return c;
    }
    c.least = least_admitted(t, range_max, not_too_long);
    if (!not_too_short(step_of(t, c.least))) {
        c.outcome = StepCounts::Outcome::TooShort;
        return c;
    }
    c.most = greatest_admitted(t, c.least, range_max, not_too_short);
    return c;
}

}  // namespace quorvane
