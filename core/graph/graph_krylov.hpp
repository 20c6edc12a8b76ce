// The exponential action e^{-tau L} x of a symmetric positive semi-definite
// compressed-row operator in one call, by a Chebyshev expansion, a Lanczos
// projection with a dense Pade exponential, or backward-Euler steps; and the
// dense Pade exponential of a small tridiagonal matrix.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "core/foundation/error.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/graph/laplacian.hpp"
#include "core/graph/pcg.hpp"

namespace quorvane {

// Largest Krylov dimension; the dense exponential works on 18 x 18 arrays.
inline constexpr std::size_t kKrylovMaxDim = 18;

using Dense18 = std::array<std::array<double, kKrylovMaxDim>, kKrylovMaxDim>;

// exp(-dt T_k) for the symmetric tridiagonal T_k with diagonal alpha[0..k-1]
// and off-diagonal beta[1..k-1] (beta[j] couples rows j - 1 and j; beta[0] is
// not read), embedded in the leading k x k block of an 18 x 18 matrix whose
// rest is the identity. Scaling and squaring with the degree-13 Pade
// approximant (theta_13 = 5.371920351148152) on the full 18 x 18 array.
// Fails ("mat_inv_lu: near-singular matrix") when a pivot of the inverse of
// the denominator is below 64 eps ||Q||_inf. k <= 18.
Expected<Dense18> expm_pade13(double dt, const std::array<double, kKrylovMaxDim>& alpha,
                              const std::array<double, kKrylovMaxDim>& beta, std::size_t k);

struct KrylovPath {
    enum class Kind : std::uint8_t { Chebyshev, Lanczos, Implicit };
    Kind kind = Kind::Chebyshev;
    std::size_t m_max = kKrylovMaxDim;        // Lanczos
    std::uint64_t n_steps = 1;                // Implicit
    std::optional<std::uint64_t> cg_max_iter; // Implicit; absent: derived

    static KrylovPath chebyshev() { return {}; }
    static KrylovPath lanczos(std::size_t m_max) { return {Kind::Lanczos, m_max, 1, std::nullopt}; }
    static KrylovPath implicit(std::uint64_t n_steps, std::optional<std::uint64_t> cg_max_iter) {
        return {Kind::Implicit, kKrylovMaxDim, n_steps, cg_max_iter};
    }
};

// Largest number of operator products one action may plan; beyond it
// (tau * rho of order 1e7 and more) a call would run for minutes to hours,
// or its sub-step counts would saturate. Refused instead.
inline constexpr std::uint64_t kKrylovMaxProducts = 10'000'000;

// The settings every action refuses before any work: tol not finite and > 0,
// a Lanczos path with m_max = 0 (no basis vector).
Status check_krylov_settings(const KrylovPath& path, double tol);

// dst = e^{-tau A} src by the chosen path on any symmetric positive
// semi-definite operator (spectrum in [0, op.spectral_bound()]); dst is
// written only on success. src and dst hold op.n() values. Refuses what
// check_krylov_settings refuses, then a src holding NaN or Inf and a result
// beyond the double range (DomainViolation with the non-finite value).
Status krylov_path_action(const SpdOperator& op, const KrylovPath& path, double tol, double tau,
                          std::span<const double> src, std::span<double> dst, ScratchPool<double>& pool);

struct GraphKrylovChernoff {
    KrylovPath path;
    SharedLaplacian laplacian;
    double spectral_bound = 0.0;
    double tol = 1e-10;

    // tol finite and > 0; a Lanczos path with m_max = 0 (no basis vector) is
    // refused.
    static Expected<GraphKrylovChernoff> make(KrylovPath path, SharedLaplacian laplacian, double tol);

    // dst = e^{-tau L} src (dst zero beyond src's length; only its first
    // len(dst) values when shorter). Fails for tau not finite or < 0 and for
    // a planned work above kKrylovMaxProducts; dst is written only on
    // success.
    Status apply_into(double tau, std::span<const double> src, std::span<double> dst, ScratchPool<double>& pool) const;
};

// The Chebyshev and Lanczos actions on any symmetric positive semi-definite
// operator with spectrum in [0, rho] (rho = op.spectral_bound()). out holds
// src's length. Both return src itself when tau * rho / 2 < 1e-300. Both
// are homogeneous: Chebyshev carries its vector scaled by a power of two, so
// that neither the entries nor the products with the operator underflow or
// overflow, whatever the scale of the data and of rho; Lanczos counts only an
// all-zero vector as zero and lifts or lowers a vector whose length is
// subnormal or overflows. A result beyond the double range is refused with
// the non-finite value. A Chebyshev sub-step that lengthens the vector
// (impossible with that spectrum) is refused before it can overflow.
// Chebyshev holds ||out - e^{-tau A} src||_2 <= tol ||src||_2 for the whole
// call, however many sub-steps (one per tau rho = 400) it takes: the
// truncations of all sub-steps together and an estimate of the rounding
// (about 2^-52 (1.5 sqrt(s (1 + z)) + 4 (s - 1)) for s sub-steps of
// z = tau rho / (2 s)) fit into tol. A tol that this rounding would take more
// than half of is refused before any product, naming the power of ten the
// call meets (value: twice the rounding).
// Lanczos takes its Krylov size and sub-step count from the theta table;
// when m_max (>= 1) caps the size below the table's choice and below n, the
// sub-steps are chosen so that the error stays within tol ||src|| (or within
// what the table's own plan reaches, about 2^-52 ||src||, when tol is finer),
// or the call is refused naming the m_max that would do.
Status chebyshev_expmv(const SpdOperator& op, double tau, double tol, std::span<const double> src,
                       std::span<double> out, ScratchPool<double>& pool);
// The Chebyshev refusal of a tau * rho whose plan would take more than
// kKrylovMaxProducts products.
inline constexpr const char* kChebyshevBeyondWork =
    "GraphKrylovChernoff: tau * spectral_bound too large: the action would need more than 10000000 operator "
    "products";
// Whether the Chebyshev action of tau with spectral bound rho and this tol
// gets past its planning: neither its work cap nor its rounding refuses it.
// A path another action's refusal may name.
bool chebyshev_plan_fits(double tau, double rho, double tol);
Status lanczos_expmv(const SpdOperator& op, double tau, std::size_t m_max, double tol, std::span<const double> src,
                     std::span<double> out, ScratchPool<double>& pool);

// The Lanczos refusal of a tau * rho (the value) whose table plan would take
// more than kKrylovMaxProducts products on the operator's n rows. No m_max
// serves it: a capped size takes at least the plan's sub-steps, and those
// already exceed what 18 products each leave of the cap. Checked before any
// m_max is named.
inline constexpr const char* kLanczosBeyondWork =
    "GraphKrylovChernoff: tau * spectral_bound too large for the Lanczos path: at any m_max the action would need "
    "more than 10000000 operator products";
// Whether the Lanczos path's table plan for x = tau * rho fits the work cap
// on n rows (what every m_max needs), and the largest such x.
bool lanczos_plan_fits(double x, std::size_t n);
double lanczos_largest_argument(std::size_t n);

}  // namespace quorvane
