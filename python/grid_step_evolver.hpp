// Value type and bodies shared by the evolver classes whose step is a
// whole-grid kernel with a `unit(grid)` constructor (the truncated-exponential
// and exponential-action classes): construction from (xmin, xmax, n, u0,
// boundary), `evolve` by the ping-pong stepping procedure, `values`, `len`.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "core/numeric.hpp"
#include "core/state.hpp"
#include "python/array.hpp"
#include "python/coeff.hpp"
#include "python/frame.hpp"

namespace quorvane::py {

template <class K>
struct GridStepEvolverObj {
    // The kernel with its step count: 100 after construction, then the
    // n_steps of the last successful evolve (nothing reads it).
    ChernoffSemigroup<K> semigroup;
    GridFn<double> state;

    std::size_t len() const { return state.values.size(); }
    // One specialisation per bound class, in its binding file.
    static ClassDef& class_def();
};

// `Cls(xmin, xmax, n, u0, *, boundary="reflect")`: arguments converted in
// that order, the boundary parsed before u0 is read; then u0 finite, the grid
// checks and the length, as for the unit heat state.
template <class K>
GridStepEvolverObj<K> grid_step_new(const Args& a) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(4, "reflect"));
    const std::vector<double> u0 = extract_u0_vec(a.raw(3));
    auto [heat, state] = unwrap(build_heat_state(n, 100, u0, policy, xmin, xmax));
    return GridStepEvolverObj<K>{ChernoffSemigroup<K>{K::unit(state.grid), 100}, std::move(state)};
}

// `evolve($self, t, n_steps=100)`: n_steps checked before t; the steps run on
// copies without the interpreter lock; the object changes only on success.
template <class K>
Ref grid_step_evolve(GridStepEvolverObj<K>& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 100);
    if (n_steps == 0) py_err_with_kind("OutOfDomain", "n_steps must be >= 1");
    if (!finite_nonneg(t)) py_err_with_kind("OutOfDomain", "t must be finite and >= 0");
    const ChernoffSemigroup<K> semigroup{self.semigroup.kernel, n_steps};
    const Grid1D<double> grid = self.state.grid;
    std::vector<double> values = self.state.values;
    auto r = run_evolve([&]() -> Expected<std::vector<double>> {
        auto start = GridFn<double>::make(grid, std::move(values));
        if (!start) return fail(start.error());
        ScratchPool<double> pool;  // the step's scratch vectors, reused by every step of this call
        auto end = run_steps(semigroup.kernel, std::move(*start), n_steps, t / static_cast<double>(n_steps), pool);
        if (!end) return fail(end.error());
        return std::move(end->values);
    });
    self.state.values = unwrap(std::move(r));
    self.semigroup = semigroup;
    return none();
}

template <class K>
Ref grid_step_values(const GridStepEvolverObj<K>& self, const Args&) {
    return new_array_f64(self.state.values);
}

}  // namespace quorvane::py
