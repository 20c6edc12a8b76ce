// Coupled tensor-train evolution: diffusion whose matrix couples adjacent
// axes, L = sum_j a_j d^2_j + sum_pairs 2 rho sqrt(a_j a_k) d_j d_k + c.
// Free axes take the separable Chernoff step; each coupled pair takes the
// exact factor of its periodic pair generator, the diffusion of an axis
// being shared out over the pairs that name it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/tensor_train/tt_core.hpp"

namespace quorvane {

struct AxisPair {
    std::uint64_t j = 0;
    std::uint64_t k = 0;
    double rho = 0.0;
};

struct CouplingSpec {
    enum class Kind { None, Tridiagonal, Pairs };
    Kind kind = Kind::None;
    double rho = 0.0;            // Tridiagonal
    std::vector<AxisPair> pairs;  // Pairs, each with j < k

    // The coupled pairs of d axes, in sweep order.
    std::vector<AxisPair> pair_list(std::size_t d) const;
};

// The number of pairs naming each axis (a pair listed twice counts twice),
// 1 for an axis named by none.
std::vector<double> axis_degrees(const std::vector<AxisPair>& pairs, std::size_t d);

// The pair's diffusion block as the pair factor sees it: c = a/degree on
// each axis and the coupling rho' = rho sqrt(a_j a_k).
struct PairBlock {
    double c_j, c_k, rho;
};
PairBlock pair_block(const std::vector<double>& a, const std::vector<double>& degree, const AxisPair& p);

struct CoupledTtChernoff {
    std::vector<double> a;
    std::vector<double> b;  // all zero
    std::vector<std::pair<double, double>> domain;
    CouplingSpec coupling;
    double c = 0.0;
    double eps_round = 0.0;

    // Takes the checked fields; b and domain of other than d entries, a
    // nonzero drift or a non-adjacent pair are internal faults.
    CoupledTtChernoff(std::vector<double> a, std::vector<double> b, double c, CouplingSpec coupling,
                      std::vector<std::pair<double, double>> domain, double eps_round);

    // n_steps steps of t_final/n_steps: free axes, the pair factors (one
    // pair: once with tau; more: forward and backward sweeps with tau/2),
    // the reaction factor 1 + tau c on core 0, rounding. The pair tables are
    // built first; a block that is not positive definite is an internal
    // fault before any core changes. Polls the stop hook between steps. A
    // NaN or an infinity made by a step (a free axis, a pair factor, the
    // reaction) fails with kTtNonFinite.
    Status evolve(std::vector<TtCore>& cores, double t_final, std::size_t n_steps) const;
};

}  // namespace quorvane
