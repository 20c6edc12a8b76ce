// Variable-coefficient tensor-train evolution for an additive-separable
// operator L = sum_j L_j, L_j = d/dx_j(a_j(x_j) d/dx_j) + b_j(x_j) d/dx_j + v_j(x_j),
// every axis periodic on its nodes. Each axis step is the split
// T(dt/2 R_j) exp(dt abar_j D2) T(dt/2 R_j): the constant part of the
// diffusion exactly in Fourier space, the residual R_j (variable diffusion,
// central drift, reaction) by a second-order Taylor step. The axes are
// composed symmetrically (Strang), second order in time.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/tensor_train/tt_core.hpp"

namespace quorvane {

struct VarCoefTt {
    // A mode of an axis operator L_h (without v) that grows, exp(rate t),
    // where the exact flow keeps max|u| within max|u0|, and where the central
    // drift makes it: the node of the axis at or next to the mode's peak,
    // preferring one where b changes sign against an under-resolved cell.
    struct GrowingMode {
        std::size_t axis = 0;
        double rate = 0.0;  // the largest real part of L_h's eigenvalues
        std::size_t node = 0;
        double x = 0.0;       // lo + node h
        double peclet = 0.0;  // the cell Peclet number |b| h / (2 a) at the node
        bool sign_change = false;  // b has the other sign at a neighbour
        double diffusion_bound = 0.0;  // max |b| h / 2: a at least that everywhere keeps L_h from growing
    };

    std::vector<std::vector<double>> a_axis;
    std::vector<std::vector<double>> b_axis;
    std::vector<std::vector<double>> v_axis;  // an empty axis: no reaction
    std::vector<std::pair<double, double>> domain;
    double eps_round = 0.0;
    // The first axis (in order) whose operator grows; judged once by make,
    // refused by evolve's callers before any step.
    std::optional<GrowingMode> growing_mode;

    // The class checks (VarCoefOutOfClass): d >= 1, matching list lengths,
    // then per axis n_j >= 2, b and v of a's length (v may be empty), a > 0.
    // They are the only failures: the growth judgement is kept, not raised.
    static Expected<VarCoefTt> make(std::vector<std::vector<double>> a_axis, std::vector<std::vector<double>> b_axis,
                                    std::vector<std::vector<double>> v_axis,
                                    std::vector<std::pair<double, double>> domain, double eps_round);

    // Does axis j's operator L_h (without v) have an eigenvalue whose real
    // part exceeds rounding? Exact (dense QR) for axes of at most
    // kMaxJudgedNodes nodes; every size is admitted at once when all
    // off-diagonal entries are >= 0 (zero row sums then keep every eigenvalue
    // in the left half-plane) or b is the same at every node (L_h's symmetric
    // part is the diffusion's). Larger axes without either are not judged.
    static constexpr std::size_t kMaxJudgedNodes = 512;
    static std::optional<GrowingMode> judge_axis(const std::vector<double>& a, const std::vector<double>& b,
                                                 std::pair<double, double> domain, std::size_t axis);

    std::size_t ndim() const { return a_axis.size(); }
    double spacing(std::size_t j) const;

    // One axis step of length dt on every fibre of `core` (whose mode size
    // must equal the axis's sample count). Fails only on a stop request
    // (poll_stop), with `core` partly stepped.
    Status apply_axis(TtCore& core, std::size_t j, double dt) const;

    // Why steps beyond `tau_max` are refused: some frozen-coefficient mode
    // would grow beyond the reaction's own growth, or the residual Taylor
    // steps would leave their stability interval.
    struct StepLimit {
        double tau_max;
        bool taylor_interval;
    };

    // The largest step tau <= `tau` that passes two judgements of every
    // axis step (dt = tau on the last axis, tau/2 on the others); nullopt
    // when tau itself passes.
    // - The frozen-coefficient symbol |T(dt/2 r_i(theta))|^2
    //   exp(dt abar lambda(theta)) over all nodes i and grid frequencies
    //   theta, against exp(dt max(v, 0)). Exact for constant coefficients,
    //   but blind to the coupling of grid modes by variable ones.
    // - The residual R itself: half a step times a bound of its spectral
    //   radius and 2-norm, sqrt(|R|_1 |R|_inf), must lie in the Taylor
    //   polynomial's stability interval [-2, 0] (in modulus: R has
    //   eigenvalues of both signs where a crosses its mean). Beyond it
    //   T(dt/2 R) grows modes by up to (dt/2 |R|)^2 / 2 that the spectral step
    //   damps, and variable coefficients pass them back to the modes it
    //   keeps: the frozen symbol sees none of that. Constant a, b and v
    //   (each the same at every node of the axis) make R circulant and the
    //   symbol exact: their steps are judged by the symbol alone. A residual
    //   that is circulant up to a deviation D from the means of its
    //   diagonals R_c passes as well when its circulant step passes the
    //   symbol exactly and the deviation changes the step by at most 1e-8:
    //   |S - S_c| <= dt |D| (1 + x) P(x), x = dt/2 |R|, P(x) = 1 + x + x^2/2
    //   bounding |T|.
    // Where both refuse, `taylor_interval` is set only when leaving the
    // interval is what binds: a circulant step that amplifies is the
    // symbol's reason.
    // The symbol costs n^2 an axis, minutes for n = 10^5: a stop request
    // (poll_stop) ends the search.
    Expected<std::optional<StepLimit>> amplifying_step(double tau) const;

    // n_steps Strang steps of t_final/n_steps, each followed by rounding. A
    // step that makes a NaN or an infinity fails with kTtNonFinite (the
    // rounding refuses it).
    // The cores must match the axes (count and mode sizes).
    Status evolve(std::vector<TtCore>& cores, double t_final, std::size_t n_steps) const;
};

}  // namespace quorvane
