// The dense Pade exponential, the backward-Euler action and the Chebyshev and
// Lanczos actions.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "core/foundation/stop.hpp"
#include "core/graph/graph_krylov.hpp"
#include "core/graph/laplacian.hpp"
#include "core/graph/pcg.hpp"

namespace quorvane {
namespace {

using Arr = std::array<double, kKrylovMaxDim>;

TEST(ExpmPade13, AgainstScipyAndClosedForms) {
    Arr a{}, b{};
    const double av[] = {2.0, 1.5, 3.0, 0.5, 1.0};
    const double bv[] = {99.0, 0.7, -1.2, 0.4, 2.0};  // b[0] is never read
    for (int i = 0; i < 5; ++i) a[i] = av[i], b[i] = bv[i];
    // scipy.linalg.expm(-dt T)[:, 0] and [4, 4]; dt = 4 needs scaling and squaring.
    const double ref03[] = {0.5617206983099878, -0.12778545424823767, -0.020134464859357215, 0.0009273246880722548,
                            -0.00014380008932446305};
    const double ref4[] = {0.02705608870534633, -0.08275171117251819, -0.1244913027725355, 1.0105159966094912,
                           -0.8800320829375381};
    auto e03 = expm_pade13(0.3, a, b, 5);
    auto e4 = expm_pade13(4.0, a, b, 5);
    ASSERT_TRUE(e03 && e4);
    for (int i = 0; i < 5; ++i) {
        EXPECT_NEAR((*e03)[i][0], ref03[i], 1e-15);
        EXPECT_NEAR((*e4)[i][0], ref4[i], 1e-13);
    }
    EXPECT_NEAR((*e4)[4][4], 74.69370153298208, 1e-11);
    EXPECT_NEAR((*e4)[10][10], 1.0, 1e-15);  // the padding stays the identity
    // 2x2 block: e^{-ta} cosh(tb) and -e^{-ta} sinh(tb).
    Arr a2{}, b2{};
    a2[0] = a2[1] = 0.8;
    b2[1] = 0.3;
    auto e2 = *expm_pade13(1.7, a2, b2, 2);
    EXPECT_NEAR(e2[0][0], std::exp(-1.7 * 0.8) * std::cosh(1.7 * 0.3), 1e-15);
    EXPECT_NEAR(e2[1][0], -std::exp(-1.7 * 0.8) * std::sinh(1.7 * 0.3), 1e-15);
    auto id = *expm_pade13(0.0, a, b, 5);
    EXPECT_DOUBLE_EQ(id[2][2], 1.0);
    EXPECT_EQ(id[2][1], 0.0);
}

// A weighted path with spectrum spread over [0, ~8].
std::shared_ptr<const Laplacian<double>> test_laplacian(std::size_t n) {
    std::vector<Edge<double>> edges;
    for (std::size_t i = 0; i + 1 < n; ++i) edges.push_back({std::uint32_t(i), std::uint32_t(i + 1), 1.0 + 0.5 * std::sin(double(i))});
    return std::make_shared<const Laplacian<double>>(
        Laplacian<double>::from_graph(*Graph<double>::from_edges(n, edges), LaplacianKind::Combinatorial));
}

TEST(ImplicitEuler, InvertsTheBackwardEulerPower) {
    const auto lap = test_laplacian(12);
    const LaplacianOperator op(*lap);
    std::vector<double> x(12), y(12), z(12), w(12);
    for (std::size_t i = 0; i < 12; ++i) x[i] = std::cos(0.7 * double(i));
    ScratchPool<double> pool;
    const double t = 2.0;
    const std::uint64_t n = 5;
    ASSERT_TRUE(implicit_euler_action(op, x, y, n, t, 1e-13, std::nullopt, pool));
    // (I + dt L)^n y must give back x.
    z = y;
    for (std::uint64_t k = 0; k < n; ++k) {
        op.apply(z, w);
        for (std::size_t i = 0; i < 12; ++i) z[i] += (t / double(n)) * w[i];
    }
    for (std::size_t i = 0; i < 12; ++i) EXPECT_NEAR(z[i], x[i], 1e-11);
    // Scale-free: x * 1e-160 gives y * 1e-160, not zeros.
    std::vector<double> xs(12), ys(12);
    for (std::size_t i = 0; i < 12; ++i) xs[i] = x[i] * 1e-160;
    ASSERT_TRUE(implicit_euler_action(op, xs, ys, n, t, 1e-13, std::nullopt, pool));
    for (std::size_t i = 0; i < 12; ++i) EXPECT_NEAR(ys[i] / 1e-160, y[i], 1e-12);
}

TEST(ImplicitEuler, Failures) {
    const auto lap = test_laplacian(6);
    const LaplacianOperator op(*lap);
    std::vector<double> x(6, 1.0), y(6, 7.0);
    x[0] = 2.0;
    ScratchPool<double> pool;
    auto r = implicit_euler_action(op, x, y, 0, 1.0, 1e-10, std::nullopt, pool);
    EXPECT_STREQ(r.error().text(), "implicit_euler_action: n_steps must be >= 1");
    r = implicit_euler_action(op, x, y, 1, 1.0, 1e-10, 0, pool);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().variant(), CoreError::Variant::ConvergenceFailed);
    EXPECT_TRUE(std::isinf(r.error().f0()));
    EXPECT_EQ(y[0], 7.0);  // untouched on failure
    std::vector<double> zero(6, 0.0);
    ASSERT_TRUE(implicit_euler_action(op, zero, y, 3, 1.0, 1e-10, std::nullopt, pool));
    EXPECT_EQ(y, zero);
}

// A slow operator (1 ms a product, as a large dense one is) counting its
// products; the stop hook asks to stop once `stop_after` products were made.
struct SlowOperator final : SpdOperator {
    const LaplacianOperator& inner;
    mutable std::atomic<std::uint64_t> products{0};
    explicit SlowOperator(const LaplacianOperator& op) : inner(op) {}
    std::size_t n() const override { return inner.n(); }
    double spectral_bound() const override { return inner.spectral_bound(); }
    void apply(std::span<const double> x, std::span<double> y) const override {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++products;
        inner.apply(x, y);
    }
};

struct StopAfter {
    const SlowOperator* op;
    std::uint64_t stop_after;
    static bool ask(void* ctx) {
        auto* s = static_cast<StopAfter*>(ctx);
        return s->op->products.load() >= s->stop_after;
    }
};

TEST(ImplicitEuler, StopRequestsReachTheDiagonalProbeAndTheSolve) {
    const std::size_t n = 300;
    const auto lap = test_laplacian(n);
    const LaplacianOperator inner(*lap);
    std::vector<double> x(n), y(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = std::cos(0.7 * double(i));
    ScratchPool<double> pool;
    // One stiff solve: the probe takes n products, CG well over a hundred more.
    const double t = 1e8;
    const std::uint64_t cg_cap = 100000;
    SlowOperator full(inner);
    ASSERT_TRUE(implicit_euler_action(full, x, y, 1, t, 1e-14, cg_cap, pool));
    ASSERT_GT(full.products.load(), n + 150);
    // Polls come every 14 products here (4096 / 300) and consult the hook at
    // most every 50 ms: within about 64 products of the request. Without a
    // poll inside, the probe or the solve would run out.
    for (const std::uint64_t request : {std::uint64_t{0}, std::uint64_t{n + 1}}) {
        SlowOperator op(inner);
        StopAfter stop{&op, request};
        const ScopedStopHook hook(StopHook{&StopAfter::ask, &stop});
        auto r = implicit_euler_action(op, x, y, 1, t, 1e-14, cg_cap, pool);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().variant(), CoreError::Variant::CallbackFailed);
        EXPECT_LT(op.products.load(), request + 100) << "stop requested at product " << request;
    }
}

// The operator without its diagonal: the action probes it with unit vectors.
struct ProbedOperator final : SpdOperator {
    const SpdOperator& inner;
    explicit ProbedOperator(const SpdOperator& op) : inner(op) {}
    std::size_t n() const override { return inner.n(); }
    double spectral_bound() const override { return inner.spectral_bound(); }
    void apply(std::span<const double> x, std::span<double> y) const override { inner.apply(x, y); }
};

TEST(ImplicitEuler, GivenDiagonalHasTheBitsOfTheProbe) {
    std::vector<std::shared_ptr<const Laplacian<double>>> laps{test_laplacian(40)};  // weighted degrees
    std::vector<Edge<double>> edges{{0, 1, 0.3}, {1, 2, 1.7}, {0, 2, 0.9}};  // node 3 isolated
    laps.push_back(std::make_shared<const Laplacian<double>>(
        Laplacian<double>::from_graph(*Graph<double>::from_edges(4, edges), LaplacianKind::Normalized)));
    // Columns out of order, a diagonal stored in pieces whose sum depends on
    // their order ((0.1 + 0.2) + 0.7 != 0.1 + (0.2 + 0.7)), a row with none.
    laps.push_back(std::make_shared<const Laplacian<double>>(
        *from_csr_parts(4, {0, 5, 8, 10, 14}, {2, 0, 1, 0, 0, 1, 0, 3, 3, 0, 3, 1, 2, 3},
                        {-0.25, 0.1, -0.5, 0.2, 0.7, 2.0, -0.5, -0.5, -1.0, -0.25, 0.7, -0.5, -1.0, 0.8},
                        LaplacianKind::GeneralSymmetric)));
    for (const auto& lap : laps) {
        const LaplacianOperator op(*lap);
        const ProbedOperator probed(op);
        const std::size_t n = op.n();
        std::vector<double> d(n), e(n, 0.0), w(n);
        ASSERT_TRUE(op.diagonal(d));
        for (std::size_t i = 0; i < n; ++i) {
            e[i] = 1.0;
            op.apply(e, w);
            e[i] = 0.0;
            EXPECT_EQ(std::bit_cast<std::uint64_t>(d[i]), std::bit_cast<std::uint64_t>(w[i])) << n << " " << i;
        }
        std::vector<double> x(n), y(n), y_probed(n);
        for (std::size_t i = 0; i < n; ++i) x[i] = std::cos(0.7 * double(i));
        ScratchPool<double> pool;
        ASSERT_TRUE(implicit_euler_action(op, x, y, 2, 0.3, 1e-12, std::nullopt, pool));
        ASSERT_TRUE(implicit_euler_action(probed, x, y_probed, 2, 0.3, 1e-12, std::nullopt, pool));
        EXPECT_EQ(y, y_probed) << n;
    }
}

TEST(KrylovActions, EdgelessOperatorIsTheIdentity) {
    auto lap = std::make_shared<const Laplacian<double>>(
        Laplacian<double>::from_graph(Graph<double>::edgeless(4), LaplacianKind::Combinatorial));
    const std::vector<double> x{1, -2, 3, 0.5};
    for (KrylovPath p : {KrylovPath::chebyshev(), KrylovPath::lanczos(18)}) {
        auto op = *GraphKrylovChernoff::make(p, lap, 1e-10);
        std::vector<double> y(4);
        ScratchPool<double> pool;
        ASSERT_TRUE(op.apply_into(3.0, x, y, pool));
        EXPECT_EQ(y, x);
    }
    EXPECT_STREQ(GraphKrylovChernoff::make(KrylovPath::lanczos(0), lap, 1e-10).error().text(),
                 "GraphKrylovChernoff: m_max must be >= 1 for the Lanczos path");
}

TEST(KrylovActions, EighteenVectorBasisAndWorkCap) {
    // n >= 18 and tau * rho around 1 use the full 18-vector basis.
    const auto lap = test_laplacian(40);
    auto lz = *GraphKrylovChernoff::make(KrylovPath::lanczos(18), lap, 1e-10);
    auto ch = *GraphKrylovChernoff::make(KrylovPath::chebyshev(), lap, 1e-12);
    std::vector<double> x(40), y1(40), y2(40);
    for (std::size_t i = 0; i < 40; ++i) x[i] = std::sin(0.3 * double(i)) + (i == 7);
    ScratchPool<double> pool;
    const double tau = 1.0 / lap->spectral_bound;
    ASSERT_TRUE(lz.apply_into(tau, x, y1, pool));
    ASSERT_TRUE(ch.apply_into(tau, x, y2, pool));
    for (std::size_t i = 0; i < 40; ++i) EXPECT_NEAR(y1[i], y2[i], 1e-11);
    for (const auto* op : {&lz, &ch}) {
        auto r = op->apply_into(1e9, x, y1, pool);
        ASSERT_FALSE(r);
        EXPECT_NE(std::string(r.error().text()).find("more than 10000000 operator products"), std::string::npos);
    }
}

// The unit path: integer entries, so constants are an exact null vector of
// the stored matrix and e^{-tau L} 1 = 1 exactly.
std::shared_ptr<const Laplacian<double>> unit_path(std::size_t n) {
    return std::make_shared<const Laplacian<double>>(
        Laplacian<double>::from_graph(Graph<double>::path(n), LaplacianKind::Combinatorial));
}

TEST(KrylovActions, ChebyshevTolBoundsEverySubStepTogether) {
    const auto lap = unit_path(30);
    const LaplacianOperator op(*lap);
    const std::vector<double> ones(30, 1.0);
    std::vector<double> y(30);
    ScratchPool<double> pool;
    // On the null space every sub-step's truncation has the same sign: they
    // added up to 250-390 tol at tau rho = 1e5 (t rho / 400 sub-steps).
    for (const double tau_rho : {1e2, 1e3, 1e4, 1e5}) {
        for (const double tol : {1e-4, 1e-8, 1e-12}) {
            ASSERT_TRUE(chebyshev_expmv(op, tau_rho / lap->spectral_bound, tol, ones, y, pool));
            for (const double v : y) ASSERT_LE(std::fabs(v - 1.0), tol) << tau_rho << " " << tol;
        }
    }
    // 250 sub-steps round to some 3e-13 (twice that is the least tol met).
    const auto r = chebyshev_expmv(op, 1e5 / lap->spectral_bound, 1e-13, ones, y, pool);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().variant(), CoreError::Variant::DomainViolation);
    EXPECT_NE(std::string(r.error().text()).find("; use tol >= 1e-12"), std::string::npos);
    EXPECT_GT(r.error().f0(), 1e-13);
    EXPECT_LE(r.error().f0(), 1e-12);
}

TEST(ImplicitEuler, ShortStepsMoveTheirStart) {
    // dt rho = 1e-4: each step changes its start by about 1e-4 of its length,
    // so a residual test relative to the right-hand side alone took every
    // start as converged, and 10000 steps returned x unchanged.
    const auto lap = unit_path(40);
    const LaplacianOperator op(*lap);
    std::vector<double> x(40), y(40), exact(40);
    for (std::size_t i = 0; i < 40; ++i) x[i] = std::cos(0.3 * double(i)) + (i == 7);
    ScratchPool<double> pool;
    const double t = 1.0 / lap->spectral_bound;
    const std::uint64_t n = 10000;
    ASSERT_TRUE(implicit_euler_action(op, x, y, n, t, 1e-4, std::nullopt, pool));
    ASSERT_TRUE(chebyshev_expmv(op, t, 1e-14, x, exact, pool));
    double err = 0.0, len = 0.0;
    for (std::size_t i = 0; i < 40; ++i) {
        err += (y[i] - exact[i]) * (y[i] - exact[i]);
        len += x[i] * x[i];
    }
    // Backward Euler's error is at most 0.271 / n per mode, the solves' at
    // most about tol in all.
    EXPECT_LE(std::sqrt(err), (0.271 / double(n) + 1e-4) * std::sqrt(len));
}

TEST(ImplicitEuler, StepsWithinABudgetAreTheLeastThatFit) {
    // ln(2e11) = 26.02: steps of t rho / n fit a budget B when 26.02 sqrt(1 + t rho / n) <= B.
    const double tol = 1e-11;
    EXPECT_EQ(cg_iteration_bound(1.0, 1e4, tol), 2603u);
    for (const std::uint64_t budget : {27u, 30u, 80u, 2602u}) {
        const std::optional<std::uint64_t> n = cg_steps_within(1.0, 1e4, tol, budget);
        ASSERT_TRUE(n) << budget;
        EXPECT_LE(cg_iteration_bound(1.0 / double(*n), 1e4, tol), budget);
        if (*n > 1) {
            EXPECT_GT(cg_iteration_bound(1.0 / double(*n - 1), 1e4, tol), budget);
        }
    }
    EXPECT_EQ(cg_steps_within(1.0, 1e4, tol, 2603), std::optional<std::uint64_t>(1));
    EXPECT_EQ(cg_steps_within(0.0, 1e4, tol, 27), std::optional<std::uint64_t>(1));
    // Below ceil(ln(2/tol)) even the shortest steps do not fit; a count past 2^64 - 1 is no way out.
    EXPECT_FALSE(cg_steps_within(1.0, 1e4, tol, 26));
    EXPECT_FALSE(cg_steps_within(1e300, 1e4, tol, 80));
    // A tol below 1e-12 is taken as 1e-12 (ln(2e12) = 28.3).
    EXPECT_EQ(cg_iteration_bound(1.0, 0.0, 1e-20), 29u);
}

TEST(KrylovActions, ChebyshevPlanFitsWhereTheActionPlans) {
    // t rho = 1e5 at tol 1e-13 is refused for its rounding, and t rho = 1e8 for its work.
    EXPECT_TRUE(chebyshev_plan_fits(1e4, 1.0, 1e-11));
    EXPECT_TRUE(chebyshev_plan_fits(0.0, 1.0, 1e-11));
    EXPECT_FALSE(chebyshev_plan_fits(1e5, 1.0, 1e-13));
    EXPECT_FALSE(chebyshev_plan_fits(1e8, 1.0, 1e-8));
    EXPECT_FALSE(chebyshev_plan_fits(1.0, 1.0, 0.0));
}

TEST(KrylovActions, LanczosBeyondItsWorkCapIsRefusedBeforeAnyMmaxIsNamed) {
    // The largest tau rho the table plan serves on n rows, and one ulp beyond it.
    EXPECT_EQ(lanczos_largest_argument(0), std::numeric_limits<double>::infinity());
    for (std::size_t n : {1, 5, 17, 18, 40, 100000}) {
        const double x = lanczos_largest_argument(n);
        EXPECT_TRUE(lanczos_plan_fits(x, n)) << n;
        EXPECT_FALSE(lanczos_plan_fits(std::nextafter(x, INFINITY), n)) << n;
    }
    EXPECT_DOUBLE_EQ(lanczos_largest_argument(40), 555555 * 1.091);
    const auto lap = unit_path(40);
    const LaplacianOperator op(*lap);
    const double edge = lanczos_largest_argument(40) / lap->spectral_bound;
    std::vector<double> x(40, 1.0), y(40);
    ScratchPool<double> pool;
    // Capped sizes: within the cap one is named (m_max = 1 never meets tol), beyond it none is.
    for (std::size_t m_max : {1, 10, 18}) {
        const Status beyond = lanczos_expmv(op, edge * 1.001, m_max, 1e-10, x, y, pool);
        ASSERT_FALSE(beyond);
        EXPECT_STREQ(beyond.error().text(), kLanczosBeyondWork);
    }
    const Status named = lanczos_expmv(op, edge, 1, 1e-10, x, y, pool);
    ASSERT_FALSE(named);
    EXPECT_NE(std::string(named.error().text()).find("use m_max >= "), std::string::npos);
}

}  // namespace
}  // namespace quorvane
