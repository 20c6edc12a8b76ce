// Separable Chernoff steps on tensor trains: every axis operator
// a_j d^2/dx_j^2 + b_j d/dx_j acts on its own core only, so a step keeps
// the ranks and costs O(d) core updates; rounding after the step can only
// lower them.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/numeric.hpp"
#include "core/tensor_train/tt_core.hpp"

namespace quorvane {

// Node spacing of an axis of n nodes over [lo, hi] (1.0 with fewer than 2).
double tt_axis_spacing(double lo, double hi, std::size_t n);

struct TtChernoff {
    std::vector<double> a;
    std::vector<double> b;
    std::vector<std::pair<double, double>> domain;
    double c = 0.0;
    double eps_round = 0.0;

    // The per-axis average
    //   1/2 u(x + drift) + 1/4 u(x + spread) + 1/4 u(x - spread)
    // on a periodic axis of n nodes spaced h (period n*h), off-grid values by
    // four-point cubic Lagrange interpolation. With drift = 2 tau b and
    // spread = 2 sqrt(tau a) its symbol is 1 + tau (i b k - a k^2) + O(tau^2),
    // a first-order step of a u'' + b u'. With no drift the centre is exactly
    // u(x)/2.
    static void apply_axis(TtCore& core, std::size_t n, double drift, double spread, double h);

    // The drift 2 tau b and the spread 2 sqrt(tau a) of a step of tau on an
    // axis of the given period (n h). Where a product overflows, a length
    // the periodic axis reads alike: 2 (tau b mod period), 2 sqrt(tau) sqrt(a).
    static std::pair<double, double> axis_shifts(double tau, double a, double b, double period);

    // The reaction factor of one step, 1 + tau c (first order, not exp);
    // 0 for the few ulps below it that a step at the bound -1/c leaves.
    double reaction_factor(double tau) const { return admitted_reaction_factor(tau * c + 1.0); }

    // n_steps steps of t_final/n_steps on the cores (one per axis, matching
    // the evolver's d): axis averages, the reaction factor on core 0, then
    // rounding. Polls the stop hook between steps. A step that makes a NaN or
    // an infinity fails with kTtNonFinite (the rounding refuses it).
    Status evolve(std::vector<TtCore>& cores, double t_final, std::size_t n_steps) const;
};

}  // namespace quorvane
