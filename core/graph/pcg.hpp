// The implicit backward-Euler action y = (I + (t/n) A)^(-n) x of a symmetric
// positive semi-definite operator, each solve by conjugate gradients with a
// Jacobi preconditioner, and the operator interface it sees A through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/foundation/error.hpp"
#include "core/foundation/parallel_pool.hpp"

namespace quorvane {

// A symmetric positive semi-definite operator of dimension n().
class SpdOperator {
public:
    virtual ~SpdOperator() = default;
    virtual std::size_t n() const = 0;
    // An upper bound of the spectrum.
    virtual double spectral_bound() const = 0;
    // y = A x; every entry of y is written. x and y hold n() values.
    virtual void apply(std::span<const double> x, std::span<double> y) const = 0;
    // Writes A_ii to d[i] (n() values) with the bits apply gives for entry i
    // of A e_i, and returns true; false, d untouched, when the operator
    // cannot give its diagonal more cheaply than by n products.
    virtual bool diagonal(std::span<double> /*d*/) const { return false; }
};

// y = (I + dt A)^(-n_steps) x with dt = t / n_steps, n_steps solves by
// Jacobi-preconditioned CG, each from its right-hand side b, with at least
// one iteration unless b already solves its system exactly, to the residual
// max(tol, 1e-12) min(||b||, ||r0||), r0 = -dt A b the residual of that start
// (relative to the step's change, which is at most ||r0||, for short steps;
// to ||b|| for long ones), or to 2^-52 ||b||, the rounding of b. The solves'
// errors, each within tol of its step's change, add up to about
// tol ||x||: tol bounds the solves, not backward Euler's own error. The
// iteration budget per solve is cg_max_iter when given, else
// max(16, min(n, ceil(sqrt(1 + dt * bound) * max(ln(2/tol), 1)))).
// Fails for n_steps = 0 (DomainViolation), for a solve that misses the
// tolerance within its budget (ConvergenceFailed with the absolute residual),
// for a state that leaves the double range (DomainViolation with the
// non-finite value) and on a stop request, which is asked for inside the
// diagonal probe and the CG iterations too; y is written only on success.
// x and y hold op.n() values.
Status implicit_euler_action(const SpdOperator& op, std::span<const double> x, std::span<double> y,
                             std::uint64_t n_steps, double t, double tol, std::optional<std::uint64_t> cg_max_iter,
                             ScratchPool<double>& pool);

// The iterations the solve of a step dt may need by the conjugate-gradient
// bound, ceil(max(ln(2/tol), 1) sqrt(1 + dt * spectral_bound)) with tol as
// the solves take it (at least 1e-12): the derived budget before it is held
// to [16, n]. UINT64_MAX where it does not fit.
std::uint64_t cg_iteration_bound(double dt, double spectral_bound, double tol);

// The least n_steps whose solves' iteration bound, for steps of t / n_steps,
// is at most `budget`; none when even the shortest steps' bound,
// ceil(max(ln(2/tol), 1)), exceeds it, or when the count passes 2^64 - 1.
// Solves given their whole bound converged in every stiff case tried (442
// path and random-conductivity operators of 200 to 3000 rows, dt rho up to
// 1e6, tol 1e-6 to 1e-12); those that failed had the dimension hold their
// budget below it.
std::optional<std::uint64_t> cg_steps_within(double t, double spectral_bound, double tol, std::uint64_t budget);

}  // namespace quorvane
