// Eigenvalues of nonsymmetric matrices whose spectra are known in closed form:
// circulants, orthogonal similarities of block triangular matrices (real and
// conjugate pairs, repeated and defective ones), the cyclic shift that plain
// shifts cannot move, rows scaled by 2^+-60, and a central drift vanishing at
// nodes (traces); eigenvectors by their residual.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "core/foundation/dense_eigenvalues.hpp"

namespace quorvane {
namespace {

using C = std::complex<double>;
using Matrix = std::vector<double>;

// Every expected eigenvalue has its own computed one within tol (a greedy
// matching, fine at these separations).
void expect_spectrum(const std::vector<C>& got, std::vector<C> want, double tol) {
    ASSERT_EQ(got.size(), want.size());
    for (const C& z : got) {
        auto near = std::min_element(want.begin(), want.end(),
                                     [&](const C& p, const C& q) { return std::abs(p - z) < std::abs(q - z); });
        ASSERT_NE(near, want.end());
        EXPECT_LE(std::abs(*near - z), tol) << z;
        want.erase(near);
    }
}

double inf_norm(const Matrix& a, std::size_t n) {
    double out = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double row = 0.0;
        for (std::size_t j = 0; j < n; ++j) row += std::abs(a[i * n + j]);
        out = std::max(out, row);
    }
    return out;
}

// Q T Q with Q = I - 2 w w^T/|w|^2 (orthogonal and its own inverse).
Matrix reflect(const Matrix& t, std::size_t n, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal;
    std::vector<double> w(n);
    double ww = 0.0;
    for (double& x : w) {
        x = normal(gen);
        ww += x * x;
    }
    Matrix q(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) q[i * n + j] = (i == j ? 1.0 : 0.0) - 2.0 * w[i] * w[j] / ww;
    }
    Matrix qt(n * n, 0.0), out(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < n; ++k) {
            for (std::size_t j = 0; j < n; ++j) qt[i * n + j] += q[i * n + k] * t[k * n + j];
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < n; ++k) {
            for (std::size_t j = 0; j < n; ++j) out[i * n + j] += qt[i * n + k] * q[k * n + j];
        }
    }
    return out;
}

// Block upper triangular T: 2 x 2 blocks [[re, im], [-im, re]] for the pairs
// re +- i im, 1 x 1 blocks for the real ones, random entries above.
Matrix block_triangular(const std::vector<C>& pairs, const std::vector<double>& reals, std::uint64_t seed,
                        std::size_t& n) {
    n = 2 * pairs.size() + reals.size();
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    Matrix t(n * n, 0.0);
    std::size_t k = 0;
    for (const C& p : pairs) {
        t[k * n + k] = p.real();
        t[k * n + k + 1] = p.imag();
        t[(k + 1) * n + k] = -p.imag();
        t[(k + 1) * n + k + 1] = p.real();
        for (std::size_t j = k + 2; j < n; ++j) {
            t[k * n + j] = unit(gen);
            t[(k + 1) * n + j] = unit(gen);
        }
        k += 2;
    }
    for (double r : reals) {
        t[k * n + k] = r;
        for (std::size_t j = k + 1; j < n; ++j) t[k * n + j] = unit(gen);
        ++k;
    }
    return t;
}

std::vector<C> with_conjugates(const std::vector<C>& pairs, const std::vector<double>& reals) {
    std::vector<C> out;
    for (const C& p : pairs) {
        out.push_back(p);
        out.push_back(std::conj(p));
    }
    for (double r : reals) out.emplace_back(r, 0.0);
    return out;
}

constexpr double kEps = std::numeric_limits<double>::epsilon();

TEST(DenseEigenvalues, PeriodicTridiagonalCirculantsHaveTheirSymbol) {
    // d + s e^{-i theta_k} + p e^{i theta_k}: the spectra the central drift
    // makes, complex, and real where s = p.
    for (std::size_t n : {3u, 7u, 16u, 33u, 64u}) {
        for (auto [s, d, p] : {std::array{1.3, -2.0, 0.7}, std::array{-4.0, 0.5, 4.0}, std::array{1.0, -2.0, 1.0}}) {
            Matrix a(n * n, 0.0);
            std::vector<C> want;
            for (std::size_t i = 0; i < n; ++i) {
                a[i * n + (i + n - 1) % n] += s;
                a[i * n + i] += d;
                a[i * n + (i + 1) % n] += p;
                const double theta = 2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n);
                want.push_back(d + s * std::polar(1.0, -theta) + p * std::polar(1.0, theta));
            }
            const auto got = dense_eigenvalues(a, n);
            ASSERT_TRUE(got);
            // Normal matrices: backward error n eps |a| moves each eigenvalue that much.
            expect_spectrum(*got, want, 64.0 * static_cast<double>(n) * kEps * inf_norm(a, n));
        }
    }
}

TEST(DenseEigenvalues, OrthogonalSimilaritiesKeepPairsRealsAndRepeatedOnes) {
    struct Case {
        std::vector<C> pairs;
        std::vector<double> reals;
        double tol;
    };
    const std::vector<Case> cases = {
        {{{-1.0, 2.0}, {0.5, 0.25}, {3.0, 7.0}}, {-5.0, 0.0, 2.5, 2.5001}, 1e-9},
        {{}, {1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0}, 1e-9},
        {{{0.0, 1.0}, {0.0, 2.0}, {0.0, 3.0}}, {0.0}, 1e-9},
        // Repeated purely imaginary pairs coupled above the diagonal (a
        // defective double pair): their zero diagonals deflate only by the
        // normwise test. A double eigenvalue is found to about sqrt(eps).
        {{{0.0, 0.5}, {0.0, 0.5}, {0.0, 0.5}}, {}, 1e-4},
        {{{0.0, 1.0}, {0.0, 1.0}}, {0.0, 0.0}, 1e-4},
    };
    std::uint64_t seed = 1;
    for (const Case& c : cases) {
        std::size_t n = 0;
        const Matrix t = block_triangular(c.pairs, c.reals, seed, n);
        const Matrix a = reflect(t, n, seed + 100);
        ++seed;
        const auto got = dense_eigenvalues(a, n);
        ASSERT_TRUE(got);
        expect_spectrum(*got, with_conjugates(c.pairs, c.reals), c.tol);
    }
}

TEST(DenseEigenvalues, CyclicShiftAndScaledRowsConverge) {
    // The cyclic shift: every eigenvalue on the unit circle, where standard
    // shifts leave the QR step an orthogonal similarity that changes nothing.
    for (std::size_t n : {2u, 5u, 12u, 40u}) {
        Matrix a(n * n, 0.0);
        std::vector<C> want;
        for (std::size_t i = 0; i < n; ++i) {
            a[i * n + (i + 1) % n] = 1.0;
            want.push_back(std::polar(1.0, 2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n)));
        }
        const auto got = dense_eigenvalues(a, n);
        ASSERT_TRUE(got);
        expect_spectrum(*got, want, 1e-12);
    }
    // D A D^-1 with D = diag(2^{+-60}) has A's spectrum; balancing undoes D.
    std::size_t n = 0;
    const Matrix t = block_triangular({{-1.0, 3.0}}, {2.0, -0.5, 4.0}, 9, n);
    const Matrix a = reflect(t, n, 19);
    Matrix scaled = a;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const int ei = (i % 2 == 0) ? 60 : -60, ej = (j % 2 == 0) ? 60 : -60;
            scaled[i * n + j] = std::ldexp(a[i * n + j], ei - ej);
        }
    }
    const auto got = dense_eigenvalues(scaled, n);
    ASSERT_TRUE(got);
    expect_spectrum(*got, with_conjugates({{-1.0, 3.0}}, {2.0, -0.5, 4.0}), 1e-9);
}

TEST(DenseEigenvalues, CentralDriftVanishingAtNodesConverges) {
    // The three-point operator of 1e-20 u'' + 0.3 sin(2 pi x) u' at x = i/14:
    // b vanishes at nodes 0 and 7, the spectrum is imaginary pairs, repeated,
    // and a defective 0, whose zero diagonals stall a deflation that looks at
    // the diagonal neighbours alone. Its traces check the eigenvalues found.
    // The bits of b, as NumPy samples them, are the ones that stalled.
    const std::vector<double> bs = {
        0x0.0p+0, 0x1.0a9402e77670dp-3, 0x1.e05b7593a3df3p-3, 0x1.2b7f736688c0cp-2, 0x1.2b7f736688c0cp-2,
        0x1.e05b7593a3df4p-3, 0x1.0a9402e77670ep-3, 0x1.52dc7707ed4d5p-55, -0x1.0a9402e77670cp-3,
        -0x1.e05b7593a3df2p-3, -0x1.2b7f736688c0cp-2, -0x1.2b7f736688c0cp-2, -0x1.e05b7593a3df4p-3,
        -0x1.0a9402e776710p-3};
    const std::size_t n = bs.size();
    const double h = 1.0 / 13.0, a = 1e-20;
    Matrix m(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double b = bs[i];
        m[i * n + (i + n - 1) % n] = a / (h * h) - b / (2.0 * h);
        m[i * n + i] = -(a + a) / (h * h);
        m[i * n + (i + 1) % n] = a / (h * h) + b / (2.0 * h);
    }
    const auto got = dense_eigenvalues(m, n);
    ASSERT_TRUE(got);
    C sum = 0.0, squares = 0.0;
    double top = -1.0;
    for (const C& z : *got) {
        sum += z;
        squares += z * z;
        top = std::max(top, z.real());
    }
    double trace = 0.0, trace_sq = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        trace += m[i * n + i];
        for (std::size_t k = 0; k < n; ++k) trace_sq += m[i * n + k] * m[k * n + i];
    }
    const double norm = inf_norm(m, n);
    EXPECT_LE(std::abs(sum - trace), 1e-12 * norm);
    EXPECT_LE(std::abs(squares - trace_sq), 1e-12 * norm * norm);
    // The defective 0 splits by about sqrt(eps) |m|, no more.
    EXPECT_LE(top, 1e-7 * norm);
}

TEST(DenseEigenvalues, EdgeSizesAndNonFiniteEntries) {
    EXPECT_TRUE(dense_eigenvalues({}, 0).value().empty());
    expect_spectrum(dense_eigenvalues({-3.5}, 1).value(), {-3.5}, 0.0);
    expect_spectrum(dense_eigenvalues({0.0, 0.0, 0.0, 0.0}, 2).value(), {0.0, 0.0}, 0.0);
    expect_spectrum(dense_eigenvalues({1.0, 2.0, -3.0, 1.0}, 2).value(), {C(1.0, std::sqrt(6.0)), C(1.0, -std::sqrt(6.0))},
                    1e-14);
    // Entries near the overflow threshold: the spectrum scales with them.
    expect_spectrum(dense_eigenvalues({1e307, 0.0, 1e307, -1e307}, 2).value(), {1e307, -1e307}, 1e292);
    EXPECT_FALSE(dense_eigenvalues({1.0, std::nan(""), 0.0, 1.0}, 2));
    EXPECT_FALSE(dense_eigenvalues({1.0, std::numeric_limits<double>::infinity(), 0.0, 1.0}, 2));
    EXPECT_FALSE(dense_eigenvalues({1.0, 2.0, 3.0}, 2));
}

TEST(DenseEigenvalues, EigenvectorsSolveTheirEquation) {
    std::size_t n = 0;
    const Matrix t = block_triangular({{0.5, 2.0}, {-1.0, 0.3}}, {3.0, -2.0, 0.0}, 4, n);
    const Matrix a = reflect(t, n, 14);
    const auto eig = dense_eigenvalues(a, n);
    ASSERT_TRUE(eig);
    for (const C& lambda : *eig) {
        const auto x = dense_eigenvector(a, n, lambda);
        ASSERT_TRUE(x);
        double peak = 0.0, residual = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            C ax = 0.0;
            for (std::size_t j = 0; j < n; ++j) ax += a[i * n + j] * (*x)[j];
            residual = std::max(residual, std::abs(ax - lambda * (*x)[i]));
            peak = std::max(peak, std::abs((*x)[i]));
        }
        EXPECT_NEAR(peak, 1.0, 4.0 * kEps);  // |x_i / |x_i|| rounds
        // Inverse iteration leaves a residual of rounding size.
        EXPECT_LE(residual, 1e3 * kEps * inf_norm(a, n)) << lambda;
    }
    EXPECT_FALSE(dense_eigenvector(a, n, C(std::nan(""), 0.0)));
}

}  // namespace
}  // namespace quorvane
