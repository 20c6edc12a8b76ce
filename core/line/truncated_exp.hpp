// Truncated-exponential step for du/dt = d/dx (a(x) du/dx) on a 1-D grid.
//
// One step is the Taylor series of e^{tau L} cut after the fourth power,
//   u + tau L u + tau^2/2 L^2 u + tau^3/6 L^3 u + tau^4/24 L^4 u,
// with L the conservative three-point stencil (a at the half-way points).
// The step is explicit: for a = 1 the stencil's spectrum lies in
// [-4/dx^2, 0] and the quartic series is contractive only for
// tau * |lambda| up to about 2.79, so the step demands 2 tau ||a|| < dx^2,
// which keeps tau * |lambda| below 2.
#pragma once

#include <cmath>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/foundation/coeff.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/diffusion.hpp"

namespace quorvane {

inline constexpr const char* kTruncatedExpNotFiniteMessage = "truncated-exp step: result is not finite";

// The stepping form of both truncated-exponential steps for run_steps: four
// stencil sweeps (k1 .. k4, each from the one before) and the series sweep,
// every node as apply_into computes it. A refused step (tau, bound, CFL) is
// the error of the first sweep. A non-finite result is noted share by share
// and refused with the first one in node order, as apply_into refuses it,
// at the next step's first sweep or at the end of the call (finish).
class TruncatedExpSteps {
public:
    // Nodes [begin, end) of the stencil applied to the `count` values v.
    using Stencil = Status (*)(PlainFn, const Grid1D<double>&, std::span<const double>, std::span<double>,
                               std::size_t, std::size_t, std::size_t, double);

    // `node_sum`: without a drift the series is summed from the node
    // values (the fourth-order step); otherwise it is read through the
    // interpolant at the node or its drift point.
    TruncatedExpSteps(Status refusal, Stencil stencil, bool node_sum, PlainFn a, PlainFn drift,
                      const Grid1D<double>& grid, double tau, std::size_t shares);

    std::size_t phases() const { return 5; }
    // Sweeps of a few nanoseconds a node: small shares would wait at the
    // barriers more than they work.
    static constexpr std::size_t min_share_nodes() { return 8192; }
    void prepare(std::size_t n);
    Status phase(std::size_t p, const GridFn<double>& src, GridFn<double>& dst, std::size_t begin, std::size_t end,
                 std::size_t share);
    Status finish() const { return non_finite(); }

private:
    Status series(const GridFn<double>& src, GridFn<double>& dst, std::size_t begin, std::size_t end,
                  std::size_t share);
    Status non_finite() const;

    struct alignas(64) Share {  // one cache line apart: shares write their own only
        bool prepared = false;
        bool planned = false;
        ReadPlan plan;
        std::optional<double> bad;  // first non-finite result of the last step
    };
    Status refusal_;
    Stencil stencil_;
    bool node_sum_;
    PlainFn a_, drift_;
    Grid1D<double> grid_;
    double tau_;
    std::vector<double> k_[4];
    std::vector<Share> shares_;
};

// out[i] = (L v)_i for i < count; neighbours beyond the first/last of the
// `count` values are read off-grid through grid.interp (so the grid's
// boundary policy supplies them). h is the stencil spacing.
Status truncated_exp_stencil(PlainFn a, const Grid1D<double>& grid, std::span<const double> v,
                             std::span<double> out, std::size_t count, double h);
// The same for nodes [begin, end) of the `count` only.
Status truncated_exp_stencil_nodes(PlainFn a, const Grid1D<double>& grid, std::span<const double> v,
                                   std::span<double> out, std::size_t count, std::size_t begin, std::size_t end,
                                   double h);

struct TruncatedExpDiffusionChernoff {
    Grid1D<double> grid;
    PlainFn a = coeff_one;
    PlainFn a_prime = coeff_zero;         // kept for the constructors; the step does not read it
    PlainFn a_double_prime = coeff_zero;  // likewise
    double a_norm_bound = 1.0;            // bound on ||a||_inf for the CFL test
    // Optional characteristic shift: when set, node i is read at
    // x_i - (tau/2) drift(x_i) instead of x_i.
    PlainFn drift = nullptr;

    // The unit-diffusion kernel (a = 1, a' = a'' = 0, bound 1, no drift).
    static TruncatedExpDiffusionChernoff unit(const Grid1D<double>& grid);

    // One step from in into out (values resized to in's length; out's grid
    // untouched). Checks tau, a_norm_bound and 2 tau ||a|| < dx^2 before any
    // work; a non-finite result is refused.
    Status apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>& pool, double tau) const;

    // The stepping form for run_steps (workers kept for the whole call).
    TruncatedExpSteps node_steps(const Grid1D<double>& g, double tau, std::size_t shares, std::size_t steps) const;
};

// The series coefficients tau, tau^2/2, tau^3/6, tau^4/24 (1/6 and 1/24
// applied by multiplication).
// The power of two nearest below dx: the series is formed on a grid of
// this unit, where the stencil's powers and tau's stay near 1 whatever the
// length scale (a power of two changes no bit where nothing leaves the
// doubles).
inline double series_unit(double dx) { return std::ldexp(1.0, std::ilogb(dx)); }
// tau in units of series_unit(dx)^2.
inline double series_tau(double tau, double dx) {
    const double s = series_unit(dx);
    return tau / s / s;
}

struct TruncatedExpCoeffs {
    double c1, c2, c3, c4;
};
TruncatedExpCoeffs truncated_exp_coeffs(double tau);

// The series at the point p: u, k1 .. k4 (in that order) read through g's
// interpolant and combined as ((((u + 0) + k1 c1) + k2 c2) + k3 c3) + k4 c4.
Expected<double> truncated_exp_series_at(const Grid1D<double>& g, const std::array<std::span<const double>, 5>& series,
                                         double p, const TruncatedExpCoeffs& c);

// The common head of both truncated-exp steps: tau finite and >= 0, then
// a_norm_bound finite and > 0.
Status truncated_exp_check_args(double tau, double a_norm_bound);

// The refusal a step of tau makes before any work on a grid of spacing dx
// (the head above, then the CFL limit: 2 tau ||a|| < dx^2), or success.
Status step_refusal(const TruncatedExpDiffusionChernoff& k, double tau, double dx);

}  // namespace quorvane
