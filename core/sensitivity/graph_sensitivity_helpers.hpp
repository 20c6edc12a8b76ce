// Exact edge-weight gradients of fourth-order Magnus graph heat by the
// discrete adjoint-state method.
//
// The forward evolution is u_{s+1} = S_s u_s with S_s = T4(Omega_s), the
// degree-4 Taylor polynomial of the step's Magnus exponent; for a loss with
// dJ/du_N = dj,
//   dJ/dtheta_k = sum_s <lambda_{s+1}, (dS_s/dtheta_k) u_s>,
//   lambda_N = dj, lambda_s = S_s^T lambda_{s+1},
// which is the gradient of the discrete scheme, not of the continuous flow.
// Every weight is the same at all times, so both Gauss-point samples of a
// step share the derivative dA/dtheta_k of A = -L.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/graph/graph.hpp"
#include "core/graph/laplacian.hpp"
#include "core/graph/magnus_graph.hpp"
#include "core/sensitivity/graph_sensitivity.hpp"

namespace quorvane {

// The parameters: one edge weight per pair, in list order (a view; the
// pairs are neither checked against a graph nor de-duplicated here).
class EdgeWeightSensitivity {
public:
    explicit EdgeWeightSensitivity(std::span<const EdgePair> pairs) : pairs_(pairs) {}

    std::size_t n_params() const { return pairs_.size(); }
    std::span<const EdgePair> pairs() const { return pairs_; }

    // out = (dOmega/dtheta_k) u for the step of size tau with Gauss-point
    // samples L1, L2:
    //   tau dA u + c (dA A1 - A1 dA + A2 dA - dA A2) u,  c = tau^2 sqrt(3)/12.
    // s1..s3 are scratch of u's length. "EdgeWeightSensitivity: k out of
    // range" (value k), then the pair's errors.
    Status apply_param_deriv(std::size_t k, const Laplacian<double>& l1, const Laplacian<double>& l2,
                             std::span<const double> u, std::span<double> out, std::span<double> s1,
                             std::span<double> s2, std::span<double> s3, double tau) const;

private:
    std::span<const EdgePair> pairs_;
};

// n_steps steps of `step` from u0 (its graph's n_nodes values), then the
// costate sweep from dj; grad_theta (n_params() entries, else
// "adjoint_state_gradient: grad_theta.len() != n_params()") receives
// dJ/dtheta_k. The forward failures (tau, Magnus radius) come first; a bad
// pair is reported at the first backward step, pairs in order. With
// n_steps = 0 the gradient is zero and nothing else is checked.
Status adjoint_state_gradient(const MagnusGraphHeatChernoff& step, std::span<const double> u0, std::uint64_t n_steps,
                              std::span<const double> dj, const EdgeWeightSensitivity& sensitivity,
                              std::span<double> grad_theta, ScratchPool<double>& pool, double tau);

// The gradient for a fixed graph: Magnus steps over its combinatorial
// Laplacian (time-independent), the radius test tau * rho_bar < pi/2 on.
// u0 and dj_du_n hold at least n_nodes values.
Expected<std::vector<double>> compute_edge_weight_grad(const SharedGraph& graph, std::span<const double> u0,
                                                       std::span<const double> dj_du_n,
                                                       std::span<const EdgePair> params, double tau,
                                                       std::uint64_t n_steps, double rho_bar);

// One channel of the batched gradient: its gradient added into acc
// (acc[k] += local[k]); acc is untouched on failure.
Status adjoint_gradient_column(const MagnusGraphHeatChernoff& step, std::span<const double> u0_col,
                               std::span<const double> dj_col, std::uint64_t n_steps,
                               std::span<const EdgePair> params, std::span<double> acc, ScratchPool<double>& pool,
                               double tau);

// The gradient summed over C channels stored column after column. Columns
// run on at most worker_count() threads with contiguous blocks of columns
// (one column, or one worker, on the calling thread); every column keeps
// its own partial gradient and the partials are added in column order after
// the join, so the result is the sequential sum of single-column gradients
// bit for bit, whatever the split. Checks after the step's construction:
// "adjoint_state_gradient_batched: u0_cols.len() != dj_cols.len()", then
// "... u0_cols.len() not divisible by n_nodes".
Expected<std::vector<double>> adjoint_state_gradient_batched(const SharedGraph& graph,
                                                             std::span<const double> u0_cols,
                                                             std::span<const double> dj_cols,
                                                             std::span<const EdgePair> params, double tau,
                                                             std::uint64_t n_steps, double rho_bar);

}  // namespace quorvane
