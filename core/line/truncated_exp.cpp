#include "core/line/truncated_exp.hpp"

#include <array>
#include <vector>

#include "core/foundation/numeric.hpp"

namespace quorvane {

Status truncated_exp_stencil(PlainFn a, const Grid1D<double>& grid, std::span<const double> v,
                             std::span<double> out, std::size_t count, double h) {
    const double dx = grid.dx();
    for (std::size_t i = 0; i < count; ++i) {
        const double x = grid.xmin + static_cast<double>(i) * dx;
        const double ui = v[i];
        double right;
        if (i + 1 < count) {
            right = v[i + 1];
        } else {
            auto r = grid.interp(v, x + h);
            if (!r) return fail(r.error());
            right = *r;
        }
        double left;
        if (i > 0) {
            left = v[i - 1];
        } else {
            auto l = grid.interp(v, x - h);
            if (!l) return fail(l.error());
            left = *l;
        }
        const double a_plus = a((x + (x + h)) * 0.5);
        const double a_minus = a((x + (x - h)) * 0.5);
        out[i] = ((right - ui) * a_plus - (ui - left) * a_minus) / (h * h);
    }
    return {};
}

TruncatedExpCoeffs truncated_exp_coeffs(double tau) {
    return {tau, (tau * tau) * 0.5, (tau * (tau * tau)) * (1.0 / 6.0), (tau * (tau * (tau * tau))) * (1.0 / 24.0)};
}

Status truncated_exp_check_args(double tau, double a_norm_bound) {
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and >= 0", tau);
    // A positive subnormal bound is accepted; zero, negatives and non-finite are not.
    if (!(std::isfinite(a_norm_bound) && a_norm_bound > 0.0)) {
        return domain_error("a_norm_bound must be finite and > 0", a_norm_bound);
    }
    return {};
}

Expected<double> truncated_exp_series_at(const Grid1D<double>& g, const std::array<std::span<const double>, 5>& series,
                                         double p, const TruncatedExpCoeffs& c) {
    std::array<double, 5> at{};
    for (std::size_t j = 0; j < 5; ++j) {
        auto r = g.interp(series[j], p);
        if (!r) return fail(r.error());
        at[j] = *r;
    }
    return ((((at[0] + 0.0) + at[1] * c.c1) + at[2] * c.c2) + at[3] * c.c3) + at[4] * c.c4;
}

TruncatedExpDiffusionChernoff TruncatedExpDiffusionChernoff::unit(const Grid1D<double>& grid) {
    return {grid, coeff_one, coeff_zero, coeff_zero, 1.0, nullptr};
}

Status TruncatedExpDiffusionChernoff::apply_into(const GridFn<double>& in, GridFn<double>& out,
                                                 ScratchPool<double>& pool, double tau) const {
    if (Status st = truncated_exp_check_args(tau, a_norm_bound); !st) return st;
    const Grid1D<double>& g = in.grid;
    const double dx = g.dx();
    // The quartic series is contractive on the stencil's spectrum only while
    // tau * 4 ||a|| / dx^2 < 2; equality already fails.
    if ((tau + tau) * a_norm_bound >= dx * dx) return fail(CoreError::cfl_violated(tau, dx * dx, a_norm_bound));

    const std::size_t n = in.values.size();
    std::vector<double> k1 = pool.take(n);
    std::vector<double> k2 = pool.take(n);
    std::vector<double> k3 = pool.take(n);
    std::vector<double> k4 = pool.take(n);
    if (Status st = truncated_exp_stencil(a, g, in.values, k1, n, dx); !st) return st;
    if (Status st = truncated_exp_stencil(a, g, k1, k2, n, dx); !st) return st;
    if (Status st = truncated_exp_stencil(a, g, k2, k3, n, dx); !st) return st;
    if (Status st = truncated_exp_stencil(a, g, k3, k4, n, dx); !st) return st;

    out.values.resize(n, 0.0);
    const TruncatedExpCoeffs c = truncated_exp_coeffs(tau);
    const std::array<std::span<const double>, 5> series{in.values, k1, k2, k3, k4};
    for (std::size_t i = 0; i < n; ++i) {
        const double x = g.xmin + static_cast<double>(i) * dx;
        const double p = drift != nullptr ? x - (tau * 0.5) * drift(x) : x;
        // Every term is read through the interpolant, also at p = x_i.
        auto v = truncated_exp_series_at(g, series, p, c);
        if (!v) return fail(v.error());
        out.values[i] = *v;
    }
    if (const double* bad = first_non_finite<double>(out.values)) {
        return domain_error(kTruncatedExpNotFiniteMessage, *bad);
    }
    pool.give_back(std::move(k1));
    pool.give_back(std::move(k2));
    pool.give_back(std::move(k3));
    pool.give_back(std::move(k4));
    return {};
}

}  // namespace quorvane
