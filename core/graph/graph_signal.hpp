// Static graph heat du/dt = -L u: the truncated-Taylor Chernoff steps of
// orders 1 (optionally with the second-order term), 4 and 6, their
// stability limits, and the ping-pong loop that repeats a step.
//
// S_K(tau) f = sum_{k <= K} (-tau L)^k / k! f, accumulated one power at a
// time in increasing k (the buffers hold L^k f, never the scaled terms).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/foundation/step_count.hpp"
#include "core/foundation/stop.hpp"
#include "core/graph/laplacian.hpp"

namespace quorvane {

// Half-widths of the real stability intervals: |p_K(-x)| <= 1 for
// 0 <= x <= limit, where p_K is the degree-K Taylor polynomial of e^x
// (order 1 and the order-2 polynomial: 2 exactly; order 4: the interval
// ends at 2.78529356, order 6 at 3.55344126, both rounded down to stay
// inside).
// Beyond it the highest Laplacian modes, rounding noise included, grow
// geometrically with the step count.
inline constexpr double kTaylor1StabilityLimit = 2.0;
inline constexpr double kTaylor2StabilityLimit = 2.0;
inline constexpr double kTaylor4StabilityLimit = 2.7852;
inline constexpr double kTaylor6StabilityLimit = 3.5534;

template <class F>
struct GraphHeatChernoff {
    std::shared_ptr<const Laplacian<F>> laplacian;
    bool second_order = false;

    // dst = src - tau L src (+ tau^2/2 L^2 src with second_order).
    Status apply_into(std::span<const F> src, std::span<F> dst, ScratchPool<F>& pool, F tau) const;
};

struct GraphHeat4thChernoff {
    SharedLaplacian laplacian;
    Status apply_into(std::span<const double> src, std::span<double> dst, ScratchPool<double>& pool,
                      double tau) const;
};

struct GraphHeat6thChernoff {
    SharedLaplacian laplacian;
    Status apply_into(std::span<const double> src, std::span<double> dst, ScratchPool<double>& pool,
                      double tau) const;
};

extern template struct GraphHeatChernoff<double>;
extern template struct GraphHeatChernoff<float>;

// When n_steps steps of t/n_steps exceed the limit, (t/n_steps) * rho >
// limit: the counts n in [1, range_max] (the range of the count argument)
// with (t/n) * rho <= limit; nullopt when they do not exceed it.
std::optional<StepCounts> stable_step_counts(double t, std::uint64_t n_steps, double rho, double limit,
                                             std::uint64_t range_max);

// n_steps applications of `kernel` from f (ping-pong between two vectors),
// polling the stop hook between steps; the state after the last step.
template <class F, class K>
Expected<std::vector<F>> evolve_steps(const K& kernel, std::vector<F> f, std::uint64_t n_steps, F tau) {
    std::vector<F> g(f.size(), F(0));
    ScratchPool<F> pool;
    for (std::uint64_t k = 0; k < n_steps; ++k) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        if (Status st = kernel.apply_into(f, g, pool, tau); !st) return fail(st.error());
        std::swap(f, g);
    }
    return f;
}

}  // namespace quorvane
