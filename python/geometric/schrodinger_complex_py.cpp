// Python class SchrodingerComplex1D: the complex Schrodinger evolver (kinetic
// operator -Laplacian/2), state behind a mutex that is never held while the
// interpreter lock is released.
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "core/foundation/format.hpp"
#include "core/geometric/schrodinger_complex.hpp"
#include "python/coeff.hpp"
#include "python/evolver.hpp"
#include "python/geometric/schrodinger.hpp"

namespace quorvane::py {
namespace {

struct SchrodingerComplex1DObj {
    struct Inner {
        std::mutex mutex;
        Grid1D<double> grid;
        std::vector<double> psi;  // n complex values as (re, im) pairs
        std::vector<double> v;
    };
    std::unique_ptr<Inner> inner;
    double dx = 0.0;
    std::size_t n = 0;

    std::size_t len() const { return n; }
    static ClassDef& class_def();
};

constexpr char kSchrodingerComplex1DDoc[] =
    "SchrodingerComplex1D(xmin, xmax, n, psi0, *, boundary=\"reflect\")\n--\n\n"
    "One-dimensional Schroedinger equation i psi_t = (-(1/2) d^2/dx^2 + V(x)) psi, complex storage.\n\n"
    "Units: hbar = 1 and the kinetic operator is -(1/2) d^2/dx^2 (half that of ``Schrodinger1D``).\n"
    "Each step is the Strang composition of the exact potential phase and the Crank-Nicolson\n"
    "step of the Dirichlet second difference, solved by the Thomas algorithm in complex\n"
    "arithmetic: second order in tau and unitary for every step size. Only forward evolution\n"
    "(t >= 0) is offered; the constructor builds a free particle, ``with_potential`` a\n"
    "potential given by its node samples.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "psi0 : numpy.ndarray[complex128]\n"
    "    Initial wave function at the n nodes (a float64 array is read with zero imaginary part).\n"
    "boundary : str, optional\n"
    "    \"reflect\" (default), \"zero\", \"periodic\" or \"linear\"; it does not change the evolution.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[GridMismatch]\" for a psi0 that is not a complex array, for xmin >= xmax, n < 4 or\n"
    "    len(psi0) != n; \"[NanInf]\" for non-finite psi0 or bounds; \"[OutOfDomain]\" for an\n"
    "    unknown boundary.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(-10.0, 10.0, 401)\n"
    ">>> s = quorvane.SchrodingerComplex1D(-10.0, 10.0, 401, np.exp(-x**2 + 0j))   # a complex128 array\n"
    ">>> n0 = s.norm_squared()\n"
    ">>> s.evolve(0.5, n_steps=100)\n"
    ">>> print(abs(s.norm_squared() / n0 - 1.0) < 1e-12, s.order())\n"
    "True 2\n";

constexpr char kWithPotentialDoc[] =
    "with_potential(xmin, xmax, n, v, psi0, *, boundary=\"reflect\")\n--\n\n"
    "Build an evolver with the potential v given at the n nodes.\n\n"
    "Between nodes the potential is that of the nearest node; the step reads it only at nodes.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "v : numpy.ndarray[float64]\n    Potential samples at the n nodes, all finite.\n"
    "psi0 : numpy.ndarray[complex128]\n    Initial wave function.\n"
    "boundary : str, optional\n    \"reflect\" (default), \"zero\", \"periodic\" or \"linear\".\n\n"
    "Returns\n-------\nSchrodingerComplex1D\n\n"
    "Raises\n------\n"
    "QuorvaneError\n    As the constructor, and \"[GridMismatch] v must be numpy.ndarray[float64]\",\n"
    "    \"[GridMismatch] len(v) = {} but n = {}\", \"[NanInf] v contains NaN or Inf\".\n";

constexpr char kEvolveDoc[] =
    "evolve($self, t, n_steps=200)\n--\n\n"
    "Advance psi by time t >= 0 in n_steps steps of t/n_steps.\n\n"
    "The error is second order in the step. The interpreter lock is released while the steps\n"
    "run on copies; psi is replaced only when every step succeeded.\n\n"
    "Parameters\n----------\n"
    "t : float\n    Time to advance, finite and >= 0.\n"
    "n_steps : int, optional\n    Number of steps, at least 1 (default 200).\n\n"
    "Returns\n-------\nNone\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\", kind\n"
    "    NanInf when a part of the result lies beyond the double range (the steps keep the norm,\n"
    "    not the largest part), naming the max|u0| of the parts of psi that keeps every part\n"
    "    within it, or the error of a step; psi is unchanged after a failure.\n";

constexpr char kValuesDoc[] =
    "values($self)\n--\n\n"
    "Return psi as a new complex128 array of length n.\n";

constexpr char kOrderDoc[] =
    "order($self)\n--\n\n"
    "Return the order of the step in tau: 2.\n";

constexpr char kNormSquaredDoc[] =
    "norm_squared($self)\n--\n\n"
    "Return the discrete squared norm sum_i |psi_i|^2 * dx.\n";

using Inner = SchrodingerComplex1DObj::Inner;

std::vector<double> interleave(const ComplexParts& p) {
    std::vector<double> out(2 * p.re.size());
    for (std::size_t i = 0; i < p.re.size(); ++i) {
        out[2 * i] = p.re[i];
        out[2 * i + 1] = p.im[i];
    }
    return out;
}

SchrodingerComplex1DObj build(const Args& a, PyObject* v_obj, PyObject* psi_obj, std::size_t boundary_index) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(boundary_index, "reflect"));
    std::vector<double> psi = interleave(extract_complex_psi0(psi_obj));
    if (first_non_finite<double>(psi)) py_err_with_kind("NanInf", "psi0 contains NaN or Inf: NaN");
    // The zero potential is allocated only once psi0 has matched n: n alone
    // is the caller's word and may be anything.
    std::vector<double> v;
    if (v_obj) {
        auto given = try_float_vector(v_obj);
        if (!given) py_err_with_kind("GridMismatch", "v must be numpy.ndarray[float64]");
        if (given->size() != n) {
            py_err_with_kind("GridMismatch",
                             "len(v) = " + std::to_string(given->size()) + " but n = " + std::to_string(n));
        }
        if (first_non_finite<double>(*given)) py_err_with_kind("NanInf", "v contains NaN or Inf");
        v = std::move(*given);
    }
    const Grid1D<double> grid = unwrap(Grid1D<double>::make(policy, InterpKind::septic(), xmin, xmax, n));
    if (v_obj) unwrap(SchrodingerChernoffComplex::make(grid, nearest_node_potential(v, grid.xmin, grid.dx())));
    GridFnComplex1D fn = unwrap(GridFnComplex1D::make(grid, std::move(psi)));
    if (!v_obj) v.assign(n, 0.0);
    std::unique_ptr<Inner> inner(new Inner{{}, grid, std::move(fn.values), std::move(v)});
    return SchrodingerComplex1DObj{std::move(inner), grid.dx(), n};
}

SchrodingerComplex1DObj schrodinger_complex1d_new(const Args& a) { return build(a, nullptr, a.raw(3), 4); }

Ref schrodinger_complex1d_with_potential(const Args& a) { return new_object(build(a, a.raw(3), a.raw(4), 5)); }

// A step so long that its Thomas solve overflows is refused before any work,
// with the longest step served and a count that reaches it.
void refuse_overflowing_solve(const Grid1D<double>& grid, double t, double tau) {
    if (schrodinger_complex_step_served(grid, tau)) return;
    const double dx = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
    const double shown = floor_4_digits_inside(schrodinger_complex_longest_step(grid));
    const StepCounts counts = admitted_counts(
        t, kU64Counts, [&](double step) { return step <= shown && schrodinger_complex_step_served(grid, step); });
    const double r = tau / (dx * dx * 4.0);
    py_err_with_kind("OutOfDomain", "SchrodingerComplex1D: tau = t/n_steps = " + fmt_exp3(tau) +
                                        " makes r = tau/(4 dx^2) " +
                                        (std::isfinite(r) ? "= " + fmt_exp3(r) : "overflow") + ", above " +
                                        fmt_exp3(kMaxThomasRatio) +
                                        ", where the Thomas solve's products of r overflow and a pivot rounds to "
                                        "a non-finite value; the longest step served on this grid is " +
                                        fmt_exp3(shown) + "; " + count_advice(counts, "n_steps", kU64Counts, {"t", t}));
}

Ref schrodinger_complex1d_evolve(SchrodingerComplex1DObj& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 200);
    check_steps_and_time(n_steps, t);
    Grid1D<double> grid;
    std::vector<double> psi, v;
    {
        std::lock_guard lock(self.inner->mutex);
        grid = self.inner->grid;
        psi = self.inner->psi;
        v = self.inner->v;
    }
    refuse_overflowing_solve(grid, t, t / static_cast<double>(n_steps));
    // The steps keep the norm, not the largest part: near the top of the
    // range a part of the result can pass it, and the refusal names the
    // scale of psi that keeps every part within.
    BeyondRange beyond;
    auto r = run_evolve([&] {
        return run_linear(psi, beyond, [&](std::vector<double> p) {
            return schrodinger_complex_evolve(grid, v, std::move(p), t, n_steps);
        });
    });
    refuse_beyond("SchrodingerComplex1D", psi, beyond);
    std::vector<double> result = unwrap(std::move(r));
    std::lock_guard lock(self.inner->mutex);
    self.inner->psi = std::move(result);
    return none();
}

Ref schrodinger_complex1d_values(const SchrodingerComplex1DObj& self, const Args&) {
    std::lock_guard lock(self.inner->mutex);
    return new_array_complex128(self.inner->psi);
}

Ref schrodinger_complex1d_order(const SchrodingerComplex1DObj&, const Args&) { return py_int(2); }

Ref schrodinger_complex1d_norm_squared(const SchrodingerComplex1DObj& self, const Args&) {
    std::lock_guard lock(self.inner->mutex);
    const std::vector<double>& psi = self.inner->psi;
    double s = 0.0;
    for (std::size_t i = 0; i + 1 < psi.size(); i += 2) s = s + (psi[i] * psi[i] + psi[i + 1] * psi[i + 1]);
    // The interleaved parts are summed as one sequence when scaled.
    return py_float(norm_squared_in_range(s * self.dx, psi, {}, self.dx));
}

ClassDef& SchrodingerComplex1DObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<SchrodingerComplex1DObj>("SchrodingerComplex1D", kSchrodingerComplex1DDoc);
        d.tp_new = constructor<SchrodingerComplex1DObj, kSchrodingerComplex1DDoc, &schrodinger_complex1d_new>();
        d.methods = {
            method<SchrodingerComplex1DObj, kWithPotentialDoc, &schrodinger_complex1d_with_potential>(),
            method<SchrodingerComplex1DObj, kEvolveDoc, &schrodinger_complex1d_evolve>(),
            method<SchrodingerComplex1DObj, kValuesDoc, &schrodinger_complex1d_values>(),
            method<SchrodingerComplex1DObj, kOrderDoc, &schrodinger_complex1d_order>(),
            method<SchrodingerComplex1DObj, kNormSquaredDoc, &schrodinger_complex1d_norm_squared>(),
        };
        return d;
    }();
    return def;
}

}  // namespace

PyTypeObject* schrodinger_complex1d_type_object() { return type_object<SchrodingerComplex1DObj>(); }

}  // namespace quorvane::py
