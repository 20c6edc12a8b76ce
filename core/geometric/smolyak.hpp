// The Smolyak sparse-grid Chernoff step of unit diffusion on a D-dimensional
// tensor grid (instance D = 6, level 9):
//   (F(tau) u)(x) = pi^{-D/2} sum_k w_k u(x + 2 sqrt(tau) xi_k),
// the D-dimensional Gauss-Hermite average of u over N(0, 2 tau I) with the
// tensor rule replaced by the Smolyak combination of the 1, 3, 5, 7 and
// 9-point rules (533 nodes for D = 6, level 9; some weights negative), u
// read by four-point cubic Hermite interpolation with reflecting axes.
//
// The step is not a contraction for every tau: the negative weights let the
// grid's cosine modes grow once 2 sqrt(tau)/h nears 1 (spectral radius 1.98
// at 2 sqrt(tau)/h = 1 on every grid). `spectral_radius` reads the exact
// eigenvalues off the step's symbol on the grid's cosine modes, which are
// the step's eigenvectors under the reflect taps. They are orthogonal in the
// trapezoid-weighted 2-norm and the eigenvalues are real, so there the step
// is self-adjoint and its norm is its spectral radius; steps of every tau
// share these eigenvectors. A step that amplifies no mode therefore grows no
// data in that norm, and neither does any sequence of such steps, whatever
// their sizes and counts. The first step that amplifies a mode sits at
// 2 sqrt(tau)/h = 0.65859 on every grid (the checkerboard (-1)^(i0+...+i5)).
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_nd.hpp"

namespace quorvane {

// The refusal of a step whose displaced nodes lie beyond the grid's tap
// arithmetic (value: tau).
inline constexpr const char* kSmolyakReachMessage =
    "SmolyakGridND: tau displaces the nodes 2^53 or more cells";

template <std::size_t D>
class SmolyakGridND {
public:
    static constexpr std::size_t kLevel = 9;

    // lo, hi finite with lo < hi and n >= 4 (the grid messages, in that
    // order); then the rule: merged nodes in ascending lexicographic order,
    // weights summing to pi^{D/2} within 1e-10.
    static Expected<SmolyakGridND> make(std::size_t n, double lo, double hi);

    const GridND<D>& grid() const { return grid_; }
    const std::vector<std::array<double, D>>& nodes() const { return nodes_; }
    const std::vector<double>& weights() const { return weights_; }
    std::size_t level() const { return kLevel; }

    // One step of tau >= 0 from u into out (both grid().len() values, flat
    // order with axis 0 fastest).
    // Fails on a stop request (poll_stop): a step over 8^6 values takes
    // seconds; and, before touching out, as check_step does.
    Status step(std::span<const double> u, std::span<double> out, double tau) const;
    // DomainViolation kSmolyakReachMessage (value tau) where a step of tau
    // would read u 2^53 or more cells from the grid's first node: there the
    // tap arithmetic no longer tells neighbouring cells apart, and the
    // symbol behind spectral_radius no longer describes the step.
    Status check_step(double tau) const;

    // The largest modulus of the step's eigenvalues on this grid.
    double spectral_radius(double tau) const;
    // Whether a step of tau grows some mode: its spectral radius exceeds
    // 1 + 1e-9. The constant mode's eigenvalue is the weight sum over pi^3,
    // 1 only up to the weights' rounding, so exactly 1 would refuse every
    // step.
    bool amplifies(double tau) const;
    // The end of the range [0, tau_max] of steps that amplify no mode (the
    // same bound whatever step asks for it).
    double max_contracting_tau() const;

private:
    struct Tap {
        std::size_t node;
        double w;
    };
    // The distinct nonzero node coordinates, in node order.
    std::vector<double> distinct_coords() const;
    // taps[(c * n + i) * 4 + q]: node index and weight of tap q when axis
    // index i is displaced by 2 sqrt(tau) coords[c] (identical axes).
    Expected<std::vector<Tap>> axis_taps(const std::vector<double>& coords, double tau) const;

    GridND<D> grid_{};
    std::vector<std::array<double, D>> nodes_;
    std::vector<double> weights_;
};

// Grid values as values * 2^exponent (exponent >= 0), so that a result
// beyond the double range still has a finite representation.
struct SmolyakScaledValues {
    std::vector<double> values;
    int exponent = 0;
};

// n_steps steps of tau each (the time covered is n_steps * tau), polling
// for a stop request between steps. Data whose step sums could overflow
// are carried scaled down by a power of two from that step on (exact: the
// step is linear), so no intermediate overflows; exponent is 0 for data
// that never needed it, and then values are the plain steps' values.
Expected<SmolyakScaledValues> smolyak_evolve(const SmolyakGridND<6>& op, std::vector<double> values, double tau,
                                             std::size_t n_steps);

}  // namespace quorvane
