// The grid 2-norm the variable-coefficient steps are judged in, the data
// without its mean, the order a band factorisation takes the nodes in, and
// the fixed noise every measurement starts from.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/foundation/grid_fn.hpp"

namespace quorvane::heat_judgement {

inline constexpr double kInf = std::numeric_limits<double>::infinity();

// n values in [-1, 1) from a xorshift generator started at `seed`: the same
// noise on every run, so a verdict does not change between calls.
std::vector<double> fixed_noise(std::size_t n, std::uint64_t seed);

// The norm the variable-coefficient steps are judged in: sum w_i u_i^2,
// w = 1/2 at the end nodes of a grid with walls (reflecting ends: the walls
// sit at the end nodes, so those nodes carry half a cell) and 1 elsewhere,
// the trapezoid rule of the integral of u^2 in which the exact evolution
// u_t = (a u')' contracts. Where the step keeps constants (reflecting and
// periodic ends) the mean sum w_i u_i / sum w_i is what the exact
// evolution keeps, and the rest is what it damps: the projection P removes
// the mean. The judgement works in the scaled values sqrt(w_i) u_i, where
// the norm is the Euclidean one and P is orthogonal.
struct WeightedSpace {
    std::vector<double> sw;   // sqrt(w_i)
    std::vector<double> e;    // the mean direction sw / |sw|, when projected
    bool keeps_mean = false;

    WeightedSpace(const Grid1D<double>& g) : sw(g.n, 1.0) {
        const BoundaryTag tag = g.boundary.tag;
        if (tag == BoundaryTag::Reflect || tag == BoundaryTag::Clamp) {
            sw.front() = sw.back() = std::sqrt(0.5);
        }
        keeps_mean = tag == BoundaryTag::Reflect || tag == BoundaryTag::Periodic || tag == BoundaryTag::Clamp;
        if (keeps_mean) {
            double s = 0.0;
            for (double v : sw) s += v * v;
            e = sw;
            for (double& v : e) v /= std::sqrt(s);
        }
    }

    void project(std::vector<double>& x) const {
        if (!keeps_mean) return;
        double c = 0.0;
        for (std::size_t i = 0; i < x.size(); ++i) c += e[i] * x[i];
        for (std::size_t i = 0; i < x.size(); ++i) x[i] -= c * e[i];
    }
};

// The order in which a band factorisation takes a grid's nodes: pos[i] the
// place of node i, node[q] the node at place q. A periodic grid is folded
// (0, n - 1, 1, n - 2, ...), so that its reads across the seam stay within a
// band; any other grid keeps its own order. `reversed` takes that order
// from its end: a factorisation meets a growing mode when it has taken all
// of it, so one that starts at the mode's end of the grid fails sooner.
struct BandOrder {
    std::vector<std::size_t> pos, node;

    BandOrder(std::size_t n, bool periodic, bool reversed = false) : pos(n), node(n) {
        const std::size_t half = (n + 1) / 2;
        for (std::size_t i = 0; i < n; ++i) {
            pos[i] = !periodic ? i : i < half ? 2 * i : 2 * (n - 1 - i) + 1;
            if (reversed) pos[i] = n - 1 - pos[i];
        }
        for (std::size_t i = 0; i < n; ++i) node[pos[i]] = i;
    }
};

}  // namespace quorvane::heat_judgement
