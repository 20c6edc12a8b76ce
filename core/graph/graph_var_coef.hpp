// Graph heat with a conductivity per node: du/dt = -L_a u with
// L_a = A^1/2 L A^1/2, A = diag(a), L the combinatorial Laplacian.
// One step is the second-order Taylor polynomial
// S(tau) f = f - tau L_a f + (tau^2/2) L_a^2 f.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/graph/graph.hpp"
#include "core/graph/laplacian.hpp"

namespace quorvane {

template <class F>
struct VarCoefGraphHeatChernoff {
    std::vector<F> a;
    std::vector<F> sqrt_a;
    std::shared_ptr<const Laplacian<F>> laplacian;
    F rho_bar = F(1);

    // Checks, in order: a.len() equals the node count; every a[i] finite and
    // >= 1e-12 * max(0, max a); rho_bar finite and > 0.
    static Expected<VarCoefGraphHeatChernoff> make(const Graph<F>& g, std::vector<F> a, F rho_bar);

    // Refuses (CflViolated, with tau, 1/rho_bar and max a) a step with
    // max(a) * tau * rho_bar > 0.5: ||L_a|| <= max(a) * rho, so this keeps
    // tau ||L_a|| <= 0.5, inside the polynomial's stability interval [0, 2].
    Status apply_into(std::span<const F> src, std::span<F> dst, ScratchPool<F>& pool, F tau) const;
};

extern template struct VarCoefGraphHeatChernoff<double>;
extern template struct VarCoefGraphHeatChernoff<float>;

}  // namespace quorvane
