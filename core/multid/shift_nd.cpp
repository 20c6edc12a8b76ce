#include "core/multid/shift_nd.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
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
    AnisotropicShiftChernoffND op{grid, {}, std::move(b), std::move(c), {}};
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
    auto at_nodes = std::make_shared<std::vector<double>>(len * D);
    bool varies = false;
    std::array<double, D> here{};
    for (std::size_t k = 0; k < len; ++k) {
        if (Status st = poll_stop_per_block(k); !st) return fail(st.error());
        here.fill(0.0);
        (*op.drift)(op.node(k), here);
        std::copy(here.begin(), here.end(), at_nodes->begin() + static_cast<std::ptrdiff_t>(k * D));
        varies = varies || !std::equal(here.begin(), here.end(), at_nodes->begin());
    }
    if (varies) op.drift_nodes = std::move(at_nodes);
    return op;
}

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// How the reads of one node are held: the weight of the held value (see
// hold_weight) and the drift at the nodes (D a node), which scales
// the margin at a smooth extremum along each axis (see drift_share).
struct NodeHold {
    double weight = 0.0;
    const std::vector<double>* drift = nullptr;
    // fold_widen of the node's feet and its neighbours' (along each axis,
    // in that axis's drift component).
    double fold = 1.0;

    bool held() const { return weight > 0.0; }
    // A read v blended with its held value: the held value itself at full
    // weight.
    double blend(double v, double held) const { return weight >= 1.0 ? held : v + weight * (held - v); }
};

// The drift change between nodes k and m (flat indices): the largest
// drift_change over the components.
template <std::size_t D>
double drift_vector_change(const std::vector<double>& b, std::size_t k, std::size_t m) {
    double worst = 0.0;
    for (std::size_t r = 0; r < D; ++r) worst = std::max(worst, drift_change(b[k * D + r], b[m * D + r]).value);
    return worst;
}

// The drift's bend at node k between its neighbours p and m along one axis
// (flat indices): the largest drift_roughness over the components.
template <std::size_t D>
double drift_vector_roughness(const std::vector<double>& b, std::size_t p, std::size_t k, std::size_t m) {
    double worst = 0.0;
    for (std::size_t r = 0; r < D; ++r)
        worst = std::max(worst, drift_roughness(b[p * D + r], b[k * D + r], b[m * D + r]).value);
    return worst;
}

// The drift's change from node k to the foot of its characteristic,
// tau b(x_k) on: the largest drift_change over the components of b at the
// node and of b read multilinearly at the foot (the nodes around it along
// each axis from foot_cell), as foot_change weighs it in 1-D.
template <std::size_t D>
double drift_vector_foot_change(const GridND<D>& grid, const std::vector<double>& b, std::size_t k, double tau) {
    std::array<std::size_t, D> lo{}, hi{}, strides{};
    std::array<double, D> t{};
    std::size_t rest = k, stride = 1;
    for (std::size_t a = 0; a < D; ++a) {
        const Grid1D<double>& ax = grid.axes[a];
        const std::size_t i = rest % ax.n;
        rest /= ax.n;
        const FootCell foot = foot_cell(static_cast<double>(i) + tau / ax.dx() * b[k * D + a], ax.boundary.tag, ax.n);
        t[a] = foot.t;
        lo[a] = foot.first;
        hi[a] = foot.second;
        strides[a] = stride;
        stride *= ax.n;
    }
    double worst = 0.0;
    for (std::size_t r = 0; r < D; ++r) {
        double read = 0.0;
        for (std::size_t c = 0; c < (std::size_t{1} << D); ++c) {
            double w = 1.0;
            std::size_t m = 0;
            for (std::size_t a = 0; a < D; ++a) {
                const bool up = (c >> a) & 1;
                w *= up ? t[a] : 1.0 - t[a];
                m += (up ? hi[a] : lo[a]) * strides[a];
            }
            read += w * b[m * D + r];
        }
        worst = std::max(worst, drift_change(b[k * D + r], read).value);
    }
    return worst;
}

// The hold of node k's reads in a step of tau: weighed by the drift's bend
// at the node and its change towards its neighbours along every axis
// (across a periodic seam too; no bend along an axis at whose end the node
// lies) and to its foot, as step_hold_weight weighs them in 1-D, and its
// margin by how close the step brings the node's foot to theirs along each
// axis (fold_widen).
template <std::size_t D>
NodeHold node_hold(const GridND<D>& grid, const std::vector<double>* drift, std::size_t k, double tau) {
    if (!drift) return {};
    const std::vector<double>& b = *drift;
    double change = 0.0, rough = 0.0, gap = 1.0;
    std::size_t rest = k, stride = 1;
    for (std::size_t a = 0; a < D; ++a) {
        const Grid1D<double>& ax = grid.axes[a];
        const std::size_t i = rest % ax.n;
        rest /= ax.n;
        const bool periodic = ax.boundary.tag == BoundaryTag::Periodic;
        const double reach = tau / ax.dx();
        const bool has_prev = i > 0 || periodic, has_next = i + 1 < ax.n || periodic;
        const std::size_t prev = i > 0 ? k - stride : k + (ax.n - 1) * stride;
        const std::size_t next = i + 1 < ax.n ? k + stride : k - (ax.n - 1) * stride;
        if (has_prev) {
            change = std::max(change, drift_vector_change<D>(b, k, prev));
            gap = std::min(gap, 1.0 + reach * (b[k * D + a] - b[prev * D + a]));
        }
        if (has_next) {
            change = std::max(change, drift_vector_change<D>(b, k, next));
            gap = std::min(gap, 1.0 + reach * (b[next * D + a] - b[k * D + a]));
        }
        if (has_prev && has_next) rough = std::max(rough, drift_vector_roughness<D>(b, prev, k, next));
        stride *= ax.n;
    }
    change = std::max(change, drift_vector_foot_change<D>(grid, b, k, tau));
    return {hold_weight(rough, change), drift, fold_widen(gap)};
}

// Single nodes around a read's cell: along each axis the taps of the nodes
// cell - 2 ... cell + 3 (beyond the ends as the axis policy resolves them),
// resolved when first read; the strides are those of the read's own taps.
template <std::size_t D>
class CellNodes {
public:
    CellNodes(const GridFnND<D>& u, const std::array<AxisTaps, D>& taps, const std::array<double, D>& point)
        : u_(u) {
        for (std::size_t a = 0; a < D; ++a) {
            const Grid1D<double>& ax = u.grid.axes[a];
            cell_[a] = saturating_cast<std::int64_t>(std::floor((point[a] - ax.xmin) / ax.dx()));
            node_[a].count = 1;
            node_[a].weights[0] = 1.0;
            node_[a].stride = taps[a].stride;
        }
    }

    // The value at offsets q (0 ... 5 along each axis, 2 the cell's first node).
    double at(const std::array<int, D>& q) {
        for (std::size_t a = 0; a < D; ++a) {
            const std::size_t k = static_cast<std::size_t>(q[a]);
            if (!(resolved_[a] >> k & 1u)) {
                near_[a][k] = resolve_axis_tap(u_.grid.axes[a], cell_[a] - 2 + q[a]);
                resolved_[a] |= 1u << k;
            }
            node_[a].taps[0] = near_[a][k];
        }
        return GridND<D>::interp_axis(u_, D, node_, 0);
    }

    // The share of the widening along axis r that the drift's r-component
    // leaves (the smallest drift_share across the cell's lines along r; all
    // of it without a drift).
    double drift_widen(std::size_t r, const std::vector<double>* drift) const {
        if (!drift) return 1.0;
        constexpr std::size_t kCorners = std::size_t{1} << D;
        const GridND<D>& grid = u_.grid;
        double share = 1.0;
        for (std::size_t c = 0; c < kCorners; ++c) {
            if ((c >> r) & 1) continue;
            std::size_t first = 0, second = 0, stride = 1;
            for (std::size_t a = 0; a < D; ++a) {
                const Grid1D<double>& ax = grid.axes[a];
                const std::int64_t i = cell_[a] + static_cast<std::int64_t>((c >> a) & 1);
                first += coefficient_node(i, ax.boundary.tag, ax.n) * stride;
                second += coefficient_node(a == r ? i + 1 : i, ax.boundary.tag, ax.n) * stride;
                stride *= ax.n;
            }
            share = std::min(share, drift_share((*drift)[first * D + r], (*drift)[second * D + r]).value);
        }
        return share;
    }

private:
    const GridFnND<D>& u_;
    std::array<std::int64_t, D> cell_{};
    std::array<std::array<AxisTap, 6>, D> near_{};
    std::array<unsigned, D> resolved_{};
    std::array<AxisTaps, D> node_{};
};

// The cubic read v at `point` (through `taps`) held to the range its cell
// allows: [min, max] of the 2^D corner values, widened along each axis on
// which the data are those of a smooth extremum of the read's side. Between
// nodes a smooth function leaves the corner range only at an extremum, by at
// most |u_rr| dx_r^2 / 8 along axis r (the cubic reproduces a parabola).
// Along axis r every line of the cell gives a margin: kBoundedWiden times
// its curvature of the extremum's sign as a 1-D read takes it (see
// limit_read in boundary.cpp), from the three-point second differences d2
// around the cell and their fourth differences (how far the outer d2 stray
// from the line through the inner two); the axis keeps the smallest over
// its lines, scaled by the share drift_share leaves where the
// characteristics meet or the drift changes along r in the cell, and by
// fold_widen where the step folds them next to the node. On smooth data the
// margin covers the cubic's excursion; on a jump, a kink, an odd-even
// ripple, noise or a bump of a few nodes the fourth differences exceed the
// second and nothing beyond the corners is allowed, since there the cubic
// read overshoots and each step would carry the overshoot on and add to it;
// where characteristics meet, neither. The bound is continuous in the values
// and the drift, and so is the read, blended with the plain one by the
// hold's weight.
template <std::size_t D>
double bounded_read(const GridFnND<D>& u, const std::array<AxisTaps, D>& taps, const std::array<double, D>& point,
                    double v, const NodeHold& hold) {
    CellNodes<D> nodes(u, taps, point);
    constexpr std::size_t kCorners = std::size_t{1} << D;
    auto corner = [](std::size_t c) {
        std::array<int, D> q{};
        for (std::size_t a = 0; a < D; ++a) q[a] = 2 + static_cast<int>((c >> a) & 1);
        return q;
    };
    double lo = kInf, hi = -kInf;
    for (std::size_t c = 0; c < kCorners; ++c) {
        const double w = nodes.at(corner(c));
        lo = std::min(lo, w);
        hi = std::max(hi, w);
    }
    // A NaN read is neither below nor above: it is returned as it is.
    if (!(v < lo) && !(v > hi)) return v;
    const bool below = v < lo;
    double widen = 0.0;
    for (std::size_t r = 0; r < D; ++r) {
        double margin = kInf;
        for (std::size_t c = 0; c < kCorners && margin > 0.0; ++c) {
            if ((c >> r) & 1) continue;  // one line per corner pair along r
            std::array<int, D> q = corner(c);
            double line[6];
            for (int k = 0; k < 6; ++k) {
                q[r] = k;
                line[k] = nodes.at(q);
            }
            double d2[4];
            for (int k = 0; k < 4; ++k) d2[k] = (line[k] - 2.0 * line[k + 1]) + line[k + 2];
            const double s0 = below ? d2[1] : -d2[1], s1 = below ? d2[2] : -d2[2];
            const double stray =
                std::fabs((d2[0] - 2.0 * d2[1]) + d2[2]) + std::fabs((d2[1] - 2.0 * d2[2]) + d2[3]);
            margin = std::min(margin, std::max(std::min(s0, s1) - kStrayBoth * stray,
                                               std::max(s0, s1) - kStrayOne * stray));
        }
        if (margin > 0.0) widen += kBoundedWiden * (nodes.drift_widen(r, hold.drift) * hold.fold) * margin;
    }
    const double bound = below ? lo - widen : hi + widen;
    const double held = below ? std::max(v, bound) : std::min(v, bound);
    return hold.blend(v, held);
}

// A read at `point` through its cubic taps, held by bounded_read where the
// node's reads are held.
template <std::size_t D>
double cubic_read(const GridFnND<D>& u, const std::array<AxisTaps, D>& taps, const std::array<double, D>& point,
                  const NodeHold& hold) {
    const double v = GridND<D>::interp_axis(u, D, taps, 0);
    return hold.held() ? bounded_read(u, taps, point, v, hold) : v;
}

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
                                       const std::array<double, D>& beta, double tau, const NodeHold& hold,
                                       double& two_point_read) {
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
    // Two-point along the walls' axes only: the other axes keep their
    // cubic taps, whose overshoot the held reads hold like any other.
    two_point_read = cubic_read(u, *two_point, foot, hold);
    return two_point_read - cubic_read(u, *cubic, foot, hold);
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
        const NodeHold hold = node_hold(grid, drift_nodes.get(), k, tau);
        double sum = 0.0, lo = kInf, hi = -kInf;
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
            const double read = cubic_read(u, *taps, shifted, hold);
            lo = std::min(lo, read);
            hi = std::max(hi, read);
            sum += w * read;
        }
        double two_point = 0.0;
        Expected<double> drift = wall_drift_correction(u, k, p, beta, tau, hold, two_point);
        if (!drift) return fail(drift.error());
        if (*drift == 0.0) {
            out[k] = (e * norm) * sum;
        } else if (!hold.held()) {
            out[k] = (e * norm) * sum + e * *drift;
        } else {
            // The exchange of the foot's read is no average of the reads:
            // held to their range, with the two-point read's, it cannot
            // grow the data at a wall either.
            const double mixed = norm * sum + *drift;
            const double held = std::clamp(mixed, std::min(lo, two_point), std::max(hi, two_point));
            out[k] = e * hold.blend(mixed, held);
        }
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

template struct AnisotropicShiftChernoffND<2>;
template struct AnisotropicShiftChernoffND<3>;
template Status unit_shift_apply_into<2>(const GridFnND<2>&, std::span<double>, double, std::size_t);
template Status unit_shift_apply_into<3>(const GridFnND<3>&, std::span<double>, double, std::size_t);
template Status shift_grid_check<2>(const GridND<2>&);
template Status shift_grid_check<3>(const GridND<3>&);

}  // namespace quorvane
