#include "python/geometric/domain_args.hpp"

#include <cmath>
#include <string>

#include "core/foundation/numeric.hpp"
#include "python/array.hpp"

namespace quorvane::py {

DomainBox checked_domain(double lo, double hi, std::uint64_t n) {
    if (!std::isfinite(lo) || !std::isfinite(hi)) py_err_with_kind("OutOfDomain", "domain bounds must be finite");
    if (!(lo < hi)) py_err_with_kind("GridMismatch", "domain_lo must be < domain_hi");
    if (n < 4) py_err_with_kind("GridMismatch", "n_per_axis must be >= 4");
    return {lo, hi, n};
}

DomainBox domain_args(const Args& a) {
    const double lo = a.f64(0);
    const double hi = a.f64(1);
    const std::uint64_t n = a.u64(2);
    return checked_domain(lo, hi, n);
}

void check_tau(double tau) {
    if (!finite_nonneg(tau)) py_err_with_kind("OutOfDomain", "tau must be finite and >= 0");
}

std::vector<double> box_u0(PyObject* o, std::uint64_t n, unsigned dim) {
    auto u0 = try_float_vector(o);
    if (!u0) raise_type_error("u0 must be numpy.ndarray[float64] or sequence of floats");
    std::uint64_t count = 1;
    bool fits = true;
    for (unsigned k = 0; k < dim && fits; ++k) fits = !__builtin_mul_overflow(count, n, &count);
    if (!fits || u0->size() != count) {
        Ref total = py_int_pow(n, dim);
        Ref text(PyObject_Str(total.get()));
        const char* digits = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
        if (!digits) throw_python_error();
        py_err_with_kind("GridMismatch", "len(u0)=" + std::to_string(u0->size()) + " != n_per_axis^" +
                                             std::to_string(dim) + "=" + digits);
    }
    return std::move(*u0);
}

Expected<std::vector<double>> refuse_overflow_of_finite(bool finite_u0, Expected<std::vector<double>> r) {
    if (r && finite_u0) {
        if (Status st = check_finite_result(*r); !st) return fail(st.error());
    }
    return r;
}

}  // namespace quorvane::py
