// The Engel-group evolver: hypoelliptic heat on R^4 for the fields
// X_1 = d/dx0 and the chain field X_2 = d/dx1 + x0 d/dx2 + x2 d/dx3.
//
// One step F(tau) = E_1(tau/4) E_2(tau/2) E_1(tau/4) of field steps (see
// hormander.hpp) approximates exp((tau/4)(X_1^2 + X_2^2)) to second order.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/geometric/hormander.hpp"

namespace quorvane {

using EngelAxes = std::array<BoxAxis, 4>;

// The field step of X_1 with parameter s: u(x0 - sigma) read along axis 0.
Status hormander_engel_field_exp(double s, const EngelAxes& axes, std::span<const double> in, std::span<double> out);

// The X_2 step with parameter s: u read 4-linearly at the point reached by
// the flow of X_2 for time -sigma,
//   (x0, x1 - sigma, x2 - x0 sigma, x3 + x0 sigma^2/2 - x2 sigma).
Status engel_x2_step(double s, const EngelAxes& axes, std::span<const double> in, std::span<double> out);

// One step from src into dst (same length); tau must be finite and >= 0.
Status hormander_engel_step(double tau, const EngelAxes& axes, std::span<const double> src, std::span<double> dst);

// n_steps steps of t/n_steps (stop requests polled between steps).
Expected<std::vector<double>> hormander_engel_evolve(const EngelAxes& axes, std::vector<double> values, double t,
                                                     std::size_t n_steps);

}  // namespace quorvane
