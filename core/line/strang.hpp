// Strang splitting of diffusion and drift-reaction, and the Strang1D state.
//
// One step D(tau/2) R(tau) D(tau/2) is palindromic, so its error expansion
// has only odd powers of tau beyond the first: local error O(tau^3), global
// order 2 whenever both parts are at least second order.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "core/foundation/boundary.hpp"
#include "core/line/diffusion.hpp"
#include "core/line/drift_reaction.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/state.hpp"

namespace quorvane {

// D and R are any kernels with the whole-grid calling form apply_into(in,
// out, pool, tau). Copies share coefficient closures (they are reference
// counted).
template <class D, class R>
struct StrangSplit {
    D diffusion;
    R drift;

    // src -> dst by D(tau/2), R(tau), D(tau/2). dst's values are replaced
    // (length of src), its grid is left alone. The first failing part ends
    // the step with its error; the intermediates go back to the pool on
    // every path.
    Status apply_into(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>& pool,
                      double tau) const {
        const std::size_t n = src.values.size();
        GridFn<double> h1{src.grid, pool.take(n)};
        GridFn<double> h2{src.grid, pool.take(n)};
        const double half = tau * 0.5;
        Status st = diffusion.apply_into(src, h1, pool, half);
        if (st) st = drift.apply_into(h1, h2, pool, tau);
        if (st) st = diffusion.apply_into(h2, dst, pool, half);
        pool.give_back(std::move(h1.values));
        pool.give_back(std::move(h2.values));
        return st;
    }
};

using StrangDiffusionDrift = StrangSplit<DiffusionChernoff, DriftReactionChernoff>;
using StrangSemigroup = ChernoffSemigroup<StrangDiffusionDrift>;

// The Strang1D state for du/dt = u'' + b u': u0 finite ("u0 contains NaN or
// Inf"), the grid checks, unit diffusion and the constant drift b (reaction
// 0, bound |b|) on one grid, the semigroup with step count 100, then the grid
// function of a copy of u0. b is not checked: a non-finite b fails in the
// first step, where the characteristic foot is not finite.
Expected<std::pair<StrangSemigroup, GridFn<double>>> build_strang_state(std::size_t n, std::span<const double> u0,
                                                                        BoundaryPolicy<double> boundary,
                                                                        double xmin, double xmax, double b);

}  // namespace quorvane
