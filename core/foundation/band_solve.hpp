// Square band systems solved by Gaussian elimination with partial pivoting.
//
// Row i keeps the columns i - kl .. i + ku + kl: the band itself and the kl
// further columns that row exchanges can fill (as in LAPACK's band LU). The
// elimination is O(n kl (kl + ku)) and needs no storage beyond the band.
#pragma once

#include <complex>
#include <cstddef>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"

namespace quorvane {

template <class T>
struct BandSystem {
    std::size_t n = 0, kl = 0, ku = 0;
    std::vector<T> rows;  // n rows of width() entries

    // An n x n system of zeros; the caller has checked that n (2 kl + ku + 1)
    // values fit in memory.
    static BandSystem zeros(std::size_t n, std::size_t kl, std::size_t ku);

    std::size_t width() const { return 2 * kl + ku + 1; }
    // Entry (i, c) for i - kl <= c <= i + ku + kl.
    T& at(std::size_t i, std::size_t c) { return rows[i * width() + (c + kl - i)]; }
    const T& at(std::size_t i, std::size_t c) const { return rows[i * width() + (c + kl - i)]; }
};

// Solves A x = b, overwriting the system with its elimination and b with x.
// Fails (DomainViolation) where a pivot column is exactly zero: A is
// singular. A stop request (poll_stop) ends the elimination.
template <class T>
Status band_solve(BandSystem<T>& a, std::span<T> b);

extern template struct BandSystem<double>;
extern template struct BandSystem<std::complex<double>>;

}  // namespace quorvane
