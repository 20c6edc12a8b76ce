// Strang splitting of diffusion and drift-reaction, and the Strang1D state.
//
// One step D(tau/2) R(tau) D(tau/2) is palindromic, so its error expansion
// has only odd powers of tau beyond the first: local error O(tau^3), global
// order 2 whenever both parts are at least second order.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "core/foundation/boundary.hpp"
#include "core/line/diffusion.hpp"
#include "core/line/drift_reaction.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/state.hpp"

namespace quorvane {

// Intermediate signals of a split step, made like the step's source from
// the pool and given back to it: a grid function keeps the source's grid, a
// plain vector of node values is all values.
inline GridFn<double> scratch_like(const GridFn<double>& src, ScratchPool<double>& pool) {
    return {src.grid, pool.take(src.values.size())};
}
inline void give_back_scratch(GridFn<double>&& s, ScratchPool<double>& pool) { pool.give_back(std::move(s.values)); }
inline std::vector<double> scratch_like(std::span<const double> src, ScratchPool<double>& pool) {
    return pool.take(src.size());
}
inline void give_back_scratch(std::vector<double>&& s, ScratchPool<double>& pool) { pool.give_back(std::move(s)); }

// Outer and Inner are any kernels with the whole-signal calling form
// apply_into(in, out, pool, tau) over the same signal type: grid functions
// (the 1-D splits) or spans of node values (graph splits). Copies share
// coefficient closures and operators (they are reference counted).
template <class Outer, class Inner>
struct StrangSplit {
    // The outer half-steps and the inner full step (named after the 1-D
    // split of diffusion around drift-reaction).
    Outer diffusion;
    Inner drift;

    // src -> dst by Outer(tau/2), Inner(tau), Outer(tau/2). dst's values are
    // replaced (length of src), a grid is left alone. The first failing part
    // ends the step with its error; the intermediates go back to the pool on
    // every path.
    template <class In, class Out>
    Status apply_into(const In& src, Out&& dst, ScratchPool<double>& pool, double tau) const {
        auto h1 = scratch_like(src, pool);
        auto h2 = scratch_like(src, pool);
        const double half = tau * 0.5;
        Status st = diffusion.apply_into(src, h1, pool, half);
        if (st) st = drift.apply_into(h1, h2, pool, tau);
        if (st) st = diffusion.apply_into(h2, dst, pool, half);
        give_back_scratch(std::move(h1), pool);
        give_back_scratch(std::move(h2), pool);
        return st;
    }
};

using StrangDiffusionDrift = StrangSplit<DiffusionChernoff, DriftReactionChernoff>;

// The drift-reaction step's factors: the diffusion half steps have no
// reaction.
inline ReactionFactors reaction_factors(const StrangDiffusionDrift& k, double tau) {
    return reaction_factors(k.drift, tau);
}
// On a grid with "linear" ends, how far beyond an end (in cells) the
// diffusion half steps read the continued data (the drift's feet stay
// inside).
inline double linear_end_cells(const StrangDiffusionDrift& k, double tau) {
    const Grid1D<double>& g = k.diffusion.grid;
    if (g.boundary.tag != BoundaryTag::Linear) return 0.0;
    return heat2_varying_reach(k.diffusion.a_norm_bound, tau * 0.5, g.dx()) / g.dx();
}
// The drift's reach and the diffusion half steps' (bounded by a_norm_bound).
inline FootReach foot_reach(const StrangDiffusionDrift& k) {
    FootReach r = foot_reach(k.drift);
    r.take_a(k.diffusion.a_norm_bound);
    return r;
}
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
