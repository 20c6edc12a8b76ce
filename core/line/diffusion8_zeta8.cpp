#include "core/line/diffusion8_zeta8.hpp"

namespace quorvane {

Diffusion8thZeta8Chernoff Diffusion8thZeta8Chernoff::over(Diffusion4thChernoff inner) {
    Grid1D<double> g = inner.grid;
    return Diffusion8thZeta8Chernoff{Diffusion6thZeta6Chernoff::over(std::move(inner)), g};
}

Diffusion8thZeta8Chernoff Diffusion8thZeta8Chernoff::unit_chebyshev(const Grid1D<double>& grid) {
    Diffusion4thChernoff k = Diffusion4thChernoff::unit(grid);
    k.use_chebyshev = true;
    k.chebyshev_m = 64;
    return over(std::move(k));
}

Status Diffusion8thZeta8Chernoff::apply_into(const GridFn<double>& in, GridFn<double>& out,
                                             ScratchPool<double>& pool, double tau) const {
    return zeta_rung_step(zeta6, grid, kWeight, kDivisor, in, out, pool, tau);
}

}  // namespace quorvane
