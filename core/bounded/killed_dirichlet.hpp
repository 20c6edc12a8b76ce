// Crank-Nicolson steps of L u = a u'' + b u' with absorbing nodes: rows of
// absorbing nodes are identity rows and their neighbours are decoupled from
// them, so the interior evolves as the Dirichlet problem with zero wall
// values and the absorbing nodes keep what they hold.
#pragma once

#include <cstddef>
#include <vector>

#include "core/foundation/coeff.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel_pool.hpp"

namespace quorvane {

struct KilledDirichletChernoff {
    Grid1D<double> grid;
    std::vector<std::size_t> absorbing;  // sorted ascending
    SharedCoeff a;
    SharedCoeff b;

    // (I - tau/2 L)^{-1} (I + tau/2 L) src into dst: second order in time
    // and unconditionally stable for a > 0.
    Status apply_into(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>& pool, double tau) const;
};

// Tridiagonal solve by elimination without pivoting: sub[k] couples row k+1
// to column k, sup[k] row k to column k+1. Fails on an exactly zero pivot.
Expected<std::vector<double>> solve_tridiagonal(const std::vector<double>& sub, const std::vector<double>& diag,
                                                const std::vector<double>& sup, const std::vector<double>& rhs);

}  // namespace quorvane
