// Gradients served at every scale of their data: a gradient dJ/dtheta of a
// linear flow is linear in u0 and in dj = dJ/du_n apart.
#pragma once

#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/numeric.hpp"
#include "python/evolver.hpp"

namespace quorvane::py {

// How far beyond the double range a gradient lies: the gradient of the
// caller's u0 (max|u0| = top_in) has its largest entry at top_out 2^back
// (top_out 0: the gradient is within the range).
struct GradientBeyond {
    double top_in = 0.0;
    double top_out = 0.0;
    int back = 0;
};

// `grad(u0, dj, m)`, the gradient at the data given with the flow's operator
// scaled by 2^-m and the time by 2^m (the same steps; the gradient taken
// with respect to parameters of the scaled operator, 2^m times the plain
// one), on finite u0 and dj. It is computed on u0 2^-eu and dj 2^-ej at
// max|u0|, max|dj| in [1, 2) and scaled back by 2^(eu + ej), every scaling
// exact: the bits of the plain call where its intermediates stay normal,
// and none of them over- or underflows for data near either end of the
// range (products of u and dj with the operator's powers). Where that
// result is not finite, or the call refused its own non-finite result, an
// intermediate of the operator's size overflowed: the call is run once more
// with the operator scaled by 2^-m (`m`, which the caller chose to bring it
// near 1; 0 keeps it) and scaled back by 2^(eu + ej - m). A result beyond
// the range only when scaled back leaves `beyond` set and the first outcome
// returned.
template <class Grad>
Expected<std::vector<double>> gradient_at_any_scale(std::span<const double> u0, std::span<const double> dj, int m,
                                                    GradientBeyond& beyond, Grad&& grad) {
    if (!all_finite(u0) || !all_finite(dj)) return grad(u0, dj, 0);
    const int eu = unit_scale_exponent(u0), ej = unit_scale_exponent(dj);
    std::vector<double> su0(u0.begin(), u0.end()), sdj(dj.begin(), dj.end());
    scale_by_power_of_two(su0, -eu);
    scale_by_power_of_two(sdj, -ej);
    // The call with the operator scaled by 2^-k, its result scaled back;
    // false where it is not finite even at the data's unit scale.
    auto at = [&](int k, Expected<std::vector<double>>& out) {
        out = grad(su0, sdj, k);
        if (overflowed_inside(out)) return false;
        if (!out) return true;
        const double top = largest_abs(*out);
        scale_by_power_of_two(*out, eu + ej - k);
        if (!all_finite(*out)) beyond = {largest_abs(u0), top, eu + ej - k};
        return true;
    };
    Expected<std::vector<double>> out = fail(CoreError::unsupported_operation("gradient: not run"));
    if (at(0, out) || m == 0) return out;
    Expected<std::vector<double>> again = out;
    return at(m, again) ? again : out;
}

// "NanInf": a gradient beyond the double range (`fn` names the call); it is
// linear in u0, so the same u0 scaled down to the max|u0| named has one
// within it.
[[noreturn]] void raise_gradient_beyond(const char* fn, const GradientBeyond& beyond);

}  // namespace quorvane::py
