// Reverse-mode gradient of N steps of the 1-D shift kernel with respect to
// one per-node coefficient field (a, b or c).
//
// The step at node i samples the current values at x_i +- 2 sqrt(tau a_i)
// (weight 1/4 each) and at x_i + 2 tau b_i (weight 1/2), applies the
// reaction as Shift1D's step does (shift_reaction: the mean scaled by
// 1 + tau c_i where c_i < 0, tau c_i u_i added elsewhere) and clips the new
// value to the range the flow keeps, as Shift1D clips it: that of u0's read
// walked on by e^{tau min c}, e^{tau max c} every step (see
// core/foundation/flow_range.hpp). Every ceil(sqrt(N))-th forward state is
// kept and the others recomputed from it on the way back; the cotangent is
// carried back through the exact transpose of each step, assembled from the
// weights of unit vectors, so every effect of the boundary policy (mirror
// images, wrap-around, one-sided extrapolation) is included. A clipped value
// is the range's end: it passes nothing back to the state or to a and b,
// and to c only through the range's factors (the node where c is largest,
// or smallest). The result is the gradient of the map Shift1D computes
// wherever that map is differentiable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"

namespace quorvane {

enum class CoeffWrt : std::uint8_t { A = 0, B = 1, C = 2 };

struct ShiftCoeffProblem {
    const Grid1D<double>& grid;
    std::span<const double> a;
    std::span<const double> b;
    std::span<const double> c;
    double tau;
    std::uint64_t n_steps;
};

// Node indices and weights such that grid.interp(v, x) (grid.interp_foot(v, x)
// for a transport read) = sum weight_j v[node_j].
struct InterpStencil {
    std::size_t count = 0;
    std::array<std::size_t, 20> nodes{};
    std::array<double, 20> weights{};
};

// Weights at x by reading unit vectors; `scratch` (n zeros) is all zeros
// again on return.
Expected<InterpStencil> interp_weights(double x, const Grid1D<double>& grid, std::span<double> scratch,
                                       bool foot = false);

// out = S^T lambda for the step S(tau) before its clip (linear in the
// values). `scratch` holds n zeros on entry and on success.
Status shift1d_step_vjp(double tau, const Grid1D<double>& grid, std::span<const double> a,
                        std::span<const double> b, std::span<const double> c, std::span<const double> lambda,
                        std::span<double> out, std::span<double> scratch);

// Whether every read of one forward step of tau, and of the derivatives'
// reads a step's width eps = dx/10^4 beside them, can be located on the grid
// (read_is_located); a node with a negative a counts as located (its step
// refuses it). Reads move out with tau, so a longer step reads no nearer.
bool shift1d_coeff_reads_located(const Grid1D<double>& grid, std::span<const double> a, std::span<const double> b,
                                 double tau);

// grad_out[i] = dJ/dtheta_i for the selected field theta, given the
// cotangent dJ/du_N of the final state. A forward state or a gradient that
// leaves the double range is refused (DomainViolation with the non-finite
// value), the forward state as soon as it is computed; so is a step count
// whose checkpoints do not fit in the machine's memory.
Status shift1d_coeff_gradient(const ShiftCoeffProblem& problem, CoeffWrt wrt, std::span<const double> u0,
                              std::span<const double> dj_du_n, std::span<double> grad_out);

}  // namespace quorvane
