// Argument checks shared by the classes that hold only a box [lo, hi]^D with
// n nodes per axis and take u0 per call (ComplexTripleJumpV8, SmolyakD6V8).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "python/frame.hpp"

namespace quorvane::py {

struct DomainBox {
    double lo = 0.0;
    double hi = 1.0;
    std::uint64_t n = 0;
};

// "[OutOfDomain] domain bounds must be finite", "[GridMismatch] domain_lo
// must be < domain_hi", "[GridMismatch] n_per_axis must be >= 4", in order.
DomainBox checked_domain(double lo, double hi, std::uint64_t n);
// The constructor arguments (domain_lo, domain_hi, n_per_axis), converted
// in order and checked.
DomainBox domain_args(const Args& a);

// "[OutOfDomain] tau must be finite and >= 0" (-0.0 accepted).
void check_tau(double tau);

// u0 by the float-sequence conversion (TypeError "u0 must be
// numpy.ndarray[float64] or sequence of floats"), then its length against
// n**dim: "[GridMismatch] len(u0)={} != n_per_axis^{dim}={}".
std::vector<double> box_u0(PyObject* o, std::uint64_t n, unsigned dim);

// The result of an apply from u0 (finite_u0: u0 held no NaN or inf). One
// that finite data carried beyond the double range (sums that overflowed) is
// refused as check_finite_result refuses it (NanInf), never returned; NaN or
// inf given in u0 is carried to the result as it comes.
Expected<std::vector<double>> refuse_overflow_of_finite(bool finite_u0, Expected<std::vector<double>> r);

}  // namespace quorvane::py
