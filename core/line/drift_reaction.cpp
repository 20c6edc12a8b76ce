#include "core/line/drift_reaction.hpp"

#include <cmath>
#include <limits>

#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"
#include "core/line/kept_in_range.hpp"

namespace quorvane {
namespace {

struct DriftCoeffView {
    const DriftReactionChernoff& k;
    double b(double x) const { return k.coef_override ? (*k.coef_override->b)(x) : k.b(x); }
    double c(double x) const { return k.coef_override ? (*k.coef_override->c)(x) : k.c(x); }
    CoefficientBounds c_bounds() const {
        if (k.coef_override) return coefficient_bounds(k.grid, *k.coef_override->c);
        return coefficient_bounds(k.grid, k.c);
    }
};

}  // namespace

Expected<double> DriftReactionChernoff::apply_node(const GridFn<double>& u, std::size_t i, double tau) const {
    return node_from(InterpRead{&u}, i, tau);
}

DriftReactionChernoff::FootFactor DriftReactionChernoff::foot_and_factor(std::size_t i, double tau,
                                                                         bool reversed) const {
    const DriftCoeffView co{*this};
    const double x = grid.node(i);
    const double theta = 0.5 * tau;
    // x + (-s) b is x - s b bit for bit: the reversed foot as written out.
    const double along_theta = reversed ? -theta : theta, along_tau = reversed ? -tau : tau;
    const double b1 = co.b(x);
    const double mid = x + along_theta * b1;
    const double b2 = co.b(mid);
    const double y = x + along_tau * b2;
    const double c1 = co.c(x);
    const double c2 = co.c(y);
    return {y, std::exp(theta * (c1 + c2))};
}

template <class Read>
Expected<double> DriftReactionChernoff::node_from(const Read& read, std::size_t i, double tau) const {
    const FootFactor f = foot_and_factor(i, tau);
    if (Status st = refuse_linear_inflow(grid, i, f.foot); !st) return fail(st.error());
    auto v = bounded_reads ? read.foot_bounded(f.foot) : read.foot(f.foot);
    if (!v) return v;
    return f.factor * *v;
}
template Expected<double> DriftReactionChernoff::node_from(const InterpRead&, std::size_t, double) const;
template Expected<double> DriftReactionChernoff::node_from(const SampleRead&, std::size_t, double) const;

Status DriftReactionChernoff::apply_adjoint_into(const GridFn<double>& u, GridFn<double>& out,
                                                 ScratchPool<double>&, double tau) const {
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and >= 0", tau);
    const std::size_t len = u.values.size();
    out.values.resize(len, 0.0);
    for (std::size_t i = 0; i < len; ++i) {
        const FootFactor f = foot_and_factor(i, tau, true);
        if (Status st = refuse_linear_inflow(u.grid, i, f.foot); !st) return st;
        auto v = u.grid.interp_foot(u.values, f.foot);
        if (!v) return fail(v.error());
        out.values[i] = f.factor * *v;
    }
    out.grid = u.grid;
    return {};
}

DriftReactionChernoff DriftReactionChernoff::from_arrays(SharedCoeff b, SharedCoeff c, const Grid1D<double>& grid,
                                                         double c_norm_bound) {
    DriftReactionChernoff k;
    k.coef_override = Coeffs{std::move(b), std::move(c)};
    k.grid = grid;
    k.c_norm_bound = c_norm_bound;
    if (k.coef_override->c->fixed()) k.c_bounds = DriftCoeffView{k}.c_bounds();
    return k;
}

DriftReactionChernoff DriftReactionChernoff::constant(const Grid1D<double>& grid, double b, double c,
                                                      double c_norm_bound) {
    return from_arrays(constant_coeff(b), constant_coeff(c), grid, c_norm_bound);
}

ReactionFactors reaction_factors(const DriftReactionChernoff& kernel, double tau) {
    const CoefficientBounds b = kernel.c_bounds ? *kernel.c_bounds : DriftCoeffView{kernel}.c_bounds();
    if (!(b.lo <= b.hi)) return {};  // no sample of c with a number: its steps fail
    return {std::exp(tau * b.lo), std::exp(tau * b.hi)};
}

Expected<std::pair<DriftSemigroup, GridFn<double>>> build_drift_reaction_state(
    std::size_t n, std::size_t n_chernoff, std::span<const double> u0, BoundaryPolicy<double> boundary,
    double xmin, double xmax, double b, double c) {
    return build_state(n, n_chernoff, u0, boundary, xmin, xmax, [&](const Grid1D<double>& g) {
        return DriftReactionChernoff::constant(g, b, c, std::fabs(b) + std::fabs(c));
    });
}

Expected<std::vector<double>> evolve_drift_time_schedule(const Grid1D<double>& grid, std::vector<double> values,
                                                         double t_final, std::size_t m,
                                                         std::span<const double> b_schedule, double c,
                                                         FlowRange& range) {
    const std::size_t segments = b_schedule.size();
    if (segments == 0 || m == 0) internal_fault("evolve_drift_time_schedule: empty schedule or zero steps");
    auto start = GridFn<double>::make(grid, std::move(values));
    if (!start) return fail(start.error());
    std::vector<double> cur = std::move(start->values);
    const double tau = (t_final / static_cast<double>(segments)) / static_cast<double>(m);
    for (double bk : b_schedule) {
        const DriftReactionChernoff kernel = DriftReactionChernoff::constant(grid, bk, c, std::fabs(c));
        auto next = evolve_values_in_range(kernel, grid, std::move(cur), tau, m, range);
        if (!next) return fail(next.error());
        cur = std::move(*next);
    }
    return cur;
}

FootReach foot_reach(const DriftReactionChernoff& k) {
    FootReach r;
    r.drift_span = 1.0;
    r.drift_foot = "x + tau b(x + tau b(x)/2)";
    for (std::size_t i = 0; i < k.grid.n; ++i) {
        const double x = k.grid.node(i);
        r.take_b(k.coef_override ? (*k.coef_override->b)(x) : k.b(x));
    }
    return r;
}

}  // namespace quorvane
