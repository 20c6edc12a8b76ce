// Python class TtEvolver: separable Chernoff steps on a TtState.
#include <string>
#include <utility>
#include <vector>

#include "core/tensor_train/tt_chernoff.hpp"
#include "python/array.hpp"
#include "python/frame.hpp"
#include "python/tensor_train/tt_state_py.hpp"

namespace quorvane::py {
namespace {

struct TtEvolverObj {
    TtChernoff chernoff;
    static ClassDef& class_def();
};

constexpr char kTtEvolverDoc[] =
    "TtEvolver(a, b, c, dom_min, dom_max, eps_round)\n--\n\n"
    "Tensor-train Chernoff evolver for separable diagonal-A diffusion.\n\n"
    "Solves du/dt = sum_j (a_j d^2u/dx_j^2 + b_j du/dx_j) + c u on a box, every axis periodic\n"
    "on the state's nodes (n_j nodes spaced h_j = (hi_j - lo_j)/(n_j - 1), period n_j*h_j).\n"
    "One step of size tau applies along every axis, to that axis's core only,\n"
    "1/2 u(x + 2 tau b_j) + 1/4 u(x + 2 sqrt(tau a_j)) + 1/4 u(x - 2 sqrt(tau a_j)) (off-grid\n"
    "values by cubic Lagrange interpolation), multiplies by 1 + tau c and rounds the train.\n"
    "The steps keep the ranks; rounding only lowers them. First order in time.\n\n"
    "Parameters\n----------\n"
    "a : sequence of float\n    Per-axis diffusion coefficients (all >= 0, finite).\n"
    "b : sequence of float\n    Per-axis drift coefficients (finite); b > 0 moves the profile left.\n"
    "c : float\n    Scalar reaction coefficient (finite).\n"
    "dom_min, dom_max : sequence of float\n    Per-axis bounds, lo < hi, both finite.\n"
    "eps_round : float\n    TT-rounding tolerance (relative; finite, of either sign).\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    kind GridMismatch for an empty axis list, or b or the bounds not giving one entry\n"
    "    per axis; kind NanInf for a non-finite or negative a[j] and a non-finite b[j], c,\n"
    "    eps_round or domain.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.arange(32) * (2 * np.pi / 32)     # period 2 pi: the last node is x[-1], not 2 pi\n"
    ">>> s = quorvane.TtState([np.cos(x), np.ones(32)])\n"
    ">>> ev = quorvane.TtEvolver([1.0, 1.0], [0.0, 0.0], 0.0, [0.0, 0.0], [x[-1], x[-1]], 1e-10)\n"
    ">>> ev.evolve(s, 0.1, 20)\n"
    ">>> print(s.ndim(), s.peak_rank())\n"
    "2 1\n";

TtEvolverObj tt_evolver_new(const Args& args) {
    std::vector<double> a = float_vec_arg(args, 0);
    std::vector<double> b = float_vec_arg(args, 1);
    const double c = args.f64(2);
    const std::vector<double> dom_min = float_vec_arg(args, 3);
    const std::vector<double> dom_max = float_vec_arg(args, 4);
    const double eps_round = args.f64(5);
    const std::string ctx = "TtEvolver";
    std::vector<std::pair<double, double>> domain = check_separable_args(ctx, a, b, c, eps_round, dom_min, dom_max);
    check_axis_counts(ctx, a.size(), b.size(), domain.size());
    return TtEvolverObj{TtChernoff{std::move(a), std::move(b), std::move(domain), c, eps_round}};
}

Ref tt_evolver_ndim(const TtEvolverObj& self, const Args&) { return py_int(self.chernoff.a.size()); }

Ref tt_evolver_evolve(const TtEvolverObj& self, const Args& a) {
    return evolve_tt_with(self.chernoff, "TtEvolver.evolve", a);
}

}  // namespace

ClassDef& TtEvolverObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<TtEvolverObj>("TtEvolver", kTtEvolverDoc);
        d.tp_new = constructor<TtEvolverObj, kTtEvolverDoc, &tt_evolver_new>();
        d.methods = {
            method<TtEvolverObj, kTtEvolverNdimDoc, &tt_evolver_ndim>(),
            method<TtEvolverObj, kTtChernoffEvolveDoc, &tt_evolver_evolve>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* tt_evolver_type_object() { return type_object<TtEvolverObj>(); }

}  // namespace quorvane::py
