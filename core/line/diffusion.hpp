// The second-order diffusion Chernoff function ("heat2") for
// du/dt = a(x) u'' on a uniform grid.
//
// One step averages u over five points spread like a Gaussian of variance
// 2 a tau. For a variable coefficient the points ride on a half drift
// a'(x) tau / 2 and a finite-difference correction is added, so the step is
// consistent with the divergence form d/dx (a du/dx) = a u'' + a' u'.
#pragma once

#include <cstddef>

#include "core/foundation/coeff.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel1d.hpp"
#include "core/foundation/parallel_pool.hpp"

namespace quorvane {

struct DiffusionChernoff {
    CoeffSource coef;
    Grid1D<double> grid;
    double a_norm_bound = 1.0;

    Expected<double> apply_node(const GridFn<double>& u, std::size_t i, double tau) const;

    Status apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>&, double tau) const {
        return par_apply_pointwise(out, *this, in, tau);
    }

    // The unit-diffusion kernel (a = 1, a' = a'' = 0, bound 1) on `grid`.
    static DiffusionChernoff unit(const Grid1D<double>& grid) { return {CoeffSource::unit(), grid, 1.0}; }
};

// Quadrature weights of the five-point rule: 7/12, 3/16, 1/48.
inline constexpr double kHeatW0 = 7.0 / 12.0;
inline constexpr double kHeatW1 = 0.1875;
inline constexpr double kHeatW3 = 1.0 / 48.0;

inline constexpr const char* kEllipticityMessage =
    "a(x) must be finite and >= 0 (strict ellipticity required for sqrt)";

}  // namespace quorvane
