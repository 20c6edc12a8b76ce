// The sixth-order diffusion Chernoff function ("heat6") for du/dt = a(x) u''
// and the second rung of the zeta (Richardson) ladder.
//
// heat6 has the outline of heat4 with a seven-point Gaussian rule (offsets 0,
// +-2 sqrt(a tau), +-2 sqrt(3 a tau), +-2 sqrt(5 a tau)) whose weights
// reproduce the moments 2 a tau, 12 (a tau)^2 and 120 (a tau)^3 of the
// Gaussian of variance 2 a tau, and nine-point correction stencils of width
// max(4 dx, sqrt(s tau)), s the coefficient's scale. For unit diffusion its symbol therefore agrees with
// e^z up to z^3: the step is third order in time. A variable coefficient is
// treated in the divergence form d/dx (a du/dx), as for heat2 and heat4.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "core/foundation/coeff.hpp"
#include "core/line/diffusion4_zeta4.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/state.hpp"

namespace quorvane {

// Weights of the seven-point rule: centre, +-1, +-3, +-5.
inline constexpr double kHeat6W0 = 67.0 / 120.0;
inline constexpr double kHeat6W1 = 0.2109375;  // 27/128
inline constexpr double kHeat6W3 = 1.0 / 192.0;
inline constexpr double kHeat6W5 = 3.0 / 640.0;

struct Diffusion6thChernoff {
    std::optional<CoeffSource> coef_override;
    Grid1D<double> grid;
    PlainFn a = coeff_one;
    PlainFn a_prime = coeff_zero;
    PlainFn a_double_prime = coeff_zero;
    double a_norm_bound = 1.0;
    // The coefficient scale the correction's differences are widened by
    // (its mean over the nodes), or NaN: then each node's own a.
    double width_scale = std::numeric_limits<double>::quiet_NaN();

    static Diffusion6thChernoff unit(const Grid1D<double>& grid);

    double coef_a(double x) const { return coef_override ? coef_override->eval_a(x) : a(x); }
    double coef_a_prime(double x) const { return coef_override ? coef_override->eval_a_prime(x) : a_prime(x); }
    double coef_a_double_prime(double x) const {
        return coef_override ? coef_override->eval_a_double_prime(x) : a_double_prime(x);
    }

    Expected<double> apply_node(const GridFn<double>& u, std::size_t i, double tau) const;

    // Nodes [begin, end) of one step from src into out, every read through
    // node samples of src (see sampled_nodes).
    // With `feet` (the coefficient's part of nodes [begin, end), see feet)
    // the coefficient is not evaluated again.
    Status step_nodes(const GridFn<double>& src, double* out, std::size_t begin, std::size_t end, double tau,
                      SepticSamples& samples, std::span<const QuadFeet<7>> feet = {}) const;

    // True when the coefficient is a fixed function (see CoeffSource::fixed).
    bool coef_fixed() const;
    // The coefficient's part of node i's step; false where the step fails.
    bool feet(std::size_t i, double tau, QuadFeet<7>& f) const;
    // Node i's step from its coefficient's part f, reading through `read`
    // (RecordedReads' recorder and replay); kMostReads points at most: seven quadrature points and nine for the differences.
    template <class Read>
    Expected<double> feet_step(const QuadFeet<7>& f, const Read& read, std::size_t i, double tau,
                               const std::optional<DifferenceWidths>& widths) const;
    // The widths of the correction's differences in a step of tau (none
    // where each node takes its own).
    std::optional<DifferenceWidths> widths(double tau) const;
    // Node i's step of tau as the linear form of its reads (with
    // `points_only` the points alone); false where the step fails at the
    // node.
    bool node_form(std::size_t i, double tau, NodeForm& form, bool points_only = false) const;
    static constexpr std::size_t kMostReads = 16;

    // One step, as par_apply_pointwise of apply_node gives it, with the
    // reads sharing their node samples.
    Status apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>&, double tau) const;
    // a where the coefficient is constant by construction (see
    // CoeffSource::constant_value); heat6 reads its input itself.
    std::optional<double> constant_value() const;
    std::optional<InterpKind> source_kind() const { return std::nullopt; }

    // The seven reads of a constant-coefficient step, summed as apply_node
    // sums them (a zero correction is not added; + 0.0 as the node step).
    struct QuadratureSum {
        double operator()(const double* r) const {
            return (((kHeat6W0 * r[0] + kHeat6W1 * (r[1] + r[2])) + kHeat6W3 * (r[3] + r[4])) +
                    kHeat6W5 * (r[5] + r[6])) +
                   0.0;
        }
    };
    // The stepping form for run_steps (workers kept for the whole call).
    QuadratureSteps<Diffusion6thChernoff, 7, QuadratureSum> node_steps(const Grid1D<double>& g, double tau,
                                                                         std::size_t shares, std::size_t steps) const {
        return {*this, g, tau, shares, steps, constant_value()};
    }
};

// Second rung: (16 Z4(tau/2)^2 - Z4(tau))/15. Temporal order 3, like the rung
// below it: the first rung leaves a tau^4 local error that the weights 16/15
// (meant for a tau^4 global term) do not cancel.
struct Diffusion6thZeta6Chernoff {
    Diffusion4thZeta4Chernoff zeta4;
    Grid1D<double> grid;

    static constexpr double kWeight = 16.0;
    static constexpr double kDivisor = 15.0;
    static constexpr int kTemporalOrder = 3;

    static Diffusion6thZeta6Chernoff over(Diffusion4thChernoff inner);

    // The stepping form for run_steps (workers kept for the whole call).
    ZetaSteps<Diffusion4thZeta4Chernoff> node_steps(const Grid1D<double>& g, double tau, std::size_t shares,
                                                    std::size_t steps) const {
        return {zeta4, grid, kWeight, kDivisor, g, tau, shares, steps};
    }

    Status apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>& pool, double tau) const;
};

// The unit heat6 state, with the checks of build_diffusion4th_state.
Expected<std::pair<ChernoffSemigroup<Diffusion6thChernoff>, GridFn<double>>> build_diffusion6th_state(
    std::size_t n, std::size_t steps, std::span<const double> u0, BoundaryPolicy<double> boundary, double xmin,
    double xmax);

}  // namespace quorvane
