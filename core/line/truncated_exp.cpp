#include "core/line/truncated_exp.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "core/foundation/numeric.hpp"
#include "core/line/truncated_exp4_compute.hpp"

namespace quorvane {

Status truncated_exp_stencil(PlainFn a, const Grid1D<double>& grid, std::span<const double> v,
                             std::span<double> out, std::size_t count, double h) {
    return truncated_exp_stencil_nodes(a, grid, v, out, count, 0, count, h);
}

Status truncated_exp_stencil_nodes(PlainFn a, const Grid1D<double>& grid, std::span<const double> v,
                                   std::span<double> out, std::size_t count, std::size_t begin, std::size_t end,
                                   double h) {
    const double dx = grid.dx();
    const double hs = h / series_unit(h);  // the stencil on the series' grid
    for (std::size_t i = begin; i < end; ++i) {
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
        out[i] = ((right - ui) * a_plus - (ui - left) * a_minus) / (hs * hs);
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

Status step_refusal(const TruncatedExpDiffusionChernoff& k, double tau, double dx) {
    if (Status st = truncated_exp_check_args(tau, k.a_norm_bound); !st) return st;
    // The quartic series is contractive on the stencil's spectrum only while
    // tau * 4 ||a|| / dx^2 < 2; equality already fails.
    const double ds = dx / series_unit(dx);
    if ((series_tau(tau, dx) + series_tau(tau, dx)) * k.a_norm_bound >= ds * ds) {
        return fail(CoreError::cfl_violated(tau, dx * dx, k.a_norm_bound));
    }
    return {};
}

TruncatedExpSteps TruncatedExpDiffusionChernoff::node_steps(const Grid1D<double>& g, double tau, std::size_t shares,
                                                            std::size_t) const {
    return TruncatedExpSteps(step_refusal(*this, tau, g.dx()), truncated_exp_stencil_nodes, false, a, drift, g, tau,
                             shares);
}

TruncatedExpSteps::TruncatedExpSteps(Status refusal, Stencil stencil, bool node_sum, PlainFn a, PlainFn drift,
                                     const Grid1D<double>& grid, double tau, std::size_t shares)
    : refusal_(refusal),
      stencil_(stencil),
      node_sum_(node_sum),
      a_(a),
      drift_(drift),
      grid_(grid),
      tau_(tau),
      shares_(std::max<std::size_t>(shares, 1)) {}

void TruncatedExpSteps::prepare(std::size_t n) {
    if (!refusal_) return;
    for (auto& k : k_) k.assign(n, 0.0);
}

Status TruncatedExpSteps::non_finite() const {
    for (const Share& sh : shares_) {
        if (sh.bad) return domain_error(kTruncatedExpNotFiniteMessage, *sh.bad);
    }
    return {};
}

Status TruncatedExpSteps::phase(std::size_t p, const GridFn<double>& src, GridFn<double>& dst, std::size_t begin,
                                std::size_t end, std::size_t share) {
    if (p == 0) {
        if (!refusal_) return refusal_;
        // The previous step's result, complete since the last barrier.
        if (Status st = non_finite(); !st) return st;
    }
    if (begin >= end) return {};
    const std::size_t n = src.values.size();
    const double dx = grid_.dx();
    if (p < 4) {
        const std::span<const double> v = p == 0 ? std::span<const double>(src.values) : k_[p - 1];
        return stencil_(a_, grid_, v, k_[p], n, begin, end, dx);
    }
    return series(src, dst, begin, end, share);
}

Status TruncatedExpSteps::series(const GridFn<double>& src, GridFn<double>& dst, std::size_t begin, std::size_t end,
                                 std::size_t share) {
    Share& sh = shares_[share];
    const std::array<std::span<const double>, 5> series{src.values, k_[0], k_[1], k_[2], k_[3]};
    double* out = dst.values.data();
    if (node_sum_ && drift_ == nullptr) {
        // Nodes sit on the samples: sum the node values, no interpolation.
        for (std::size_t i = begin; i < end; ++i) out[i] = truncated_exp4_node_sum(series, i, series_tau(tau_, grid_.dx()));
    } else {
        const TruncatedExpCoeffs c = truncated_exp_coeffs(series_tau(tau_, grid_.dx()));
        if (!sh.prepared) {
            // Without a drift every node reads the series at itself, through
            // the interpolant: the cells and weights are found once.
            sh.prepared = true;
            const double none[1] = {0.0};
            sh.planned = drift_ == nullptr && sh.plan.make(grid_, grid_, none, begin, end);
        }
        if (sh.planned) {
            sh.plan.run_sources<5>(series, grid_, out, [&](const double* at) {
                return ((((at[0] + 0.0) + at[1] * c.c1) + at[2] * c.c2) + at[3] * c.c3) + at[4] * c.c4;
            });
        } else {
            const double dx = grid_.dx();
            for (std::size_t i = begin; i < end; ++i) {
                const double x = grid_.xmin + static_cast<double>(i) * dx;
                const double p = drift_ != nullptr ? x - (tau_ * 0.5) * drift_(x) : x;
                auto v = truncated_exp_series_at(grid_, series, p, c);
                if (!v) return fail(v.error());
                out[i] = *v;
            }
        }
    }
    const double* bad = first_non_finite<double>(std::span<const double>(out + begin, end - begin));
    sh.bad = bad ? std::optional<double>(*bad) : std::nullopt;
    return {};
}

Status TruncatedExpDiffusionChernoff::apply_into(const GridFn<double>& in, GridFn<double>& out,
                                                 ScratchPool<double>& pool, double tau) const {
    const Grid1D<double>& g = in.grid;
    const double dx = g.dx();
    if (Status st = step_refusal(*this, tau, dx); !st) return st;

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
    const TruncatedExpCoeffs c = truncated_exp_coeffs(series_tau(tau, dx));
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
