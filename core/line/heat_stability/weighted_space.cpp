#include "core/line/heat_stability/weighted_space.hpp"

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

}  // namespace quorvane::heat_judgement
