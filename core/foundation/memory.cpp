#include "core/foundation/memory.hpp"

#include <unistd.h>

#include <limits>

#include "core/foundation/format.hpp"

namespace quorvane {

std::size_t physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    std::size_t bytes = 0;
    if (pages <= 0 || page_size <= 0 ||
        __builtin_mul_overflow(static_cast<std::size_t>(pages), static_cast<std::size_t>(page_size), &bytes)) {
        return std::numeric_limits<std::size_t>::max();
    }
    return bytes;
}

bool fits_in_memory(std::optional<std::size_t> bytes) { return bytes && *bytes <= physical_memory_bytes(); }

std::string machine_memory_text() {
    return "this machine's memory (" + fmt_exp3(static_cast<double>(physical_memory_bytes())) + " bytes)";
}

}  // namespace quorvane
