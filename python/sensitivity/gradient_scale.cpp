#include "python/sensitivity/gradient_scale.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "core/foundation/format.hpp"

namespace quorvane::py {

void raise_gradient_beyond(const char* fn, const GradientBeyond& beyond) {
    const double largest = std::numeric_limits<double>::max();
    const double passes = floor_4_digits_inside(largest_scaled_by(beyond.top_in, beyond.top_out, beyond.back));
    py_err_with_kind("NanInf", std::string(fn) + ": the gradient lies beyond the double range: it is linear in u0, "
                                                 "and with max|u0| = " +
                                   fmt_exp3(beyond.top_in) + " its largest entry passes the largest double, " +
                                   fmt_exp3(largest) + "; the same u0 scaled down to max|u0| <= " + fmt_exp3(passes) +
                                   " keeps it within");
}

}  // namespace quorvane::py
