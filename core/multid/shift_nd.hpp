// The anisotropic shift Chernoff function of
// L u = A(p):grad^2 u + b(p).grad u + c(p) u on a D-dimensional tensor grid:
//
//   (F(tau) u)(p) = exp(tau c(p)) pi^(-D/2) sum_q W_q u(p + tau b(p) + 2 sqrt(tau) L(p) z_q),
//
// A = L L^T (Cholesky), z_q and W_q the D-fold product of the five-point
// Gauss-Hermite rule (weight e^(-z^2)). Off-grid values come from the
// tensor-product interpolation of the grid. Order 1 in the number of steps;
// F(0) is the identity since each axis's weights sum to sqrt(pi).
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/flow_range.hpp"
#include "core/foundation/grid_nd.hpp"

namespace quorvane {

template <std::size_t D>
using Point = std::array<double, D>;
// Shared, immutable coefficient functions of a point, callable from any thread.
template <std::size_t D>
using TensorField = std::shared_ptr<const std::function<void(const Point<D>&, std::span<double>)>>;  // D*D, column-major
template <std::size_t D>
using VectorField = std::shared_ptr<const std::function<void(const Point<D>&, std::span<double>)>>;  // D entries
template <std::size_t D>
using ScalarField = std::shared_ptr<const std::function<double(const Point<D>&)>>;

inline constexpr std::array<double, 5> kGaussHermiteNodes{-2.020182870456086, -0.958572464613819, 0.0,
                                                          0.958572464613819, 2.020182870456086};
inline constexpr std::array<double, 5> kGaussHermiteWeights{0.019953242059046, 0.393619323152241, 0.945308720482942,
                                                            0.393619323152241, 0.019953242059046};

template <std::size_t D>
struct AnisotropicShiftChernoffND {
    GridND<D> grid;
    // Per node (flat order, axis 0 fastest) the lower Cholesky factor,
    // entry (r, c) at c*D + r.
    std::vector<std::array<double, D * D>> factors;
    VectorField<D> drift;
    ScalarField<D> reaction;

    // At least 5^D nodes; the tensor (only its lower triangle read) factored
    // at every node, the first pivot <= 0 refused with its value; a stop
    // request (poll_stop) ends it too.
    static Expected<AnisotropicShiftChernoffND> make(const GridND<D>& grid, const TensorField<D>& a,
                                                     VectorField<D> b, ScalarField<D> c);

    // out[k] = (F(tau) u)(x_k) for every node k of u; tau finite and >= 0.
    // A stop request (poll_stop) ends it.
    Status apply_into(const GridFnND<D>& u, std::span<double> out, double tau) const;

    // The coordinates of node k.
    Point<D> node(std::size_t k) const;
};

// The factors e^{tau min c} and e^{tau max c} over the grid's nodes by which
// a step of tau scales (each node by e^{tau c} of its own c).
template <std::size_t D>
ReactionFactors reaction_factors(const AnisotropicShiftChernoffND<D>& op, double tau);

// `steps` steps of tau from u, each new value clipped to `range` walked on
// by reaction_factors (see core/foundation/flow_range.hpp): the cubic reads
// where characteristics meet, or of rough data, would otherwise carry their
// overshoot on step after step. Returns the values; on success `range`
// holds the range after them. A stop request ends it.
template <std::size_t D>
Expected<std::vector<double>> evolve_in_range(const AnisotropicShiftChernoffND<D>& op, GridFnND<D> u, double tau,
                                              std::size_t steps, FlowRange& range);

extern template struct AnisotropicShiftChernoffND<2>;
extern template struct AnisotropicShiftChernoffND<3>;

// out[k] = (F(tau) u)(x_k) for A = I, b = 0, c = 0: the values apply_into
// gives with identity factors, no drift and no reaction. A point's shift
// along an axis then depends on that axis alone, so the taps of the five
// shifts of every node index are found once per axis; the nodes are spread
// over `workers` workers (0: sweep_worker_count).
//
// The grid must hold at least 5^D nodes, as make demands: a caller checks it
// with shift_grid_check where make would have been its first refusal.
template <std::size_t D>
Status unit_shift_apply_into(const GridFnND<D>& u, std::span<double> out, double tau, std::size_t workers = 0);

// Whether every read of one step of tau can be located (each coordinate
// finite and within 2^53 cells of its axis, read_is_located): the 5^D rule
// points of every node, the identity-tensor step's for the unit step. The
// rule is symmetric, so a longer step reads no nearer. Judged before the
// steps, so that a refusal can name the longest step that passes.
template <std::size_t D>
bool shift_reads_located(const AnisotropicShiftChernoffND<D>& op, double tau);
template <std::size_t D>
bool unit_shift_reads_located(const GridND<D>& grid, double tau);

// make's refusal of a grid with fewer than 5^D nodes.
template <std::size_t D>
Status shift_grid_check(const GridND<D>& grid);

}  // namespace quorvane
