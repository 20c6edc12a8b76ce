#include "core/graph/norm_guard.hpp"

#include <algorithm>
#include <cmath>

namespace quorvane {

double norm2(std::span<const double> v) {
    double big = 0.0;
    for (const double x : v) big = std::max(big, std::fabs(x));
    if (!(big > 0.0) || !std::isfinite(big)) return big;
    const double inv = 1.0 / big;
    double sum = 0.0;
    for (const double x : v) sum += (x * inv) * (x * inv);
    return big * std::sqrt(sum);
}

double rounding_growth(std::uint64_t n_steps, int products, double unit) {
    return unit * (1024.0 + 16.0 * static_cast<double>(products) * static_cast<double>(n_steps));
}

std::optional<NormGrowth> first_grown_column(std::span<const double> before, std::span<const double> after,
                                             std::size_t n, double log_allowance, double tol) {
    if (!std::isfinite(log_allowance) || n == 0 || before.size() != after.size()) return std::nullopt;
    const double factor = std::exp(log_allowance) * (1.0 + tol);
    if (!std::isfinite(factor)) return std::nullopt;
    for (std::size_t c = 0; c * n < before.size(); ++c) {
        const double a = norm2(before.subspan(c * n, n));
        const double b = norm2(after.subspan(c * n, n));
        if (b > a * factor) return NormGrowth{c, a, b};
    }
    return std::nullopt;
}

}  // namespace quorvane
