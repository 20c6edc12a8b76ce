#include "core/sensitivity/reverse_region.hpp"

#include <algorithm>

namespace quorvane {

Expected<RegionMap> RegionMap::contiguous(std::size_t n_grid, std::uint64_t k) {
    // k - 1 >= n_grid in unsigned arithmetic catches k = 0 as well.
    if (k - 1 >= static_cast<std::uint64_t>(n_grid)) {
        return fail(CoreError::unsupported_operation("RegionMap::contiguous: k must be 1..=n_grid"));
    }
    const std::uint64_t size = static_cast<std::uint64_t>(n_grid) / k;
    RegionMap m;
    m.k = k;
    m.region_of.resize(n_grid);
    for (std::size_t i = 0; i < n_grid; ++i) m.region_of[i] = std::min<std::uint64_t>(k - 1, i / size);
    return m;
}

}  // namespace quorvane
