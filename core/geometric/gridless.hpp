// Gridless Chernoff steps of a measure on the line for the generator
// a f'' + b f' + c f.
//
// One step is the dual of F(tau) f(x) = (1 + tau c) (f(x + h)/4 + f(x - h)/4
// + f(x + k)/2), h = 2 sqrt(a tau), k = 2 b tau: every atom (x, w) becomes
// (x + h, w/4), (x - h, w/4), (x + k, w/2), then the weights are scaled by
// 1 + tau c. Since F(tau) = I + tau L + O(tau^2), n steps of t/n move a
// measure by the Fokker-Planck flow to first order: mass (1 + tau c)^n, mean
// shifted by b tau and variance grown by 2 a tau + b^2 tau^2 per step.
//
// The count triples every step. `WeightedVoronoi` bins the atoms into at
// most `cap` equal-width bins over their range, one atom per bin at the
// bin's weighted mean: mass and first moment are kept exactly, the spread
// inside a bin (and so part of the variance) is lost. `GaussianBackground`
// never reduces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/foundation/error.hpp"
#include "core/geometric/measure_state.hpp"

namespace quorvane {

struct GridlessPolicy {
    enum class Kind { WeightedVoronoi, GaussianBackground };
    Kind kind = Kind::WeightedVoronoi;
    std::size_t cap = 64;  // bins of WeightedVoronoi; kept but unused otherwise
};

struct GridlessEvolver {
    GridlessPolicy policy;
    double a = 0.0;  // diffusion, >= 0
    double b = 0.0;  // drift
    double c = 0.0;  // reaction rate

    // The most atoms n_steps steps from n0 atoms hold at once (after a
    // branching); nullopt beyond 64 bits.
    std::optional<std::uint64_t> peak_atoms(std::uint64_t n0, std::uint64_t n_steps) const;
};

// The reduction's refusal of a weight that is not finite.
inline constexpr const char* kReductionNonFinite = "gridless: non-finite weight in WeightedVoronoi reduction";

// One step from src into dst. Fails with DomainViolation for a negative or
// non-finite tau, a negative or NaN a, a branching that would exceed
// kMaxAtoms (dst untouched in these three cases), a zero cap and a
// non-finite weight met by the reduction (dst then holds the branched atoms).
// Gaussian components are copied unchanged.
Status gridless_apply(double tau, const GridlessEvolver& ev, const MeasureState& src, MeasureState& dst);

// n_steps steps of t_final / n_steps, alternating between two working
// copies; the state is replaced only when every step succeeded. Polls for a
// stop request between steps.
Status gridless_evolve(const GridlessEvolver& ev, MeasureState& state, double t_final, std::size_t n_steps);

}  // namespace quorvane
