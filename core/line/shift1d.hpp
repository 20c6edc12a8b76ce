// The universal shift Chernoff function ("shift") for
//   du/dt = a(x) u'' + b(x) u' + c(x) u
// on a uniform 1-D grid, and the piecewise-constant coefficient schedules
// that drive it segment by segment.
//
// One step samples u at x +- 2 sqrt(tau a) (weight 1/4 each) and at the
// drifted point x + 2 tau b (weight 1/2), then applies the reaction (see
// shift_reaction). The first two moments of that three-point law are tau b
// and 2 tau a, so the step is consistent to first order with the generator.
// The evolvers clip each new value to the range the flow keeps (see
// core/foundation/flow_range.hpp and reaction_factors below).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "core/foundation/boundary.hpp"
#include "core/foundation/coeff.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/flow_range.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/parallel1d.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/state.hpp"

namespace quorvane {

inline constexpr const char* kShiftEllipticityMessage = "a(x) must be finite and >= 0 (Theorem 6: inf a > 0)";

// The weight a step gives its three-point mean: 1 + tau c for a decay rate
// c < 0 (0 for the few ulps below it that a step at the bound -1/c
// leaves), else 1.
inline double shift_mean_weight(double tau, double c) {
    return c < 0.0 ? admitted_reaction_factor(1.0 + tau * c) : 1.0;
}

// The reaction of one step on the three-point mean of u around x_i. A decay
// rate scales the mean by 1 + tau c, which lies in [0, 1] for every step the
// callers admit (they refuse 1 + tau c < 0, which would flip the sign every
// step), so such a step never grows data; adding tau c u_i to the mean
// instead grows a grid mode, whose mean has the sign opposite to u_i, by
// 1 + tau |c| every step. A growth rate (and c = 0, whose bits this keeps)
// adds tau c u_i: at most 1 + tau c <= e^{tau c} per step. Either way the
// step is u + tau (L u) + O(tau^2): first order.
inline double shift_reaction(double mean, double ui, double tau, double c) {
    if (c < 0.0) return shift_mean_weight(tau, c) * mean;
    return mean + (tau * c) * ui;
}

// One entry of a piecewise-constant coefficient schedule: a constant, or n
// samples at the grid nodes (shared, so copying an entry copies no data).
class ScheduleEntry {
public:
    using Samples = std::shared_ptr<const std::vector<double>>;

    static ScheduleEntry constant(double value) { return ScheduleEntry(value); }
    static ScheduleEntry array(Samples samples) { return ScheduleEntry(std::move(samples)); }
    static ScheduleEntry array(std::vector<double> samples) {
        return ScheduleEntry(std::make_shared<const std::vector<double>>(std::move(samples)));
    }

    bool is_constant() const { return std::holds_alternative<double>(v_); }
    double value() const { return std::get<double>(v_); }
    const Samples& samples() const { return std::get<Samples>(v_); }

    // |value| of a constant, the largest |sample| of an array (NaN skipped,
    // 0 for an empty array).
    double sup_norm() const;

    // The entry as a coefficient function on `grid`: the constant itself, or
    // the Catmull-Rom interpolant of the samples over the grid's nodes (for a
    // reaction, `within_samples`: held to the least and the greatest sample).
    SharedCoeff to_coeff(const Grid1D<double>& grid, bool within_samples = false) const;

private:
    explicit ScheduleEntry(double v) : v_(v) {}
    explicit ScheduleEntry(Samples s) : v_(std::move(s)) {}
    std::variant<double, Samples> v_;
};

struct ShiftChernoff1D {
    // Shared closures a, b, c; when absent the plain slots below are used.
    struct Coeffs {
        SharedCoeff a, b, c;
    };

    std::optional<Coeffs> coef_override;
    Grid1D<double> grid;
    PlainFn a = coeff_zero;
    PlainFn b = coeff_zero;
    PlainFn c = coeff_zero;
    // An upper bound of |c| kept for callers; the step never reads it.
    double c_norm_bound = 0.0;
    // The bounds of c between the nodes (coefficient_bounds), kept by
    // from_arrays (whose closures are fixed) for reaction_factors; found
    // anew where absent.
    std::optional<CoefficientBounds> c_bounds;
    Expected<double> apply_node(const GridFn<double>& u, std::size_t i, double tau) const;

    // The smallest reaction rate the node step reads: c at the grid's nodes,
    // evaluated as the step evaluates it (NaN skipped; +inf for no node).
    // A step scales its mean by 1 + tau c there, which must not be negative.
    double min_node_reaction() const;
    // The bounds of c over the grid's cells, as the exact flow reads it.
    CoefficientBounds reaction_bounds() const;

    // The refusal of a "linear" end node whose foot, in a step of tau, lies
    // beyond the end (the drift enters there): every step count meets it, so
    // callers check it before they judge the step size.
    Status inflow_refusal(double tau) const;

    // The node step reading u through `read` (InterpRead or SampleRead).
    template <class Read>
    Expected<double> node_from(const Read& read, std::size_t i, double tau) const;

    // One step, as par_apply_pointwise of apply_node gives it, the reads
    // sharing their node samples.
    Status apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>&, double tau) const {
        return sampled_apply_into(*this, in, out, tau, kSampleMargin);
    }
    // The stepping form for run_steps (workers kept for the whole call).
    SampledSteps<ShiftChernoff1D> node_steps(const Grid1D<double>&, double tau, std::size_t shares,
                                             std::size_t) const {
        return {*this, tau, shares, kSampleMargin};
    }
    // Cells of node samples kept beyond a block: farther reads go through
    // interp.
    static constexpr std::int64_t kSampleMargin = 32;

    // Shared closures a, b, c, plain slots coeff_zero; nothing is checked.
    static ShiftChernoff1D from_arrays(SharedCoeff a, SharedCoeff b, SharedCoeff c, const Grid1D<double>& grid,
                                       double c_norm_bound);
    // One schedule segment: each entry becomes its coefficient function.
    static ShiftChernoff1D from_segment(const ScheduleEntry& a, const ScheduleEntry& b, const ScheduleEntry& c,
                                        const Grid1D<double>& grid, double c_norm_bound);
    // Spatially constant a, b, c as shared closures with bound |a|+|b|+|c|.
    static ShiftChernoff1D constant(const Grid1D<double>& grid, double a, double b, double c);
};

using ShiftSemigroup = ChernoffSemigroup<ShiftChernoff1D>;

// The factors by which the exact flow's reaction scales over a step of tau:
// e^{tau lo} and e^{tau hi}, lo and hi the bounds of c between the nodes
// (reaction_bounds). The step itself scales by 1 + tau c where c < 0 (less
// than e^{tau c}) and adds at most tau c u_i where c > 0, so its values stay
// within the range walked on by these too.
ReactionFactors reaction_factors(const ShiftChernoff1D& kernel, double tau);
// On a grid with "linear" ends, how far beyond an end (in cells) a step of
// tau reads the continued data: its diffusion reads reach 2 sqrt(tau a) past
// the end nodes (the drift's feet stay inside: an inflow is refused); 0 on
// other grids.
double linear_end_cells(const ShiftChernoff1D& kernel, double tau);
FootReach foot_reach(const ShiftChernoff1D& kernel);

// The state of a constant-coefficient shift evolver: u0 finite ("u0 contains
// NaN or Inf"), the grid checks, then the grid function of a copy of u0.
// a, b and c are not checked here; the node step rejects a bad a.
Expected<std::pair<ShiftSemigroup, GridFn<double>>> build_shift_state(std::size_t n, std::size_t steps,
                                                                      std::span<const double> u0,
                                                                      BoundaryPolicy<double> boundary, double xmin,
                                                                      double xmax, double a, double b, double c);

// The smallest value of a schedule entry of c at the grid's nodes, read as
// the segment's kernel reads it (NaN skipped; +inf for no node).
double min_node_reaction(const Grid1D<double>& grid, const ScheduleEntry& c);

// The semigroup of a schedule segment: from_segment with the sum of the
// three sup norms as c_norm_bound, step count 100. Cannot fail.
ShiftSemigroup build_segment_kernel(const Grid1D<double>& grid, const ScheduleEntry& a, const ScheduleEntry& b,
                                    const ScheduleEntry& c);

// Walks S = a_schedule.size() equal segments of [0, t_final] with m steps of
// tau = (t_final / S) / m each, segment k using the constant a_k and the
// constant b and c (c_norm_bound |b| + |c|), every step clipped to `range`
// walked on by the segment's reaction. Returns the final values; `range`
// then holds the range after them (on failure, some range on the way).
Expected<std::vector<double>> evolve_shift_time_schedule(const Grid1D<double>& grid, std::vector<double> values,
                                                         double t_final, std::size_t m,
                                                         std::span<const double> a_schedule, double b, double c,
                                                         FlowRange& range);

// The same walk with per-segment entries for all three coefficients (the
// three spans have equal length S >= 1).
Expected<std::vector<double>> evolve_shift_coefficient_schedule(const Grid1D<double>& grid,
                                                                std::vector<double> values, double t_final,
                                                                std::size_t m, std::span<const ScheduleEntry> a,
                                                                std::span<const ScheduleEntry> b,
                                                                std::span<const ScheduleEntry> c, FlowRange& range);

}  // namespace quorvane
