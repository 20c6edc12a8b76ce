// Magnus exponents against dense evaluations of their formulas, the
// transposed exponent, the step objects' checks and the batched columns.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "core/foundation/parallel1d.hpp"
#include "core/graph/graph_batched.hpp"
#include "core/graph/magnus_graph.hpp"

namespace quorvane {
namespace {

using Mat = std::vector<std::vector<double>>;
using Vec = std::vector<double>;

// A path of n nodes with weights 1 + s*sin(i + phase): a family of
// Laplacians that do not commute for different phases.
SharedLaplacian moving_path(std::size_t n, double phase, double s = 0.5) {
    std::vector<Edge<double>> e;
    for (std::uint32_t i = 0; i + 1 < n; ++i) e.push_back({i, i + 1, 1.0 + s * std::sin(i + phase)});
    return std::make_shared<const Laplacian<double>>(
        Laplacian<double>::from_graph(*Graph<double>::from_edges(n, e), LaplacianKind::Combinatorial));
}

Mat dense(const Laplacian<double>& l) {
    Mat m(l.n_nodes, Vec(l.n_nodes, 0.0));
    for (std::size_t i = 0; i < l.n_nodes; ++i)
        for (auto k = l.row_ptr[i]; k < l.row_ptr[i + 1]; ++k) m[i][l.col_idx[k]] += l.vals[k];
    return m;
}
Mat mul(const Mat& a, const Mat& b) {
    const std::size_t n = a.size();
    Mat c(n, Vec(n, 0.0));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < n; ++k)
            for (std::size_t j = 0; j < n; ++j) c[i][j] += a[i][k] * b[k][j];
    return c;
}
Mat lin(double a, const Mat& x, double b, const Mat& y) {
    Mat c = x;
    for (std::size_t i = 0; i < x.size(); ++i)
        for (std::size_t j = 0; j < x.size(); ++j) c[i][j] = a * x[i][j] + b * y[i][j];
    return c;
}
Mat comm(const Mat& p, const Mat& q) { return lin(1.0, mul(p, q), -1.0, mul(q, p)); }
Vec apply(const Mat& m, const Vec& x) {
    Vec y(x.size(), 0.0);
    for (std::size_t i = 0; i < x.size(); ++i)
        for (std::size_t j = 0; j < x.size(); ++j) y[i] += m[i][j] * x[j];
    return y;
}
double dot(const Vec& a, const Vec& b) {
    double s = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}
Vec signal(std::size_t n, double f) {
    Vec x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = std::cos(f * static_cast<double>(i) + 0.3);
    return x;
}
void expect_near(const Vec& a, const Vec& b, double tol) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], b[i], tol) << "entry " << i;
}

TEST(Magnus4Omega, DenseFormulaAndTransposeBySign) {
    const std::size_t n = 9;
    const auto l1 = moving_path(n, 0.0), l2 = moving_path(n, 1.7);
    const double tau = 0.3;
    const Mat d1 = dense(*l1), d2 = dense(*l2);
    const Mat omega = lin(-tau / 2, lin(1.0, d1, 1.0, d2), 0.14433756729740643 * tau * tau, comm(d2, d1));
    const Vec x = signal(n, 0.7), y = signal(n, 1.9);
    Vec out(n), back(n), s1(n), s2(n), s3(n);
    magnus4_omega_apply<double>(*l1, *l2, x, out, s1, s2, s3, tau, 1.0);
    expect_near(out, apply(omega, x), 1e-14);
    // sign -1 is the transposed exponent: <y, W x> = <W^T y, x>.
    magnus4_omega_apply<double>(*l1, *l2, y, back, s1, s2, s3, tau, -1.0);
    EXPECT_NEAR(dot(y, out), dot(back, x), 1e-14);
}

TEST(Magnus6Omega, DenseFormula) {
    const std::size_t n = 8;
    const double tau = 0.4;
    const auto l1 = moving_path(n, 0.2), l2 = moving_path(n, 1.1), l3 = moving_path(n, 2.5);
    const Mat a1 = lin(-tau, dense(*l2), 0.0, dense(*l2));
    const Mat a2 = lin(std::sqrt(15.0) / 3 * tau, dense(*l1), -std::sqrt(15.0) / 3 * tau, dense(*l3));
    const Mat a3 = lin(10.0 / 3 * tau, lin(2.0, dense(*l2), -1.0, dense(*l1)), -10.0 / 3 * tau, dense(*l3));
    const Mat c1 = comm(a1, a2);
    const Mat c2 = lin(-1.0 / 60, comm(a1, lin(2.0, a3, 1.0, c1)), 0.0, c1);
    const Mat p = lin(1.0, lin(-20.0, a1, -1.0, a3), 1.0, c1);
    const Mat q = lin(1.0, a2, 1.0, c2);
    const Mat omega = lin(1.0, lin(1.0, a1, 1.0 / 12, a3), 1.0 / 240, comm(p, q));
    const Vec x = signal(n, 0.9);
    Vec out(n);
    std::vector<std::vector<double>> scratch(kMagnus6Scratch, Vec(n));
    magnus6_omega_apply(*l1, *l2, *l3, x, out, scratch, tau);
    expect_near(out, apply(omega, x), 1e-13);
}

TEST(VarCoefMagnus4Omega, DenseFormulaWithCoefficients) {
    const std::size_t n = 7;
    const double tau = 0.25;
    const auto l1 = moving_path(n, 0.4), l2 = moving_path(n, 2.0);
    Vec s1(n), s2(n);
    for (std::size_t i = 0; i < n; ++i) {
        s1[i] = std::sqrt(1.0 + 0.3 * i);
        s2[i] = std::sqrt(2.0 - 0.1 * i);
    }
    auto conj = [&](const Mat& m, const Vec& s) {
        Mat r = m;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) r[i][j] = s[i] * m[i][j] * s[j];
        return r;
    };
    const Mat b1 = conj(dense(*l1), s1), b2 = conj(dense(*l2), s2);
    const Mat omega = lin(-tau / 2, lin(1.0, b1, 1.0, b2), 0.14433756729740646 * tau * tau, comm(b2, b1));
    const Vec x = signal(n, 1.3);
    Vec out(n), w1(n), w2(n), w3(n), t1(n), t2(n);
    varcoef_magnus4_omega_apply(*l1, s1, *l2, s2, x, out, w1, w2, w3, t1, t2, tau, 1.0);
    expect_near(out, apply(omega, x), 1e-14);
}

TEST(MagnusSteps, ConstructorChecksInOrder) {
    const auto path = std::make_shared<const Graph<double>>(Graph<double>::path(3));
    const auto empty = std::make_shared<const Graph<double>>(Graph<double>::edgeless(0));
    const LaplacianProvider lap = ConstantLaplacianCallback{path};
    const CoefficientProvider ones = [](double) -> Expected<Vec> { return Vec(3, 1.0); };
    auto r = MagnusGraphHeatChernoff::make(empty, lap, true, -0.0);
    EXPECT_STREQ(r.error().text(), "MagnusGraphHeatChernoff: rho_bar_max must be finite and > 0");
    EXPECT_STREQ(MagnusGraphHeatChernoff::make(empty, lap, true, 1.0).error().text(),
                 "MagnusGraphHeatChernoff: graph must have at least one node");
    EXPECT_STREQ(MagnusGraphHeat6thChernoff::make(empty, lap, true, NAN).error().text(),
                 "MagnusGraphHeat6thChernoff: rho_bar_max must be finite and > 0");
    EXPECT_STREQ(VarCoefMagnusGraphHeatChernoff::make(0, lap, ones, INFINITY, 0.0).error().text(), "rho_bar_max");
    EXPECT_STREQ(VarCoefMagnusGraphHeatChernoff::make(0, lap, ones, 1.0, 0.0).error().text(), "a_sup_max");
    EXPECT_STREQ(VarCoefMagnusGraphHeatChernoff::make(0, lap, ones, 1.0, 5e-324).error().text(),
                 "VarCoefMagnusGraphHeatChernoff: n_nodes must be >= 1");
}

TEST(MagnusSteps, StepChecksAndFailingProvider) {
    const auto path = std::make_shared<const Graph<double>>(Graph<double>::path(3));
    int calls = 0;
    const LaplacianProvider failing = [&](double) -> Expected<SharedLaplacian> {
        ++calls;
        return fail(CoreError::callback_failed());
    };
    const auto m = *MagnusGraphHeatChernoff::make(path, failing, true, 2.0);
    ScratchPool<double> pool;
    const Vec x = {1.0, 2.0, 3.0};
    Vec out = {7.0, 7.0, 7.0};
    EXPECT_STREQ(m.apply_into(x, out, pool, 0.0, -1e-300).error().text(),
                 "MagnusGraphHeatChernoff: tau must be finite and >= 0");
    // tau * rho = pi/2 exactly is outside the radius; the float below is not.
    const double edge = kMagnusRadius / 2.0;
    EXPECT_EQ(m.apply_into(x, out, pool, 0.0, edge).error().variant(), CoreError::Variant::OutOfMagnusRadius);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(m.apply_into(x, out, pool, 0.0, std::nextafter(edge, 0.0)).error().variant(),
              CoreError::Variant::CallbackFailed);
    EXPECT_EQ(calls, 1);  // the second sample is never asked for
    EXPECT_EQ(out, (Vec{7.0, 7.0, 7.0}));
}

TEST(VarCoefMagnus, SampleChecks) {
    const auto path = std::make_shared<const Graph<double>>(Graph<double>::path(3));
    const LaplacianProvider lap = ConstantLaplacianCallback{path};
    auto with = [&](Vec a1, Vec a2) {
        CoefficientProvider a = [=](double t) -> Expected<Vec> { return t < 0.5 ? a1 : a2; };
        return VarCoefMagnusGraphHeatChernoff::make(3, lap, a, 1.0, 1.0)->sample(0.0, 1.0);
    };
    auto r = with({1.0, 1.0}, {1.0, 1.0, 1.0, 1.0});
    EXPECT_STREQ(r.error().text(), "VarCoefMagnusGraphHeatChernoff: a_at_t(t).len() != n_nodes");
    EXPECT_EQ(r.error().f0(), 4.0);
    r = with({1.0, 0.0, -1.0}, {1.0, 1.0, 1.0});
    EXPECT_STREQ(r.error().text(), "VarCoefMagnusGraphHeatChernoff: a_at_t(t) must be strictly positive and finite");
    EXPECT_EQ(r.error().f0(), 0.0);
    r = with({4.0, 9.0, 1.0}, {1.0, 1.0, 0.25});
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->s1, (Vec{2.0, 3.0, 1.0}));
    EXPECT_EQ(r->s2, (Vec{1.0, 1.0, 0.5}));
}

// Across block boundaries (64 steps) and with more columns than workers,
// every column equals stepping it alone, and the provider sees evolve's
// times in evolve's order.
TEST(MagnusBatched, ColumnsEqualEvolveAcrossBlocks) {
    const std::size_t n = 12;
    const std::uint64_t steps = 150;
    const double tau = 0.01;
    std::vector<double> times;
    const LaplacianProvider lap = [&](double t) -> Expected<SharedLaplacian> {
        times.push_back(t);
        return moving_path(n, 3.0 * t);
    };
    const auto m = *MagnusGraphHeatChernoff::make(std::make_shared<const Graph<double>>(Graph<double>::path(n)), lap,
                                                  true, 6.0);
    const std::size_t cols = 2 * worker_count() + 1;
    Vec src(n * cols), dst(n * cols);
    for (std::size_t i = 0; i < src.size(); ++i) src[i] = std::sin(0.37 * static_cast<double>(i));
    ASSERT_TRUE(magnus_evolve_batched(m, n, steps, tau, src, dst).has_value());
    const std::vector<double> batched_times = times;
    ASSERT_EQ(batched_times.size(), 2 * steps);
    for (std::size_t c = 0; c < cols; ++c) {
        times.clear();
        const Vec col(src.begin() + c * n, src.begin() + (c + 1) * n);
        const Vec alone = *magnus_evolve(m, col, steps, tau);
        EXPECT_EQ(times, batched_times);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(dst[c * n + i], alone[i]) << "column " << c;
    }
}

}  // namespace
}  // namespace quorvane
