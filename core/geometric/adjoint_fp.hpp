// The dual of the Chernoff function of a f'' + b f' + c f acting on a
// weighted Dirac measure, without any reduction.
//
// S(tau) f(x) = f(x + h)/4 + f(x - h)/4 + f(x + k)/2 + tau c f(x), with
// h = 2 sqrt(a tau) and k = 2 b tau, so for every f and every measure mu
//   integral S(tau) f dmu = integral f d(S*(tau) mu):
// each atom (x, w) becomes (x + h, w/4), (x - h, w/4), (x + k, w/2),
// (x, tau c w). S(tau) = I + tau L + O(tau^2): the moments follow the
// Fokker-Planck flow to first order (mass (1 + tau c)^n after n steps).
// The atom count grows fourfold per step.
#pragma once

#include <cstddef>

#include "core/foundation/error.hpp"
#include "core/geometric/measure_state.hpp"

namespace quorvane {

struct AdjointFokkerPlanck {
    double a = 0.0;
    double b = 0.0;
    double c = 0.0;

    // a, b, c finite ("adjoint_fp: a, b, c must be finite", value a), then
    // a >= 0: the diffusive children sit at x +- 2 sqrt(a tau).
    static Expected<AdjointFokkerPlanck> make(double a, double b, double c);

    // n_steps steps, each of the full size tau (total time n_steps * tau).
    // Refuses a final count above kMaxAtoms before allocating anything.
    // Non-finite positions or weights are not refused; they propagate.
    Expected<MeasureState> step(MeasureState m, double tau, std::size_t n_steps) const;
};

}  // namespace quorvane
