#include "core/multid/read_range_nd.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/foundation/boundary.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {
namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();

// The cubic with Bernstein coefficients c at t, by de Casteljau.
double bernstein3(const double* c, double t) {
    const double s = 1.0 - t;
    const double a0 = s * c[0] + t * c[1], a1 = s * c[1] + t * c[2], a2 = s * c[2] + t * c[3];
    const double b0 = s * a0 + t * a1, b1 = s * a1 + t * a2;
    return s * b0 + t * b1;
}

// The greatest value of the cubic c over [0, 1]: its ends and the zeros of
// its derivative inside, 3 (d0 (1-t)^2 + 2 d1 t (1-t) + d2 t^2) with
// d_k = c_{k+1} - c_k, found by the quadratic formula in the form that
// loses no digits. A zero found a few ulps off moves the value by their
// square.
double cubic_max(const double* c) {
    double best = std::max(c[0], c[3]);
    const double d0 = c[1] - c[0], d1 = c[2] - c[1], d2 = c[3] - c[2];
    const double qa = (d0 - 2.0 * d1) + d2, qb = 2.0 * (d1 - d0), qc = d0;
    const auto take = [&](double t) {
        if (t > 0.0 && t < 1.0) best = std::max(best, bernstein3(c, t));
    };
    if (qa == 0.0) {
        if (qb != 0.0) take(-qc / qb);
        return best;
    }
    const double disc = qb * qb - 4.0 * qa * qc;
    if (!(disc >= 0.0)) return best;
    const double q = -0.5 * (qb + std::copysign(std::sqrt(disc), qb));
    if (q == 0.0) return best;  // a double zero at t = 0
    take(q / qa);
    take(qc / q);
    return best;
}

// Slices one axis of a cell's bound may read.
constexpr int kLevelReads = 1024;

// Past its read's allowance a cell's bound splits only its first two levels
// along each axis: 17 slices of 17 cubics at most.
constexpr int kSpentLevels = 2;

// The upper bound of tensor_cubic_extreme over axes 0 .. K - 1 of b
// (4^K coefficients). Below `goal` it need not be tight: an interval whose
// bound lies at or below it is not split, since no value there matters to
// the caller.
template <std::size_t K>
double patch_max(const double* b, double goal, RangeWork& work) {
    if constexpr (K == 1) {
        ++work.taken;
        return cubic_max(b);
    } else {
        int reads = 0;
        constexpr std::size_t kSlice = kCellCoefficients<K - 1>;
        // Along the last axis P = sum_j B_j^3(t) sum_m b[m + j S] B_m(x), so
        // d^2P/dt^2 = 6 sum_m B_m(x) sum_j D2 b[m, j] B_j^1(t), a convex
        // combination: on an interval of length h P rises above its chord
        // by at most h^2 6 crest / 8, crest the largest -D2 b (0 if none),
        // and the chord lies below the larger end's slice bound.
        double crest = 0.0, scale = 0.0, hull = -FlowRange::kInfinity;
        for (std::size_t m = 0; m < kSlice; ++m) {
            for (std::size_t j = 0; j < 4; ++j) {
                scale = std::max(scale, std::fabs(b[m + j * kSlice]));
                hull = std::max(hull, b[m + j * kSlice]);
            }
            for (std::size_t j = 0; j < 2; ++j) {
                const double d2 = (b[m + (j + 2) * kSlice] - 2.0 * b[m + (j + 1) * kSlice]) + b[m + j * kSlice];
                crest = std::max(crest, -d2);
            }
        }
        const double rounding = 16.0 * kEps * scale;
        const auto margin = [&](double h) { return h * h * (6.0 * crest) / 8.0; };
        // Split in 4, twelve levels deep: as fine as 16 parts six deep, and
        // a crest near an interval's end costs 3 slices a level where 16
        // parts cost 15.
        constexpr int kSplit = 4, kLevels = 12;
        double best = -FlowRange::kInfinity;
        std::array<double, kSlice> slice{};
        // A slice that ends intervals of length h need not be tight below
        // goal - margin(h): those intervals' bounds then lie below the goal.
        const auto at = [&](double t, double h) {
            const double s = 1.0 - t;
            for (std::size_t m = 0; m < kSlice; ++m) {
                const double* c = b + m;
                const double a0 = s * c[0] + t * c[kSlice], a1 = s * c[kSlice] + t * c[2 * kSlice],
                             a2 = s * c[2 * kSlice] + t * c[3 * kSlice];
                slice[m] = s * (s * a0 + t * a1) + t * (s * a1 + t * a2);
            }
            ++reads;
            const double v = patch_max<K - 1>(slice.data(), goal - margin(h), work);
            best = std::max(best, v);
            return v;
        };
        // The bound over [t0, t0 + h] with end bounds l and r, split where
        // it could lie beyond the best slice so far and the goal (as
        // read_extreme splits).
        const auto bound = [&](auto& self, double t0, double h, double l, double r, int level) -> double {
            const double plain = std::max(l, r) + margin(h);
            if (plain <= std::max(best, goal) || level == kLevels || margin(h) <= rounding ||
                reads + kSplit > kLevelReads || (level >= kSpentLevels && work.spent())) {
                return plain;
            }
            const double part = h / kSplit;
            double values[kSplit + 1];
            values[0] = l;
            values[kSplit] = r;
            for (int j = 1; j < kSplit; ++j) values[j] = at(t0 + part * j, part);
            double most = -FlowRange::kInfinity;
            for (int j = 0; j < kSplit; ++j) {
                most = std::max(most, self(self, t0 + part * j, part, values[j], values[j + 1], level + 1));
            }
            return most;
        };
        const double first = at(0.0, 1.0 / kSplit), last = at(1.0, 1.0 / kSplit);
        const double result = std::max(bound(bound, 0.0, 1.0, first, last, 0), best);
        return std::min(result, hull) + rounding;
    }
}

// tensor_cubic_extreme, not tight below `goal` (in the direction of the
// extreme: above it for the least value).
template <std::size_t D>
double cell_extreme(const std::array<double, kCellCoefficients<D>>& b, bool upper, double goal, RangeWork& work) {
    if (upper) return patch_max<D>(b.data(), goal, work);
    std::array<double, kCellCoefficients<D>> minus{};
    for (std::size_t k = 0; k < b.size(); ++k) minus[k] = -b[k];
    return -patch_max<D>(minus.data(), -goal, work);
}

// Node j of a line of n nodes as a sum of up to three nodes with weights
// (`index` into the line): itself, across a periodic seam, or continued by
// the straight line of a "linear" end (BoundaryPolicy's sample_form).
struct LineTerms {
    int count = 0;
    std::array<std::size_t, 3> index{};
    std::array<double, 3> weight{};
};

LineTerms line_terms(std::size_t n, bool periodic, std::int64_t j) {
    const BoundaryPolicy<double> policy =
        BoundaryPolicy<double>::of(periodic ? BoundaryTag::Periodic : BoundaryTag::Linear);
    SampleTerm terms[3];
    LineTerms out;
    out.count = sample_form(policy, n, j, 1.0, terms);
    for (int k = 0; k < out.count; ++k) {
        out.index[static_cast<std::size_t>(k)] = static_cast<std::size_t>(terms[k].index);
        out.weight[static_cast<std::size_t>(k)] = terms[k].weight;
    }
    return out;
}

// A line of a grid: n values `stride` apart from `first`.
struct Line {
    const double* first;
    std::size_t stride, n;
    bool periodic;

    double operator[](std::int64_t j) const {
        const auto m = static_cast<std::int64_t>(n);
        return first[static_cast<std::size_t>(((j % m) + m) % m) * stride];
    }
};

// The values cell_smoothness (nine-node differences) and cell_bend (three-
// node) read for the cell from node i to i + 1 of a line, copied into `w`
// with the cell's index there: a window that gives what the whole line
// would (off a periodic line, the clamped nodes and their neighbours; on
// one, the nodes around i, read as a line without ends).
std::size_t window(const Line& line, std::size_t i, std::size_t reach, double* w, std::size_t& count) {
    const std::size_t n = line.n;
    if (line.periodic) {
        count = 2 * reach + 2;
        for (std::size_t k = 0; k < count; ++k) {
            w[k] = line[static_cast<std::int64_t>(i + k) - static_cast<std::int64_t>(reach)];
        }
        return reach;
    }
    const std::size_t j0 = std::clamp(i, reach, n - 1 - reach), j1 = std::clamp(i + 1, reach, n - 1 - reach);
    count = j1 - j0 + 2 * reach + 1;
    for (std::size_t k = 0; k < count; ++k) w[k] = line[static_cast<std::int64_t>(j0 - reach + k)];
    // The window's own clamp maps i where the line's maps it.
    return i + reach - j0;
}

struct EdgeMeasure {
    double smooth = 1.0, eighth = 0.0, bend = 0.0;
};

// cell_smoothness on a line too short for eighth differences (5 to 8
// nodes): the same ramp over (|D4 u| / |D2 u|)^2, which a sampled wave
// shares with |D8 u| / |D4 u| ((4 sin^2(pi/m))^2 at m nodes a wavelength).
// Lines of 4 nodes, too short for either, count as rough: a state rebuilt
// on them would otherwise keep every overshoot of its read.
double short_line_smoothness(const double* w, std::size_t count, std::size_t i) {
    if (count < 5) return 0.0;
    double worst = 0.0;
    for (const std::size_t node : {i, i + 1}) {
        const std::size_t j = std::clamp<std::size_t>(node, 2, count - 3);
        const double d2 = (w[j - 1] - 2.0 * w[j]) + w[j + 1];
        const double d4 = ((w[j - 2] + w[j + 2]) - 4.0 * (w[j - 1] + w[j + 1])) + 6.0 * w[j];
        const double r = d2 != 0.0 ? (d4 / d2) * (d4 / d2) : d4 != 0.0 ? FlowRange::kInfinity : 0.0;
        worst = std::max(worst, r);
    }
    if (!(worst < kRoughRatio)) return 0.0;
    return worst <= kSmoothRatio ? 1.0 : (kRoughRatio - worst) / (kRoughRatio - kSmoothRatio);
}

EdgeMeasure edge_measure(const Line& line, std::size_t i) {
    EdgeMeasure e;
    double w[10];
    std::size_t count = 0;
    if (line.n >= 9) {
        const std::size_t at = window(line, i, 4, w, count);
        e.smooth = cell_smoothness(std::span<const double>(w, count), false, at, e.eighth);
    } else if (line.n >= 5) {
        const std::size_t at = window(line, i, 2, w, count);
        e.smooth = short_line_smoothness(w, count, at);
    } else {
        e.smooth = 0.0;
    }
    if (line.n >= 3) {
        const std::size_t at = window(line, i, 1, w, count);
        e.bend = cell_bend(std::span<const double>(w, count), false, at);
    }
    return e;
}

// The cell's Bernstein coefficients from its 4^D stencil: along each axis
// the cubic Hermite with central slopes, b = (u0, u0 + (u1 - u-1) / 6,
// u1 - (u2 - u0) / 6, u1).
template <std::size_t D>
void to_bernstein(std::array<double, kCellCoefficients<D>>& c) {
    std::size_t stride = 1;
    for (std::size_t a = 0; a < D; ++a) {
        for (std::size_t k = 0; k < c.size(); ++k) {
            if ((k / stride) % 4 != 0) continue;
            const double um = c[k], u0 = c[k + stride], u1 = c[k + 2 * stride], u2 = c[k + 3 * stride];
            c[k] = u0;
            c[k + stride] = u0 + (u1 - um) / 6.0;
            c[k + 2 * stride] = u1 - (u2 - u0) / 6.0;
            c[k + 3 * stride] = u1;
        }
        stride *= 4;
    }
}

template <std::size_t D>
Expected<FlowRange> tensor_range(const GridND<D>& grid, std::span<const double> values, RangeWork& work) {
    constexpr std::size_t kCount = kCellCoefficients<D>;
    std::array<std::size_t, D> n{}, cells{}, stride{};
    std::array<bool, D> periodic{};
    std::size_t total = 1, s = 1;
    for (std::size_t a = 0; a < D; ++a) {
        n[a] = grid.axes[a].n;
        periodic[a] = grid.axes[a].boundary.tag == BoundaryTag::Periodic;
        cells[a] = periodic[a] ? n[a] : n[a] - 1;
        stride[a] = s;
        s *= n[a];
        total *= cells[a];
    }
    FlowRange r{values[0], values[0]};
    for (const double v : values) r = r.joined({v, v});
    // The ends as far as cells bounded beyond their goals have moved them,
    // which the goals are taken from: a cell bounded only up to its goal
    // may lie a few roundings above it, and its end, taken into r, must not
    // raise the next cell's goal, or a row of equal crests would creep.
    FlowRange settled = r;
    // Per axis the four stencil nodes of a cell index as sums of nodes.
    std::array<std::vector<std::array<LineTerms, 4>>, D> terms;
    for (std::size_t a = 0; a < D; ++a) {
        terms[a].resize(cells[a]);
        for (std::size_t i = 0; i < cells[a]; ++i)
            for (std::size_t q = 0; q < 4; ++q)
                terms[a][i][q] = line_terms(n[a], periodic[a], static_cast<std::int64_t>(i + q) - 1);
    }
    std::array<double, kCount> c{};
    std::array<std::size_t, D> idx{};
    for (std::size_t cell = 0; cell < total; ++cell) {
        if (Status st = poll_stop_per_block(cell); !st) return fail(st.error());
        std::size_t rest = cell, base = 0;
        for (std::size_t a = 0; a < D; ++a) {
            idx[a] = rest % cells[a];
            rest /= cells[a];
            base += idx[a] * stride[a];
        }
        // The stencil: every combination of the axes' terms.
        for (std::size_t k = 0; k < kCount; ++k) {
            std::array<const LineTerms*, D> t{};
            std::size_t digits = k;
            for (std::size_t a = 0; a < D; ++a, digits /= 4) t[a] = &terms[a][idx[a]][digits % 4];
            double sum = 0.0;
            std::array<int, D> pick{};
            for (bool more = true; more;) {
                double w = 1.0;
                std::size_t at = 0;
                for (std::size_t a = 0; a < D; ++a) {
                    const auto p = static_cast<std::size_t>(pick[a]);
                    w *= t[a]->weight[p];
                    at += t[a]->index[p] * stride[a];
                }
                sum += w * values[at];
                std::size_t a = 0;
                while (a < D && ++pick[a] == t[a]->count) pick[a++] = 0;
                more = a < D;
            }
            c[k] = sum;
        }
        to_bernstein<D>(c);
        const auto [lo, hi] = std::minmax_element(c.begin(), c.end());
        if (*lo >= r.lo && *hi <= r.hi) continue;
        // The edges along each axis: how smooth, how bent, their |D8 u|.
        double smooth = 1.0, eighth = 0.0, crest = 0.0, trough = 0.0;
        for (std::size_t a = 0; a < D && smooth > 0.0; ++a) {
            double low = FlowRange::kInfinity, high = -FlowRange::kInfinity;
            const std::size_t line_start = base - idx[a] * stride[a];
            for (std::size_t corner = 0; corner < (std::size_t{1} << D); ++corner) {
                if ((corner >> a) & 1u) continue;
                std::size_t first = line_start;
                for (std::size_t o = 0; o < D; ++o) {
                    if (o != a && ((corner >> o) & 1u)) first += ((idx[o] + 1) % n[o] - idx[o]) * stride[o];
                }
                const EdgeMeasure e = edge_measure(Line{values.data() + first, stride[a], n[a], periodic[a]}, idx[a]);
                smooth = std::min(smooth, e.smooth);
                eighth = std::max(eighth, e.eighth);
                low = std::min(low, e.bend);
                high = std::max(high, e.bend);
            }
            if (high < 0.0) crest -= high;
            if (low > 0.0) trough += low;
        }
        if (smooth == 0.0 || (crest == 0.0 && trough == 0.0)) continue;
        double top = -FlowRange::kInfinity, bottom = FlowRange::kInfinity;
        for (std::size_t corner = 0; corner < (std::size_t{1} << D); ++corner) {
            std::size_t k = 0, m = 1;
            for (std::size_t a = 0; a < D; ++a, m *= 4) k += ((corner >> a) & 1u ? 3 : 0) * m;
            top = std::max(top, c[k]);
            bottom = std::min(bottom, c[k]);
        }
        const double allowance = kReadErrorShare * eighth;
        // The cell moves an end of the range only where its extreme lies
        // beyond the corners by more than (end - corners) / smooth -
        // allowance (bent_share is at most 1): up to there its bound need
        // not be tight. Bounded up to there, it lies within the bound's
        // roundings (16 ulps of the largest |b| an axis) above.
        const double slack = 64.0 * kEps * std::max(std::fabs(*lo), std::fabs(*hi));
        if (*hi > r.hi && crest > 0.0) {
            const double goal = top + ((settled.hi - top) / smooth - allowance);
            const double extreme = cell_extreme<D>(c, true, goal, work), beyond = extreme - top;
            if (beyond > 0.0) {
                const double end = top + smooth * bent_share(crest, beyond) * (beyond + allowance);
                r.hi = std::max(r.hi, end);
                if (extreme > goal + slack) settled.hi = std::max(settled.hi, end);
            }
        }
        if (*lo < r.lo && trough > 0.0) {
            const double goal = bottom - ((bottom - settled.lo) / smooth - allowance);
            const double extreme = cell_extreme<D>(c, false, goal, work), beyond = bottom - extreme;
            if (beyond > 0.0) {
                const double end = bottom - smooth * bent_share(trough, beyond) * (beyond + allowance);
                r.lo = std::min(r.lo, end);
                if (extreme < goal - slack) settled.lo = std::min(settled.lo, end);
            }
        }
    }
    return r;
}

}  // namespace

template <std::size_t D>
double tensor_cubic_extreme(const std::array<double, kCellCoefficients<D>>& b, bool upper) {
    RangeWork unlimited{std::numeric_limits<std::size_t>::max()};
    return cell_extreme<D>(b, upper, upper ? -FlowRange::kInfinity : FlowRange::kInfinity, unlimited);
}

template <std::size_t D>
Expected<FlowRange> read_range_nd(const GridND<D>& grid, std::span<const double> values, RangeWork& work) {
    if (const int shift = large_data_shift(values); shift > 0) {
        std::vector<double> scaled(values.begin(), values.end());
        scale_by_power_of_two(scaled, -shift);
        Expected<FlowRange> r = read_range_nd(grid, scaled, work);
        if (r) *r = {std::ldexp(r->lo, shift), std::ldexp(r->hi, shift)};
        return r;
    }
    FlowRange r{values[0], values[0]};
    if (grid.interp_kind.tag == InterpTag::CubicHermite) {
        Expected<FlowRange> read = tensor_range(grid, values, work);
        if (!read) return read;
        r = *read;
    } else {
        for (const double v : values) r = r.joined({v, v});
    }
    bool zero = false;
    for (const Grid1D<double>& ax : grid.axes) zero = zero || ax.boundary.tag == BoundaryTag::Zero;
    return zero ? r.with_zero() : r;
}

template <std::size_t D>
Expected<FlowRange> read_range_nd(const GridND<D>& grid, std::span<const double> values) {
    RangeWork work{RangeWork::allowance(values.size())};
    return read_range_nd(grid, values, work);
}

template double tensor_cubic_extreme<1>(const std::array<double, 4>&, bool);
template double tensor_cubic_extreme<2>(const std::array<double, 16>&, bool);
template double tensor_cubic_extreme<3>(const std::array<double, 64>&, bool);
template Expected<FlowRange> read_range_nd<2>(const GridND<2>&, std::span<const double>);
template Expected<FlowRange> read_range_nd<3>(const GridND<3>&, std::span<const double>);
template Expected<FlowRange> read_range_nd<2>(const GridND<2>&, std::span<const double>, RangeWork&);
template Expected<FlowRange> read_range_nd<3>(const GridND<3>&, std::span<const double>, RangeWork&);

}  // namespace quorvane
