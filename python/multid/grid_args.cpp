#include "python/multid/grid_args.hpp"

#include "core/foundation/numeric.hpp"
#include "core/multid/sizes.hpp"
#include "python/array.hpp"
#include "python/evolver.hpp"

namespace quorvane::py {

Grid1D<double> grid_axis(const BoundaryPolicy<double>& policy, double lo, double hi, std::size_t n, InterpKind kind) {
    return unwrap(Grid1D<double>::make(policy, kind, lo, hi, n));
}

void check_steps_and_tau(std::size_t n_steps, double tau) {
    if (n_steps == 0) py_err_with_kind("OutOfDomain", "n_steps must be >= 1");
    if (!std::isfinite(tau) || tau <= 0.0) py_err_with_kind("OutOfDomain", "tau must be finite and > 0");
}

void refuse_far_reads_nd(const char* cls, const StepCall& call, const Grid2D& grid, FunctionRef<bool(double)> located) {
    refuse_reads_beyond_grid(cls, call, spacing_text(grid.x) + ", " + spacing_text(grid.y, "dy"), located);
}

void refuse_far_reads_nd(const char* cls, const StepCall& call, const Grid3D& grid, FunctionRef<bool(double)> located) {
    refuse_reads_beyond_grid(cls, call,
                             spacing_text(grid.x) + ", " + spacing_text(grid.y, "dy") + ", " +
                                 spacing_text(grid.z, "dz"),
                             located);
}

void refuse_far_reads_nd(const char* cls, double tau, std::size_t n_steps, const Grid2D& grid,
                         FunctionRef<bool(double)> located) {
    refuse_far_reads_nd(cls, {StepCall::Form::Step, static_cast<double>(n_steps) * tau, tau}, grid, located);
}

void refuse_far_reads_nd(const char* cls, double tau, std::size_t n_steps, const Grid3D& grid,
                         FunctionRef<bool(double)> located) {
    refuse_far_reads_nd(cls, {StepCall::Form::Step, static_cast<double>(n_steps) * tau, tau}, grid, located);
}

void check_length(std::size_t len, std::span<const std::size_t> counts, const std::string& prefix,
                  const std::string& middle) {
    if (!length_matches(len, counts)) {
        py_err_with_kind("GridMismatch", prefix + std::to_string(len) + middle + exact_product_text(counts));
    }
}

std::vector<double> float_seq_or_type_error(PyObject* o, const char* type_message) {
    auto v = o ? try_float_vector(o) : std::nullopt;
    if (!v) raise_type_error(type_message);
    return std::move(*v);
}

std::vector<double> extract_named_f64_array(PyObject* o, const char* name, std::span<const std::size_t> counts) {
    const std::string n(name);
    auto v = o ? try_float_vector(o) : std::nullopt;
    if (!v) py_err_with_kind("GridMismatch", n + " must be numpy.ndarray[float64]");
    check_length(v->size(), counts, n + " length ", " != expected ");
    if (first_non_finite<double>(*v)) py_err_with_kind("NanInf", n + " contains NaN or Inf");
    return std::move(*v);
}

}  // namespace quorvane::py
