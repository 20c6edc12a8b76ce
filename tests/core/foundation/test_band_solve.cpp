// Band systems against a dense elimination, with row exchanges, and the
// Jacobi functions and K against their identities and known values.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "core/foundation/band_solve.hpp"
#include "core/foundation/elliptic.hpp"

namespace quorvane {
namespace {

using C = std::complex<double>;

// A band (kl = 2, ku = 3) whose diagonal is small against its sub-diagonals:
// elimination without row exchanges loses every digit here.
TEST(BandSolve, MatchesADenseSolveWhereRowsMustBeExchanged) {
    for (std::size_t n : {1u, 2u, 5u, 40u}) {
        const std::size_t kl = 2, ku = 3;
        BandSystem<C> a = BandSystem<C>::zeros(n, kl, ku);
        std::vector<std::vector<C>> dense(n, std::vector<C>(n));
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = (i >= kl ? i - kl : 0); j < std::min(n, i + ku + 1); ++j) {
                const C v = i == j ? C{1e-9, 1e-10} : C{std::sin(1.0 + 3.0 * i + j), std::cos(2.0 * i - j)};
                a.at(i, j) = v;
                dense[i][j] = v;
            }
        }
        std::vector<C> x(n), b(n);
        for (std::size_t i = 0; i < n; ++i) x[i] = {std::cos(0.3 * i), std::sin(0.7 * i)};
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) b[i] += dense[i][j] * x[j];
        ASSERT_TRUE(band_solve(a, std::span<C>(b)));
        for (std::size_t i = 0; i < n; ++i) EXPECT_LT(std::abs(b[i] - x[i]), 1e-9) << n << " " << i;  // cond ~1e3
    }
}

TEST(BandSolve, RefusesASingularSystem) {
    BandSystem<double> a = BandSystem<double>::zeros(3, 1, 1);
    a.at(0, 0) = 1.0, a.at(0, 1) = 2.0, a.at(1, 0) = 2.0, a.at(1, 1) = 4.0, a.at(2, 2) = 1.0;
    std::vector<double> b{1.0, 2.0, 3.0};
    EXPECT_FALSE(band_solve(a, std::span<double>(b)));
}

TEST(Elliptic, KnownValuesAndIdentities) {
    // K(1/sqrt 2) = Gamma(1/4)^2 / (4 sqrt(pi)); K(0) = pi/2.
    EXPECT_NEAR(complete_elliptic_k(std::sqrt(0.5)), 1.8540746773013719, 4e-16);
    EXPECT_NEAR(complete_elliptic_k(1.0), 1.5707963267948966, 4e-16);
    for (double kp : {0.9, 0.3, 1e-4, 1e-12}) {
        const double K = complete_elliptic_k(kp);
        const JacobiSnCnDn at_k = jacobi_sn_cn_dn(K, kp);  // sn(K) = 1, cn(K) = 0, dn(K) = k'
        EXPECT_NEAR(at_k.sn, 1.0, 1e-15) << kp;
        EXPECT_NEAR(at_k.cn, 0.0, 1e-14) << kp;
        EXPECT_NEAR(at_k.dn, kp, 1e-16) << kp;  // cn(K) is cos of pi/2 rounded, 6e-17
        for (double u : {0.1, 0.7, 2.0, 0.5 * K, 3.3 * K}) {
            const JacobiSnCnDn f = jacobi_sn_cn_dn(u, kp);
            EXPECT_NEAR(f.sn * f.sn + f.cn * f.cn, 1.0, 4e-16) << kp << " " << u;
            // sn(u + 2K) = -sn(u): the period the contour's nodes run over.
            EXPECT_NEAR(jacobi_sn_cn_dn(u + 2.0 * K, kp).sn, -f.sn, 1e-13) << kp << " " << u;
        }
    }
    // k' = 1 (k = 0): sn = sin.
    EXPECT_NEAR(jacobi_sn_cn_dn(0.9, 1.0).sn, std::sin(0.9), 1e-16);
}

}  // namespace
}  // namespace quorvane
