// Fourth-order exponential time differencing Runge-Kutta (Cox-Matthews) for
// du/dt = A u + N(u), A = -L of a SymmetricOperator, with every exponential
// and phi-function product one phi action (no phi matrix is formed).
#pragma once

#include <cstdint>
#include <span>

#include "core/foundation/error.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/sparse/phi_functions.hpp"

namespace quorvane {

enum class Etdrk4Nonlinearity : std::uint8_t { AllenCahn };  // N(u) = u - u^3

struct Etdrk4 {
    NegLaplacianGenerator generator;
    double h = 0.0;
    std::uint64_t n = 0;
    Etdrk4Nonlinearity nonlinearity = Etdrk4Nonlinearity::AllenCahn;

    // Refuses an operator of dimension 0. h is the caller's (checked finite
    // and > 0 before).
    static Expected<Etdrk4> make(NegLaplacianGenerator generator, Etdrk4Nonlinearity nonlinearity, double h);
};

// One step of size h from u into out (n values each), buffers from the pool
// (repeated steps with one pool allocate only during the first). Refused
// (OutOfDomain) before any work when one of its phi actions would exceed the
// product cap of phi_plan; fails on a stop request, and when a stage's
// nonlinearity or the new state leaves the double range (DomainViolation
// with the non-finite value).
Status etdrk4_step(const NegLaplacianGenerator& gen, std::span<const double> u, std::span<double> out,
                   ScratchPool<double>& pool, double h);

// n_steps steps from u0; out = u0 for n_steps = 0.
Status etdrk4_integrate(const Etdrk4& scheme, std::span<const double> u0, std::uint64_t n_steps, std::span<double> out);

}  // namespace quorvane
