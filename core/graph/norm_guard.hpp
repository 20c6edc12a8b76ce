// The backstop of the explicit graph heat steps: heat under a symmetric
// positive semi-definite L never grows the 2-norm (d/dt ||u||^2 = -2 u'Lu),
// nor does the exponential of a Magnus exponent, whose symmetric part is a
// negative semi-definite combination of the samples and whose commutators
// are skew. A stable step polynomial keeps that (|p(-tau lambda)| <= 1 on
// the spectrum), so a result whose norm exceeds the input's by more than the
// rounding of the steps comes from unstable steps, whatever bound admitted
// them. An operator with a negative part may grow the norm by exp(t mu),
// mu its norm growth rate (norm_growth_rate), and is allowed that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quorvane {

// The 2-norm, scaled so that no square overflows or underflows.
double norm2(std::span<const double> v);

// Relative growth of the norm that rounding may cause over n_steps steps of
// `products` sparse products each, at unit roundoff `unit`: the steps do not
// amplify earlier errors, so each step adds at most its own, a few units per
// product.
double rounding_growth(std::uint64_t n_steps, int products, double unit);

struct NormGrowth {
    std::size_t column = 0;
    double before = 0.0;
    double after = 0.0;
};

// The first column (c columns of n values, one after the other) whose norm
// in `after` exceeds its norm in `before` times exp(log_allowance) (1 + tol);
// nullopt when none does, or when the allowance is not finite.
std::optional<NormGrowth> first_grown_column(std::span<const double> before, std::span<const double> after,
                                             std::size_t n, double log_allowance, double tol);

}  // namespace quorvane
