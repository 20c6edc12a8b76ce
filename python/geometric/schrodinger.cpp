// Python class Schrodinger1D: the real-pair Schrodinger evolver, state behind
// a mutex that is never held while the interpreter lock is released.
#include "python/geometric/schrodinger.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "core/foundation/format.hpp"
#include "core/foundation/numeric.hpp"
#include "core/geometric/schrodinger.hpp"
#include "python/coeff.hpp"
#include "python/evolver.hpp"

namespace quorvane::py {

ComplexParts extract_complex_psi0(PyObject* psi0) {
    auto parts = try_complex_parts(psi0);
    if (parts) return std::move(*parts);
    switch (parts.error()) {
        case ComplexPartsError::NoAttribute: py_err_with_kind("GridMismatch", "psi0 must be a numpy.ndarray[complex128]");
        case ComplexPartsError::Real: py_err_with_kind("GridMismatch", "psi0.real must be extractable as float64");
        case ComplexPartsError::Imag: py_err_with_kind("GridMismatch", "psi0.imag must be extractable as float64");
        case ComplexPartsError::LengthMismatch: break;
    }
    py_err_with_kind("GridMismatch", "psi0.real and psi0.imag length mismatch");
}

std::vector<double> extract_psi_part(PyObject* o, const char* name) {
    auto v = try_float_vector(o);
    if (!v) py_err_with_kind("GridMismatch", std::string(name) + " must be numpy.ndarray[float64]");
    return std::move(*v);
}

namespace {
constexpr double kF64Max = 1.7976931348623157e308;
}  // namespace

double norm_squared_in_range(double plain, std::span<const double> re, std::span<const double> im, double dx) {
    if (std::isfinite(plain)) return plain;
    double top = 0.0;
    for (double v : re) top = std::fmax(top, std::fabs(v));
    for (double v : im) top = std::fmax(top, std::fabs(v));
    const int e = std::max(unit_scale_exponent(re), unit_scale_exponent(im));
    double s = 0.0;
    for (double v : re) s += std::ldexp(v, -e) * std::ldexp(v, -e);
    for (double v : im) s += std::ldexp(v, -e) * std::ldexp(v, -e);
    // s 2^(2e) dx, its exponents added so that no partial product leaves
    // the range before the whole does.
    int e_s = 0, e_dx = 0;
    const double m = std::frexp(s, &e_s) * std::frexp(dx, &e_dx);
    const double norm = std::ldexp(m, e_s + e_dx + 2 * e);
    if (!std::isfinite(norm)) {
        // The norm scales with the square of psi: the largest part that
        // passes, in decimal logarithms.
        const double log_norm = std::log10(m) + static_cast<double>(e_s + e_dx + 2 * e) * std::log10(2.0);
        const double passes = std::pow(10.0, std::log10(top) + 0.5 * (std::log10(kF64Max) - log_norm));
        py_err_with_kind("NanInf", "norm_squared: sum |psi_i|^2 dx exceeds the double range (largest part "
                                   "|Re psi_i| or |Im psi_i| = " + fmt_exp3(top) + ", dx = " + fmt_exp3(dx) +
                                       "); psi scaled to parts below " + fmt_exp3(passes * 0.999) + " passes");
    }
    return norm;
}

namespace {

struct Schrodinger1DObj {
    struct Inner {
        std::mutex mutex;
        SchrodingerChernoff kernel;
        SchrodingerState state;
    };
    std::unique_ptr<Inner> inner;
    double dx = 0.0;
    std::size_t n = 0;

    std::size_t len() const { return n; }
    static ClassDef& class_def();
};

constexpr char kSchrodinger1DDoc[] =
    "Schrodinger1D(xmin, xmax, n, psi0, *, boundary=\"reflect\")\n--\n\n"
    "One-dimensional Schroedinger equation i psi_t = (-d^2/dx^2 + V(x)) psi on a uniform grid.\n\n"
    "Units: hbar = 1 and the kinetic operator is -d^2/dx^2 (no factor 1/2). Each step of size\n"
    "tau is the Strang composition P(tau/2) T(tau) P(tau/2) of the exact potential phase P and\n"
    "the Crank-Nicolson step T of the Dirichlet second difference (values beyond the end nodes\n"
    "are zero whatever the boundary policy), solved in real arithmetic on the pair (Re psi,\n"
    "Im psi). The step is second order in tau, preserves sum |psi_i|^2 and is exactly\n"
    "inverted by the step of -tau, so ``evolve`` accepts negative times.\n"
    "The constructor builds a free particle (V = 0); ``with_potential`` samples V.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "psi0 : numpy.ndarray[complex128]\n"
    "    Initial wave function at the n nodes (a float64 array is read with zero imaginary part).\n"
    "boundary : str, optional\n"
    "    \"reflect\" (default), \"zero\", \"periodic\" or \"linear\"; kept with the grid, it does not\n"
    "    change the evolution.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[GridMismatch]\" for a psi0 that is not a complex array, for xmin >= xmax, n < 4 or\n"
    "    len(psi0) != n; \"[NanInf]\" for non-finite psi0 or bounds; \"[OutOfDomain]\" for an\n"
    "    unknown boundary.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(-10.0, 10.0, 401)\n"
    ">>> psi0 = np.exp(-x**2 + 2j * x)\n"
    ">>> s = quorvane.Schrodinger1D(-10.0, 10.0, 401, psi0)\n"
    ">>> n0 = s.norm_squared()\n"
    ">>> s.evolve(0.5, n_steps=200)\n"
    ">>> print(abs(s.norm_squared() / n0 - 1.0) < 1e-12, s.values().dtype)\n"
    "True complex128\n";

constexpr char kFromPartsDoc[] =
    "from_parts(xmin, xmax, n, psi_re, psi_im, *, boundary=\"reflect\")\n--\n\n"
    "Build a free-particle evolver from the real and imaginary parts of psi0.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "psi_re, psi_im : numpy.ndarray[float64]\n    Real and imaginary parts at the n nodes.\n"
    "boundary : str, optional\n    \"reflect\" (default), \"zero\", \"periodic\" or \"linear\".\n\n"
    "Returns\n-------\nSchrodinger1D\n\n"
    "Raises\n------\n"
    "QuorvaneError\n    As the constructor; \"[GridMismatch] psi_re must be numpy.ndarray[float64]\"\n"
    "    (or psi_im) for a part that is not a float sequence.\n";

constexpr char kWithPotentialDoc[] =
    "with_potential(xmin, xmax, n, v, psi0, *, boundary=\"reflect\")\n--\n\n"
    "Build an evolver with the potential sampled at the n nodes.\n\n"
    "V between the nodes is the Catmull-Rom interpolant of the samples; the step reads it at\n"
    "the nodes, where it reproduces v.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "v : numpy.ndarray[float64]\n    Potential samples at the n nodes, all finite.\n"
    "psi0 : numpy.ndarray[complex128]\n    Initial wave function.\n"
    "boundary : str, optional\n    \"reflect\" (default), \"zero\", \"periodic\" or \"linear\".\n\n"
    "Returns\n-------\nSchrodinger1D\n\n"
    "Raises\n------\n"
    "QuorvaneError\n    As the constructor, and \"[GridMismatch] coefficient array length {} != n={}\",\n"
    "    \"[NanInf] coefficient array contains NaN or Inf\" for v.\n";

constexpr char kWithPotentialPartsDoc[] =
    "with_potential_parts(xmin, xmax, n, v, psi_re, psi_im, *, boundary=\"reflect\")\n--\n\n"
    "Build an evolver with a sampled potential from the two parts of psi0.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "v : numpy.ndarray[float64]\n    Potential samples at the n nodes.\n"
    "psi_re, psi_im : numpy.ndarray[float64]\n    Real and imaginary parts of psi0.\n"
    "boundary : str, optional\n    \"reflect\" (default), \"zero\", \"periodic\" or \"linear\".\n\n"
    "Returns\n-------\nSchrodinger1D\n\n"
    "Raises\n------\nQuorvaneError\n    As ``with_potential`` and ``from_parts``.\n";

constexpr char kEvolveDoc[] =
    "evolve($self, t, n_steps=200)\n--\n\n"
    "Advance psi by time t (negative t runs backwards) in n_steps steps of t/n_steps.\n\n"
    "The error is second order in the step. The interpreter lock is released while the\n"
    "steps run on copies; the state is replaced only when every step succeeded.\n\n"
    "Parameters\n----------\n"
    "t : float\n    Time to advance, finite (any sign).\n"
    "n_steps : int, optional\n    Number of steps, at least 1 (default 200).\n\n"
    "Returns\n-------\nNone\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite (negative t is\n"
    "    allowed for backward evolution)\", and kind CflViolated when |t/n_steps| exceeds\n"
    "    2e6 dx^2, where the real-pair elimination stops being unitary (the message names the\n"
    "    largest admissible step). The state is unchanged after a failure. A part of the result\n"
    "    beyond the double range (the steps keep the norm, not the largest part) is refused (kind\n"
    "    NanInf) naming the max|u0| of the parts of psi that keeps every part within it.\n";

constexpr char kValuesComplexDoc[] =
    "values($self)\n--\n\n"
    "Return psi as a new complex128 array of length n.\n";

constexpr char kValuesPartsDoc[] =
    "values_parts($self)\n--\n\n"
    "Return (psi_re, psi_im) as two new float64 arrays of length n.\n";

constexpr char kNormSquaredDoc[] =
    "norm_squared($self)\n--\n\n"
    "Return the discrete squared norm sum_i |psi_i|^2 * dx.\n";

using Inner = Schrodinger1DObj::Inner;

[[noreturn]] void raise_nonfinite_psi0(double v) {
    py_err_with_kind("NanInf", "psi0 contains NaN or Inf: " + fmt_shortest(v));
}

// The construction sequence of the four constructors: psi finite, the
// potential's samples, the grid, the kernel, then the two parts' lengths.
// The free particle's zero potential cannot fail, so it is allocated only
// once the parts have matched n: n alone is the caller's word and may be
// anything, while a sampled potential has matched n already.
Schrodinger1DObj build(double xmin, double xmax, std::size_t n, const BoundaryPolicy<double>& policy,
                       std::vector<double> re, std::vector<double> im, PyObject* v) {
    if (const double* bad = first_non_finite<double>(re)) raise_nonfinite_psi0(*bad);
    if (const double* bad = first_non_finite<double>(im)) raise_nonfinite_psi0(*bad);
    SharedCoeff potential = v ? extract_coeff_array(v, n, xmin, xmax) : SharedCoeff{};
    const Grid1D<double> grid = unwrap(Grid1D<double>::make(policy, InterpKind::septic(), xmin, xmax, n));
    std::optional<SchrodingerChernoff> kernel;
    if (potential) kernel = unwrap(SchrodingerChernoff::make(grid, [&](double x) { return (*potential)(x); }));
    GridFn<double> fre = unwrap(GridFn<double>::make(grid, std::move(re)));
    GridFn<double> fim = unwrap(GridFn<double>::make(grid, std::move(im)));
    if (!kernel) kernel = SchrodingerChernoff::free_particle(grid);
    std::unique_ptr<Inner> inner(new Inner{{}, std::move(*kernel), SchrodingerState{std::move(fre), std::move(fim)}});
    return Schrodinger1DObj{std::move(inner), grid.dx(), n};
}

struct GridArgs {
    double xmin, xmax;
    std::size_t n;
    BoundaryPolicy<double> policy;
};

GridArgs grid_args(const Args& a, std::size_t boundary_index) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(boundary_index, "reflect"));
    return {xmin, xmax, n, policy};
}

Schrodinger1DObj schrodinger1d_new(const Args& a) {
    const GridArgs g = grid_args(a, 4);
    ComplexParts psi = extract_complex_psi0(a.raw(3));
    return build(g.xmin, g.xmax, g.n, g.policy, std::move(psi.re), std::move(psi.im), nullptr);
}

Ref schrodinger1d_from_parts(const Args& a) {
    const GridArgs g = grid_args(a, 5);
    std::vector<double> re = extract_psi_part(a.raw(3), "psi_re");
    std::vector<double> im = extract_psi_part(a.raw(4), "psi_im");
    return new_object(build(g.xmin, g.xmax, g.n, g.policy, std::move(re), std::move(im), nullptr));
}

Ref schrodinger1d_with_potential(const Args& a) {
    const GridArgs g = grid_args(a, 5);
    ComplexParts psi = extract_complex_psi0(a.raw(4));
    return new_object(build(g.xmin, g.xmax, g.n, g.policy, std::move(psi.re), std::move(psi.im), a.raw(3)));
}

Ref schrodinger1d_with_potential_parts(const Args& a) {
    const GridArgs g = grid_args(a, 6);
    std::vector<double> re = extract_psi_part(a.raw(4), "psi_re");
    std::vector<double> im = extract_psi_part(a.raw(5), "psi_im");
    return new_object(build(g.xmin, g.xmax, g.n, g.policy, std::move(re), std::move(im), a.raw(3)));
}

Ref schrodinger1d_evolve(Schrodinger1DObj& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 200);
    if (n_steps == 0) py_err_with_kind("OutOfDomain", "n_steps must be >= 1");
    if (!std::isfinite(t)) {
        py_err_with_kind("OutOfDomain", "t must be finite (negative t is allowed for backward evolution)");
    }
    // Phase one (interpreter lock held): copies under the mutex.
    std::optional<SchrodingerChernoff> kernel;
    Grid1D<double> grid;
    std::vector<double> re, im;
    {
        std::lock_guard lock(self.inner->mutex);
        kernel.emplace(self.inner->kernel);
        grid = self.inner->state.re.grid;
        re = self.inner->state.re.values;
        im = self.inner->state.im.values;
    }
    const double tau = t / static_cast<double>(n_steps);
    const double tau_max = schrodinger_max_abs_tau(grid);
    if (!within_bound(std::fabs(tau), tau_max)) {
        raise_unstable_step(Schrodinger1DObj::class_def().name, std::fabs(t), std::fabs(tau), StepRange{0.0, tau_max},
                            grid,
                            "beyond |tau| / (2 dx^2) = 1e6 the real-pair elimination loses unitarity (the same "
                            "bound holds for backward steps)");
    }
    // Phase two (lock released): the steps on the copies; both parts come
    // back as one vector so that the shared finiteness check sees them all.
    // The steps are linear in psi: both parts run at their unit scale
    // (run_linear), where the products of psi with tau/dx^2 neither
    // overflow nor underflow.
    const std::size_t n = re.size();
    std::vector<double> psi = std::move(re);
    psi.insert(psi.end(), im.begin(), im.end());
    BeyondRange beyond;
    auto r = run_evolve([&] {
        auto out = run_linear(psi, beyond, [&](std::vector<double> v) -> Expected<std::vector<double>> {
            std::vector<double> v_im(v.begin() + static_cast<std::ptrdiff_t>(n), v.end());
            v.resize(n);
            auto end = schrodinger_evolve(*kernel, grid, std::move(v), std::move(v_im), t, n_steps);
            if (!end) return fail(end.error());
            std::vector<double> both = std::move(end->re.values);
            both.insert(both.end(), end->im.values.begin(), end->im.values.end());
            return both;
        });
        kernel.reset();
        return out;
    });
    // Phase three (lock re-taken): raise, or store under the mutex.
    refuse_beyond(Schrodinger1DObj::class_def().name, psi, beyond);
    std::vector<double> both = unwrap(std::move(r));
    std::lock_guard lock(self.inner->mutex);
    self.inner->state.re.values.assign(both.begin(), both.begin() + static_cast<std::ptrdiff_t>(n));
    self.inner->state.im.values.assign(both.begin() + static_cast<std::ptrdiff_t>(n), both.end());
    return none();
}

Ref schrodinger1d_values(const Schrodinger1DObj& self, const Args&) {
    std::lock_guard lock(self.inner->mutex);
    const std::vector<double>& re = self.inner->state.re.values;
    const std::vector<double>& im = self.inner->state.im.values;
    std::vector<double> interleaved(2 * re.size());
    for (std::size_t i = 0; i < re.size(); ++i) {
        interleaved[2 * i] = re[i];
        interleaved[2 * i + 1] = im[i];
    }
    return new_array_complex128(interleaved);
}

Ref schrodinger1d_values_parts(const Schrodinger1DObj& self, const Args&) {
    std::lock_guard lock(self.inner->mutex);
    return py_tuple({new_array_f64(self.inner->state.re.values), new_array_f64(self.inner->state.im.values)});
}

Ref schrodinger1d_norm_squared(const Schrodinger1DObj& self, const Args&) {
    std::lock_guard lock(self.inner->mutex);
    const std::vector<double>& re = self.inner->state.re.values;
    const std::vector<double>& im = self.inner->state.im.values;
    double s = 0.0;
    for (std::size_t i = 0; i < re.size(); ++i) s = (s + re[i] * re[i]) + im[i] * im[i];
    return py_float(norm_squared_in_range(s * self.dx, re, im, self.dx));
}

ClassDef& Schrodinger1DObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<Schrodinger1DObj>("Schrodinger1D", kSchrodinger1DDoc);
        d.tp_new = constructor<Schrodinger1DObj, kSchrodinger1DDoc, &schrodinger1d_new>();
        d.methods = {
            method<Schrodinger1DObj, kFromPartsDoc, &schrodinger1d_from_parts>(),
            method<Schrodinger1DObj, kWithPotentialDoc, &schrodinger1d_with_potential>(),
            method<Schrodinger1DObj, kWithPotentialPartsDoc, &schrodinger1d_with_potential_parts>(),
            method<Schrodinger1DObj, kEvolveDoc, &schrodinger1d_evolve>(),
            method<Schrodinger1DObj, kValuesComplexDoc, &schrodinger1d_values>(),
            method<Schrodinger1DObj, kValuesPartsDoc, &schrodinger1d_values_parts>(),
            method<Schrodinger1DObj, kNormSquaredDoc, &schrodinger1d_norm_squared>(),
        };
        return d;
    }();
    return def;
}

}  // namespace

PyTypeObject* schrodinger1d_type_object() { return type_object<Schrodinger1DObj>(); }

}  // namespace quorvane::py
