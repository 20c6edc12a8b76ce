// Subordinated heat semigroups exp(-t phi(-d^2)) for the alpha-stable law
// (phi = lambda^alpha), the Gamma law (log(1 + lambda/c)) and the
// inverse-Gaussian law (sqrt(c^2 + 2 lambda) - c). One step is a weighted
// sum of heat evolutions D(s_j) src over diffusion times s_j from a Gauss
// rule over the law (Gamma) or over the Levy measure (stable, inverse
// Gaussian: I + tau int (D(s) - I) nu(ds)).
//
// - Each D(s_j) is reached by chained heat2 sub-steps from D(s_{j-1}),
//   K_j = ceil(32 (s_j - s_{j-1}) / s_j) of them: one heat2 step of a long
//   time s does not damp the high modes (its symbol returns near 1), so a
//   single step per node gives the wrong limit operator.
// - The Gamma law's short steps (tau <= 2^-30) are Levy-measure steps too;
//   its longer ones average D(s) over the Gamma(tau, c) law of the
//   subordinator at time tau.
// - A Levy-measure step has first weight 1 - sum |d_k|; when sum |d_k| > 1
//   the step is split into ceil(sum |d_k|) equal sub-steps, so every
//   combination is convex and no mode can grow.
#pragma once

#include <cstddef>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/diffusion.hpp"

namespace quorvane {

struct Subordinator {
    enum class Tag : unsigned char { Stable = 0, Gamma = 1, InverseGaussian = 2 };
    Tag tag = Tag::Stable;
    double param = 0.5;  // alpha or c

    static Expected<Subordinator> stable(double alpha);
    static Expected<Subordinator> gamma(double c);
    static Expected<Subordinator> inverse_gaussian(double c);
};

// Diffusion times (ascending) and weights of one step of size tau.
struct SubordinationRule {
    std::vector<double> times;
    std::vector<double> weights;
    std::size_t sub_steps = 1;  // equal parts of tau, each stepped with this rule
    // Levy-measure rules: sum |d_k| of the whole step, which sub_steps is the
    // ceiling of (linear in tau); 0 for the Gamma law's longer steps.
    double jump_weight = 0.0;
};

// The longest heat step of a rule's chains, each node time reached from the
// one before it in up to 32 equal steps.
double longest_chain_step(const SubordinationRule& r);

struct SubordinatedChernoff {
    DiffusionChernoff inner;
    Subordinator law;
    std::size_t n_nodes = 32;

    // The most a call's Levy-measure jumps may weigh (the rule's jump_weight
    // at tau = t): the steps of a call are split into at least that many
    // sub-steps, each up to n_nodes chains of heat steps, whatever the step
    // count. Heavier calls are refused before any work.
    static constexpr double kMaxCallJumpWeight = 10000.0;

    // The Gamma law's steps up to this length take its Levy measure
    // s^{-1} e^{-c s} ds (I + tau int (D(s) - I) nu(ds), an error of order
    // (tau phi)^2), longer ones the law of the subordinator at time tau, a
    // Gamma(tau, c) law whose rule weighs x^(tau - 1) e^-x. That rule cannot
    // carry a short step: tau - 1 keeps tau only to an absolute 2^-54 (a
    // relative 6e-8 here, all of it below 1e-16, where tau - 1 is -1). Both
    // errors are below 1e-7 of the step's effect at the switch.
    static constexpr double kGammaLevyStep = 0x1p-30;

    // n_nodes in [1, 32].
    static Expected<SubordinatedChernoff> make(const Grid1D<double>& grid, Subordinator law, std::size_t n_nodes);

    // The nodes and weights of one step tau; a Levy-measure rule whose jump
    // weights sum beyond 1 comes with sub_steps > 1 and the weights of one
    // sub-step tau/sub_steps.
    Expected<SubordinationRule> rule(double tau) const;
    Status apply_into(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>& pool, double tau) const;
};

}  // namespace quorvane
