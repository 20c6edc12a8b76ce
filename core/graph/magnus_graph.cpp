#include "core/graph/magnus_graph.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "core/foundation/numeric.hpp"
#include "core/graph/graph_batched.hpp"

namespace quorvane {

namespace {

// The variable-coefficient step's commutator weight: one ulp above
// kMagnus4Weight.
constexpr double kVarCoefMagnus4Weight = 0.14433756729740646;

constexpr std::array<double, 3> kTaylor4 = {0.5, 0.16666666666666666, 0.041666666666666664};
constexpr std::array<double, 5> kTaylor6 = {0.5, 0.16666666666666666, 0.041666666666666664, 0.008333333333333333,
                                            0.001388888888888889};

template <class F>
using OmegaFn = FunctionRef<void(std::span<const F>, std::span<F>)>;

// out = x + W x + w_2 W^2 x + ... with the weights of the powers from the
// second on: the powers are formed unscaled (term = W prev) and each weight
// applied as it is added.
template <class F, std::size_t D>
void taylor_apply(std::span<const F> x, std::span<F> out, const std::array<F, D>& weights, std::span<F> term,
                  std::span<F> prev, OmegaFn<F> omega) {
    const std::size_t n = x.size();
    if (out.size() != n || term.size() < n || prev.size() < n) internal_fault("Magnus step: vector length mismatch");
    omega(x, term.first(n));
    for (std::size_t i = 0; i < n; ++i) out[i] = x[i];
    for (std::size_t i = 0; i < n; ++i) out[i] += term[i];
    for (const F w : weights) {
        std::copy(term.begin(), term.begin() + static_cast<std::ptrdiff_t>(n), prev.begin());
        omega(prev.first(n), term.first(n));
        for (std::size_t i = 0; i < n; ++i) out[i] += w * term[i];
    }
}

// The fourth-order exponent over any two operators P1, P2:
//   out = -(tau/2)(P1 x + P2 x) + sign w tau^2 (P2 P1 x - P1 P2 x).
template <class F, class P1, class P2>
void omega4(const P1& p1, const P2& p2, std::span<const F> x, std::span<F> out, std::span<F> s1, std::span<F> s2,
            std::span<F> s3, F tau, F sign, F weight) {
    const std::size_t n = x.size();
    if (out.size() < n || s1.size() < n || s2.size() < n || s3.size() < n) {
        internal_fault("magnus4_omega_apply: scratch shorter than x");
    }
    s1 = s1.first(n);
    s2 = s2.first(n);
    s3 = s3.first(n);
    p1(x, s1);
    p2(x, s2);
    p2(std::span<const F>(s1), s3);
    const F half = -tau / F(2);
    for (std::size_t i = 0; i < n; ++i) out[i] = half * (s1[i] + s2[i]);
    p1(std::span<const F>(s2), s1);
    const F c = sign * weight * tau * tau;
    auto finite = [](std::span<const F> v) { return all_finite(v); };
    if (!finite(s3) || !finite(s1)) {
        if (finite(x)) {
            // The products P2 P1 x, of size rho^2 max|x|, overflowed where
            // the commutator term (tau rho)^2 max|x| is in range (large
            // weights or data): tau applied between the two products.
            p1(x, s2);
            for (std::size_t i = 0; i < n; ++i) s2[i] = tau * s2[i];
            p2(std::span<const F>(s2), s3);
            p2(x, s2);
            for (std::size_t i = 0; i < n; ++i) s2[i] = tau * s2[i];
            p1(std::span<const F>(s2), s1);
            const F c1 = sign * weight * tau;
            for (std::size_t i = 0; i < n; ++i) out[i] += c1 * (s3[i] - s1[i]);
            return;
        }
    }
    if (std::isfinite(c)) {
        for (std::size_t i = 0; i < n; ++i) out[i] += c * (s3[i] - s1[i]);
    } else {
        // tau^2 overflows (an unchecked step, or a bound so small that the
        // radius admits it): tau applied to the commutator first, so that a
        // commutator that vanishes adds nothing instead of inf * 0.
        const F c1 = sign * weight * tau;
        for (std::size_t i = 0; i < n; ++i) out[i] += c1 * (tau * (s3[i] - s1[i]));
    }
}

template <class F>
std::span<F> whole(std::vector<F>& v) {
    return {v.data(), v.size()};
}

std::size_t laplacian_bytes(const SharedLaplacian& l) {
    if (!l) return 0;
    return l->row_ptr.size() * sizeof(std::uint64_t) + l->col_idx.size() * sizeof(std::uint32_t) +
           l->vals.size() * sizeof(double) + sizeof(Laplacian<double>);
}

bool finite_positive(double v) { return std::isfinite(v) && v > 0.0; }

Status check_tau(double tau, const char* what) {
    if (!finite_nonneg(tau)) return domain_error(what, tau);
    return {};
}

// The radius test: a NaN product does not fail.
Status check_radius(bool checked, double tau, double rho) {
    if (checked && tau * rho >= kMagnusRadius) return fail(CoreError::out_of_magnus_radius(tau, rho));
    return {};
}

// ---------------------------------------------------------------------------
// The sixth-order exponent, matrix-free
// ---------------------------------------------------------------------------

// sqrt(15)/3, 10/3, -1/60, 1/12, 1/240.
constexpr double kSqrt15Over3 = 1.2909944487358056;
constexpr double kTenThirds = 3.3333333333333335;
constexpr double kMinusSixtieth = -0.016666666666666666;
constexpr double kTwelfth = 0.08333333333333333;
constexpr double kTwoFortieth = 0.004166666666666667;

// Omega6 applied to vectors through the products of the three samples. Each
// a_k v is a combination of L1 v, L2 v, L3 v; the commutators are nested
// products. Scratch vectors are handed out as a stack.
class Omega6 {
public:
    Omega6(const Laplacian<double>& l1, const Laplacian<double>& l2, const Laplacian<double>& l3,
           std::span<std::vector<double>> scratch, std::size_t n, double tau)
        : l1_(l1), l2_(l2), l3_(l3), scratch_(scratch), n_(n), tau_(tau), k2_(kSqrt15Over3 * tau),
          k3_(kTenThirds * tau) {
        for (const auto& v : scratch_) {
            if (v.size() < n_) internal_fault("magnus6_omega_apply: scratch shorter than x");
        }
    }

    void apply(std::span<const double> x, std::span<double> out) {
        if (out.size() < n_) internal_fault("magnus6_omega_apply: output shorter than x");
        const std::size_t mark = top_;
        auto a1x = take(), a2x = take(), c1x = take(), c2x = take();
        {
            const std::size_t inner = top_;
            const Products px = products(x);
            alpha1(px, a1x);
            alpha2(px, a2x);
            alpha3(px, out);  // a3 x stays in out until the end
            c1(px, c1x);
            c2(px, c1x, c2x);
            top_ = inner;
        }
        auto q = take(), p = take();
        for (std::size_t i = 0; i < n_; ++i) q[i] = a2x[i] + c2x[i];
        for (std::size_t i = 0; i < n_; ++i) p[i] = -20.0 * a1x[i] - out[i] + c1x[i];
        // P q = -20 a1 q - a3 q + C1 q.
        auto pq = take();
        {
            const std::size_t inner = top_;
            const Products pr = products(q);
            c1(pr, pq);
            auto t = take();
            alpha1(pr, t);
            auto u = take();
            alpha3(pr, u);
            for (std::size_t i = 0; i < n_; ++i) pq[i] = -20.0 * t[i] - u[i] + pq[i];
            top_ = inner;
        }
        // Q p = a2 p + C2 p.
        auto qp = take();
        {
            const std::size_t inner = top_;
            const Products pr = products(p);
            auto c1p = take();
            c1(pr, c1p);
            c2(pr, c1p, qp);
            auto t = take();
            alpha2(pr, t);
            for (std::size_t i = 0; i < n_; ++i) qp[i] = t[i] + qp[i];
            top_ = inner;
        }
        for (std::size_t i = 0; i < n_; ++i) out[i] = a1x[i] + kTwelfth * out[i] + kTwoFortieth * (pq[i] - qp[i]);
        top_ = mark;
    }

private:
    // L1 v, L2 v, L3 v.
    struct Products {
        std::span<double> p1, p2, p3;
    };

    std::span<double> take() {
        if (top_ >= scratch_.size()) internal_fault("magnus6_omega_apply: scratch exhausted");
        return {scratch_[top_++].data(), n_};
    }

    Products products(std::span<const double> v) {
        Products r{take(), take(), take()};
        l1_.spmv(v, r.p1);
        l2_.spmv(v, r.p2);
        l3_.spmv(v, r.p3);
        return r;
    }

    void alpha1(const Products& v, std::span<double> out) const {
        for (std::size_t i = 0; i < n_; ++i) out[i] = -tau_ * v.p2[i];
    }
    void alpha2(const Products& v, std::span<double> out) const {
        for (std::size_t i = 0; i < n_; ++i) out[i] = k2_ * (v.p1[i] - v.p3[i]);
    }
    void alpha3(const Products& v, std::span<double> out) const {
        for (std::size_t i = 0; i < n_; ++i) out[i] = k3_ * (2.0 * v.p2[i] - v.p3[i] - v.p1[i]);
    }

    // out = C1 v = a1 (a2 v) - a2 (a1 v), from v's products.
    void c1(const Products& v, std::span<double> out) {
        const std::size_t mark = top_;
        auto a = take(), b = take(), c = take();
        alpha2(v, a);
        l2_.spmv(a, b);
        for (std::size_t i = 0; i < n_; ++i) out[i] = -tau_ * b[i];
        alpha1(v, a);
        l1_.spmv(a, b);
        l3_.spmv(a, c);
        for (std::size_t i = 0; i < n_; ++i) out[i] = out[i] - k2_ * (b[i] - c[i]);
        top_ = mark;
    }

    // out = C2 v = -(1/60) (a1 (M v) - M (a1 v)) with M = 2 a3 + C1, from v's
    // products and C1 v.
    void c2(const Products& v, std::span<const double> c1v, std::span<double> out) {
        const std::size_t mark = top_;
        {
            auto m = take();
            alpha3(v, m);
            for (std::size_t i = 0; i < n_; ++i) m[i] = 2.0 * m[i] + c1v[i];
            l2_.spmv(m, out);
            for (std::size_t i = 0; i < n_; ++i) out[i] = -tau_ * out[i];  // a1 (M v)
            top_ = mark;
        }
        auto a1v = take();
        alpha1(v, a1v);
        const Products w = products(a1v);
        // M (a1 v) into a1v, which is no longer needed once its products exist.
        auto t = take();
        alpha3(w, t);
        c1(w, a1v);
        for (std::size_t i = 0; i < n_; ++i) a1v[i] = 2.0 * t[i] + a1v[i];
        for (std::size_t i = 0; i < n_; ++i) out[i] = kMinusSixtieth * (out[i] - a1v[i]);
        top_ = mark;
    }

    const Laplacian<double>& l1_;
    const Laplacian<double>& l2_;
    const Laplacian<double>& l3_;
    std::span<std::vector<double>> scratch_;
    std::size_t n_;
    double tau_, k2_, k3_;
    std::size_t top_ = 0;
};

}  // namespace

// ---------------------------------------------------------------------------
// Exponents and steps
// ---------------------------------------------------------------------------

template <class F>
void magnus4_omega_apply(const Laplacian<F>& l1, const Laplacian<F>& l2, std::span<const F> x, std::span<F> out,
                         std::span<F> s1, std::span<F> s2, std::span<F> s3, F tau, F sign) {
    auto p1 = [&](std::span<const F> v, std::span<F> y) { l1.spmv(v, y); };
    auto p2 = [&](std::span<const F> v, std::span<F> y) { l2.spmv(v, y); };
    omega4<F>(p1, p2, x, out, s1, s2, s3, tau, sign, static_cast<F>(kMagnus4Weight));
}

template <class F>
void magnus4_step_kernel(const Laplacian<F>& l1, const Laplacian<F>& l2, std::span<const F> x, std::span<F> out,
                         ScratchPool<F>& pool, F tau, F sign) {
    const std::size_t n = x.size();
    std::vector<F> t0 = pool.take(n), t1 = pool.take(n), s1 = pool.take(n), s2 = pool.take(n), s3 = pool.take(n);
    auto omega = [&](std::span<const F> v, std::span<F> y) {
        magnus4_omega_apply<F>(l1, l2, v, y, whole(s1), whole(s2), whole(s3), tau, sign);
    };
    const std::array<F, 3> w = {static_cast<F>(kTaylor4[0]), static_cast<F>(kTaylor4[1]), static_cast<F>(kTaylor4[2])};
    taylor_apply<F>(x, out, w, whole(t0), whole(t1), omega);
    pool.give_back(std::move(t0));
    pool.give_back(std::move(t1));
    pool.give_back(std::move(s1));
    pool.give_back(std::move(s2));
    pool.give_back(std::move(s3));
}

template void magnus4_omega_apply<double>(const Laplacian<double>&, const Laplacian<double>&, std::span<const double>,
                                          std::span<double>, std::span<double>, std::span<double>, std::span<double>,
                                          double, double);
template void magnus4_omega_apply<float>(const Laplacian<float>&, const Laplacian<float>&, std::span<const float>,
                                         std::span<float>, std::span<float>, std::span<float>, std::span<float>, float,
                                         float);
template void magnus4_step_kernel<double>(const Laplacian<double>&, const Laplacian<double>&, std::span<const double>,
                                          std::span<double>, ScratchPool<double>&, double, double);
template void magnus4_step_kernel<float>(const Laplacian<float>&, const Laplacian<float>&, std::span<const float>,
                                         std::span<float>, ScratchPool<float>&, float, float);

void varcoef_magnus4_omega_apply(const Laplacian<double>& l1, std::span<const double> s1, const Laplacian<double>& l2,
                                 std::span<const double> s2, std::span<const double> x, std::span<double> out,
                                 std::span<double> w1, std::span<double> w2, std::span<double> w3,
                                 std::span<double> tmp1, std::span<double> tmp2, double tau, double sign) {
    auto p1 = [&](std::span<const double> v, std::span<double> y) { apply_var_coef_laplacian(l1, s1, v, y, tmp1, tmp2); };
    auto p2 = [&](std::span<const double> v, std::span<double> y) { apply_var_coef_laplacian(l2, s2, v, y, tmp1, tmp2); };
    omega4<double>(p1, p2, x, out, w1, w2, w3, tau, sign, kVarCoefMagnus4Weight);
}

void varcoef_magnus4_step_kernel(const Laplacian<double>& l1, std::span<const double> s1,
                                 const Laplacian<double>& l2, std::span<const double> s2, std::span<const double> x,
                                 std::span<double> out, ScratchPool<double>& pool, double tau, double sign) {
    const std::size_t n = x.size();
    std::array<std::vector<double>, 7> v;
    for (auto& e : v) e = pool.take(n);
    auto omega = [&](std::span<const double> in, std::span<double> y) {
        varcoef_magnus4_omega_apply(l1, s1, l2, s2, in, y, whole(v[2]), whole(v[3]), whole(v[4]), whole(v[5]),
                                    whole(v[6]), tau, sign);
    };
    taylor_apply<double>(x, out, kTaylor4, whole(v[0]), whole(v[1]), omega);
    for (auto& e : v) pool.give_back(std::move(e));
}

void magnus6_omega_apply(const Laplacian<double>& l1, const Laplacian<double>& l2, const Laplacian<double>& l3,
                         std::span<const double> x, std::span<double> out, std::span<std::vector<double>> scratch,
                         double tau) {
    if (scratch.size() < kMagnus6Scratch) internal_fault("magnus6_omega_apply: fewer than 20 scratch vectors");
    Omega6(l1, l2, l3, scratch, x.size(), tau).apply(x, out);
}

void magnus6_step(const Laplacian<double>& l1, const Laplacian<double>& l2, const Laplacian<double>& l3,
                  std::span<const double> x, std::span<double> out, ScratchPool<double>& pool, double tau) {
    const std::size_t n = x.size();
    std::vector<double> p0 = pool.take(n), p1 = pool.take(n);
    std::array<std::vector<double>, kMagnus6Scratch> scratch;
    for (auto& e : scratch) e = pool.take(n);
    auto omega = [&](std::span<const double> in, std::span<double> y) {
        magnus6_omega_apply(l1, l2, l3, in, y, scratch, tau);
    };
    taylor_apply<double>(x, out, kTaylor6, whole(p0), whole(p1), omega);
    pool.give_back(std::move(p0));
    pool.give_back(std::move(p1));
    for (auto& e : scratch) pool.give_back(std::move(e));
}

// ---------------------------------------------------------------------------
// Step objects
// ---------------------------------------------------------------------------

namespace {

// rho_bar_max finite and > 0, then a graph with nodes.
template <class M>
Expected<M> make_stepper(const char* rho_text, const char* nodes_text, SharedGraph graph, LaplacianProvider lap_at_t,
                         bool convergence_check, double rho_bar_max) {
    if (!finite_positive(rho_bar_max)) return domain_error(rho_text, rho_bar_max);
    if (!graph || graph->n_nodes == 0) return domain_error(nodes_text, 0.0);
    M m;
    m.graph = std::move(graph);
    m.lap_at_t = std::move(lap_at_t);
    m.rho_bar_max = rho_bar_max;
    m.convergence_check = convergence_check;
    return m;
}

// One step from t: the step checks, the samples, the step; nothing is
// written when a check or a sample fails.
template <class M, class... Sign>
Status check_sample_step(const M& m, std::span<const double> x, std::span<double> out, ScratchPool<double>& pool,
                         double t, double tau, Sign... sign) {
    if (Status st = m.check_step(tau); !st) return st;
    Expected<typename M::Samples> s = m.sample(t, tau);
    if (!s) return fail(s.error());
    m.step_with(*s, x, out, pool, tau, sign...);
    if (!all_finite(out) && all_finite(x)) {
        // The products of x (rho max|x| and more) overflowed where the step,
        // linear in x, need not: the step of x scaled by a power of two to
        // max|x| in [1, 2) (exact), scaled back.
        const int e = unit_scale_exponent(x);
        std::vector<double> unit = pool.take(x.size());
        std::copy(x.begin(), x.end(), unit.begin());
        scale_by_power_of_two(unit, -e);
        m.step_with(*s, unit, out, pool, tau, sign...);
        scale_by_power_of_two(out, e);
        pool.give_back(std::move(unit));
    }
    return {};
}

}  // namespace

std::size_t Magnus4Samples::bytes() const { return laplacian_bytes(l1) + laplacian_bytes(l2); }
std::size_t Magnus6Samples::bytes() const { return laplacian_bytes(l1) + laplacian_bytes(l2) + laplacian_bytes(l3); }
std::size_t VarCoefMagnusSamples::bytes() const {
    return laplacian_bytes(l1) + laplacian_bytes(l2) + (s1.size() + s2.size()) * sizeof(double);
}

Expected<MagnusGraphHeatChernoff> MagnusGraphHeatChernoff::make(SharedGraph graph, LaplacianProvider lap_at_t,
                                                                bool convergence_check, double rho_bar_max) {
    return make_stepper<MagnusGraphHeatChernoff>("MagnusGraphHeatChernoff: rho_bar_max must be finite and > 0",
                                                 "MagnusGraphHeatChernoff: graph must have at least one node",
                                                 std::move(graph), std::move(lap_at_t), convergence_check,
                                                 rho_bar_max);
}

Status MagnusGraphHeatChernoff::check_step(double tau) const {
    if (Status st = check_tau(tau, "MagnusGraphHeatChernoff: tau must be finite and >= 0"); !st) return st;
    return check_radius(convergence_check, tau, rho_bar_max);
}

Expected<Magnus4Samples> MagnusGraphHeatChernoff::sample(double t, double tau) const {
    Expected<SharedLaplacian> l1 = lap_at_t(t + tau * kGauss2C1);
    if (!l1) return fail(l1.error());
    Expected<SharedLaplacian> l2 = lap_at_t(t + tau * kGauss2C2);
    if (!l2) return fail(l2.error());
    return Magnus4Samples{std::move(*l1), std::move(*l2)};
}

void MagnusGraphHeatChernoff::step_with(const Samples& s, std::span<const double> x, std::span<double> out,
                                        ScratchPool<double>& pool, double tau, double sign) const {
    magnus4_step_kernel<double>(*s.l1, *s.l2, x, out, pool, tau, sign);
}

Status MagnusGraphHeatChernoff::apply_into(std::span<const double> x, std::span<double> out, ScratchPool<double>& pool,
                                           double t, double tau, double sign) const {
    return check_sample_step(*this, x, out, pool, t, tau, sign);
}

Expected<MagnusGraphHeat6thChernoff> MagnusGraphHeat6thChernoff::make(SharedGraph graph, LaplacianProvider lap_at_t,
                                                                      bool convergence_check, double rho_bar_max) {
    return make_stepper<MagnusGraphHeat6thChernoff>("MagnusGraphHeat6thChernoff: rho_bar_max must be finite and > 0",
                                                    "MagnusGraphHeat6thChernoff: graph must have at least one node",
                                                    std::move(graph), std::move(lap_at_t), convergence_check,
                                                    rho_bar_max);
}

Status MagnusGraphHeat6thChernoff::check_step(double tau) const {
    if (Status st = check_tau(tau, "MagnusGraphHeat6thChernoff: tau must be finite and >= 0"); !st) return st;
    return check_radius(convergence_check, tau, rho_bar_max);
}

Expected<Magnus6Samples> MagnusGraphHeat6thChernoff::sample(double t, double tau) const {
    Expected<SharedLaplacian> l1 = lap_at_t(t + tau * kGauss3C1);
    if (!l1) return fail(l1.error());
    Expected<SharedLaplacian> l2 = lap_at_t(t + tau * kGauss3C2);
    if (!l2) return fail(l2.error());
    Expected<SharedLaplacian> l3 = lap_at_t(t + tau * kGauss3C3);
    if (!l3) return fail(l3.error());
    return Magnus6Samples{std::move(*l1), std::move(*l2), std::move(*l3)};
}

void MagnusGraphHeat6thChernoff::step_with(const Samples& s, std::span<const double> x, std::span<double> out,
                                           ScratchPool<double>& pool, double tau) const {
    magnus6_step(*s.l1, *s.l2, *s.l3, x, out, pool, tau);
}

Status MagnusGraphHeat6thChernoff::apply_into(std::span<const double> x, std::span<double> out,
                                              ScratchPool<double>& pool, double t, double tau) const {
    return check_sample_step(*this, x, out, pool, t, tau);
}

Expected<VarCoefMagnusGraphHeatChernoff> VarCoefMagnusGraphHeatChernoff::make(std::uint64_t n_nodes,
                                                                              LaplacianProvider lap_at_t,
                                                                              CoefficientProvider a_at_t,
                                                                              double rho_bar_max, double a_sup_max) {
    if (!finite_positive(rho_bar_max)) return domain_error("rho_bar_max", rho_bar_max);
    if (!finite_positive(a_sup_max)) return domain_error("a_sup_max", a_sup_max);
    if (n_nodes == 0) return domain_error("VarCoefMagnusGraphHeatChernoff: n_nodes must be >= 1", 0.0);
    return VarCoefMagnusGraphHeatChernoff{std::move(lap_at_t), std::move(a_at_t), n_nodes, rho_bar_max, a_sup_max,
                                          true};
}

Status VarCoefMagnusGraphHeatChernoff::check_step(double tau) const {
    if (Status st = check_tau(tau, "VarCoefMagnusGraphHeatChernoff: tau must be finite and >= 0"); !st) return st;
    // ||L_a|| <= max(a) ||L|| = a_sup_max^2 rho_bar_max.
    return check_radius(convergence_check, tau, a_sup_max * (rho_bar_max * a_sup_max));
}

Expected<VarCoefMagnusSamples> VarCoefMagnusGraphHeatChernoff::sample(double t, double tau) const {
    const double t1 = tau * kGauss2C1 + t;
    const double t2 = tau * kGauss2C2 + t;
    Expected<SharedLaplacian> l1 = lap_at_t(t1);
    if (!l1) return fail(l1.error());
    Expected<SharedLaplacian> l2 = lap_at_t(t2);
    if (!l2) return fail(l2.error());
    Expected<std::vector<double>> a1 = a_at_t(t1);
    if (!a1) return fail(a1.error());
    Expected<std::vector<double>> a2 = a_at_t(t2);
    if (!a2) return fail(a2.error());
    if (a1->size() != n_nodes || a2->size() != n_nodes) {
        return domain_error("VarCoefMagnusGraphHeatChernoff: a_at_t(t).len() != n_nodes",
                            static_cast<double>(std::max(a1->size(), a2->size())));
    }
    for (const std::vector<double>* a : {&*a1, &*a2}) {
        for (const double v : *a) {
            if (!finite_positive(v)) {
                return domain_error("VarCoefMagnusGraphHeatChernoff: a_at_t(t) must be strictly positive and finite",
                                    v);
            }
        }
    }
    VarCoefMagnusSamples s{std::move(*l1), std::move(*l2), std::move(*a1), std::move(*a2)};
    for (double& v : s.s1) v = std::sqrt(v);
    for (double& v : s.s2) v = std::sqrt(v);
    return s;
}

void VarCoefMagnusGraphHeatChernoff::step_with(const Samples& s, std::span<const double> x, std::span<double> out,
                                               ScratchPool<double>& pool, double tau, double sign) const {
    varcoef_magnus4_step_kernel(*s.l1, s.s1, *s.l2, s.s2, x, out, pool, tau, sign);
}

Status VarCoefMagnusGraphHeatChernoff::apply_into(std::span<const double> x, std::span<double> out,
                                                  ScratchPool<double>& pool, double t, double tau, double sign) const {
    return check_sample_step(*this, x, out, pool, t, tau, sign);
}

// ---------------------------------------------------------------------------
// Batched columns and the single-precision road
// ---------------------------------------------------------------------------

namespace {

// A block of steps holds at most this many steps' samples and stops growing
// once they take this much memory (one step always fits).
constexpr std::uint64_t kMaxBlockSteps = 64;
constexpr std::size_t kBlockBytes = std::size_t{64} << 20;

}  // namespace

template <class M>
Status magnus_evolve_batched(const M& m, std::uint64_t n_nodes, std::uint64_t n_steps, double tau,
                             std::span<const double> src, std::span<double> dst) {
    const Expected<std::size_t> columns = batched_column_count(n_nodes, src, dst);
    if (!columns) return fail(columns.error());
    if (*columns == 0) return {};
    if (n_steps == 0) {
        std::copy(src.begin(), src.end(), dst.begin());
        return {};
    }
    if (Status st = m.check_step(tau); !st) return st;
    std::vector<typename M::Samples> block;
    std::uint64_t block_first = 0;
    auto prepare = [&](std::uint64_t first, std::uint64_t max_count) -> Expected<std::uint64_t> {
        block.clear();
        block_first = first;
        std::size_t bytes = 0;
        const std::uint64_t cap = std::min(max_count, kMaxBlockSteps);
        for (std::uint64_t k = first; k < first + cap; ++k) {
            Expected<typename M::Samples> s = m.sample(tau * static_cast<double>(k), tau);
            if (!s) return fail(s.error());
            bytes += s->bytes();
            block.push_back(std::move(*s));
            if (bytes >= kBlockBytes) break;
        }
        return static_cast<std::uint64_t>(block.size());
    };
    auto step = [&](std::uint64_t k, std::span<const double> x, std::span<double> y,
                    ScratchPool<double>& pool) -> Status {
        m.step_with(block[k - block_first], x, y, pool, tau);
        return {};
    };
    return evolve_columns_in_blocks(n_nodes, n_steps, src, dst, prepare, step);
}

template Status magnus_evolve_batched<MagnusGraphHeatChernoff>(const MagnusGraphHeatChernoff&, std::uint64_t,
                                                               std::uint64_t, double, std::span<const double>,
                                                               std::span<double>);
template Status magnus_evolve_batched<MagnusGraphHeat6thChernoff>(const MagnusGraphHeat6thChernoff&, std::uint64_t,
                                                                  std::uint64_t, double, std::span<const double>,
                                                                  std::span<double>);
template Status magnus_evolve_batched<VarCoefMagnusGraphHeatChernoff>(const VarCoefMagnusGraphHeatChernoff&,
                                                                      std::uint64_t, std::uint64_t, double,
                                                                      std::span<const double>, std::span<double>);

Expected<MagnusBounds> sample_magnus_bounds(const LaplacianProvider& lap_at_t, const CoefficientProvider& a_at_t,
                                            double t0, double t1, std::uint64_t n_samples) {
    double rho = 0.0;
    double m = 0.0;
    for (std::uint64_t k = 0; k < n_samples; ++k) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        const double t = t0 + (t1 - t0) * (static_cast<double>(k) / static_cast<double>(n_samples));
        // Bounds from non-finite times or values would be NaN or inf, or 0
        // from negative coefficients: the evolution refuses those, so must
        // the estimate of its bounds.
        if (!std::isfinite(t)) return domain_error("compute_rho_bar: sample time must be finite", t);
        Expected<SharedLaplacian> lap = lap_at_t(t);
        if (!lap) return fail(lap.error());
        const double bound = (*lap)->spectral_bound;
        if (!std::isfinite(bound)) return domain_error("compute_rho_bar: spectral_bound of lap_at_t(t) must be finite", bound);
        if (!(bound <= rho)) rho = bound;
        Expected<std::vector<double>> a = a_at_t(t);
        if (!a) return fail(a.error());
        for (const double v : *a) {
            if (!finite_positive(v)) {
                return domain_error("VarCoefMagnusGraphHeatChernoff: a_at_t(t) must be strictly positive and finite", v);
            }
            if (!(v <= m)) m = v;
        }
    }
    return MagnusBounds{rho, std::sqrt(m)};
}

Expected<std::vector<float>> magnus4_evolve_f32(const Graph<double>& graph, const LaplacianProviderF32& lap_at_t,
                                                bool convergence_check, double rho_bar_max, double t_final,
                                                std::uint64_t n_steps, std::span<const double> f0) {
    Expected<Graph<float>> g32 = graph_to_f32(graph);
    if (!g32) return fail(g32.error());
    const float rho32 = narrow_to_float(rho_bar_max);
    if (!(std::isfinite(rho32) && rho32 > 0.0f)) {
        return domain_error("MagnusGraphHeatChernoff: rho_bar_max must be finite and > 0", rho32);
    }
    if (g32->n_nodes == 0) return domain_error("MagnusGraphHeatChernoff: graph must have at least one node", 0.0);
    const double tau64 = t_final / static_cast<double>(n_steps);
    const float tau32 = narrow_to_float(tau64);
    if (!(std::isfinite(tau32) && !(tau32 < 0.0f))) {
        return domain_error("MagnusGraphHeatChernoff: tau must be finite and >= 0", tau32);
    }
    if (convergence_check && tau32 * rho32 >= static_cast<float>(kMagnusRadius)) {
        return fail(CoreError::out_of_magnus_radius(tau32, rho32));
    }
    const float c1 = static_cast<float>(kGauss2C1);
    const float c2 = static_cast<float>(kGauss2C2);
    std::vector<float> x(f0.size()), y(f0.size(), 0.0f);
    for (std::size_t i = 0; i < f0.size(); ++i) x[i] = narrow_to_float(f0[i]);
    ScratchPool<float> pool;
    for (std::uint64_t k = 0; k < n_steps; ++k) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        const float tk = narrow_to_float(tau64 * static_cast<double>(k));
        auto l1 = lap_at_t(tau32 * c1 + tk);
        if (!l1) return fail(l1.error());
        auto l2 = lap_at_t(tau32 * c2 + tk);
        if (!l2) return fail(l2.error());
        magnus4_step_kernel<float>(**l1, **l2, x, y, pool, tau32, 1.0f);
        std::swap(x, y);
    }
    return x;
}

}  // namespace quorvane
