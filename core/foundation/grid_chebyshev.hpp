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
    // The interpolant's node values (empty for an invalid M).
    std::span<const double> node_values() const { return nodes_; }
    // The grid function read and its effective grid.
    std::span<const double> values() const { return values_; }
    const Grid1D<double>& grid() const { return grid_; }

private:
    std::span<const double> values_;
    Grid1D<double> grid_;
    std::uint64_t m_ = 0;
    std::vector<double> nodes_;
};

// Reads of grid functions of one Chebyshev-sampled grid at points fixed for
// a whole call (a step's quadrature points): each point is located once (a
// point beyond the ends folded back as the grid's policy folds it, a point
// on a Chebyshev node or a constant outside the grid recognised), so that a
// step reads all of them in one pass over the interpolant's nodes, many
// points side by side. Every read gives exactly what Grid1D::interp gives:
// the same terms summed in the same order.
class ChebyshevReadPlan {
public:
    // Plans the points on `grid` (of the Chebyshev kind); false where some
    // point is not planned: not finite, an invalid M, or beyond an end whose
    // policy reads the grid function itself there ("linear", clamp).
    bool make(const Grid1D<double>& grid, std::span<const double> points);

    // out[r] = the read of point r from `samples` (filled on the planned grid).
    void run(const ChebyshevSamples& samples, double* out);

private:
    static constexpr std::size_t kLanes = 64;  // points read side by side
    // Seam: a periodic point folded into the cell past xmax, read by the
    // Hermite interpolant.
    enum class Kind : std::uint8_t { Interpolant, Node, Constant, Seam };
    struct Point {
        double x;  // the (folded) point; the value of a Constant
        std::uint32_t node;  // the node of a Node
        Kind kind;
        bool negate;  // an odd reflection
    };
    std::vector<Point> points_;
    std::vector<double> node_x_, node_w_;  // the nodes and barycentric weights
};

// Node j of the fixed table for M: cos(j*pi/M) correctly rounded to double.
// M not one of 8, 16, ..., 512, or j > M, is an internal fault.
double chebyshev_node(std::uint64_t m, std::uint64_t j);

}  // namespace quorvane
