#include "core/graph/graph_krylov.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "core/foundation/grid_fn.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/step_count.hpp"
#include "core/foundation/stop.hpp"
#include "core/line/diffusion_expmv.hpp"

namespace quorvane {

// ---------------------------------------------------------------------------
// Dense degree-13 Pade exponential
// ---------------------------------------------------------------------------

namespace {

constexpr std::size_t kD = kKrylovMaxDim;
constexpr double kTheta13 = 5.371920351148152;

// b_k = (26 - k)! / (k! (13 - k)!), exact in double.
constexpr double kPade13[14] = {64764752532480000.0, 32382376266240000.0, 7771770303897600.0,
                                1187353796428800.0,  129060195264000.0,   10559470521600.0,
                                670442572800.0,      33522128640.0,       1323241920.0,
                                40840800.0,          960960.0,            16380.0,
                                182.0,               1.0};

Dense18 zero18() {
    Dense18 m{};
    return m;
}

Dense18 identity18() {
    Dense18 m{};
    for (std::size_t i = 0; i < kD; ++i) m[i][i] = 1.0;
    return m;
}

// Row by row: row i of the product gains A[i][k] times row k of B.
Dense18 dense18_matmul(const Dense18& a, const Dense18& b) {
    Dense18 c = zero18();
    for (std::size_t i = 0; i < kD; ++i) {
        for (std::size_t k = 0; k < kD; ++k) {
            const double aik = a[i][k];
            for (std::size_t j = 0; j < kD; ++j) c[i][j] += aik * b[k][j];
        }
    }
    return c;
}

Dense18 dense18_lincomb(double a, const Dense18& x, double b, const Dense18& y) {
    Dense18 c;
    for (std::size_t i = 0; i < kD; ++i)
        for (std::size_t j = 0; j < kD; ++j) c[i][j] = a * x[i][j] + b * y[i][j];
    return c;
}

Dense18 add(const Dense18& x, const Dense18& y) { return dense18_lincomb(1.0, x, 1.0, y); }

double norm_inf(const Dense18& m) {
    double nu = 0.0;
    for (const auto& row : m) {
        double s = 0.0;
        for (const double v : row) s += std::fabs(v);
        nu = std::max(nu, s);
    }
    return nu;
}

// Inverse by Doolittle LU with partial pivoting (the last row of largest
// magnitude wins a tie); a pivot below 64 eps ||Q||_inf is refused.
Expected<Dense18> mat_inv_lu(Dense18 q) {
    const double scale = norm_inf(q);
    std::array<std::size_t, kD> perm;
    for (std::size_t i = 0; i < kD; ++i) perm[i] = i;
    for (std::size_t k = 0; k < kD; ++k) {
        std::size_t p = k;
        double best = std::fabs(q[k][k]);
        for (std::size_t r = k + 1; r < kD; ++r) {
            if (std::fabs(q[r][k]) >= best) {
                best = std::fabs(q[r][k]);
                p = r;
            }
        }
        if (!(best >= 64.0 * 2.220446049250313e-16 * scale)) return domain_error("mat_inv_lu: near-singular matrix", 0.0);
        std::swap(q[k], q[p]);
        std::swap(perm[k], perm[p]);
        const double inv = 1.0 / q[k][k];
        for (std::size_t r = k + 1; r < kD; ++r) {
            const double l = q[r][k] * inv;
            q[r][k] = l;
            for (std::size_t j = k + 1; j < kD; ++j) q[r][j] -= l * q[k][j];
        }
    }
    Dense18 inv = zero18();
    for (std::size_t j = 0; j < kD; ++j) {
        std::array<double, kD> e{};
        for (std::size_t i = 0; i < kD; ++i) e[i] = perm[i] == j ? 1.0 : 0.0;
        for (std::size_t i = 0; i < kD; ++i)
            for (std::size_t c = 0; c < i; ++c) e[i] -= q[i][c] * e[c];
        for (std::size_t i = kD; i-- > 0;) {
            for (std::size_t c = i + 1; c < kD; ++c) e[i] -= q[i][c] * e[c];
            e[i] /= q[i][i];
        }
        for (std::size_t i = 0; i < kD; ++i) inv[i][j] = e[i];
    }
    return inv;
}

}  // namespace

Expected<Dense18> expm_pade13(double dt, const std::array<double, kKrylovMaxDim>& alpha,
                              const std::array<double, kKrylovMaxDim>& beta, std::size_t k) {
    if (k > kD) internal_fault("expm_pade13: Krylov dimension above 18");
    Dense18 h = zero18();
    for (std::size_t i = 0; i < k; ++i) {
        h[i][i] = -dt * alpha[i];
        if (i + 1 < k) {
            h[i][i + 1] = -dt * beta[i + 1];
            h[i + 1][i] = -dt * beta[i + 1];
        }
    }
    const double nu = norm_inf(h);
    int s = 0;
    if (nu > kTheta13) {
        double bound = 2.0 * kTheta13;
        s = 1;
        while (nu > bound && s < 63) {
            bound *= 2.0;
            ++s;
        }
    }
    double factor = 1.0;
    for (int i = 0; i < s; ++i) factor *= 0.5;
    Dense18 a;
    for (std::size_t i = 0; i < kD; ++i)
        for (std::size_t j = 0; j < kD; ++j) a[i][j] = factor * h[i][j];

    const double* b = kPade13;
    const Dense18 id = identity18();
    const Dense18 a2 = dense18_matmul(a, a);
    const Dense18 a4 = dense18_matmul(a2, a2);
    const Dense18 a6 = dense18_matmul(a2, a4);
    const Dense18 w = dense18_lincomb(1.0, dense18_lincomb(1.0, a6, b[11], a4), b[9], a2);
    const Dense18 z = add(dense18_lincomb(b[7], a6, b[5], a4), dense18_lincomb(b[3], a2, b[1], id));
    const Dense18 u = dense18_matmul(a, add(dense18_matmul(a6, w), z));
    const Dense18 y = dense18_lincomb(1.0, dense18_lincomb(b[12], a6, b[10], a4), b[8], a2);
    const Dense18 z2 = add(dense18_lincomb(b[6], a6, b[4], a4), dense18_lincomb(b[2], a2, b[0], id));
    const Dense18 v = add(dense18_matmul(a6, y), z2);
    const Dense18 p = add(v, u);
    const Dense18 q = dense18_lincomb(1.0, v, -1.0, u);
    auto qinv = mat_inv_lu(q);
    if (!qinv) return fail(qinv.error());
    Dense18 x = dense18_matmul(*qinv, p);
    for (int i = 0; i < s; ++i) x = dense18_matmul(x, x);
    return x;
}

// ---------------------------------------------------------------------------
// Chebyshev and Lanczos actions
// ---------------------------------------------------------------------------

namespace {

constexpr const char* kNonFiniteInput = "GraphKrylovChernoff: the input vector contains NaN or Inf";
constexpr const char* kResultOverflow = "GraphKrylovChernoff: e^{-tau A} v overflows the double range";
constexpr const char* kSpectrumOutside =
    "Chebyshev step: the expansion grew the vector, so the operator's spectrum is not within [0, spectral_bound] "
    "(is it positive semi-definite?)";

// Powers of two within which the Chebyshev recurrence carries its vector as
// it comes: there the entries of u and of the products L u (each at most
// rho max|u| by the row-sum bound) stay far from both ends of the doubles.
constexpr double kCarryLow = 0x1p-400;
constexpr double kCarryHigh = 0x1p400;

// The power of two u is multiplied by before a sub-step: 0 while max|u| and
// rho max|u| both lie within [kCarryLow, kCarryHigh], so ordinary data keep
// every bit; otherwise the one that brings max|u| into [2^e, 2^(e+1)) with
// e = -ilogb(rho) / 2, where |u| and rho |u| are about equally far from 1
// (for rho near 1, unit size). The action is linear and powers of two are
// exact: scaling back at the end restores the result.
int chebyshev_carry_shift(std::span<const double> u, double rho) {
    double big = 0.0;
    for (const double x : u) big = std::max(big, std::fabs(x));
    if (big == 0.0) return 0;
    const double product = rho * big;
    if (big >= kCarryLow && big <= kCarryHigh && product >= kCarryLow && product <= kCarryHigh) return 0;
    return -(std::ilogb(rho) / 2) - std::ilogb(big);
}

// I_k(z) by its power series in h = z/2: h^k/k! sum_j (h^2)^j / (j! (k+j)!/k!),
// summed until a term no longer changes the sum (at most 1000 terms).
double bessel_i(std::size_t k, double z) {
    if (z < 1e-300) return k == 0 ? 1.0 : 0.0;
    const double h = 0.5 * z;
    double t = 1.0;
    for (std::size_t j = 1; j <= k; ++j) t *= h / static_cast<double>(j);
    double sum = t;
    const double h2 = h * h;
    for (std::size_t j = 1; j <= 1000; ++j) {
        t = t * h2 / (static_cast<double>(j) * static_cast<double>(k + j));
        const double next = sum + t;
        if (next == sum) break;
        sum = next;
    }
    return sum;
}

// ||v||_2 without underflow of the squares (tiny vectors keep their norm);
// NaN when v holds a NaN.
double norm2_scaled(std::span<const double> v) {
    double big = 0.0;
    for (const double x : v) {
        if (std::isnan(x)) return x;
        big = std::max(big, std::fabs(x));
    }
    if (big == 0.0 || !std::isfinite(big)) return big;
    double s = 0.0;
    for (const double x : v) {
        const double r = x / big;
        s += r * r;
    }
    return big * std::sqrt(s);
}

// ||v||_2 by the plain sum of squares while that sum is safely normal; an
// operator scaled far from 1 (its residuals of order rho) gets the scaled
// norm instead of squares that vanish or overflow.
double norm2(std::span<const double> v) {
    double s = 0.0;
    for (const double x : v) s += x * x;
    if (!(s >= 0x1p-970) || !std::isfinite(s)) return norm2_scaled(v);
    return std::sqrt(s);
}

// Error of s Lanczos sub-steps of m vectors each over x = tau rho, relative
// to ||src||. Within a sub-step (z = x / (2 s)) the projection is off by at
// most twice the best uniform approximation of e^{-dt lambda} on [0, rho] by
// polynomials of degree m - 1 (the spectra of the operator and of T_m both
// lie there), and the Chebyshev expansion truncated after degree m - 1 bounds
// that by 2 e^{-z} sum_{k>=m} I_k(z). The sub-steps' errors add up, each
// damped by the contraction that follows it.
double lanczos_error_bound(std::size_t m, double x, std::uint64_t s) {
    const double z = 0.5 * (x / static_cast<double>(s));
    // Called for z <= m only, where I_k(z) falls with k from k = m on.
    double tail = 0.0;
    for (std::size_t k = m; k < m + 400; ++k) {
        const double next = tail + bessel_i(k, z);
        if (next == tail) break;
        tail = next;
    }
    return static_cast<double>(s) * 4.0 * std::exp(-z) * tail;
}

// The fewest sub-steps, at least s_min, whose bound stays within tol for m
// vectors inside the work limit; nullopt when there are none. The limit is
// the full-size plan's: kKrylovMaxProducts / 18 sub-steps, since each one
// forms its dense exponential on the 18 x 18 array whatever m is. Only
// z <= m is searched: beyond it the tail is at least a tenth, so the bound
// exceeds any useful tol. For m >= 2 the bound falls as s grows (it goes as
// s^{1 - m}); for m = 1 it does not fall at all (one vector never turns).
std::optional<std::uint64_t> lanczos_capped_substeps(double x, std::size_t m, double tol, std::uint64_t s_min) {
    const std::uint64_t s_max = kKrylovMaxProducts / kKrylovMaxDim;
    const double s_low = std::ceil(x / (2.0 * static_cast<double>(m)));
    if (!(s_low <= static_cast<double>(s_max))) return std::nullopt;
    std::uint64_t lo = std::max(s_min, static_cast<std::uint64_t>(s_low));
    if (lo > s_max) return std::nullopt;
    if (lanczos_error_bound(m, x, lo) <= tol) return lo;
    std::uint64_t hi = s_max;
    if (!(lanczos_error_bound(m, x, hi) <= tol)) return std::nullopt;
    // bound(lo) > tol >= bound(hi).
    while (hi - lo > 1) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        if (lanczos_error_bound(m, x, mid) <= tol) hi = mid;
        else lo = mid;
    }
    return hi;
}

// Error texts are literals: one per m_max a refusal can name (2 to 18).
constexpr const char* kLanczosNeedsMmax[kKrylovMaxDim + 1] = {
    nullptr,
    nullptr,
#define QUORVANE_LANCZOS_NEEDS(m)                                                                                \
    "GraphKrylovChernoff: m_max is too small for the Lanczos path to reach tol within its work limit; use m_max >= " #m
    QUORVANE_LANCZOS_NEEDS(2),  QUORVANE_LANCZOS_NEEDS(3),  QUORVANE_LANCZOS_NEEDS(4),  QUORVANE_LANCZOS_NEEDS(5),
    QUORVANE_LANCZOS_NEEDS(6),  QUORVANE_LANCZOS_NEEDS(7),  QUORVANE_LANCZOS_NEEDS(8),  QUORVANE_LANCZOS_NEEDS(9),
    QUORVANE_LANCZOS_NEEDS(10), QUORVANE_LANCZOS_NEEDS(11), QUORVANE_LANCZOS_NEEDS(12), QUORVANE_LANCZOS_NEEDS(13),
    QUORVANE_LANCZOS_NEEDS(14), QUORVANE_LANCZOS_NEEDS(15), QUORVANE_LANCZOS_NEEDS(16), QUORVANE_LANCZOS_NEEDS(17),
    QUORVANE_LANCZOS_NEEDS(18),
#undef QUORVANE_LANCZOS_NEEDS
};

// What the theta table's own plan reaches, relative to ||src||: its sizes
// meet the unit roundoff, and measured against exact references its results
// are off by 1e-16 to 2e-16 for tau rho up to some thousands. A capped size
// aims no finer.
constexpr double kLanczosFloor = 0x1p-52;

// The Lanczos (Krylov size, sub-steps) of one call. The theta table's choice
// m* stands when m_max does not cap it, or caps it at n or more (n vectors
// span the whole space: the projection is exact). Otherwise the sub-steps
// are raised, never lowered, until the capped size meets tol, or what m*'s
// plan itself reaches when tol is finer (kLanczosFloor, and m*'s own bound,
// which lies far below it); if no count within the work limit does, the
// refusal names the smallest m_max that meets that target (m* at most, which
// meets it by construction), so a size is never refused in favour of one that
// does no better. A plan of m* beyond the work cap is refused first: no m_max
// serves it, so none is named.
Expected<ExpmvPlan> lanczos_plan(double x, std::size_t m_max, double tol, std::size_t n) {
    const std::optional<ExpmvPlan> plan = expmv_cheapest(x, static_cast<std::uint32_t>(kKrylovMaxDim));
    if (!plan || !lanczos_plan_fits(x, n)) return domain_error(kLanczosBeyondWork, x);
    if (m_max >= plan->m || m_max >= n) {
        return ExpmvPlan{static_cast<std::uint32_t>(std::min<std::size_t>(m_max, plan->m)), plan->s};
    }
    const double target = std::max({tol, kLanczosFloor, lanczos_error_bound(plan->m, x, plan->s)});
    if (auto s = lanczos_capped_substeps(x, m_max, target, plan->s)) {
        return ExpmvPlan{static_cast<std::uint32_t>(m_max), *s};
    }
    std::size_t need = m_max + 1;
    while (need < std::min<std::size_t>(plan->m, n) && !lanczos_capped_substeps(x, need, target, plan->s)) ++need;
    return domain_error(kLanczosNeedsMmax[need], static_cast<double>(need));
}

}  // namespace

bool lanczos_plan_fits(double x, std::size_t n) {
    const std::optional<ExpmvPlan> plan = expmv_cheapest(x, static_cast<std::uint32_t>(kKrylovMaxDim));
    if (!plan) return false;
    return plan->s * std::min<std::uint64_t>(n, plan->m) <= kKrylovMaxProducts;
}

double lanczos_largest_argument(std::size_t n) {
    if (n == 0) return std::numeric_limits<double>::infinity();
    // Far out the full size is the cheapest plan (its theta per product is
    // the table's best): ceil(x / theta_18) sub-steps of min(n, 18)
    // products. The product of the bound and theta rounds: where it lands
    // above the x that fits, settle on that x by bisection.
    constexpr double kTheta18 = kExpmvThetaTable[kKrylovMaxDim - 1].theta;
    const auto per_substep = static_cast<double>(std::min(n, kKrylovMaxDim));
    const double x = std::floor(static_cast<double>(kKrylovMaxProducts) / per_substep) * kTheta18;
    const StepCounts fits = admitted_counts(x, 1, [&](double y) { return lanczos_plan_fits(y, n); });
    return fits.outcome == StepCounts::Outcome::Fits ? x : fits.longest_t;
}

namespace {

// Largest degree of one sub-step's expansion.
constexpr std::size_t kChebyshevMaxDegree = 200;

// The first degree K from 3 whose next coefficient e^{-z} I_{K+1}(z) is at
// most tol / 4 (200 when none below it is). A single sub-step of small z meets
// tol with it, and no degree below it is ever taken.
std::size_t chebyshev_least_degree(double z, double e, double tol) {
    for (std::size_t k = 3; k < kChebyshevMaxDegree; ++k) {
        if (e * bessel_i(k + 1, z) <= tol / 4.0) return k;
    }
    return kChebyshevMaxDegree;
}

// What rounding adds to s sub-steps of argument z, relative to ||src||_2.
// Measured against exact eigen-expansions (path Laplacians of 200 and 1000
// nodes, smooth, slowest-mode and random data, t rho from 10 to 1e6, and
// constants on path, lumped and consistent-mass operators): one sub-step
// leaves up to about 0.6 sqrt(z) 2^-52, and such errors add over the
// sub-steps like a random walk, except in the modes that hardly decay, which
// gain up to about 1.2 2^-52 per further sub-step. With margins of 2.5 and
// 3.3.
double chebyshev_rounding(double z, std::uint64_t s) {
    const double count = static_cast<double>(s);
    return 0x1p-52 * (1.5 * std::sqrt(count * (1.0 + z)) + 4.0 * (count - 1.0));
}

// Refusals of a tol that rounding alone would take more than half of, each
// naming the power of ten the call can meet. Every call that reaches them
// takes its time as t (the action's own tau is that t, or a part of it for
// the gradient quadratures), so the text names t.
constexpr int kRoundingTolLow = -15;
constexpr int kRoundingTolHigh = -6;
constexpr const char* kTolBelowRounding[kRoundingTolHigh - kRoundingTolLow + 1] = {
#define QUORVANE_CHEBYSHEV_TOL(e)                                                                                 \
    "Chebyshev action: tol is below what rounding allows over this t * spectral_bound (the sub-steps' rounding " \
    "errors add up); use tol >= " #e
    QUORVANE_CHEBYSHEV_TOL(1e-15), QUORVANE_CHEBYSHEV_TOL(1e-14), QUORVANE_CHEBYSHEV_TOL(1e-13),
    QUORVANE_CHEBYSHEV_TOL(1e-12), QUORVANE_CHEBYSHEV_TOL(1e-11), QUORVANE_CHEBYSHEV_TOL(1e-10),
    QUORVANE_CHEBYSHEV_TOL(1e-9),  QUORVANE_CHEBYSHEV_TOL(1e-8),  QUORVANE_CHEBYSHEV_TOL(1e-7),
    QUORVANE_CHEBYSHEV_TOL(1e-6),
#undef QUORVANE_CHEBYSHEV_TOL
};

// All coefficients sum to e^{-z} (I_0(z) + 2 sum_k I_k(z)) = 1; the computed
// ones miss that by up to some 20 2^-52 at z near 200 (e^{-z} and the Bessel
// series round alike for every k). On the null space of A each sub-step
// multiplies by their sum, so that error would come back in every sub-step
// and add up over them. Dividing by their computed sum, the far tail
// included down to terms that no longer change it (smallest terms first),
// leaves only the rounding of the sum and of the division.
void normalise_coefficients(std::vector<double>& c, double z, double e) {
    std::vector<double> terms = c;
    while (terms.size() <= 2 * kChebyshevMaxDegree) {
        const double next = 2.0 * e * bessel_i(terms.size(), z);
        if (!(next > 0x1p-60)) break;
        terms.push_back(next);
    }
    double sum = 0.0;
    for (std::size_t k = terms.size(); k-- > 0;) sum += terms[k];
    for (double& ck : c) ck /= sum;
}

// The coefficients c_k = (2 - [k = 0]) e^{-z} I_k(z), k = 0 .. K, of each of
// the s sub-steps of argument z. With X = 2 A / rho - I, whose spectrum lies
// in [-1, 1] where |T_k| <= 1, a sub-step differs from the exact one by at
// most the tail sum_{k > K} c_k times the length of its vector (all of it at
// A's null space, where every T_k(-1) (-1)^k = 1), and is itself a
// contraction (positive coefficients summing to less than 1). The errors of
// the sub-steps therefore add up, each at most that tail times ||src||_2: K
// is the least degree from `least` whose s tails fit into what rounding
// leaves of tol. A call whose rounding alone would take more than half of
// tol is refused, naming the power of ten at or above twice that rounding.
Expected<std::vector<double>> chebyshev_coefficients(double z, double e, std::uint64_t s, double tol,
                                                     std::size_t least) {
    const double rounding = chebyshev_rounding(z, s);
    if (!(rounding <= 0.5 * tol)) {
        const int decade = std::clamp(static_cast<int>(std::ceil(std::log10(2.0 * rounding))), kRoundingTolLow,
                                      kRoundingTolHigh);
        return domain_error(kTolBelowRounding[decade - kRoundingTolLow], 2.0 * rounding);
    }
    const double budget = (tol - rounding) / static_cast<double>(s);
    std::vector<double> c;
    for (std::size_t k = 0; k <= least; ++k) c.push_back((k == 0 ? e : 2.0 * e) * bessel_i(k, z));
    // The tail beyond the degree: the ratio c_{k+1} / c_k falls as k grows
    // (that of Bessel functions does), so from the coefficient after the
    // degree on the tail is at most that coefficient over 1 minus its ratio
    // to the one before. For z <= 200 the tail at degree 200 is below 1e-42,
    // far below any budget a call that passed the rounding test has: the
    // loop ends before the cap.
    while (c.size() <= kChebyshevMaxDegree) {
        const double next = 2.0 * e * bessel_i(c.size(), z);
        if (next == 0.0) break;
        const double ratio = next / c.back();
        if (ratio < 1.0 && next / (1.0 - ratio) <= budget) break;
        c.push_back(next);
    }
    if (s > 1) normalise_coefficients(c, z, e);
    return c;
}

// e^{-tau A} for a spectrum in [0, rho] as s sub-steps, each the expansion
// with the coefficients coef; s = 0 where tau rho / 2 < 1e-300, A = 0 on the
// scale of a double (an edgeless graph included, where the scale 2/rho is
// infinite), and the action is the identity.
struct ChebyshevPlan {
    std::uint64_t s = 0;
    std::vector<double> coef;
};

Expected<ChebyshevPlan> chebyshev_plan(double tau, double rho, double tol) {
    const double z_total = 0.5 * tau * rho;
    if (z_total < 1e-300) return ChebyshevPlan{};
    // tau rho beyond the double range is the same refusal of a finite input
    // (the largest double as its value, which no reader takes for a NaN or
    // an infinity).
    if (!std::isfinite(z_total)) return domain_error(kChebyshevBeyondWork, std::numeric_limits<double>::max());
    std::uint64_t s = 1;
    if (z_total > 200.0) s = saturating_cast<std::uint32_t>(std::ceil(z_total / 200.0));
    const double z = rho * (tau / static_cast<double>(s)) * 0.5;
    const double e = std::exp(-z);
    const std::size_t least = chebyshev_least_degree(z, e, tol);
    if (s * least > kKrylovMaxProducts) return domain_error(kChebyshevBeyondWork, tau * rho);
    Expected<std::vector<double>> planned = chebyshev_coefficients(z, e, s, tol, least);
    if (!planned) return fail(planned.error());
    if (s * (planned->size() - 1) > kKrylovMaxProducts) return domain_error(kChebyshevBeyondWork, tau * rho);
    return ChebyshevPlan{s, std::move(*planned)};
}

}  // namespace

bool chebyshev_plan_fits(double tau, double rho, double tol) {
    return std::isfinite(tol) && tol > 0.0 && chebyshev_plan(tau, rho, tol).has_value();
}

Status chebyshev_expmv(const SpdOperator& op, double tau, double tol, std::span<const double> src,
                       std::span<double> out, ScratchPool<double>& pool) {
    const std::size_t n = src.size();
    const double rho = op.spectral_bound();
    const double z_total = 0.5 * tau * rho;
    Expected<ChebyshevPlan> plan = chebyshev_plan(tau, rho, tol);
    if (!plan) return fail(plan.error());
    if (plan->s == 0) {
        std::copy(src.begin(), src.end(), out.begin());
        return {};
    }
    const std::uint64_t s = plan->s;
    const std::vector<double>& coef = plan->coef;
    const std::size_t degree = coef.size() - 1;

    std::vector<double> u = pool.take(n);
    std::vector<double> y = pool.take(n);
    std::vector<double> t0 = pool.take(n);
    std::vector<double> t1 = pool.take(n);
    std::vector<double> w = pool.take(n);
    std::copy(src.begin(), src.end(), u.begin());
    // A subnormal rho (below 4 / DBL_MAX) leaves 4 / rho infinite: the
    // products are then taken times 2^64 and the scales divided by it, both
    // exact; otherwise lift = 1 and no product is touched.
    const double lift = std::isfinite(4.0 / rho) ? 1.0 : 0x1p64;
    const double two_over = 2.0 / (rho * lift);
    const double four_over = 4.0 / (rho * lift);
    const auto lifted_apply = [&](std::span<const double> x) {
        op.apply(x, w);
        if (lift != 1.0) {
            for (double& v : w) v *= lift;
        }
    };
    // The coefficients are positive and sum to at most 1, and the variable
    // x = 2 lambda / rho - 1 of a spectrum in [0, rho] stays in [-1, 1] where
    // |T_k(x)| <= 1: no sub-step can lengthen the vector, and a vector grown
    // past twice its length (a margin far above rounding) shows a spectrum
    // outside, before it can overflow. Within one sub-step, even a spectrum
    // in [-rho, rho] (the bound's own promise: x in [-3, 1]) keeps every
    // intermediate below `reach` times the length, and every product below
    // rho times that. u is carried scaled by a power of two (u = 2^carried
    // times the true vector) so that neither its entries nor the products
    // underflow or overflow; a non-finite value from a vector whose reach
    // stays below DBL_MAX is then a fault of the library, and otherwise the
    // growth of a spectrum outside [0, rho].
    double norm0 = norm2_scaled(src);
    const double reach = 2.0 * 7.0 * std::cosh(static_cast<double>(degree) * std::acosh(3.0));
    int carried = 0;
    Status st;
    for (std::uint64_t sub = 0; sub < s && st; ++sub) {
        if (st = poll_stop(); !st) break;
        if (const int shift = chebyshev_carry_shift(u, rho); shift != 0) {
            for (std::size_t i = 0; i < n; ++i) u[i] = std::ldexp(u[i], shift);
            norm0 = std::ldexp(norm0, shift);
            carried += shift;
        }
        for (std::size_t i = 0; i < n; ++i) {
            t0[i] = u[i];
            y[i] = coef[0] * u[i];
        }
        lifted_apply(u);
        for (std::size_t i = 0; i < n; ++i) {
            t1[i] = two_over * w[i] - u[i];
            y[i] = y[i] - coef[1] * t1[i];
        }
        // Up to 200 products per sub-step: a costly operator (a dense mass
        // solve) makes that seconds, so the poll is per product.
        for (std::size_t k = 2; k <= degree; ++k) {
            if (st = poll_stop(); !st) break;
            lifted_apply(t1);
            // T_k overwrites T_{k-2}.
            for (std::size_t i = 0; i < n; ++i) t0[i] = (four_over * w[i] - 2.0 * t1[i]) - t0[i];
            if (k % 2 == 1) {
                for (std::size_t i = 0; i < n; ++i) y[i] = y[i] - coef[k] * t0[i];
            } else {
                for (std::size_t i = 0; i < n; ++i) y[i] = y[i] + coef[k] * t0[i];
            }
            std::swap(t0, t1);
        }
        if (!st) break;
        if (const double* bad = first_non_finite<double>(y)) {
            const bool may_overflow = !(norm0 * std::max(1.0, rho) < std::numeric_limits<double>::max() / reach);
            st = may_overflow ? domain_error(kSpectrumOutside, *bad)
                              : domain_error("Chebyshev step: non-finite output (NaN/Inf) \u2014 this is a quorvane "
                                             "bug; please report with z_total",
                                             z_total);
            break;
        }
        if (const double len = norm2_scaled(y); !(len <= 2.0 * norm0)) {
            st = domain_error(kSpectrumOutside, len / norm0);
            break;
        }
        std::swap(u, y);
    }
    if (st && carried != 0) {
        // Scaled back: a finite action of finite data can still leave the
        // doubles (e^{-tau A} may lengthen the largest entry).
        for (std::size_t i = 0; i < n; ++i) u[i] = std::ldexp(u[i], -carried);
        if (const double* bad = first_non_finite<double>(u)) st = domain_error(kResultOverflow, *bad);
    }
    if (st) std::copy(u.begin(), u.end(), out.begin());
    for (auto* v : {&u, &y, &t0, &t1, &w}) pool.give_back(std::move(*v));
    return st;
}

Status lanczos_expmv(const SpdOperator& op, double tau, std::size_t m_max, double tol, std::span<const double> src,
                     std::span<double> out, ScratchPool<double>& pool) {
    const std::size_t n = src.size();
    const double rho = op.spectral_bound();
    const double x = tau * rho;
    if (0.5 * x < 1e-300) {
        std::copy(src.begin(), src.end(), out.begin());
        return {};
    }
    const Expected<ExpmvPlan> plan = lanczos_plan(x, m_max, tol, n);
    if (!plan) return fail(plan.error());
    const std::size_t m = plan->m;
    const std::uint64_t s = plan->s;
    const std::size_t k_cap = std::min({n, m, kKrylovMaxDim});
    if (s * k_cap > kKrylovMaxProducts) return domain_error(kChebyshevBeyondWork, x);
    // A residual this small relative to ||L|| means the Krylov space is
    // invariant: relative, so that scaling L and t inversely gives the same
    // answer.
    const double breakdown = 1e-14 * rho;
    const double dt = tau / static_cast<double>(s);

    std::vector<double> w = pool.take(n);
    std::vector<double> res = pool.take(n);
    std::copy(src.begin(), src.end(), w.begin());
    Status st;
    for (std::uint64_t sub = 0; sub < s && n > 0; ++sub) {
        if (st = poll_stop(); !st) break;
        const double beta = norm2_scaled(w);
        // Finite entries whose norm overflows (up to sqrt(n) times the
        // largest) are lowered below; a non-finite entry is an overflowed
        // sub-step: reported rather than continued from a zero or NaN vector.
        const bool norm_overflows = std::isinf(beta) && first_non_finite<double>(w) == nullptr;
        if (!std::isfinite(beta) && !norm_overflows) {
            st = domain_error("GraphKrylovChernoff: Lanczos vector norm is not finite", beta);
            break;
        }
        if (beta == 0.0) {
            std::fill(res.begin(), res.end(), 0.0);
            std::swap(w, res);
            continue;
        }
        std::vector<double> basis = pool.take(k_cap * n);
        std::vector<double> q_prev = pool.take(n);
        std::vector<double> q = pool.take(n);
        std::vector<double> r = pool.take(n);
        std::array<double, kKrylovMaxDim> alpha{};
        std::array<double, kKrylovMaxDim> beta_off{};
        // A vector of subnormal length is lifted by an exact power of two
        // first, one whose length overflows lowered: its own norm is then
        // finite and normal, and 1 / norm finite; the result is scaled back at
        // the end. lift = 1 changes no bit.
        const double lift = beta < std::numeric_limits<double>::min() ? 0x1p600 : norm_overflows ? 0x1p-600 : 1.0;
        for (std::size_t i = 0; i < n; ++i) q[i] = w[i] * lift;
        const double beta_lifted = lift == 1.0 ? beta : norm2_scaled(q);
        const double inv_beta = 1.0 / beta_lifted;
        for (std::size_t i = 0; i < n; ++i) q[i] *= inv_beta;
        std::copy(q.begin(), q.end(), basis.begin());
        std::size_t k = k_cap;
        // Up to 18 products per sub-step: with a costly operator (a dense
        // mass solve, tens of milliseconds a product at n of some thousands)
        // a sub-step lasts up to a second, so the poll is per product, as in
        // the Chebyshev recurrence.
        for (std::size_t j = 0; j < k_cap; ++j) {
            if (st = poll_stop(); !st) break;
            op.apply(q, r);
            double a = 0.0;
            for (std::size_t i = 0; i < n; ++i) a += q[i] * r[i];
            alpha[j] = a;
            for (std::size_t i = 0; i < n; ++i) r[i] = (r[i] - a * q[i]) - beta_off[j] * q_prev[i];
            const double b = norm2(r);
            if (b <= breakdown) {
                k = j + 1;
                break;
            }
            // The coupling past the last basis vector is never used.
            if (j + 1 == k_cap) break;
            beta_off[j + 1] = b;
            const double inv_b = 1.0 / b;
            for (std::size_t i = 0; i < n; ++i) r[i] *= inv_b;
            std::copy(r.begin(), r.end(), basis.begin() + static_cast<std::ptrdiff_t>((j + 1) * n));
            std::swap(q_prev, q);
            std::swap(q, r);
        }
        if (st) {
            auto e = expm_pade13(dt, alpha, beta_off, k);
            if (e) {
                std::fill(res.begin(), res.end(), 0.0);
                for (std::size_t j = 0; j < k; ++j) {
                    const double c = (*e)[j][0];
                    const double* v = basis.data() + j * n;
                    for (std::size_t i = 0; i < n; ++i) res[i] += c * v[i];
                }
                for (std::size_t i = 0; i < n; ++i) res[i] = (res[i] * beta_lifted) / lift;
                std::swap(w, res);
            } else {
                st = fail(e.error());
            }
        }
        for (auto* v : {&basis, &q_prev, &q, &r}) pool.give_back(std::move(*v));
        if (!st) break;
    }
    // Data near the double maximum can carry a finite action past it; the
    // next sub-step's norm would catch it, but the last one has no next.
    if (st) {
        if (const double* bad = first_non_finite<double>(w)) st = domain_error(kResultOverflow, *bad);
    }
    if (st) std::copy(w.begin(), w.end(), out.begin());
    pool.give_back(std::move(w));
    pool.give_back(std::move(res));
    return st;
}

// ---------------------------------------------------------------------------
// The operator
// ---------------------------------------------------------------------------

Status check_krylov_settings(const KrylovPath& path, double tol) {
    if (!std::isfinite(tol) || !(tol > 0.0)) return domain_error("GraphKrylovChernoff: tol must be finite and positive", tol);
    if (path.kind == KrylovPath::Kind::Lanczos && path.m_max == 0) {
        return domain_error("GraphKrylovChernoff: m_max must be >= 1 for the Lanczos path", 0.0);
    }
    return {};
}

Expected<GraphKrylovChernoff> GraphKrylovChernoff::make(KrylovPath path, SharedLaplacian laplacian, double tol) {
    if (Status st = check_krylov_settings(path, tol); !st) return fail(st.error());
    const double bound = laplacian->spectral_bound;
    return GraphKrylovChernoff{path, std::move(laplacian), bound, tol};
}

namespace {

Status run_path(const SpdOperator& op, const KrylovPath& path, double tol, double tau, std::span<const double> src,
                std::span<double> dst, ScratchPool<double>& pool) {
    switch (path.kind) {
        case KrylovPath::Kind::Chebyshev: return chebyshev_expmv(op, tau, tol, src, dst, pool);
        case KrylovPath::Kind::Lanczos: return lanczos_expmv(op, tau, path.m_max, tol, src, dst, pool);
        case KrylovPath::Kind::Implicit:
            return implicit_euler_action(op, src, dst, path.n_steps, tau, tol, path.cg_max_iter, pool);
    }
    internal_fault("krylov_path_action: unknown path");
}

}  // namespace

Status krylov_path_action(const SpdOperator& op, const KrylovPath& path, double tol, double tau,
                          std::span<const double> src, std::span<double> dst, ScratchPool<double>& pool) {
    if (Status st = check_krylov_settings(path, tol); !st) return st;
    if (const double* bad = first_non_finite<double>(src)) return domain_error(kNonFiniteInput, *bad);
    // Each path refuses a non-finite result itself and writes dst only on
    // success, after it has read src.
    return run_path(op, path, tol, tau, src, dst, pool);
}

Status GraphKrylovChernoff::apply_into(double tau, std::span<const double> src, std::span<double> dst,
                                       ScratchPool<double>& pool) const {
    if (!finite_nonneg(tau)) return domain_error("GraphKrylovChernoff: tau must be finite and non-negative", tau);
    const std::size_t n = src.size();
    const LaplacianOperator op(*laplacian);
    std::vector<double> out = pool.take(n);
    const Status st = krylov_path_action(op, path, tol, tau, src, out, pool);
    if (st) {
        std::fill(dst.begin(), dst.end(), 0.0);
        std::copy_n(out.begin(), std::min(dst.size(), n), dst.begin());
    }
    pool.give_back(std::move(out));
    return st;
}

}  // namespace quorvane
