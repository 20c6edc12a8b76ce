// Evaluation of a grid function through the polynomial of degree M that
// interpolates its degree-7 Hermite values at the M+1 Chebyshev points.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/foundation/grid_fn.hpp"

namespace quorvane {

// `grid` is the effective grid (its policy decides the treatment outside
// [xmin, xmax]); M must be one of 8, 16, ..., 512.
template <class F>
Expected<F> chebyshev_sample(std::span<const F> values, const Grid1D<F>& grid, std::uint64_t m, F x);

// The grid whose policy a Chebyshev read folds with: `grid` with the
// boundary its interp kind names (or its own).
template <class F>
Grid1D<F> chebyshev_effective_grid(const Grid1D<F>& grid) {
    Grid1D<F> eff = grid;
    switch (grid.interp_kind.cheb_boundary) {
        case ChebyshevBoundary::FromGrid: break;
        case ChebyshevBoundary::Reflect: eff.boundary.tag = BoundaryTag::Reflect; break;
        case ChebyshevBoundary::Periodic: eff.boundary.tag = BoundaryTag::Periodic; break;
        case ChebyshevBoundary::Zero:
        default: eff.boundary.tag = BoundaryTag::Zero; break;
    }
    return eff;
}

// Reads of one grid function on a grid of the Chebyshev kind, with the
// interpolant's M+1 node values computed once (fill); every read gives
// exactly what Grid1D::interp gives.
class ChebyshevSamples {
public:
    void fill(std::span<const double> values, const Grid1D<double>& grid);
    Expected<double> read(double x) const;

private:
    std::span<const double> values_;
    Grid1D<double> grid_;
    std::uint64_t m_ = 0;
    std::vector<double> nodes_;
};

// Node j of the fixed table for M: cos(j*pi/M) correctly rounded to double.
// M not one of 8, 16, ..., 512, or j > M, is an internal fault.
double chebyshev_node(std::uint64_t m, std::uint64_t j);

}  // namespace quorvane
