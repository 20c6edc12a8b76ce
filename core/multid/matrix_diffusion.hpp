// The coupled two-component diffusion step and its splitting over the axes of
// a rectangle or a box.
//
// One 1-D step is R(tau/2) D(tau) R(tau/2): R the pointwise reaction
// exp((tau/2) C(x)) in closed form, D one Crank-Nicolson step of the
// diffusion-drift part solved as a 2x2 block-tridiagonal system. The mirror
// ghosts w[-1] = w[0] and w[n] = w[n-1] put the wall half a cell beyond the
// end nodes, so the spatial error next to a wall is O(dx).
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/grid_fn2d.hpp"
#include "core/foundation/grid_fn3d.hpp"

namespace quorvane {

// A 2x2 matrix in row-major order (m00, m01, m10, m11), and a pair.
using Mat2 = std::array<double, 4>;
using Vec2 = std::array<double, 2>;
// A shared, immutable field x -> 2x2 matrix, callable from any thread.
using MatField = std::shared_ptr<const std::function<Mat2(double)>>;

// The inverse, or "mat_inv_m2: singular matrix (det=0)" for det exactly 0.
Expected<Mat2> mat_inv_m2(const Mat2& m);

// exp(M) of a 2x2 matrix with real eigenvalues in the closed form of the
// reaction half steps (entries inf or NaN where it overflows).
Mat2 reaction_factor(const Mat2& m);

// The part of one 1-D step that does not depend on the line's values: the
// fields at the nodes, the reaction factors exp((tau/2) C) and the
// elimination of the Crank-Nicolson system.
//
// Where the diffusion is a I (a >= 0, the same at every node) without drift,
// as the classes build it, the system is (I + P K) y = w per component, K
// the mirror Laplacian and P = (tau/2) a / dx^2, and the step is v = 2y - w.
// Its Thomas elimination is then kept in convex weights (`phi`, `g`), which
// hold at every P from 0 to beyond the double range: the block pivots,
// 1 + 2P less a quotient near P, lose digits in proportion to P (none is
// left from P ~ 1e15 on) and their products overflow. Other fields take the
// block elimination (its sub-diagonal blocks, the inverse pivots and the
// eliminated upper blocks).
struct MatrixLinePlan {
    std::size_t n = 0;
    double dx = 0.0, dx2 = 0.0, h = 0.0;
    std::vector<Mat2> a, b, r;
    std::vector<Mat2> lower, inv, cp;
    bool scalar = false;
    std::vector<double> phi, g;

    // out[0, 2n) := the step of the pair `in` (2n values); `work` holds 2n
    // pairs of scratch.
    void apply(std::span<const double> in, std::span<double> out, std::span<Vec2> work) const;
};

struct MatrixDiffusionChernoff {
    Grid1D<double> grid;
    MatField a_ij_field;  // diffusion A(x)
    MatField b_field;     // drift B(x)
    MatField c_field;     // reaction C(x)

    // A = a_diag I, B = 0, C = [[0, c], [c, 0]]. Needs n >= 5 and a finite
    // diffusion field at the grid centre.
    static Expected<MatrixDiffusionChernoff> make(const Grid1D<double>& grid, double a_diag, double c_coupling);

    // One step of tau of the pair `in` (2n values, node-major, component
    // inner) on `line` into out[0, 2n). out is untouched on error.
    Status apply_into(const Grid1D<double>& line, std::span<const double> in, std::span<double> out, double tau) const;

    // The plan of apply_into's steps of tau on `line` (its errors: tau, then
    // a singular pivot).
    Expected<MatrixLinePlan> plan(const Grid1D<double>& line, double tau) const;
};

// Lx(tau/2) Ly(tau) Lx(tau/2) of the axis steps on 2*nx*ny values, node (i, j)
// component c at (j*nx + i)*2 + c. Every leg is a full 1-D step, reaction
// included. out takes a copy of in first; on error it holds partial results.
Status matrix_diffusion_2d_step(const MatrixDiffusionChernoff& x, const MatrixDiffusionChernoff& y,
                                std::span<const double> in, std::vector<double>& out, double tau);

// Lx(tau/2) Ly(tau/2) Lz(tau) Ly(tau/2) Lx(tau/2) on 2*nx*ny*nz values.
Status matrix_diffusion_3d_step(const MatrixDiffusionChernoff& x, const MatrixDiffusionChernoff& y,
                                const MatrixDiffusionChernoff& z, std::span<const double> in, std::vector<double>& out,
                                double tau);

// n_steps steps of tau on 2 * prod(n) values, n the node counts of the
// kernels' grids (one kernel per axis, 1 to 3 axes): one step of the axis
// for a single axis, else the compositions above. Each axis and leg length
// is planned once for the call and its lines spread over workers kept for
// the call (0: sweep_worker_count); equal bit for bit to repeated
// apply_into, matrix_diffusion_2d_step or matrix_diffusion_3d_step. On
// error `values` is unspecified.
Status matrix_diffusion_steps(std::span<const MatrixDiffusionChernoff> axes, std::vector<double>& values,
                              std::size_t n_steps, double tau, std::size_t workers = 0);

}  // namespace quorvane
