// The real-pair Schrodinger step for i psi_t = (-Laplacian + V(x)) psi on a
// uniform grid (hbar = 1, kinetic coefficient 1), psi held as two real
// arrays.
//
// One step is the palindromic Strang composition P(tau/2) T(tau) P(tau/2):
// P the exact phase rotation by e^{-i V tau/2}, T the Crank-Nicolson (Cayley)
// step of the Dirichlet second difference. Every factor is unitary in
// sum |psi_i|^2, the composition is second order, and S(-tau) inverts S(tau),
// so negative steps run the evolution backwards.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/geometric/schrodinger_helpers.hpp"

namespace quorvane {

struct SchrodingerState {
    GridFn<double> re;
    GridFn<double> im;
};

class SchrodingerChernoff {
public:
    // Samples V_i = potential(x_i) in increasing i; the first non-finite
    // sample is a DomainViolation.
    static Expected<SchrodingerChernoff> make(const Grid1D<double>& grid, const std::function<double(double)>& potential);
    // V = 0 (no function called).
    static SchrodingerChernoff free_particle(const Grid1D<double>& grid);

    // The clone copies the grid and V; its work area starts empty.
    SchrodingerChernoff(const SchrodingerChernoff& o) : grid_(o.grid_), v_(o.v_) {}
    SchrodingerChernoff(SchrodingerChernoff&&) noexcept = default;
    SchrodingerChernoff& operator=(SchrodingerChernoff&&) noexcept = default;

    const Grid1D<double>& grid() const { return grid_; }
    const std::vector<double>& potential() const { return v_; }

    // One step S(tau) of the state; any finite tau, including 0 and negative.
    SchrodingerState apply(const SchrodingerState& state, double tau) const;

private:
    SchrodingerChernoff(const Grid1D<double>& grid, std::vector<double> v) : grid_(grid), v_(std::move(v)) {}

    Grid1D<double> grid_;
    std::vector<double> v_;
    mutable SchrodingerWork work_;
    mutable bool work_taken_ = false;
};

// |tau| / (2 dx^2) beyond which the real-pair elimination on I + K^2 loses
// unitarity (its conditioning grows like r^2: norm drift 4e-10 at r = 1e4,
// 1.3e-5 at 1e8, 12 % at 1e12, overflow beyond).
inline constexpr double kSchrodingerMaxKineticRatio = 1e6;

// The largest |tau| a step may take on `grid`: 2 dx^2 * 1e6.
double schrodinger_max_abs_tau(const Grid1D<double>& grid);

// n_steps steps of t/n_steps from (re, im), rebuilt on `grid` first (length
// n, all finite). Polls for a stop request between steps.
Expected<SchrodingerState> schrodinger_evolve(const SchrodingerChernoff& kernel, const Grid1D<double>& grid,
                                              std::vector<double> re, std::vector<double> im, double t,
                                              std::size_t n_steps);

}  // namespace quorvane
