// Argument checks shared by the multi-dimensional grid classes.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "core/foundation/boundary.hpp"
#include "core/foundation/function_ref.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/grid_fn2d.hpp"
#include "core/foundation/grid_fn3d.hpp"
#include "python/frame.hpp"

namespace quorvane::py {

struct StepCall;  // python/evolver.hpp

// One axis through the 1-D grid checks (finite bounds, lo < hi, n >= 4),
// raised through the core error mapping; every axis reports with the x texts.
Grid1D<double> grid_axis(const BoundaryPolicy<double>& policy, double lo, double hi, std::size_t n,
                         InterpKind kind = InterpKind::septic());

// evolve(u0, tau, n_steps) checks: "n_steps must be >= 1", then
// "tau must be finite and > 0", both OutOfDomain.
void check_steps_and_tau(std::size_t n_steps, double tau);

// Refuses n_steps steps of tau whose reads `located` does not admit (they
// lie beyond 2^53 cells), before any work, naming the largest tau and the
// counts for the call's time n_steps * tau (refuse_reads_beyond_grid).
void refuse_far_reads_nd(const char* cls, double tau, std::size_t n_steps, const Grid2D& grid,
                         FunctionRef<bool(double)> located);
void refuse_far_reads_nd(const char* cls, double tau, std::size_t n_steps, const Grid3D& grid,
                         FunctionRef<bool(double)> located);
// The same for a call whose steps `call` describes (a duration in a count
// of steps, say).
void refuse_far_reads_nd(const char* cls, const StepCall& call, const Grid2D& grid, FunctionRef<bool(double)> located);
void refuse_far_reads_nd(const char* cls, const StepCall& call, const Grid3D& grid, FunctionRef<bool(double)> located);

// GridMismatch "<prefix><len><middle><exact product>" unless len equals the
// product of `counts` (a product beyond 64 bits matches no length).
void check_length(std::size_t len, std::span<const std::size_t> counts, const std::string& prefix,
                  const std::string& middle);

// The shared float-sequence conversion; TypeError `type_message` on failure.
std::vector<double> float_seq_or_type_error(PyObject* o, const char* type_message);

// `extract_named_f64_array`: GridMismatch "{name} must be
// numpy.ndarray[float64]", "{name} length {} != expected {}", NanInf "{name}
// contains NaN or Inf". The expected length is the product of `counts`.
std::vector<double> extract_named_f64_array(PyObject* o, const char* name, std::span<const std::size_t> counts);
inline void check_length(std::size_t len, std::initializer_list<std::size_t> counts, const std::string& prefix,
                         const std::string& middle) {
    check_length(len, std::span<const std::size_t>(counts.begin(), counts.size()), prefix, middle);
}
inline std::vector<double> extract_named_f64_array(PyObject* o, const char* name,
                                                   std::initializer_list<std::size_t> counts) {
    return extract_named_f64_array(o, name, std::span<const std::size_t>(counts.begin(), counts.size()));
}

}  // namespace quorvane::py
