#include "core/foundation/numeric.hpp"

namespace quorvane {
namespace {

template <class F>
int unit_scale_exponent_of(std::span<const F> v) {
    F top = F(0);
    for (const F x : v) top = std::fmax(top, std::fabs(x));
    return top > F(0) && std::isfinite(top) ? std::ilogb(top) : 0;
}

template <class F>
bool all_finite_of(std::span<const F> v) {
    for (const F x : v)
        if (!std::isfinite(x)) return false;
    return true;
}

template <class F>
void scale_by_power_of_two_of(std::span<F> v, int e) {
    for (F& x : v) x = std::ldexp(x, e);
}

}  // namespace

int unit_scale_exponent(std::span<const double> v) { return unit_scale_exponent_of(v); }
int unit_scale_exponent(std::span<const float> v) { return unit_scale_exponent_of(v); }
void scale_by_power_of_two(std::span<double> v, int e) { scale_by_power_of_two_of(v, e); }
void scale_by_power_of_two(std::span<float> v, int e) { scale_by_power_of_two_of(v, e); }
bool all_finite(std::span<const double> v) { return all_finite_of(v); }
bool all_finite(std::span<const float> v) { return all_finite_of(v); }

}  // namespace quorvane
