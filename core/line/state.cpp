#include "core/line/state.hpp"

namespace quorvane {

Status evolve_steps_pingpong(const DiffusionChernoff& kernel, std::span<const double> g,
                             GridFn<double>& state, GridFn<double>& scratch, std::size_t n, double tau) {
    if (state.values.size() != g.size()) internal_fault("evolve_steps_pingpong: state length mismatch");
    std::copy(g.begin(), g.end(), state.values.begin());
    ScratchPool<double> unused;
    for (std::size_t k = 0; k < n; ++k) {
        if (Status st = poll_stop(); !st) return st;
        if (Status st = kernel.apply_into(state, scratch, unused, tau); !st) return st;
        std::swap(state, scratch);
    }
    return {};
}

Expected<std::pair<ChernoffSemigroup<DiffusionChernoff>, GridFn<double>>> build_heat_state(
    std::size_t n, std::size_t steps, std::span<const double> u0, BoundaryPolicy<double> boundary, double xmin,
    double xmax) {
    return build_state(n, steps, u0, boundary, xmin, xmax, [](const Grid1D<double>& g) { return DiffusionChernoff::unit(g); });
}

}  // namespace quorvane
