// Magnus integrators of graph heat with a time-dependent Laplacian,
// du/dt = -L(t) u on a graph of fixed topology (and the variable-coefficient
// form with L_a(t) = diag(sqrt a(t)) L(t) diag(sqrt a(t))).
//
// A step of length tau samples the operator at Gauss-Legendre points of the
// step, forms the Magnus exponent Omega from the samples and commutators
// (never as a matrix: only sparse products with the samples) and applies the
// truncated Taylor series of exp(Omega). Two Gauss points give order four,
// three give order six. The series converges for tau * ||L|| < pi/2, which
// the steps enforce when asked to.
//
// The operator comes from a provider (time -> Laplacian, time ->
// coefficients), which may fail (a caller callback that raised); the step
// then writes nothing and returns that failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/function_ref.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/foundation/stop.hpp"
#include "core/graph/graph.hpp"
#include "core/graph/laplacian.hpp"

namespace quorvane {

// Two-point Gauss rule on [0, 1]: 1/2 -+ sqrt(3)/6.
inline constexpr double kGauss2C1 = 0.21132486540518713;
inline constexpr double kGauss2C2 = 0.7886751345948129;
// Three-point rule: 1/2 - sqrt(15)/10 (stored one ulp above what evaluating
// that expression in double gives), 1/2, 1/2 + sqrt(15)/10.
inline constexpr double kGauss3C1 = 0.11270166537925831;
inline constexpr double kGauss3C2 = 0.5;
inline constexpr double kGauss3C3 = 0.8872983346207417;
// sqrt(3)/12: the commutator weight of the fourth-order exponent.
inline constexpr double kMagnus4Weight = 0.14433756729740643;
// Convergence radius of the Magnus series: tau * ||L|| < pi/2.
inline constexpr double kMagnusRadius = 1.5707963267948966;

// --- the exponents and their exponentials ------------------------------------

// out = Omega x for the fourth-order exponent of A(t) = -L(t),
//   Omega = -(tau/2)(L1 + L2) + sign (sqrt(3)/12) tau^2 (L2 L1 - L1 L2),
// from the samples at the two Gauss points; sign -1 gives the transposed
// exponent (adjoint sweeps). s1, s2, s3 are scratch of x's length; four
// sparse products.
template <class F>
void magnus4_omega_apply(const Laplacian<F>& l1, const Laplacian<F>& l2, std::span<const F> x, std::span<F> out,
                         std::span<F> s1, std::span<F> s2, std::span<F> s3, F tau, F sign);

// out = T4(Omega) x, T4(X) = I + X + X^2/2 + X^3/6 + X^4/24, five vectors from
// the pool (16 sparse products).
template <class F>
void magnus4_step_kernel(const Laplacian<F>& l1, const Laplacian<F>& l2, std::span<const F> x, std::span<F> out,
                         ScratchPool<F>& pool, F tau, F sign = F(1));

// The same exponent with each L_i replaced by the variable-coefficient
// operator v -> s_i .* (L_i (s_i .* v)), s_i = sqrt(a) at Gauss point i.
// w1..w3 are product scratch, tmp1 and tmp2 the operator's temporaries.
void varcoef_magnus4_omega_apply(const Laplacian<double>& l1, std::span<const double> s1, const Laplacian<double>& l2,
                                 std::span<const double> s2, std::span<const double> x, std::span<double> out,
                                 std::span<double> w1, std::span<double> w2, std::span<double> w3,
                                 std::span<double> tmp1, std::span<double> tmp2, double tau, double sign);

// out = T4(Omega_a) x with seven vectors from the pool.
void varcoef_magnus4_step_kernel(const Laplacian<double>& l1, std::span<const double> s1,
                                 const Laplacian<double>& l2, std::span<const double> s2, std::span<const double> x,
                                 std::span<double> out, ScratchPool<double>& pool, double tau, double sign = 1.0);

// Number of scratch vectors magnus6_omega_apply works in.
inline constexpr std::size_t kMagnus6Scratch = 20;

// out = Omega6 x for the sixth-order exponent on three Gauss points
// (A_i = -L_i):
//   a1 = tau A2, a2 = (sqrt(15)/3) tau (A3 - A1), a3 = (10/3) tau (A3 - 2 A2 + A1),
//   C1 = [a1, a2], C2 = -(1/60) [a1, 2 a3 + C1],
//   Omega6 = a1 + a3/12 + (1/240) [-20 a1 - a3 + C1, a2 + C2],
// with [P, Q] v = P(Q v) - Q(P v), matrix-free. `scratch` holds
// kMagnus6Scratch vectors of at least x's length.
void magnus6_omega_apply(const Laplacian<double>& l1, const Laplacian<double>& l2, const Laplacian<double>& l3,
                         std::span<const double> x, std::span<double> out, std::span<std::vector<double>> scratch,
                         double tau);

// out = T6(Omega6) x (degree-6 Taylor polynomial), 22 vectors from the pool.
void magnus6_step(const Laplacian<double>& l1, const Laplacian<double>& l2, const Laplacian<double>& l3,
                  std::span<const double> x, std::span<double> out, ScratchPool<double>& pool, double tau);

// --- step objects ------------------------------------------------------------

// The samples of one fourth-order step.
struct Magnus4Samples {
    SharedLaplacian l1, l2;
    std::size_t bytes() const;
};

// The fields of a Magnus step object over a time-dependent Laplacian.
struct MagnusLaplacianFields {
    // The topology; the signal has its n_nodes values.
    SharedGraph graph;
    LaplacianProvider lap_at_t;
    // Bound of ||L(t)|| over the run, finite and > 0.
    double rho_bar_max = 1.0;
    bool convergence_check = true;
};

// Fourth-order Magnus steps of du/dt = -L(t) u.
struct MagnusGraphHeatChernoff : MagnusLaplacianFields {
    using Samples = Magnus4Samples;

    // rho_bar_max finite and > 0, then a graph with at least one node.
    static Expected<MagnusGraphHeatChernoff> make(SharedGraph graph, LaplacianProvider lap_at_t,
                                                  bool convergence_check, double rho_bar_max);

    // tau finite and >= 0 (-0.0 passes), then, when checked, tau * rho_bar_max
    // < pi/2 (OutOfMagnusRadius).
    Status check_step(double tau) const;
    // L(t + c1 tau), then L(t + c2 tau).
    Expected<Samples> sample(double t, double tau) const;
    // out = T4(Omega) x from given samples; sign -1 is the transposed step.
    void step_with(const Samples& s, std::span<const double> x, std::span<double> out, ScratchPool<double>& pool,
                   double tau, double sign = 1.0) const;
    // One step from time t: check, sample, step. Nothing is written on failure.
    Status apply_into(std::span<const double> x, std::span<double> out, ScratchPool<double>& pool, double t,
                      double tau, double sign = 1.0) const;
};

struct Magnus6Samples {
    SharedLaplacian l1, l2, l3;
    std::size_t bytes() const;
};

// Sixth-order Magnus steps of du/dt = -L(t) u.
struct MagnusGraphHeat6thChernoff : MagnusLaplacianFields {
    using Samples = Magnus6Samples;

    static Expected<MagnusGraphHeat6thChernoff> make(SharedGraph graph, LaplacianProvider lap_at_t,
                                                     bool convergence_check, double rho_bar_max);
    Status check_step(double tau) const;
    // L(t + c1 tau), L(t + tau/2), L(t + c3 tau).
    Expected<Samples> sample(double t, double tau) const;
    void step_with(const Samples& s, std::span<const double> x, std::span<double> out, ScratchPool<double>& pool,
                   double tau) const;
    Status apply_into(std::span<const double> x, std::span<double> out, ScratchPool<double>& pool, double t,
                      double tau) const;
};

// The samples of one variable-coefficient step: the Laplacians and sqrt(a)
// at the two Gauss points.
struct VarCoefMagnusSamples {
    SharedLaplacian l1, l2;
    std::vector<double> s1, s2;
    std::size_t bytes() const;
};

// Fourth-order Magnus steps of du/dt = -L_a(t) u.
struct VarCoefMagnusGraphHeatChernoff {
    LaplacianProvider lap_at_t;
    CoefficientProvider a_at_t;
    std::uint64_t n_nodes = 0;
    // Bound of ||L(t)||, and of sqrt(max_i a_i(t)), over the run.
    double rho_bar_max = 1.0;
    double a_sup_max = 1.0;
    bool convergence_check = true;

    using Samples = VarCoefMagnusSamples;

    // rho_bar_max, then a_sup_max (each finite and > 0), then n_nodes >= 1.
    static Expected<VarCoefMagnusGraphHeatChernoff> make(std::uint64_t n_nodes, LaplacianProvider lap_at_t,
                                                         CoefficientProvider a_at_t, double rho_bar_max,
                                                         double a_sup_max);
    // tau, then (when checked) tau * rho_bar_max * a_sup_max^2 < pi/2.
    Status check_step(double tau) const;
    // L at t + c1 tau and t + c2 tau, then a at the same times; both a of
    // n_nodes values, every entry finite and > 0; their square roots.
    Expected<Samples> sample(double t, double tau) const;
    void step_with(const Samples& s, std::span<const double> x, std::span<double> out, ScratchPool<double>& pool,
                   double tau, double sign = 1.0) const;
    Status apply_into(std::span<const double> x, std::span<double> out, ScratchPool<double>& pool, double t,
                      double tau, double sign = 1.0) const;
};

// Bounds for VarCoefMagnusGraphHeatChernoff from n_samples samples at
// t = t0 + (t1 - t0) (k / n_samples), k = 0 ... n_samples - 1 (t1 itself is
// not sampled): the largest spectral bound of L(t) and the square root of
// the largest a_i(t) (a value replaces the running maximum when it is not
// <= it). A failing provider ends the sampling with its error; a sample
// time that is not finite, a spectral bound that is not finite and a
// coefficient that is not finite and > 0 end it with a DomainViolation
// carrying the value.
struct MagnusBounds {
    double rho_bar_max = 0.0;
    double a_sup_max = 0.0;
};
Expected<MagnusBounds> sample_magnus_bounds(const LaplacianProvider& lap_at_t, const CoefficientProvider& a_at_t,
                                            double t0, double t1, std::uint64_t n_samples);

// n_steps steps from x, step k from time t_start + tau k (t_start = 0 gives
// exactly tau k), polling the stop hook between steps; the state after the
// last step. The first failing step ends the loop.
template <class M>
Expected<std::vector<double>> magnus_evolve(const M& m, std::vector<double> x, std::uint64_t n_steps, double tau,
                                            double t_start = 0.0) {
    std::vector<double> y(x.size(), 0.0);
    ScratchPool<double> pool;
    for (std::uint64_t k = 0; k < n_steps; ++k) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        const double tk = tau * static_cast<double>(k);
        const double t = t_start == 0.0 ? tk : t_start + tk;
        if (Status st = m.apply_into(x, y, pool, t, tau); !st) return fail(st.error());
        std::swap(x, y);
    }
    return x;
}

// Every column of src (columns of the graph's n_nodes values) takes n_steps
// steps of tau from t = 0, step k with the samples evolve takes at step k:
// they are taken on the calling thread in evolve's times and order, a block
// of steps at a time, and read in common by the column threads, so every
// column equals magnus_evolve on it bit for bit. Checks, in order: the
// column layout, no column (success), n_steps = 0 (a copy), the step, then
// the samples (a failing one ends the call; dst is then unspecified).
template <class M>
Status magnus_evolve_batched(const M& m, std::uint64_t n_nodes, std::uint64_t n_steps, double tau,
                             std::span<const double> src, std::span<double> dst);

// The single-precision road of the fourth-order step: the graph rebuilt in
// single precision (its failure returned), rho_bar_max rounded (finite and
// > 0), a graph with nodes, tau = t_final / n_steps rounded (finite, >= 0),
// the radius in single precision once; then step k from t_k = (tau k)
// rounded, sampling at tau c1 + t_k and tau c2 + t_k in single precision.
Expected<std::vector<float>> magnus4_evolve_f32(const Graph<double>& graph, const LaplacianProviderF32& lap_at_t,
                                                bool convergence_check, double rho_bar_max, double t_final,
                                                std::uint64_t n_steps, std::span<const double> f0);

extern template Status magnus_evolve_batched<MagnusGraphHeatChernoff>(const MagnusGraphHeatChernoff&, std::uint64_t,
                                                                      std::uint64_t, double, std::span<const double>,
                                                                      std::span<double>);
extern template Status magnus_evolve_batched<MagnusGraphHeat6thChernoff>(const MagnusGraphHeat6thChernoff&,
                                                                         std::uint64_t, std::uint64_t, double,
                                                                         std::span<const double>, std::span<double>);
extern template Status magnus_evolve_batched<VarCoefMagnusGraphHeatChernoff>(const VarCoefMagnusGraphHeatChernoff&,
                                                                             std::uint64_t, std::uint64_t, double,
                                                                             std::span<const double>,
                                                                             std::span<double>);

}  // namespace quorvane
