#include "core/multid/nonseparable_mixed.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <vector>

#include "core/foundation/numeric.hpp"
#include "core/foundation/parallel_phases.hpp"
#include "core/line/read_reach.hpp"
#include "core/multid/heat_grid.hpp"
#include "core/multid/line_sweep.hpp"
#include "core/multid/sizes.hpp"
#include "core/multid/strang2d_parallel.hpp"

namespace quorvane {
namespace {

// Where an index of an axis reads its value from.
struct Resolved {
    enum Kind { Node, Zero, Linear } kind = Node;
    std::int64_t e0 = 0, e1 = 0, e2 = 0;  // Node: e0; Linear: end node and its two inward neighbours
    double d = 0.0;                       // Linear: distance beyond the end node
};

Resolved resolve_axis_index(std::int64_t k, std::size_t n_size, BoundaryTag tag) {
    const std::int64_t n = static_cast<std::int64_t>(n_size);
    if (k >= 0 && k < n) return {Resolved::Node, k};
    switch (tag) {
        case BoundaryTag::Zero:
        case BoundaryTag::Constant: return {Resolved::Zero};
        case BoundaryTag::Periodic: return {Resolved::Node, ((k % n) + n) % n};
        case BoundaryTag::Clamp:
        case BoundaryTag::RobinImage: return {Resolved::Node, k < 0 ? 0 : n - 1};
        case BoundaryTag::Linear:
            if (k < 0) return {Resolved::Linear, 0, 1, 2, static_cast<double>(-k)};
            return {Resolved::Linear, n - 1, n - 2, n - 3, static_cast<double>(k - (n - 1))};
        case BoundaryTag::Reflect:
        case BoundaryTag::OddReflect: break;
    }
    const std::int64_t p = 2 * n - 2;
    const std::int64_t m = ((k % p) + p) % p;
    return {Resolved::Node, m < n ? m : p - m};
}

double extrapolate(double v0, double v1, double v2, double d) { return v0 + (d / 2.0) * (3.0 * v0 - 4.0 * v1 + v2); }

double row_value_at(const GridFn2D& f, std::int64_t row, std::int64_t i) {
    const std::size_t nx = f.grid.nx();
    const Resolved r = resolve_axis_index(i, nx, f.grid.x.boundary.tag);
    auto at = [&](std::int64_t c) { return f.values[static_cast<std::size_t>(row) * nx + static_cast<std::size_t>(c)]; };
    switch (r.kind) {
        case Resolved::Node: return at(r.e0);
        case Resolved::Zero: return 0.0;
        case Resolved::Linear: return extrapolate(at(r.e0), at(r.e1), at(r.e2), r.d);
    }
    return 0.0;
}

// The symbol of one unit heat leg of size tau at the frequencies
// theta_m = 2 pi m / P, m = 0..P/2, on a periodic probe grid of spacing dx:
// the step of cos(theta_m j) read at node 0 (the stencil is symmetric, so
// the symbol is real).
constexpr std::size_t kProbe = 256;

std::vector<double> leg_symbols(double dx, double tau) {
    const Grid1D<double> probe{BoundaryPolicy<double>::of(BoundaryTag::Periodic), InterpKind::septic(), 0.0,
                               dx * static_cast<double>(kProbe - 1), kProbe};
    const DiffusionChernoff kernel = DiffusionChernoff::unit(probe);
    std::vector<double> g(kProbe / 2 + 1);
    GridFn<double> mode{probe, std::vector<double>(kProbe)};
    for (std::size_t m = 0; m < g.size(); ++m) {
        for (std::size_t j = 0; j < kProbe; ++j) {
            mode.values[j] = std::cos(2.0 * std::numbers::pi * static_cast<double>(m * j % kProbe) /
                                      static_cast<double>(kProbe));
        }
        Expected<double> v = kernel.apply_node(mode, 0, tau);
        g[m] = v ? std::fabs(*v) : std::numeric_limits<double>::infinity();
    }
    return g;
}

}  // namespace

double node_value_2d(const GridFn2D& f, std::int64_t i, std::int64_t j) {
    const Resolved r = resolve_axis_index(j, f.grid.ny(), f.grid.y.boundary.tag);
    switch (r.kind) {
        case Resolved::Node: return row_value_at(f, r.e0, i);
        case Resolved::Zero: return 0.0;
        case Resolved::Linear:
            return extrapolate(row_value_at(f, r.e0, i), row_value_at(f, r.e1, i), row_value_at(f, r.e2, i), r.d);
    }
    return 0.0;
}

namespace {

// Rows [j0, j1) of the cross stencil of f, beta(i, j) giving the node's
// coefficient: put(k, value) takes node k = j*nx + i. Interior nodes load
// their neighbours directly, the others through the boundary policies (the
// same values).
template <class Beta, class Put>
void mixed_rows(const GridFn2D& f, const Grid2D& grid, std::size_t j0, std::size_t j1, const Beta& beta,
                const Put& put) {
    const std::size_t nx = grid.nx(), ny = grid.ny();
    const double dx = grid.x.dx();
    const double dy = grid.y.dx();
    const double denom = (dx * 4.0) * dy;
    const double* v = f.values.data();
    for (std::size_t j = j0; j < j1; ++j) {
        const auto jj = static_cast<std::int64_t>(j);
        const bool inner_row = j >= 1 && j + 1 < ny;
        for (std::size_t i = 0; i < nx; ++i) {
            const auto ii = static_cast<std::int64_t>(i);
            double a, b, c, d;
            if (inner_row && i >= 1 && i + 1 < nx) {
                const std::size_t k = j * nx + i;
                a = v[k + nx + 1], b = v[k - nx + 1], c = v[k + nx - 1], d = v[k - nx - 1];
            } else {
                a = node_value_2d(f, ii + 1, jj + 1);
                b = node_value_2d(f, ii + 1, jj - 1);
                c = node_value_2d(f, ii - 1, jj + 1);
                d = node_value_2d(f, ii - 1, jj - 1);
            }
            put(j * nx + i, ((a - b - c + d) / denom) * beta(i, j));
        }
    }
}

}  // namespace

void MixedCoupling::apply_mixed_into(const GridFn2D& f, GridFn2D& out, const Grid2D& grid) const {
    const std::size_t nx = grid.nx(), ny = grid.ny();
    if (nx == 0 || ny == 0) return;
    if (f.values.size() < nx * ny || out.values.size() < nx * ny) internal_fault("apply_mixed_into: values too short");
    const double dx = grid.x.dx();
    const double dy = grid.y.dx();
    mixed_rows(
        f, grid, 0, ny,
        [&](std::size_t i, std::size_t j) {
            return (*beta)(grid.x.xmin + dx * static_cast<double>(i), grid.y.xmin + dy * static_cast<double>(j));
        },
        [&](std::size_t k, double m) { out.values[k] = m; });
}

Expected<NonSeparable2DChernoff> nonseparable2d_new(const DiffusionChernoff& x_inner, const DiffusionChernoff& y_inner,
                                                    SharedCoeff2D beta, const Grid2D& grid, double beta_norm_bound) {
    if (!finite_nonneg(beta_norm_bound)) return domain_error("beta_norm_bound", beta_norm_bound);
    return NonSeparable2DChernoff{AxisLift{x_inner, Axis::X}, AxisLift{y_inner, Axis::Y}, grid,
                                  MixedCoupling{std::move(beta), beta_norm_bound, beta_norm_bound == 0.0}};
}

namespace {

Expected<GridFn2D> leg(const AxisLift& lift, const GridFn2D& f, double tau) {
    GridFn2D out = f;
    ScratchPool<double> pool;
    if (Status st = lift.apply_into(f, out, pool, tau); !st) return fail(st.error());
    return out;
}

}  // namespace

Status nonseparable2d_check_tau(const NonSeparable2DChernoff& op, double tau) {
    const double bound = op.coupling.norm_bound;
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and >= 0", tau);
    const double dx = (op.grid.x.xmax - op.grid.x.xmin) / static_cast<double>(op.grid.nx() - 1);
    const double dy = (op.grid.y.xmax - op.grid.y.xmin) / static_cast<double>(op.grid.ny() - 1);
    // The shared CFL text states 2 tau ||a|| < dx^2: with dx^2 read as
    // dx dy / 2 and ||a|| as the coupling bound it states this gate.
    if (dx * dy <= (4.0 * tau) * bound) return fail(CoreError::cfl_violated(tau, (dx * dy) / 2.0, bound));
    return {};
}

bool nonseparable2d_reads_located(const NonSeparable2DChernoff& op, double tau) {
    if (op.coupling.is_zero) return strang2d_reads_located(Strang2D{op.x_lift, op.y_lift}, tau);
    const double half = tau / 2.0;
    return heat_reads_located(op.x_lift.kernel, half) && heat_reads_located(op.y_lift.kernel, half);
}

Status nonseparable2d_step(const NonSeparable2DChernoff& op, const GridFn2D& src, GridFn2D& dst,
                           ScratchPool<double>& pool, double tau) {
    if (op.coupling.is_zero) return Strang2D::step(src, dst, op.x_lift, op.y_lift, pool, tau);
    if (Status st = nonseparable2d_check_tau(op, tau); !st) return st;
    const std::size_t nx = op.grid.nx(), ny = op.grid.ny();
    const double half = tau / 2.0;
    Expected<GridFn2D> f1 = leg(op.x_lift, src, half);
    if (!f1) return fail(f1.error());
    Expected<GridFn2D> f2 = leg(op.y_lift, *f1, half);
    if (!f2) return fail(f2.error());
    GridFn2D m1 = *f2;
    op.coupling.apply_mixed_into(*f2, m1, op.grid);
    GridFn2D m2 = *f2;
    op.coupling.apply_mixed_into(m1, m2, op.grid);
    GridFn2D g = *f2;
    for (std::size_t k = 0; k < nx * ny; ++k) g.values[k] = (f2->values[k] + tau * m1.values[k]) + (tau * half) * m2.values[k];
    Expected<GridFn2D> h1 = leg(op.y_lift, g, half);
    if (!h1) return fail(h1.error());
    Expected<GridFn2D> h2 = leg(op.x_lift, *h1, half);
    if (!h2) return fail(h2.error());
    dst = std::move(*h2);
    return {};
}

Status nonseparable2d_steps(const NonSeparable2DChernoff& op, std::vector<double>& values, std::size_t n_steps,
                           double tau, std::size_t workers) {
    if (op.coupling.is_zero) {
        return strang2d_steps(Strang2D{op.x_lift, op.y_lift}, op.grid, values, n_steps, tau, workers);
    }
    if (Status st = nonseparable2d_check_tau(op, tau); !st) return st;
    const Grid2D& grid = op.grid;
    const std::array<std::size_t, 2> n{grid.nx(), grid.ny()};
    const double dx = grid.x.dx();
    const double dy = grid.y.dx();
    if (!length_matches(values.size(), {n[0], n[1]})) {
        internal_fault("nonseparable2d_steps: values do not match the grid");
    }
    if (n_steps == 0) return {};
    const std::size_t w =
        workers != 0 ? workers : sweep_worker_count(values.size(), std::min(n[0], n[1]), sweeps_of(6, n_steps));
    const double half = tau / 2.0;
    const LineLayout rows = LineLayout::along(n, 0), columns = LineLayout::along(n, 1);
    HeatLines x(op.x_lift.kernel, grid.x, half, w, true);
    HeatLines y(op.y_lift.kernel, grid.y, half, w, true);
    // beta at every node, taken once for the call.
    std::vector<double> beta(values.size());
    Status st = run_phases(1, w, [&](std::size_t, std::size_t worker, PhaseControl&) {
        const WorkShare r = share_of(n[1], w, worker);
        for (std::size_t j = r.begin; j < r.end; ++j) {
            for (std::size_t i = 0; i < n[0]; ++i) {
                const double x = grid.x.xmin + dx * static_cast<double>(i);
                beta[j * n[0] + i] = (*op.coupling.beta)(x, grid.y.xmin + dy * static_cast<double>(j));
            }
        }
        return Status{};
    });
    if (!st) return st;
    GridFn2D buffers[2] = {{grid, std::move(values)}, {grid, std::vector<double>(beta.size(), 0.0)}};
    GridFn2D m1{grid, std::vector<double>(beta.size(), 0.0)};
    const auto beta_at = [&](std::size_t i, std::size_t j) { return beta[j * n[0] + i]; };
    // Six phases a step: X(tau/2) P -> Q, Y(tau/2) Q -> P, m1 = M P, then
    // Q = P + tau m1 + (tau tau/2) M m1, Y(tau/2) Q -> P, X(tau/2) P -> Q.
    constexpr std::size_t kPhases = 6;
    const std::size_t lines[kPhases] = {rows.count, columns.count, 0, 0, columns.count, rows.count};
    LineClaims claims(w);
    std::size_t from = 0;  // P of the next step
    for (std::size_t done = 0; done < n_steps;) {
        const std::size_t run = std::min(n_steps - done, SIZE_MAX / kPhases);
        claims.open(0, lines[0]);
        st = run_phases(run * kPhases, w, [&](std::size_t k, std::size_t worker, PhaseControl& control) -> Status {
            if (worker == 0 && k + 1 < run * kPhases) claims.open(k + 1, lines[(k + 1) % kPhases]);
            GridFn2D& p = buffers[(from + k / kPhases) % 2];
            GridFn2D& q = buffers[(from + k / kPhases + 1) % 2];
            const WorkShare r = share_of(n[1], w, worker);  // the stencil passes' rows
            switch (k % kPhases) {
                case 0: return sweep_share(x, rows, p.values, q.values, worker, claims, k, control);
                case 1: return sweep_share(y, columns, q.values, p.values, worker, claims, k, control);
                case 2:
                    mixed_rows(p, grid, r.begin, r.end, beta_at, [&](std::size_t i, double m) { m1.values[i] = m; });
                    return {};
                case 3:
                    mixed_rows(m1, grid, r.begin, r.end, beta_at, [&](std::size_t i, double m2) {
                        q.values[i] = (p.values[i] + tau * m1.values[i]) + (tau * half) * m2;
                    });
                    return {};
                case 4: return sweep_share(y, columns, q.values, p.values, worker, claims, k, control);
                default: return sweep_share(x, rows, p.values, q.values, worker, claims, k, control);
            }
        });
        if (!st) {
            const std::optional<CoreError> line = claims.error();
            return line ? fail(*line) : st;
        }
        from = (from + run) % 2;
        done += run;
    }
    values = std::move(buffers[from].values);
    return {};
}

double nonseparable2d_amplification(const NonSeparable2DChernoff& op, double tau, double beta_max) {
    if (op.coupling.is_zero) return 1.0;
    const std::size_t nx = op.grid.nx(), ny = op.grid.ny();
    const double dx = (op.grid.x.xmax - op.grid.x.xmin) / static_cast<double>(nx - 1);
    const double dy = (op.grid.y.xmax - op.grid.y.xmin) / static_cast<double>(ny - 1);
    const std::vector<double> gx = leg_symbols(dx, tau / 2.0);
    const std::vector<double> gy = leg_symbols(dy, tau / 2.0);
    const double scale = tau * beta_max / (dx * dy);
    double worst = 0.0;
    for (std::size_t a = 0; a < gx.size(); ++a) {
        const double sa = std::sin(2.0 * std::numbers::pi * static_cast<double>(a) / static_cast<double>(kProbe));
        for (std::size_t b = 0; b < gy.size(); ++b) {
            const double sb = std::sin(2.0 * std::numbers::pi * static_cast<double>(b) / static_cast<double>(kProbe));
            const double z = scale * std::fabs(sa * sb);
            worst = std::max(worst, gx[a] * gx[a] * gy[b] * gy[b] * (1.0 + z + z * z / 2.0));
        }
    }
    return worst;
}

namespace {

// beta(x 2^k, y 2^k): the field at the unscaled point.
class ScaledCoeff2D final : public CoeffFn2D {
public:
    ScaledCoeff2D(SharedCoeff2D base, int k) : base_(std::move(base)), k_(k) {}
    double operator()(double x, double y) const override { return (*base_)(std::ldexp(x, k_), std::ldexp(y, k_)); }

private:
    SharedCoeff2D base_;
    int k_;
};

Grid1D<double> scaled_axis(Grid1D<double> axis, int k) {
    axis.xmin = std::ldexp(axis.xmin, -k);
    axis.xmax = std::ldexp(axis.xmax, -k);
    return axis;
}

}  // namespace

int nonseparable2d_scale_exponent(const NonSeparable2DChernoff& op) {
    const double cell = op.grid.x.dx() * op.grid.y.dx();
    if (cell >= 0x1p-400 && cell <= 0x1p400) return 0;
    return std::ilogb(cell) / 2;
}

NonSeparable2DChernoff nonseparable2d_rescaled(const NonSeparable2DChernoff& op, int k) {
    const Grid2D grid{scaled_axis(op.grid.x, k), scaled_axis(op.grid.y, k)};
    return NonSeparable2DChernoff{AxisLift{DiffusionChernoff::unit(grid.x), Axis::X},
                                  AxisLift{DiffusionChernoff::unit(grid.y), Axis::Y}, grid,
                                  MixedCoupling{std::make_shared<const ScaledCoeff2D>(op.coupling.beta, k),
                                                op.coupling.norm_bound, op.coupling.is_zero}};
}

double nonseparable2d_largest_stable_tau(const NonSeparable2DChernoff& op, double beta_max) {
    const std::size_t nx = op.grid.nx(), ny = op.grid.ny();
    const double dx = (op.grid.x.xmax - op.grid.x.xmin) / static_cast<double>(nx - 1);
    const double dy = (op.grid.y.xmax - op.grid.y.xmin) / static_cast<double>(ny - 1);
    // The cross stencil's symbol against the heat legs' at low frequency:
    // theta_x^2/dx^2 + theta_y^2/dy^2 - beta theta_x theta_y/(dx dy) is
    // positive definite only for |beta| < 2; beyond, every step amplifies.
    if (beta_max >= 2.0) return 0.0;
    auto passes = [&](double tau) { return nonseparable2d_amplification(op, tau, beta_max) <= 1.0 + 1e-12; };
    // dx dy / (4 bound), divided in turn: 4 bound overflows for bounds above
    // DBL_MAX / 4, whose steps are tiny but exist.
    const double cell = dx * dy / 4.0 / op.coupling.norm_bound;
    // Up to 16 cells squared a leg's symbol stays below 0.96 squared on
    // every mode the coupling reaches, save the smooth ones, where it falls
    // with tau: there the first amplifying step is found by bisection.
    // Longer steps bring the symbols back towards 1 (cos of reads many
    // periods out), in windows no bisection sees: beyond, only the bound
    // below is named.
    const double h = std::min(dx, dy);
    const double trusted = 16.0 * h * h;
    double lo = 0.0, hi = std::min(cell, trusted);
    if (hi == cell && passes(hi)) return hi;
    if (passes(hi)) {
        lo = hi;
    } else {
        // Bisection on the first amplifying step; 40 halvings give 12 digits.
        for (int k = 0; k < 40; ++k) {
            const double mid = 0.5 * (lo + hi);
            if (passes(mid)) lo = mid;
            else hi = mid;
        }
    }
    // The legs' symbols never exceed 1 in modulus, so every step whose
    // coupling factor 1 + z + z^2/2 stays within the slack, z up to
    // tau beta_max / (dx dy), passes, wherever the reads lie: half the
    // slack leaves room for the rounding of the product. Its reads must be
    // formed: past the longest that are, the legs' symbols are not finite
    // at any longer step, found by bisection.
    double by_z = beta_max > 0.0 ? 5e-13 * (dx * dy) / beta_max : cell;
    by_z = std::min(by_z, cell * (1.0 - 0x1p-40));
    if (by_z > lo && !passes(by_z)) {
        double below = lo;
        for (int k = 0; k < 60 && by_z > below * (1.0 + 1e-12); ++k) {
            const double mid = below > 0.0 ? std::sqrt(below) * std::sqrt(by_z) : 0.5 * by_z;
            if (passes(mid)) below = mid;
            else by_z = mid;
        }
        by_z = below;
    }
    return std::max(lo, by_z);
}

}  // namespace quorvane
