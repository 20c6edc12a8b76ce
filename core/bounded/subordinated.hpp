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
// - Where the ends make the grid's modes exact eigenvectors of the unit
//   diffusion's generator (reflecting ends: cosines; periodic: Fourier
//   modes), the Gamma and inverse-Gaussian steps take each mode's exact
//   factor e^{-tau phi(mu)} instead (SubordinatedModes): their rules lose
//   all accuracy once mu/c (Gamma) or mu/c^2 (inverse Gaussian) is large,
//   that is for small c, where the diffusion times far exceed dx^2.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/fft.hpp"
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

// The unit diffusion's generator on a grid with reflecting or periodic ends
// is the degree-7 set's second difference D2/dx^2 (the septic interpolant's
// u'' at a node: the limit of a heat step as tau -> 0) read through the
// ends, a circulant on the mirrored (period 2n - 2) or periodic (period n)
// index. Its eigenvectors are cos(k pi i/(n - 1)) and e^{2 pi i k i/n} with
// eigenvalues -mu(theta), mu = (1080 sin^2(theta/2) - 108 sin^2 theta +
// 8 sin^2(3 theta/2))/(180 dx^2) >= 0. A step multiplies mode k by
// e^{-tau phi(mu_k)}, through a transform of the (mirrored) values.
struct SubordinatedModes {
    Dft dft;
    bool mirrored = true;       // reflecting ends: the even extension of length 2n - 2
    std::vector<double> rates;  // phi(mu_k), k = 0 .. length/2

    // The modes of `grid` for `law` (Gamma or inverse Gaussian) where its
    // ends give them; nothing for other ends and laws.
    static Expected<std::shared_ptr<const SubordinatedModes>> make(const Grid1D<double>& grid, Subordinator law);
    // src + T^-1 diag(e^{-tau phi} - 1) T src: the change is formed from
    // expm1, so a step that changes nothing returns src exactly.
    void apply(std::span<const double> src, std::span<double> dst, double tau) const;
};

// mu(theta) dx^2 of the generator above.
double unit_mode_symbol(double theta);

// The longest heat step of a rule's chains, each node time reached from the
// one before it in up to 32 equal steps.
double longest_chain_step(const SubordinationRule& r);

struct SubordinatedChernoff {
    DiffusionChernoff inner;
    Subordinator law;
    std::size_t n_nodes = 32;
    // Set where the grid's ends give exact modes (see SubordinatedModes):
    // then every step takes them and the rule is not used.
    std::shared_ptr<const SubordinatedModes> modes{};

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
