// The resolvent R(lambda) g = (lambda - d^2)^{-1} g of unit diffusion with
// reflecting ends as the Laplace transform of the semigroup,
// int_0^inf e^{-lambda t} S(t) g dt, with S(t) replaced by n_chernoff heat
// steps and the integral by the 32-point Gauss-Laguerre rule (t = x/lambda).
//
// The rule integrates e^{-x} p(x) exactly for degree <= 63; a mode of
// eigenvalue mu contributes e^{-(mu/lambda) x}, which it resolves only for
// mu up to about 10 lambda at n_chernoff = 32. Higher modes are damped
// wrongly; the residual tells.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/line/diffusion.hpp"

namespace quorvane {

struct LaplaceChernoffResolvent {
    DiffusionChernoff kernel;
    std::size_t n_chernoff = 32;

    // n_chernoff >= 1 ("LaplaceChernoffResolvent n must be >= 1").
    static Expected<LaplaceChernoffResolvent> make(const Grid1D<double>& grid, std::size_t n_chernoff);

    // lambda finite and > 0; g has grid.n finite values.
    Expected<std::vector<double>> apply_into(double lambda, std::span<const double> g) const;

    // The quadrature's longest step, x_31/(lambda n_chernoff), grows as
    // lambda shrinks until the unit step's reads lie beyond 2^53 cells or
    // beyond the double range. For a finite lambda > 0 whose steps do so: the
    // least lambda served, four digits rounded up; nullopt otherwise, and
    // where even the first step is not finite (the driver refuses it).
    std::optional<double> least_lambda_if_refused(double lambda) const;
};

inline constexpr const char* kLambdaMessage = "lambda must be finite and > 0 (real-\u03bb contract; complex \u03bb deferred v4.0)";

// max over interior nodes of |lambda R_i - (R_{i+1} - 2 R_i + R_{i-1})/h^2 - g_i|.
Expected<double> verify_residual(double lambda, std::span<const double> r, std::span<const double> g, double h);

}  // namespace quorvane
