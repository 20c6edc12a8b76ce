#include "core/foundation/gen_quadrature.hpp"

#include <cmath>

#include "core/foundation/numeric.hpp"

namespace quorvane {

namespace {

constexpr int kMaxSweeps = 30;

// Positive half of the 32-point Gauss-Hermite rule (roots of H_32 and their
// weights, correctly rounded), innermost first.
constexpr double kHermite32Nodes[16] = {
    0.19484074156939932, 0.5849787654359324, 0.9765004635896828, 1.3703764109528718,
    1.7676541094632017,  2.169499183606112,  2.5772495377323175, 2.992490825002374,
    3.417167492818571,   3.853755485471445,  4.305547953351199,  4.777164503502596,
    5.2755509865158805,  5.812225949515914,  6.409498149269661,  7.125813909830727,
};
constexpr double kHermite32Weights[16] = {
    0.3752383525928024,    0.2774581423025299,     0.1512697340766425,    0.06045813095591261,
    0.01755342883157343,   0.003654890326654428,   0.000536268365527972,  5.4165840618199826e-05,
    3.650585129562376e-06, 1.574167792545594e-07,  4.098832164770897e-09, 5.933291463396639e-11,
    4.2150102113264474e-13, 1.1973440170928487e-15, 9.231736536518292e-19, 7.310676427384163e-23,
};

// The Gauss-Hermite ladder: 1, 3, 5, 7 and 9 points, ascending, 15 decimals.
constexpr double kLadder1Nodes[1] = {0.0};
constexpr double kLadder1Weights[1] = {1.772453850905516};
constexpr double kLadder3Nodes[3] = {-1.224744871391589, 0.0, 1.224744871391589};
constexpr double kLadder3Weights[3] = {0.295408975150919, 1.181635900603677, 0.295408975150919};
constexpr double kLadder5Nodes[5] = {-2.020182870456086, -0.958572464613819, 0.0, 0.958572464613819,
                                     2.020182870456086};
constexpr double kLadder5Weights[5] = {0.019953242059046, 0.393619323152241, 0.945308720482942, 0.393619323152241,
                                       0.019953242059046};
constexpr double kLadder7Nodes[7] = {-2.651961356835233, -1.673551628767471, -0.816287882858965, 0.0,
                                     0.816287882858965,  1.673551628767471,  2.651961356835233};
constexpr double kLadder7Weights[7] = {0.000971781245100, 0.054515582819127, 0.425607252610128, 0.810264617556807,
                                       0.425607252610128, 0.054515582819127, 0.000971781245100};
constexpr double kLadder9Nodes[9] = {-3.190993201781528, -2.266580584531843, -1.468553289216668, -0.723551018752838,
                                     0.0,
                                     0.723551018752838,  1.468553289216668,  2.266580584531843,  3.190993201781528};
constexpr double kLadder9Weights[9] = {0.000039606977263, 0.004943624275537, 0.088474527394377, 0.432651559002556,
                                       0.720235215606051,
                                       0.432651559002556, 0.088474527394377, 0.004943624275537, 0.000039606977263};

}  // namespace

std::optional<TridiagonalEigen> symmetric_tridiagonal_eigen(
    const std::array<double, kMaxQuadratureNodes>& diagonal,
    const std::array<double, kMaxQuadratureNodes>& off_diagonal, std::size_t n) {
    if (n > kMaxQuadratureNodes) internal_fault("symmetric_tridiagonal_eigen: n must be <= 32");
    std::array<double, kMaxQuadratureNodes> d = diagonal;
    std::array<double, kMaxQuadratureNodes> e{};
    for (std::size_t j = 0; j + 1 < n; ++j) e[j] = off_diagonal[j];
    // Only the first row of the eigenvector matrix is tracked: Golub-Welsch
    // weights need nothing else.
    std::array<double, kMaxQuadratureNodes> z{};
    z[0] = 1.0;

    const int nn = static_cast<int>(n);
    for (int l = 0; l < nn; ++l) {
        int iter = 0;
        for (;;) {
            // A negligible off-diagonal entry splits the matrix at m.
            int m = l;
            for (; m <= nn - 2; ++m) {
                const double dd = std::fabs(d[m]) + std::fabs(d[m + 1]);
                if (std::fabs(e[m]) + dd == dd) break;
            }
            if (m == l) break;
            if (iter == kMaxSweeps) return std::nullopt;
            ++iter;
            // Wilkinson-type shift from the leading 2x2 block.
            double g = (d[l + 1] - d[l]) / (e[l] + e[l]);
            double r = std::sqrt(g * g + 1.0);
            g = d[m] - d[l] + e[l] / (g + (g < 0.0 ? -r : r));
            double s = 1.0, c = 1.0, p = 0.0;
            bool deflated = false;
            for (int i = m - 1; i >= l; --i) {
                const double f = s * e[i];
                const double b = c * e[i];
                const double rr = g * g + f * f;
                r = std::sqrt(rr);
                e[i + 1] = r;
                if (rr == 0.0) {
                    // Underflow of the rotation: the entry below is already
                    // decoupled; restart the split search.
                    d[i + 1] = d[i + 1] - p;
                    e[m] = 0.0;
                    deflated = true;
                    break;
                }
                s = f / r;
                c = g / r;
                g = d[i + 1] - p;
                r = b * (c + c) + (d[i] - g) * s;
                p = s * r;
                d[i + 1] = g + p;
                g = c * r - b;
                const double zi = z[i], zi1 = z[i + 1];
                z[i] = c * zi - s * zi1;
                z[i + 1] = c * zi1 + s * zi;
            }
            if (deflated) continue;
            d[l] = d[l] - p;
            e[l] = g;
            e[m] = 0.0;
        }
    }
    // Insertion sort, stable for equal eigenvalues.
    for (int k = 1; k < nn; ++k) {
        const double dk = d[k], zk = z[k];
        int j = k;
        while (j > 0 && d[j - 1] > dk) {
            d[j] = d[j - 1];
            z[j] = z[j - 1];
            --j;
        }
        d[j] = dk;
        z[j] = zk;
    }
    TridiagonalEigen out;
    out.values = d;
    out.first_components = z;
    return out;
}

Expected<QuadratureRule> gauss_legendre_rule(std::size_t n, double a, double b) {
    if (n < 1 || n > kMaxQuadratureNodes) {
        return domain_error("gauss_legendre_rule: n must be in 1..=32", static_cast<double>(n));
    }
    if (!std::isfinite(a)) return domain_error("gauss_legendre_rule: a and b must be finite", a);
    if (!std::isfinite(b)) return domain_error("gauss_legendre_rule: a and b must be finite", b);
    // Jacobi matrix of the Legendre polynomials: zero diagonal, off-diagonal
    // k / sqrt(4k^2 - 1).
    std::array<double, kMaxQuadratureNodes> diag{};
    std::array<double, kMaxQuadratureNodes> off{};
    for (std::size_t k = 1; k < n; ++k) {
        const double kd = static_cast<double>(k);
        off[k - 1] = kd / std::sqrt(4.0 * kd * kd - 1.0);
    }
    QuadratureRule rule;
    rule.nodes.resize(n);
    rule.weights.resize(n);
    if (const std::optional<TridiagonalEigen> eig = symmetric_tridiagonal_eigen(diag, off, n)) {
        // The Legendre weight has mass 2 on [-1, 1]; mapped to [a, b] the
        // weights are (b - a) z_k^2.
        const double half = (b - a) * 0.5;
        const double mid = (a + b) * 0.5;
        for (std::size_t k = 0; k < n; ++k) {
            const double zk = eig->first_components[k];
            rule.nodes[k] = mid + half * eig->values[k];
            rule.weights[k] = zk * ((half + half) * zk);
        }
    } else {
        const double h = (b - a) / static_cast<double>(n);
        for (std::size_t k = 0; k < n; ++k) {
            rule.nodes[k] = a + h * (static_cast<double>(k) + 0.5);
            rule.weights[k] = h;
        }
    }
    return rule;
}

Expected<QuadratureRule> gamma_weighted_gauss_rule(std::size_t n, double alpha) {
    if (n < 1 || n > kMaxQuadratureNodes) {
        return domain_error("gamma_weighted_gauss_rule: n must be in 1..=32", static_cast<double>(n));
    }
    // x^alpha e^-x is integrable only for alpha > -1; a NaN alpha would
    // otherwise defeat every convergence test and return the alpha = 0
    // table as if it were the rule.
    if (!(std::isfinite(alpha) && alpha > -1.0)) {
        return domain_error("gamma_weighted_gauss_rule: alpha must be finite and > -1", alpha);
    }
    // Mass of the weight.
    const double mu0 = std::tgamma(alpha + 1.0);
    if (!std::isfinite(mu0)) {
        return domain_error("gamma_weighted_gauss_rule: Gamma(alpha + 1) must be finite", alpha);
    }
    // Jacobi matrix of the generalised Laguerre polynomials: diagonal
    // alpha + 2k + 1, off-diagonal sqrt(k (alpha + k)).
    std::array<double, kMaxQuadratureNodes> diag{};
    std::array<double, kMaxQuadratureNodes> off{};
    for (std::size_t k = 0; k < n; ++k) diag[k] = (alpha + 2.0 * static_cast<double>(k)) + 1.0;
    for (std::size_t k = 1; k < n; ++k) {
        const double kd = static_cast<double>(k);
        off[k - 1] = std::sqrt(max_ignore_nan((alpha + kd) * kd, 0.0));
    }
    QuadratureRule rule;
    rule.nodes.resize(n);
    rule.weights.resize(n);
    if (const std::optional<TridiagonalEigen> eig = symmetric_tridiagonal_eigen(diag, off, n)) {
        for (std::size_t k = 0; k < n; ++k) {
            const double zk = eig->first_components[k];
            rule.nodes[k] = eig->values[k];
            rule.weights[k] = zk * (mu0 * zk);
        }
    } else {
        for (std::size_t k = 0; k < n; ++k) {
            rule.nodes[k] = kLaguerre32Nodes[k];
            rule.weights[k] = kLaguerre32Weights[k];
        }
    }
    return rule;
}

const GaussHermite32& gauss_hermite_32() {
    static const GaussHermite32 rule = [] {
        GaussHermite32 r;
        for (std::size_t k = 0; k < 16; ++k) {
            r.nodes[15 - k] = -kHermite32Nodes[k];
            r.weights[15 - k] = kHermite32Weights[k];
            r.nodes[16 + k] = kHermite32Nodes[k];
            r.weights[16 + k] = kHermite32Weights[k];
        }
        return r;
    }();
    return rule;
}

Expected<GaussHermiteRung> gauss_hermite_ladder(std::size_t level) {
    switch (level) {
        case 1: return GaussHermiteRung{kLadder1Nodes, kLadder1Weights};
        case 2: return GaussHermiteRung{kLadder3Nodes, kLadder3Weights};
        case 3: return GaussHermiteRung{kLadder5Nodes, kLadder5Weights};
        case 4: return GaussHermiteRung{kLadder7Nodes, kLadder7Weights};
        case 5: return GaussHermiteRung{kLadder9Nodes, kLadder9Weights};
        default: break;
    }
    return domain_error("gauss_hermite_ladder: level must be in 1..=5", static_cast<double>(level));
}

}  // namespace quorvane
