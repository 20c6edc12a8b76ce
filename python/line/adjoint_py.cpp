// Python class Adjoint: the adjoint semigroup of one of the five 1-D kernels.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/line/adjoint.hpp"
#include "core/foundation/numeric.hpp"
#include "python/array.hpp"
#include "python/coeff.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"

namespace quorvane::py {
namespace {

struct AdjointObj {
    AdjointEvolver e;

    std::size_t len() const { return e.state.values.size(); }
    static ClassDef& class_def();
};

constexpr char kAdjointDoc[] =
    "Adjoint(xmin, xmax, n, u0, *, kernel=\"heat2\", self_adjoint=False, boundary=\"reflect\")\n--\n\n"
    "Adjoint (dual) evolution exp(t A*) for one of five 1-D Chernoff kernels.\n\n"
    "kernel selects the generator A and its step:\n"
    "  \"heat2\", \"heat4\", \"heat6\": A = d^2/dx^2 (unit diffusion; second-order steps);\n"
    "  \"drift\": A = 0.5 d/dx (transport along the characteristic, exact in time for this\n"
    "  constant drift: what remains is the interpolation's);\n"
    "  \"shift\": A = 0.5 d^2/dx^2 (the first-order shift step).\n"
    "The diffusion generators are self-adjoint, so their adjoint step is the ordinary step.\n"
    "For \"drift\" the adjoint A* = -0.5 d/dx transports the other way: its step follows the\n"
    "reversed characteristic, unless self_adjoint=True declares the drift self-adjoint and\n"
    "the forward step is used. Either way the drift's reads are plain degree-7 reads, so on a\n"
    "periodic grid the reversed step is the transpose of the forward one, and each step's\n"
    "values are clipped to the range of the read of u0, which the transport keeps (see\n"
    "Shift1D).\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"
    "n : int\n    Number of grid nodes, at least 4.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    Initial values at the n nodes, all finite.\n"
    "kernel : str, optional\n"
    "    \"heat2\" (default), \"heat4\", \"heat6\", \"drift\" or \"shift\" (case-sensitive).\n"
    "self_adjoint : bool, optional\n    For \"drift\" only: step forward instead (default False).\n"
    QUORVANE_BOUNDARY_PARAM_DOC "\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[GridMismatch] u0 must be numpy.ndarray[float64]\" if u0 is not a float sequence;\n"
    "    \"[NanInf]\" for non-finite bounds or u0; \"[GridMismatch]\" for xmin >= xmax, n < 4 or\n"
    "    len(u0) != n; \"[OutOfDomain]\" for an unknown boundary or kernel.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(-10.0, 10.0, 201)\n"
    ">>> a = quorvane.Adjoint(-10.0, 10.0, 201, np.exp(-x**2), kernel=\"drift\")\n"
    ">>> out = a.evolve(2.0, n_steps=10)   # the adjoint of u_t = 0.5 u' moves the bump to the right\n"
    ">>> print(round(float(x[out.argmax()]), 3), a.is_self_adjoint())\n"
    "1.0 False\n";

constexpr char kEvolveDoc[] =
    "evolve($self, t, n_steps=100)\n--\n\n"
    "Advance the state by the adjoint evolution over time t and return the new values.\n\n"
    "Runs n_steps adjoint steps of size t/n_steps with the interpreter lock released; the\n"
    "object keeps the result only when the whole evolution succeeded.\n\n"
    QUORVANE_STEP_SIZE_DOC
    "Parameters\n----------\n"
    "t : float\n    Time to advance, finite and > 0.\n"
    "n_steps : int, optional\n    Number of steps, at least 1 (default 100).\n\n"
    "Returns\n-------\nnumpy.ndarray[float64]\n    A new array of the n values after time t.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and > 0\", or\n"
    "    the error of a step;\n"
    QUORVANE_FAR_READS_COUNT_DOC
    "    The values are unchanged after a failure.\n"
    QUORVANE_BEYOND_RANGE_DOC;

constexpr char kOrderDoc[] =
    "order($self)\n--\n\n"
    "Return the temporal order of the kernel's step.\n\n"
    "Returns\n-------\nint\n    1 for \"shift\", 2 for \"heat2\", \"heat4\", \"heat6\" and \"drift\".\n";

constexpr char kIsSelfAdjointDoc[] =
    "is_self_adjoint($self)\n--\n\n"
    "Return whether the forward step serves as the adjoint step.\n\n"
    "Returns\n-------\nbool\n"
    "    True for the heat and shift kernels; for \"drift\" the self_adjoint given.\n";

AdjointObj adjoint_new(const Args& a) {
    const double xmin = a.f64(0);
    const double xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const std::string kernel = a.str_or(4, "heat2");
    const bool self_adjoint = a.flag_or(5, false);
    const std::string boundary = a.str_or(6, "reflect");
    const BoundaryPolicy<double> policy = parse_boundary_policy(boundary);
    auto u0 = try_float_vector(a.raw(3));
    if (!u0) py_err_with_kind("GridMismatch", "u0 must be numpy.ndarray[float64]");
    GridFn<double> state = unwrap(make_checked_state(policy, xmin, xmax, n, *u0));
    const auto name = parse_kernel_name(kernel);
    if (!name) {
        py_err_with_kind("OutOfDomain", "unknown kernel '" + kernel + "'; expected " + kKernelNameList);
    }
    return AdjointObj{compute([&] { return AdjointEvolver::build(*name, self_adjoint, std::move(state)); })};
}

Ref adjoint_evolve(AdjointObj& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 100);
    if (n_steps == 0) py_err_with_kind("OutOfDomain", "n_steps must be >= 1");
    if (!(std::isfinite(t) && t > 0.0)) py_err_with_kind("OutOfDomain", "t must be finite and > 0");
    const std::vector<double>& u0 = self.e.state.values;
    const AdjointEvolver& e = self.e;
    refuse_reads_beyond_grid("Adjoint", {StepCall::Form::Count, t, t / static_cast<double>(n_steps)},
                             spacing_text(e.state.grid), [&](double step) { return e.reads_located(step); });
    // The steps are linear, and the drift's range moves with the values:
    // both are stepped at the values' unit scale (run_linear).
    std::optional<FlowRange> range;
    BeyondRange beyond;
    auto r = run_evolve([&] {
        return run_linear(u0, beyond, [&](std::vector<double> v, int k) {
            range = e.range ? std::optional(LargeDataScale::scaled(*e.range, -k)) : std::nullopt;
            auto out = e.evolve(std::move(v), t, n_steps, range ? &*range : nullptr);
            if (range) range = LargeDataScale::scaled(*range, k);
            return out;
        });
    });
    refuse_beyond("Adjoint", u0, beyond);
    self.e.state.values = unwrap(std::move(r));
    self.e.range = range;
    return new_array_f64(self.e.state.values);
}

Ref adjoint_order(const AdjointObj& self, const Args&) { return py_int(static_cast<std::uint64_t>(self.e.order())); }
Ref adjoint_is_self_adjoint(const AdjointObj& self, const Args&) { return py_bool(self.e.self_adjoint); }
Ref adjoint_values(const AdjointObj& self, const Args&) { return new_array_f64(self.e.state.values); }

ClassDef& AdjointObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<AdjointObj>("Adjoint", kAdjointDoc);
        d.tp_new = constructor<AdjointObj, kAdjointDoc, &adjoint_new>();
        d.methods = {
            method<AdjointObj, kEvolveDoc, &adjoint_evolve>(),
            method<AdjointObj, kOrderDoc, &adjoint_order>(),
            method<AdjointObj, kIsSelfAdjointDoc, &adjoint_is_self_adjoint>(),
            method<AdjointObj, kValuesDoc, &adjoint_values>(),
        };
        return d;
    }();
    return def;
}

}  // namespace

PyTypeObject* adjoint_type_object() { return type_object<AdjointObj>(); }

}  // namespace quorvane::py
