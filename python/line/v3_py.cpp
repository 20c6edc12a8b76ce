// Python classes EvolverHeat1DUnitV3 and GrowthV3: unit heat written into a
// caller's float64 buffer, and the growth bound of its Chernoff function.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/line/diffusion.hpp"
#include "core/foundation/format.hpp"
#include "core/foundation/numeric.hpp"
#include "core/line/state.hpp"
#include "python/array.hpp"
#include "python/buf_borrow.hpp"
#include "python/coeff.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"

namespace quorvane::py {
namespace {

// --- GrowthV3 -------------------------------------------------------------------

struct GrowthV3Obj {
    double multiplier = 1.0;
    double omega = 0.0;

    std::string repr() const {
        return "GrowthV3(multiplier=" + fmt_shortest(multiplier) + ", omega=" + fmt_shortest(omega) + ")";
    }
    static ClassDef& class_def();
};

constexpr char kGrowthV3Doc[] =
    "Growth bound ||S(tau)|| <= M * exp(omega * tau) of a Chernoff function, with M = multiplier\n"
    "and omega = omega; returned by ``EvolverHeat1DUnitV3.growth``."
    "\n\n"
    "Examples\n"
    "--------\n"
    ">>> ev = quorvane.EvolverHeat1DUnitV3(0.0, 1.0, 11, np.ones(11), 10)\n"
    ">>> g = ev.growth()\n"
    ">>> print(type(g).__name__, g.multiplier, g.omega)\n"
    "GrowthV3 1.0 0.0\n";

Ref growth_multiplier(const GrowthV3Obj& g) { return py_float(g.multiplier); }
Ref growth_omega(const GrowthV3Obj& g) { return py_float(g.omega); }

ClassDef& GrowthV3Obj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<GrowthV3Obj>("GrowthV3", kGrowthV3Doc);
        d.getters = {
            getter<GrowthV3Obj, &growth_multiplier>("multiplier", "M in `\u2016S(\u03c4)\u2016 \u2264 M \u00b7 exp(\u03c9 \u00b7 \u03c4)`."),
            getter<GrowthV3Obj, &growth_omega>("omega", "\u03c9 in `\u2016S(\u03c4)\u2016 \u2264 M \u00b7 exp(\u03c9 \u00b7 \u03c4)`."),
        };
        return d;
    }();
    return def;
}

// --- EvolverHeat1DUnitV3 ----------------------------------------------------------

struct EvolverHeat1DUnitV3Obj {
    Evolver<DiffusionChernoff> ev;

    std::size_t len() const { return ev.state.values.size(); }
    static ClassDef& class_def();
};

constexpr char kEvolverDoc[] =
    "EvolverHeat1DUnitV3(domain_lo, domain_hi, n_grid, u0, n_chernoff)\n--\n\n"
    "Unit heat equation du/dt = d^2u/dx^2 on [domain_lo, domain_hi], written into caller buffers.\n\n"
    "The state lives on the n_grid nodes x_i = domain_lo + i*dx, dx = (domain_hi - domain_lo)/\n"
    "(n_grid - 1), with reflecting ends. ``evolve_into(t, buf)`` advances it by n_chernoff\n"
    "second-order Chernoff steps of size t/n_chernoff (a five-point Gaussian average of u,\n"
    "off-grid values by degree-7 Hermite interpolation; temporal error O(t^3/n_chernoff^2))\n"
    "and writes the result into ``buf`` without creating an array.\n\n"
    "Parameters\n----------\n"
    "domain_lo, domain_hi : float\n    Ends of the interval; finite, domain_lo < domain_hi.\n"
    "n_grid : int\n    Number of grid nodes, at least 4.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values at the nodes, all finite.\n"
    "n_chernoff : int\n    Chernoff steps per ``evolve_into`` call, at least 1. A call of time t is\n"
    "    accurate only while k^2*t/n_chernoff is small for the wave numbers k that matter\n"
    "    (aim for 0.1 or less); larger steps give wrong values without any error.\n\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is neither a float64 array nor a sequence of floats.\n"
    "QuorvaneError\n"
    "    \"[NanInf]\" for non-finite u0 or bounds; \"[GridMismatch]\" for domain_lo >= domain_hi,\n"
    "    n_grid < 4, n_chernoff = 0 (\"Evolver n must be >= 1\") or len(u0) != n_grid.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 41)\n"
    ">>> ev = quorvane.EvolverHeat1DUnitV3(0.0, 1.0, 41, np.cos(np.pi * x), 50)\n"
    ">>> buf = np.empty(41)                     # your own float64 buffer, written in place\n"
    ">>> ev.evolve_into(0.1, buf)\n"
    ">>> print(f\"{abs(buf - np.exp(-np.pi**2 * 0.1) * np.cos(np.pi * x)).max():.0e}\")\n"
    "5e-06\n";

constexpr char kEvolveIntoDoc[] =
    "evolve_into($self, t, buf)\n--\n\n"
    "Advance the state by time t and write the new values into buf.\n\n"
    "Runs n_chernoff steps of size t/n_chernoff with the interpreter lock released; buf is\n"
    "held exclusively for the whole call. buf and the state change together, and only\n"
    "when the whole evolution succeeded.\n\n"
    "Parameters\n----------\n"
    "t : float\n    Time to advance, finite and >= 0.\n"
    "buf : numpy.ndarray[float64]\n"
    "    Writable, one-dimensional, contiguous and aligned, of length n_grid.\n\n"
    "Returns\n-------\nNone\n\n"
    "Raises\n------\n"
    "TypeError\n"
    "    \"argument 'buf': ...\" if buf is not a writable one-dimensional float64 array, or is\n"
    "    being written by another call.\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] t must be finite and >= 0\"; \"[GridMismatch] buf not contiguous: ...\"\n"
    "    for a strided or misaligned buf; \"[GridMismatch] buf length L != n_grid N\"; or the\n"
    "    error of a step;\n"
    QUORVANE_FAR_READS_DOC("the longest t this object's n_chernoff serve, with the n_chernoff from\n"
                           "    which every count passes for this t (a = 1)")
    "    buf and the state are unchanged after a failure.\n"
    QUORVANE_BEYOND_RANGE_DOC;

constexpr char kGrowthDoc[] =
    "growth($self)\n--\n\n"
    "Return the growth bound of the Chernoff function.\n\n"
    "The unit heat step is an average with non-negative weights, so ||S(tau)|| <= 1:\n"
    "multiplier 1 and omega 0, whatever the grid and state.\n\n"
    "Returns\n-------\nGrowthV3\n";

constexpr char kSizeDoc[] =
    "size($self)\n--\n\n"
    "Return the number of grid nodes.\n\n"
    "Returns\n-------\nint\n    n_grid.\n";

constexpr char kNChernoffDoc[] =
    "n_chernoff($self)\n--\n\n"
    "Return the number of Chernoff steps per ``evolve_into`` call.\n\n"
    "Returns\n-------\nint\n";

constexpr char kValuesDoc[] =
    "values($self)\n--\n\n"
    "Return a copy of the current values.\n\n"
    "Returns\n-------\nnumpy.ndarray[float64]\n    A new array of the n_grid node values.\n";

EvolverHeat1DUnitV3Obj evolver_new(const Args& a) {
    const double lo = a.f64(0);
    const double hi = a.f64(1);
    const std::size_t n_grid = a.usize(2);
    const std::size_t n_chernoff = a.usize(4);
    const std::vector<double> u0 = extract_u0_vec(a.raw(3));
    if (const double* bad = first_non_finite<double>(u0)) raise_core_error(CoreError::domain("u0 contains NaN or Inf", *bad));
    const Grid1D<double> grid =
        unwrap(Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), lo, hi, n_grid));
    Evolver<DiffusionChernoff> ev =
        unwrap(Evolver<DiffusionChernoff>::make(DiffusionChernoff::unit(grid), n_chernoff, GridFn<double>{grid, {}}));
    warm_parallel_caches();
    ev.state = unwrap(GridFn<double>::make(grid, u0));
    return EvolverHeat1DUnitV3Obj{std::move(ev)};
}

Ref evolver_evolve_into(EvolverHeat1DUnitV3Obj& self, const Args& a) {
    const double t = a.f64(0);
    BufBorrow buf(a.raw(1));
    if (!finite_nonneg(t)) py_err_with_kind("OutOfDomain", "t must be finite and >= 0");
    const std::size_t len = buf.len();
    if (len != 0 && !buf.contiguous_aligned()) {
        py_err_with_kind("GridMismatch", "buf not contiguous: The given array is not contiguous or is misaligned.");
    }
    const std::size_t n_grid = self.ev.state.grid.n;
    if (len != n_grid) {
        py_err_with_kind("GridMismatch",
                         "buf length " + std::to_string(len) + " != n_grid " + std::to_string(n_grid));
    }
    const std::vector<double>& u0 = self.ev.state.values;
    const Evolver<DiffusionChernoff>& ev = self.ev;
    refuse_reads_beyond_grid("EvolverHeat1DUnitV3",
                             {StepCall::Form::Count, t, t / static_cast<double>(ev.n), "n_chernoff", ev.n},
                             spacing_text(ev.state.grid), [&](double step) { return heat_reads_located(ev.kernel, step); });
    double* out = buf.data();
    BeyondRange beyond;
    // The steps are linear: run at the values' unit scale (run_linear).
    auto r = run_evolve([&] {
        return run_linear(u0, beyond, [&](std::vector<double> v) -> Expected<std::vector<double>> {
            Evolver<DiffusionChernoff> work{ev.kernel, ev.n, GridFn<double>{ev.state.grid, {}}};
            auto start = GridFn<double>::make(work.state.grid, std::move(v));
            if (!start) return fail(start.error());
            work.state = std::move(*start);
            if (Status s = work.advance(t); !s) return fail(s.error());
            return std::move(work.state.values);
        });
    });
    refuse_beyond("EvolverHeat1DUnitV3", u0, beyond);
    std::vector<double> result = unwrap(std::move(r));
    std::memcpy(out, result.data(), result.size() * sizeof(double));
    self.ev.state.values = std::move(result);
    return none();
}

Ref evolver_growth(const EvolverHeat1DUnitV3Obj&, const Args&) { return new_object(GrowthV3Obj{1.0, 0.0}); }
Ref evolver_size(const EvolverHeat1DUnitV3Obj& self, const Args&) { return py_int(self.ev.state.grid.n); }
Ref evolver_n_chernoff(const EvolverHeat1DUnitV3Obj& self, const Args&) { return py_int(self.ev.n); }
Ref evolver_values(const EvolverHeat1DUnitV3Obj& self, const Args&) { return new_array_f64(self.ev.state.values); }

ClassDef& EvolverHeat1DUnitV3Obj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<EvolverHeat1DUnitV3Obj>("EvolverHeat1DUnitV3", kEvolverDoc);
        d.tp_new = constructor<EvolverHeat1DUnitV3Obj, kEvolverDoc, &evolver_new>();
        d.methods = {
            method<EvolverHeat1DUnitV3Obj, kEvolveIntoDoc, &evolver_evolve_into>(),
            method<EvolverHeat1DUnitV3Obj, kGrowthDoc, &evolver_growth>(),
            method<EvolverHeat1DUnitV3Obj, kSizeDoc, &evolver_size>(),
            method<EvolverHeat1DUnitV3Obj, kNChernoffDoc, &evolver_n_chernoff>(),
            method<EvolverHeat1DUnitV3Obj, kValuesDoc, &evolver_values>(),
        };
        return d;
    }();
    return def;
}

}  // namespace

PyTypeObject* growth_v3_type_object() { return type_object<GrowthV3Obj>(); }
PyTypeObject* evolver_heat1d_unit_v3_type_object() { return type_object<EvolverHeat1DUnitV3Obj>(); }

}  // namespace quorvane::py
