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

// Classical 32-point Gauss-Laguerre rule (weight e^-x), 15 significant digits.
inline constexpr double kLaguerre32Nodes[32] = {
    0.044489365833267, 0.234526109519619, 0.576884629301886, 1.07244875381782,
    1.72240877644465, 2.52833670642579, 3.49221327302199, 4.61645676974977,
    5.90395850417424, 7.35812673318624, 8.9829409242126, 10.78301863254,
    12.7636979867427, 14.9311397555226, 17.2924543367153, 19.8558609403361,
    22.6308890131968, 25.6286360224592, 28.8621018163235, 32.3466291539647,
    36.100494805752, 40.1457197715394, 44.5092079957549, 49.2243949873086,
    54.3337213333969, 59.892509162134, 65.9753772879351, 72.6876280906627,
    80.1874469779135, 88.7353404178924, 98.829542868284, 111.751398097938,
};
inline constexpr double kLaguerre32Weights[32] = {
    0.109218341952385, 0.210443107938813, 0.235213229669848, 0.195903335972881,
    0.129983786286072, 0.0705786238657174, 0.0317609125091751, 0.0119182148348386,
    0.00373881629461152, 0.000980803306614955, 0.000214864918801364, 3.92034196798795e-5,
    5.93454161286863e-6, 7.41640457866755e-7, 7.60456787912078e-8, 6.35060222662581e-9,
    4.28138297104093e-10, 2.30589949189134e-11, 9.79937928872709e-13, 3.23780165772927e-14,
    8.17182344342072e-16, 1.54213383339382e-17, 2.11979229016362e-19, 2.05442967378805e-21,
    1.3469825866374e-23, 5.66129413039736e-26, 1.41856054546304e-28, 1.91337549445422e-31,
    1.19224876009822e-34, 2.67151121924014e-38, 1.33861694210626e-42, 4.51053619389897e-48,
};

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
