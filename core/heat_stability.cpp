#include "core/heat_stability.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <span>
#include <vector>

#include "core/diffusion.hpp"
#include "core/numeric.hpp"

namespace quorvane {
namespace {

using cplx = std::complex<double>;

// A step is admissible while no mode grows by more than this factor per step:
// far below anything rounding noise could feed on over a realistic number of
// steps, yet above the rounding of the symbol evaluation itself.
constexpr double kSymbolSlack = 1e-10;

// The measured window of Heat1DZeta8's Chebyshev-sampled rung, as tau/dx^2:
// the full spectra of grids of 8 to 257 nodes under every boundary policy
// (and the noise growth on grids of up to 1025 nodes) give spectral radius 1
// to rounding inside [0.06, 6.75], and above 1 just outside [0.05, 7] on
// many grids; the window keeps a margin on both sides.
constexpr double kZeta8ChebyshevMuMin = 0.08;
constexpr double kZeta8ChebyshevMuMax = 6.5;

// Quadrature and stencil data of one kernel's node step.
struct NodeRule {
    std::span<const int> offsets;     // k of the points +-2 sqrt(k a tau), 0 for the centre
    int max_offset;                   // the largest k
    std::span<const double> weights;  // one per offset entry
    std::span<const double> d1, d2, d3;
    double min_width_cells;           // the stencil never narrower than this many dx
    double width_power;               // ... and otherwise tau^width_power
};

constexpr int kHeat4Offsets[5] = {0, 1, -1, 3, -3};
constexpr double kHeat4Weights[5] = {kHeatW0, kHeatW1, kHeatW1, kHeatW3, kHeatW3};
constexpr int kHeat6Offsets[7] = {0, 1, -1, 3, -3, 5, -5};
constexpr double kHeat6Weights[7] = {kHeat6W0, kHeat6W1, kHeat6W1, kHeat6W3, kHeat6W3, kHeat6W5, kHeat6W5};

// Fourier symbol of a central stencil of width h at wave number k.
cplx stencil_symbol(std::span<const double> c, double k, double h, int order) {
    const int half = static_cast<int>(c.size() / 2);
    cplx s = 0.0;
    for (int j = -half; j <= half; ++j) s += c[static_cast<std::size_t>(j + half)] * std::polar(1.0, k * j * h);
    return s / std::pow(h, order);
}

// Frequencies sampled in (0, pi/dx]: enough to resolve the symbol's
// oscillation (its phases reach k times the farthest sample offset).
std::size_t frequency_count(double reach_cells) {
    const double k = std::ceil(8.0 * reach_cells);
    return static_cast<std::size_t>(std::clamp(k, 64.0, 512.0));
}

template <class K>
double symbol_sup(const K& kernel, const NodeRule& rule, double tau) {
    const Grid1D<double>& grid = kernel.grid;
    const std::size_t n = grid.n;
    const double dx = (grid.xmax - grid.xmin) / static_cast<double>(n - 1);
    const double theta = 0.5 * tau;
    const double h = max_ignore_nan(rule.min_width_cells * dx, std::pow(tau, rule.width_power));
    const int half = static_cast<int>(rule.d1.size() / 2);

    // Farthest reach of any quadrature point, in cells, from the largest a
    // on the grid.
    double a_reach = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double a = kernel.coef_a(grid.xmin + dx * static_cast<double>(i));
        if (std::isfinite(a)) a_reach = std::max(a_reach, a);
    }
    const double far_offset = 2.0 * std::sqrt(static_cast<double>(rule.max_offset) * a_reach * tau);
    const std::size_t nk = frequency_count(std::max(far_offset / dx, half * h / dx));
    const double dk = (M_PI / dx) / static_cast<double>(nk);

    std::vector<cplx> d1(nk), d2(nk), d3(nk);
    for (std::size_t q = 0; q < nk; ++q) {
        const double k = dk * static_cast<double>(q + 1);
        d1[q] = stencil_symbol(rule.d1, k, h, 1);
        d2[q] = stencil_symbol(rule.d2, k, h, 2);
        d3[q] = stencil_symbol(rule.d3, k, h, 3);
    }

    const std::size_t np = rule.offsets.size();
    std::vector<cplx> rot(np), cur(np);
    double sup = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = grid.xmin + dx * static_cast<double>(i);
        const double A = kernel.coef_a(x);
        const double A1 = kernel.coef_a_prime(x);
        const double A2 = kernel.coef_a_double_prime(x);
        // Where the correction is skipped the step is the quadrature alone,
        // a convex combination of samples. Non-finite data are the step's own
        // error to report.
        if (A1 == 0.0 && A2 == 0.0) continue;
        if (!std::isfinite(A) || !std::isfinite(A1) || !std::isfinite(A2)) continue;
        const double xp = x + theta * kernel.coef_a_prime(x);
        const double a = kernel.coef_a(xp);
        if (!finite_nonneg(a)) continue;
        bool finite = true;
        for (std::size_t m = 0; m < np; ++m) {
            const int k = rule.offsets[m];
            const double r = std::sqrt(static_cast<double>(k < 0 ? -k : k) * a * tau);
            const double y = xp + (k < 0 ? -(r + r) : (r + r));
            const double d = y + theta * kernel.coef_a_prime(y) - x;
            finite = finite && std::isfinite(d);
            rot[m] = std::polar(1.0, dk * d);
            cur[m] = rot[m];
        }
        if (!finite) continue;
        const double c3 = A * A1, c2 = 0.5 * A * A2, c1 = 0.25 * A1 * A2;
        for (std::size_t q = 0; q < nk; ++q) {
            cplx g = 0.0;
            for (std::size_t m = 0; m < np; ++m) {
                g += rule.weights[m] * cur[m];
                cur[m] *= rot[m];
            }
            g += tau * tau * (c3 * d3[q] + c2 * d2[q] + c1 * d1[q]);
            sup = std::max(sup, std::abs(g));
        }
    }
    return sup;
}

NodeRule heat4_rule() {
    return {kHeat4Offsets, 3, kHeat4Weights, kCentral7D1, kCentral7D2, kCentral7D3, 3.0, 0.75};
}
NodeRule heat6_rule() {
    return {kHeat6Offsets, 5, kHeat6Weights, kCentral9D1, kCentral9D2, kCentral9D3, 4.0, 0.5};
}

// Largest stable step below an unstable `tau`: halve until stable, then bisect.
template <class Stable>
double bisect_below(double tau, Stable stable) {
    double hi = tau;
    double lo = 0.5 * tau;
    for (int k = 0; k < 200 && !stable(lo); ++k) {
        hi = lo;
        lo *= 0.5;
    }
    for (int k = 0; k < 40; ++k) {
        const double mid = 0.5 * (lo + hi);
        if (stable(mid)) lo = mid;
        else hi = mid;
    }
    return lo;
}

template <class K>
std::optional<StepRange> step_violation(const K& kernel, const NodeRule& rule, double tau) {
    auto stable = [&](double t) { return symbol_sup(kernel, rule, t) <= 1.0 + kSymbolSlack; };
    if (!(tau > 0.0) || !std::isfinite(tau) || stable(tau)) return std::nullopt;
    return StepRange{0.0, bisect_below(tau, stable)};
}

// The zeta combination applied to one eigenvalue: the rungs act on a common
// eigenvector of the base step through the same formula as on grid values.
double zeta_symbol(const Diffusion4thChernoff& inner, int level, double tau) {
    if (level <= 2) return heat4_nyquist_eigenvalue(inner, tau);
    const double w = level == 4 ? 4.0 : level == 6 ? 16.0 : 64.0;
    const double d = w - 1.0;
    const double coarse = zeta_symbol(inner, level - 2, tau);
    const double half = zeta_symbol(inner, level - 2, tau / 2.0);
    return (w * (half * half) - coarse) / d;
}

}  // namespace

double heat4_symbol_sup(const Diffusion4thChernoff& kernel, double tau) {
    return symbol_sup(kernel, heat4_rule(), tau);
}

double heat6_symbol_sup(const Diffusion6thChernoff& kernel, double tau) {
    return symbol_sup(kernel, heat6_rule(), tau);
}

std::optional<StepRange> heat4_step_violation(const Diffusion4thChernoff& kernel, double tau) {
    return step_violation(kernel, heat4_rule(), tau);
}

std::optional<StepRange> heat6_step_violation(const Diffusion6thChernoff& kernel, double tau) {
    return step_violation(kernel, heat6_rule(), tau);
}

double heat4_nyquist_eigenvalue(const Diffusion4thChernoff& kernel, double tau) {
    // (-1)^j on a reflecting grid is mapped onto a multiple of itself by any
    // translation-invariant step, whatever the shifts: the mirror image of
    // the alternating sequence is again alternating.
    constexpr std::size_t kNodes = 16;
    const double dx = kernel.grid.dx();
    Grid1D<double> g = kernel.grid;
    g.boundary = BoundaryPolicy<double>::reflect();
    g.xmin = 0.0;
    g.xmax = dx * static_cast<double>(kNodes - 1);
    g.n = kNodes;
    if (kernel.use_octonic) g.interp_kind = InterpKind::of(InterpTag::OctonicHermite);
    std::vector<double> v(kNodes);
    for (std::size_t j = 0; j < kNodes; ++j) v[j] = (j % 2 == 0) ? 1.0 : -1.0;
    Diffusion4thChernoff unit = Diffusion4thChernoff::unit(g);
    const GridFn<double> u{g, std::move(v)};
    const std::size_t mid = kNodes / 2;
    auto r = unit.apply_node(u, mid, tau);
    if (!r) internal_fault("heat4_nyquist_eigenvalue", r.error());
    return *r / u.values[mid];
}

StepRange zeta_stable_steps(const Diffusion4thChernoff& inner, int level) {
    const double dx2 = inner.grid.dx() * inner.grid.dx();
    if (inner.use_chebyshev && !inner.use_octonic) {
        return StepRange{kZeta8ChebyshevMuMin * dx2, kZeta8ChebyshevMuMax * dx2};
    }
    auto stable = [&](double mu) { return std::abs(zeta_symbol(inner, level, mu * dx2)) <= 1.0 + kSymbolSlack; };
    // Walk up from the always-stable small steps to the first crossing, then
    // bisect it.
    double lo = 0.0;
    double hi = 0.05;
    while (hi < 1024.0 && stable(hi)) {
        lo = hi;
        hi += 0.05;
    }
    if (hi >= 1024.0) return StepRange{};
    for (int k = 0; k < 60; ++k) {
        const double mid = 0.5 * (lo + hi);
        if (stable(mid)) lo = mid;
        else hi = mid;
    }
    return StepRange{0.0, lo * dx2};
}

}  // namespace quorvane
