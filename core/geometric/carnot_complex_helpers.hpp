// The complex triple jump on the five-dimensional filiform group
// (X_1 = d/dx0, X_2 = d/dx1 + x0 d/dx2 + x2 d/dx3 + x3 d/dx4):
//   Psi(tau) = K(g tau) K((1 - 2g) tau) K(g tau),
// g the root of 2g^3 + (1 - 2g)^3 = 0 with Re g > 0 and Re(1 - 2g) > 0, and
// K(c) = E_1(c/4) E_2(c/2) E_1(c/4) the palindromic field-step composition
// evaluated for a complex parameter c on a complex grid function.
//
// A complex field step reads u at the complex displacement x - w xi_k
// (w = sqrt(2c)) only to first order in Im w: the real part of the
// displacement is interpolated, the imaginary part enters through a slope.
// Each sub-step therefore diffuses with Re(w)^2/2 instead of Re(w^2)/2; over
// the three sub-steps the weights sum to 1.0725 instead of 1, so the step is
// first order in tau (its error halves with tau), not fourth.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/geometric/complex_arith.hpp"
#include "core/geometric/hormander.hpp"

namespace quorvane {

using FiliformAxes = std::array<BoxAxis, 5>;

// n^5 complex values on five axes, axis 0 fastest.
struct CplxGridFn5 {
    FiliformAxes axes{};
    std::vector<Cplx> values;

    static CplxGridFn5 from_real(const FiliformAxes& axes, const std::vector<double>& u);
    // 5-linear read at p (constant beyond the box).
    Cplx interpolate(const std::array<double, 5>& p) const;
};

// The principal square root of 2s.
Cplx sqrt_two_s(Cplx s);

// The X_1 step with complex parameter s; s = 0 copies. Both steps fail only
// on a stop request (poll_stop): one takes seconds on 12^5 values.
Status complex_field_flow(Cplx s, const CplxGridFn5& in, std::vector<Cplx>& out);
// The X_2 step with complex parameter s: reads at the flow of -X_2 for the
// time Re(w) xi_k, corrected by the slope along the second and third
// coordinates for Im(w) xi_k; s = 0 copies.
Status filiform_x2_flow(Cplx s, const CplxGridFn5& in, std::vector<Cplx>& out);

struct ComplexTripleJump {
    // g*, 1 - 2 g*, g*: the sub-times in order of application.
    static const std::array<Cplx, 3>& gamma_table();
    // |2g^3 + (1 - 2g)^3| < 1e-12, Re g > 0, Re(1 - 2g) > 0.
    static bool verify_gamma_star();

    // Psi(tau) of a complex state; tau must be finite and >= 0.
    static Expected<CplxGridFn5> apply(double tau, CplxGridFn5 state);
    // Re Psi(tau) u for real u on the axes (the filiform field list is
    // carried along, not read).
    static Expected<std::vector<double>> apply_real(double tau, const FieldList& group, const FiliformAxes& axes,
                                                    const std::vector<double>& u);
};

}  // namespace quorvane
