// The Howland lift of unit diffusion: a stack of n_t time slices on
// s_k = k delta_s; one lifted step moves every slice one place up while
// stepping it in space, a zero slice entering at s = 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/diffusion.hpp"

namespace quorvane {

struct HowlandState {
    std::vector<GridFn<double>> slices;
    std::size_t n_t = 0;
};

struct HowlandLift {
    DiffusionChernoff inner;
    double t_horizon = 0.0;
    std::size_t n_t = 2;
    double delta_s = 0.0;

    // n_t >= 2, then t_horizon finite and > 0.
    static Expected<HowlandLift> make(const Grid1D<double>& grid, std::size_t n_t, double t_horizon);

    // tau must equal delta_s (to 2^-52 relative).
    Status apply_into(const HowlandState& src, HowlandState& dst, ScratchPool<double>& pool, double tau) const;

    // n_t - 1 lifted steps over the horizon: slice 0 of `state` arrives at
    // the top after n_t - 1 heat steps of delta_s, the others are pushed out.
    // The values of n_t - 1 calls of apply_into, from one step plan per
    // worker, the slices spread over workers kept for the call.
    Expected<HowlandState> evolve(const HowlandState& state) const;
};

// n_t * n, or nullopt when it overflows 64 bits.
std::optional<std::uint64_t> howland_stack_values(std::uint64_t n_t, std::uint64_t n);
// The most values one stack may hold (256 MiB); an evolve holds three.
inline constexpr std::uint64_t kMaxHowlandValues = std::uint64_t{1} << 25;

}  // namespace quorvane
