// The growth judgement of periodic three-point axis operators against the
// QR of the same matrix: what the certificate admits has no eigenvalue beyond
// rounding, what the search finds is one; drifts of one sign, noisy and
// smooth sign changes, at 100 to 400 nodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

#include "core/foundation/dense_eigenvalues.hpp"
#include "core/tensor_train/tt_axis_growth.hpp"
#include "core/tensor_train/tt_varcoef_spectral.hpp"

namespace quorvane {
namespace {

using C = std::complex<double>;

struct Case {
    std::size_t n;
    double a;
    int drift;  // 0 one sign, 1 noise, 2 sin(2 pi x), 3 alternating 1 and 0.1
};

std::vector<double> drift(const Case& c) {
    std::vector<double> b(c.n);
    std::mt19937_64 rng(c.n);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (std::size_t i = 0; i < c.n; ++i) {
        const double x = static_cast<double>(i) / static_cast<double>(c.n - 1);
        b[i] = c.drift == 0   ? 1.0 + 0.5 * std::sin(2.0 * std::numbers::pi * x)
               : c.drift == 1 ? u(rng)
               : c.drift == 2 ? 0.3 * std::sin(2.0 * std::numbers::pi * x)
                              : (i % 2 == 0 ? 1.0 : 0.1);
    }
    return b;
}

class AxisGrowthTest : public ::testing::TestWithParam<Case> {};

TEST_P(AxisGrowthTest, AgreesWithTheQrOfTheOperator) {
    const Case c = GetParam();
    const std::vector<double> a(c.n, c.a), b = drift(c);
    const PeriodicTridiag op = axis_operator(a, b, 1.0 / static_cast<double>(c.n - 1));
    double norm = 0.0;
    std::vector<double> dense(c.n * c.n, 0.0);
    for (std::size_t i = 0; i < c.n; ++i) {
        norm = std::max(norm, std::abs(op.sub[i]) + std::abs(op.diag[i]) + std::abs(op.sup[i]));
        dense[i * c.n + (i + c.n - 1) % c.n] += op.sub[i];
        dense[i * c.n + i] += op.diag[i];
        dense[i * c.n + (i + 1) % c.n] += op.sup[i];
    }
    const std::vector<C> eig = dense_eigenvalues(dense, c.n).value().value();
    double top = -norm;
    for (const C& z : eig) top = std::max(top, z.real());
    const double tol = growth_rounding(c.n, norm);
    // No dense solve: the certificate and the search alone.
    const AxisGrowth cheap = judge_axis_growth(op, norm, 0).value();
    if (cheap.verdict == AxisGrowth::Verdict::kBounded) {
        EXPECT_LE(top, tol);
    }
    if (cheap.verdict == AxisGrowth::Verdict::kGrows) {
        // An eigenvalue of the operator (the QR's, to its rounding) beyond the margin.
        const auto near = std::min_element(eig.begin(), eig.end(), [&](const C& p, const C& q) {
            return std::abs(p - cheap.lambda) < std::abs(q - cheap.lambda);
        });
        EXPECT_LE(std::abs(*near - cheap.lambda), 1e-8 * norm);
        EXPECT_GT(cheap.lambda.real(), tol);
        EXPECT_EQ(cheap.weight.size(), c.n);
    }
    // With the QR as the last resort the verdict is always the QR's.
    const AxisGrowth full = judge_axis_growth(op, norm, c.n).value();
    EXPECT_NE(full.verdict, AxisGrowth::Verdict::kUndecided);
    EXPECT_EQ(full.verdict == AxisGrowth::Verdict::kGrows, top > tol) << top << " " << tol;
}

// Which verdict the cheap tests reach is part of what they are for: the
// drifts of one sign are certified, the noisy ones found growing.
TEST(AxisGrowth, CheapVerdictsOfTheCommonDrifts) {
    for (std::size_t n : {256u, 400u}) {
        for (auto [kind, want] : {std::pair{0, AxisGrowth::Verdict::kBounded}, {1, AxisGrowth::Verdict::kGrows}}) {
            const Case c{n, 1e-6, kind};
            const std::vector<double> a(n, c.a), b = drift(c);
            const PeriodicTridiag op = axis_operator(a, b, 1.0 / static_cast<double>(n - 1));
            double norm = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                norm = std::max(norm, std::abs(op.sub[i]) + std::abs(op.diag[i]) + std::abs(op.sup[i]));
            }
            EXPECT_EQ(judge_axis_growth(op, norm, 0).value().verdict, want) << n << " " << kind;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Drifts, AxisGrowthTest,
                         ::testing::Values(Case{100, 1e-6, 0}, Case{300, 1e-3, 0}, Case{100, 1e-6, 1},
                                           Case{257, 1e-3, 1}, Case{100, 1e-4, 2}, Case{200, 1e-6, 2},
                                           Case{128, 1e-4, 3}, Case{400, 1e-2, 3}));

}  // namespace
}  // namespace quorvane
