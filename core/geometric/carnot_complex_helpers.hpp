// The complex triple jump on the five-dimensional filiform group
// (X_1 = d/dx0, X_2 = d/dx1 + x0 d/dx2 + x2 d/dx3 + x3 d/dx4):
//   Psi(tau) = K(g tau) K((1 - 2g) tau) K(g tau),
// g the root of 2g^3 + (1 - 2g)^3 = 0 with Re g > 0 and Re(1 - 2g) > 0, and
// K(c) = E_1(c/4) E_2(c/2) E_1(c/4) the palindromic field-step composition
// evaluated for a complex parameter c on a complex grid function.
//
// A complex field step of parameter s averages u over the complex
// displacement x - w xi_k (w = sqrt(2s)) with the 32-point Gauss-Hermite
// rule. u is read at the complex point itself, through a per-axis Lagrange
// polynomial continued off the real axis (see axis_taps in the .cpp), so a
// field step diffuses with Re(w^2)/2 = Re(s) and, away from the ends, equals
// exp(s X^2/2) on every polynomial of degree <= 4 per axis. The triple jump
// of these exact flows is fourth order: the local error on x2^2 x3^2 is
// 1.5551e-3 tau^5 (errors fall by 32 per halving of tau). On smooth data the
// read adds an error O(dx^4) per unit time that does not grow as tau shrinks.
//
// The continued polynomials grow with the imaginary part of the read point:
// a field step whose read points lie about a cell (per unit rule node) off
// the real axis amplifies grid-scale content, the more the further. A step
// therefore takes each field factor exp(s X^2/2) as k equal pieces
// exp((s/k) X^2/2), the same flow by the semigroup property, with the least
// k that keeps every read within kMaxReadReach cells; ordinary steps take
// k = 1, and the composition and its order are unchanged. Steps needing
// more than kMaxSubSteps pieces in all are refused.
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
};

// The principal square root of 2s.
Cplx sqrt_two_s(Cplx s);

// The X_1 step with complex parameter s; s = 0 copies. Both steps fail only
// on a stop request (poll_stop): an X_2 step takes a second on 12^5 values.
Status complex_field_flow(Cplx s, const CplxGridFn5& in, std::vector<Cplx>& out);
// The X_2 step with complex parameter s: reads at the flow of -X_2 for the
// complex time w xi_k; s = 0 copies.
Status filiform_x2_flow(Cplx s, const CplxGridFn5& in, std::vector<Cplx>& out);

struct ComplexTripleJump {
    // g*, 1 - 2 g*, g*: the sub-times in order of application.
    static const std::array<Cplx, 3>& gamma_table();
    // |2g^3 + (1 - 2g)^3| < 1e-12, Re g > 0, Re(1 - 2g) > 0.
    static bool verify_gamma_star();

    // Read points at most this far from the real points, in cells per unit
    // rule node. Pieces repeated back to back grow grid-scale content once
    // their reads reach between 0.92 cells (box [5, 6] with 12 nodes an axis,
    // where x0 w moves the last three coordinates alike) and 1.5 (one axis
    // alone) on grids of five nodes an axis or more; at 0.7 they shrink it on
    // every grid measured, of 4 to 31 nodes an axis.
    static constexpr double kMaxReadReach = 0.7;
    // The most field sub-steps a step takes, about a hundred unsplit steps'
    // work: larger steps are refused rather than run for hours.
    static constexpr std::size_t kMaxSubSteps = 1024;
    // The pieces of the nine field factors of Psi(tau), in order of application.
    static std::array<std::size_t, 9> sub_steps(double tau, const FiliformAxes& axes);
    static std::size_t total_sub_steps(const std::array<std::size_t, 9>& pieces);
    // For a refused tau, the largest step taking at most kMaxSubSteps pieces.
    static double max_step(double tau, const FiliformAxes& axes);

    // Psi(tau) of a complex state; tau must be finite and >= 0 and take at
    // most kMaxSubSteps field sub-steps.
    static Expected<CplxGridFn5> apply(double tau, CplxGridFn5 state);
    // Re Psi(tau) u for real u on the axes (the filiform field list is
    // carried along, not read).
    static Expected<std::vector<double>> apply_real(double tau, const FieldList& group, const FiliformAxes& axes,
                                                    const std::vector<double>& u);
};

}  // namespace quorvane
