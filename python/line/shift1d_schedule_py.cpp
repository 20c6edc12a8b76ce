// Shift1D's piecewise-constant schedules: the time schedule of a, and the
// coefficient schedule of a, b and c with its parsers.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/foundation/numeric.hpp"
#include "python/array.hpp"
#include "python/coeff.hpp"
#include "python/evolver.hpp"
#include "python/line/shift1d_py.hpp"

namespace quorvane::py {

extern const char kShiftTimeScheduleDoc[] =
    "evolve_with_time_schedule($self, t_final, n_steps_per_segment, a_schedule, *, b=0.0, c=0.0)\n--\n\n"
    "Advance by t_final with a diffusion coefficient that is constant on each of S segments.\n\n"
    "[0, t_final] is split into S = len(a_schedule) equal segments; segment k runs\n"
    "n_steps_per_segment shift steps of size (t_final/S)/n_steps_per_segment of\n"
    "du/dt = a_k u'' + b u' + c u. The object's own coefficients are not changed, so a\n"
    "later ``evolve`` uses them again. First order in time.\n\n"
    "Parameters\n----------\n"
    "t_final : float\n    Time to advance, finite and >= 0.\n"
    "n_steps_per_segment : int\n    Steps per segment, at least 1.\n"
    "a_schedule : numpy.ndarray[float64] or sequence of float\n"
    "    One constant diffusion coefficient per segment (non-empty).\n"
    "b, c : float, optional\n    Constant drift and reaction for every segment (default 0.0).\n\n"
    "Returns\n-------\nNone\n\n"
    "Raises\n------\n"
    "TypeError\n    If a_schedule is not a float sequence.\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\",\n"
    "    \"[OutOfDomain] a_schedule must be non-empty\", kind CflViolated when the reaction\n"
    "    factor 1 + tau*c is negative (the message names the n_steps_per_segment that\n"
    "    passes), or the error of a step (a negative or non-finite a_k, a non-finite b or\n"
    "    c). The values are unchanged after a failure.\n";

extern const char kShiftCoefficientScheduleDoc[] =
    "evolve_with_coefficient_schedule($self, t_final, n_steps_per_segment, a_schedule, *, b_schedule=None, "
    "c_schedule=None)\n--\n\n"
    "Advance by t_final with coefficients a, b, c that change from segment to segment.\n\n"
    "[0, t_final] is split into S equal segments, S the number of entries of a_schedule;\n"
    "segment k runs n_steps_per_segment shift steps of size (t_final/S)/n_steps_per_segment\n"
    "of du/dt = a_k(x) u'' + b_k(x) u' + c_k(x) u. Each entry is a float (constant in\n"
    "space) or n samples at the grid nodes (Catmull-Rom interpolated). On success the\n"
    "object keeps the final segment's coefficients, so a later ``evolve`` continues with\n"
    "them. First order in time.\n\n"
    "Parameters\n----------\n"
    "t_final : float\n    Time to advance, finite and >= 0.\n"
    "n_steps_per_segment : int\n    Steps per segment, at least 1.\n"
    "a_schedule : iterable\n"
    "    One entry per segment: a float or a float64 array of length n (a 2-D array of\n"
    "    shape [S, n] gives its rows). It is iterated twice, so pass a sequence.\n"
    "b_schedule, c_schedule : iterable, optional\n"
    "    S entries each; absent or None means 0.0 on every segment.\n\n"
    "Returns\n-------\nNone\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\",\n"
    "    \"[OutOfDomain] a_schedule must be non-empty\", \"[GridMismatch] {name} must be a\n"
    "    sequence\", \"[GridMismatch] {name} has {} segments, expected {} (must match\n"
    "    a_schedule)\", \"[GridMismatch] {name} entries must be float or\n"
    "    numpy.ndarray[float64]\", \"[GridMismatch] {name} array entry has length {} != n={}\",\n"
    "    \"[NanInf] {name} entry is NaN or Inf\", \"[NanInf] {name} entry contains NaN or Inf\",\n"
    "    kind CflViolated when the reaction factor 1 + tau*c of some segment is negative at\n"
    "    some node (the message names the n_steps_per_segment that passes), or the error of\n"
    "    a step. Values and coefficients are unchanged after a failure.\n";

namespace {

// All items of an iterator; an error raised while iterating passes through.
std::vector<Ref> collect_schedule_items(Ref iterator) {
    std::vector<Ref> items;
    while (Ref item{PyIter_Next(iterator.get())}) items.push_back(std::move(item));
    check_python_error();
    return items;
}

// One entry: a float first, else a float vector of the grid's length.
ScheduleEntry parse_schedule_entry(PyObject* item, const char* name, std::size_t n) {
    const double v = PyFloat_AsDouble(item);
    if (!(v == -1.0 && PyErr_Occurred())) {
        if (!std::isfinite(v)) py_err_with_kind("NanInf", std::string(name) + " entry is NaN or Inf");
        return ScheduleEntry::constant(v);
    }
    PyErr_Clear();
    auto samples = try_float_vector(item);
    if (!samples) {
        py_err_with_kind("GridMismatch", std::string(name) + " entries must be float or numpy.ndarray[float64]");
    }
    if (samples->size() != n) {
        py_err_with_kind("GridMismatch", std::string(name) + " array entry has length " +
                                             std::to_string(samples->size()) + " != n=" + std::to_string(n));
    }
    if (first_non_finite<double>(*samples)) {
        py_err_with_kind("NanInf", std::string(name) + " entry contains NaN or Inf");
    }
    return ScheduleEntry::array(std::move(*samples));
}

// A whole schedule of `segments` entries; absent means zero everywhere.
std::vector<ScheduleEntry> parse_coefficient_schedule(PyObject* obj, std::size_t segments, std::size_t n,
                                                      const char* name) {
    if (obj == nullptr) return std::vector<ScheduleEntry>(segments, ScheduleEntry::constant(0.0));
    Ref it(PyObject_GetIter(obj));
    if (!it) {
        PyErr_Clear();
        py_err_with_kind("GridMismatch", std::string(name) + " must be a sequence");
    }
    const std::vector<Ref> items = collect_schedule_items(std::move(it));
    if (items.size() != segments) {
        py_err_with_kind("GridMismatch", std::string(name) + " has " + std::to_string(items.size()) +
                                             " segments, expected " + std::to_string(segments) +
                                             " (must match a_schedule)");
    }
    std::vector<ScheduleEntry> out;
    out.reserve(segments);
    for (const Ref& item : items) out.push_back(parse_schedule_entry(item.get(), name, n));
    return out;
}

}  // namespace

Ref shift1d_evolve_with_time_schedule(Shift1DObj& self, const Args& a) {
    const double t_final = a.f64(0);
    const std::size_t m = a.usize(1);
    const double b = a.f64_or(3, 0.0);
    const double c = a.f64_or(4, 0.0);
    check_steps_and_time(m, t_final);
    const std::vector<double> schedule = extract_u0_vec(a.raw(2));
    if (schedule.empty()) py_err_with_kind("OutOfDomain", "a_schedule must be non-empty");
    // Every segment steps by (t_final/S)/n_steps_per_segment with the same c.
    const double t_segment = t_final / static_cast<double>(schedule.size());
    refuse_linear_inflow(ShiftChernoff1D::constant(self.state.grid, 0.0, b, c),
                         t_segment / static_cast<double>(m));
    refuse_flipping_reaction("Shift1D.evolve_with_time_schedule", c, t_segment, m, "n_steps_per_segment");
    const Grid1D<double> grid = self.state.grid;
    self.state.values = evolve_scaled_in_range(
        "Shift1D.evolve_with_time_schedule", self.state.values, self.range, [&](std::vector<double> v, FlowRange& r) {
            return evolve_shift_time_schedule(grid, std::move(v), t_final, m, schedule, b, c, r);
        });
    return none();
}

Ref shift1d_evolve_with_coefficient_schedule(Shift1DObj& self, const Args& a) {
    const double t_final = a.f64(0);
    const std::size_t m = a.usize(1);
    check_steps_and_time(m, t_final);
    PyObject* a_obj = a.raw(2);
    Ref it(PyObject_GetIter(a_obj));
    if (!it) {
        PyErr_Clear();
        py_err_with_kind("GridMismatch", "a_schedule must be a sequence");
    }
    // The count fixes S; the parse iterates a_schedule a second time (a
    // one-shot iterator is then found empty).
    const std::size_t segments = collect_schedule_items(std::move(it)).size();
    const std::size_t n = self.state.grid.n;
    const std::vector<ScheduleEntry> sa = parse_coefficient_schedule(a_obj, segments, n, "a_schedule");
    if (segments == 0) py_err_with_kind("OutOfDomain", "a_schedule must be non-empty");
    const std::vector<ScheduleEntry> sb = parse_coefficient_schedule(a.get(3), segments, n, "b_schedule");
    const std::vector<ScheduleEntry> sc = parse_coefficient_schedule(a.get(4), segments, n, "c_schedule");
    const Grid1D<double> grid = self.state.grid;
    double c_min = std::numeric_limits<double>::infinity();
    for (const ScheduleEntry& ck : sc) c_min = std::fmin(c_min, min_node_reaction(grid, ck));
    const double tau = t_final / static_cast<double>(segments) / static_cast<double>(m);
    for (std::size_t k = 0; k < segments; ++k) {
        refuse_linear_inflow(build_segment_kernel(grid, sa[k], sb[k], sc[k]).kernel, tau);
    }
    refuse_flipping_reaction("Shift1D.evolve_with_coefficient_schedule", c_min,
                             t_final / static_cast<double>(segments), m, "n_steps_per_segment");
    self.state.values = evolve_scaled_in_range("Shift1D.evolve_with_coefficient_schedule", self.state.values,
                                               self.range, [&](std::vector<double> v, FlowRange& r) {
                                                   return evolve_shift_coefficient_schedule(grid, std::move(v), t_final,
                                                                                            m, sa, sb, sc, r);
                                               });
    self.semigroup = build_segment_kernel(grid, sa.back(), sb.back(), sc.back());
    return none();
}

}  // namespace quorvane::py
