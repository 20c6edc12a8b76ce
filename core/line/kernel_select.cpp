#include "core/line/kernel_select.hpp"

#include <vector>

namespace quorvane {

std::optional<KernelName> parse_kernel_name(std::string_view s) {
    if (s == "heat2") return KernelName::Heat2;
    if (s == "heat4") return KernelName::Heat4;
    if (s == "heat6") return KernelName::Heat6;
    if (s == "drift") return KernelName::Drift;
    if (s == "shift") return KernelName::Shift;
    return std::nullopt;
}

Expected<GridFn<double>> make_checked_state(BoundaryPolicy<double> boundary, double xmin, double xmax, std::size_t n,
                                            std::span<const double> u0) {
    auto grid = Grid1D<double>::make(boundary, InterpKind::septic(), xmin, xmax, n);
    if (!grid) return fail(grid.error());
    return GridFn<double>::make(*grid, std::vector<double>(u0.begin(), u0.end()));
}

}  // namespace quorvane
