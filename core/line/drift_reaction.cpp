#include "core/line/drift_reaction.hpp"

#include <cmath>

#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {
namespace {

struct DriftCoeffView {
    const DriftReactionChernoff& k;
    double b(double x) const { return k.coef_override ? (*k.coef_override->b)(x) : k.b(x); }
    double c(double x) const { return k.coef_override ? (*k.coef_override->c)(x) : k.c(x); }
};

}  // namespace

Expected<double> DriftReactionChernoff::apply_node(const GridFn<double>& u, std::size_t i, double tau) const {
    return node_from(InterpRead{&u}, i, tau);
}

template <class Read>
Expected<double> DriftReactionChernoff::node_from(const Read& read, std::size_t i, double tau) const {
    const DriftCoeffView co{*this};
    const double x = grid.node(i);
    const double theta = 0.5 * tau;
    const double b1 = co.b(x);
    const double mid = x + theta * b1;
    const double b2 = co.b(mid);
    const double y = x + tau * b2;
    const double c1 = co.c(x);
    const double c2 = co.c(y);
    const double e = std::exp(theta * (c1 + c2));
    if (Status st = refuse_linear_inflow(grid, i, y); !st) return fail(st.error());
    auto v = read.foot(y, hold(i, tau));
    if (!v) return v;
    return e * *v;
}
template Expected<double> DriftReactionChernoff::node_from(const InterpRead&, std::size_t, double) const;
template Expected<double> DriftReactionChernoff::node_from(const SampleRead&, std::size_t, double) const;

Status DriftReactionChernoff::apply_adjoint_into(const GridFn<double>& u, GridFn<double>& out,
                                                 ScratchPool<double>&, double tau) const {
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and >= 0", tau);
    const DriftCoeffView co{*this};
    const std::size_t len = u.values.size();
    out.values.resize(len, 0.0);
    const double theta = 0.5 * tau;
    // The reads follow the reversed characteristics: they meet where -b
    // makes them meet.
    std::vector<double> reversed;
    if (drift_hold) {
        reversed.resize(drift_hold->drift.size());
        for (std::size_t i = 0; i < reversed.size(); ++i) reversed[i] = -drift_hold->drift[i];
    }
    for (std::size_t i = 0; i < len; ++i) {
        const double x = grid.node(i);
        const double b1 = co.b(x);
        const double mid = x - theta * b1;
        const double b2 = co.b(mid);
        const double y = x - tau * b2;
        const double c1 = co.c(x);
        const double c2 = co.c(y);
        const double e = std::exp(theta * (c1 + c2));
        if (Status st = refuse_linear_inflow(u.grid, i, y); !st) return st;
        ReadHold hold_back = kFullHold;
        if (i < reversed.size()) {
            hold_back = {1.0, reversed, node_fold(reversed, grid.boundary.tag, i, tau / grid.dx())};
        }
        auto v = u.grid.interp_foot(u.values, y, hold_back);
        if (!v) return fail(v.error());
        out.values[i] = e * *v;
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
    std::vector<double> at_nodes(grid.n);
    for (std::size_t i = 0; i < grid.n; ++i) at_nodes[i] = (*k.coef_override->b)(grid.node(i));
    k.drift_hold = DriftHold::make(std::move(at_nodes), grid.boundary.tag, true);
    return k;
}

DriftReactionChernoff DriftReactionChernoff::constant(const Grid1D<double>& grid, double b, double c,
                                                      double c_norm_bound) {
    DriftReactionChernoff k;
    k.coef_override = Coeffs{constant_coeff(b), constant_coeff(c)};
    k.grid = grid;
    k.c_norm_bound = c_norm_bound;
    return k;
}

ReadHold DriftReactionChernoff::hold(std::size_t i, double tau) const {
    if (!drift_hold) return kFullHold;
    return drift_hold->at(i, tau / grid.dx());
}

Expected<std::pair<DriftSemigroup, GridFn<double>>> build_drift_reaction_state(
    std::size_t n, std::size_t n_chernoff, std::span<const double> u0, BoundaryPolicy<double> boundary,
    double xmin, double xmax, double b, double c) {
    return build_state(n, n_chernoff, u0, boundary, xmin, xmax, [&](const Grid1D<double>& g) {
        return DriftReactionChernoff::constant(g, b, c, std::fabs(b) + std::fabs(c));
    });
}

namespace {

// m steps alternating between `cur` and `other`; the result ends in `cur`.
Status step_segment(const DriftReactionChernoff& kernel, GridFn<double>& cur, GridFn<double>& other, std::size_t m,
                    double tau) {
    for (std::size_t k = 0; k < m; ++k) {
        if (Status st = poll_stop(); !st) return st;
        if (Status st = par_apply_pointwise(other, kernel, cur, tau); !st) return st;
        std::swap(cur, other);
    }
    return {};
}

}  // namespace

Expected<std::vector<double>> evolve_drift_time_schedule(const Grid1D<double>& grid, std::vector<double> values,
                                                         double t_final, std::size_t m,
                                                         std::span<const double> b_schedule, double c) {
    const std::size_t segments = b_schedule.size();
    if (segments == 0 || m == 0) internal_fault("evolve_drift_time_schedule: empty schedule or zero steps");
    auto start = GridFn<double>::make(grid, std::move(values));
    if (!start) return fail(start.error());
    GridFn<double> cur = std::move(*start);
    GridFn<double> other{grid, std::vector<double>(cur.values.size(), 0.0)};
    const double tau = (t_final / static_cast<double>(segments)) / static_cast<double>(m);
    for (double bk : b_schedule) {
        const DriftReactionChernoff kernel = DriftReactionChernoff::constant(grid, bk, c, std::fabs(c));
        if (Status st = step_segment(kernel, cur, other, m, tau); !st) return fail(st.error());
    }
    return std::move(cur.values);
}

}  // namespace quorvane
