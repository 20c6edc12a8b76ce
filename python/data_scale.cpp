#include "python/data_scale.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "core/foundation/format.hpp"
#include "core/foundation/grid_fn.hpp"

namespace quorvane::py {

bool overflowed_inside(const Expected<std::vector<double>>& r) {
    if (r) return first_non_finite<double>(*r) != nullptr;
    // A step's refusal of its own result names the non-finite value.
    return r.error().variant() == CoreError::Variant::DomainViolation && !std::isfinite(r.error().f0());
}

int retry_exponent(std::span<const double> values) { return unit_scale_exponent(values) + kDeepScaleExtra; }

double largest_scaled_by(double top_in, double top_out, int e) {
    const int ei = std::ilogb(top_in), eo = std::ilogb(top_out);
    const double mantissas = std::ldexp(std::numeric_limits<double>::max(), -1023) * std::ldexp(top_in, -ei) /
                             std::ldexp(top_out, -eo);
    return std::ldexp(mantissas, 1023 + ei - eo - e);
}

double largest_abs(std::span<const double> values) {
    double top = 0.0;
    for (double v : values) top = std::fmax(top, std::fabs(v));
    return top;
}

void raise_result_overflow(const char* cls, std::span<const double> values, double top_in, double top_out,
                           double passes) {
    const double largest = std::numeric_limits<double>::max();
    // largest / (top_out / top_in); where that growth overflows, top_out is
    // far above top_in and largest / top_out a double.
    const double growth = top_out / top_in;
    if (!(passes > 0.0)) {
        passes = floor_4_digits(std::isfinite(growth) ? largest / growth : largest / top_out * top_in);
    }
    py_err_with_kind("NanInf", std::string(cls) + ": the result lies beyond the double range: these steps grow max|u| " +
                                   "by a factor " + fmt_exp3_quotient(top_out, top_in) + ", and max|u0| = " +
                                   fmt_exp3(largest_abs(values)) + " takes it past the largest double, " +
                                   fmt_exp3(largest) + "; the same data scaled down to max|u0| <= " + fmt_exp3(passes) +
                                   " stay within it");
}

ColumnScales::ColumnScales(std::span<const double> data, std::size_t len) {
    const std::size_t cols = len == 0 || data.empty() || data.size() % len != 0 ? 1 : data.size() / len;
    const std::size_t n = data.size() / cols;
    e_.reserve(cols);
    tops_.reserve(cols);
    for (std::size_t c = 0; c < cols; ++c) {
        const std::span<const double> col = data.subspan(c * n, n);
        e_.push_back(unit_scale_exponent(col));
        tops_.push_back(std::ldexp(largest_abs(col), -e_.back()));
    }
}

std::vector<double> ColumnScales::down(std::span<const double> data, int extra) const {
    std::vector<double> v(data.begin(), data.end());
    const std::size_t n = v.size() / e_.size();
    for (std::size_t c = 0; c < e_.size(); ++c) {
        scale_by_power_of_two(std::span<double>(v).subspan(c * n, n), -(e_[c] + extra));
    }
    return v;
}

void ColumnScales::back(std::vector<double>& out, int extra, BeyondRange& beyond) const {
    const std::size_t cols = out.size() % e_.size() == 0 ? e_.size() : 1;
    const std::size_t n = out.size() / cols;
    for (std::size_t c = 0; c < cols; ++c) {
        const std::span<double> col = std::span<double>(out).subspan(c * n, n);
        const double top = largest_abs(col);
        const int k = e_[c] + extra;
        scale_by_power_of_two(col, k);
        if (all_finite(col)) continue;
        // Column c ends at max|u| = top 2^k: every column stays within the
        // range once the data are scaled by the least largest / (top 2^k).
        const double factor = largest_scaled_by(1.0, top, k);
        if (beyond.top_out == 0.0 || factor < beyond.factor) {
            beyond = {std::ldexp(tops_[c], -extra), top, factor, beyond.inside_at};
        }
    }
}

void refuse_beyond(const char* cls, std::span<const double> data, const BeyondRange& beyond) {
    if (beyond.top_out > 0.0) {
        raise_result_overflow(cls, data, beyond.top_in, beyond.top_out,
                              floor_4_digits_inside(largest_abs(data) * beyond.factor));
    }
}

}  // namespace quorvane::py
