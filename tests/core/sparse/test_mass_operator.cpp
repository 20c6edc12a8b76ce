// The consistent-mass factor and bound, and the lumped congruence.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "core/foundation/parallel1d.hpp"
#include "core/foundation/stop.hpp"
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

// A dense SPD mass (a P1 mass plus G G^T / n) whose factor has no zeros,
// with junk below the diagonal, which is never read.
std::vector<double> dense_mass(std::uint64_t n) {
    std::mt19937_64 gen(n);
    std::normal_distribution<double> normal;
    std::vector<double> g(n * n), m(n * n);
    for (double& x : g) x = normal(gen);
    for (std::uint64_t i = 0; i < n; ++i) {
        for (std::uint64_t j = i; j < n; ++j) {
            double s = 0.0;
            for (std::uint64_t k = 0; k < n; ++k) s += g[i * n + k] * g[j * n + k];
            m[i * n + j] = 0.1 * s / static_cast<double>(n) + (i == j ? 4.0 : j == i + 1 ? 1.0 : 0.0);
            if (j > i) m[j * n + i] = normal(gen);
        }
    }
    return m;
}

// Sizes below one 64-row panel (or block of the bound's columns), at and
// past its edge, and of several, which the workers share (from n = 256).
const std::uint64_t kSizes[] = {13, 64, 65, 300};

TEST(TriangularFactor, HasTheBitsOfTheColumnRecurrence) {
    for (const std::uint64_t n : kSizes) {
        const std::vector<double> m = dense_mass(n);
        // R[j][i] = (M[j][i] - sum_{k<j} R[k][j] R[k][i]) / R[j][j], column by column.
        std::vector<double> want(n * n, 0.0);
        for (std::uint64_t j = 0; j < n; ++j) {
            double d = m[j * n + j];
            for (std::uint64_t k = 0; k < j; ++k) d -= want[k * n + j] * want[k * n + j];
            want[j * n + j] = std::sqrt(d);
            for (std::uint64_t i = j + 1; i < n; ++i) {
                double s = m[j * n + i];
                for (std::uint64_t k = 0; k < j; ++k) s -= want[k * n + j] * want[k * n + i];
                want[j * n + i] = s / want[j * n + j];
            }
        }
        const auto r = TriangularFactor::cholesky(m, n);
        ASSERT_TRUE(r);
        for (std::uint64_t p = 0; p < n * n; ++p) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(r->data[p]), std::bit_cast<std::uint64_t>(want[p]))
                << "n " << n << " entry " << p;
        }
    }
}

TEST(MassKOperator, BoundAndDiagonalHaveTheBitsOfTheProductsOnEveryWorkerCount) {
    for (const std::uint64_t n : kSizes) {
        const std::vector<double> m = dense_mass(n);
        const SymmetricOperator k = p1_stiffness(n, 0.7);
        std::vector<std::uint64_t> bound_bits, diagonal_bits;
        for (const std::size_t workers : {1u, 3u}) {
            const WorkerCountOverride w(workers);
            const auto op = MassKOperator::from_k_and_mass(k, m);
            ASSERT_TRUE(op);
            // The bound from the products A_hat e_j, the row sums adding j in order.
            std::vector<double> e(n, 0.0), col(n), row_sum(n, 0.0), d(n);
            ASSERT_TRUE((*op)->diagonal(d));
            for (std::uint64_t j = 0; j < n; ++j) {
                e[j] = 1.0;
                (*op)->apply(e, col);
                e[j] = 0.0;
                for (std::uint64_t i = 0; i < n; ++i) row_sum[i] += std::fabs(col[i]);
                ASSERT_EQ(std::bit_cast<std::uint64_t>(d[j]), std::bit_cast<std::uint64_t>(col[j])) << n << " " << j;
            }
            double bound = 0.0;
            for (const double s : row_sum) bound = std::max(bound, s);
            EXPECT_EQ(std::bit_cast<std::uint64_t>((*op)->spectral_bound()), std::bit_cast<std::uint64_t>(bound))
                << "n " << n << " workers " << workers;
        }
    }
}

TEST(TriangularFactor, FirstNonPositivePivotInALaterPanelIsRefused) {
    // M = I but for M[j][j] = -1 at one j (and -2 in the last row after it):
    // the rows after j took the trailing updates of j's panel already, yet
    // the first pivot in row order is the one reported.
    const std::uint64_t n = 300;
    for (const std::uint64_t bad : {200u, 299u}) {
        std::vector<double> m = scaled_identity(n, 1.0);
        if (bad + 1 < n) m[(n - 1) * n + (n - 1)] = -2.0;
        m[bad * n + bad] = -1.0;
        const auto r = TriangularFactor::cholesky(m, n);
        ASSERT_FALSE(r);
        EXPECT_STREQ(r.error().text(), "TriangularFactor: mass matrix is not positive-definite (pivot \u2264 0)");
        EXPECT_EQ(r.error().f0(), -1.0) << bad;
    }
}

// R^T x = b by the textbook forward substitution, reading column i of R.
std::vector<double> column_forward_substitution(const TriangularFactor& r, const std::vector<double>& b) {
    const std::uint64_t n = r.n;
    std::vector<double> x(n);
    for (std::uint64_t i = 0; i < n; ++i) {
        double s = b[i];
        for (std::uint64_t k = 0; k < i; ++k) s -= r.data[k * n + i] * x[k];
        x[i] = s / r.data[i * n + i];
    }
    return x;
}

std::vector<double> standard_normal(std::uint64_t n, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal;
    std::vector<double> v(n);
    for (double& x : v) x = normal(gen);
    return v;
}

void expect_same_bits(const std::vector<double>& got, const std::vector<double>& want, std::uint64_t n) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(want[i])) << "n " << n << " i " << i;
    }
}

// One row, one 16-row panel of the forward substitution, at and past its
// edges, and many panels.
const std::uint64_t kSolveSizes[] = {1, 15, 16, 17, 33, 300};

TEST(TriangularFactor, ForwardSubstitutionByRowsHasTheBitsOfTheColumnLoop) {
    for (const std::uint64_t n : kSolveSizes) {
        const auto r = TriangularFactor::cholesky(dense_mass(n), n);
        ASSERT_TRUE(r);
        const std::vector<double> b = standard_normal(n, n + 1);
        const std::vector<double> want = column_forward_substitution(*r, b);
        std::vector<double> got(n, -7.0);
        r->solve_upper_transpose(b, got);
        expect_same_bits(got, want, n);
        // In place, as the column loop allows.
        got = b;
        r->solve_upper_transpose(got, got);
        expect_same_bits(got, want, n);
    }
}

TEST(MassKOperator, ApplyHasTheBitsOfTheTextbookSubstitutions) {
    for (const std::uint64_t n : kSolveSizes) {
        const SymmetricOperator k = p1_stiffness(n, 0.7);
        const auto op = MassKOperator::from_k_and_mass(k, dense_mass(n));
        ASSERT_TRUE(op);
        const TriangularFactor& r = (*op)->factor();
        const std::vector<double> x = standard_normal(n, 3 * n);
        // R w = x by back substitution, z = K w, then R^T y = z by columns.
        std::vector<double> w(n), z(n);
        for (std::uint64_t i = n; i-- > 0;) {
            double s = x[i];
            for (std::uint64_t j = i + 1; j < n; ++j) s -= r.data[i * n + j] * w[j];
            w[i] = s / r.data[i * n + i];
        }
        k.laplacian()->spmv(w, z);
        std::vector<double> got(n);
        (*op)->apply(x, got);
        expect_same_bits(got, column_forward_substitution(r, z), n);
    }
}

TEST(MassKOperator, OverflowOfFiniteMassIsRefusedAndNothingKeepsK) {
    // R[0][3] = 1e200 / 1e-150 = inf, R[1][3] = -inf, R[2][3] = inf - inf:
    // a NaN pivot, which passes d <= 0.
    std::vector<double> nan_pivot = scaled_identity(4, 1.0);
    nan_pivot[0] = 1e-300;
    nan_pivot[1] = nan_pivot[2] = 1e-150;
    nan_pivot[3] = 1e200;
    nan_pivot[5] = nan_pivot[6] = 2.0;
    nan_pivot[10] = 3.0;
    // A finite factor 1e-155 I whose A_hat = K / 1e-310 is not.
    const std::vector<double> tiny = scaled_identity(4, 1e-310);
    struct Case {
        const std::vector<double>& m;
        const char* text;
        bool nan;
    };
    const SymmetricOperator k = p1_stiffness(4, 1.0);
    for (const Case& c : {Case{nan_pivot, "TriangularFactor: mass matrix is not positive-definite (pivot overflows "
                                          "the double range)", true},
                          Case{tiny, "MassKOperator: spectral bound (largest absolute row sum of R^-T K R^-1) "
                                     "overflows the double range", false}}) {
        const long holders = k.laplacian().use_count();
        const auto op = MassKOperator::from_k_and_mass(k, c.m);
        ASSERT_FALSE(op);
        EXPECT_STREQ(op.error().text(), c.text);
        EXPECT_EQ(std::isnan(op.error().f0()), c.nan);
        EXPECT_FALSE(std::isfinite(op.error().f0()));
        EXPECT_EQ(k.laplacian().use_count(), holders);
    }
}

TEST(MassKOperator, StopRequestEndsTheConstructionOnEveryWorkerCount) {
    const std::uint64_t n = 300;
    const std::vector<double> m = dense_mass(n);
    const SymmetricOperator k = p1_stiffness(n, 0.7);
    for (const std::size_t workers : {1u, 3u}) {
        const WorkerCountOverride w(workers);
        const ScopedStopHook hook({[](void*) { return true; }, nullptr});
        // Past the poll interval, so the first poll of the call consults the hook.
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        const auto op = MassKOperator::from_k_and_mass(k, m);
        ASSERT_FALSE(op);
        EXPECT_EQ(op.error(), CoreError::callback_failed()) << workers;
    }
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

TEST(MassLumpedEvolve, MassRatioAgainstTolOnTheWeightedPaths) {
    // sqrt(max m / min m) = 1e6: a light node is resolved to 2^-52 * 1e6 =
    // 2.22e-10 of its own size, so tol 2.2e-10 is refused and 2.3e-10 runs.
    const SymmetricOperator k = p1_stiffness(4, 1.0);
    const std::vector<double> m{1e12, 1e12, 1.0, 1.0}, v{1.0, -1.0, 2.0, 0.5};
    for (const KrylovPath& path : {KrylovPath::lanczos(18), KrylovPath::implicit(10, std::nullopt)}) {
        std::vector<double> out(4, -7.0);
        const Status st = mass_lumped_evolve(k, m, 1.0, path, 2.2e-10, v, out);
        ASSERT_FALSE(st);
        EXPECT_EQ(st.error().variant(), CoreError::Variant::DomainViolation);
        EXPECT_EQ(st.error().f0(), 1e6);
        EXPECT_EQ(out, std::vector<double>(4, -7.0));
        EXPECT_TRUE(mass_lumped_evolve(k, m, 1.0, path, 2.3e-10, v, out));
    }
    std::vector<double> out(4);
    EXPECT_TRUE(mass_lumped_evolve(k, m, 1.0, KrylovPath::chebyshev(), 1e-14, v, out));
}

TEST(MassLumpedEvolve, MassesAndTimeScaledByAPowerOfTwoKeepTheChebyshevBits) {
    // e^{-(t c / m c) K} = e^{-(t/m) K}. With c = 2^-1060 the masses are
    // subnormal (exact: small integers times c), k / m overflows and
    // sqrt(m) v underflows, so the congruence and D^1/2 v are rescaled by
    // powers of two: the recurrence must meet the unscaled run bit for bit.
    const SymmetricOperator k = p1_stiffness(6, 0.5);
    const std::vector<double> m{1.0, 3.0, 2.0, 4.0, 1.0, 2.0}, v{1.0, -1.0, 2.0, 0.5, 0.25, -3.0};
    std::vector<double> plain(6), scaled(6), tiny(6);
    for (std::size_t i = 0; i < 6; ++i) tiny[i] = std::ldexp(m[i], -1060);
    ASSERT_TRUE(mass_lumped_evolve(k, m, 0.75, KrylovPath::chebyshev(), 1e-10, v, plain));
    ASSERT_TRUE(mass_lumped_evolve(k, tiny, std::ldexp(0.75, -1060), KrylovPath::chebyshev(), 1e-10, v, scaled));
    EXPECT_EQ(plain, scaled);
    // t = 0 is the identity whatever the masses, the overflowing congruence
    // and the weighted paths' ratio rule included.
    const std::vector<double> wide{1e308, 5e-324, 1.0, 1.0, 1.0, 1.0};
    for (const KrylovPath& path : {KrylovPath::chebyshev(), KrylovPath::lanczos(18)}) {
        std::vector<double> out(6, -7.0);
        ASSERT_TRUE(mass_lumped_evolve(k, wide, 0.0, path, 1e-10, v, out));
        EXPECT_EQ(out, v);
    }
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
