// The fourth-order diffusion Chernoff function ("heat4") for du/dt = a(x) u''
// and the first rung of the zeta (Richardson) ladder built on it.
//
// heat4 keeps the outline of heat2: a drift foot x' = x + tau a'(x)/2, the
// five-point Gaussian rule around it, and a derivative correction at the node.
// The correction uses seven-point stencils (sixth-order D1, D2, fourth-order D3)
// whose width is the step's diffusion length and never below 3 dx; it is skipped
// where a' and a'' both vanish, so unit diffusion costs only the quadrature and
// reproduces the heat2 step exactly. Like heat2, a variable coefficient is
// treated in the divergence form d/dx (a du/dx) = a u'' + a' u' because of the
// drift foot.
//
// Temporal order: for unit diffusion the Fourier symbol of one step is
//   f(z) = 7/12 + 3/8 cos(2 sqrt(-z)) + 1/24 cos(2 sqrt(-3z)),  z = -k^2 tau,
// and f(z) - e^z = -z^3/30 + O(z^4): the step is second order in time. The
// zeta ladder therefore gains one order at its first rung only (see
// Diffusion4thZeta4Chernoff).
#pragma once

#include <array>
#include <cmath>
#include <limits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/foundation/boundary.hpp"
#include "core/foundation/coeff.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/state.hpp"

namespace quorvane {

// Central-difference stencils, offsets -3..3 (7-point) and -4..4 (9-point),
// for the first, second and third derivative.
extern const std::array<double, 7> kCentral7D1, kCentral7D2, kCentral7D3;
extern const std::array<double, 9> kCentral9D1, kCentral9D2, kCentral9D3;

// D_k at x = sum_j c_j u(x + j h) / h^k over the offsets in order, every sample
// read through u's own grid. Samples are taken in the order x-3h .. x+3h
// (7-point) and x-4h .. x-h, x+h .. x+4h, x (9-point); the first failing
// sample's error is returned.
Expected<double> central_derivative_7pt(const GridFn<double>& u, double x, double h, int k,
                                        const std::array<double, 7>& c);
Expected<double> central_derivative_9pt(const GridFn<double>& u, double x, double h, int k,
                                        const std::array<double, 9>& c);

// sum_j c_j s_j / h^k over the samples s in offset order.
template <std::size_t N>
double central_sum(const double (&s)[N], double h, int k, const std::array<double, N>& c) {
    double acc = 0.0;
    for (std::size_t j = 0; j < N; ++j) acc += c[j] * s[j];
    return acc / std::pow(h, static_cast<double>(k));
}

// The width h of a correction's differences and the powers central_sum
// divides by, taken once for a whole step instead of at every node (the
// same values: std::pow of the same arguments).
struct DifferenceWidths {
    double h;
    double hk[3];  // h^1, h^2, h^3
    static DifferenceWidths of(double h) {
        return {h, {std::pow(h, 1.0), std::pow(h, 2.0), std::pow(h, 3.0)}};
    }
};

// central_sum without the division by h^k: the difference times h^k.
template <std::size_t N>
double undivided_sum(const double (&s)[N], const std::array<double, N>& c) {
    double acc = 0.0;
    for (std::size_t j = 0; j < N; ++j) acc += c[j] * s[j];
    return acc;
}

// The nine samples of the 9-point differences, read through `at`
// (Expected<double> of a point) in the order above, into s in offset order;
// the first failing read's error.
template <class Read>
Status samples_9pt(const Read& at, double x, double h, double (&s)[9]) {
    // The centre sample comes last; it only enters D2.
    static constexpr int kOrder[9] = {-4, -3, -2, -1, 1, 2, 3, 4, 0};
    for (int m = 0; m < 9; ++m) {
        const int j = kOrder[m];
        auto v = at(x + static_cast<double>(j) * h);
        if (!v) return fail(v.error());
        s[j + 4] = *v;
    }
    return {};
}

// The seven samples of the 7-point differences, x - 3h .. x + 3h.
template <class Read>
Status samples_7pt(const Read& at, double x, double h, double (&s)[7]) {
    for (int j = 0; j < 7; ++j) {
        auto v = at(x + static_cast<double>(j - 3) * h);
        if (!v) return fail(v.error());
        s[j] = *v;
    }
    return {};
}

struct Diffusion4thChernoff {
    // When present, a, a' and a'' come from here (Plain, Shared or Constant);
    // when absent, from the three plain functions below.
    std::optional<CoeffSource> coef_override;
    Grid1D<double> grid;
    PlainFn a = coeff_one;
    PlainFn a_prime = coeff_zero;
    PlainFn a_double_prime = coeff_zero;
    double a_norm_bound = 1.0;
    // The coefficient scale the correction's differences are widened by
    // (its mean over the nodes), or NaN: then each node's own a.
    double width_scale = std::numeric_limits<double>::quiet_NaN();
    // Chebyshev sampling of the source (M points), used by the zeta-8 ladder.
    std::uint64_t chebyshev_m = 64;
    bool use_chebyshev = false;
    // Degree-9 Hermite sampling of the source; wins over Chebyshev sampling.
    bool use_octonic = false;

    // The unit-diffusion kernel on `grid`: no override, a = 1, a' = a'' = 0,
    // bound 1, both sampling switches off.
    static Diffusion4thChernoff unit(const Grid1D<double>& grid);

    double coef_a(double x) const { return coef_override ? coef_override->eval_a(x) : a(x); }
    double coef_a_prime(double x) const { return coef_override ? coef_override->eval_a_prime(x) : a_prime(x); }
    double coef_a_double_prime(double x) const {
        return coef_override ? coef_override->eval_a_double_prime(x) : a_double_prime(x);
    }

    // One step at node i; pure, concurrent, tau already checked.
    Expected<double> apply_node(const GridFn<double>& u, std::size_t i, double tau) const;

    // Nodes [begin, end) of one step from src into out, every read through
    // node samples of src (the input's own sampling; see sampled_nodes).
    // With `feet` (the coefficient's part of nodes [begin, end), see feet)
    // the coefficient is not evaluated again.
    Status step_nodes(const GridFn<double>& src, double* out, std::size_t begin, std::size_t end, double tau,
                      SepticSamples& samples, std::span<const QuadFeet<5>> feet = {}) const;

    // Nodes [begin, end) of one step from `source`, a grid function on a
    // grid of the Chebyshev kind, its interpolant's node values computed
    // once into `samples` (the values of apply_node).
    Status step_nodes_chebyshev(const GridFn<double>& source, double* out, std::size_t begin, std::size_t end,
                                double tau, ChebyshevSamples& samples) const;

    // The five quadrature points of nodes [begin, end), node by node, where
    // every one of their steps is the quadrature alone (a' = a'' = 0 at the
    // node); false otherwise or where a step fails.
    bool quadrature_points(std::size_t begin, std::size_t end, double tau, std::vector<double>& points) const;

    // True when the coefficient is a fixed function (see CoeffSource::fixed).
    bool coef_fixed() const;
    // The coefficient's part of node i's step; false where the step fails.
    bool feet(std::size_t i, double tau, QuadFeet<5>& f) const;
    // Node i's step from its coefficient's part f, reading through `read`
    // (RecordedReads' recorder and replay); kMostReads points at most: five quadrature points and seven for the differences.
    template <class Read>
    Expected<double> feet_step(const QuadFeet<5>& f, const Read& read, std::size_t i, double tau,
                               const std::optional<DifferenceWidths>& widths) const;
    // The widths of the correction's differences in a step of tau (none
    // where each node takes its own).
    std::optional<DifferenceWidths> widths(double tau) const;
    // Node i's step of tau as the linear form of its reads (with
    // `points_only` the points alone); false where the step fails at the
    // node.
    bool node_form(std::size_t i, double tau, NodeForm& form, bool points_only = false) const;
    static constexpr std::size_t kMostReads = 12;

    // The sampling apply_into reads a copy of its input with (degree-9
    // Hermite or Chebyshev), or nothing when it reads the input itself.
    std::optional<InterpKind> source_kind() const;

    // a where the coefficient is constant by construction (see
    // CoeffSource::constant_value).
    std::optional<double> constant_value() const;

    // The five reads of a constant-coefficient step, summed as apply_node
    // sums them (a zero correction is not added; + 0.0 as the node step).
    struct QuadratureSum {
        double operator()(const double* r) const {
            return ((kHeatW0 * r[0] + kHeatW1 * (r[1] + r[2])) + kHeatW3 * (r[3] + r[4])) + 0.0;
        }
    };
    // The stepping form for run_steps (workers kept for the whole call).
    QuadratureSteps<Diffusion4thChernoff, 5, QuadratureSum> node_steps(const Grid1D<double>& g, double tau,
                                                                         std::size_t shares, std::size_t steps) const {
        return {*this, g, tau, shares, steps, constant_value()};
    }

    // The whole-grid step (the heat4 driver): tau checked, out resized to u's
    // length, and every node computed from u, or from a copy of u's values on
    // this kernel's grid with degree-9 Hermite or Chebyshev sampling when the
    // corresponding switch is set.
    Status apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>& pool, double tau) const;
};
// The zeta combination out[i] = (w*fine[i] - coarse[i]) / d over n values.
void zeta_combine(std::span<const double> fine, std::span<const double> coarse, std::span<double> out,
                  double w, double d);

// The stepping form of one rung of the ladder over a base kernel with a
// stepping form: each step runs the base's sweeps twice, first B(tau) and
// B(tau/2) of the input side by side, then B(tau/2) of the half step, whose
// last sweep also combines each share's nodes. The values are those of
// zeta_rung_step; every base step is planned for the whole call.
template <class Base>
class ZetaSteps {
public:
    using BaseSteps = decltype(std::declval<const Base&>().node_steps(std::declval<const Grid1D<double>&>(), 0.0,
                                                                       std::size_t{1}, std::size_t{1}));

    // `grid` wraps the rung's buffers (as in zeta_rung_step), `g` is the
    // grid of the steps' input.
    ZetaSteps(const Base& base, const Grid1D<double>& grid, double w, double d, const Grid1D<double>& g, double tau,
              std::size_t shares, std::size_t steps)
        : coarse_(base.node_steps(g, tau, shares, steps)),
          half_(base.node_steps(g, tau / 2.0, shares, steps)),
          fine_(base.node_steps(grid, tau / 2.0, shares, steps)),
          w_(w),
          d_(d),
          sweeps_(phases_of(coarse_)),
          coarse_buf_{grid, {}},
          half_buf_{grid, {}},
          fine_buf_{grid, {}} {}

    std::size_t phases() const { return 2 * sweeps_; }

    void prepare(std::size_t n) {
        coarse_buf_.values.assign(n, 0.0);
        half_buf_.values.assign(n, 0.0);
        fine_buf_.values.assign(n, 0.0);
        prepare_steps(coarse_, n);
        prepare_steps(half_, n);
        prepare_steps(fine_, n);
    }

    Status phase(std::size_t p, const GridFn<double>& src, GridFn<double>& dst, std::size_t begin, std::size_t end,
                 std::size_t share) {
        if (p < sweeps_) {
            if (Status st = run_phase(coarse_, p, src, coarse_buf_, begin, end, share); !st) return st;
            return run_phase(half_, p, src, half_buf_, begin, end, share);
        }
        if (Status st = run_phase(fine_, p - sweeps_, half_buf_, fine_buf_, begin, end, share); !st) return st;
        if (p + 1 == phases() && begin < end) {
            const std::size_t count = end - begin;
            zeta_combine(std::span<const double>(fine_buf_.values).subspan(begin, count),
                         std::span<const double>(coarse_buf_.values).subspan(begin, count),
                         std::span<double>(dst.values).subspan(begin, count), w_, d_);
        }
        return {};
    }

private:
    BaseSteps coarse_, half_, fine_;
    double w_, d_;
    std::size_t sweeps_;
    GridFn<double> coarse_buf_, half_buf_, fine_buf_;
};

// One rung of the Richardson ladder: the combination (w B(tau/2)^2 - B(tau))/d
// of a base step B. It assumes an error expansion in even powers of tau, but
// heat4 is not time-symmetric (its local error is -z^3/30), so the rung only
// cancels the tau^3 term of the local error: each rung, and every rung above
// it, is of temporal order 3.
struct Diffusion4thZeta4Chernoff {
    Diffusion4thChernoff inner;
    Grid1D<double> grid;  // wraps this rung's scratch buffers

    static constexpr double kWeight = 4.0;
    static constexpr double kDivisor = 3.0;
    // The temporal order the rung really reaches (see above).
    static constexpr int kTemporalOrder = 3;

    static Diffusion4thZeta4Chernoff over(Diffusion4thChernoff inner);

    // The stepping form for run_steps (workers kept for the whole call).
    ZetaSteps<Diffusion4thChernoff> node_steps(const Grid1D<double>& g, double tau, std::size_t shares,
                                               std::size_t steps) const {
        return {inner, grid, kWeight, kDivisor, g, tau, shares, steps};
    }

    Status apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>& pool, double tau) const;
};

// One rung of the ladder over base step `base` (anything with apply_into):
// tau check, three pooled buffers (coarse, half, fine), combination, buffers
// handed back in that order; on a base-step error the buffers are dropped and
// `out` is untouched.
template <class Base>
Status zeta_rung_step(const Base& base, const Grid1D<double>& grid, double w, double d,
                      const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>& pool, double tau) {
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and >= 0", tau);
    const std::size_t n = in.values.size();
    GridFn<double> coarse{grid, pool.take(n)};
    GridFn<double> half{grid, pool.take(n)};
    GridFn<double> fine{grid, pool.take(n)};
    const double half_tau = tau / 2.0;
    if (Status st = base.apply_into(in, coarse, pool, tau); !st) return st;
    if (Status st = base.apply_into(in, half, pool, half_tau); !st) return st;
    if (Status st = base.apply_into(half, fine, pool, half_tau); !st) return st;
    out.values.resize(n, 0.0);
    zeta_combine(fine.values, coarse.values, out.values, w, d);
    pool.give_back(std::move(coarse.values));
    pool.give_back(std::move(half.values));
    pool.give_back(std::move(fine.values));
    return {};
}

// The unit heat4 state: u0 finite ("u0 contains NaN or Inf"), the grid checks,
// then the kernel wrapped with `steps` and the grid function of a copy of u0.
Expected<std::pair<ChernoffSemigroup<Diffusion4thChernoff>, GridFn<double>>> build_diffusion4th_state(
    std::size_t n, std::size_t steps, std::span<const double> u0, BoundaryPolicy<double> boundary, double xmin,
    double xmax);

}  // namespace quorvane
