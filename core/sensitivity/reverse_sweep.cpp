#include "core/sensitivity/reverse_sweep.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/foundation/stop.hpp"

namespace quorvane {
namespace {

// A large state overflows the squared misfit (its gradient is then inf
// times zero); a theta * tau that underflows to 0 leaves the square root of
// the shift with an infinite derivative at 0 and the gradient NaN. Either
// result is refused rather than returned.
constexpr const char* kLossOverflow = "value_and_grad: the loss J = sum (u_n - target)^2 overflows the double range";
constexpr const char* kGradientNotFinite = "value_and_grad: the gradient dJ/dtheta is not finite";
constexpr const char* kRegionCountMessage =
    "value_and_grad: theta.len() must equal region_map.region_count() (ADR-0177); use with_region_map to set K "
    "regions, or value_and_grad_k1 for the scalar K=1 path";

Expected<std::vector<double>> step(const DiffusionChernoff& k, std::span<const double> u, double tau) {
    return diffusion_step_serial<double>(k, u, tau);
}

// Nodes a read of one step can reach from its own node: the outer
// quadrature point 2 sqrt(3 a tau) plus the widest interpolation stencil
// (cells i-5 .. i+6 of the degree-9 Hermite). Mirror images lie no farther
// from an inner node than the ghost point they stand for, so reflecting and
// zero ends keep the band; other ends, a varying coefficient (drifting read
// points), a global interpolant (Chebyshev) or a band as wide as the grid
// take every column whole.
std::size_t step_band(const DiffusionChernoff& k, double tau) {
    const std::size_t full = k.grid.n - 1;
    const auto c = k.coef.constant_value();
    const BoundaryTag tag = k.grid.boundary.tag;
    const InterpTag kind = k.grid.interp_kind.tag;
    const bool local = kind == InterpTag::SepticHermite || kind == InterpTag::OctonicHermite ||
                       kind == InterpTag::CubicHermite;
    if (!c || !local || !(tag == BoundaryTag::Reflect || tag == BoundaryTag::Zero)) return full;
    const double cells = 2.0 * std::sqrt(3.0 * *c * tau) / k.grid.dx() + 7.0;
    if (!(cells < static_cast<double>(full))) return full;
    return std::min(full, static_cast<std::size_t>(cells));
}

double dot(std::span<const double> a, std::span<const double> b) {
    double s = 0.0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) s += a[i] * b[i];
    return s;
}

}  // namespace

Expected<StepTranspose> StepTranspose::assemble(const DiffusionChernoff& kernel, double tau) {
    StepTranspose t;
    const std::size_t n = kernel.grid.n;
    t.band_ = step_band(kernel, tau);
    const std::size_t width = 2 * t.band_ + 1;
    // Columns whose indices differ by at least 2 band + 1 never share a row:
    // one step of their sum gives each of them on its own rows.
    const std::size_t probes = std::min(width, n);
    std::vector<std::vector<std::pair<std::size_t, double>>> cols(n);
    std::vector<double> e(n, 0.0);
    for (std::size_t c = 0; c < probes; ++c) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        std::fill(e.begin(), e.end(), 0.0);
        for (std::size_t j = c; j < n; j += probes) e[j] = 1.0;
        auto y = step(kernel, e, tau);
        if (!y) return fail(y.error());
        for (std::size_t j = c; j < n; j += probes) {
            const std::size_t lo = j >= t.band_ ? j - t.band_ : 0, hi = std::min(n - 1, j + t.band_);
            for (std::size_t i = lo; i <= hi; ++i) {
                if ((*y)[i] != 0.0) cols[j].emplace_back(i, (*y)[i]);
            }
        }
    }
    t.start_.assign(1, 0);
    for (const auto& col : cols) {
        for (const auto& [i, w] : col) {
            t.rows_.push_back(i);
            t.values_.push_back(w);
        }
        t.start_.push_back(t.rows_.size());
    }
    return t;
}

void StepTranspose::apply(std::span<const double> g, std::span<double> out) const {
    for (std::size_t j = 0; j + 1 < start_.size(); ++j) {
        double s = 0.0;
        for (std::size_t k = start_[j]; k < start_[j + 1]; ++k) s += values_[k] * g[rows_[k]];
        out[j] = s;
    }
}

Dual1 SeededCoefficient::seeded_coefficient_at(const Dual1& x) const {
    // Nearest node, halves away from zero, saturated then clamped.
    const double r = std::round((x.v - x0) / dx);
    std::int64_t i;
    if (std::isnan(r)) i = 0;
    else if (r >= 9223372036854775807.0) i = std::numeric_limits<std::int64_t>::max();
    else if (r <= -9223372036854775808.0) i = std::numeric_limits<std::int64_t>::min();
    else i = static_cast<std::int64_t>(r);
    const std::size_t k = static_cast<std::size_t>(std::clamp<std::int64_t>(i, 0, static_cast<std::int64_t>(last)));
    if ((*mask)[k]) return {theta_k, 1.0};
    return {(*theta_nodes)[k], 0.0};
}

Expected<ReverseResult> reverse_sweep(const ReverseSweepConfig& config, std::uint64_t n_steps,
                                      const GridFn<double>& u0, std::span<const double> target,
                                      std::span<const double> theta, double tau) {
    const RegionMap& regions = config.region_map;
    const std::uint64_t k_regions = regions.region_count();
    if (theta.size() != k_regions) return fail(CoreError::unsupported_operation(kRegionCountMessage));
    const std::uint64_t every = config.checkpoint_every;
    if (every == 0 && n_steps > 0) internal_fault("reverse_sweep: checkpoint_every must be >= 1");
    if (target.size() < u0.values.size()) internal_fault("reverse_sweep: target shorter than the state");
    const DiffusionChernoff& kernel = config.kernel;

    // Forward pass, keeping u_0, u_c, u_2c, ... below u_n.
    std::vector<std::vector<double>> checkpoints{u0.values};
    std::vector<double> u = u0.values;
    for (std::uint64_t s = 1; s <= n_steps; ++s) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        auto next = step(kernel, u, tau);
        if (!next) return fail(next.error());
        u = std::move(*next);
        if (s < n_steps && s % every == 0) checkpoints.push_back(u);
    }

    ReverseResult r;
    std::vector<double> g(u.size());
    for (std::size_t i = 0; i < u.size(); ++i) {
        const double d = u[i] - target[i];
        r.j += d * d;
        g[i] = d + d;
    }
    // Before the backward pass, which would only carry the Inf on.
    if (!std::isfinite(r.j)) return domain_error(kLossOverflow, r.j);
    r.gradient.assign(k_regions, 0.0);
    if (n_steps == 0) return r;

    auto transpose = StepTranspose::assemble(kernel, tau);
    if (!transpose) return fail(transpose.error());
    const std::size_t n = kernel.grid.n;
    std::vector<double> g_next(g.size());

    // Per-region seeds for K > 1: each node's region theta, 1 where the
    // node is in the differentiated region.
    auto theta_nodes = std::make_shared<std::vector<double>>(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (regions.region_of[i] >= k_regions) internal_fault("reverse_sweep: region index out of range");
        (*theta_nodes)[i] = theta[regions.region_of[i]];
    }
    auto tangent_of = [&](std::uint64_t k, std::span<const double> us) -> Expected<std::vector<double>> {
        if (k_regions == 1) return apply_tangent(config.tangent_kernel, us, tau);
        auto mask = std::make_shared<std::vector<bool>>(n);
        for (std::size_t i = 0; i < n; ++i) (*mask)[i] = regions.region_of[i] == k;
        const double dx = (kernel.grid.xmax - kernel.grid.xmin) / static_cast<double>(std::max<std::size_t>(n - 1, 1));
        DualCoeffSource<Dual1> coef;
        coef.a = SeededCoefficient{mask, theta_nodes, kernel.grid.xmin, dx, std::max<std::size_t>(n - 1, 1), theta[k]};
        const DualDiffusionChernoff<Dual1> seeded{std::move(coef), config.tangent_kernel.grid, kernel.a_norm_bound};
        return apply_tangent(seeded, us, tau);
    };

    // Backward pass, one segment at a time: its states are recomputed once
    // from the segment's checkpoint.
    std::vector<std::vector<double>> segment;
    for (std::uint64_t seg = (n_steps - 1) / every + 1; seg-- > 0;) {
        const std::uint64_t first = seg * every, end = std::min(n_steps, first + every);
        segment.assign(1, checkpoints[seg]);
        for (std::uint64_t s = first + 1; s < end; ++s) {
            if (Status st = poll_stop(); !st) return fail(st.error());
            auto next = step(kernel, segment.back(), tau);
            if (!next) return fail(next.error());
            segment.push_back(std::move(*next));
        }
        for (std::uint64_t s = end; s-- > first;) {
            if (Status st = poll_stop(); !st) return fail(st.error());
            const std::vector<double>& us = segment[s - first];
            for (std::uint64_t k = 0; k < k_regions; ++k) {
                auto t = tangent_of(k, us);
                if (!t) return fail(t.error());
                r.gradient[k] += dot(g, *t);
            }
            transpose->apply(g, g_next);
            std::swap(g, g_next);
        }
    }
    for (const double d : r.gradient) {
        if (!std::isfinite(d)) return domain_error(kGradientNotFinite, d);
    }
    return r;
}

}  // namespace quorvane
