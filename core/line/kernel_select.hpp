// The five 1-D kernels that the adjoint and adaptive evolvers choose by name.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/foundation/boundary.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"

namespace quorvane {

enum class KernelName : std::uint8_t { Heat2 = 0, Heat4 = 1, Heat6 = 2, Drift = 3, Shift = 4 };

// Exact, case-sensitive match of "heat2", "heat4", "heat6", "drift", "shift".
std::optional<KernelName> parse_kernel_name(std::string_view s);

// The list the unknown-kernel message quotes.
inline constexpr const char* kKernelNameList = "heat2|heat4|heat6|drift|shift";

// The grid checks (xmin finite, xmax finite, xmin < xmax, n >= 4), then the
// grid function of a copy of u0 (length n, then every value finite).
Expected<GridFn<double>> make_checked_state(BoundaryPolicy<double> boundary, double xmin, double xmax, std::size_t n,
                                            std::span<const double> u0);

}  // namespace quorvane
