// The Python side of the sparse operators: the object that holds a
// SymmetricOperator (the operand of most sparse functions) and the argument
// helpers they share.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/graph/graph_krylov.hpp"
#include "core/sparse/symmetric_operator.hpp"
#include "python/array.hpp"
#include "python/frame.hpp"

namespace quorvane::py {

struct SymmetricOperatorObj {
    SymmetricOperator op;
    static ClassDef& class_def();
};

// The shared core operator of a SymmetricOperator argument (type-checked,
// borrowed only while the reference is taken).
SymmetricOperator symmetric_operator_arg(const Args& a, std::size_t i);
Ref symmetric_operator_object(SymmetricOperator op);

// "chebyshev", "lanczos" (m_max) or "implicit" (n_steps, cg_max_iter); else
// Unsupported "path must be 'chebyshev', 'lanczos', or 'implicit', got '{}'".
KrylovPath parse_krylov_path(const std::string& path, std::uint32_t m_max, std::uint64_t n_steps,
                             std::optional<std::uint64_t> cg_max_iter);

// The options of a Krylov evolution read from arguments i, i+1, ...: path
// ("chebyshev"), tol (1e-10), m_max (18), n_steps (100) and, with_cg,
// cg_max_iter (None); then t checked (OutOfDomain "t_final must be finite and
// >= 0", -0.0 passes) and the path parsed.
struct KrylovOptions {
    KrylovPath path;
    double tol;
};
KrylovOptions krylov_options(const Args& a, std::size_t i, double t, bool with_cg);

// The operator the solves of an implicit action see, for the note beside
// their ConvergenceFailed.
struct ImplicitSolves {
    double t;
    double spectral_bound;
    std::uint64_t n;  // its dimension
    bool takes_cap;   // whether the call has a cg_max_iter
};

// The note beside the ConvergenceFailed of an implicit action: its message
// is a fixed text that names no way out, so the note names what passes, by
// the solves' iteration bound max(ln(2/tol), 1) sqrt(1 + (t/n_steps) bound):
// that bound as cg_max_iter where the call takes one and the cap was below
// it, the least n_steps whose shorter steps' bound fits the cap (the given
// one, else the dimension), and path="chebyshev" where its plan fits. Empty
// for other errors and paths.
std::string implicit_convergence_note(const CoreError& e, const KrylovPath& path, double tol, const ImplicitSolves& s);

// The values of a float64 array of any dimension count, read in memory
// order: GridMismatch "{name} must be contiguous" for a strided one, then
// GridMismatch "{name} length {} != {n_name} {}" when the element count is
// not n.
std::vector<double> contiguous_values(const Buffer& b, const char* name, std::uint64_t n, const char* n_name);
// The same values, then NanInf "{name} contains NaN or Inf: {value}" for the
// first non-finite one: the state an action starts from, checked before any
// work.
std::vector<double> finite_values(const Buffer& b, const char* name, std::uint64_t n, const char* n_name);

}  // namespace quorvane::py
