// phi_k(tau A) v for k = 0..3 and A = -L (L a SymmetricOperator), all from one
// exponential action of the augmented matrix
//   B = [[tau A, v e_1^T], [0, J]]  (J the 3 x 3 upper shift),
// whose exponential applied to (v, 0, 0, 0) or to e_{n+k} holds phi_k(tau A) v
// in its first n entries. phi_0 = exp, phi_k(z) = sum_j z^j / (j + k)!, so
// phi_k(0) = 1/k!. The action is a scaled truncated Taylor series with (m, s)
// from the theta_m table shared with every Taylor action of the library.
#pragma once

#include <cstdint>
#include <span>

#include "core/foundation/error.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/graph/laplacian.hpp"
#include "core/line/diffusion_expmv.hpp"
#include "core/sparse/symmetric_operator.hpp"

namespace quorvane {

inline constexpr std::uint32_t PHI_MAX = 3;

// The generator A = -L of a symmetric operator, sharing its CSR record.
struct NegLaplacianGenerator {
    SharedLaplacian lap;
    explicit NegLaplacianGenerator(const SymmetricOperator& op) : lap(op.laplacian()) {}
    std::uint64_t n() const { return lap->n_nodes; }
    // y = -L x.
    void apply(std::span<const double> x, std::span<double> y) const;
};

// The plan of the phi actions of one (tau, v): v is scaled by 2^-scale_exp
// (2^scale_exp >= ||v||_inf over the finite entries, 0 when that norm is
// <= 1) so that the data alone never inflates the plan; the action is linear
// and the scaling by a power of two exact. (m, s) then come from
// eta = 2 (|tau| lambda_bar + ||v_scaled||_inf + 1): the magnitude of tau,
// since a negative tau makes e^{tau A} grow as fast as a positive one decays
// it. Refused (OutOfDomain) when the plan would exceed the product cap.
inline constexpr const char* kPhiTooLarge =
    "phi_action: |tau| * lambda_max_bound too large: the action would need more than 10000000 operator products";

struct PhiPlan {
    ExpmvPlan taylor;
    int scale_exp = 0;
};
Expected<PhiPlan> phi_plan(const NegLaplacianGenerator& gen, double tau, std::span<const double> v);

// Succeeds when phi_plan admits every action of step |tau| or less on any v:
// the scaled norm is at most 1 and the cheapest plan's cost never falls as
// eta grows, so the plan for scaled norm 1 bounds them all. Otherwise the
// same OutOfDomain refusal, with the caller's message. A driver that makes
// several actions checks this first, so it never runs some of its actions
// only to have a later one refused.
Status phi_plans_fit(const NegLaplacianGenerator& gen, double tau, const char* too_large);

// One sub-step w <- T_m(B/s) w (exactly m terms, no early stop). w and z hold
// n + 3 values, y holds n; v is the (scaled) coupling vector.
void augmented_taylor_step(const NegLaplacianGenerator& gen, std::span<const double> v, std::uint64_t s,
                           std::uint32_t m, std::span<double> w, std::span<double> z, std::span<double> y, double tau);

// out = phi_k(tau A) v for k <= PHI_MAX, work buffers from the pool. Fails only
// for a refused plan (out unchanged), on a stop request and for a result
// beyond the double range (DomainViolation with the non-finite value).
Status phi_action_expmv(const NegLaplacianGenerator& gen, std::uint32_t k, std::span<const double> v,
                        std::span<double> out, ScratchPool<double>& pool, double tau);

// Row k of out (p + 1 rows of n values) = phi_k(tau A) v for k = 0..p, one
// plan for all rows, so every row equals its own phi_action_expmv bit for bit.
Status phi_action_rows(const NegLaplacianGenerator& gen, std::uint32_t p, std::span<const double> v,
                       std::span<double> out, ScratchPool<double>& pool, double tau);

}  // namespace quorvane
