// Python class Howland1D: the Howland lift of unit diffusion onto a stack
// of time slices.
#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "core/bounded/howland.hpp"
#include "python/evolver.hpp"

namespace quorvane::py {
namespace {

struct Howland1DObj {
    HowlandLift lift;
    Grid1D<double> grid;
    HowlandState state;
    std::size_t n_t = 0;
    double t_horizon = 0.0;

    std::size_t len() const { return grid.n; }
    static ClassDef& class_def();
};

constexpr char kHowlandDoc[] =
    "Howland1D(xmin, xmax, n, u0, *, n_t=11, t_horizon=0.1, boundary=\"reflect\")\n--\n\n"
    "Unit diffusion lifted onto a stack of n_t time slices s_k = k delta_s of [0, t_horizon].\n\n"
    "One lifted step of delta_s = t_horizon/(n_t - 1) moves every slice one place up the time\n"
    "grid while applying one unit heat step to it; a zero slice enters at s = 0. ``evolve()``\n"
    "makes n_t - 1 lifted steps, after which the last slice holds n_t - 1 heat steps of delta_s\n"
    "of the first. The stack holds n_t*n values and is capped at 33554432 (\"[OutOfDomain]\").\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 21)\n"
    ">>> h = quorvane.Howland1D(0.0, 1.0, 21, np.cos(np.pi * x), n_t=11, t_horizon=0.1)\n"
    ">>> h.evolve()\n"
    ">>> print(h.n_t(), round(h.delta_s(), 3), h.values().shape)\n"
    "11 0.01 (21,)\n";

constexpr char kOrderDoc[] = "order($self)\n--\n\nReturn the order of the lifted step: 1.\n";
constexpr char kDeltaSDoc[] = "delta_s($self)\n--\n\nThe time-slice spacing t_horizon/(n_t - 1).\n";
constexpr char kNtDoc[] = "n_t($self)\n--\n\nThe number of time slices.\n";
constexpr char kHorizonDoc[] = "t_horizon($self)\n--\n\nThe time horizon.\n";
constexpr char kEvolveDoc[] =
    "evolve($self)\n--\n\nAdvance the stack by one horizon (n_t - 1 lifted steps); returns None.\n\n"
    "Raises\n------\nQuorvaneError\n"
    QUORVANE_FAR_READS_DOC("the longest t (= t_horizon) this object's n_t serves, with the (n_t - 1) from which\n"
                           "    every count of steps passes for this t_horizon (a = 1)")
    QUORVANE_BEYOND_RANGE_DOC;
constexpr char kValuesDoc[] = "values($self)\n--\n\nReturn a copy of the last slice (time t_horizon).\n";

Howland1DObj howland_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const std::size_t n_t = a.usize_or(4, 11);
    const double t_horizon = a.f64_or(5, 0.1);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(6, "reflect"));
    std::vector<double> u0 = extract_u0_vec(a.raw(3));
    if (const double* bad = first_non_finite<double>(u0)) unwrap(domain_error("u0 contains NaN or Inf", *bad));
    const Grid1D<double> grid = unwrap(Grid1D<double>::make(policy, InterpKind::septic(), xmin, xmax, n));
    HowlandLift lift = unwrap(HowlandLift::make(grid, n_t, t_horizon));
    const std::optional<std::uint64_t> total = howland_stack_values(n_t, n);
    if (!total || *total > kMaxHowlandValues)
        py_err_with_kind("OutOfDomain", "Howland1D: the stack needs n_t*n = " +
                                            (total ? std::to_string(*total) : std::string("more than 2^64")) +
                                            " values, above the cap of " + std::to_string(kMaxHowlandValues));
    GridFn<double> slice = unwrap(GridFn<double>::make(grid, std::move(u0)));
    HowlandState state{std::vector<GridFn<double>>(n_t, slice), n_t};
    return {std::move(lift), grid, std::move(state), n_t, t_horizon};
}

// The slices of a stack one after the other, and back.
std::vector<double> joined(const HowlandState& state) {
    std::vector<double> out;
    for (const GridFn<double>& s : state.slices) out.insert(out.end(), s.values.begin(), s.values.end());
    return out;
}
void spread(std::span<const double> values, HowlandState& state) {
    for (GridFn<double>& s : state.slices) {
        std::copy_n(values.begin(), s.values.size(), s.values.begin());
        values = values.subspan(s.values.size());
    }
}

// The lifted steps are linear in the stack of slices: the whole stack runs
// at its unit scale (run_linear).
Ref howland_evolve(Howland1DObj& self, const Args&) {
    const HowlandLift lift = self.lift;
    // A horizon takes n_t - 1 heat steps of delta_s; a stack of n_t slices
    // of n values is capped, and so is the count of steps a fresh object takes.
    const std::uint64_t steps = self.n_t - 1;
    refuse_reads_beyond_grid("Howland1D",
                             {StepCall::Form::Count, self.t_horizon, lift.delta_s, "(n_t - 1)", steps,
                              kMaxHowlandValues / self.grid.n - 1},
                             spacing_text(self.grid), [&](double step) { return heat_reads_located(lift.inner, step); });
    const HowlandState& state = self.state;
    const std::vector<double> stack = joined(state);
    const std::vector<double> next =
        evolve_linear("Howland1D", stack, [&](std::vector<double> v) -> Expected<std::vector<double>> {
            HowlandState scaled = state;
            spread(v, scaled);
            auto r = lift.evolve(scaled);
            if (!r) return fail(r.error());
            return joined(*r);
        });
    spread(next, self.state);
    return none();
}

Ref howland_values(const Howland1DObj& self, const Args&) { return new_array_f64(self.state.slices.back().values); }
Ref howland_order(const Howland1DObj&, const Args&) { return py_int(1); }
Ref howland_delta_s(const Howland1DObj& self, const Args&) { return py_float(self.lift.delta_s); }
Ref howland_n_t(const Howland1DObj& self, const Args&) { return py_int(self.n_t); }
Ref howland_t_horizon(const Howland1DObj& self, const Args&) { return py_float(self.t_horizon); }

}  // namespace

ClassDef& Howland1DObj::class_def() {
    static ClassDef def = [] {
        using O = Howland1DObj;
        ClassDef d = class_def_base<O>("Howland1D", kHowlandDoc);
        d.tp_new = constructor<O, kHowlandDoc, &howland_new>();
        d.methods = {method<O, kOrderDoc, &howland_order>(),     method<O, kDeltaSDoc, &howland_delta_s>(),
                     method<O, kNtDoc, &howland_n_t>(),          method<O, kHorizonDoc, &howland_t_horizon>(),
                     method<O, kEvolveDoc, &howland_evolve>(),   method<O, kValuesDoc, &howland_values>()};
        return d;
    }();
    return def;
}

PyTypeObject* howland1d_type_object() { return type_object<Howland1DObj>(); }

}  // namespace quorvane::py
