// Frechet gradients of e^{-tL}: against the closed-form spectral formula on
// the unit path, the edge/entry identity, and the checks before the work.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "core/graph/graph.hpp"
#include "core/sensitivity/graph_frechet.hpp"

namespace quorvane {
namespace {

SharedLaplacian path_laplacian(std::uint64_t n, LaplacianKind kind = LaplacianKind::Combinatorial) {
    return std::make_shared<const Laplacian<double>>(Laplacian<double>::from_graph(Graph<double>::path(n), kind));
}

GraphKrylovChernoff krylov(const SharedLaplacian& lap, KrylovPath path = KrylovPath::chebyshev(), double tol = 1e-12) {
    return *GraphKrylovChernoff::make(path, lap, tol);
}

std::vector<double> wave(std::size_t n, double f, double off) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = off + std::sin(f * static_cast<double>(i) + 0.3);
    return v;
}

// dJ/dw_ij of J = <dj, e^{-tL} u0> on the unit path of n nodes from its
// eigenpairs lambda_k = 2 - 2 cos(pi k / n), v_k(m) ~ cos(pi k (m + 1/2) / n):
// sum_ab (dj.v_a)(u0.v_b) (-(v_a(i) - v_a(j))(v_b(i) - v_b(j))) D_ab with the
// divided difference D_ab = (e^{-t l_a} - e^{-t l_b}) / (l_b - l_a).
double spectral_gradient(std::size_t n, double t, const std::vector<double>& u0, const std::vector<double>& dj,
                         std::size_t i, std::size_t j) {
    const double pi = std::numbers::pi;
    std::vector<std::vector<double>> v(n, std::vector<double>(n));
    std::vector<double> lam(n), pu(n, 0.0), pd(n, 0.0);
    for (std::size_t k = 0; k < n; ++k) {
        lam[k] = 2.0 - 2.0 * std::cos(pi * static_cast<double>(k) / static_cast<double>(n));
        const double norm = std::sqrt((k == 0 ? 1.0 : 2.0) / static_cast<double>(n));
        for (std::size_t m = 0; m < n; ++m) {
            v[k][m] = norm * std::cos(pi * static_cast<double>(k) * (static_cast<double>(m) + 0.5) / static_cast<double>(n));
            pu[k] += u0[m] * v[k][m];
            pd[k] += dj[m] * v[k][m];
        }
    }
    double g = 0.0;
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = 0; b < n; ++b) {
            const double gap = lam[b] - lam[a];
            const double dd = a == b ? t * std::exp(-t * lam[a]) : std::exp(-t * lam[a]) * -std::expm1(-t * gap) / gap;
            g -= pd[a] * pu[b] * (v[a][i] - v[a][j]) * (v[b][i] - v[b][j]) * dd;
        }
    }
    return g;
}

class FrechetSpectral : public ::testing::TestWithParam<std::tuple<double, bool>> {};

// t rho from one panel to fifty: the panelled rule must hold at every size.
TEST_P(FrechetSpectral, MatchesClosedForm) {
    const auto [t_rho, lanczos] = GetParam();
    const std::size_t n = 10;
    const auto lap = path_laplacian(n);
    const double t = t_rho / lap->spectral_bound;
    const auto op = krylov(lap, lanczos ? KrylovPath::lanczos(18) : KrylovPath::chebyshev());
    const auto u0 = wave(n, 0.9, 0.2), dj = wave(n, 2.3, -0.1);
    const std::vector<IndexPair> params = {{0, 1}, {4, 5}, {8, 9}, {2, 7}};
    const auto g = graph_expmv_frechet(op, params, u0, dj, params.size(), 1, t);
    ASSERT_TRUE(g);
    double scale = 0.0;
    for (const auto& [i, j] : params) scale = std::max(scale, std::abs(spectral_gradient(n, t, u0, dj, i, j)));
    for (std::size_t k = 0; k < params.size(); ++k) {
        const double ref = spectral_gradient(n, t, u0, dj, params[k].first, params[k].second);
        EXPECT_NEAR((*g)[k], ref, 1e-9 * scale) << "pair " << k;  // actions at 1e-12
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FrechetSpectral,
                         ::testing::Combine(::testing::Values(2.0, 31.0, 200.0), ::testing::Bool()));

// dM/dw_ij = E_ii + E_jj - (E_ij + E_ji): the edge rule is a combination of
// the entry rule, and both run the same actions here.
TEST(Frechet, EdgeIsCombinationOfEntries) {
    const std::size_t n = 7;
    const auto lap = path_laplacian(n);
    // The same path Laplacian with each row's columns ascending.
    std::vector<std::uint64_t> row_ptr{0};
    std::vector<std::uint32_t> cols;
    std::vector<double> vals;
    for (std::uint32_t i = 0; i < n; ++i) {
        for (std::uint32_t j = i == 0 ? 0 : i - 1; j <= i + 1 && j < n; ++j) {
            cols.push_back(j);
            vals.push_back(j != i ? -1.0 : (i == 0 || i + 1 == n ? 1.0 : 2.0));
        }
        row_ptr.push_back(cols.size());
    }
    const auto sym = SymmetricOperator::from_csr(n, row_ptr, cols, vals, 1e-12);
    ASSERT_TRUE(sym);
    const auto u0 = wave(2 * n, 0.7, 0.1), dj = wave(2 * n, 1.9, 0.3);
    const std::vector<IndexPair> edge = {{2, 5}}, entries = {{2, 2}, {5, 5}, {5, 2}};
    const auto ge = graph_expmv_frechet(krylov(lap), edge, u0, dj, 1, 2, 3.0);
    const auto gs = symmetric_op_expmv_frechet(*sym, entries, u0, dj, 2, 3.0);
    ASSERT_TRUE(ge && gs);
    EXPECT_NEAR((*ge)[0], (*gs)[0] + (*gs)[1] - (*gs)[2], 1e-14 * std::abs((*ge)[0]));
}

TEST(Frechet, RefusalsInOrder) {
    const auto lap = path_laplacian(5);
    const auto op = krylov(lap);
    const std::vector<double> u(10, 1.0), short_u(9, 1.0);
    const std::vector<IndexPair> ok = {{0, 1}};
    auto what = [](const auto& r) { return std::string(r.error().text()); };
    auto value = [](const auto& r) { return r.error().f0(); };

    auto r = graph_expmv_frechet(op, ok, short_u, short_u, 1, 2, -0.0);
    EXPECT_EQ(what(r), "graph_expmv_frechet: t_final must be finite and positive");
    r = graph_expmv_frechet(op, ok, short_u, u, 2, 2, 1.0);
    EXPECT_EQ(what(r), "graph_expmv_frechet: u0_cols length != n_cols * n_nodes");
    EXPECT_EQ(value(r), 9.0);
    r = graph_expmv_frechet(op, ok, u, short_u, 2, 2, 1.0);
    EXPECT_EQ(what(r), "graph_expmv_frechet: dj_cols length != n_cols * n_nodes");
    r = graph_expmv_frechet(op, ok, u, u, 2, 2, 1.0);
    EXPECT_EQ(what(r), "graph_expmv_frechet: grad_w.len() != n_params");
    EXPECT_EQ(value(r), 2.0);

    const std::vector<IndexPair> loop = {{0, 1}, {3, 3}}, far = {{5, 2}};
    r = graph_expmv_frechet(op, loop, u, u, 2, 2, 1.0);
    EXPECT_EQ(what(r), "apply_edge_weight_deriv: self-loop (i==j)");
    EXPECT_EQ(value(r), 3.0);
    r = graph_expmv_frechet(op, far, u, u, 1, 2, 1.0);
    EXPECT_EQ(what(r), "apply_edge_weight_deriv: index out of range");
    EXPECT_EQ(value(r), 5.0);
    r = graph_expmv_frechet(op, far, {}, {}, 1, 0, 1.0);  // no column: no action, no pair check
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, std::vector<double>{0.0});
    r = graph_expmv_frechet(op, ok, u, u, 1, 2, 1e5);
    EXPECT_EQ(r.error().variant(), CoreError::Variant::DomainViolation);
    EXPECT_NE(what(r).find("too large"), std::string::npos);

    r = graph_expmv_frechet(krylov(path_laplacian(5, LaplacianKind::Normalized)), ok, u, u, 1, 2, 1.0);
    EXPECT_EQ(r.error().variant(), CoreError::Variant::Unsupported);
}

}  // namespace
}  // namespace quorvane
