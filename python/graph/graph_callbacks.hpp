// Adaptors that turn the Python callables of the time-dependent graph
// classes into the core's providers: lap_at_t(t) -> Laplacian and
// a_at_t(t) -> per-node coefficients. Each call takes the interpreter lock
// itself (the core loop runs without it), calls the callable with t as a
// Python float and converts the result.
//
// A call that raises, or a result of the wrong type or size, keeps its
// exception in the call's error slot (python/callback.hpp) and fails the
// provider; nothing is substituted. Wrong results are
//   "[OutOfDomain] lap_at_t(t) must return a Laplacian, Graph or GraphPath, got {type}",
//   "[GridMismatch] lap_at_t(t) returned {m} nodes, expected n_nodes={n}",
//   "[OutOfDomain] {name}(t) must return a float64 array or a sequence of floats, got {type}",
//   "[GridMismatch] {name}(t) returned {len} values, expected n_nodes={n}"
// ({name} is the coefficient callable's argument name);
// an exception raised while converting a result counts as the callable's
// own. The providers are called from the calling thread only, and borrow
// the callables: a provider must not outlive the call that made it.
#pragma once

#include <cstdint>
#include <memory>

#include "core/graph/laplacian.hpp"
#include "python/callback.hpp"
#include "python/frame.hpp"

namespace quorvane::py {

// A Laplacian object gives its own Laplacian, a Graph or GraphPath its
// combinatorial one.
LaplacianProvider lap_at_t_adaptor(PyObject* callable, std::uint64_t n_nodes, CallbackErrors& errors);
// The single-precision operator of a result: a Laplacian's entries rounded
// once to single precision, a Graph's or GraphPath's weights rounded and
// its combinatorial Laplacian rebuilt. A result that does not survive the
// rounding fails with that core error.
LaplacianProviderF32 lap_at_t_adaptor_f32(PyObject* callable, std::uint64_t n_nodes, CallbackErrors& errors);
// The result converted as a float sequence (a float64 array or a sequence
// of floats) of n_nodes values; `name` is the callable's name in the messages.
CoefficientProvider varcoef_a_at_t_adaptor(PyObject* callable, std::uint64_t n_nodes, CallbackErrors& errors,
                                           const char* name = "a_at_t");

// A caller's bound on the samples of one call with the radius test on. The
// test tau * (scale * bound) < pi/2 rests on `bound` for a sample whose own
// Gershgorin bound in its place would fail it; a lower bound of that
// sample's largest eigenvalue (a SpectrumProbe: a few Lanczos steps on the
// first sample, one product from the previous probe's vector on each later
// one, more steps where the bound lies within reach of the estimate, and a
// few Lanczos steps from a start with weight on every node on a sample
// whose rows could hold an eigenvalue of 1.01 times the bound where no
// such run of the call has looked) proving `bound` below it then fails the
// call with "[OutOfDomain] {cls}:
// {name} = ... is below the largest eigenvalue of lap_at_t(t) at t = ..."
// kept in the error slot. A sample object met again (one Laplacian for
// every t, or a few in turn) is probed once.
struct TrustedBound {
    const char* cls;
    const char* name;
    double bound;
    double scale;
    double tau;
    // Refuse only where the quotient puts the step itself past the radius
    // (tau * scale * quotient >= pi/2), not wherever it exceeds `bound`.
    bool past_radius_only = false;
};
LaplacianProvider checking_bound(LaplacianProvider lap_at_t, TrustedBound b, CallbackErrors& errors);
LaplacianProviderF32 checking_bound(LaplacianProviderF32 lap_at_t, TrustedBound b, CallbackErrors& errors);
// What the samples of one call allow the norm to grow by (the backstop of
// core/graph/norm_guard.hpp): the largest norm growth rate of the sampled
// Laplacians and the largest sampled coefficient. Kept by the providers
// below, which pass every sample on unchanged.
struct SampleGrowth {
    double rate = 0.0;
    double a_max = 0.0;
};
using SharedSampleGrowth = std::shared_ptr<SampleGrowth>;
LaplacianProvider recording_growth(LaplacianProvider lap_at_t, const SharedSampleGrowth& growth);
LaplacianProviderF32 recording_growth(LaplacianProviderF32 lap_at_t, const SharedSampleGrowth& growth);

// The coefficient bound a_sup_max of sqrt(max a): a sample with
// tau * max(a) * rho_bar_max >= pi/2 has the radius test resting on it, and
// an a_sup_max below sqrt(max a) there fails the call (OutOfDomain). Every
// sample's coefficients are kept in `growth` for the backstop.
CoefficientProvider checking_a_sup(CoefficientProvider a_at_t, const char* cls, double a_sup_max, double rho_bar_max,
                                   double tau, CallbackErrors& errors, const SharedSampleGrowth& growth);

}  // namespace quorvane::py
