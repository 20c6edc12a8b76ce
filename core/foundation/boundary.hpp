// Boundary policies, finite-difference stencils and off-grid evaluation.
//
// A boundary policy gives a value to every integer node index, inside the
// grid or beyond either end; stencils and interpolants read every node value
// through it.
#pragma once

#include <cstdint>
#include <span>

#include "core/foundation/dual.hpp"

namespace quorvane {

enum class BoundaryTag : std::uint8_t {
    Reflect = 0,
    Zero = 1,
    Periodic = 2,
    Linear = 3,
    Constant = 4,
    Clamp = 5,
    RobinImage = 6,
    OddReflect = 7,
};

template <class F>
struct BoundaryPolicy {
    BoundaryTag tag = BoundaryTag::Reflect;
    F p1{};  // Constant: the value; RobinImage: alpha
    F p2{};  // RobinImage: beta

    static BoundaryPolicy reflect() { return {BoundaryTag::Reflect, F{}, F{}}; }
    static BoundaryPolicy of(BoundaryTag t) { return {t, F{}, F{}}; }
    static BoundaryPolicy constant(F c) { return {BoundaryTag::Constant, c, F{}}; }
    static BoundaryPolicy robin_image(F alpha, F beta) { return {BoundaryTag::RobinImage, alpha, beta}; }

    // Value at node index i (any value) of the samples u[0..n).
    F sample(std::span<const F> u, std::size_t n, std::int64_t i, F dx) const;
};

// Mirror index about node 0 and node n-1 (period 2n-2), for any distance.
std::int64_t mirror_index(std::int64_t i, std::size_t n);
// Euclidean remainder i mod n.
std::int64_t periodic_index(std::int64_t i, std::size_t n);
// Distance beyond the nearer end node (64-bit; the count is never truncated).
std::uint64_t outside_distance(std::int64_t i, std::size_t n);

// The terms of one policy value as a linear form of the node values:
// sample(u, n, i, dx) = sum of weight * u[index] over the terms.
struct SampleTerm {
    std::int64_t index;
    double weight;
};

// The form of BoundaryPolicy<double>::sample(u, n, i, dx): its terms in
// `terms` (at most three), their count returned; -1 where the value is not
// linear in u (a Constant policy beyond the ends).
int sample_form(const BoundaryPolicy<double>& p, std::size_t n, std::int64_t i, double dx, SampleTerm (&terms)[3]);

// The degree-7 set's undivided differences as stencils over the node
// offsets -4..4 (d1, order 8) and -3..3 (d2, order 6; d3, order 4): each the
// sum of its numerators times the taps, over its denominator.
inline constexpr double kSepticD1[9] = {3, -32, 168, -672, 0, 672, -168, 32, -3};
inline constexpr double kSepticD2[7] = {2, -27, 270, -490, 270, -27, 2};
inline constexpr double kSepticD3[7] = {1, -8, 13, 0, -13, 8, -1};
inline constexpr double kSepticD1Denominator = 840.0;
inline constexpr double kSepticD2Denominator = 180.0;
inline constexpr double kSepticD3Denominator = 8.0;

// Undivided central finite differences dx^k u^(k)(x_i), taps read through
// the policy. Degree-7 set: d1 o8, d2 o6, d3 o4. Degree-9 set: d1 o10,
// d2 o8, d3 o8, d4 o6.
template <class F> F fd_d1_o8(std::span<const F> u, const BoundaryPolicy<F>& p, std::size_t n, std::int64_t i, F dx);
template <class F> F fd_d2_o6(std::span<const F> u, const BoundaryPolicy<F>& p, std::size_t n, std::int64_t i, F dx);
template <class F> F fd_d3_o4(std::span<const F> u, const BoundaryPolicy<F>& p, std::size_t n, std::int64_t i, F dx);
template <class F> F fd_d1_o10(std::span<const F> u, const BoundaryPolicy<F>& p, std::size_t n, std::int64_t i, F dx);
template <class F> F fd_d2_o8(std::span<const F> u, const BoundaryPolicy<F>& p, std::size_t n, std::int64_t i, F dx);
template <class F> F fd_d3_o8(std::span<const F> u, const BoundaryPolicy<F>& p, std::size_t n, std::int64_t i, F dx);
template <class F> F fd_d4_o6(std::span<const F> u, const BoundaryPolicy<F>& p, std::size_t n, std::int64_t i, F dx);

// Basis weights of the degree-7 two-point Hermite interpolant at the
// fractional position t of the cell [x_i, x_i+1]:
//   u(x_i + t dx) = h0 u_i + h1 u_i+1 + g0 D1_i + g1 D1_i+1 + k0 D2_i + k1 D2_i+1 + l0 D3_i + l1 D3_i+1
// with D1, D2, D3 the undivided differences fd_d1_o8, fd_d2_o6, fd_d3_o4.
template <class F>
struct Hermite7Weights {
    F h0, h1, g0, g1, k0, k1, l0, l1;
};
template <class F> Hermite7Weights<F> hermite7_weights(F t);

}  // namespace quorvane
