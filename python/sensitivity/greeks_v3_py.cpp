// Python class EvolverHeat1DGreeksV3: 1-D heat with its first and second
// derivatives with respect to the diffusivity, by hyper-dual Chernoff steps.
#include <cmath>
#include <vector>

#include "core/foundation/numeric.hpp"
#include "core/sensitivity/heat1d_greeks.hpp"
#include "python/array.hpp"
#include "python/coeff.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"

namespace quorvane::py {
namespace {

struct GreeksV3Obj {
    Grid1D<double> grid;
    std::vector<double> values;
    std::uint64_t n_chernoff;
    double scale_theta;
    static ClassDef& class_def();
};

constexpr char kGreeksV3Doc[] =
    "EvolverHeat1DGreeksV3(domain_lo, domain_hi, n_grid, u0, n_chernoff, scale_theta=0.5)\n--\n\n"
    "1-D heat du/dt = theta u'' with the solution's first and second theta-derivatives.\n\n"
    "Each call of ``greeks(t)`` takes n_chernoff second-order Chernoff steps of size\n"
    "t/n_chernoff (five-point Gaussian averages at x, x +- 2 sqrt(theta tau),\n"
    "x +- 2 sqrt(3 theta tau), degree-7 Hermite interpolation, reflecting ends) in\n"
    "hyper-dual arithmetic with theta = scale_theta seeded twice, and returns the value,\n"
    "delta = du/dtheta and gamma = d2u/dtheta2 of the discrete map. The stored state then\n"
    "becomes the value; the derivatives are not stored, so each call differentiates from a\n"
    "state that does not depend on theta.\n\n"
    "Parameters\n----------\n"
    "domain_lo, domain_hi : float\n    Ends of the interval; finite, domain_lo < domain_hi.\n"
    "n_grid : int\n    Number of grid nodes, at least 4.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n"
    "    Initial values, all finite (its length is checked by ``greeks``).\n"
    "n_chernoff : int\n    Steps per ``greeks`` call, at least 1.\n"
    "scale_theta : float, optional\n    The diffusivity theta (default 0.5), finite.\n\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is neither a float64 array nor a sequence of floats.\n"
    "QuorvaneError\n"
    "    \"[NanInf] u0 contains NaN or Inf: ...\", \"[NanInf] scale_theta must be finite: ...\",\n"
    "    \"[OutOfDomain] n_chernoff must be >= 1\", then the grid errors.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 41)\n"
    ">>> gk = quorvane.EvolverHeat1DGreeksV3(0.0, 1.0, 41, np.cos(np.pi * x), 50)\n"
    ">>> value, d1, d2 = gk.greeks(0.1)\n"
    ">>> print(value.shape, d1.shape, d2.shape)\n"
    "(41,) (41,) (41,)\n";

constexpr char kGreeksDoc[] =
    "greeks($self, t)\n--\n\n"
    "Advance the state by t and return (value, delta, gamma) as three float64 arrays.\n\n"
    "delta and gamma are the first and second derivatives of the evolved values with\n"
    "respect to scale_theta. t = 0 returns the state with zero derivatives.\n\n"
    "Parameters\n----------\n"
    "t : float\n    Time to advance, finite and >= 0.\n\n"
    "Returns\n-------\ntuple of three numpy.ndarray[float64]\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] t must be finite and >= 0\", kind GridMismatch when u0 had another\n"
    "    length than n_grid, kind OutOfDomain for a negative scale_theta, and kind\n"
    "    OutOfDomain for scale_theta = 0 with t > 0;\n"
    QUORVANE_FAR_READS_DOC("the n_chernoff from which every count passes for this t (a =\n"
                           "    scale_theta)")
    "    The state is unchanged after a failure.\n";

constexpr char kSizeDoc[] = "size($self)\n--\n\nThe length of the stored state.\n";
constexpr char kNChernoffDoc[] = "n_chernoff($self)\n--\n\nThe number of Chernoff steps per greeks call.\n";

GreeksV3Obj greeks_new(const Args& a) {
    const double lo = a.f64(0);
    const double hi = a.f64(1);
    const std::size_t n = a.usize(2);
    std::vector<double> u0 = extract_u0_vec(a.raw(3));
    const std::uint64_t n_chernoff = a.u64(4);
    const double theta = a.f64_or(5, 0.5);
    if (const double* bad = first_non_finite<double>(u0)) unwrap(domain_error("u0 contains NaN or Inf", *bad));
    if (!std::isfinite(theta)) unwrap(domain_error("scale_theta must be finite", theta));
    if (n_chernoff == 0) py_err_with_kind("OutOfDomain", "n_chernoff must be >= 1");
    const Grid1D<double> grid =
        unwrap(Grid1D<double>::make(BoundaryPolicy<double>::of(BoundaryTag::Reflect), InterpKind::septic(), lo, hi, n));
    return {grid, std::move(u0), n_chernoff, theta};
}

Ref greeks_greeks(GreeksV3Obj& self, const Args& a) {
    const double t = a.f64(0);
    if (!finite_nonneg(t)) py_err_with_kind("OutOfDomain", "t must be finite and >= 0");
    // The hyper-dual steps read where the plain step with a = theta reads.
    const DiffusionChernoff heat{CoeffSource::constant(self.scale_theta), self.grid, self.scale_theta};
    refuse_reads_beyond_grid("EvolverHeat1DGreeksV3",
                             {StepCall::Form::Count, t, t / static_cast<double>(self.n_chernoff), "n_chernoff"},
                             spacing_text(self.grid), [&](double step) { return heat_reads_located(heat, step); });
    const std::vector<double> values = self.values;
    HeatGreeks g = compute([&] { return heat1d_greeks(self.grid, values, self.n_chernoff, self.scale_theta, t); });
    Ref value = new_array_f64(g.value), delta = new_array_f64(g.delta), gamma = new_array_f64(g.gamma);
    self.values = std::move(g.value);
    return py_tuple({value, delta, gamma});
}

Ref greeks_size(const GreeksV3Obj& self, const Args&) { return py_int(self.values.size()); }
Ref greeks_n_chernoff(const GreeksV3Obj& self, const Args&) { return py_int(self.n_chernoff); }

ClassDef& GreeksV3Obj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<GreeksV3Obj>("EvolverHeat1DGreeksV3", kGreeksV3Doc);
        d.tp_new = constructor<GreeksV3Obj, kGreeksV3Doc, &greeks_new>();
        d.methods = {
            method<GreeksV3Obj, kGreeksDoc, &greeks_greeks>(),
            method<GreeksV3Obj, kSizeDoc, &greeks_size>(),
            method<GreeksV3Obj, kNChernoffDoc, &greeks_n_chernoff>(),
        };
        return d;
    }();
    return def;
}

}  // namespace

PyTypeObject* evolver_heat1d_greeks_v3_type_object() { return type_object<GreeksV3Obj>(); }

}  // namespace quorvane::py
