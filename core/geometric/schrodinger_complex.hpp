// The complex Schrodinger step for i psi_t = (-Laplacian/2 + V(x)) psi
// (hbar = 1), psi stored as complex values.
//
// One step is P(tau/2) T(tau) P(tau/2): P the exact phase e^{-i V tau/2}, T
// the Cayley (Crank-Nicolson) form of the Dirichlet second difference, solved
// by the Thomas algorithm in complex arithmetic. Unitary in sum |psi_i|^2 for
// every tau (|1 + 2ir| > 2r keeps every pivot away from zero) and second
// order in tau.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/geometric/complex_arith.hpp"

namespace quorvane {

class SchrodingerChernoffComplex {
public:
    // Samples V_i = potential(x_i) in increasing i; a non-finite sample is
    // the DomainViolation "SchrödingerChernoffComplex: V(x_i) not finite".
    static Expected<SchrodingerChernoffComplex> make(const Grid1D<double>& grid,
                                                     const std::function<double(double)>& potential);

    // One step of input (n values) into output[0..n). tau must be finite and
    // >= 0 (-0.0 accepted); a non-finite Thomas pivot (r overflowing, a NaN
    // entering) is an error. On failure output is not touched.
    Status apply_into(std::span<const Cplx> input, std::span<Cplx> output, double tau) const;

private:
    Grid1D<double> grid_;
    std::vector<double> v_;
    // Per-step buffers Y, R, C, Q, X, reused from step to step.
    mutable std::vector<Cplx> y_, r_, c_, q_, x_;
};

// The largest r = tau/(4 dx^2) served. The Thomas sweep forms products of
// two r-sized entries (|p|^2 of pivots |p| ~ r, u p in each division), which
// overflow from r = 2^511 on for data of max|psi| < 2 (the evolution runs on
// data scaled so by a power of two), measured on 8 to 10^5 nodes; a factor
// 4 below that, rounding meets no non-finite pivot and no NaN.
inline constexpr double kMaxThomasRatio = 0x1p509;
// Whether steps of tau on the grid stay within that ratio. A grid whose
// dx^2 underflows to 0 is not judged: every step's pivot is infinite there,
// which the step itself reports.
bool schrodinger_complex_step_served(const Grid1D<double>& grid, double tau);
// The longest step served on the grid (0 where dx^2 underflows).
double schrodinger_complex_longest_step(const Grid1D<double>& grid);

// x -> v[j], j the nearest node to x (halves away from zero), negative
// indices giving 0 and the index clamped to len(v) - 1.
std::function<double(double)> nearest_node_potential(std::vector<double> v, double xmin, double dx);

// Builds the kernel over the nearest-node potential of `v`, checks that psi
// (interleaved re, im) holds grid.n values, then runs n_steps steps of
// t/n_steps between two buffers; returns the interleaved result.
Expected<std::vector<double>> schrodinger_complex_evolve(const Grid1D<double>& grid, std::vector<double> v,
                                                         std::vector<double> psi, double t, std::size_t n_steps);

}  // namespace quorvane
