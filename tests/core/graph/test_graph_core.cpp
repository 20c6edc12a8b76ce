// Graph building, Laplacian assembly and CSR validation.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#include "core/foundation/stop.hpp"
#include "core/graph/graph.hpp"
#include "core/graph/laplacian.hpp"
#include "core/graph/norm_guard.hpp"
#include "core/graph/rayleigh.hpp"

namespace quorvane {
namespace {

void expect_domain(const CoreError& e, const char* what, double value) {
    EXPECT_EQ(e.variant(), CoreError::Variant::DomainViolation);
    EXPECT_STREQ(e.text(), what);
    if (std::isnan(value)) EXPECT_TRUE(std::isnan(e.f0()));
    else EXPECT_EQ(e.f0(), value);
}

TEST(GraphFromEdges, ChecksInOrderAndNodeValues) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        std::vector<double> triples;
        const char* what;
        double value;
    };
    const Case cases[] = {
        {{7, 7, 1.0}, "Graph::from_edges: self-loop not allowed", 7},
        {{0, 1e12, 1.0}, "Graph::from_edges: node index >= n_nodes", 4294967295.0},
        {{0, 1, 0.0}, "Graph::from_edges: weight must be finite and positive", 0.0},
        {{0, 1, 2.0, 1, 0, 1.0}, "Graph::from_edges: duplicate edge", 1},
        // NaN and values <= -1 used to become node 0.
        {{nan, 1, 1.0}, "Graph::from_edges: node index must be a number > -1", nan},
        {{2, -1.0, 1.0}, "Graph::from_edges: node index must be a number > -1", -1.0},
    };
    for (const Case& c : cases) {
        auto g = graph_from_edge_values(5, c.triples);
        ASSERT_FALSE(g.has_value()) << c.what;
        expect_domain(g.error(), c.what, c.value);
    }
    // Fractions truncate toward zero: (1.9, -0.5) joins nodes 1 and 0.
    auto g = graph_from_edge_values(3, std::vector<double>{1.9, -0.5, 2.0});
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ(g->col_idx, (std::vector<std::uint32_t>{1, 0}));
    EXPECT_EQ(g->row_ptr, (std::vector<std::uint64_t>{0, 1, 2, 2}));
}

// The duplicate scans cost O(M * max degree) and G(n, p) draws n(n - 1)/2
// numbers: a stop request pending before the work ends every builder at once.
TEST(GraphBuilders, PendingStopEndsScansAndDraws) {
    std::atomic<bool> stop{true};
    const ScopedStopFlag flag(stop);
    const auto stopped = [](const CoreError& e) { return e.variant() == CoreError::Variant::CallbackFailed; };
    EXPECT_TRUE(stopped(graph_from_edge_values(3, std::vector<double>{0, 1, 1.0}).error()));
    EXPECT_TRUE(stopped(Graph<float>::from_edges(3, std::vector<Edge<float>>{{0, 1, 1.0f}}).error()));
    const std::pair<std::uint32_t, std::uint32_t> pair{0, 2};
    EXPECT_TRUE(stopped(split_laplacian(3, {&pair, 1}).error()));
    EXPECT_TRUE(stopped(erdos_renyi(100, 0.5, 42).error()));
}

TEST(Laplacian, PathRowsAndBounds) {
    const auto g = Graph<double>::path(3);
    const auto c = Laplacian<double>::from_graph(g, LaplacianKind::Combinatorial);
    EXPECT_EQ(c.col_idx, (std::vector<std::uint32_t>{1, 0, 0, 2, 1, 1, 2}));
    EXPECT_EQ(c.vals, (std::vector<double>{-1, 1, -1, -1, 2, -1, 1}));
    EXPECT_EQ(c.spectral_bound, 4.0);
    const auto nz = Laplacian<double>::from_graph(g, LaplacianKind::Normalized);
    EXPECT_DOUBLE_EQ(nz.spectral_bound, 1.0 + std::sqrt(2.0));
    // An isolated node keeps one stored zero diagonal.
    const auto iso = Laplacian<double>::from_graph(Graph<double>::edgeless(2), LaplacianKind::Normalized);
    EXPECT_EQ(iso.vals, (std::vector<double>{0.0, 0.0}));
}

TEST(FromCsrParts, StructuralChecks) {
    struct Case {
        std::uint64_t n;
        std::vector<std::uint64_t> row_ptr;
        std::vector<std::uint32_t> col;
        const char* what;
        double value;
    };
    const Case cases[] = {
        {2, {0, 1}, {0}, "from_csr_parts: row_ptr.len() must equal n_nodes+1", 2},
        // An offset start would silently drop the entries before it.
        {2, {1, 2, 3}, {0, 1, 1}, "from_csr_parts: row_ptr[0] must be 0", 1},
        {2, {0, 2, 1}, {0, 1}, "from_csr_parts: row_ptr not monotone non-decreasing", 1},
        {2, {0, 1, 3}, {0, 1}, "from_csr_parts: col_idx.len()/vals.len() must equal row_ptr[n_nodes]", 3},
        {2, {0, 1, 2}, {0, 2}, "from_csr_parts: col_idx entry >= n_nodes", 2},
    };
    for (const Case& c : cases) {
        std::vector<double> vals(c.col.size(), 1.0);
        auto l = from_csr_parts(c.n, c.row_ptr, c.col, vals, LaplacianKind::GeneralSymmetric);
        ASSERT_FALSE(l.has_value()) << c.what;
        expect_domain(l.error(), c.what, c.value);
    }
    auto empty = from_csr_parts(0, {0}, {}, {}, LaplacianKind::GeneralSymmetric);
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->spectral_bound, 0.0);
}

TEST(FromCsrParts, EntryChecks) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto with = [](std::vector<double> vals) {
        return *from_csr_parts(2, {0, 2, 4}, {0, 1, 0, 1}, std::move(vals), LaplacianKind::GeneralSymmetric);
    };
    // A NaN row sum never raises the bound, so the entry check must catch it.
    const auto l = with({nan, -1, -1, 1});
    EXPECT_EQ(l.spectral_bound, 2.0);
    expect_domain(check_laplacian_entries(l).error(), "Laplacian::from_csr: non-finite entry", nan);
    expect_domain(check_laplacian_entries(with({1, -1, -1, -0.5})).error(),
                  "Laplacian::from_csr: diagonal entry must be >= 0", -0.5);
    // Positive off-diagonal entries stay accepted.
    EXPECT_TRUE(check_laplacian_entries(with({1, 0.5, 0.5, 1})).has_value());
}

TEST(Rayleigh, LowerBoundOfTheLargestEigenvalue) {
    // Path of n nodes: lambda_max = 2 + 2 cos(pi / n). The quotient never exceeds
    // it (beyond rounding) and comes close: the start vector is not orthogonal
    // to the top eigenvector, whatever the numbering.
    for (const std::uint64_t n : {2u, 3u, 10u, 200u}) {
        const auto l = Laplacian<double>::from_graph(Graph<double>::path(n), LaplacianKind::Combinatorial);
        const double lam = 2.0 + 2.0 * std::cos(M_PI / static_cast<double>(n));
        const std::optional<double> lower = largest_eigenvalue_lower_bound(l);
        ASSERT_TRUE(lower.has_value());
        EXPECT_LE(*lower, lam * (1 + 1e-14));
        EXPECT_GT(*lower, 0.95 * lam);
        EXPECT_FALSE(bound_below_lower(lam, *lower));  // the exact largest eigenvalue is never refused
        const auto l32 = *laplacian_to_f32(l);
        EXPECT_GT(*largest_eigenvalue_lower_bound(l32), 0.95 * lam);
    }
    // A warm start continues from the Ritz vector, which is kept: the steps
    // from it find a Ritz value at least its quotient.
    {
        const auto l = Laplacian<double>::from_graph(Graph<double>::path(200), LaplacianKind::Combinatorial);
        std::vector<double> x(3, 1.0);  // another length: the fixed start
        const double cold = *largest_eigenvalue_lower_bound(l, x, kRayleighIterations);
        EXPECT_EQ(cold, *largest_eigenvalue_lower_bound(l));
        ASSERT_EQ(x.size(), 200u);
        EXPECT_GE(*largest_eigenvalue_lower_bound(l, x, 4), cold);
    }
    // A non-symmetric operator's quotients bound nothing: [[0, 10], [0, 0]] has
    // spectral radius 0 but quotients up to 5.
    EXPECT_FALSE(largest_eigenvalue_lower_bound(
                     *from_csr_parts(2, {0, 2, 3}, {0, 1, 1}, {0.0, 10.0, 0.0}, LaplacianKind::GeneralSymmetric))
                     .has_value());
    EXPECT_FALSE(largest_eigenvalue_lower_bound(Laplacian<double>{}).has_value());
    // No edges: every quotient is 0.
    EXPECT_EQ(largest_eigenvalue_lower_bound(Laplacian<double>::from_graph(
                  *Graph<double>::from_edges(4, std::vector<Edge<double>>{}), LaplacianKind::Combinatorial)),
              0.0);
}

Laplacian<double> combinatorial(std::uint64_t n, const std::vector<Edge<double>>& edges) {
    return Laplacian<double>::from_graph(*Graph<double>::from_edges(n, edges), LaplacianKind::Combinatorial);
}

// The same matrix from caller arrays, values changed by `edit`.
template <class Edit>
Laplacian<double> csr_copy(const Laplacian<double>& l, Edit edit) {
    std::vector<double> vals = l.vals;
    edit(vals);
    return *from_csr_parts(l.n_nodes, l.row_ptr, l.col_idx, std::move(vals), LaplacianKind::GeneralSymmetric);
}

TEST(Rayleigh, LanczosFindsTheTopOfSmallSpectra) {
    // Largest eigenvalues: star of n nodes n, complete graph n, path 2 + 2 cos(pi/n),
    // components: the largest of theirs. The Krylov space closes or converges
    // within the steps; the Ritz value is a Rayleigh quotient, so never above
    // beyond the rounding of the steps.
    std::vector<Edge<double>> star, complete, split{{0, 1, 2.0}, {1, 2, 1.0}, {5, 6, 0.5}, {7, 8, 3.0}};
    for (std::uint32_t j = 1; j < 20; ++j) star.push_back({0, j, 1.0});
    for (std::uint32_t i = 0; i < 15; ++i)
        for (std::uint32_t j = i + 1; j < 15; ++j) complete.push_back({i, j, 1.0});
    const struct {
        Laplacian<double> l;
        double lam;
    } cases[] = {{combinatorial(20, star), 20.0},
                 {combinatorial(15, complete), 15.0},
                 {Laplacian<double>::from_graph(Graph<double>::path(64), LaplacianKind::Combinatorial),
                  2.0 + 2.0 * std::cos(M_PI / 64)},
                 {combinatorial(10, split), 6.0},  // edge of weight 3: eigenvalues 0, 2 * 3
                 {combinatorial(2, {{0, 1, 1.5}}), 3.0},
                 {combinatorial(1, {}), 0.0}};
    for (const auto& c : cases) {
        const std::optional<RitzEstimate> e = largest_ritz_value(c.l, kLanczosMaxIterations);
        ASSERT_TRUE(e.has_value());
        EXPECT_LE(e->value, c.lam * (1 + 1e-12));
        EXPECT_GE(e->value, c.lam * (1 - 1e-12));
    }
}

TEST(Rayleigh, CallerArraysAreProbedThroughTheirSymmetricPart) {
    const auto l = Laplacian<double>::from_graph(Graph<double>::path(64), LaplacianKind::Combinatorial);
    const double exact = largest_ritz_value(l, kLanczosMaxIterations)->value;
    // Entry (0, 1) one ulp off its partner: the probe sees (L + L')/2.
    const auto ulp = csr_copy(l, [](std::vector<double>& v) { v[0] = std::nextafter(v[0], 0.0); });
    ASSERT_TRUE(largest_ritz_value(ulp, kLanczosMaxIterations).has_value());
    EXPECT_NEAR(largest_ritz_value(ulp, kLanczosMaxIterations)->value, exact, 1e-13);
    // An asymmetry far beyond rounding is refused, however the rows are stored.
    const auto skewed = csr_copy(l, [](std::vector<double>& v) { v[0] *= 1.001; });
    EXPECT_FALSE(largest_ritz_value(skewed, kLanczosMaxIterations).has_value());
}

TEST(Rayleigh, NormGrowthRateIsTheGershgorinBoundOfTheSymmetricPart) {
    EXPECT_EQ(norm_growth_rate(Laplacian<double>::from_graph(Graph<double>::path(5), LaplacianKind::Normalized)), 0.0);
    const auto l = Laplacian<double>::from_graph(Graph<double>::path(5), LaplacianKind::Combinatorial);
    EXPECT_EQ(norm_growth_rate(csr_copy(l, [](std::vector<double>&) {})), 0.0);
    // [[1, 2], [2, 1]]: eigenvalues 3 and -1, Gershgorin gives 1 - 2.
    EXPECT_EQ(norm_growth_rate(*from_csr_parts(2, {0, 2, 4}, {0, 1, 0, 1}, {1.0, 2.0, 2.0, 1.0},
                                               LaplacianKind::GeneralSymmetric)),
              1.0);
    // [[0, 10], [0, 0]]: (L + L')/2 = [[0, 5], [5, 0]].
    EXPECT_EQ(norm_growth_rate(*from_csr_parts(2, {0, 2, 3}, {0, 1, 1}, {0.0, 10.0, 0.0},
                                               LaplacianKind::GeneralSymmetric)),
              5.0);
}

Laplacian<double> path_laplacian(std::uint64_t n, LaplacianKind kind = LaplacianKind::Combinatorial) {
    return Laplacian<double>::from_graph(Graph<double>::path(n), kind);
}

const auto never = [](const SpectrumEstimate&) { return false; };

TEST(SpectrumProbe, SequenceOfOperatorsBoundedFromBelow) {
    // Paths of 200 nodes scaled by s: lambda_max = s (2 + 2 cos(pi/200)). The cold
    // probe is the Lanczos run of 8 steps; each later probe is one product from the
    // vector the last left, whose quotient (and ||L x||, the kinds from a graph being
    // semi-definite) never exceeds the top and rises with its power steps.
    const double top = 2.0 + 2.0 * std::cos(M_PI / 200.0);
    SpectrumProbe probe(8, 0);
    const auto l = path_laplacian(200);
    const std::optional<SpectrumEstimate> cold = probe.probe(l);
    ASSERT_TRUE(cold.has_value());
    EXPECT_EQ(cold->lower, largest_ritz_value(l, 8)->value);
    EXPECT_GT(cold->reach, top - cold->lower);  // the top lies within reach
    double last = 0.0;
    for (const double s : {1.0, 1.0, 1.0, 2.5, 2.5}) {
        std::vector<double> vals = l.vals;
        for (double& v : vals) v *= s;
        const auto scaled = *from_csr_parts(200, l.row_ptr, l.col_idx, vals, LaplacianKind::Combinatorial);
        const std::optional<SpectrumEstimate> e = probe.probe(scaled);
        ASSERT_TRUE(e.has_value());
        EXPECT_LE(e->lower, s * top * (1 + 1e-14));
        EXPECT_GE(e->lower / s, last * (1 - 1e-14));
        last = e->lower / s;
    }
    EXPECT_GT(last, cold->lower);
    // Caller arrays: their quotient only (the part below 0 is unknown), and grossly
    // asymmetric ones are not probed; the zero operator has the estimate 0.
    const auto csr = *from_csr_parts(200, l.row_ptr, l.col_idx, l.vals, LaplacianKind::GeneralSymmetric);
    ASSERT_TRUE(probe.probe(csr).has_value());
    EXPECT_LE(probe.probe(csr)->lower, top);
    std::vector<double> skewed = l.vals;
    skewed[0] *= 1.001;
    EXPECT_FALSE(
        probe.probe(*from_csr_parts(200, l.row_ptr, l.col_idx, skewed, LaplacianKind::GeneralSymmetric)).has_value());
    const auto empty = Laplacian<double>::from_graph(*Graph<double>::from_edges(4, std::vector<Edge<double>>{}),
                                                     LaplacianKind::Combinatorial);
    EXPECT_EQ(probe.probe(empty)->lower, 0.0);
    EXPECT_FALSE(probe.probe(Laplacian<double>{}).has_value());
}

TEST(SpectrumProbe, RowsNoWideRunHasSeenTakeOne) {
    // A 20-node star beside a 40-node path whose weights go from 1 to w. The star's
    // top (20) holds the probe's vector; at w = 30 the path's top (119.8) is where
    // that vector has no weight, so a single product misses it. With a level of 30.3
    // its rows (ends 4w) are hot and unseen: the probe takes a wide run and sees it.
    auto star_path = [](double w) {
        std::vector<Edge<double>> e;
        for (std::uint32_t i = 1; i < 20; ++i) e.push_back({0, i, 1.0});
        for (std::uint32_t i = 20; i < 59; ++i) e.push_back({i, i + 1, w});
        return Laplacian<double>::from_graph(*Graph<double>::from_edges(60, e), LaplacianKind::Combinatorial);
    };
    const auto light = star_path(1.0), heavy = star_path(30.0);
    const double watch = 30.3;
    SpectrumProbe blind(8, 0), probe(8, 0);
    blind.probe(light);
    probe.probe(light, watch);
    EXPECT_LT(blind.probe(heavy)->lower, 21.0);
    EXPECT_FALSE(probe.has_unseen_hot_rows(light, watch));  // the star's centre (end 38) was seen
    EXPECT_TRUE(probe.has_unseen_hot_rows(heavy, watch));
    const double lower = probe.probe(heavy, watch)->lower;
    EXPECT_GT(lower, 119.0);
    EXPECT_LE(lower, 119.82);
    EXPECT_FALSE(probe.has_unseen_hot_rows(heavy, watch));
    // Seen at w = 30, the rows are hot again only past 1.01 times that end.
    EXPECT_FALSE(probe.has_unseen_hot_rows(star_path(30.2), watch));
    EXPECT_TRUE(probe.has_unseen_hot_rows(star_path(30.4), watch));
}

TEST(SpectrumProbe, RefinementContinuesTheRunWithinItsSteps) {
    // The cold run continued by k steps is the Lanczos run of 8 + k steps, bit for
    // bit; the steps of the sequence run out at the budget.
    const auto l = path_laplacian(1000);
    SpectrumProbe probe(8, 20);
    ASSERT_TRUE(probe.probe(l).has_value());
    const std::optional<SpectrumEstimate> e = probe.refine(l, 12, [](const SpectrumEstimate&) { return true; });
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->lower, largest_ritz_value(l, 20)->value);
    EXPECT_EQ(probe.refine_steps_left(), 8);
    probe.refine(l, 1, never);
    EXPECT_EQ(probe.refine_steps_left(), 0);
    EXPECT_EQ(probe.refine(l, 1, never)->lower, largest_ritz_value(l, 28)->value);
    // 256 steps (the allowance of a call) from the cold run bring the 1000-path and
    // the normalized path within 1e-4 of the top; a warm probe's refinement starts
    // from its vector.
    for (const LaplacianKind kind : {LaplacianKind::Combinatorial, LaplacianKind::Normalized}) {
        const auto m = path_laplacian(1000, kind);
        const double top = kind == LaplacianKind::Combinatorial ? 2.0 + 2.0 * std::cos(M_PI / 1000.0)
                                                                : 1.0 + std::cos(M_PI / 999.0);
        SpectrumProbe fresh(8, 256);
        fresh.probe(m);
        const double lower = fresh.refine(m, 1, never)->lower;
        EXPECT_LE(lower, top * (1 + 1e-14));
        EXPECT_GT(lower, top * (1 - 1e-4));
        SpectrumProbe warm(8, 256);
        warm.probe(m);
        const double once = warm.probe(m)->lower;
        EXPECT_GE(warm.refine(m, 1, never)->lower, once);
        EXPECT_GT(warm.refine(m, 1, never)->lower, top * (1 - 1e-4));
    }
}

TEST(NormGuard, FirstGrownColumn) {
    const std::vector<double> before{3.0, 4.0, 0.0, 1.0};
    EXPECT_FALSE(first_grown_column(before, before, 2, 0.0, 0.0).has_value());
    const std::vector<double> after{3.0, 4.0, 0.0, 1.0 + 1e-9};
    EXPECT_FALSE(first_grown_column(before, after, 2, 0.0, 2e-9).has_value());
    const std::optional<NormGrowth> g = first_grown_column(before, after, 2, 0.0, 1e-12);
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ(g->column, 1u);
    EXPECT_EQ(g->before, 1.0);
    // An allowance exp(log 2) lets the norm double; squares of 1e200 do not overflow.
    EXPECT_FALSE(first_grown_column(before, std::vector<double>{6.0, 8.0, 0.0, 1.9}, 2, std::log(2.0), 1e-12));
    EXPECT_DOUBLE_EQ(norm2(std::vector<double>{3e200, 4e200}), 5e200);
}

TEST(Laplacian, EdgesRoundTripAndSinglePrecision) {
    const std::vector<Edge<double>> edges{{0, 2, 0.5}, {1, 2, 3.0}};
    const auto g = *Graph<double>::from_edges(3, edges);
    const auto l = Laplacian<double>::from_graph(g, LaplacianKind::Combinatorial);
    const auto back = laplacian_edges(l);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1].w, 3.0);
    const auto g2 = *Graph<double>::from_edges(3, back);
    EXPECT_EQ(g2.weights, g.weights);
    // 1e-50 rounds to 0 in single precision and is refused there.
    const auto tiny = *Graph<double>::from_edges(2, std::vector<Edge<double>>{{0, 1, 1e-50}});
    expect_domain(graph_to_f32(tiny).error(), "Graph::from_edges: weight must be finite and positive", 0.0);
}

TEST(Laplacian, SinglePrecisionCombinatorialOfAnyLaplacian) {
    // A normalized Laplacian becomes the combinatorial one over its
    // off-diagonal weights: 1/sqrt(2) on both edges of the 3-path.
    const auto nz = Laplacian<double>::from_graph(Graph<double>::path(3), LaplacianKind::Normalized);
    const auto f = combinatorial_f32_of(nz);
    EXPECT_FLOAT_EQ(f->vals[4], static_cast<float>(2.0 / std::sqrt(2.0)));
    // A repeated pair is no graph: the unit path stands in.
    auto rep = *from_csr_parts(3, {0, 2, 2, 2}, {1, 1}, {-1.0, -2.0}, LaplacianKind::GeneralSymmetric);
    const auto p = combinatorial_f32_of(rep);
    EXPECT_EQ(p->vals, (std::vector<float>{-1, 1, -1, -1, 2, -1, 1}));
}

}  // namespace
}  // namespace quorvane
