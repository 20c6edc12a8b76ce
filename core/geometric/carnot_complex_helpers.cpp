#include "core/geometric/carnot_complex_helpers.hpp"

#include <cmath>

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

double node_step(const BoxAxis& a) {
    const double dx = (a.hi - a.lo) / static_cast<double>(a.n - 1);
    const double h = std::fabs((a.lo + dx) - (a.lo + dx * 0.0));
    return h > 1e-30 ? h : 1e-30;
}

}  // namespace

CplxGridFn5 CplxGridFn5::from_real(const FiliformAxes& axes, const std::vector<double>& u) {
    CplxGridFn5 f{axes, std::vector<Cplx>(u.size())};
    for (std::size_t m = 0; m < u.size(); ++m) f.values[m] = {u[m], 0.0};
    return f;
}

Cplx CplxGridFn5::interpolate(const std::array<double, 5>& p) const {
    return multilinear_read<5, Cplx>(values, axes, p);
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
    const Cplx w = sqrt_two_s(s);
    const GaussHermite32& rule = gauss_hermite_32();
    const BoxAxis& a0 = in.axes[0];
    const double dx0 = (a0.hi - a0.lo) / static_cast<double>(a0.n - 1);
    for (std::size_t m = 0; m < out.size(); ++m) {
        if (Status st = poll_stop_per_block(m); !st) return st;
        const std::size_t line = m - m % a0.n;
        const double x0 = a0.node(m % a0.n);
        Cplx sum{};
        for (std::size_t k = 0; k < 32; ++k) {
            const CellRead c = locate_cell(x0 - w.re * rule.nodes[k], a0);
            const Cplx ui = in.values[line + c.i], uj = in.values[line + c.j];
            const Cplx lin = (1.0 - c.f) * ui + c.f * uj;
            const double xi = a0.lo + dx0 * static_cast<double>(c.i), xj = a0.lo + dx0 * static_cast<double>(c.j);
            const double h = std::max(std::fabs(xj - xi), 1e-30);
            const Cplx diff = uj - ui;
            const Cplx slope{diff.re / h, diff.im / h};
            const Cplx value = lin - Cplx{0.0, w.im * rule.nodes[k]} * slope;
            sum = sum + rule.weights[k] * value;
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
    const Cplx w = sqrt_two_s(s);
    const GaussHermite32& rule = gauss_hermite_32();
    const double h1 = node_step(in.axes[1]), h2 = node_step(in.axes[2]);
    for (std::size_t m = 0; m < out.size(); ++m) {
        if (Status st = poll_stop_per_block(m); !st) return st;
        const std::array<double, 5> x = node_of(in.axes, m);
        Cplx sum{};
        for (std::size_t k = 0; k < 32; ++k) {
            const double sigma = w.re * rule.nodes[k], tk = w.im * rule.nodes[k];
            const double s2 = sigma * sigma;
            // The flow of -X_2 for time sigma.
            const std::array<double, 5> p{x[0], x[1] - sigma, x[2] - x[0] * sigma, (x[3] + x[0] * s2 * 0.5) - x[2] * sigma,
                                          ((x[4] + (x[0] * sigma * s2) / (-6.0)) + x[2] * s2 * 0.5) - x[3] * sigma};
            Cplx v = in.interpolate(p);
            if (std::fabs(tk) >= 1e-30) {
                auto moved = [&](std::size_t d, double h) {
                    std::array<double, 5> q = p;
                    q[d] += h;
                    return in.interpolate(q);
                };
                const Cplx g1 = (0.5 / h1) * (moved(1, h1) - moved(1, -h1));
                const Cplx g2 = x[0] * ((0.5 / h2) * (moved(2, h2) - moved(2, -h2)));
                v = v - Cplx{0.0, tk} * (g1 + g2);
            }
            sum = sum + rule.weights[k] * v;
        }
        out[m] = kInvSqrtPi * sum;
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
    std::vector<Cplx> a, b;
    for (const Cplx& g : gamma_table()) {
        const Cplx c{tau * g.re, tau * g.im};
        if (!std::isfinite(c.re) || c.re < 0.0 || !std::isfinite(c.im)) {
            return domain_error("ComplexTripleJump: complex sub-time must have Re(c) >= 0", c.re);
        }
        const Cplx quarter{0.25 * c.re, 0.25 * c.im}, half{0.5 * c.re, 0.5 * c.im};
        if (Status st = complex_field_flow(quarter, state, a); !st) return fail(st.error());
        if (Status st = filiform_x2_flow(half, CplxGridFn5{state.axes, std::move(a)}, b); !st) return fail(st.error());
        Status st = complex_field_flow(quarter, CplxGridFn5{state.axes, std::move(b)}, state.values);
        if (!st) return fail(st.error());
        a.clear(), b.clear();
    }
    return state;
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
