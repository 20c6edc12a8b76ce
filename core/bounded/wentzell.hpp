// Heat equation with a dynamic (Wentzell) condition at the left end,
// u_t + gamma(t) du/dnu + c u = 0, by a Lie split: the unit heat step on the
// whole grid, then a Crank-Nicolson update of the wall node with gamma frozen
// at the start of the step. First order.
//
// The wall update couples node 0 to node 1 through the one-sided flux
// gamma (u_1 - u_0)/h and leaves node 1 to the bulk step, so constants are
// kept when c = 0 and gamma = c = 0 is exactly the reflecting heat step. The
// boundary term acts at O(gamma h); as h -> 0 the limit is the Neumann
// problem.
//
// The Cayley factor of the wall node, (1 - g)/(1 + g) with
// g = (c + gamma/h) tau/2, tends to -1 for large g rather than to 0: the
// update is a mean of u0 and u1 only while g <= 1, and beyond it the wall
// node's deviation from u1 comes back with its sign turned (up to
// -u0 + 2 u1). The heat steps damp it again, so the overshoot on rough data
// is fixed (at most 3.09 max|u0|) and does not grow with the step count.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/function_ref.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/line/diffusion.hpp"

namespace quorvane {

// gamma(t): constant c, linear a + b t, or exp(rate t).
struct GammaFamily {
    enum class Tag : unsigned char { Constant = 0, Linear = 1, Exponential = 2 };
    Tag tag = Tag::Constant;
    double p1 = 0.0;  // c, a or rate
    double p2 = 0.0;  // b

    double at(double t) const;
};

struct DynamicWentzellChernoff {
    DiffusionChernoff inner;
    double gamma = 0.0;
    double c = 0.0;

    Status apply_into(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>& pool, double tau) const;
};

// n steps of tau from `values` (validated as a grid function on `grid`),
// step k with gamma = gamma_at(k): a family is sampled step by step, never
// stored for the whole run.
Expected<std::vector<double>> evolve_wentzell(const Grid1D<double>& grid, std::vector<double> values, double c,
                                              std::size_t n, FunctionRef<double(std::size_t)> gamma_at, double tau);

}  // namespace quorvane
