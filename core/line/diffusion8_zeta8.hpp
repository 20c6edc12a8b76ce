// The third rung of the zeta (Richardson) ladder: (64 Z6(tau/2)^2 - Z6(tau))/63.
//
// One step makes 3 second-rung steps, 9 first-rung steps and 27 heat4 sweeps
// (steps tau, tau/2, tau/4, tau/8). Temporal order 3, like the rungs below:
// the ladder's weights assume even powers of tau, which heat4 does not have.
#pragma once

#include "core/line/diffusion6_zeta6.hpp"

namespace quorvane {

struct Diffusion8thZeta8Chernoff {
    Diffusion6thZeta6Chernoff zeta6;
    Grid1D<double> grid;

    static constexpr double kWeight = 64.0;
    static constexpr double kDivisor = 63.0;
    static constexpr int kTemporalOrder = 3;

    static Diffusion8thZeta8Chernoff over(Diffusion4thChernoff inner);

    // The unit kernel of Heat1DZeta8: its heat4 sweeps sample through
    // Chebyshev sampling of 64 points.
    static Diffusion8thZeta8Chernoff unit_chebyshev(const Grid1D<double>& grid);

    const Diffusion4thChernoff& inner() const { return zeta6.zeta4.inner; }

    // The stepping form for run_steps (workers kept for the whole call).
    ZetaSteps<Diffusion6thZeta6Chernoff> node_steps(const Grid1D<double>& g, double tau, std::size_t shares,
                                                    std::size_t steps) const {
        return {zeta6, grid, kWeight, kDivisor, g, tau, shares, steps};
    }

    Status apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>& pool, double tau) const;
};

}  // namespace quorvane
