// Tensor trains: a function on an n_1 x ... x n_d grid held as a product of
// small matrices, u(i_1, ..., i_d) = G_1[i_1] G_2[i_2] ... G_d[i_d], so that
// storage grows like d*n*r^2 instead of n^d.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"

namespace quorvane {

// One core: r_left x n x r_right entries, entry (a, i, b) at (a*n + i)*r_right + b
// (right rank fastest), so `data` read row by row is the left unfolding of
// r_left*n rows and r_right columns.
struct TtCore {
    std::vector<double> data;
    std::size_t r_left = 1;
    std::size_t n = 0;
    std::size_t r_right = 1;

    double at(std::size_t a, std::size_t i, std::size_t b) const { return data[(a * n + i) * r_right + b]; }
};

// r_left*n*r_right with an internal fault on overflow.
std::size_t core_size(std::size_t r_left, std::size_t n, std::size_t r_right);

// The error of a tensor-train operation that met or made a NaN or an
// infinity. The decompositions would turn such a value into zeros (a NaN
// singular value counts as 0), so it is refused instead of rounded away.
inline constexpr char kTtNonFinite[] = "all values must be finite (no NaN/Inf)";
Status check_finite_values(std::span<const double> values);
Status check_finite_cores(const std::vector<TtCore>& cores);
bool is_tt_non_finite(const CoreError& e);

// The power of two e that brings the largest magnitude of `values` into
// [0.5, 1) when that magnitude lies outside [2^-200, 2^200], else 0. Within
// that range the squares and products of a decomposition (or of a
// contraction) neither overflow nor underflow; outside it, the values are
// used as values * 2^-e (exact) and the scale put back afterwards.
int decomposition_scale_exponent(std::span<const double> values);

// Puts a power of two 2^e back into `blocks`, factors of one product (the
// cores of a train, or the two halves of a split pair) that were carried
// scaled by 2^-e. Block `preferred` takes all of it when its largest
// magnitude stays within the normal range (the plain ldexp of that block);
// otherwise the exponent is shared so that the largest magnitudes of all
// nonzero blocks end at about the same power of two, which keeps every
// product within reach of the double range. Factors beyond that overflow
// (the caller's finiteness check refuses them) or underflow.
void restore_power_of_two(std::span<const std::span<double>> blocks, std::size_t preferred, std::int64_t e);

// The error of an inner product whose true value lies beyond the double range.
inline constexpr char kTtInnerOverflow[] = "inner_separable: the inner product overflows (not representable as a float)";

// The cores of a train, one per axis. Invariants: the first r_left and the
// last r_right are 1, neighbouring ranks chain, every rank is >= 1 and every
// core holds exactly r_left*n*r_right values.
struct TtState {
    std::vector<TtCore> cores;

    // A rank-1 (separable) train: core j holds slice j.
    static TtState from_slices(std::vector<std::vector<double>> slices);

    std::size_t ndim() const { return cores.size(); }
    // The largest right rank; 1 without cores.
    std::size_t peak_rank() const;
    // Number of stored values.
    std::size_t storage_size() const;
    // Sum over all multi-indices of f_1[i_1]...f_d[i_d] u(i_1, ..., i_d), by a
    // left-to-right contraction; one functional per core, of its mode size.
    // Partial products that would leave the double range are carried scaled
    // by powers of two; a sum that itself exceeds it fails with
    // kTtInnerOverflow (value: the infinity it would have been).
    Expected<double> inner_separable(const std::vector<std::vector<double>>& functionals) const;
    // One left-to-right pass over the bonds: each bond keeps the singular
    // directions of the left core's unfolding above eps * (its largest
    // singular value), leaves the left core with orthonormal columns and
    // pushes the remaining factor into the right neighbour. The ranks never
    // grow and never exceed the row count of the left unfolding. The pushed
    // factors are carried scaled by powers of two, so a product of cores
    // that leaves the double range part-way (1e-300 * 1e-300 * 1e300) is
    // kept; the scale ends in the last core, or is shared out over all cores
    // when the last alone would leave the normal range.
    // A non-finite value in any core, or one the pass makes (a pushed factor
    // that overflows), ends it with the kTtNonFinite error and the cores
    // partly rounded: the caller discards them.
    [[nodiscard]] static Status round(std::vector<TtCore>& cores, double eps_round);
};

// The merged pair theta[a, p, q, b] = sum_s G_j[a, p, s] G_k[s, q, b],
// index ((a*n_j + p)*n_k + q)*r_right_k + b. A zero entry of G_j is skipped,
// so it contributes nothing (not even a NaN). The cores enter scaled by
// 2^-e_left and 2^-e_right (0 leaves them as they are), so that cores far
// from unit size are multiplied at unit size, the caller carrying the powers
// of two.
std::vector<double> merge_adjacent_cores(const TtCore& left, const TtCore& right, int e_left, int e_right);

}  // namespace quorvane
