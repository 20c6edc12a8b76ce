#include "python/step_counts.hpp"

#include "core/foundation/format.hpp"
#include "core/foundation/numeric.hpp"

namespace quorvane::py {

std::string exact_time(double t) {
    return t != 0.0 && (t < 1e-4 || t >= 1e16) ? fmt_debug(t) : fmt_shortest(t);
}

std::string count_advice(const StepCounts& c, const char* count, std::uint64_t range_max, CallTime time,
                         bool with_time) {
    const std::string name(count);
    const std::string t_name(time.name);
    const std::string for_t = with_time ? " for " + t_name + " = " + exact_time(time.t) : std::string{};
    switch (c.outcome) {
        case StepCounts::Outcome::Fits:
            if (c.most == range_max) return "use " + name + " >= " + std::to_string(c.least) + for_t;
            if (c.least == 1) return "use " + name + " <= " + std::to_string(c.most) + for_t;
            return "use " + std::to_string(c.least) + " <= " + name + " <= " + std::to_string(c.most) + for_t;
        case StepCounts::Outcome::TooLong: {
            const std::string most = std::to_string(range_max);
            std::string text = "no " + name + " up to " + most + " makes the steps of " + t_name + " = " +
                               fmt_exp3(time.t) + " short enough: ";
            if (!(c.longest_t > 0.0)) return text + "no call serves " + t_name + " > 0";
            return text + "one call serves " + t_name + " <= " + exact_time(c.longest_t) + " (" + name + " = " +
                   most + "), longer times take several calls";
        }
        case StepCounts::Outcome::TooShort:
            if (c.least == 1) return t_name + " is shorter than one admissible step";
            return "no whole " + name + " divides " + t_name + " = " + exact_time(time.t) +
                   " into admissible steps";
    }
    return {};
}

std::string served_up_to(const char* name, double refused, FunctionRef<bool(double)> fits, const char* where) {
    const double longest = floor_4_digits(greatest_admitted_double(0.0, refused, fits));
    if (!(longest > 0.0)) return {};
    return "; it serves " + std::string(name) + " up to " + fmt_exp3(longest) + " " + where;
}

std::string least_count_advice(double tau_max, const char* count, std::uint64_t range_max, CallTime time) {
    const double shown = floor_4_digits(tau_max);
    const StepCounts c = admitted_counts(time.t, range_max, [&](double tau) { return tau <= shown; });
    return count_advice(c, count, range_max, time);
}

}  // namespace quorvane::py
