// Adaptors that turn the Python callables of the time-dependent graph
// classes into the core's providers: lap_at_t(t) -> Laplacian and
// a_at_t(t) -> per-node coefficients. Each call takes the interpreter lock
// itself (callable from a thread that released it), calls the callable with
// t as a Python float and converts the result. They never fail: a call that
// raises, or a result that cannot be used, gives a fixed substitute and the
// Python error is discarded.
#pragma once

#include <cstdint>

#include "core/graph/laplacian.hpp"
#include "python/frame.hpp"

namespace quorvane::py {

// A Laplacian object gives its own Laplacian, a Graph or GraphPath its
// combinatorial one; anything else (or a raising call) the combinatorial
// Laplacian of `base`.
LaplacianProvider lap_at_t_adaptor(PyObject* callable, SharedGraph base);
// The same, then the single-precision combinatorial Laplacian of the graph of
// its negated negative off-diagonal entries (a unit path when that fails).
LaplacianProviderF32 lap_at_t_adaptor_f32(PyObject* callable, SharedGraph base);
// The result converted as an f0 argument; n_nodes ones when the call raises,
// the conversion fails or the length differs.
CoefficientProvider varcoef_a_at_t_adaptor(PyObject* callable, std::uint64_t n_nodes);

}  // namespace quorvane::py
