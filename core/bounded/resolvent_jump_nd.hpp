// Resolvent time jumps on rectangles and boxes with reflecting faces: the
// contour quadrature of the 1-D jump with a banded solve per node.
#pragma once

#include <cstdint>
#include <vector>

#include "core/bounded/resolvent_jump.hpp"
#include "core/foundation/grid_fn.hpp"

namespace quorvane {

struct ResolventJumpChernoff2D {
    Grid1D<double> x, y;
    std::uint64_t m_nodes = 6;

    // Laplacian scale sum over axes of 1/h^2.
    double laplacian_scale() const;
    // e^{tA} g, g in flat order (x fastest), length nx ny, finite.
    Expected<std::vector<double>> jump(double t, const std::vector<double>& g) const;
};

struct ResolventJumpChernoff3D {
    Grid1D<double> x, y, z;
    std::uint64_t m_nodes = 6;

    // The axis checks in the order x, y, z, then 6 <= M <= kMaxJumpNodes.
    static Expected<ResolventJumpChernoff3D> make(double xmin, double xmax, std::size_t nx, double ymin, double ymax,
                                                  std::size_t ny, double zmin, double zmax, std::size_t nz,
                                                  std::uint64_t m_nodes);
    double laplacian_scale() const;
    Expected<std::vector<double>> jump(double t, const std::vector<double>& g) const;
};

// One axis of a jump grid: the Grid1D checks with their messages.
Expected<Grid1D<double>> jump_axis(double lo, double hi, std::size_t n);

}  // namespace quorvane
