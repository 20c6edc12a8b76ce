#include "core/line/heat_stability/weighted_space.hpp"

#include <utility>

namespace quorvane::heat_judgement {

std::vector<double> fixed_noise(std::size_t n, std::uint64_t seed) {
    std::vector<double> v(n);
    for (double& e : v) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        e = static_cast<double>(seed >> 11) * 0x1.0p-52 - 1.0;
    }
    return v;
}

std::vector<double> rough_noise(std::size_t n, std::uint64_t seed) {
    std::vector<double> v = fixed_noise(n, seed), t(n);
    for (int pass = 0; pass < 2 && n >= 3; ++pass) {
        for (std::size_t i = 0; i < n; ++i) {
            const double l = v[i == 0 ? 1 : i - 1], r = v[i + 1 == n ? n - 2 : i + 1];
            t[i] = v[i] - 0.25 * (l + 2.0 * v[i] + r);
        }
        std::swap(v, t);
    }
    return v;
}

}  // namespace quorvane::heat_judgement
