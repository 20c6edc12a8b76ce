#include "core/multid/shift_nd.hpp"

#include <array>
#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "core/foundation/numeric.hpp"
#include "core/foundation/parallel_phases.hpp"
#include "core/foundation/stop.hpp"
#include "core/multid/sizes.hpp"

namespace quorvane {

template <std::size_t D>
Point<D> AnisotropicShiftChernoffND<D>::node(std::size_t k) const {
    Point<D> p{};
    for (std::size_t d = 0; d < D; ++d) {
        const Grid1D<double>& ax = grid.axes[d];
        const std::size_t i = k % ax.n;
        k /= ax.n;
        p[d] = ax.xmin + ax.dx() * static_cast<double>(i);
    }
    return p;
}

template <std::size_t D>
Status shift_grid_check(const GridND<D>& grid) {
    std::size_t min_len = 1;
    for (std::size_t d = 0; d < D; ++d) min_len *= 5;
    const std::size_t len = grid.len();
    if (len < min_len) {
        return domain_error("AnisotropicShiftChernoffND: grid.len() must be >= 5^D", static_cast<double>(len));
    }
    return {};
}

template <std::size_t D>
Expected<AnisotropicShiftChernoffND<D>> AnisotropicShiftChernoffND<D>::make(const GridND<D>& grid,
                                                                           const TensorField<D>& a, VectorField<D> b,
                                                                           ScalarField<D> c) {
    if (Status st = shift_grid_check(grid); !st) return fail(st.error());
    const std::size_t len = grid.len();
    AnisotropicShiftChernoffND op{grid, {}, std::move(b), std::move(c)};
    op.factors.resize(len);
    std::array<double, D * D> m{};
    for (std::size_t k = 0; k < len; ++k) {
        if (Status st = poll_stop_per_block(k); !st) return fail(st.error());
        (*a)(op.node(k), m);
        // Column-by-column Cholesky on the lower triangle; a NaN pivot passes
        // the test and propagates.
        std::array<double, D * D> l{};
        for (std::size_t j = 0; j < D; ++j) {
            double pivot = m[j * D + j];
            for (std::size_t q = 0; q < j; ++q) pivot -= l[q * D + j] * l[q * D + j];
            if (pivot <= 0.0) {
                return domain_error("AnisotropicShiftChernoffND: diffusion tensor not SPD at grid point", pivot);
            }
            const double ljj = std::sqrt(pivot);
            l[j * D + j] = ljj;
            for (std::size_t i = j + 1; i < D; ++i) {
                double s = m[j * D + i];
                for (std::size_t q = 0; q < j; ++q) s -= l[q * D + i] * l[q * D + j];
                l[j * D + i] = s / ljj;
            }
        }
        op.factors[k] = l;
    }
    return op;
}

namespace {

// The drift's part of a step near a wall. The rule points p + tau b + 2
// sqrt(tau) L z are read through cubic Hermite interpolation, whose slope at
// a node next to a non-periodic end comes from the policy's ghost nodes:
// for a mirror it is 0 at the wall node, so the drift would freeze an
// outflow wall and, at small steps, act as a centred difference whose
// undamped odd-even modes grow from the walls. The symmetric offsets of the
// rule need the C^1 cubic (their odd terms cancel, which gives the
// diffusion), so those reads stay; only the drift's own read, at the foot
// p + tau b, is exchanged for the upwind two-point read of the cells that
// touch a ghost node: this returns u_two_point(foot) - u_cubic(foot), 0 away
// from the walls. A wall node of a "linear" axis whose foot lies beyond its
// wall is refused: the straight-line continuation is no inflow condition.
template <std::size_t D>
Expected<double> wall_drift_correction(const GridFnND<D>& u, std::size_t k, const std::array<double, D>& p,
                                       const std::array<double, D>& beta, double tau) {
    const GridND<D>& grid = u.grid;
    const bool cubic_kind = grid.interp_kind.tag == InterpTag::CubicHermite;
    std::array<double, D> foot{};
    bool near_wall = false;
    for (std::size_t r = 0; r < D; ++r) {
        foot[r] = p[r] + tau * beta[r];
        const Grid1D<double>& ax = grid.axes[r];
        if (Status st = refuse_linear_inflow(ax, k % ax.n, foot[r]); !st) return fail(st.error());
        k /= ax.n;
        if (!cubic_kind || foot[r] == p[r] || ax.boundary.tag == BoundaryTag::Periodic) continue;
        const double s = std::floor((foot[r] - ax.xmin) / ax.dx());
        near_wall = near_wall || !(s >= 1.0 && s + 2.0 < static_cast<double>(ax.n));
    }
    if (!near_wall) return 0.0;
    Expected<std::array<AxisTaps, D>> two_point = build_point_taps(grid, foot, true);
    if (!two_point) return fail(two_point.error());
    Expected<std::array<AxisTaps, D>> cubic = build_point_taps(grid, foot);
    if (!cubic) return fail(cubic.error());
    return GridND<D>::interp_axis(u, D, *two_point, 0) - GridND<D>::interp_axis(u, D, *cubic, 0);
}

}  // namespace

template <std::size_t D>
Status AnisotropicShiftChernoffND<D>::apply_into(const GridFnND<D>& u, std::span<double> out, double tau) const {
    if (!finite_nonneg(tau)) {
        return domain_error("AnisotropicShiftChernoffND::apply_into: tau must be finite >= 0", tau);
    }
    const std::size_t len = u.values.size();
    if (out.size() < len || factors.size() < len) internal_fault("AnisotropicShiftChernoffND: buffers too short");
    const double sigma = std::sqrt(tau) + std::sqrt(tau);
    double norm = 1.0 / std::numbers::pi;
    if constexpr (D == 3) norm = 1.0 / (std::sqrt(std::numbers::pi) * std::numbers::pi);
    std::size_t rule = 1;
    for (std::size_t d = 0; d < D; ++d) rule *= 5;
    std::array<double, D> beta{};
    for (std::size_t k = 0; k < len; ++k) {
        // 5^D interpolated reads a node: a step of 4096^2 nodes takes a minute.
        if (Status st = poll_stop_per_block(k); !st) return st;
        const Point<D> p = node(k);
        beta.fill(0.0);
        (*drift)(p, beta);
        const double gamma = (*reaction)(p);
        const double e = std::exp(tau * gamma);
        const std::array<double, D * D>& l = factors[k];
        double sum = 0.0;
        for (std::size_t q = 0; q < rule; ++q) {
            std::array<double, D> z{};
            double w = 1.0;
            std::size_t digits = q;
            for (std::size_t d = 0; d < D; ++d) {
                z[d] = kGaussHermiteNodes[digits % 5];
                w = d == 0 ? kGaussHermiteWeights[digits % 5] : w * kGaussHermiteWeights[digits % 5];
                digits /= 5;
            }
            Point<D> shifted{};
            for (std::size_t r = 0; r < D; ++r) {
                double lz = 0.0;
                for (std::size_t c = 0; c <= r; ++c) lz += l[c * D + r] * z[c];
                shifted[r] = sigma * lz + (p[r] + tau * beta[r]);
            }
            Expected<std::array<AxisTaps, D>> taps = build_point_taps(u.grid, shifted);
            if (!taps) return fail(taps.error());
            sum += w * GridND<D>::interp_axis(u, D, *taps, 0);
        }
        Expected<double> drift = wall_drift_correction(u, k, p, beta, tau);
        if (!drift) return fail(drift.error());
        out[k] = *drift == 0.0 ? (e * norm) * sum : (e * norm) * sum + e * *drift;
    }
    return {};
}

namespace {

// GridND::interp_axis for taps that all read a node: the same sums in the
// same order, with the node loads written out.
template <std::size_t A, std::size_t D>
double node_taps_sum(const double* u, const std::array<const AxisTaps*, D>& taps, std::uint64_t offset) {
    if constexpr (A == 0) {
        return u[offset];
    } else {
        const AxisTaps& rec = *taps[A - 1];
        double sum = 0.0;
        for (std::uint64_t j = 0; j < rec.count; ++j) {
            sum += rec.weights[j] * node_taps_sum<A - 1, D>(u, taps, offset + rec.taps[j].payload * rec.stride);
        }
        return sum;
    }
}

bool reads_nodes_only(const AxisTaps& t) {
    for (std::uint64_t j = 0; j < t.count; ++j)
        if (t.taps[j].kind != AxisTapKind::Node) return false;
    return t.count <= 4;
}

}  // namespace

template <std::size_t D>
Status unit_shift_apply_into(const GridFnND<D>& u, std::span<double> out, double tau, std::size_t workers) {
    if (!finite_nonneg(tau)) {
        return domain_error("AnisotropicShiftChernoffND::apply_into: tau must be finite >= 0", tau);
    }
    const std::size_t len = u.values.size();
    const GridND<D>& grid = u.grid;
    if (out.size() < len || grid.len() != len) internal_fault("unit_shift_apply_into: buffers too short");
    const double sigma = std::sqrt(tau) + std::sqrt(tau);
    double norm = 1.0 / std::numbers::pi;
    if constexpr (D == 3) norm = 1.0 / (std::sqrt(std::numbers::pi) * std::numbers::pi);
    // The taps of node index i of axis a shifted by the m-th rule node:
    // L = I gives L z = z along every axis (the zero entries add +0), no
    // drift adds tau * 0.
    std::array<std::vector<Expected<AxisTaps>>, D> taps;
    std::uint64_t stride = 1;
    bool located = true;
    for (std::size_t a = 0; a < D; ++a) {
        const Grid1D<double>& ax = grid.axes[a];
        taps[a].reserve(5 * ax.n);
        for (std::size_t i = 0; i < ax.n; ++i) {
            const double p = ax.xmin + ax.dx() * static_cast<double>(i);
            for (std::size_t m = 0; m < 5; ++m) {
                const double lz = 0.0 + 1.0 * kGaussHermiteNodes[m];
                taps[a].push_back(build_axis_taps(ax, grid.interp_kind, sigma * lz + (p + tau * 0.0), stride));
                located = located && taps[a].back().has_value();
            }
        }
        stride *= ax.n;
    }
    std::size_t rule = 1;
    for (std::size_t d = 0; d < D; ++d) rule *= 5;
    // The digits of node k and of rule point q, axis 0 first.
    auto index_of = [&](std::size_t k, std::size_t a) {
        for (std::size_t d = 0; d < a; ++d) k /= grid.axes[d].n;
        return k % grid.axes[a].n;
    };
    auto digit_of = [](std::size_t q, std::size_t a) {
        for (std::size_t d = 0; d < a; ++d) q /= 5;
        return q % 5;
    };
    if (!located) {
        // The error apply_into meets first: nodes in order, rule points in
        // order, axes in order.
        for (std::size_t k = 0; k < len; ++k)
            for (std::size_t q = 0; q < rule; ++q)
                for (std::size_t a = 0; a < D; ++a) {
                    const Expected<AxisTaps>& t = taps[a][5 * index_of(k, a) + digit_of(q, a)];
                    if (!t) return fail(t.error());
                }
    }
    const double e = std::exp(tau * 0.0);
    // A node reads 5^D points of 4^D taps: about as much work as 5^D nodes of a sweep.
    const std::size_t w = workers != 0 ? workers : sweep_worker_count(len, len, rule);
    std::array<std::vector<char>, D> direct;  // whether taps read nodes only
    for (std::size_t a = 0; a < D; ++a)
        for (const Expected<AxisTaps>& t : taps[a]) direct[a].push_back(reads_nodes_only(*t));
    return run_phases(1, w, [&](std::size_t, std::size_t worker, PhaseControl& control) -> Status {
        const WorkShare share = share_of(len, w, worker);
        std::array<AxisTaps, D> point{};
        std::array<const AxisTaps*, D> refs{};
        std::array<std::size_t, D> base{};  // node k's first tap slot along each axis
        for (std::size_t k = share.begin; k < share.end; ++k) {
            if (k % 1024 == 0 && !control.keep_going()) return {};
            for (std::size_t d = 0; d < D; ++d) base[d] = 5 * index_of(k, d);
            double sum = 0.0;
            for (std::size_t q = 0; q < rule; ++q) {
                double weight = 1.0;
                bool nodes = true;
                for (std::size_t d = 0; d < D; ++d) {
                    const std::size_t m = digit_of(q, d);
                    weight = d == 0 ? kGaussHermiteWeights[m] : weight * kGaussHermiteWeights[m];
                    const std::size_t slot = base[d] + m;
                    refs[d] = &*taps[d][slot];
                    nodes = nodes && direct[d][slot];
                }
                if (nodes) {
                    sum += weight * node_taps_sum<D, D>(u.values.data(), refs, 0);
                } else {
                    for (std::size_t d = 0; d < D; ++d) point[d] = *refs[d];
                    sum += weight * GridND<D>::interp_axis(u, D, point, 0);
                }
            }
            out[k] = (e * norm) * sum;
        }
        return {};
    });
}

template <std::size_t D>
ReactionFactors reaction_factors(const AnisotropicShiftChernoffND<D>& op, double tau) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    const std::size_t len = op.grid.len();
    for (std::size_t k = 0; k < len; ++k) {
        const double c = (*op.reaction)(op.node(k));
        if (c < lo) lo = c;
        if (c > hi) hi = c;
    }
    if (!(lo <= hi)) return {};  // no node with a number for c: its steps fail
    return {std::exp(tau * lo), std::exp(tau * hi)};
}

namespace {

// Along each axis with a "linear" end, how far beyond it (in cells) a step
// of tau reads the continued data: the rule's points reach 2 sqrt(tau)
// |z|max times the row's sum of |L| past a node (the drift's feet stay
// inside: an inflow is refused); 0 elsewhere.
template <std::size_t D>
std::array<double, D> end_cells_nd(const AnisotropicShiftChernoffND<D>& op) {
    std::array<double, D> cells{};
    bool linear = false;
    for (const Grid1D<double>& ax : op.grid.axes) linear = linear || ax.boundary.tag == BoundaryTag::Linear;
    if (!linear) return cells;
    std::array<double, D> spread{};
    for (const std::array<double, D * D>& l : op.factors) {
        for (std::size_t r = 0; r < D; ++r) {
            double row = 0.0;
            for (std::size_t c = 0; c <= r; ++c) row += std::fabs(l[c * D + r]);
            spread[r] = std::max(spread[r], row);
        }
    }
    for (std::size_t r = 0; r < D; ++r) {
        const Grid1D<double>& ax = op.grid.axes[r];
        if (ax.boundary.tag == BoundaryTag::Linear) cells[r] = kGaussHermiteNodes[4] * spread[r] / ax.dx();
    }
    return cells;
}

// What the "linear" ends continue u by, `cells[r]` cells out (a length)
// along each axis r that has them: every line's end values continued
// (continued_ends, which takes the continuation as far as the line is smooth
// next to the end, from its nine end values).
template <std::size_t D>
FlowRange continued_faces(const GridFnND<D>& u, const std::array<double, D>& cells) {
    FlowRange r{u.values[0], u.values[0]};
    std::size_t stride = 1;
    for (std::size_t a = 0; a < D; ++a) {
        const std::size_t n = u.grid.axes[a].n;
        if (cells[a] > 0.0 && n >= 2) {
            // The line's first and last nine values (all of a shorter line):
            // all continued_ends reads.
            const std::size_t head = std::min<std::size_t>(n, 9), tail = n > 18 ? 9 : n - head;
            double line[18];
            for (std::size_t k = 0; k < u.values.size(); ++k) {
                if ((k / stride) % n != 0) continue;
                for (std::size_t i = 0; i < head; ++i) line[i] = u.values[k + i * stride];
                for (std::size_t i = 0; i < tail; ++i) line[head + i] = u.values[k + (n - tail + i) * stride];
                r = r.joined(continued_ends(std::span<const double>(line, head + tail), cells[a]));
            }
        }
        stride *= n;
    }
    return r;
}

}  // namespace

template <std::size_t D>
Expected<std::vector<double>> evolve_in_range(const AnisotropicShiftChernoffND<D>& op, GridFnND<D> u, double tau,
                                              std::size_t steps, FlowRange& range) {
    const ReactionFactors per_step = reaction_factors(op, tau);
    // The reach in cells, 2 sqrt(tau) times that of a unit step.
    std::array<double, D> cells = end_cells_nd(op);
    for (double& c : cells) c *= std::sqrt(tau) + std::sqrt(tau);
    const bool fed = std::any_of(cells.begin(), cells.end(), [](double c) { return c > 0.0; });
    FlowRange walked = range;
    std::vector<double> other(u.values.size(), 0.0);
    for (std::size_t k = 0; k < steps; ++k) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        if (Status st = op.apply_into(u, other, tau); !st) return fail(st.error());
        walked = walked.after(per_step);
        if (fed) walked = walked.joined(continued_faces(u, cells));
        walked.clip(other);
        std::swap(u.values, other);
    }
    range = walked;
    return std::move(u.values);
}

template <std::size_t D>
bool shift_reads_located(const AnisotropicShiftChernoffND<D>& op, double tau) {
    const double sigma = std::sqrt(tau) + std::sqrt(tau);
    std::array<double, D> beta{};
    for (std::size_t k = 0; k < op.factors.size(); ++k) {
        const Point<D> p = op.node(k);
        beta.fill(0.0);
        (*op.drift)(p, beta);
        const std::array<double, D * D>& l = op.factors[k];
        // The points as apply_into forms them, the rule's digits axis 0 first.
        std::array<std::size_t, D> digit{};
        for (bool more = true; more;) {
            for (std::size_t r = 0; r < D; ++r) {
                double lz = 0.0;
                for (std::size_t c = 0; c <= r; ++c) lz += l[c * D + r] * kGaussHermiteNodes[digit[c]];
                if (!read_is_located(op.grid.axes[r], sigma * lz + (p[r] + tau * beta[r]))) return false;
            }
            std::size_t d = 0;
            while (d < D && ++digit[d] == kGaussHermiteNodes.size()) digit[d++] = 0;
            more = d < D;
        }
    }
    return true;
}

template <std::size_t D>
bool unit_shift_reads_located(const GridND<D>& grid, double tau) {
    const double sigma = std::sqrt(tau) + std::sqrt(tau);
    for (const Grid1D<double>& ax : grid.axes) {
        for (std::size_t i = 0; i < ax.n; ++i) {
            const double p = ax.xmin + ax.dx() * static_cast<double>(i);
            for (const double z : kGaussHermiteNodes) {
                if (!read_is_located(ax, sigma * (0.0 + 1.0 * z) + (p + tau * 0.0))) return false;
            }
        }
    }
    return true;
}

template struct AnisotropicShiftChernoffND<2>;
template struct AnisotropicShiftChernoffND<3>;
template bool shift_reads_located<2>(const AnisotropicShiftChernoffND<2>&, double);
template bool shift_reads_located<3>(const AnisotropicShiftChernoffND<3>&, double);
template bool unit_shift_reads_located<2>(const GridND<2>&, double);
template bool unit_shift_reads_located<3>(const GridND<3>&, double);
template Status unit_shift_apply_into<2>(const GridFnND<2>&, std::span<double>, double, std::size_t);
template Status unit_shift_apply_into<3>(const GridFnND<3>&, std::span<double>, double, std::size_t);
template Status shift_grid_check<2>(const GridND<2>&);
template Status shift_grid_check<3>(const GridND<3>&);
template ReactionFactors reaction_factors<2>(const AnisotropicShiftChernoffND<2>&, double);
template ReactionFactors reaction_factors<3>(const AnisotropicShiftChernoffND<3>&, double);
template Expected<std::vector<double>> evolve_in_range<2>(const AnisotropicShiftChernoffND<2>&, GridFnND<2>, double,
                                                          std::size_t, FlowRange&);
template Expected<std::vector<double>> evolve_in_range<3>(const AnisotropicShiftChernoffND<3>&, GridFnND<3>, double,
                                                          std::size_t, FlowRange&);

}  // namespace quorvane
