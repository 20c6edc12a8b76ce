// The drift-reaction Chernoff function ("drift") for
//   du/dt = b(x) u' + c(x) u
// on a uniform 1-D grid, and the drift-reaction evolver state.
//
// The exact solution transports u along the flow of b and multiplies by the
// exponential of c integrated along the path. One step follows the
// characteristic with the explicit midpoint rule and integrates c with the
// trapezoidal rule: both are second order, so is the step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/foundation/boundary.hpp"
#include "core/foundation/coeff.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/flow_range.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel1d.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/state.hpp"

namespace quorvane {

struct DriftReactionChernoff {
    // Shared closures b, c; when absent the plain slots below are used.
    struct Coeffs {
        SharedCoeff b, c;
    };


    std::optional<Coeffs> coef_override;
    Grid1D<double> grid;
    PlainFn b = coeff_zero;
    PlainFn c = coeff_zero;
    // An upper bound of |c| kept for callers; the steps never read it.
    double c_norm_bound = 0.0;
    // The bounds of c between the nodes (coefficient_bounds), kept by
    // from_arrays (whose closures are fixed) for reaction_factors.
    std::optional<CoefficientBounds> c_bounds;
    // Reads held to the range their cells allow (Grid1D::interp_foot's
    // `bounded`), for a caller whose steps keep no range of their own.
    bool bounded_reads = false;
    // The foot y = x + tau b(x + tau/2 b(x)) of node i's characteristic and
    // the step's reaction factor exp(tau/2 (c(x) + c(y))) there; `reversed`:
    // the foot against b, y = x - tau b(x - tau/2 b(x)), the same factor.
    struct FootFactor {
        double foot, factor;
    };
    FootFactor foot_and_factor(std::size_t i, double tau, bool reversed = false) const;

    // Forward step at node i: foot y = x + tau b(x + tau/2 b(x)), value
    // exp(tau/2 (c(x) + c(y))) u(y). No coefficient check: a non-finite foot
    // fails in the interpolation, a non-finite factor gives a non-finite value.
    Expected<double> apply_node(const GridFn<double>& u, std::size_t i, double tau) const;

    // The node step reading u through `read` (InterpRead or SampleRead).
    template <class Read>
    Expected<double> node_from(const Read& read, std::size_t i, double tau) const;

    // One step, as par_apply_pointwise of apply_node gives it, the reads
    // sharing their node samples.
    Status apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>&, double tau) const {
        return sampled_apply_into(*this, in, out, tau, kSampleMargin);
    }
    // The stepping form for run_steps (workers kept for the whole call).
    SampledSteps<DriftReactionChernoff> node_steps(const Grid1D<double>&, double tau, std::size_t shares,
                                                   std::size_t) const {
        return {*this, tau, shares, kSampleMargin};
    }
    // Cells of node samples kept beyond a block: a drift that carries the
    // read point farther reads through interp.
    static constexpr std::int64_t kSampleMargin = 32;

    // The same step along the reversed characteristic (the foot moves
    // against b, the reaction factor keeps its sign), serially on the calling
    // thread. out gets u's length and, on success, u's grid; on a failure at
    // node i it keeps the values written for nodes before i and its old grid.
    Status apply_adjoint_into(const GridFn<double>& u, GridFn<double>& out, ScratchPool<double>& pool,
                              double tau) const;

    // Shared closures b, c, plain slots coeff_zero; nothing is checked.
    static DriftReactionChernoff from_arrays(SharedCoeff b, SharedCoeff c, const Grid1D<double>& grid,
                                             double c_norm_bound);
    // Spatially constant b and c as shared closures.
    static DriftReactionChernoff constant(const Grid1D<double>& grid, double b, double c, double c_norm_bound);
};

// The drift's reach per step (the feet x + 2 tau b of its nodes).
FootReach foot_reach(const DriftReactionChernoff& kernel);

using DriftSemigroup = ChernoffSemigroup<DriftReactionChernoff>;

// The factors by which the exact flow's reaction scales over a step of tau:
// e^{tau lo} and e^{tau hi}, lo and hi the bounds of c between the nodes,
// where the flow and the step's feet read it (a node's own factor
// exp(tau/2 (c(x) + c(y))) lies between them, along either direction of
// the characteristic): the range the flow keeps is walked on by these.
ReactionFactors reaction_factors(const DriftReactionChernoff& kernel, double tau);

// The drift-reaction state: u0 finite ("u0 contains NaN or Inf"), the grid
// checks, constant b and c with bound |b| + |c|, the semigroup with step
// count n_chernoff, then the grid function of a copy of u0. b and c are not
// checked.
Expected<std::pair<DriftSemigroup, GridFn<double>>> build_drift_reaction_state(
    std::size_t n, std::size_t n_chernoff, std::span<const double> u0, BoundaryPolicy<double> boundary,
    double xmin, double xmax, double b, double c);


// Walks S = b_schedule.size() equal segments of [0, t_final] with m steps of
// tau = (t_final / S) / m each, segment k with the constant drift b_k and the
// constant reaction c (c_norm_bound |c|), every step clipped to `range`
// walked on by the step's reaction. Returns the final values; `range` then
// holds the range after them.
Expected<std::vector<double>> evolve_drift_time_schedule(const Grid1D<double>& grid, std::vector<double> values,
                                                         double t_final, std::size_t m,
                                                         std::span<const double> b_schedule, double c,
                                                         FlowRange& range);

}  // namespace quorvane
