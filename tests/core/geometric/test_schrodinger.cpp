// The real-pair kinetic factor against a dense complex Cayley solve (the end
// rows included), and the complex step's refusals that leave its output.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <vector>

#include "core/geometric/schrodinger.hpp"
#include "core/geometric/schrodinger_complex.hpp"

namespace quorvane {
namespace {

using C = std::complex<double>;

// psi' = (I + iK)^{-1} (I - iK) psi, K = r tridiag(1, -2, 1), by dense
// Gaussian elimination with partial pivoting.
std::vector<C> dense_cayley(const std::vector<C>& psi, double r) {
    const std::size_t n = psi.size();
    std::vector<std::vector<C>> m(n, std::vector<C>(n + 1));
    const C i1(0.0, 1.0);
    for (std::size_t i = 0; i < n; ++i) {
        C rhs = (1.0 + 2.0 * i1 * r) * psi[i];
        m[i][i] = 1.0 - 2.0 * i1 * r;
        if (i > 0) m[i][i - 1] = i1 * r, rhs -= i1 * r * psi[i - 1];
        if (i + 1 < n) m[i][i + 1] = i1 * r, rhs -= i1 * r * psi[i + 1];
        m[i][n] = rhs;
    }
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t p = c;
        for (std::size_t k = c + 1; k < n; ++k)
            if (std::abs(m[k][c]) > std::abs(m[p][c])) p = k;
        std::swap(m[c], m[p]);
        for (std::size_t k = c + 1; k < n; ++k) {
            const C f = m[k][c] / m[c][c];
            for (std::size_t j = c; j <= n; ++j) m[k][j] -= f * m[c][j];
        }
    }
    std::vector<C> x(n);
    for (std::size_t k = n; k-- > 0;) {
        C s = m[k][n];
        for (std::size_t j = k + 1; j < n; ++j) s -= m[k][j] * x[j];
        x[k] = s / m[k][k];
    }
    return x;
}

TEST(SchrodingerKinetic, MatchesTheDenseCayleySolveIncludingTheEndRows) {
    for (std::size_t n : {4u, 7u}) {
        for (double r : {0.3, -2.5}) {
            SchrodingerWork w;
            std::vector<C> psi(n);
            for (std::size_t i = 0; i < n; ++i) {
                psi[i] = C(std::sin(1.0 + double(i)), std::cos(3.0 * double(i)));
                w.a.push_back(psi[i].real());
                w.b.push_back(psi[i].imag());
            }
            schrodinger_kinetic_step(n, w, r);
            const std::vector<C> ref = dense_cayley(psi, r);
            for (std::size_t i = 0; i < n; ++i) {
                EXPECT_NEAR(w.a[i], ref[i].real(), 1e-13) << n << " " << r << " " << i;
                EXPECT_NEAR(w.b[i], ref[i].imag(), 1e-13) << n << " " << r << " " << i;
            }
        }
    }
}

TEST(SchrodingerComplexStep, RefusalsLeaveTheOutput) {
    auto potential = [](double) { return 0.0; };
    // Grid1D::make refuses such a grid; the kernel still defends itself.
    const Grid1D<double> fine{{}, {}, 0.0, 1e-160, 4};
    const std::vector<Cplx> in(4, Cplx{1.0, 0.5});
    std::vector<Cplx> out(4, Cplx{7.0, 7.0});
    // dx^2 underflows to 0: r = inf, the first pivot is NaN.
    const SchrodingerChernoffComplex k = *SchrodingerChernoffComplex::make(fine, potential);
    EXPECT_EQ(k.apply_into(in, out, 1.0).error(),
              CoreError::domain("Schr\u00f6dingerChernoffComplex::thomas_solve: zero pivot", 0.0));
    EXPECT_EQ(k.apply_into(in, out, -1.0).error(),
              CoreError::domain("Schr\u00f6dingerChernoffComplex::apply_into: tau must be finite and non-negative", 0.0));
    for (const Cplx& z : out) EXPECT_EQ(z.re, 7.0);
    ASSERT_TRUE(k.apply_into(in, out, -0.0));
    for (const Cplx& z : out) EXPECT_EQ(z.re, 1.0);
    EXPECT_EQ(SchrodingerChernoffComplex::make(fine, [](double) { return std::numeric_limits<double>::infinity(); })
                  .error(),
              CoreError::domain("Schr\u00f6dingerChernoffComplex: V(x_i) not finite", 0.0));
}

}  // namespace
}  // namespace quorvane
