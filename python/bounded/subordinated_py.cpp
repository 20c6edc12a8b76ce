// Python class Subordinated1D: fractional and other subordinated heat
// semigroups exp(-t phi(-d^2)).
#include <string>
#include <vector>

#include "core/bounded/subordinated.hpp"
#include "core/foundation/numeric.hpp"
#include "python/evolver.hpp"
#include "python/data_scale.hpp"

namespace quorvane::py {
namespace {

using Subordinated1DObj = GridStepEvolverObj<SubordinatedChernoff>;

constexpr char kName[] = "Subordinated1D";

constexpr char kSubordinatedDoc[] =
    "Subordinated1D(xmin, xmax, n, u0, *, subordinator=\"stable\", alpha=0.5, c=1.0, n_nodes=32, "
    "boundary=\"reflect\")\n--\n\n"
    "Subordinated heat evolution exp(-t phi(-d^2/dx^2)) on a uniform grid, exact on the grid's operator.\n\n"
    "phi is the Laplace exponent of the subordinator: \"stable\" lambda^alpha (fractional heat),\n"
    "\"gamma\" log(1 + lambda/c), \"inverse_gaussian\" sqrt(c^2 + 2 lambda) - c. d^2/dx^2 is the\n"
    "grid's own second derivative L, the degree-7 difference [2, -27, 270, -490, 270, -27, 2]/(180 dx^2)\n"
    "read beyond the ends as the boundary gives it (\"reflect\" mirrors, \"periodic\" wraps with period\n"
    "n dx, \"zero\" reads 0, \"linear\" the end's three-node slope line); its spectrum is real and >= 0.\n"
    "evolve multiplies each eigenvector of -L (eigenvalue mu) by exp(-t phi(mu)): exact to rounding\n"
    "for every t, alpha, c and n_steps, in any units, with no cap on t.\n\n"
    "- \"reflect\" and \"periodic\": the eigenvectors are cosines and Fourier modes, taken by an FFT,\n"
    "  O(n log n) a call. Constants are kept.\n"
    "- \"zero\" and \"linear\": a contour integral of the resolvent of L around its spectrum (some\n"
    "  60-250 banded solves of O(n) each a call, by n and the law; the object is built with one more\n"
    "  such set, which checks the contour). \"linear\" ends keep lines: the constants and lines are\n"
    "  L's kernel, and the flow leaves them as they are.\n\n"
    "The steps of an exact flow compose to the flow over their sum, so a call costs the same at any\n"
    "n_steps. The flow's max-norm can exceed 1 slightly on rough data, as the degree-7 operator's own\n"
    "heat flow does (see the README).\n\n"
    "Parameters\n----------\n"
    "subordinator : str\n    \"stable\", \"gamma\" or \"inverse_gaussian\" (case-sensitive).\n"
    "alpha : float\n    Stable index, 0 < alpha < 1 (stable only).\n"
    "c : float\n    Rate parameter, finite and > 0 (gamma and inverse Gaussian only).\n"
    "n_nodes : int\n    1 to 32, checked and kept; the exact flow takes no quadrature rule, so it does\n"
    "    not change the result.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    the subordinator, u0, grid and n_nodes refusals (kinds Unsupported, NanInf, GridMismatch,\n"
    "    OutOfDomain).\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 41)\n"
    ">>> s = quorvane.Subordinated1D(0.0, 1.0, 41, np.cos(np.pi * x), subordinator=\"stable\", alpha=0.5)\n"
    ">>> s.evolve(0.5, n_steps=50)        # fractional heat: the mode decays like exp(-t pi)\n"
    ">>> print(round(float(s.values()[0] / np.exp(-0.5 * np.pi)), 4))\n"
    "1.0\n";

constexpr char kOrderDoc[] = "order($self)\n--\n\nReturn the temporal order: 1.\n";
constexpr char kEvolveDoc[] =
    "evolve($self, t, n_steps=100)\n--\n\n"
    "Advance by time t; returns None.\n\n"
    "The flow is exact, so n_steps steps of t/n_steps give the flow over t, which is applied once:\n"
    "n_steps is checked and kept, and the cost does not depend on it.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\".\n"
    QUORVANE_BEYOND_RANGE_DOC;

Subordinated1DObj subordinated_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const std::string name = a.str_or(4, "stable");
    const double alpha = a.f64_or(5, 0.5);
    const double c = a.f64_or(6, 1.0);
    const std::size_t n_nodes = a.usize_or(7, 32);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(8, "reflect"));
    std::vector<double> u0 = extract_u0_vec(a.raw(3));
    Subordinator law;
    if (name == "stable") law = unwrap(Subordinator::stable(alpha));
    else if (name == "gamma") law = unwrap(Subordinator::gamma(c));
    else if (name == "inverse_gaussian") law = unwrap(Subordinator::inverse_gaussian(c));
    else py_err_with_kind("Unsupported", "Unknown subordinator '" + name + "'. Must be 'stable', 'gamma', or 'inverse_gaussian'.");
    if (const double* bad = first_non_finite<double>(u0)) unwrap(domain_error("u0 contains NaN or Inf", *bad));
    const Grid1D<double> grid = unwrap(Grid1D<double>::make(policy, InterpKind::septic(), xmin, xmax, n));
    if (n_nodes < 1 || n_nodes > 32)
        unwrap(domain_error("SubordinatedChernoff::with_n_nodes: n_nodes must be in [1, 32]", static_cast<double>(n_nodes)));
    if (u0.size() != n) unwrap(domain_error("values.len() must equal grid.n", static_cast<double>(u0.size())));
    SubordinatedChernoff kernel = compute([&] { return SubordinatedChernoff::make(grid, law, n_nodes); });
    auto semigroup = unwrap(ChernoffSemigroup<SubordinatedChernoff>::make(std::move(kernel), 100));
    return {std::move(semigroup), unwrap(GridFn<double>::make(grid, std::move(u0)))};
}

Ref subordinated_order(const Subordinated1DObj&, const Args&) { return py_int(1); }

Ref subordinated_evolve(Subordinated1DObj& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 100);
    check_steps_and_time(n_steps, t);
    const SubordinatedChernoff& kernel = self.semigroup.kernel;
    BeyondRange beyond;
    auto r = run_evolve([&] {
        return run_linear(self.state.values, beyond, [&](std::vector<double> v) { return kernel.evolve(std::move(v), t); });
    });
    refuse_beyond(kName, self.state.values, beyond);
    self.state.values = unwrap(std::move(r));
    self.semigroup.n = n_steps;
    return none();
}

}  // namespace

template <>
ClassDef& Subordinated1DObj::class_def() {
    static ClassDef def = [] {
        using K = SubordinatedChernoff;
        ClassDef d = class_def_base<Subordinated1DObj>(kName, kSubordinatedDoc);
        d.tp_new = constructor<Subordinated1DObj, kSubordinatedDoc, &subordinated_new>();
        d.methods = {method<Subordinated1DObj, kOrderDoc, &subordinated_order>(),
                     method<Subordinated1DObj, kEvolveDoc, &subordinated_evolve>(),
                     method<Subordinated1DObj, kValuesDoc, &grid_step_values<K>>()};
        return d;
    }();
    return def;
}

PyTypeObject* subordinated1d_type_object() { return type_object<Subordinated1DObj>(); }

}  // namespace quorvane::py
