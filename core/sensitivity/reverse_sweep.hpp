// Reverse-mode differentiation of n heat2 steps u_n = F(tau)^n u0 with
// respect to the diffusivities of K regions, for the loss
// J = sum_i (u_n[i] - target[i])^2.
//
// With lambda_n = 2 (u_n - target) and lambda_s = F(tau)^T lambda_{s+1},
// dJ/dtheta_k = sum_s <lambda_{s+1}, d/dtheta_k F(tau) u_s>: the derivative
// of the discrete map. The tangents come from the step over Dual<double>;
// the cotangent is carried back by the exact transpose of the step, whose
// weights are assembled once per call (with reflecting ends F(tau) is not
// symmetric). Forward states are kept every checkpoint_every steps and each
// segment is recomputed from its checkpoint on the way back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/sensitivity/reverse_ad.hpp"

namespace quorvane {

// The one-step matrix M of a double kernel (M e_j = F(tau) e_j) by columns:
// the non-zero entries of column j, found on the rows [j - band, j + band]
// where the step's reads can reach node j.
class StepTranspose {
public:
    static Expected<StepTranspose> assemble(const DiffusionChernoff& kernel, double tau);

    // out = M^T g (each entry summed in row order).
    void apply(std::span<const double> g, std::span<double> out) const;
    std::size_t band() const { return band_; }

private:
    std::size_t band_ = 0;
    std::vector<std::size_t> start_;  // column j's entries at [start_[j], start_[j + 1])
    std::vector<std::size_t> rows_;
    std::vector<double> values_;
};

// The coefficient x -> (theta of the nearest node's region, seed) whose
// derivative seed is 1 exactly at the nodes of region k.
struct SeededCoefficient {
    std::shared_ptr<const std::vector<bool>> mask;
    std::shared_ptr<const std::vector<double>> theta_nodes;
    double x0 = 0.0;
    double dx = 1.0;
    std::uint64_t last = 0;
    double theta_k = 0.0;

    Dual1 operator()(const Dual1& x) const { return seeded_coefficient_at(x); }
    Dual1 seeded_coefficient_at(const Dual1& x) const;
};

struct ReverseResult {
    double j = 0.0;
    std::vector<double> gradient;
};

// J and dJ/dtheta_k for every region. theta must have region_count()
// entries (refused otherwise); with one region the kernels' own theta is
// used and the entry is not read. A J or a gradient entry that is not
// finite is refused (DomainViolation with that value), J before the
// backward pass.
Expected<ReverseResult> reverse_sweep(const ReverseSweepConfig& config, std::uint64_t n_steps,
                                      const GridFn<double>& u0, std::span<const double> target,
                                      std::span<const double> theta, double tau);

}  // namespace quorvane
