// Exponential action e^{tau A} u of the 1-D diffusion operator
// A u = d/dx (a(x) du/dx) by a scaled, truncated Taylor series.
//
// tau is cut into s equal pieces and e^{(tau/s) A} is replaced on each piece
// by its Taylor polynomial of degree m. The pair (m, s) comes from a table of
// scaled norms theta_m below which the degree-m polynomial is accurate to
// double precision (backward error), and minimises the m*s applications of A.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/foundation/coeff.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel_pool.hpp"

namespace quorvane {

struct ExpmvTheta {
    std::uint32_t m;
    double theta;
};

// Admissible scaled norms theta_m, scanned in this order.
inline constexpr std::array<ExpmvTheta, 22> kExpmvThetaTable{{
    {1, 2.22e-16}, {2, 2.581e-08}, {3, 1.386e-05}, {4, 0.0003397}, {5, 0.002401}, {6, 0.009066},
    {7, 0.02384},  {8, 0.04991},   {9, 0.08958},   {10, 0.1442},   {11, 0.2142},  {12, 0.2996},
    {13, 0.3998},  {14, 0.5139},   {15, 0.6411},   {16, 0.7803},   {17, 0.9305},  {18, 1.091},
    {19, 1.26},    {20, 1.438},    {25, 2.429},    {30, 3.54},
}};
inline constexpr std::uint32_t kExpmvMaxDegree = 30;

// Largest number m*s of operator applications one step may make. Beyond it a
// step would run for minutes to hours on any grid; it is refused instead (the
// caller can split t into more steps).
inline constexpr std::uint64_t kExpmvMaxApplications = 10'000'000;

inline constexpr const char* kExpmvTooLargeMessage =
    "DiffusionExpmvChernoff: tau * op_norm_bound too large: a step would need more than 10000000 "
    "operator applications (use more steps)";
inline constexpr const char* kExpmvNotFiniteMessage = "DiffusionExpmvChernoff: step result is not finite";

// The (m, s) pair of one step for x = tau * op_norm_bound >= 0.
struct ExpmvPlan {
    std::uint32_t m;
    std::uint64_t s;
};
// The cheapest pair (m, s) with m <= max_degree for x = tau * bound >= 0,
// scanning the table in order: s = max(1, ceil(x / theta_m)) (pairs with
// ceil(x / theta_m) > 1e14 skipped, s saturated to 32 bits), cost m * s, a
// later row kept only when strictly cheaper. nullopt when no row fits.
std::optional<ExpmvPlan> expmv_cheapest(double x, std::uint32_t max_degree);

// The cheapest admissible pair, or the OutOfDomain refusal when no pair is
// admissible or the cheapest one exceeds kExpmvMaxApplications. `tau` is the
// value reported with the refusal, `too_large` its message (every truncated-
// Taylor action refuses by this one rule, each in its own name).
Expected<ExpmvPlan> expmv_plan(double x, double tau, const char* too_large = kExpmvTooLargeMessage);

struct DiffusionExpmvChernoff;

// Whether a step of tau gets past its plan (expmv_plan of tau times the
// kernel's bound, as the step forms it): the cost m s never falls as the
// step grows, so every shorter step does too.
bool expmv_step_fits(const DiffusionExpmvChernoff& kernel, double tau);

// The stepping form of the exponential action for run_steps: one sweep per
// operator application (m s of them a step, each reading the whole of the
// term before it), every node as apply_into computes it. A refused step is
// the error of the first sweep; a non-finite result is noted share by share
// and refused with the first one in node order, at the next step's first
// sweep or at the end of the call (finish).
class ExpmvSteps {
public:
    ExpmvSteps(const DiffusionExpmvChernoff& kernel, double tau, std::size_t shares);

    std::size_t phases() const { return sweeps_; }
    // A sweep costs about a nanosecond a node: shares of fewer nodes spend
    // more time at the barrier than in the sweep.
    static constexpr std::size_t min_share_nodes() { return 32768; }
    void prepare(std::size_t n);
    Status phase(std::size_t p, const GridFn<double>& src, GridFn<double>& dst, std::size_t begin, std::size_t end,
                 std::size_t share);
    Status finish() const { return non_finite(); }

private:
    Status non_finite() const;

    struct alignas(64) Share {  // one cache line apart: shares write their own only
        std::optional<double> bad;  // first non-finite result of the last step
    };
    const DiffusionExpmvChernoff* kernel_;
    double tau_;
    Status refusal_;
    std::uint32_t m_ = 1;
    std::uint64_t s_ = 1;
    std::size_t sweeps_ = 1;
    std::vector<double> f_, b_[2];
    std::vector<double> a_plus_, a_minus_;  // a at the half-way points, when sampled once
    std::vector<Share> shares_;
};

struct DiffusionExpmvChernoff {
    // The diffusion coefficient a(x) (a plain function, shared closures or a
    // constant) and the grid whose xmin, xmax and n place the nodes.
    CoeffSource coef;
    Grid1D<double> grid;
    // Bound on the spectral radius of A that selects (m, s); 4/dx^2 for a = 1.
    double op_norm_bound = 0.0;

    // The unit-diffusion kernel on `grid`, with op_norm_bound = 4/dx^2.
    static DiffusionExpmvChernoff unit(const Grid1D<double>& grid);

    // w = A b. Both ends are zero-flux (the missing neighbour is the end node
    // itself) whatever the grid's boundary policy; no off-grid evaluation.
    void apply_operator(std::span<const double> b, std::span<double> w) const;
    // (A b)_i for one node.
    double operator_at(std::span<const double> b, std::size_t i) const;

    // One step e^{tau A} in; output values replaced, its grid untouched.
    // Fails for tau not finite or < 0, fewer than 3 values, a refused plan
    // and a non-finite result; a failure writes nothing.
    Status apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>& pool, double tau) const;

    // The stepping form for run_steps (workers kept for the whole call).
    ExpmvSteps node_steps(const Grid1D<double>&, double tau, std::size_t shares, std::size_t) const {
        return ExpmvSteps(*this, tau, shares);
    }
};

}  // namespace quorvane
