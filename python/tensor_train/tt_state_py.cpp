// Python class TtState: a tensor-train state built from separable slices.
#include "python/tensor_train/tt_state_py.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/foundation/numeric.hpp"
#include "python/array.hpp"
#include "python/evolver.hpp"
#include "python/step_counts.hpp"
#include "core/foundation/step_count.hpp"
#include "core/tensor_train/tt_chernoff.hpp"

namespace quorvane::py {

std::vector<std::vector<double>> extract_axis_slices(PyObject* list, const std::string& ctx) {
    const Py_ssize_t len = PyList_Size(list);
    if (len < 0) throw_python_error();
    if (len == 0) py_err_with_kind("GridMismatch", ctx + ": slices list is empty");
    std::vector<std::vector<double>> out;
    for (Py_ssize_t i = 0; i < len; ++i) {
        const std::string idx = std::to_string(i);
        // The list may shrink while an item's __float__ runs; a vanished
        // item is treated as not convertible.
        PyObject* item = PyList_GetItem(list, i);
        std::optional<std::vector<double>> v;
        if (item) v = try_float_vector(Ref::borrowed(item).get());
        else PyErr_Clear();
        if (!v) py_err_with_kind("GridMismatch", ctx + ": axis " + idx + " is not a float64 array");
        if (v->empty()) py_err_with_kind("GridMismatch", ctx + ": axis " + idx + " is empty");
        for (double x : *v) {
            if (!std::isfinite(x)) py_err_with_kind("NanInf", ctx + ": NaN/Inf in axis " + idx);
        }
        out.push_back(std::move(*v));
    }
    return out;
}

std::vector<std::pair<double, double>> check_separable_args(const std::string& ctx, const std::vector<double>& a,
                                                            const std::vector<double>& b, double c, double eps_round,
                                                            const std::vector<double>& dom_min,
                                                            const std::vector<double>& dom_max) {
    if (a.empty()) py_err_with_kind("GridMismatch", ctx + ": axis list is empty");
    if (!std::isfinite(c) || !std::isfinite(eps_round)) py_err_with_kind("NanInf", ctx + ": c or eps_round is non-finite");
    for (std::size_t j = 0; j < a.size(); ++j) {
        if (!finite_nonneg(a[j])) py_err_with_kind("NanInf", ctx + ": a[" + std::to_string(j) + "] must be finite >= 0");
    }
    for (std::size_t j = 0; j < b.size(); ++j) {
        if (!std::isfinite(b[j])) py_err_with_kind("NanInf", ctx + ": b[" + std::to_string(j) + "] is non-finite");
    }
    std::vector<std::pair<double, double>> pairs;
    for (std::size_t i = 0; i < std::min(dom_min.size(), dom_max.size()); ++i) {
        const double lo = dom_min[i], hi = dom_max[i];
        if (!(std::isfinite(lo) && std::isfinite(hi) && lo < hi)) {
            py_err_with_kind("NanInf", ctx + ": domain[" + std::to_string(i) + "] invalid");
        }
        pairs.emplace_back(lo, hi);
    }
    return pairs;
}

void check_axis_counts(const std::string& ctx, std::size_t d, std::size_t n_b, std::size_t n_pairs) {
    if (n_b != d) {
        py_err_with_kind("GridMismatch", ctx + ": b has " + std::to_string(n_b) + " entries, expected one per axis (d = " +
                                             std::to_string(d) + ")");
    }
    if (n_pairs != d) {
        py_err_with_kind("GridMismatch", ctx + ": dom_min and dom_max give " + std::to_string(n_pairs) +
                                             " domain pairs, expected one per axis (d = " + std::to_string(d) + ")");
    }
}

void check_tt_evolve(const std::string& ctx, std::size_t n_steps, double t_final, std::size_t d, std::size_t state_d) {
    if (n_steps == 0) py_err_with_kind("OutOfDomain", ctx + ": n_steps must be >= 1");
    if (!finite_nonneg(t_final)) py_err_with_kind("OutOfDomain", ctx + ": t_final must be finite >= 0");
    if (d != state_d) py_err_with_kind("OutOfDomain", ctx + ": evolver ndim != state ndim");
}

namespace {

// The longest step within (0, tau) that `passes` admits (0 where none).
double longest_step(double tau, FunctionRef<bool(double)> passes) {
    if (!(tau > 0.0) || !passes(std::numeric_limits<double>::denorm_min())) return 0.0;
    return greatest_admitted_double(std::numeric_limits<double>::denorm_min(), tau, passes);
}

// The counts that pass, or where every count short enough is beyond the
// 64-bit range, that no call that finishes serves t_final.
std::string tt_count_advice(double t_final, double tau, FunctionRef<bool(double)> passes) {
    const StepCounts counts = admitted_counts(t_final, kU64Counts, passes);
    if (counts.outcome != StepCounts::Outcome::TooLong) {
        return count_advice(counts, "n_steps", kU64Counts, {"t_final", t_final});
    }
    const double longest = longest_step(tau, passes);
    if (!(longest > 0.0)) return "no step of any length passes: no call serves t_final > 0";
    return "steps of at most tau = " + exact_time(longest) + " pass, more than " + std::to_string(kU64Counts) +
           " of them for t_final = " + exact_time(t_final) +
           ": no call that finishes serves it; several calls of shorter t_final do";
}

}  // namespace

void check_tt_steps(const std::string& ctx, const std::vector<double>& a, const std::vector<double>& b,
                    const std::vector<std::pair<double, double>>& domain, double c, double t_final,
                    std::size_t n_steps, const TtState& state) {
    const double tau = t_final / static_cast<double>(n_steps);
    const std::size_t d = a.size();
    auto period = [&](std::size_t j) {
        const std::size_t n = state.cores[j].n;
        return static_cast<double>(n) * tt_axis_spacing(domain[j].first, domain[j].second, n);
    };
    auto drift_finite = [&](double step, std::size_t j) { return std::isfinite(step * b[j]); };
    // The spread 2 sqrt(tau a) a step reads as it computes it.
    auto spread_finite = [&](double step, std::size_t j) {
        return std::isfinite(TtChernoff::axis_shifts(step, a[j], 0.0, period(j)).second);
    };
    auto steps_pass = [&](double step) {
        for (std::size_t j = 0; j < d; ++j) {
            if (!drift_finite(step, j) || !spread_finite(step, j)) return false;
        }
        return reaction_factor_admitted(step * c + 1.0);
    };
    // Each refusal names a step and counts that pass every rule; where no
    // count of the range is short enough, a call of so many steps could
    // never finish, and the refusal says so instead of naming it.
    if (!steps_pass(tau)) {
        const bool finishes = admitted_counts(t_final, kU64Counts, steps_pass).outcome != StepCounts::Outcome::TooLong;
        if (finishes) {
            check_reaction_factor(ctx, c, t_final, n_steps, [&](double step) {
                for (std::size_t j = 0; j < d; ++j) {
                    if (!drift_finite(step, j) || !spread_finite(step, j)) return false;
                }
                return true;
            });
        }
        std::string why;
        if (!reaction_factor_admitted(tau * c + 1.0)) {
            why = "reaction factor 1 + tau*c = " + fmt_shortest_compact(tau * c + 1.0) +
                  " < 0 flips the sign every step";
        }
        for (std::size_t j = 0; j < d && why.empty(); ++j) {
            const std::string axis = std::to_string(j);
            if (!drift_finite(tau, j)) {
                why = "the drift tau b[" + axis + "] of a step of tau = " + fmt_exp3(tau) +
                      " lies beyond the double range (b[" + axis + "] = " + fmt_exp3(b[j]) + ")";
            } else if (!spread_finite(tau, j)) {
                why = "the diffusion spread 2 sqrt(tau a[" + axis + "]) of a step of tau = " + fmt_exp3(tau) +
                      " lies beyond the double range (a[" + axis + "] = " + fmt_exp3(a[j]) + ")";
            }
        }
        py_err_with_kind("CflViolated", ctx + ": " + why + "; " + tt_count_advice(t_final, tau, steps_pass));
    }
}

namespace {

constexpr char kTtStateDoc[] =
    "TtState(slices)\n--\n\n"
    "Tensor-train state built from rank-1 separable per-axis slices; storage O(d·n·r²).\n\n"
    "The value at the multi-index (i_1, ..., i_d) is the matrix product\n"
    "G_1[i_1] G_2[i_2] ... G_d[i_d] of the cores; a new state is the separable function\n"
    "slices[0][i_1] * ... * slices[d-1][i_d] (all ranks 1). The evolvers change the state in\n"
    "place and round its ranks after every step.\n\n"
    "Parameters\n----------\n"
    "slices : list of numpy.ndarray[float64]\n"
    "    One 1-D float64 array (or sequence of floats) per axis, each of at least one element.\n\n"
    "Raises\n------\n"
    "TypeError\n    If slices is not a list.\n"
    "QuorvaneError\n"
    "    kind GridMismatch for an empty list or an empty slice (or one that is not a float\n"
    "    sequence), kind NanInf for a slice holding NaN or Inf.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> s = quorvane.TtState([np.ones(8), np.linspace(0.0, 1.0, 8), np.ones(8)])\n"
    ">>> print(s.ndim(), s.n_j(1), s.peak_rank(), s.storage_size())\n"
    "3 8 1 24\n";

constexpr char kNdimDoc[] = "ndim($self)\n--\n\nNumber of modes (dimensions d).\n";

constexpr char kNjDoc[] =
    "n_j($self, j)\n--\n\n"
    "Mode size `n_j` for axis `j`.\n\n"
    "Raises `QuorvaneError(kind='OutOfDomain')` if `j >= ndim()`.\n";

constexpr char kPeakRankDoc[] = "peak_rank($self)\n--\n\nPeak bond rank (max over internal bonds).\n";

constexpr char kStorageSizeDoc[] = "storage_size($self)\n--\n\nTotal number of stored scalars (working-set size).\n";

constexpr char kInnerSeparableDoc[] =
    "inner_separable($self, functionals)\n--\n\n"
    "Separable inner product `⟨f, u⟩` for a list of per-axis numpy vectors.\n\n"
    "Computes the sum over all multi-indices of f_1[i_1] * ... * f_d[i_d] * u(i_1, ..., i_d)\n"
    "by contracting the train from left to right.\n\n"
    "Parameters\n----------\n"
    "functionals : list of numpy.ndarray[float64]\n"
    "    One vector per axis, of that axis's mode size.\n\n"
    "Returns\n-------\nfloat\n    The scalar projection value.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    kind GridMismatch for an empty list, an empty or non-float element, a number of\n"
    "    functionals other than ndim() or a functional whose length differs from its axis's\n"
    "    mode size; kind NanInf for a functional holding NaN or Inf, or for an inner product\n"
    "    beyond the float range (partial products beyond it are carried scaled).\n";

TtStateObj tt_state_new(const Args& a) {
    return TtStateObj{TtState::from_slices(extract_axis_slices(a.list(0), "TtState"))};
}

Ref tt_state_ndim(const TtStateObj& self, const Args&) { return py_int(self.state.ndim()); }

Ref tt_state_n_j(const TtStateObj& self, const Args& a) {
    const std::uint64_t j = a.u64(0);
    if (j >= self.state.ndim()) py_err_with_kind("OutOfDomain", "TtState.n_j: axis out of range");
    return py_int(self.state.cores[j].n);
}

Ref tt_state_peak_rank(const TtStateObj& self, const Args&) { return py_int(self.state.peak_rank()); }

Ref tt_state_storage_size(const TtStateObj& self, const Args&) { return py_int(self.state.storage_size()); }

Ref tt_state_inner_separable(const TtStateObj& self, const Args& a) {
    const std::vector<std::vector<double>> f = extract_axis_slices(a.list(0), "TtState.inner_separable");
    if (f.size() != self.state.ndim()) {
        py_err_with_kind("GridMismatch", "TtState.inner_separable: functionals length != ndim");
    }
    for (std::size_t j = 0; j < f.size(); ++j) {
        if (f[j].size() != self.state.cores[j].n) {
            py_err_with_kind("GridMismatch", "TtState.inner_separable: axis " + std::to_string(j) + " length mismatch");
        }
    }
    const Expected<double> value = self.state.inner_separable(f);
    if (!value) py_err_with_kind("NanInf", std::string("TtState.") + kTtInnerOverflow);
    return py_float(*value);
}

}  // namespace

ClassDef& TtStateObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<TtStateObj>("TtState", kTtStateDoc);
        d.tp_new = constructor<TtStateObj, kTtStateDoc, &tt_state_new>();
        d.methods = {
            method<TtStateObj, kNdimDoc, &tt_state_ndim>(),
            method<TtStateObj, kNjDoc, &tt_state_n_j>(),
            method<TtStateObj, kPeakRankDoc, &tt_state_peak_rank>(),
            method<TtStateObj, kStorageSizeDoc, &tt_state_storage_size>(),
            method<TtStateObj, kInnerSeparableDoc, &tt_state_inner_separable>(),
        };
        return d;
    }();
    return def;
}

PyTypeObject* tt_state_type_object() { return type_object<TtStateObj>(); }


}  // namespace quorvane::py
