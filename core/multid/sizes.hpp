// Node counts of tensor grids, multiplied without wrapping.
//
// A product of user-given counts that does not fit in 64 bits must match no
// array length; a wrapped product (2^32 * 2^32 = 0) would let an empty list
// pass a length check and send the stepping code far outside its buffers.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>

namespace quorvane {

using Counts = std::span<const std::size_t>;
inline Counts counts_of(std::initializer_list<std::size_t> c) { return Counts(c.begin(), c.size()); }

// The product of the factors, or nullopt when it does not fit in size_t.
inline std::optional<std::size_t> checked_product(Counts factors) {
    std::size_t p = 1;
    for (std::size_t f : factors)
        if (__builtin_mul_overflow(p, f, &p)) return std::nullopt;
    return p;
}
inline std::optional<std::size_t> checked_product(std::initializer_list<std::size_t> f) {
    return checked_product(counts_of(f));
}

// True when `len` equals the exact product of the factors.
inline bool length_matches(std::size_t len, Counts factors) {
    const std::optional<std::size_t> p = checked_product(factors);
    return p && *p == len;
}
inline bool length_matches(std::size_t len, std::initializer_list<std::size_t> f) {
    return length_matches(len, counts_of(f));
}

// The exact decimal product of the factors, however large.
std::string exact_product_text(Counts factors);
inline std::string exact_product_text(std::initializer_list<std::size_t> f) { return exact_product_text(counts_of(f)); }

}  // namespace quorvane
