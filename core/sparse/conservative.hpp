// Conservative (divergence-form) 1-D diffusion L_k u = d/dx (k(x) du/dx) by
// finite volumes: harmonic-mean face conductivities, an optional contact
// resistance per face, zero-flux ends, handed out as the SymmetricOperator
// A = -L_k.
//
// The end rows are the cell-centred zero-flux closure: node i is the centre
// of a cell of width dx, so the outer faces sit at x_lo - dx/2 and
// x_hi + dx/2, not at the end nodes. The operator is second order for the
// Neumann problem on that extended interval [x_lo - dx/2, x_hi + dx/2] (its
// cosines cos(pi (x - x_lo + dx/2) / (L + dx)) are exact eigenvectors); read
// as a Neumann problem on [x_lo, x_hi] itself it is first order (measured:
// the error against cos(pi (x - x_lo) / L) halves with dx).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/sparse/symmetric_operator.hpp"

namespace quorvane {

// The n - 1 face conductances g_i = 1 / (dx / k_h + r_i) with k_h the
// harmonic mean of k_i and k_{i+1} (0 when either is <= 0). Refuses a
// k_i that is not finite and >= 0, a resistance count other than n - 1 and a
// resistance that is not finite and >= 0.
Expected<std::vector<double>> check_conservative_coefficients(std::span<const double> k_nodes,
                                                              std::optional<std::span<const double>> r_contact,
                                                              double dx);

// A = -L_k in CSR (3n - 2 entries, columns ascending) from the face
// conductances, through SymmetricOperator::from_csr with sym_tol 1e-10.
// An interior diagonal is (g_{i-1} + g_i)/dx, or g_{i-1}/dx + g_i/dx with
// split_diagonal (the class's own assembly; the two may differ in the last
// bit).
Expected<SymmetricOperator> assemble_conservative_csr(std::span<const double> g, double dx, bool split_diagonal);

struct ConservativeDiffusionChernoff {
    enum class Boundary : std::uint8_t { Neumann, Dirichlet };
    Grid1D<double> grid;
    Boundary boundary = Boundary::Neumann;
    double boundary_value = 0.0;
    std::shared_ptr<const std::vector<double>> g;

    // The zero-flux operator A = -L_k, whatever the recorded boundary rule.
    Expected<SymmetricOperator> to_symmetric_operator() const;
};

}  // namespace quorvane
