#include "core/bounded/resolvent_jump.hpp"

#include <cmath>
#include <limits>

namespace quorvane {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kFourPiSquared = 39.47841760435743;
constexpr double kPivotFloor = 1e-300;

}  // namespace

Complex cdiv(Complex a, Complex b) {
    const double big = std::fmax(std::fabs(b.real()), std::fabs(b.imag()));
    if (!(big > 0.0) || !std::isfinite(big)) {
        const double d = b.real() * b.real() + b.imag() * b.imag();
        return {(a.real() * b.real() + a.imag() * b.imag()) / d, (a.imag() * b.real() - a.real() * b.imag()) / d};
    }
    const int e = std::ilogb(big);
    const Complex bs{std::scalbn(b.real(), -e), std::scalbn(b.imag(), -e)};
    const double d = bs.real() * bs.real() + bs.imag() * bs.imag();
    const double re = (a.real() * bs.real() + a.imag() * bs.imag()) / d;
    const double im = (a.imag() * bs.real() - a.real() * bs.imag()) / d;
    return {std::scalbn(re, -e), std::scalbn(im, -e)};
}

JumpTimeRange jump_time_range(std::uint64_t m_nodes, double s) {
    const double m = static_cast<double>(m_nodes);
    // Below t_min, mu = M/t leaves the range where z, z' and e^{tz} z' stay
    // representable with margin.
    //
    // Above, the rounding grows with t s. Near the contour's vertex |z| ~
    // 0.13 M/t, and the solve resolves the constant mode (u = g/z) against
    // grid modes up to 4s; those nodes carry weights ~e^{0.1309 M}, and the
    // ~sqrt(M) of them that matter add their errors coherently. Measured
    // against exact cosine-mode solutions (1-D lines of 4 to 10^6 nodes, 2-D
    // and 3-D grids up to 41 x 41, 4 x 10^4 and 4 x 4 x 1001, constant and
    // cosine data, M = 28 ... 128, t s = 1e2 ... 1e9), the error is
    //     c eps e^{0.1309 M} t s / M^1.5 of max|g|,
    // c <= 9 while no grid line spans many decay lengths sqrt(t s / M) of
    // the solve, and up to 14.2 once a line of 10^3 nodes or more does,
    // which happens at large M. The bound c = 5 M^0.25 (11.9 at M = 32, 16.8
    // at M = 128) covers both, and the budget of 1e-6 gives
    // t s <= 1e-6 M^1.25 / (5 eps e^{0.1309 M}): 3.7e7 at M = 64, 2.1e4 at
    // M = 128. Up to M = 32 that exceeds 1e9, the largest t s measured, which
    // stays the outer limit.
    constexpr double kBudget = 1e-6;
    constexpr double kRoundingConstant = 5.0;
    constexpr double kMaxTimeScale = 1e9;
    const double eps = std::numeric_limits<double>::epsilon();
    const double accurate =
        kBudget * (m * std::sqrt(std::sqrt(m))) / (kRoundingConstant * eps * std::exp(0.1309 * m));
    return {m * 1e-290, std::fmin(kMaxTimeScale, accurate) / s};
}

ContourNode contour_node(std::uint64_t m_nodes, double t, std::uint64_t k) {
    const double m = static_cast<double>(m_nodes);
    const double mu = m / t;
    const double h = kTwoPi / m;
    const double theta = h * (static_cast<double>(k) + 0.5) - kPi;
    const Complex z{mu * (theta * (theta * (-0.1194)) + 0.1309), (0.25 * mu) * theta};
    const Complex dz{mu * (theta * (-0.2388)), 0.25 * mu};
    const Complex e = std::exp(Complex{t * z.real(), t * z.imag()});
    const Complex p = cmul(e, dz);
    const Complex hp{h * p.real(), h * p.imag()};
    const Complex m2{hp.real() * kTwoPi, hp.imag() * kTwoPi};
    return {z, Complex{m2.imag() / kFourPiSquared, -m2.real() / kFourPiSquared}};
}

Expected<std::vector<Complex>> resolve_lhp(Complex z, double s, std::span<const double> g) {
    const std::size_t n = g.size();
    const double s2 = s + s;
    std::vector<Complex> cp(n), dp(n), u(n);
    const Complex b0{z.real() + s2, z.imag()};
    if (std::hypot(b0.real(), b0.imag()) < kPivotFloor)
        return domain_error("resolve_lhp: pivot near zero (\u03bb on spectrum)", std::hypot(b0.real(), b0.imag()));
    cp[0] = cdiv(Complex{-s2, 0.0}, b0);
    dp[0] = cdiv(Complex{g[0], 0.0}, b0);
    for (std::size_t i = 1; i < n; ++i) {
        const bool last = i + 1 == n;
        const double lower = last ? s2 : s;  // minus the sub-diagonal entry
        const Complex m{z.real() + s2 + lower * cp[i - 1].real(), z.imag() + lower * cp[i - 1].imag()};
        const double mod = std::hypot(m.real(), m.imag());
        if (mod < kPivotFloor) return domain_error("resolve_lhp: pivot near zero (\u03bb on spectrum)", mod);
        if (!last) cp[i] = cdiv(Complex{-s, 0.0}, m);
        dp[i] = cdiv(Complex{g[i] + lower * dp[i - 1].real(), lower * dp[i - 1].imag()}, m);
    }
    u[n - 1] = dp[n - 1];
    for (std::size_t i = n - 1; i-- > 0;) u[i] = dp[i] - cmul(cp[i], u[i + 1]);
    return u;
}

Expected<ResolventJumpChernoff> ResolventJumpChernoff::make(const Grid1D<double>& grid, std::uint64_t m_nodes) {
    if (m_nodes < 6)
        return domain_error("ResolventJumpChernoff: m_nodes must be >= 6 (geometric regime)", static_cast<double>(m_nodes));
    if (m_nodes > kMaxJumpNodes)
        return domain_error("ResolventJumpChernoff: m_nodes must be <= 128 (node weights grow like e^{0.1309 m_nodes})",
                            static_cast<double>(m_nodes));
    return ResolventJumpChernoff{grid, m_nodes};
}

double ResolventJumpChernoff::laplacian_scale() const {
    const double dx = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
    return 1.0 / (dx * dx);
}

Expected<std::vector<double>> ResolventJumpChernoff::jump(double t, std::vector<double> g) const {
    auto fn = GridFn<double>::make(grid, std::move(g));
    if (!fn) return fail(fn.error());
    const double s = laplacian_scale();
    return contour_sum(m_nodes, t, grid.n, [&](Complex z) { return resolve_lhp(z, s, fn->values); });
}

}  // namespace quorvane
