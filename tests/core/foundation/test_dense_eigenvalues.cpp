// Eigenvalues of nonsymmetric matrices whose spectra are known in closed form:
// circulants, orthogonal similarities of block triangular matrices (real and
// conjugate pairs, a defective double pair, rows scaled by 2^+-60), the
// cyclic shift that plain shifts cannot move, and a central drift vanishing at
// nodes (by its traces); eigenvectors by their residual; a stop request.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "core/foundation/dense_eigenvalues.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {
namespace {

using C = std::complex<double>;
using Matrix = std::vector<double>;
constexpr double kEps = std::numeric_limits<double>::epsilon();

// No stop hook is installed: only convergence decides.
std::optional<std::vector<C>> eigenvalues(Matrix a, std::size_t n) {
    return dense_eigenvalues(std::move(a), n).value();
}

// Every expected eigenvalue has its own computed one within tol (a greedy
// matching, fine at these separations).
void expect_spectrum(const std::optional<std::vector<C>>& got, std::vector<C> want, double tol) {
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size(), want.size());
    for (const C& z : *got) {
        auto near = std::min_element(want.begin(), want.end(),
                                     [&](const C& p, const C& q) { return std::abs(p - z) < std::abs(q - z); });
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

Matrix product(const Matrix& a, const Matrix& b, std::size_t n) {
    Matrix out(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < n; ++k) {
            for (std::size_t j = 0; j < n; ++j) out[i * n + j] += a[i * n + k] * b[k * n + j];
        }
    }
    return out;
}

// Q T Q, Q = I - 2 w w^T/|w|^2 (orthogonal, its own inverse), for T block
// upper triangular: [[re, im], [-im, re]] per pair re +- i im, then the reals,
// random entries above. `want` receives the spectrum.
struct Known {
    Matrix a;
    std::size_t n;
    std::vector<C> want;
};

Known similar(const std::vector<C>& pairs, const std::vector<double>& reals, std::uint64_t seed) {
    const std::size_t n = 2 * pairs.size() + reals.size();
    std::vector<C> want;
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal;
    Matrix t(n * n, 0.0), q(n * n);
    std::size_t k = 0;
    for (const C& p : pairs) {
        t[k * n + k] = t[(k + 1) * n + k + 1] = p.real();
        t[k * n + k + 1] = p.imag();
        t[(k + 1) * n + k] = -p.imag();
        want.insert(want.end(), {p, std::conj(p)});
        k += 2;
    }
    for (double r : reals) {
        t[k * n + k] = r;
        want.emplace_back(r, 0.0);
        ++k;
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 2; j < n; ++j) t[i * n + j] = normal(gen);
        if (i + 1 < n && t[(i + 1) * n + i] == 0.0) t[i * n + i + 1] = normal(gen);
    }
    std::vector<double> w(n);
    double ww = 0.0;
    for (double& x : w) {
        x = normal(gen);
        ww += x * x;
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) q[i * n + j] = (i == j ? 1.0 : 0.0) - 2.0 * w[i] * w[j] / ww;
    }
    return {product(product(q, t, n), q, n), n, want};
}

TEST(DenseEigenvalues, PeriodicTridiagonalCirculantsHaveTheirSymbol) {
    // d + s e^{-i theta_k} + p e^{i theta_k}: the spectra a central drift
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
            // Normal: the backward error n eps |a| moves each eigenvalue that much.
            expect_spectrum(eigenvalues(a, n), want, 64.0 * static_cast<double>(n) * kEps * inf_norm(a, n));
        }
    }
}

TEST(DenseEigenvalues, OrthogonalSimilaritiesKeepTheSpectrum) {
    for (const Known& k : {similar({{-1.0, 2.0}, {0.5, 0.25}, {3.0, 7.0}}, {-5.0, 0.0, 2.5, 2.5001}, 1),
                           similar({}, {1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0}, 2)}) {
        expect_spectrum(eigenvalues(k.a, k.n), k.want, 1e-9);
    }
    // A double pair +-0.5 i coupled above the diagonal (defective): found to
    // about sqrt(eps).
    const Known defective = similar({{0.0, 0.5}, {0.0, 0.5}}, {0.0}, 3);
    expect_spectrum(eigenvalues(defective.a, defective.n), defective.want, 1e-4);
    // D A D^-1 with D = diag(2^+-60) keeps A's spectrum; balancing undoes D.
    Known k = similar({{-1.0, 3.0}}, {2.0, -0.5, 4.0}, 4);
    for (std::size_t i = 0; i < k.n; ++i) {
        for (std::size_t j = 0; j < k.n; ++j) {
            const int e = (i % 2 == j % 2) ? 0 : (i % 2 == 0 ? 120 : -120);
            k.a[i * k.n + j] = std::ldexp(k.a[i * k.n + j], e);
        }
    }
    expect_spectrum(eigenvalues(k.a, k.n), k.want, 1e-9);
}

TEST(DenseEigenvalues, CyclicShiftConverges) {
    // Every eigenvalue on the unit circle: standard shifts leave the QR step an
    // orthogonal similarity that changes nothing.
    for (std::size_t n : {2u, 5u, 12u, 40u}) {
        Matrix a(n * n, 0.0);
        std::vector<C> want;
        for (std::size_t i = 0; i < n; ++i) {
            a[i * n + (i + 1) % n] = 1.0;
            want.push_back(std::polar(1.0, 2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n)));
        }
        expect_spectrum(eigenvalues(a, n), want, 1e-12);
    }
}

TEST(DenseEigenvalues, CentralDriftVanishingAtNodesConverges) {
    // The three-point operator of 1e-20 u'' + 0.3 sin(2 pi x) u' at x = i/14:
    // b vanishes at nodes 0 and 7, the spectrum is imaginary pairs, repeated,
    // and a defective 0, whose zero diagonals stall a deflation that looks at
    // the diagonal neighbours alone. The bits of b, as NumPy samples them,
    // are the ones that stalled. Its traces check the eigenvalues found.
    const std::vector<double> bs = {
        0x0.0p+0, 0x1.0a9402e77670dp-3, 0x1.e05b7593a3df3p-3, 0x1.2b7f736688c0cp-2, 0x1.2b7f736688c0cp-2,
        0x1.e05b7593a3df4p-3, 0x1.0a9402e77670ep-3, 0x1.52dc7707ed4d5p-55, -0x1.0a9402e77670cp-3,
        -0x1.e05b7593a3df2p-3, -0x1.2b7f736688c0cp-2, -0x1.2b7f736688c0cp-2, -0x1.e05b7593a3df4p-3,
        -0x1.0a9402e776710p-3};
    const std::size_t n = bs.size();
    const double h = 1.0 / 13.0, a = 1e-20;
    Matrix m(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        m[i * n + (i + n - 1) % n] = a / (h * h) - bs[i] / (2.0 * h);
        m[i * n + i] = -(a + a) / (h * h);
        m[i * n + (i + 1) % n] = a / (h * h) + bs[i] / (2.0 * h);
    }
    const auto got = eigenvalues(m, n);
    ASSERT_TRUE(got);
    C sum = 0.0, squares = 0.0;
    double top = -1.0, trace = 0.0, trace_sq = 0.0;
    for (const C& z : *got) {
        sum += z;
        squares += z * z;
        top = std::max(top, z.real());
    }
    const Matrix m2 = product(m, m, n);
    for (std::size_t i = 0; i < n; ++i) {
        trace += m[i * n + i];
        trace_sq += m2[i * n + i];
    }
    const double norm = inf_norm(m, n);
    EXPECT_LE(std::abs(sum - trace), 1e-12 * norm);
    EXPECT_LE(std::abs(squares - trace_sq), 1e-12 * norm * norm);
    EXPECT_LE(top, 1e-7 * norm);  // the defective 0 splits by about sqrt(eps) |m|
}

TEST(DenseEigenvalues, EdgeSizesNonFiniteEntriesAndEigenvectors) {
    EXPECT_TRUE(eigenvalues({}, 0).value().empty());
    expect_spectrum(eigenvalues({-3.5}, 1), {-3.5}, 0.0);
    expect_spectrum(eigenvalues({1.0, 2.0, -3.0, 1.0}, 2), {C(1.0, std::sqrt(6.0)), C(1.0, -std::sqrt(6.0))},
                    1e-14);
    expect_spectrum(eigenvalues({1e307, 0.0, 1e307, -1e307}, 2), {1e307, -1e307}, 1e292);  // no overflow
    EXPECT_FALSE(eigenvalues({1.0, std::nan(""), 0.0, 1.0}, 2));
    EXPECT_FALSE(eigenvalues({1.0, std::numeric_limits<double>::infinity(), 0.0, 1.0}, 2));
    EXPECT_FALSE(eigenvalues({1.0, 2.0, 3.0}, 2));

    const Known k = similar({{0.5, 2.0}, {-1.0, 0.3}}, {3.0, -2.0, 0.0}, 5);
    const Matrix& a = k.a;
    const std::size_t n = k.n;
    const std::vector<C> eig = eigenvalues(a, n).value();
    for (const C& lambda : eig) {
        const auto x = dense_eigenvector(a, n, lambda).value();
        ASSERT_TRUE(x);
        double peak = 0.0, residual = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            C ax = 0.0;
            for (std::size_t j = 0; j < n; ++j) ax += a[i * n + j] * (*x)[j];
            residual = std::max(residual, std::abs(ax - lambda * (*x)[i]));
            peak = std::max(peak, std::abs((*x)[i]));
        }
        EXPECT_NEAR(peak, 1.0, 4.0 * kEps);  // |x_i / |x_i|| rounds
        EXPECT_LE(residual, 1e3 * kEps * inf_norm(a, n)) << lambda;  // rounding, from inverse iteration
    }
    EXPECT_FALSE(dense_eigenvector(a, n, C(std::nan(""), 0.0)).value());
}

TEST(DenseEigenvalues, AStopRequestEndsTheWork) {
    // 10 n^3 flops for n = 300: a look every ~2^22 of them sees the request.
    const std::size_t n = 300;
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Matrix a(n * n);
    for (double& x : a) x = u(rng);
    const ScopedStopHook hook({[](void*) { return true; }, nullptr});
    std::this_thread::sleep_for(std::chrono::milliseconds(60));  // past the poll interval
    const auto got = dense_eigenvalues(a, n);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().variant(), CoreError::Variant::CallbackFailed);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_FALSE(dense_eigenvector(a, n, C(0.5, 0.0)));
}

}  // namespace
}  // namespace quorvane
