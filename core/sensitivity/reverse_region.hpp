// Which of K diffusivity regions each grid node belongs to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/foundation/error.hpp"

namespace quorvane {

struct RegionMap {
    std::vector<std::uint64_t> region_of;  // one entry per node, each < k
    std::uint64_t k = 0;

    // k contiguous regions in node order: all but the last hold
    // floor(n_grid / k) nodes, the last the remainder; k = 0 or k > n_grid
    // is refused.
    static Expected<RegionMap> contiguous(std::size_t n_grid, std::uint64_t k);

    std::uint64_t region_count() const { return k; }
};

}  // namespace quorvane
