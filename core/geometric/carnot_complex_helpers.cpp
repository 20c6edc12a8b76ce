#include "core/geometric/carnot_complex_helpers.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/foundation/gen_quadrature.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {
namespace {

constexpr double kInvSqrtPi = 0.5641895835477563;  // 1/sqrt(pi)

// Node coordinate of flat index m on each axis.
std::array<double, 5> node_of(const FiliformAxes& axes, std::size_t m) {
    std::array<double, 5> x{};
    for (std::size_t d = 0; d < 5; ++d) {
        x[d] = axes[d].node(m % axes[d].n);
        m /= axes[d].n;
    }
    return x;
}

// Every read indexes the values through the axes' node counts.
void check_layout(const CplxGridFn5& f) {
    std::size_t count = 1;
    for (const BoxAxis& a : f.axes) count *= a.n;
    if (count != f.values.size()) internal_fault("CplxGridFn5: value count differs from the node counts' product");
}

// Up to five consecutive nodes of one axis, from `first`, and their weights.
struct AxisTaps {
    std::size_t first = 0;
    std::size_t count = 1;
    std::array<Cplx, 5> w{};
};

// The read at the complex coordinate z along one axis: the Lagrange
// polynomial through the widest stencil centred on the node nearest Re z
// (five nodes; three beside an end node; the end node alone within half a
// cell of it), evaluated at z. On five nodes it reproduces quartics, so away
// from the ends the field steps (the rule integrates polynomials of degree up
// to 63 in xi exactly) are the exact flows exp(s X^2/2) on them, and a step's
// increment on a quadratic is that of exp(tau L). The stencil is centred on a
// node, so the read's error is even about it and its Gaussian average stays
// O(dx^4) however small the step; a stencil chosen by the cell (the
// four-point cubic) has a kink at every node that costs O(dx^3 sqrt(tau))
// per step, which repeated steps accumulate as tau shrinks. Beyond an end the
// read is the end value, in the imaginary direction too (constant extension).
AxisTaps axis_taps(Cplx z, const BoxAxis& axis) {
    const CellRead c = locate_cell(z.re, axis);
    AxisTaps taps;
    if (c.i == c.j) {
        taps.first = c.i;
        taps.w[0] = {1.0, 0.0};
        return taps;
    }
    const std::size_t nearest = c.f < 0.5 ? c.i : c.j;
    const std::size_t reach = std::min<std::size_t>({2, nearest, axis.n - 1 - nearest});
    taps.first = nearest - reach;
    taps.count = 2 * reach + 1;
    if (taps.first + taps.count > axis.n) internal_fault("axis_taps: stencil outside the axis");
    // z in cells from node `first`.
    const double dx = (axis.hi - axis.lo) / static_cast<double>(axis.n - 1);
    const Cplx t{(static_cast<double>(c.i) + c.f) - static_cast<double>(taps.first), z.im / dx};
    for (std::size_t j = 0; j < taps.count; ++j) {
        Cplx num{1.0, 0.0};
        double den = 1.0;
        for (std::size_t q = 0; q < taps.count; ++q) {
            if (q == j) continue;
            num = num * Cplx{t.re - static_cast<double>(q), t.im};
            den *= static_cast<double>(j) - static_cast<double>(q);
        }
        taps.w[j] = (1.0 / den) * num;
    }
    return taps;
}

// The taps at x_i - w xi_k for every node i of the axis and rule node k
// (index i * 32 + k): a shift along one axis reads the same points from
// every line, so they are built once per step.
std::vector<AxisTaps> shifted_taps(Cplx w, const BoxAxis& axis) {
    const GaussHermite32& rule = gauss_hermite_32();
    std::vector<AxisTaps> taps(axis.n * 32);
    for (std::size_t i = 0; i < axis.n; ++i) {
        for (std::size_t k = 0; k < 32; ++k) {
            taps[i * 32 + k] = axis_taps({axis.node(i) - w.re * rule.nodes[k], -(w.im * rule.nodes[k])}, axis);
        }
    }
    return taps;
}

enum class FieldFactor { X1, X2 };

// How far off the real axis the reads of a field step go: the distance of
// the read point from the real points, in cells of each axis, per unit rule
// node. Per axis the imaginary part of the read point is a polynomial in the
// complex time w xi (w = sqrt(2s)); splitting the step into k equal pieces
// divides w by sqrt(k), so its term in Im(w^p) shrinks as k^(-p/2).
// `terms[d]` holds axis d's coefficients of p = 1, 2, 3 for k = 1, bounded
// over the box by |x| <= max(|lo|, |hi|); an axis of fewer than three nodes
// reads one node whatever the point, and goes nowhere.
struct ReadReach {
    std::array<std::array<double, 3>, 5> terms{};

    double of_pieces(double k) const {
        const double root = std::sqrt(k);
        double sum = 0.0;
        for (const auto& t : terms) {
            const double cells = t[0] / root + t[1] / k + t[2] / (k * root);
            sum += cells * cells;
        }
        return std::sqrt(sum);
    }
};

ReadReach read_reach(FieldFactor field, Cplx s, const FiliformAxes& axes) {
    const Cplx w = sqrt_two_s(s), w2 = w * w, w3 = w2 * w;
    const double i1 = std::fabs(w.im), i2 = std::fabs(w2.im), i3 = std::fabs(w3.im);
    std::array<double, 5> cells{}, bound{};
    for (std::size_t d = 0; d < 5; ++d) {
        const BoxAxis& a = axes[d];
        cells[d] = a.n < 3 ? 0.0 : 1.0 / ((a.hi - a.lo) / static_cast<double>(a.n - 1));
        bound[d] = std::max(std::fabs(a.lo), std::fabs(a.hi));
    }
    ReadReach r;
    if (field == FieldFactor::X1) {
        r.terms[0] = {i1 * cells[0], 0.0, 0.0};
        return r;
    }
    // The flow of -X_2 for the time om moves x1 by -om, x2 by -x0 om, x3 by
    // x0 om^2/2 - x2 om and x4 by -x0 om^3/6 + x2 om^2/2 - x3 om.
    r.terms[1] = {i1 * cells[1], 0.0, 0.0};
    r.terms[2] = {bound[0] * i1 * cells[2], 0.0, 0.0};
    r.terms[3] = {bound[2] * i1 * cells[3], 0.5 * bound[0] * i2 * cells[3], 0.0};
    r.terms[4] = {bound[3] * i1 * cells[4], 0.5 * bound[2] * i2 * cells[4], bound[0] * i3 / 6.0 * cells[4]};
    return r;
}

// One field factor exp(s X^2/2) as `pieces` equal flows exp((s/pieces) X^2/2),
// the same flow by the semigroup property; state holds the result, `spare`
// is a work buffer.
Status split_flow(FieldFactor field, Cplx s, std::size_t pieces, CplxGridFn5& state, std::vector<Cplx>& spare) {
    const double k = static_cast<double>(pieces);
    const Cplx piece{s.re / k, s.im / k};
    for (std::size_t p = 0; p < pieces; ++p) {
        Status st = field == FieldFactor::X1 ? complex_field_flow(piece, state, spare)
                                             : filiform_x2_flow(piece, state, spare);
        if (!st) return st;
        state.values.swap(spare);
    }
    return {};
}

// The field factors of K(c) in order: X_1 for c/4, X_2 for c/2, X_1 for c/4.
std::array<std::pair<FieldFactor, Cplx>, 3> factors_of(Cplx c) {
    const Cplx quarter{0.25 * c.re, 0.25 * c.im}, half{0.5 * c.re, 0.5 * c.im};
    return {{{FieldFactor::X1, quarter}, {FieldFactor::X2, half}, {FieldFactor::X1, quarter}}};
}

// The least number of equal pieces that keeps the read points of the field
// step of parameter s within kMaxReadReach cells of the real axis per unit
// rule node; kMaxSubSteps + 1 stands for "more".
std::size_t field_pieces(FieldFactor field, Cplx s, const FiliformAxes& axes) {
    const ReadReach reach = read_reach(field, s, axes);
    constexpr double kMax = ComplexTripleJump::kMaxReadReach;
    const std::size_t over = ComplexTripleJump::kMaxSubSteps + 1;
    // `!(x <= kMax)` counts a reach that overflowed to inf or NaN as too far.
    if (reach.of_pieces(1.0) <= kMax) return 1;
    if (!(reach.of_pieces(static_cast<double>(over - 1)) <= kMax)) return over;
    // The reach falls with k: the least k within kMax, by bisection.
    std::size_t lo = 1, hi = over - 1;
    while (hi - lo > 1) {
        const std::size_t mid = lo + (hi - lo) / 2;
        (reach.of_pieces(static_cast<double>(mid)) <= kMax ? hi : lo) = mid;
    }
    return hi;
}

}  // namespace

CplxGridFn5 CplxGridFn5::from_real(const FiliformAxes& axes, const std::vector<double>& u) {
    CplxGridFn5 f{axes, std::vector<Cplx>(u.size())};
    for (std::size_t m = 0; m < u.size(); ++m) f.values[m] = {u[m], 0.0};
    return f;
}

Cplx sqrt_two_s(Cplx s) {
    const double re = s.re + s.re, im = s.im + s.im;
    if (im != 0.0 && re != 0.0) {
        const double r = std::hypot(re, im), theta = std::atan2(im, re);
        const double root = std::sqrt(r);
        return {root * std::cos(theta / 2.0), root * std::sin(theta / 2.0)};
    }
    if (im != 0.0) {
        const double a = std::sqrt(0.5 * std::fabs(im));
        return {a, im > 0.0 ? a : -a};
    }
    if (!std::signbit(re)) return {std::sqrt(re), im};
    return {0.0, std::copysign(std::sqrt(-re), im)};
}

Status complex_field_flow(Cplx s, const CplxGridFn5& in, std::vector<Cplx>& out) {
    out.resize(in.values.size());
    if (s.re == 0.0 && s.im == 0.0) {
        out = in.values;
        return {};
    }
    check_layout(in);
    const BoxAxis& a0 = in.axes[0];
    const std::vector<AxisTaps> taps = shifted_taps(sqrt_two_s(s), a0);
    const GaussHermite32& rule = gauss_hermite_32();
    for (std::size_t m = 0; m < out.size(); ++m) {
        if (Status st = poll_stop_per_block(m); !st) return st;
        const std::size_t i0 = m % a0.n;
        const Cplx* line = in.values.data() + (m - i0);
        Cplx sum{};
        for (std::size_t k = 0; k < 32; ++k) {
            const AxisTaps& t = taps[i0 * 32 + k];
            Cplx v{};
            for (std::size_t j = 0; j < t.count; ++j) v = v + t.w[j] * line[t.first + j];
            sum = sum + rule.weights[k] * v;
        }
        out[m] = kInvSqrtPi * sum;
    }
    return {};
}

Status filiform_x2_flow(Cplx s, const CplxGridFn5& in, std::vector<Cplx>& out) {
    out.resize(in.values.size());
    if (s.re == 0.0 && s.im == 0.0) {
        out = in.values;
        return {};
    }
    check_layout(in);
    const Cplx w = sqrt_two_s(s);
    const GaussHermite32& rule = gauss_hermite_32();
    const FiliformAxes& ax = in.axes;
    const std::size_t n0 = ax[0].n, n1 = ax[1].n;
    const std::size_t st2 = n0 * n1, st3 = st2 * ax[2].n, st4 = st3 * ax[3].n;
    if (out.empty()) return {};
    // The flow of -X_2 moves x1 by -om whatever the other coordinates, and
    // its other components do not depend on x1: along a line of axis 1 the
    // read over axes 2 to 4 is shared, contracted once into `across`.
    const std::vector<AxisTaps> taps1 = shifted_taps(w, ax[1]);
    std::vector<Cplx> across(n1), sums(n1);
    for (std::size_t plane = 0; plane < out.size() / st2; ++plane) {
        for (std::size_t i0 = 0; i0 < n0; ++i0) {
            if (Status st = poll_stop(); !st) return st;
            const std::size_t m0 = i0 + st2 * plane;  // the line's node with i1 = 0
            const std::array<double, 5> x = node_of(ax, m0);
            // The flow does not move x0: every read stays on the line's axis-0 index.
            const Cplx* base = in.values.data() + i0;
            std::fill(sums.begin(), sums.end(), Cplx{});
            for (std::size_t k = 0; k < 32; ++k) {
                // The flow of -X_2 for the complex time om = w xi_k, polynomial in om.
                const Cplx om = rule.nodes[k] * w;
                const Cplx om2 = om * om, om3 = om2 * om;
                const AxisTaps t2 = axis_taps(Cplx{x[2], 0.0} - x[0] * om, ax[2]);
                const AxisTaps t3 = axis_taps((Cplx{x[3], 0.0} + (0.5 * x[0]) * om2) - x[2] * om, ax[3]);
                const AxisTaps t4 =
                    axis_taps(((Cplx{x[4], 0.0} - (x[0] / 6.0) * om3) + (0.5 * x[2]) * om2) - x[3] * om, ax[4]);
                std::fill(across.begin(), across.end(), Cplx{});
                for (std::size_t a4 = 0; a4 < t4.count; ++a4) {
                    for (std::size_t a3 = 0; a3 < t3.count; ++a3) {
                        const Cplx w34 = t4.w[a4] * t3.w[a3];
                        for (std::size_t a2 = 0; a2 < t2.count; ++a2) {
                            const Cplx w234 = w34 * t2.w[a2];
                            const Cplx* v =
                                base + (t4.first + a4) * st4 + (t3.first + a3) * st3 + (t2.first + a2) * st2;
                            for (std::size_t i1 = 0; i1 < n1; ++i1) across[i1] = across[i1] + w234 * v[i1 * n0];
                        }
                    }
                }
                for (std::size_t i1 = 0; i1 < n1; ++i1) {
                    const AxisTaps& t1 = taps1[i1 * 32 + k];
                    Cplx v{};
                    for (std::size_t a1 = 0; a1 < t1.count; ++a1) v = v + t1.w[a1] * across[t1.first + a1];
                    sums[i1] = sums[i1] + rule.weights[k] * v;
                }
            }
            for (std::size_t i1 = 0; i1 < n1; ++i1) out[m0 + i1 * n0] = kInvSqrtPi * sums[i1];
        }
    }
    return {};
}

const std::array<Cplx, 3>& ComplexTripleJump::gamma_table() {
    static const std::array<Cplx, 3> table{Cplx{0.3243964040201712, -0.1345862724908067},
                                           Cplx{0.35120719195965755, 0.2691725449816134},
                                           Cplx{0.3243964040201712, -0.1345862724908067}};
    return table;
}

bool ComplexTripleJump::verify_gamma_star() {
    const Cplx g = gamma_table()[0];
    const Cplx one_minus = gamma_table()[1];
    const Cplx r = 2.0 * (g * g * g) + one_minus * one_minus * one_minus;
    return std::hypot(r.re, r.im) < 1e-12 && g.re > 0.0 && one_minus.re > 0.0;
}

Expected<CplxGridFn5> ComplexTripleJump::apply(double tau, CplxGridFn5 state) {
    if (!finite_nonneg(tau)) return domain_error("ComplexTripleJump: tau must be finite and non-negative", tau);
    const std::array<std::size_t, 9> pieces = sub_steps(tau, state.axes);
    if (total_sub_steps(pieces) > kMaxSubSteps) {
        return domain_error("ComplexTripleJump: tau needs more field sub-steps than a step admits", tau);
    }
    std::vector<Cplx> spare;
    std::size_t next = 0;
    for (const Cplx& g : gamma_table()) {
        const Cplx c{tau * g.re, tau * g.im};
        if (!std::isfinite(c.re) || c.re < 0.0 || !std::isfinite(c.im)) {
            return domain_error("ComplexTripleJump: complex sub-time must have Re(c) >= 0", c.re);
        }
        for (const auto& [field, s] : factors_of(c)) {
            if (Status st = split_flow(field, s, pieces[next++], state, spare); !st) return fail(st.error());
        }
    }
    return state;
}

std::array<std::size_t, 9> ComplexTripleJump::sub_steps(double tau, const FiliformAxes& axes) {
    std::array<std::size_t, 9> pieces{};
    std::size_t next = 0;
    for (const Cplx& g : gamma_table()) {
        for (const auto& [field, s] : factors_of(Cplx{tau * g.re, tau * g.im})) {
            pieces[next++] = field_pieces(field, s, axes);
        }
    }
    return pieces;
}

std::size_t ComplexTripleJump::total_sub_steps(const std::array<std::size_t, 9>& pieces) {
    std::size_t total = 0;
    for (std::size_t k : pieces) total += k;
    return total;
}

double ComplexTripleJump::max_step(double tau, const FiliformAxes& axes) {
    // The read points move out with tau, so the pieces never decrease with
    // it: halve the refused step until it is admitted (tau = 0 takes nine),
    // then bisect between the two.
    auto admitted = [&](double t) { return total_sub_steps(sub_steps(t, axes)) <= kMaxSubSteps; };
    double hi = tau;
    while (!admitted(0.5 * hi)) hi *= 0.5;
    double lo = 0.5 * hi;
    for (int it = 0; it < 64; ++it) {
        const double mid = lo + 0.5 * (hi - lo);
        if (mid <= lo || mid >= hi) break;
        (admitted(mid) ? lo : hi) = mid;
    }
    return lo;
}

Expected<std::vector<double>> ComplexTripleJump::apply_real(double tau, const FieldList&, const FiliformAxes& axes,
                                                            const std::vector<double>& u) {
    auto end = apply(tau, CplxGridFn5::from_real(axes, u));
    if (!end) return fail(end.error());
    std::vector<double> re(end->values.size());
    for (std::size_t m = 0; m < re.size(); ++m) re[m] = end->values[m].re;
    return re;
}

}  // namespace quorvane
