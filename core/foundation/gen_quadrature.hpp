// Gauss quadrature rules built at run time by the Golub-Welsch method.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"

namespace quorvane {

inline constexpr std::size_t kMaxQuadratureNodes = 32;

struct TridiagonalEigen {
    std::array<double, kMaxQuadratureNodes> values{};            // ascending in slots 0..n-1
    std::array<double, kMaxQuadratureNodes> first_components{};  // of the normalised eigenvectors, same order
};

// Eigenvalues and first eigenvector components of the n x n symmetric
// tridiagonal matrix with diagonal[0..n) and off_diagonal[0..n-1) (entry j
// couples rows j and j+1), by implicit QL with shifts. Empty when some
// eigenvalue has not converged after 30 sweeps. n > 32 is an internal fault.
std::optional<TridiagonalEigen> symmetric_tridiagonal_eigen(
    const std::array<double, kMaxQuadratureNodes>& diagonal,
    const std::array<double, kMaxQuadratureNodes>& off_diagonal, std::size_t n);

struct QuadratureRule {
    std::vector<double> nodes;
    std::vector<double> weights;  // include the weight function: sum w_k f(x_k) ~ integral f w
};

// n-point Gauss-Legendre rule on [a, b] (exact for degree <= 2n-1); a > b
// gives the nodes descending and negative weights. If the eigen-solver does
// not converge, the n-point composite midpoint rule. Fails with a
// DomainViolation for n outside 1..32 or a non-finite a or b.
Expected<QuadratureRule> gauss_legendre_rule(std::size_t n, double a, double b);

// n-point generalised Gauss-Laguerre rule for the weight x^alpha e^-x on
// [0, inf) (exact for degree <= 2n-1, weights summing to Gamma(alpha+1)). If
// the eigen-solver does not converge, the first n entries of the classical
// 32-point rule for alpha = 0. Fails with a DomainViolation for n outside
// 1..32, for alpha NaN, infinite or <= -1, and when Gamma(alpha+1)
// overflows.
Expected<QuadratureRule> gamma_weighted_gauss_rule(std::size_t n, double alpha);

// The 32-point Gauss-Hermite rule for the weight e^{-x^2} on the real line:
// the roots of H_32 in ascending order (outermost +-7.12581) and their
// positive weights, symmetric, summing to sqrt(pi). Exact for polynomials of
// degree <= 63.
struct GaussHermite32 {
    std::array<double, 32> nodes{};
    std::array<double, 32> weights{};
};
const GaussHermite32& gauss_hermite_32();

// One rung of the Gauss-Hermite ladder (weight e^{-x^2}): level l = 1..5 is
// the (2l - 1)-point rule, nodes ascending, weights summing to sqrt(pi) to
// about 15 digits. Fails with a DomainViolation for a level outside 1..5.
struct GaussHermiteRung {
    std::span<const double> nodes;
    std::span<const double> weights;
};
inline constexpr std::size_t kGaussHermiteLadderDepth = 5;
Expected<GaussHermiteRung> gauss_hermite_ladder(std::size_t level);

}  // namespace quorvane
