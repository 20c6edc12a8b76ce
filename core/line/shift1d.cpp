#include "core/line/shift1d.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"
#include "core/line/kept_in_range.hpp"

namespace quorvane {
namespace {

// m steps of tau of `kernel` from `cur`, each clipped to `range` walked on
// by the kernel's reaction factors; on success `cur` holds the result and
// `range` the range after it.
Status step_segment(const ShiftChernoff1D& kernel, GridFn<double>& cur, std::size_t m, double tau,
                    FlowRange& range) {
    ScratchPool<double> pool;
    const KeptInRange<ShiftChernoff1D> kept(kernel, range, range_step(kernel, tau));
    Expected<GridFn<double>> r = run_steps(kept, std::move(cur), m, tau, pool);
    if (!r) return fail(r.error());
    cur = std::move(*r);
    range = kept.range();
    return {};
}

// The smallest and the largest c(x_i) over the nodes of `grid`, NaN skipped.
template <class C>
std::pair<double, double> range_over_nodes(const Grid1D<double>& grid, const C& c) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (std::size_t i = 0; i < grid.n; ++i) {
        const double v = c(grid.node(i));
        if (v < lo) lo = v;
        if (v > hi) hi = v;
    }
    return {lo, hi};
}

}  // namespace

double ScheduleEntry::sup_norm() const {
    if (is_constant()) return std::fabs(value());
    double m = 0.0;
    for (double v : *samples()) m = max_ignore_nan(m, std::fabs(v));
    return m;
}

SharedCoeff ScheduleEntry::to_coeff(const Grid1D<double>& grid, bool within_samples) const {
    if (is_constant()) return constant_coeff(value());
    const double h = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
    return within_samples ? sampled_coeff_within_samples(samples(), grid.xmin, h)
                          : sampled_coeff(samples(), grid.xmin, h);
}

Expected<double> ShiftChernoff1D::apply_node(const GridFn<double>& u, std::size_t i, double tau) const {
    return node_from(InterpRead{&u}, i, tau);
}

double ShiftChernoff1D::min_node_reaction() const {
    if (coef_override) return range_over_nodes(grid, *coef_override->c).first;
    return range_over_nodes(grid, c).first;
}

CoefficientBounds ShiftChernoff1D::reaction_bounds() const {
    if (c_bounds) return *c_bounds;
    if (coef_override) return coefficient_bounds(grid, *coef_override->c);
    return coefficient_bounds(grid, c);
}

ReactionFactors reaction_factors(const ShiftChernoff1D& kernel, double tau) {
    const CoefficientBounds b = kernel.reaction_bounds();
    if (!(b.lo <= b.hi)) return {};  // no sample of c with a number: its steps fail
    return {std::exp(tau * b.lo), std::exp(tau * b.hi)};
}

double linear_end_cells(const ShiftChernoff1D& kernel, double tau) {
    if (kernel.grid.boundary.tag != BoundaryTag::Linear) return 0.0;
    const double most = kernel.coef_override ? range_over_nodes(kernel.grid, *kernel.coef_override->a).second
                                             : range_over_nodes(kernel.grid, kernel.a).second;
    const double r = std::sqrt(tau * (most > 0.0 ? most : 0.0));
    return (r + r) / kernel.grid.dx();
}

FootReach foot_reach(const ShiftChernoff1D& k) {
    FootReach r;
    for (std::size_t i = 0; i < k.grid.n; ++i) {
        const double x = k.grid.node(i);
        r.take_b(k.coef_override ? (*k.coef_override->b)(x) : k.b(x));
        r.take_a(k.coef_override ? (*k.coef_override->a)(x) : k.a(x));
    }
    return r;
}

Status ShiftChernoff1D::inflow_refusal(double tau) const {
    if (grid.boundary.tag != BoundaryTag::Linear || grid.n == 0) return {};
    for (const std::size_t i : {std::size_t{0}, grid.n - 1}) {
        const double x = grid.node(i);
        const double B = coef_override ? (*coef_override->b)(x) : b(x);
        if (Status st = refuse_linear_inflow(grid, i, x + tau * (B + B)); !st) return st;
    }
    return {};
}

double min_node_reaction(const Grid1D<double>& grid, const ScheduleEntry& c) {
    return range_over_nodes(grid, *c.to_coeff(grid, true)).first;
}

template <class Read>
Expected<double> ShiftChernoff1D::node_from(const Read& read, std::size_t i, double tau) const {
    const double x = grid.node(i);
    double A, B, C;
    if (coef_override) {
        A = (*coef_override->a)(x);
        B = (*coef_override->b)(x);
        C = (*coef_override->c)(x);
    } else {
        A = a(x);
        B = b(x);
        C = c(x);
    }
    if (!finite_nonneg(A)) return domain_error(kShiftEllipticityMessage, x);
    const double r = std::sqrt(tau * A);
    const double h = r + r;
    auto up = read(x + h);
    if (!up) return up;
    auto um = read(x - h);
    if (!um) return um;
    const double foot = x + tau * (B + B);
    if (Status st = refuse_linear_inflow(grid, i, foot); !st) return fail(st.error());
    auto ub = read.foot(foot);
    if (!ub) return ub;
    const double ui = read.value_at(i);
    return shift_reaction((0.25 * *up + 0.25 * *um) + 0.5 * *ub, ui, tau, C);
}
template Expected<double> ShiftChernoff1D::node_from(const InterpRead&, std::size_t, double) const;
template Expected<double> ShiftChernoff1D::node_from(const SampleRead&, std::size_t, double) const;

ShiftChernoff1D ShiftChernoff1D::from_arrays(SharedCoeff a, SharedCoeff b, SharedCoeff c,
                                             const Grid1D<double>& grid, double c_norm_bound) {
    ShiftChernoff1D k;
    k.coef_override = Coeffs{std::move(a), std::move(b), std::move(c)};
    k.grid = grid;
    k.c_norm_bound = c_norm_bound;
    if (k.coef_override->c->fixed()) k.c_bounds = k.reaction_bounds();
    return k;
}

ShiftChernoff1D ShiftChernoff1D::from_segment(const ScheduleEntry& a, const ScheduleEntry& b,
                                              const ScheduleEntry& c, const Grid1D<double>& grid,
                                              double c_norm_bound) {
    return from_arrays(a.to_coeff(grid), b.to_coeff(grid), c.to_coeff(grid, true), grid, c_norm_bound);
}

ShiftChernoff1D ShiftChernoff1D::constant(const Grid1D<double>& grid, double a, double b, double c) {
    const double bound = (std::fabs(a) + std::fabs(b)) + std::fabs(c);
    return from_arrays(constant_coeff(a), constant_coeff(b), constant_coeff(c), grid, bound);
}

Expected<std::pair<ShiftSemigroup, GridFn<double>>> build_shift_state(std::size_t n, std::size_t steps,
                                                                      std::span<const double> u0,
                                                                      BoundaryPolicy<double> boundary, double xmin,
                                                                      double xmax, double a, double b, double c) {
    return build_state(n, steps, u0, boundary, xmin, xmax,
                       [&](const Grid1D<double>& g) { return ShiftChernoff1D::constant(g, a, b, c); });
}

ShiftSemigroup build_segment_kernel(const Grid1D<double>& grid, const ScheduleEntry& a, const ScheduleEntry& b,
                                    const ScheduleEntry& c) {
    const double bound = (a.sup_norm() + b.sup_norm()) + c.sup_norm();
    return expect_ok(ShiftSemigroup::make(ShiftChernoff1D::from_segment(a, b, c, grid, bound), 100),
                     "build_segment_kernel");
}

Expected<std::vector<double>> evolve_shift_time_schedule(const Grid1D<double>& grid, std::vector<double> values,
                                                         double t_final, std::size_t m,
                                                         std::span<const double> a_schedule, double b, double c,
                                                         FlowRange& range) {
    const std::size_t segments = a_schedule.size();
    if (segments == 0 || m == 0) internal_fault("evolve_shift_time_schedule: empty schedule or zero steps");
    auto start = GridFn<double>::make(grid, std::move(values));
    if (!start) return fail(start.error());
    GridFn<double> cur = std::move(*start);
    const double tau = (t_final / static_cast<double>(segments)) / static_cast<double>(m);
    const double bound = std::fabs(b) + std::fabs(c);
    for (double ak : a_schedule) {
        ShiftChernoff1D kernel = ShiftChernoff1D::from_arrays(constant_coeff(ak), constant_coeff(b),
                                                              constant_coeff(c), grid, bound);
        if (Status st = step_segment(kernel, cur, m, tau, range); !st) return fail(st.error());
    }
    return std::move(cur.values);
}

Expected<std::vector<double>> evolve_shift_coefficient_schedule(const Grid1D<double>& grid,
                                                                std::vector<double> values, double t_final,
                                                                std::size_t m, std::span<const ScheduleEntry> a,
                                                                std::span<const ScheduleEntry> b,
                                                                std::span<const ScheduleEntry> c,
                                                                FlowRange& range) {
    const std::size_t segments = a.size();
    if (segments == 0 || m == 0 || b.size() != segments || c.size() != segments) {
        internal_fault("evolve_shift_coefficient_schedule: schedules of unequal or zero length");
    }
    auto start = GridFn<double>::make(grid, std::move(values));
    if (!start) return fail(start.error());
    GridFn<double> cur = std::move(*start);
    const double tau = (t_final / static_cast<double>(segments)) / static_cast<double>(m);
    for (std::size_t k = 0; k < segments; ++k) {
        const double bound = (a[k].sup_norm() + b[k].sup_norm()) + c[k].sup_norm();
        ShiftChernoff1D kernel = ShiftChernoff1D::from_segment(a[k], b[k], c[k], grid, bound);
        if (Status st = step_segment(kernel, cur, m, tau, range); !st) return fail(st.error());
    }
    return std::move(cur.values);
}

}  // namespace quorvane
