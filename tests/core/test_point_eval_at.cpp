// Point evaluation of the heat2 evolution: the same numbers as whole-grid
// steps followed by interpolation, with its argument checks in order.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/point_eval.hpp"
#include "core/state.hpp"

namespace quorvane {
namespace {

GridFn<double> start() {
    const auto g = *Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), -2.0, 3.0, 51);
    std::vector<double> v(g.n);
    for (std::size_t i = 0; i < g.n; ++i) v[i] = std::exp(-g.node(i) * g.node(i)) + 0.1 * g.node(i);
    return *GridFn<double>::make(g, std::move(v));
}

TEST(EvalAt, EqualsWholeGridStepsThenInterpolation) {
    const auto u0 = start();
    const auto k = DiffusionChernoff::unit(u0.grid);
    for (std::uint32_t steps : {1u, 2u, 7u}) {
        ScratchPool<double> pool;
        const auto whole = *run_steps(k, u0, steps, 0.01, pool);
        // Inside, at a node, and beyond both ends (reflecting rule).
        for (double x : {0.37, 1.0, -2.6, 3.9}) {
            const double want = *whole.grid.interp(whole.values, x);
            const std::vector<double> pt{x};
            EXPECT_EQ(*eval_at(k, u0, pt, steps, 0.01), want) << steps << " " << x;
        }
    }
}

TEST(EvalAt, ChecksAndErrors) {
    const auto u0 = start();
    const auto k = DiffusionChernoff::unit(u0.grid);
    const std::vector<double> two{0.0, 1.0}, none{}, one{0.5};
    // The step count is checked before the point.
    auto e1 = eval_at(k, u0, two, 0, 0.01);
    EXPECT_STREQ(e1.error().text(), "eval_at: n_steps must be >= 1");
    EXPECT_EQ(e1.error().f0(), 0.0);
    auto e2 = eval_at(k, u0, none, 1, 0.01);
    EXPECT_STREQ(e2.error().text(), "eval_at: 1-D backend requires x.len() == 1");
    EXPECT_EQ(e2.error().f0(), 0.0);
    EXPECT_STREQ(eval_at(k, u0, one, 1, -1.0).error().text(), "tau must be finite and >= 0");
    // tau = 0 reproduces the interpolant of u0 up to rounding.
    EXPECT_NEAR(*eval_at(k, u0, one, 3, 0.0), *u0.eval(0.5), 1e-15);
    // A point that is not finite has no value: an error, never a guess.
    for (double x : {std::nan(""), double(INFINITY), -1e300}) {
        const std::vector<double> p{x};
        EXPECT_FALSE(eval_at(k, u0, p, 1, 0.01).has_value()) << x;
    }
}

}  // namespace
}  // namespace quorvane
