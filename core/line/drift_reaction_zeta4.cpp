#include "core/line/drift_reaction_zeta4.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <utility>
#include <vector>

#include "core/foundation/numeric.hpp"

namespace quorvane {

DriftReactionZeta4Chernoff DriftReactionZeta4Chernoff::unit_half_drift(const Grid1D<double>& grid) {
    return DriftReactionZeta4Chernoff{Diffusion4thChernoff::unit(grid), grid, coeff_half, coeff_zero, coeff_zero, 0.5,
                                      grid};
}

Expected<std::pair<ChernoffSemigroup<DriftReactionZeta4Chernoff>, GridFn<double>>> build_drift_reaction4th_state(
    std::size_t n, std::span<const double> u0, BoundaryPolicy<double> boundary, double xmin, double xmax) {
    return build_state(n, 100, u0, boundary, xmin, xmax,
                       [](const Grid1D<double>& g) { return DriftReactionZeta4Chernoff::unit_half_drift(g); });
}

double DriftReactionZeta4Chernoff::foot(double x, double theta) const {
    const double y0 = x + theta * b(x);
    const double m = (x + y0) * 0.5;
    // One Newton step towards the implicit-midpoint foot
    // y = x + theta b((x + y)/2), which is second order along the
    // characteristic; a singular (or NaN) Jacobian keeps the predictor.
    const double B = b(m);
    const double D = (theta / 2.0) * b_prime(m);
    double y = y0;
    if (std::fabs(1.0 - D) > 1e-15) y = y0 - (y0 - x - theta * B) / (1.0 - D);
    return y;
}

Status DriftReactionZeta4Chernoff::inflow_refusal(const Grid1D<double>& grid, double tau) const {
    if (grid.boundary.tag != BoundaryTag::Linear || grid.n == 0) return {};
    for (const double h : {tau, tau / 2.0, tau / 4.0}) {
        const double theta = h / 2.0;
        for (const std::size_t i : {std::size_t{0}, grid.n - 1}) {
            if (Status st = refuse_linear_inflow(grid, i, foot(drift_grid.node(i), theta)); !st) return st;
        }
    }
    return {};
}

Status DriftReactionZeta4Chernoff::half_step(const GridFn<double>& s, std::vector<double>& w, double theta) const {
    const std::size_t n = s.values.size();
    w.resize(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double x = drift_grid.node(i);
        const double y = foot(x, theta);
        // Trapezoidal reaction over the half step.
        const double cx = c(x);
        const double cy = c(y);
        const double E = std::exp((theta / 2.0) * (cx + cy));
        if (Status st = refuse_linear_inflow(s.grid, i, y); !st) return st;
        auto v = s.grid.interp_foot(s.values, y);
        if (!v) return fail(v.error());
        w[i] = E * *v;
    }
    return {};
}

Status DriftReactionZeta4Chernoff::apply_k5(const GridFn<double>& u, GridFn<double>& out, ScratchPool<double>& pool,
                                           double h) const {
    const std::size_t n = u.values.size();
    GridFn<double> a{u.grid, pool.take(n)};
    const double theta = h / 2.0;
    if (Status st = half_step(u, a.values, theta); !st) return st;
    GridFn<double> bfn{u.grid, pool.take(n)};
    if (Status st = diffusion.apply_into(a, bfn, pool, h); !st) return st;
    out.values.resize(n, 0.0);
    if (Status st = half_step(bfn, out.values, theta); !st) return st;
    out.grid = u.grid;
    pool.give_back(std::move(a.values));
    pool.give_back(std::move(bfn.values));
    return {};
}

Status DriftReactionZeta4Chernoff::apply_into(const GridFn<double>& u, GridFn<double>& out, ScratchPool<double>& pool,
                                              double tau) const {
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and >= 0", tau);
    const std::size_t n = u.values.size();
    GridFn<double> y1{work_grid, pool.take(n)};
    GridFn<double> y2{work_grid, pool.take(n)};
    GridFn<double> y4{work_grid, pool.take(n)};
    GridFn<double> s{work_grid, pool.take(n)};

    if (Status st = apply_k5(u, y1, pool, tau); !st) return st;

    const double tau2 = tau / 2.0;
    if (Status st = apply_k5(u, s, pool, tau2); !st) return st;
    if (Status st = apply_k5(s, y2, pool, tau2); !st) return st;

    const double tau4 = tau / 4.0;
    if (Status st = apply_k5(u, s, pool, tau4); !st) return st;
    {
        GridFn<double> t{work_grid, pool.take(n)};
        if (Status st = apply_k5(s, t, pool, tau4); !st) return st;
        if (Status st = apply_k5(t, s, pool, tau4); !st) return st;
        pool.give_back(std::move(t.values));
    }
    if (Status st = apply_k5(s, y4, pool, tau4); !st) return st;

    if (y1.values.size() != n || y2.values.size() != n || y4.values.size() != n) {
        internal_fault("DriftReactionZeta4Chernoff: combination length mismatch");
    }
    out.values.resize(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        out.values[i] = ((32.0 * y4.values[i] - 12.0 * y2.values[i]) + y1.values[i]) / 21.0;
    }
    pool.give_back(std::move(y1.values));
    pool.give_back(std::move(y2.values));
    pool.give_back(std::move(y4.values));
    pool.give_back(std::move(s.values));
    return {};
}

namespace {

// Modes j = 0 .. kSymbolNodes/2 of a periodic unit-spaced grid, theta = 2 pi j / kSymbolNodes.
constexpr int kSymbolNodes = 256;
constexpr double kSymbolSlack = 1e-6;

// Symbol of "evaluate at x + s" (s in cells) for each mode: the interpolant of
// the mode's cosine and sine samples at s. The interpolation weights depend on
// the local coordinate alone, so a unit-spaced periodic grid gives the
// symbol of any uniform grid.
class ShiftSymbols {
public:
    ShiftSymbols() {
        grid_ = expect_ok(Grid1D<double>::make(BoundaryPolicy<double>::of(BoundaryTag::Periodic), InterpKind::septic(),
                                               0.0, static_cast<double>(kSymbolNodes - 1), kSymbolNodes),
                          "ShiftSymbols: grid");
        for (int j = 0; j <= kSymbolNodes / 2; ++j) {
            std::vector<double> c(kSymbolNodes), s(kSymbolNodes);
            for (int i = 0; i < kSymbolNodes; ++i) {
                const double ph = 2.0 * M_PI * static_cast<double>(j) * static_cast<double>(i) / kSymbolNodes;
                c[i] = std::cos(ph);
                s[i] = std::sin(ph);
            }
            cos_.push_back(std::move(c));
            sin_.push_back(std::move(s));
        }
    }
    // A non-finite shift gives NaN, which the caller reads as unstable.
    std::complex<double> at(int j, double s) const {
        // The grid is periodic with period kSymbolNodes: reduce the shift
        // exactly, however far it reaches.
        s = std::fmod(s, static_cast<double>(kSymbolNodes));
        if (!std::isfinite(s)) return {std::nan(""), std::nan("")};
        const double re = expect_ok(grid_.interp(cos_[j], s), "ShiftSymbols: cos");
        const double im = expect_ok(grid_.interp(sin_[j], s), "ShiftSymbols: sin");
        return {re, im};
    }

private:
    Grid1D<double> grid_;
    std::vector<std::vector<double>> cos_, sin_;
};

const ShiftSymbols& shift_symbols() {
    static const ShiftSymbols s;
    return s;
}

}  // namespace

double DriftReactionZeta4Chernoff::symbol_max(double tau) const {
    const ShiftSymbols& S = shift_symbols();
    const double dx = drift_grid.dx();
    const double bf = b(drift_grid.xmin);
    // The step reads up to 2 sqrt(3 tau) and (tau/2) |b| beyond a node;
    // from 2^53 cells on no cell is told apart from its neighbour and the
    // step refuses its reads: no bound (the symbol's exact reduction of such
    // a shift would still give a phase, and steps far beyond every stable
    // one looked stable).
    const double reach = std::max(2.0 * std::sqrt(3.0 * tau), 0.5 * tau * std::fabs(bf)) / dx;
    if (!(reach + static_cast<double>(drift_grid.n) < 0x1p53)) return std::nan("");
    // K(h) = H(h/2) D(h) H(h/2) with D the five-point heat rule at offsets
    // +-2 sqrt(h), +-2 sqrt(3h) and H the shift by (h/2) b.
    auto k_symbol = [&](int j, double h) {
        const double s1 = 2.0 * std::sqrt(h) / dx;
        const double s3 = 2.0 * std::sqrt(3.0 * h) / dx;
        const std::complex<double> d = 7.0 / 12.0 + 0.1875 * (S.at(j, s1) + S.at(j, -s1)) +
                                       (1.0 / 48.0) * (S.at(j, s3) + S.at(j, -s3));
        const std::complex<double> hs = S.at(j, 0.5 * h * bf / dx);
        return hs * hs * d;
    };
    double m = 0.0;
    for (int j = 0; j <= kSymbolNodes / 2; ++j) {
        const std::complex<double> k4 = k_symbol(j, tau / 4.0);
        const std::complex<double> k2 = k_symbol(j, tau / 2.0);
        const std::complex<double> k1 = k_symbol(j, tau);
        const std::complex<double> g = (32.0 * (k4 * k4) * (k4 * k4) - 12.0 * (k2 * k2) + k1) / 21.0;
        const double a = std::abs(g);
        if (std::isnan(a)) return a;  // a shift beyond any grid: no bound
        m = std::max(m, a);
    }
    return m;
}

bool DriftReactionZeta4Chernoff::is_stable_step(double tau) const {
    if (!finite_nonneg(tau)) return false;
    return symbol_max(tau) <= 1.0 + kSymbolSlack;
}

double DriftReactionZeta4Chernoff::max_stable_tau() const {
    const double dx2 = drift_grid.dx() * drift_grid.dx();
    // Scan up in steps of 5 % from far inside the stable range, then bisect
    // the first crossing.
    double lo = 0.0;
    double hi = 0.01 * dx2;
    for (int k = 0; k < 2000 && is_stable_step(hi); ++k) {
        lo = hi;
        hi *= 1.05;
    }
    for (int k = 0; k < 50; ++k) {
        const double mid = 0.5 * (lo + hi);
        if (is_stable_step(mid)) lo = mid;
        else hi = mid;
    }
    return lo;
}

ReactionFactors reaction_factors(const DriftReactionZeta4Chernoff& k, double tau) {
    // Each half step scales by exp(theta/2 (c(x) + c(y))) with c read at a
    // node and a foot; the combination's weights sum to 1, so the flow's
    // factors e^{tau min c}, e^{tau max c} over the nodes bound a step whose
    // c is read where it is sampled.
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (std::size_t i = 0; i < k.drift_grid.n; ++i) {
        const double v = k.c(k.drift_grid.node(i));
        if (v < lo) lo = v;
        if (v > hi) hi = v;
    }
    if (!(lo <= hi)) return {};
    return {std::exp(tau * lo), std::exp(tau * hi)};
}

double linear_end_cells(const DriftReactionZeta4Chernoff& k, double tau) {
    if (k.drift_grid.boundary.tag != BoundaryTag::Linear) return 0.0;
    return 2.0 * std::sqrt(3.0 * tau) / k.drift_grid.dx();
}

std::optional<StepRange> step_violation(const DriftReactionZeta4Chernoff& k, double tau) {
    if (k.is_stable_step(tau)) return std::nullopt;
    return StepRange{0.0, k.max_stable_tau()};
}

const char* instability_reason(const DriftReactionZeta4Chernoff&) {
    return "the Richardson weights (32, -12, 1)/21 amplify some grid frequency there, so rounding noise grows "
           "geometrically with the step count";
}

}  // namespace quorvane
