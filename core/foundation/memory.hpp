// How much memory the machine has, for refusing sizes that could never be
// allocated before anything is allocated: a request that fits in physical
// memory is always let through, however large, so only sizes beyond it are
// refused.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace quorvane {

// The machine's physical memory in bytes (SIZE_MAX when it cannot be told).
std::size_t physical_memory_bytes();

// Whether `bytes` is at most the machine's physical memory; nullopt stands
// for a count that does not even fit in size_t.
bool fits_in_memory(std::optional<std::size_t> bytes);

// "this machine's memory (2.468e10 bytes)", the tail of the refusals.
std::string machine_memory_text();

}  // namespace quorvane
