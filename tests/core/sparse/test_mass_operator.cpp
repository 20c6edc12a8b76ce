// The consistent-mass factor and bound, and the lumped congruence.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/sparse/mass_operator.hpp"

namespace quorvane {
namespace {

// tridiag(-1, 2, -1) / h, n interior nodes of a P1 mesh with Dirichlet ends.
SymmetricOperator p1_stiffness(std::uint64_t n, double h) {
    std::vector<std::uint64_t> rp{0};
    std::vector<std::uint32_t> ci;
    std::vector<double> v;
    for (std::uint64_t i = 0; i < n; ++i) {
        if (i > 0) ci.push_back(static_cast<std::uint32_t>(i - 1)), v.push_back(-1.0 / h);
        ci.push_back(static_cast<std::uint32_t>(i)), v.push_back(2.0 / h);
        if (i + 1 < n) ci.push_back(static_cast<std::uint32_t>(i + 1)), v.push_back(-1.0 / h);
        rp.push_back(ci.size());
    }
    return *SymmetricOperator::from_csr(n, rp, ci, v, 1e-10);
}

std::vector<double> scaled_identity(std::uint64_t n, double c) {
    std::vector<double> m(n * n, 0.0);
    for (std::uint64_t i = 0; i < n; ++i) m[i * n + i] = c;
    return m;
}

TEST(MassKOperator, IdentityLikeMassesKeepTheStiffnessBound) {
    const SymmetricOperator k = p1_stiffness(9, 0.1);
    const auto one = MassKOperator::from_k_and_mass(k, scaled_identity(9, 1.0));
    const auto four = MassKOperator::from_k_and_mass(k, scaled_identity(9, 4.0));
    ASSERT_TRUE(one && four);
    EXPECT_EQ((*one)->spectral_bound(), k.spectral_bound());
    EXPECT_EQ((*four)->spectral_bound(), k.spectral_bound() / 4.0);
}

TEST(MassKOperator, BoundCoversTheSpectrumOfTheFiniteElementPencil) {
    // The pencil (K, M) of P1 elements has the closed-form eigenvalues
    // (6/h^2) (1 - cos(j pi h)) / (2 + cos(j pi h)), largest at j = n.
    for (const std::uint64_t n : {11u, 41u, 161u}) {
        const double h = 1.0 / static_cast<double>(n + 1);
        std::vector<double> m(n * n, 0.0);
        for (std::uint64_t i = 0; i < n; ++i) {
            m[i * n + i] = 4.0 * h / 6.0;
            if (i + 1 < n) m[i * n + i + 1] = m[(i + 1) * n + i] = h / 6.0;
        }
        const auto op = MassKOperator::from_k_and_mass(p1_stiffness(n, h), m);
        ASSERT_TRUE(op);
        const double c = std::cos(static_cast<double>(n) * M_PI * h);
        const double rho = 6.0 / (h * h) * (1.0 - c) / (2.0 + c);
        EXPECT_GE((*op)->spectral_bound(), rho) << n;
        EXPECT_LE((*op)->spectral_bound(), 1.08 * rho) << n;
    }
}

TEST(MassKOperator, DiagonalHasTheBitsOfTheProducts) {
    // The implicit action takes this diagonal instead of n products.
    const std::uint64_t n = 13;
    std::vector<double> m(n * n, 0.0);
    for (std::uint64_t i = 0; i < n; ++i) {
        m[i * n + i] = 0.9 + 0.05 * double(i % 3);
        if (i + 1 < n) m[i * n + i + 1] = 0.25;
        if (i + 3 < n) m[i * n + i + 3] = -0.1;
    }
    const auto op = MassKOperator::from_k_and_mass(p1_stiffness(n, 0.3), m);
    ASSERT_TRUE(op);
    std::vector<double> d(n), e(n, 0.0), w(n);
    ASSERT_TRUE((*op)->diagonal(d));
    for (std::uint64_t i = 0; i < n; ++i) {
        e[i] = 1.0;
        (*op)->apply(e, w);
        e[i] = 0.0;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(d[i]), std::bit_cast<std::uint64_t>(w[i])) << i;
    }
}

TEST(MassKOperator, NonFiniteMassRefusedBeforeThePivotTest) {
    const SymmetricOperator k = p1_stiffness(2, 1.0);
    const auto bad = MassKOperator::from_k_and_mass(k, std::vector<double>{1.0, NAN, 0.0, 1.0});
    ASSERT_FALSE(bad);
    EXPECT_STREQ(bad.error().text(), "TriangularFactor: mass matrix has a non-finite entry");
    EXPECT_TRUE(std::isnan(bad.error().f0()));
}

TEST(TriangularFactor, SolvesInvertTheFactor) {
    const std::vector<double> m{4.0, 2.0, 0.0, 2.0, 5.0, 1.0, 0.0, 1.0, 3.0};
    const auto r = TriangularFactor::cholesky(m, 3);
    ASSERT_TRUE(r);
    // R^T R x = M x for x = (1, -2, 3): M x = (0, -5, 7).
    const std::vector<double> b{0.0, -5.0, 7.0};
    std::vector<double> w(3), x(3);
    r->solve_upper_transpose(b, w);
    r->solve_upper(w, x);
    EXPECT_NEAR(x[0], 1.0, 1e-14);
    EXPECT_NEAR(x[1], -2.0, 1e-14);
    EXPECT_NEAR(x[2], 3.0, 1e-14);
}

TEST(LumpedCongruence, RefusesBadMasses) {
    const SymmetricOperator k = p1_stiffness(3, 1.0);
    for (const double bad : {0.0, -1.0, double(INFINITY)}) {
        const auto hat = lumped_congruence(*k.laplacian(), std::vector<double>{1.0, bad, 1.0});
        ASSERT_FALSE(hat);
        EXPECT_STREQ(hat.error().text(), "lumped_congruence: non-positive or non-finite mass");
    }
    EXPECT_FALSE(lumped_congruence(*k.laplacian(), std::vector<double>{1.0, 1.0}));
}

TEST(MassKOperator, EvolveRefusesWhatTheKrylovOperatorRefuses) {
    // m_max = 0 once wrote past an empty basis; t = 0 returns early, so the
    // settings are judged first.
    const auto op = MassKOperator::from_k_and_mass(p1_stiffness(4, 1.0), scaled_identity(4, 2.0));
    ASSERT_TRUE(op);
    const std::vector<double> v{1.0, 2.0, 3.0, 4.0};
    std::vector<double> out(4, -7.0);
    ScratchPool<double> pool;
    const char* m_max_text = "GraphKrylovChernoff: m_max must be >= 1 for the Lanczos path";
    const char* tol_text = "GraphKrylovChernoff: tol must be finite and positive";
    struct Case {
        KrylovPath path;
        double tol;
        const char* text;
    };
    for (const Case& c : {Case{KrylovPath::lanczos(0), 1e-10, m_max_text},
                          Case{KrylovPath::implicit(10, std::nullopt), INFINITY, tol_text},
                          Case{KrylovPath::chebyshev(), 0.0, tol_text}}) {
        for (const double t : {1.0, 0.0}) {
            const Status st = (*op)->evolve(t, c.path, c.tol, v, out, pool);
            ASSERT_FALSE(st);
            EXPECT_STREQ(st.error().text(), c.text);
            EXPECT_EQ(out, std::vector<double>(4, -7.0));
        }
    }
}

}  // namespace
}  // namespace quorvane
