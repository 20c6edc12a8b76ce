#include "core/bounded/obstacle.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "core/foundation/coeff.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/foundation/stop.hpp"
#include "core/line/read_reach.hpp"

namespace quorvane {

Expected<ConstantObstacle> ConstantObstacle::make(double level) {
    if (!std::isfinite(level)) return domain_error("ConstantObstacle: level must be finite", level);
    return ConstantObstacle{level};
}

Status ConstantObstacle::project_in_place(std::span<double> u) const {
    for (double& x : u)
        if (x < level) x = level;
    return {};
}

Expected<ArrayObstacle> ArrayObstacle::make(std::vector<double> g) {
    if (const double* bad = first_non_finite<double>(g))
        return domain_error("ArrayObstacle: obstacle_array contains NaN or Inf", *bad);
    return ArrayObstacle{std::move(g)};
}

Status ArrayObstacle::project_in_place(std::span<double> u) const {
    if (u.size() != g.size())
        return domain_error("ArrayObstacle::project_in_place: obstacle length != grid n", static_cast<double>(g.size()));
    for (std::size_t i = 0; i < u.size(); ++i)
        if (u[i] < g[i]) u[i] = g[i];
    return {};
}

StrangDiffusionDrift constant_coefficient_kernels(const Grid1D<double>& grid, double a, double b, double c) {
    // The projected steps keep no range of their own: the drift's reads are
    // held to their cells' ranges, so a front it carries brings no overshoot.
    DriftReactionChernoff drift = DriftReactionChernoff::constant(grid, b, c, std::fabs(c));
    drift.bounded_reads = true;
    return StrangDiffusionDrift{DiffusionChernoff{CoeffSource::constant(a), grid, a}, std::move(drift)};
}

const Grid1D<double>& ObstacleChernoff::grid() const {
    return std::visit([](const auto& k) -> const Grid1D<double>& {
        if constexpr (requires { k.grid; }) return k.grid;
        else return k.diffusion.grid;
    }, kernel);
}

bool step_reads_located(const ObstacleChernoff& evolver, double tau) {
    if (const auto* heat = std::get_if<DiffusionChernoff>(&evolver.kernel)) return heat_reads_located(*heat, tau);
    const StrangDiffusionDrift& split = std::get<StrangDiffusionDrift>(evolver.kernel);
    if (!heat_reads_located(split.diffusion, tau * 0.5)) return false;
    for (std::size_t i = 0; i < split.drift.grid.n; ++i) {
        if (!read_is_located(split.drift.grid, split.drift.foot_and_factor(i, tau).foot)) return false;
    }
    return true;
}

Expected<std::vector<double>> ObstacleChernoff::evolve(std::vector<double> values, double t,
                                                        std::size_t n_steps) const {
    auto cur = GridFn<double>::make(grid(), std::move(values));
    if (!cur) return fail(cur.error());
    const double tau = t / static_cast<double>(n_steps);
    GridFn<double> other{cur->grid, std::vector<double>(cur->values.size(), 0.0)};
    ScratchPool<double> pool;
    for (std::size_t k = 0; k < n_steps; ++k) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        Status st = std::visit([&](const auto& kern) { return kern.apply_into(*cur, other, pool, tau); }, kernel);
        if (st) st = std::visit([&](const auto& ob) { return ob.project_in_place(other.values); }, obstacle);
        if (!st) return fail(st.error());
        std::swap(*cur, other);
    }
    return std::move(cur->values);
}

namespace {

// Where the difference of large data, or its quotient by a small h^2, left
// the doubles: the same difference of v 2^-ev over (h 2^-eh)^2, both of
// order one, scaled back by 2^(ev - 2 eh). A V'' that is a double comes out
// as one (rounded once more); one beyond the range stays +-inf, and the data
// scale that keeps every V'' within is worked out from the scaled values.
void rescaled_gamma(std::span<const double> v, double h, InactiveGamma& r) {
    const int ev = unit_scale_exponent(v) + 1;
    const int eh = std::ilogb(h);
    const double hs = std::ldexp(h, -eh);
    double top = 0.0, largest = 0.0;
    for (double x : v) top = std::fmax(top, std::fabs(x));
    for (std::size_t i = 1; i + 1 < v.size(); ++i) {
        if (!r.defined[i] || std::isfinite(r.gamma[i])) continue;
        const double lo = std::ldexp(v[i - 1], -ev), mid = std::ldexp(v[i], -ev), hi = std::ldexp(v[i + 1], -ev);
        const double scaled = (lo + ((hi - mid) - mid)) / (hs * hs);
        r.gamma[i] = std::ldexp(scaled, ev - 2 * eh);
        if (!std::isfinite(r.gamma[i])) {
            if (r.beyond < 0) r.beyond = static_cast<std::ptrdiff_t>(i);
            largest = std::fmax(largest, std::fabs(scaled));
        }
    }
    if (r.beyond < 0) return;
    // V'' is linear in v: data of max|v| X give |V''| up to
    // largest 2^(ev - 2 eh) X / top, a double for X up to top DBL_MAX over
    // that (named a thousandth inside, for the rounding of a caller's k v).
    const double ratio = std::ldexp(top, -ev) / largest * std::ldexp(std::numeric_limits<double>::max(), -1024);
    r.data_bound = floor_4_digits(0.999 * std::ldexp(ratio, 1024 + 2 * eh));
}

}  // namespace

Expected<InactiveGamma> ObstacleChernoff::apply_inactive_gamma_into(std::span<const double> v) const {
    const std::size_t n = v.size();
    if (n < 3) return domain_error("apply_inactive_gamma_into: n < 3 (no interior stencil)", static_cast<double>(n));
    std::vector<bool> inactive(n);
    std::visit([&](const auto& ob) {
        for (std::size_t i = 0; i < n; ++i) inactive[i] = v[i] > ob.floor_at(i);
    }, obstacle);
    InactiveGamma r{std::vector<double>(n, 0.0), std::vector<bool>(n, false), 0};
    const Grid1D<double>& g = grid();
    const double h = (g.xmax - g.xmin) / static_cast<double>(n - 1);
    const double h2 = h * h;
    bool overflowed = false;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        if (!(inactive[i - 1] && inactive[i] && inactive[i + 1])) continue;
        r.defined[i] = true;
        r.gamma[i] = (v[i - 1] + ((v[i + 1] - v[i]) - v[i])) / h2;
        overflowed = overflowed || !std::isfinite(r.gamma[i]);
        ++r.count;
    }
    if (overflowed) rescaled_gamma(v, h, r);
    return r;
}

Status apply_active_set_adjoint_into(const ObstacleChernoff&, const GridFn<double>&, const GridFn<double>&, double) {
    return fail(CoreError::unsupported_operation(
        "apply_adjoint_into: no transpose-apply primitive for this type; implement AdjointApply<F> or use "
        "new_self_adjoint for symmetric inners (ADR-0114)"));
}

}  // namespace quorvane
