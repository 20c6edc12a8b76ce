// n_steps Strang steps of the unit heat evolvers on a rectangle or a box.
#pragma once

#include <cstddef>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/multid/strang2d.hpp"
#include "core/multid/strang3d.hpp"

namespace quorvane {

// `values` checked as a grid function (length nx*ny, then finiteness), then
// n_steps >= 1 steps of tau by the planned sweeps (strang2d_steps,
// strang3d_steps): two arrays and one set of sweep steppers for the call.
Expected<std::vector<double>> heat2d_evolve_grid(const Strang2D& stepper, const Grid2D& grid,
                                                 std::vector<double> values, std::size_t n_steps, double tau);
Expected<std::vector<double>> heat3d_evolve_grid(const Strang3D& stepper, const Grid3D& grid,
                                                 std::vector<double> values, std::size_t n_steps, double tau);

// The full-grid variable form: the same for pencil steps (pencil2d_steps).
Expected<std::vector<double>> pencil_evolve(const Strang2DPencil& pencil, std::vector<double> values,
                                            std::size_t n_steps, double tau);

// Whether every read of one step of tau can be located (read_reach.hpp):
// each leg's, at the step length the leg takes (tau/2 for the outer legs).
bool strang2d_reads_located(const Strang2D& stepper, double tau);
bool strang3d_reads_located(const Strang3D& stepper, double tau);
bool pencil_reads_located(const Strang2DPencil& pencil, double tau);

}  // namespace quorvane
