#include "core/geometric/smolyak.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

#include "core/foundation/gen_quadrature.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {
namespace {

constexpr double kPiCubed = 31.006276680299813;
constexpr double kInvPiCubed = 0.032251534433199495;

template <std::size_t D>
struct RawNode {
    std::array<double, D> xi;
    double w;
};

double binomial(std::size_t n, std::size_t k) {
    if (k > n) return 0.0;
    double c = 1.0;
    for (std::size_t j = 1; j <= k; ++j) c = c * static_cast<double>(n - k + j) / static_cast<double>(j);
    return c;
}

// The Smolyak combination coefficient of a multi-index of sum s.
template <std::size_t D>
double combination(std::size_t level, std::size_t s) {
    const std::size_t k = level - s;
    const double c = binomial(D - 1, k);
    return k % 2 ? -c : c;
}

// Rounds a ladder node to a multiple of 1e-14, so that equal nodes of
// different rungs merge exactly.
double snap(double x) { return std::round(x * 1e14) / 1e14; }

// The IEEE total order of doubles as a signed integer key.
std::int64_t total_key(double x) {
    const std::int64_t b = std::bit_cast<std::int64_t>(x);
    return b < 0 ? b ^ INT64_MAX : b;
}

template <std::size_t D>
Status build(std::array<std::size_t, D>& prefix, std::size_t depth, std::size_t sum, std::size_t level,
             std::vector<RawNode<D>>& out) {
    if (depth == D) {
        std::array<GaussHermiteRung, D> rungs{};
        for (std::size_t d = 0; d < D; ++d) {
            if (prefix[d] > kGaussHermiteLadderDepth) {
                return domain_error("SmolyakGridND: level exceeds GH ladder depth (max 5)", static_cast<double>(prefix[d]));
            }
            rungs[d] = *gauss_hermite_ladder(prefix[d]);
        }
        const double c = combination<D>(level, sum);
        // Tensor points, the first axis fastest.
        std::array<std::size_t, D> idx{};
        for (;;) {
            RawNode<D> node{};
            node.w = c;
            for (std::size_t d = 0; d < D; ++d) {
                node.xi[d] = snap(rungs[d].nodes[idx[d]]);
                node.w = node.w * rungs[d].weights[idx[d]];
            }
            out.push_back(node);
            std::size_t d = 0;
            while (d < D && ++idx[d] == rungs[d].nodes.size()) idx[d++] = 0;
            if (d == D) break;
        }
        return {};
    }
    // Each later entry needs at least 1.
    const std::size_t remaining = D - depth - 1;
    for (std::size_t i = 1; sum + i + remaining <= level; ++i) {
        prefix[depth] = i;
        if (Status st = build<D>(prefix, depth + 1, sum + i, level, out); !st) return st;
    }
    return {};
}

// Catmull-Rom weights of the fraction t.
std::array<double, 4> cubic_weights(double t) {
    const double t2 = t * t, t3 = t2 * t;
    return {0.5 * ((-t + 2.0 * t2) - t3), 0.5 * ((2.0 - 5.0 * t2) + 3.0 * t3), 0.5 * ((t + 4.0 * t2) - 3.0 * t3),
            0.5 * (t3 - t2)};
}

}  // namespace

template <std::size_t D>
Expected<SmolyakGridND<D>> SmolyakGridND<D>::make(std::size_t n, double lo, double hi) {
    auto axis = Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), lo, hi, n);
    if (!axis) return fail(axis.error());
    SmolyakGridND op;
    op.grid_.axes.fill(*axis);
    op.grid_.interp_kind = InterpKind::of(InterpTag::CubicHermite);

    std::vector<RawNode<D>> raw;
    std::array<std::size_t, D> prefix{};
    if (Status st = build<D>(prefix, 0, 0, kLevel, raw); !st) return fail(st.error());
    std::stable_sort(raw.begin(), raw.end(), [](const RawNode<D>& a, const RawNode<D>& b) {
        for (std::size_t d = 0; d < D; ++d) {
            const std::int64_t ka = total_key(a.xi[d]), kb = total_key(b.xi[d]);
            if (ka != kb) return ka < kb;
        }
        return false;
    });
    auto same = [](const RawNode<D>& a, const RawNode<D>& b) {
        for (std::size_t d = 0; d < D; ++d)
            if (total_key(a.xi[d]) != total_key(b.xi[d])) return false;
        return true;
    };
    for (std::size_t k = 0; k < raw.size();) {
        RawNode<D> merged = raw[k];
        std::size_t j = k + 1;
        for (; j < raw.size() && same(raw[j], merged); ++j) merged.w += raw[j].w;
        if (std::fabs(merged.w) > 1e-15) {
            op.nodes_.push_back(merged.xi);
            op.weights_.push_back(merged.w);
        }
        k = j;
    }
    if (op.nodes_.empty()) return domain_error("SmolyakGridND: empty node set (ell too small?)", double(kLevel));
    double s = -0.0;
    for (double w : op.weights_) s += w;
    const double rel = std::fabs(s - kPiCubed) / kPiCubed;
    if (rel > 1e-10) return domain_error("SmolyakGridND: weight sum \u2260 \u03c0^{D/2} (F(0)=I violated)", rel);
    return op;
}

template <std::size_t D>
std::vector<double> SmolyakGridND<D>::distinct_coords() const {
    // A zero coordinate reads the node itself.
    std::vector<double> coords;
    for (const auto& xi : nodes_)
        for (double c : xi)
            if (c != 0.0 && std::find(coords.begin(), coords.end(), c) == coords.end()) coords.push_back(c);
    return coords;
}

template <std::size_t D>
auto SmolyakGridND<D>::axis_taps(const std::vector<double>& coords, double tau) const
    -> Expected<std::vector<Tap>> {
    const Grid1D<double>& axis = grid_.axes[0];
    const std::size_t n = axis.n;
    const double scale = 2.0 * std::sqrt(tau);
    std::vector<Tap> taps(coords.size() * n * 4);
    for (std::size_t c = 0; c < coords.size(); ++c) {
        for (std::size_t i = 0; i < n; ++i) {
            const double x = axis.xmin + (axis.xmax - axis.xmin) * static_cast<double>(i) / static_cast<double>(n - 1);
            // For a finite tau >= 0 the point is finite, so the only refusal
            // left is a point 2^53 or more cells away.
            const Expected<AxisTaps> rec = build_axis_taps(axis, grid_.interp_kind, x + scale * coords[c], 1);
            if (!rec) return finite_nonneg(tau) ? domain_error(kSmolyakReachMessage, tau) : fail(rec.error());
            for (std::size_t q = 0; q < 4; ++q) {
                if (rec->taps[q].kind != AxisTapKind::Node) internal_fault("SmolyakGridND::step: reflect taps expected");
                taps[(c * n + i) * 4 + q] = {static_cast<std::size_t>(rec->taps[q].payload), rec->weights[q]};
            }
        }
    }
    return taps;
}

template <std::size_t D>
Status SmolyakGridND<D>::check_step(double tau) const {
    if (Expected<std::vector<Tap>> taps = axis_taps(distinct_coords(), tau); !taps) return fail(taps.error());
    return {};
}

template <std::size_t D>
Status SmolyakGridND<D>::step(std::span<const double> u, std::span<double> out, double tau) const {
    const std::size_t n = grid_.axes[0].n;
    const std::vector<double> coords = distinct_coords();
    const Expected<std::vector<Tap>> axis = axis_taps(coords, tau);
    if (!axis) return fail(axis.error());
    const std::vector<Tap>& taps = *axis;
    // Per node: its displaced axes (highest first) and their coordinate index.
    struct Active {
        std::size_t axis;
        std::size_t coord;
    };
    std::vector<std::vector<Active>> active(nodes_.size());
    for (std::size_t k = 0; k < nodes_.size(); ++k)
        for (std::size_t d = D; d-- > 0;)
            if (nodes_[k][d] != 0.0) {
                const std::size_t c = static_cast<std::size_t>(
                    std::find(coords.begin(), coords.end(), nodes_[k][d]) - coords.begin());
                active[k].push_back({d, c});
            }
    std::array<std::size_t, D> stride{};
    stride[0] = 1;
    for (std::size_t d = 1; d < D; ++d) stride[d] = stride[d - 1] * n;

    std::array<std::size_t, D> idx{};
    for (std::size_t m = 0; m < out.size(); ++m) {
        if (Status st = poll_stop_per_block(m); !st) return st;
        std::size_t r = m;
        for (std::size_t d = 0; d < D; ++d) idx[d] = r % n, r /= n;
        double s = 0.0;
        for (std::size_t k = 0; k < nodes_.size(); ++k) {
            const std::vector<Active>& act = active[k];
            std::size_t base = m;
            for (const Active& a : act) base -= idx[a.axis] * stride[a.axis];
            // Tensor sum over the displaced axes, the highest outermost.
            auto sum = [&](auto&& self, std::size_t level, std::size_t offset) -> double {
                if (level == act.size()) return u[offset];
                const Active& a = act[level];
                const Tap* t = &taps[(a.coord * n + idx[a.axis]) * 4];
                double acc = 0.0;
                for (std::size_t q = 0; q < 4; ++q) acc += t[q].w * self(self, level + 1, offset + t[q].node * stride[a.axis]);
                return acc;
            };
            s += weights_[k] * sum(sum, 0, base);
        }
        out[m] = (1.0 * kInvPiCubed) * s;
    }
    return {};
}

template <std::size_t D>
double SmolyakGridND<D>::spectral_radius(double tau) const {
    // Under the reflect taps the cosine modes cos(theta_m j), theta_m =
    // pi m/(n - 1), of every axis are eigenvectors; the eigenvalue of a
    // product of modes is the symbol
    //   S = sum over multi-indices i of c(|i|) prod_d Q_{i_d}(theta_d),
    // Q_l(theta) = pi^{-1/2} sum_j w_j Re sum_q w_q(t_j) e^{i theta (i0_j - 1 + q)}
    // for rung l's nodes displaced by s_j = 2 sqrt(tau) xi_j / h cells. S is
    // symmetric in the axes, so only multisets of modes are visited, and the
    // multi-index sum runs as a product of polynomials in the level.
    const Grid1D<double>& axis = grid_.axes[0];
    const std::size_t n = axis.n;
    const double cells = 2.0 * std::sqrt(tau) / axis.dx();
    const double inv_sqrt_pi = 1.0 / std::sqrt(std::numbers::pi);
    constexpr std::size_t L = kGaussHermiteLadderDepth;
    std::vector<std::array<double, L + 1>> q(n);
    for (std::size_t m = 0; m < n; ++m) {
        const double theta = std::numbers::pi * static_cast<double>(m) / static_cast<double>(n - 1);
        for (std::size_t l = 1; l <= L; ++l) {
            const GaussHermiteRung rung = *gauss_hermite_ladder(l);
            double acc = 0.0;
            for (std::size_t j = 0; j < rung.nodes.size(); ++j) {
                const double s = cells * rung.nodes[j];
                const double i0 = std::floor(s);
                const std::array<double, 4> w = cubic_weights(s - i0);
                double re = 0.0;
                for (std::size_t t = 0; t < 4; ++t) re += w[t] * std::cos(theta * (i0 - 1.0 + static_cast<double>(t)));
                acc += rung.weights[j] * re;
            }
            q[m][l] = acc * inv_sqrt_pi;
        }
    }
    double radius = 0.0;
    using Poly = std::array<double, kLevel + 1>;
    auto visit = [&](auto&& self, std::size_t depth, std::size_t first, const Poly& p) -> void {
        if (depth == D) {
            double s = 0.0;
            for (std::size_t k = D; k <= kLevel; ++k) s += combination<D>(kLevel, k) * p[k];
            radius = std::max(radius, std::fabs(s));
            return;
        }
        for (std::size_t m = first; m < n; ++m) {
            Poly next{};
            for (std::size_t a = 0; a <= kLevel; ++a)
                for (std::size_t l = 1; l <= L && a + l <= kLevel; ++l) next[a + l] += p[a] * q[m][l];
            self(self, depth + 1, m, next);
        }
    };
    Poly one{};
    one[0] = 1.0;
    visit(visit, 0, 0, one);
    return radius;
}

template <std::size_t D>
bool SmolyakGridND<D>::amplifies(double tau) const {
    return spectral_radius(tau) > 1.0 + 1e-9;
}

template <std::size_t D>
double SmolyakGridND<D>::max_contracting_tau() const {
    // Scan 2 sqrt(tau)/h in steps of 0.01 for the first amplifying step,
    // then bisect; the radius is continuous in tau. The scan does not depend
    // on any step asked for, so every call finds the same bound. The
    // checkerboard amplifies from 0.6586 on, on every grid: the scan ends
    // there.
    const double h = grid_.axes[0].dx();
    auto tau_of = [&](double cells) { return (cells * h / 2.0) * (cells * h / 2.0); };
    auto grows = [&](double cells) { return amplifies(tau_of(cells)); };
    double lo = 0.0, hi = 0.0;
    for (int k = 1; hi == 0.0 && k <= 100; ++k) {
        const double c = 0.01 * k;
        if (grows(c)) {
            hi = c;
        } else {
            lo = c;
        }
    }
    if (hi == 0.0) internal_fault("SmolyakGridND: no amplifying step up to 2 sqrt(tau)/h = 1");
    for (int it = 0; it < 50; ++it) {
        const double mid = 0.5 * (lo + hi);
        (grows(mid) ? hi : lo) = mid;
    }
    return tau_of(lo);
}

template class SmolyakGridND<6>;

Expected<SmolyakScaledValues> smolyak_evolve(const SmolyakGridND<6>& op, std::vector<double> values, double tau,
                                             std::size_t n_steps) {
    auto start = GridFnND<6>::make(op.grid(), std::move(values));
    if (!start) return fail(start.error());
    std::vector<double> a = std::move(start->values), b(a.size(), 0.0);
    // A step's partial sums stay below sum_k |w_k| (5/4)^6 max|u| (a cubic
    // read weighs its four values by at most 5/4 in absolute sum), about
    // 2.1e3 max|u|, while the step maps a constant to itself: data of finite
    // result may overflow there. Such data are carried scaled by a power of
    // two (exact) from that step on and scaled back by the caller, so no
    // intermediate is inf, and a result beyond the range is known by its
    // scaled values.
    double abs_weights = 0.0;
    for (double w : op.weights()) abs_weights += std::fabs(w);
    const int spare = std::numeric_limits<double>::max_exponent - 2 - std::ilogb(abs_weights * 3.814697265625);
    int exponent = 0;
    for (std::size_t k = 0; k < n_steps; ++k) {
        // An inf in u is carried as given (its exponent counts as 0; the
        // fixed weights leave spare far above 0).
        const int e = std::max(0, unit_scale_exponent(a) - spare);
        if (e > 0) scale_by_power_of_two(a, -e);
        exponent += e;
        if (Status st = op.step(a, b, tau); !st) return fail(st.error());
        std::swap(a, b);
    }
    return SmolyakScaledValues{std::move(a), exponent};
}

}  // namespace quorvane
