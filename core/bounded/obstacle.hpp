// The obstacle problem u_t = a u'' + b u' + c u with u >= g: each step is a
// linear Chernoff step followed by the projection onto {u >= g}.
//
// The projection is only Lipschitz, so the scheme is first order in time
// whatever the order of the linear step.
#pragma once

#include <cstddef>
#include <span>
#include <variant>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/line/diffusion.hpp"
#include "core/line/strang.hpp"

namespace quorvane {

// One floor level at every node.
struct ConstantObstacle {
    double level = 0.0;

    // level finite ("ConstantObstacle: level must be finite").
    static Expected<ConstantObstacle> make(double level);

    double floor_at(std::size_t) const { return level; }
    // u[i] = max(u[i], level); strict comparison, so NaN and equal values stay.
    Status project_in_place(std::span<double> u) const;
};

// One floor value per node.
struct ArrayObstacle {
    std::vector<double> g;

    // Every entry finite ("ArrayObstacle: obstacle_array contains NaN or
    // Inf"); the caller checks the length against its grid.
    static Expected<ArrayObstacle> make(std::vector<double> g);

    double floor_at(std::size_t i) const { return g[i]; }
    // Fails when u's length differs from the obstacle's.
    Status project_in_place(std::span<double> u) const;
};

using Obstacle = std::variant<ConstantObstacle, ArrayObstacle>;

// D(tau/2) R(tau) D(tau/2) with the constant coefficients a, b, c (D bounded
// by a, R by |c|).
StrangDiffusionDrift constant_coefficient_kernels(const Grid1D<double>& grid, double a, double b, double c);

// Per node of the inactive-set curvature: gamma (0 where refused), the
// defined flags and their count.
struct InactiveGamma {
    std::vector<double> gamma;
    std::vector<bool> defined;
    std::size_t count = 0;
    // Where some V'' lies beyond the double range (its gamma is +-inf): the
    // first such node, and the max|v| (four digits, inside) below which
    // every V'' of v scaled to it is a double. -1 and 0 where none is.
    std::ptrdiff_t beyond = -1;
    double data_bound = 0.0;
};

struct ObstacleChernoff {
    // The plain diffusion step when b = c = 0, else the Strang composition.
    std::variant<DiffusionChernoff, StrangDiffusionDrift> kernel;
    Obstacle obstacle;

    const Grid1D<double>& grid() const;

    // n_steps linear steps of t / n_steps, each followed by the projection.
    // `values` is validated as a grid function first.
    Expected<std::vector<double>> evolve(std::vector<double> values, double t, std::size_t n_steps) const;

    // V'' by central differences where V and both neighbours lie strictly
    // above the obstacle; every other node (ends, contact, guard band) is
    // refused.
    Expected<InactiveGamma> apply_inactive_gamma_into(std::span<const double> v) const;
};

// Whether every read of one linear step of tau can be located
// (read_reach.hpp): the heat step's, or the Strang product's half heat
// steps and the drift's feet, every node's, as the step forms them.
bool step_reads_located(const ObstacleChernoff& evolver, double tau);

// The adjoint of the projected step has no transpose primitive here: always
// UnsupportedOperation.
Status apply_active_set_adjoint_into(const ObstacleChernoff& evolver, const GridFn<double>& w_fwd,
                                     const GridFn<double>& lam, double tau);

}  // namespace quorvane
