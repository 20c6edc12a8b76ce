#include "core/foundation/boundary.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_chebyshev.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/numeric.hpp"

namespace quorvane {

std::int64_t mirror_index(std::int64_t i, std::size_t n) {
    const std::int64_t period = 2 * static_cast<std::int64_t>(n) - 2;
    if (period <= 0) internal_fault("BoundaryPolicy::sample: mirror rule needs n >= 2");
    std::int64_t r = i % period;
    if (r < 0) r += period;
    return r < static_cast<std::int64_t>(n) ? r : period - r;
}

std::int64_t periodic_index(std::int64_t i, std::size_t n) {
    if (n == 0) internal_fault("BoundaryPolicy::sample: periodic rule needs n >= 1");
    const std::int64_t nn = static_cast<std::int64_t>(n);
    std::int64_t r = i % nn;
    return r < 0 ? r + nn : r;
}

std::uint64_t outside_distance(std::int64_t i, std::size_t n) {
    if (i < 0) return static_cast<std::uint64_t>(-(i + 1)) + 1u;
    return static_cast<std::uint64_t>(i) - static_cast<std::uint64_t>(n - 1);
}

template <class F>
F BoundaryPolicy<F>::sample(std::span<const F> u, std::size_t n, std::int64_t i, F dx) const {
    if (i >= 0 && static_cast<std::uint64_t>(i) < n) return u[static_cast<std::size_t>(i)];
    switch (tag) {
        case BoundaryTag::Reflect:
            return u[static_cast<std::size_t>(mirror_index(i, n))];
        case BoundaryTag::Zero:
            return from_f64<F>(0.0);
        case BoundaryTag::Periodic:
            return u[static_cast<std::size_t>(periodic_index(i, n))];
        case BoundaryTag::Linear: {
            if (n < 3) internal_fault("BoundaryPolicy::sample: linear rule needs n >= 3");
            const F k = from_f64<F>(static_cast<double>(outside_distance(i, n)));
            if (i < 0) {
                return u[0] + (from_f64<F>(-0.5) * k) *
                                  ((from_f64<F>(4.0) * u[1] - from_f64<F>(3.0) * u[0]) - u[2]);
            }
            return u[n - 1] + (k / from_f64<F>(2.0)) *
                                  (u[n - 3] + (from_f64<F>(3.0) * u[n - 1] - from_f64<F>(4.0) * u[n - 2]));
        }
        case BoundaryTag::Constant:
            return p1;
        case BoundaryTag::Clamp:
            return i < 0 ? u[0] : u[n - 1];
        case BoundaryTag::RobinImage: {
            const F k = from_f64<F>(static_cast<double>(outside_distance(i, n)));
            const F m = u[static_cast<std::size_t>(mirror_index(i, n))];
            return m * fexp(-(dx * (from_f64<F>(2.0) * (p1 / p2)) * k));
        }
        case BoundaryTag::OddReflect:
            return -u[static_cast<std::size_t>(mirror_index(i, n))];
    }
    internal_fault("BoundaryPolicy::sample: unknown policy tag");
}

int sample_form(const BoundaryPolicy<double>& p, std::size_t n, std::int64_t i, double dx, SampleTerm (&terms)[3]) {
    if (i >= 0 && static_cast<std::uint64_t>(i) < n) {
        terms[0] = {i, 1.0};
        return 1;
    }
    switch (p.tag) {
        case BoundaryTag::Reflect: terms[0] = {mirror_index(i, n), 1.0}; return 1;
        case BoundaryTag::OddReflect: terms[0] = {mirror_index(i, n), -1.0}; return 1;
        case BoundaryTag::Zero: return 0;
        case BoundaryTag::Periodic: terms[0] = {periodic_index(i, n), 1.0}; return 1;
        case BoundaryTag::Clamp: terms[0] = {i < 0 ? 0 : static_cast<std::int64_t>(n) - 1, 1.0}; return 1;
        case BoundaryTag::Constant: return -1;
        case BoundaryTag::RobinImage: {
            const double k = static_cast<double>(outside_distance(i, n));
            terms[0] = {mirror_index(i, n), std::exp(-(dx * (2.0 * (p.p1 / p.p2)) * k))};
            return 1;
        }
        case BoundaryTag::Linear: {
            // The end node plus k times the one-sided slope of the three end nodes.
            const double k = static_cast<double>(outside_distance(i, n));
            const std::int64_t e = i < 0 ? 0 : static_cast<std::int64_t>(n) - 1;
            const std::int64_t s = i < 0 ? 1 : -1;
            terms[0] = {e, 1.0 + 1.5 * k};
            terms[1] = {e + s, -2.0 * k};
            terms[2] = {e + 2 * s, 0.5 * k};
            return 3;
        }
    }
    return -1;
}

namespace {

// Node access for the stencils: straight loads when the whole stencil lies
// inside the grid, the policy otherwise. Both give identical values.
template <class F>
struct PolicyTaps {
    std::span<const F> u;
    const BoundaryPolicy<F>* p;
    std::size_t n;
    F dx;
    F operator()(std::int64_t j) const { return p->sample(u, n, j, dx); }
};

template <class F>
struct DirectTaps {
    const F* u;
    F operator()(std::int64_t j) const { return u[j]; }
};

// Loads of node values stored from index `first` on.
struct ShiftedTaps {
    const double* u;
    std::int64_t first;
    double operator()(std::int64_t j) const { return u[j - first]; }
};

// Sum c_j u(i+j) over j = -m..m in increasing j (zero weights not read), then / D.
template <class F, std::size_t K, class Taps>
inline F stencil(const double (&c)[K], double denom, const Taps& at, std::int64_t i) {
    constexpr std::int64_t m = static_cast<std::int64_t>(K / 2);
    F s{};
    bool first = true;
    for (std::int64_t j = -m; j <= m; ++j) {
        const double cj = c[j + m];
        if (cj == 0.0) continue;
        const F term = from_f64<F>(cj) * at(i + j);
        s = first ? term : s + term;
        first = false;
    }
    return s / from_f64<F>(denom);
}

constexpr const auto& kD1O8 = kSepticD1;
constexpr const auto& kD2O6 = kSepticD2;
constexpr const auto& kD3O4 = kSepticD3;
constexpr double kD1O10[] = {-2, 25, -150, 600, -2100, 0, 2100, -600, 150, -25, 2};
constexpr double kD2O8[] = {-9, 128, -1008, 8064, -14350, 8064, -1008, 128, -9};
constexpr double kD3O8[] = {205, -2522, 14607, -52428, 70098, 0, -70098, 52428, -14607, 2522, -205};
constexpr double kD4O6[] = {7, -96, 676, -1952, 2730, -1952, 676, -96, 7};

template <class F>
PolicyTaps<F> taps(std::span<const F> u, const BoundaryPolicy<F>& p, std::size_t n, F dx) {
    return {u, &p, n, dx};
}

// Guard for the index arithmetic: far beyond any grid, the cell index is
// clamped so that i +- 6 stays representable (the value there has no meaning).
constexpr std::int64_t kIndexLimit = std::int64_t{1} << 62;

template <class F>
struct Cell {
    std::int64_t i;
    F t;
};

template <class F>
Cell<F> locate(const Grid1D<F>& g, F x) {
    const F dx = g.dx();
    const F s = (x - g.xmin) / dx;
    const double f = std::floor(real_part(s));
    std::int64_t i = saturating_cast<std::int64_t>(f);
    if (i > kIndexLimit) i = kIndexLimit;
    if (i < -kIndexLimit) i = -kIndexLimit;
    return {i, s - from_f64<F>(f)};
}

// The cell of a read at x. A point that is not finite, or so far out that
// no cell can be told apart from its neighbour, has no value: it is reported
// instead of computing with a meaningless index.
template <class F>
Expected<Cell<F>> locate_read(const Grid1D<F>& g, F x) {
    if (!std::isfinite(real_part(x))) {
        return domain_error(kNonFinitePointMessage, real_part(x));
    }
    const double s = real_part((x - g.xmin) / g.dx());
    if (!(std::fabs(s) < 9007199254740992.0)) {
        return domain_error(kReadTooFar, real_part(x));
    }
    return locate(g, x);
}

// A degree-7 read with the cell's node values and second-difference
// estimates, which the range of a transport read is taken from.
template <class F>
struct Hermite7Read {
    F value, u0, u1, b0, b1;
};

template <class F, class Taps>
Hermite7Read<F> hermite7_read(const Taps& at, std::int64_t i, F t) {
    const F u0 = at(i), u1 = at(i + 1);
    const F a0 = stencil<F>(kD1O8, 840.0, at, i), a1 = stencil<F>(kD1O8, 840.0, at, i + 1);
    const F b0 = stencil<F>(kD2O6, 180.0, at, i), b1 = stencil<F>(kD2O6, 180.0, at, i + 1);
    const F c0 = stencil<F>(kD3O4, 8.0, at, i), c1 = stencil<F>(kD3O4, 8.0, at, i + 1);
    const Hermite7Weights<F> w = hermite7_weights(t);
    return {u0 * w.h0 + u1 * w.h1 + a0 * w.g0 + a1 * w.g1 + b0 * w.k0 + b1 * w.k1 + c0 * w.l0 + c1 * w.l1, u0, u1,
            b0, b1};
}

template <class F, class Taps>
F hermite7_at(const Taps& at, std::int64_t i, F t) {
    return hermite7_read<F>(at, i, t).value;
}

template <class F, class Taps>
F hermite9_at(const Taps& at, std::int64_t i, F t) {
    const F u0 = at(i), u1 = at(i + 1);
    const F a0 = stencil<F>(kD1O10, 2520.0, at, i), a1 = stencil<F>(kD1O10, 2520.0, at, i + 1);
    const F b0 = stencil<F>(kD2O8, 5040.0, at, i), b1 = stencil<F>(kD2O8, 5040.0, at, i + 1);
    const F c0 = stencil<F>(kD3O8, 30240.0, at, i), c1 = stencil<F>(kD3O8, 30240.0, at, i + 1);
    const F e0 = stencil<F>(kD4O6, 240.0, at, i), e1 = stencil<F>(kD4O6, 240.0, at, i + 1);
    auto k = [](double v) { return from_f64<F>(v); };
    const F t2 = t * t, t3 = t2 * t, t4 = t2 * t2, t5 = t4 * t;
    const F om = k(1.0) - t;
    const F om2 = om * om, om4 = om2 * om2;
    const F h0 = k(1.0) + t5 * (k(-126.0) + t * (k(420.0) + t * (k(-540.0) + t * (k(315.0) - k(70.0) * t))));
    const F h1 = t5 * (k(126.0) + t * (k(-420.0) + t * (k(540.0) + t * (k(-315.0) + k(70.0) * t))));
    const F g0 = t + t5 * (k(-70.0) + t * (k(224.0) + t * (k(-280.0) + t * (k(160.0) - k(35.0) * t))));
    const F g1 = t5 * (k(-56.0) + t * (k(196.0) + t * (k(-260.0) + t * (k(155.0) - k(35.0) * t))));
    const F k0 = t2 / k(2.0) + t5 * (k(-17.5) + t * (k(52.5) + t * (k(-63.0) + t * (k(35.0) - k(7.5) * t))));
    const F k1 = t5 * (k(10.5) + t * (k(-38.5) + t * (k(53.0) + t * (k(-32.5) + k(7.5) * t))));
    const F l0 = t3 / k(6.0) +
                 t5 * (k(-2.5) + t * (k(20.0 / 3.0) + t * (k(-7.5) + t * (k(4.0) - k(5.0 / 6.0) * t))));
    const F l1 = t5 * (k(-1.0) + t * (k(23.0 / 6.0) + t * (k(-5.5) + t * (k(3.5) - k(5.0 / 6.0) * t))));
    const F m0 = t4 * (om4 * om) / k(24.0);
    const F m1 = t5 * om4 / k(24.0);
    return u0 * h0 + u1 * h1 + a0 * g0 + a1 * g1 + b0 * k0 + b1 * k1 + c0 * l0 + c1 * l1 + e0 * m0 + e1 * m1;
}

template <class F, class Taps>
F cubic_at(const Taps& at, std::int64_t i, F t) {
    auto k = [](double v) { return from_f64<F>(v); };
    const F p0 = at(i - 1), p1 = at(i), p2 = at(i + 1), p3 = at(i + 2);
    const F t2 = t * t, t3 = t2 * t;
    return k(0.5) * ((-t + k(2.0) * t2 - t3) * p0 + (k(2.0) - k(5.0) * t2 + k(3.0) * t3) * p1 +
                     (t + k(4.0) * t2 - k(3.0) * t3) * p2 + (-t2 + t3) * p3);
}

// Runs `eval` with direct loads when nodes [i-lo, i+hi] all lie inside the
// grid, through the boundary policy otherwise.
template <class F, class Eval>
F with_taps(std::span<const F> u, const Grid1D<F>& g, std::int64_t i, std::int64_t lo, std::int64_t hi,
            const Eval& eval) {
    if (i - lo >= 0 && i + hi < static_cast<std::int64_t>(g.n) && u.size() >= g.n) {
        return eval(DirectTaps<F>{u.data()});
    }
    return eval(taps(u, g.boundary, g.n, g.dx()));
}

// How far the stencil of a read in cell i reaches: nodes i - lo ... i + hi
// (lo = 0 for the kinds that read no stencil of nodes).
struct StencilReach {
    std::int64_t lo, hi;
};

constexpr StencilReach stencil_reach(InterpTag tag) {
    switch (tag) {
        case InterpTag::SepticHermite:
            return {4, 5};
        case InterpTag::OctonicHermite:
            return {5, 6};
        case InterpTag::CubicHermite:
            return {1, 2};
        default:
            return {0, 0};
    }
}

// The Hermite read of the grid's kind (Septic, Octonic or Cubic) in cell c.
template <class F>
F hermite_in_cell(std::span<const F> values, const Grid1D<F>& g, const Cell<F>& c) {
    const StencilReach r = stencil_reach(g.interp_kind.tag);
    return with_taps(values, g, c.i, r.lo, r.hi, [&](const auto& at) {
        switch (g.interp_kind.tag) {
            case InterpTag::SepticHermite:
                return hermite7_at<F>(at, c.i, c.t);
            case InterpTag::OctonicHermite:
                return hermite9_at<F>(at, c.i, c.t);
            default:
                return cubic_at<F>(at, c.i, c.t);
        }
    });
}

// The second-difference estimates (fd_d2_o6) at nodes i - 1 ... i + 2
// around a cell i.
struct Around {
    double e[4];
};

// The value v of a read in cell i held to the range the cell allows:
// [min, max] of its node values u0, u1, widened at a smooth extremum.
// Between two nodes a smooth function leaves [min, max] only at an
// extremum, by at most |u''| dx^2 / 8 (a parabola with its vertex mid-cell),
// and the margin allowed there is kBoundedWiden times the cell's curvature
// of the extremum's sign, less a multiple of how far the outer estimates
// (at i - 1 and i + 2) stray from the line through the inner ones (their
// fourth differences). The curvature is the more of: the smaller of the two
// estimates at the cell's nodes, less kStrayBoth times the stray: a resolved
// extremum, where both have its sign (a wave of 8 nodes per wavelength keeps
// half its curvature as margin, more the finer it is resolved); and the
// larger of them, less kStrayOne times the stray: an extremum next to an
// inflection, where one estimate has the other sign but the four lie nearly
// on a line. Such data are read as they are, so the read converges as the
// plain one does. Where the data bend the other way or the estimates leave
// their line (a jump, a kink, the shoulder of a smeared front next to a
// plateau, an odd-even ripple, noise, a bump of a few nodes) nothing beyond
// the node values is allowed: there the Hermite read overshoots, and each
// step would carry the overshoot on and add to it (a carried front rose to
// 1.13 over ten units of time when the larger estimate alone stood for the
// curvature). Every quantity is continuous in the values, and so is the
// bound. `around` is called only when v leaves [min, max].
template <class F, class AroundFn>
F limit_read(F v, F u0, F u1, const AroundFn& around) {
    const double r0 = real_part(u0), r1 = real_part(u1), rv = real_part(v);
    const double lo = std::min(r0, r1), hi = std::max(r0, r1);
    if (rv >= lo && rv <= hi) return v;
    const Around a = around();
    // A NaN read is neither below nor above: it is returned as it is.
    const bool below = rv < lo;
    // The curvatures taken positive at the extremum's sign (a minimum's for
    // a read below the range).
    const double s0 = below ? a.e[1] : -a.e[1], s1 = below ? a.e[2] : -a.e[2];
    const double d4_0 = (a.e[0] - 2.0 * a.e[1]) + a.e[2];
    const double d4_1 = (a.e[1] - 2.0 * a.e[2]) + a.e[3];
    const double stray = std::fabs(d4_0) + std::fabs(d4_1);
    const double margin = std::max(std::min(s0, s1) - kStrayBoth * stray, std::max(s0, s1) - kStrayOne * stray);
    const double reach = margin > 0.0 ? kBoundedWiden * margin : 0.0;
    const double bound = below ? lo - reach : hi + reach;
    if (below ? !(rv < bound) : !(rv > bound)) return v;
    return from_f64<F>(bound);
}

// The degree-7 read in cell c of `values` held to the range the cell allows.
template <class F>
F bounded_in_cell(std::span<const F> values, const Grid1D<F>& g, const Cell<F>& c) {
    const StencilReach r = stencil_reach(InterpTag::SepticHermite);
    return with_taps(values, g, c.i, r.lo, r.hi, [&](const auto& at) {
        const Hermite7Read<F> h = hermite7_read<F>(at, c.i, c.t);
        return limit_read<F>(h.value, h.u0, h.u1, [&] {
            Around a;
            a.e[0] = real_part(stencil<F>(kD2O6, 180.0, at, c.i - 1));
            a.e[1] = real_part(h.b0);
            a.e[2] = real_part(h.b1);
            a.e[3] = real_part(stencil<F>(kD2O6, 180.0, at, c.i + 2));
            return a;
        });
    });
}

}  // namespace

template <class F>
F fd_d1_o8(std::span<const F> u, const BoundaryPolicy<F>& p, std::size_t n, std::int64_t i, F dx) {
    return stencil<F>(kD1O8, 840.0, taps(u, p, n, dx), i);
}
template <class F>
F fd_d2_o6(std::span<const F> u, const BoundaryPolicy<F>& p, std::size_t n, std::int64_t i, F dx) {
    return stencil<F>(kD2O6, 180.0, taps(u, p, n, dx), i);
}
template <class F>
F fd_d3_o4(std::span<const F> u, const BoundaryPolicy<F>& p, std::size_t n, std::int64_t i, F dx) {
    return stencil<F>(kD3O4, 8.0, taps(u, p, n, dx), i);
}
template <class F>
F fd_d1_o10(std::span<const F> u, const BoundaryPolicy<F>& p, std::size_t n, std::int64_t i, F dx) {
    return stencil<F>(kD1O10, 2520.0, taps(u, p, n, dx), i);
}
template <class F>
F fd_d2_o8(std::span<const F> u, const BoundaryPolicy<F>& p, std::size_t n, std::int64_t i, F dx) {
    return stencil<F>(kD2O8, 5040.0, taps(u, p, n, dx), i);
}
template <class F>
F fd_d3_o8(std::span<const F> u, const BoundaryPolicy<F>& p, std::size_t n, std::int64_t i, F dx) {
    return stencil<F>(kD3O8, 30240.0, taps(u, p, n, dx), i);
}
template <class F>
F fd_d4_o6(std::span<const F> u, const BoundaryPolicy<F>& p, std::size_t n, std::int64_t i, F dx) {
    return stencil<F>(kD4O6, 240.0, taps(u, p, n, dx), i);
}

template <class F>
Hermite7Weights<F> hermite7_weights(F t) {
    auto k = [](double v) { return from_f64<F>(v); };
    const F t2 = t * t, t3 = t2 * t, t4 = t2 * t2;
    const F om = k(1.0) - t;
    const F om3 = om * om * om;
    return {
        k(1.0) + t4 * (k(-35.0) + t * (k(84.0) + t * (k(-70.0) + k(20.0) * t))),
        t4 * (k(35.0) + t * (k(-84.0) + t * (k(70.0) - k(20.0) * t))),
        t + t4 * (k(-20.0) + t * (k(45.0) + t * (k(-36.0) + k(10.0) * t))),
        t4 * (k(-15.0) + t * (k(39.0) + t * (k(-34.0) + k(10.0) * t))),
        t2 / k(2.0) + t4 * (k(-5.0) + t * (k(10.0) + t * (k(-7.5) + k(2.0) * t))),
        t4 * (k(2.5) + t * (k(-7.0) + t * (k(6.5) - k(2.0) * t))),
        t3 * (om3 * om) / k(6.0),
        -(t4 * om3) / k(6.0),
    };
}

template <class F>
F hermite7_sample(std::span<const F> values, const Grid1D<F>& grid, F x) {
    const Cell<F> c = locate(grid, x);
    return with_taps(values, grid, c.i, 4, 5, [&](const auto& at) { return hermite7_at<F>(at, c.i, c.t); });
}

template <class F>
Expected<F> Grid1D<F>::interp(std::span<const F> values, F x) const {
    switch (interp_kind.tag) {
        case InterpTag::Linear:
            return fail(CoreError::unsupported("linear-interp (enable with --features linear-interp)"));
        case InterpTag::SepticHermite:
        case InterpTag::OctonicHermite:
        case InterpTag::CubicHermite:
            break;
        case InterpTag::Chebyshev:
        default: {
            return chebyshev_sample<F>(values, chebyshev_effective_grid(*this), interp_kind.m, x);
        }
    }
    const Expected<Cell<F>> located = locate_read(*this, x);
    if (!located) return fail(located.error());
    return hermite_in_cell(values, *this, *located);
}

template <class F>
bool Grid1D<F>::foot_is_linear(std::int64_t i) const {
    if (boundary.tag == BoundaryTag::Periodic) return false;
    const StencilReach r = stencil_reach(interp_kind.tag);
    return r.lo != 0 && (i - r.lo < 0 || i + r.hi >= static_cast<std::int64_t>(n));
}

template <class F>
Expected<F> Grid1D<F>::interp_foot(std::span<const F> values, F x, bool bounded) const {
    const InterpTag tag = interp_kind.tag;
    if (tag != InterpTag::SepticHermite && tag != InterpTag::OctonicHermite && tag != InterpTag::CubicHermite) {
        return interp(values, x);
    }
    const Expected<Cell<F>> located = locate_read(*this, x);
    if (!located) return fail(located.error());
    const Cell<F> c = *located;
    if (!foot_is_linear(c.i)) {
        if (!bounded || tag != InterpTag::SepticHermite) return hermite_in_cell(values, *this, c);
        return bounded_in_cell(values, *this, c);
    }
    const PolicyTaps<F> at = taps(values, boundary, n, dx());
    const F u0 = at(c.i), u1 = at(c.i + 1);
    return u0 + c.t * (u1 - u0);
}

bool read_is_located(const Grid1D<double>& g, double x) {
    switch (g.interp_kind.tag) {
        case InterpTag::SepticHermite:
        case InterpTag::OctonicHermite:
        case InterpTag::CubicHermite:
            // locate_read's test: a non-finite x fails it too.
            return std::fabs((x - g.xmin) / g.dx()) < 9007199254740992.0;
        default:
            return true;
    }
}

bool SepticSamples::locate(const Grid1D<double>& grid, double x, std::int64_t& cell, double& t) {
    if (grid.interp_kind.tag != InterpTag::SepticHermite) return false;
    // interp's range check and cell from one quotient (interp forms the same
    // one twice); a non-finite x gives a non-finite s and fails here as there.
    const double s = (x - grid.xmin) / grid.dx();
    if (!(std::fabs(s) < 9007199254740992.0)) return false;
    const double f = std::floor(s);
    cell = static_cast<std::int64_t>(f);
    t = s - f;
    return true;
}

void SepticSamples::fill(std::span<const double> values, const Grid1D<double>& grid, std::int64_t lo, std::int64_t hi) {
    values_ = values;
    grid_ = &grid;
    dx_ = grid.dx();
    lo_ = lo;
    hi_ = std::max(lo, hi);
    samples_.resize(4 * static_cast<std::size_t>(hi_ - lo_));
    if (grid.interp_kind.tag != InterpTag::SepticHermite || values.size() < grid.n) {
        hi_ = lo_;  // nothing covered: every read goes through interp
        return;
    }
    const std::int64_t n = static_cast<std::int64_t>(grid.n);
    // Indices whose nine taps all lie inside the grid load directly; the
    // others read through the policy. Both give the same values, as in interp.
    const std::int64_t inner_lo = std::clamp<std::int64_t>(4, lo_, hi_);
    const std::int64_t inner_hi = std::clamp<std::int64_t>(n - 4, inner_lo, hi_);
    const PolicyTaps<double> policy = taps(values, grid.boundary, grid.n, grid.dx());
    const DirectTaps<double> direct{values.data()};
    auto put = [&](std::int64_t j, const auto& at) {
        double* p = samples_.data() + 4 * (j - lo_);
        p[0] = at(j);
        p[1] = stencil<double>(kD1O8, 840.0, at, j);
        p[2] = stencil<double>(kD2O6, 180.0, at, j);
        p[3] = stencil<double>(kD3O4, 8.0, at, j);
    };
    // Indices [a, b) whose taps reach past the grid: every node index they
    // tap, [a - 4, b + 4), is resolved through the policy once (a tap's value
    // depends on its index alone), then the stencils load directly.
    auto put_resolved = [&](std::int64_t a, std::int64_t b) {
        if (a >= b) return;
        const std::int64_t first = a - 4;
        ghosts_.resize(static_cast<std::size_t>(b + 4 - first));
        for (std::int64_t j = first; j < b + 4; ++j) ghosts_[static_cast<std::size_t>(j - first)] = policy(j);
        const ShiftedTaps resolved{ghosts_.data(), first};
        for (std::int64_t j = a; j < b; ++j) put(j, resolved);
    };
    put_resolved(lo_, inner_lo);
    for (std::int64_t j = inner_lo; j < inner_hi; ++j) put(j, direct);
    put_resolved(inner_hi, hi_);
}

std::array<double, 8> SepticSamples::cell_bernstein(std::int64_t cell) const {
    // The read is the degree-7 polynomial with the samples' value and first
    // three derivatives (in units of the cell) at either end; those fix the
    // four Bernstein coefficients next to each end.
    const double* p = samples_.data() + 4 * (cell - lo_);
    const double* q = p + 4;
    std::array<double, 8> b;
    b[0] = p[0];
    b[1] = b[0] + p[1] / 7.0;
    b[2] = (2.0 * b[1] - b[0]) + p[2] / 42.0;
    b[3] = ((3.0 * b[2] - 3.0 * b[1]) + b[0]) + p[3] / 210.0;
    b[7] = q[0];
    b[6] = b[7] - q[1] / 7.0;
    b[5] = (2.0 * b[6] - b[7]) + q[2] / 42.0;
    b[4] = ((3.0 * b[5] - 3.0 * b[6]) + b[7]) - q[3] / 210.0;
    return b;
}

bool SepticSamples::covered(double x, std::int64_t& cell, double& t) const {
    // Grids of another kind cover nothing (fill leaves the range empty).
    return locate(*grid_, x, cell, t) && covers(cell);
}

Expected<double> SepticSamples::read(double x) const {
    std::int64_t cell = 0;
    double t = 0.0;
    if (!covered(x, cell, t)) return grid_->interp(values_, x);
    return at_cell(cell, hermite7_weights(t));
}

Expected<double> SepticSamples::read_foot(double x) const {
    std::int64_t cell = 0;
    double t = 0.0;
    if (!covered(x, cell, t)) return grid_->interp_foot(values_, x);
    const double* p = samples_.data() + 4 * (cell - lo_);
    if (grid_->foot_is_linear(cell)) return p[0] + t * (p[4] - p[0]);
    return at_cell(cell, hermite7_weights(t));
}

#define QUORVANE_INSTANTIATE_BOUNDARY(F)                                                                   \
    template struct BoundaryPolicy<F>;                                                                     \
    template F fd_d1_o8<F>(std::span<const F>, const BoundaryPolicy<F>&, std::size_t, std::int64_t, F);  \
    template F fd_d2_o6<F>(std::span<const F>, const BoundaryPolicy<F>&, std::size_t, std::int64_t, F);  \
    template F fd_d3_o4<F>(std::span<const F>, const BoundaryPolicy<F>&, std::size_t, std::int64_t, F);  \
    template F fd_d1_o10<F>(std::span<const F>, const BoundaryPolicy<F>&, std::size_t, std::int64_t, F); \
    template F fd_d2_o8<F>(std::span<const F>, const BoundaryPolicy<F>&, std::size_t, std::int64_t, F);  \
    template F fd_d3_o8<F>(std::span<const F>, const BoundaryPolicy<F>&, std::size_t, std::int64_t, F);  \
    template F fd_d4_o6<F>(std::span<const F>, const BoundaryPolicy<F>&, std::size_t, std::int64_t, F);  \
    template F hermite7_sample<F>(std::span<const F>, const Grid1D<F>&, F);                                \
    template Hermite7Weights<F> hermite7_weights<F>(F);                                                     \
    template Expected<F> Grid1D<F>::interp(std::span<const F>, F) const;                                    \
    template Expected<F> Grid1D<F>::interp_foot(std::span<const F>, F, bool) const;                         \
    template bool Grid1D<F>::foot_is_linear(std::int64_t) const;

QUORVANE_INSTANTIATE_BOUNDARY(double)
QUORVANE_INSTANTIATE_BOUNDARY(float)
QUORVANE_INSTANTIATE_BOUNDARY(Dual1)
QUORVANE_INSTANTIATE_BOUNDARY(Dual2)

}  // namespace quorvane
