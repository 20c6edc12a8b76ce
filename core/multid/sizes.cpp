#include "core/multid/sizes.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace quorvane {

std::string exact_product_text(Counts factors) {
    // Little-endian base-1e9 limbs; a handful of 64-bit factors needs few.
    std::vector<std::uint64_t> limbs{1};
    constexpr std::uint64_t kBase = 1000000000ULL;
    for (std::size_t f : factors) {
        // limb < 1e9 and f < 2^64, so limb*f + carry stays below 2^128.
        unsigned __int128 carry = 0;
        for (std::uint64_t& limb : limbs) {
            const unsigned __int128 cur = static_cast<unsigned __int128>(limb) * f + carry;
            limb = static_cast<std::uint64_t>(cur % kBase);
            carry = cur / kBase;
        }
        while (carry != 0) {
            limbs.push_back(static_cast<std::uint64_t>(carry % kBase));
            carry /= kBase;
        }
    }
    while (limbs.size() > 1 && limbs.back() == 0) limbs.pop_back();
    std::string s = std::to_string(limbs.back());
    for (std::size_t k = limbs.size() - 1; k-- > 0;) {
        std::string part = std::to_string(limbs[k]);
        s += std::string(9 - part.size(), '0') + part;
    }
    return s;
}

}  // namespace quorvane
