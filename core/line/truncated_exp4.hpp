// Fourth-order (in space) truncated-exponential step for
// du/dt = d/dx (a(x) du/dx): the same quartic Taylor series of e^{tau L} as
// TruncatedExpDiffusionChernoff, with L the five-point fourth-order stencil.
// Its spectrum reaches -16/(3 dx^2) for a = 1, so the step demands
// 8 tau ||a|| < 3 dx^2 (again tau * |lambda| < 2).
#pragma once

#include "core/foundation/coeff.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/truncated_exp.hpp"

namespace quorvane {

struct TruncatedExp4thDiffusionChernoff {
    Grid1D<double> grid;
    PlainFn a = coeff_one;
    PlainFn a_prime = coeff_zero;         // kept for the constructors; the step does not read it
    PlainFn a_double_prime = coeff_zero;  // likewise
    double a_norm_bound = 1.0;
    PlainFn drift = nullptr;  // optional characteristic shift, as in the second-order twin

    static TruncatedExp4thDiffusionChernoff unit(const Grid1D<double>& grid);

    Status apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>& pool, double tau) const;

    // The stepping form for run_steps (workers kept for the whole call).
    TruncatedExpSteps node_steps(const Grid1D<double>& g, double tau, std::size_t shares, std::size_t steps) const;
};

// The refusal a step of tau makes before any work on a grid of spacing dx
// (tau and the bound, then 8 tau ||a|| < 3 dx^2; the CflViolated it returns
// carries 3 dx^2 / 4 as dx^2, so that its one message, which states the
// second-order condition 2 tau ||a|| < dx^2 for both steps, states this
// one), or success.
Status step_refusal(const TruncatedExp4thDiffusionChernoff& k, double tau, double dx);

}  // namespace quorvane
