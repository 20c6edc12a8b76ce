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
    std::vector<std::vector<double>> a_axis;
    std::vector<std::vector<double>> b_axis;
    std::vector<std::vector<double>> v_axis;  // an empty axis: no reaction
    std::vector<std::pair<double, double>> domain;
    double eps_round = 0.0;

    // The class checks (VarCoefOutOfClass): d >= 1, matching list lengths,
    // then per axis n_j >= 2, b and v of a's length (v may be empty), a > 0.
    static Expected<VarCoefTt> make(std::vector<std::vector<double>> a_axis, std::vector<std::vector<double>> b_axis,
                                    std::vector<std::vector<double>> v_axis,
                                    std::vector<std::pair<double, double>> domain, double eps_round);

    std::size_t ndim() const { return a_axis.size(); }
    double spacing(std::size_t j) const;

    // One axis step of length dt on every fibre of `core` (whose mode size
    // must equal the axis's sample count). Fails only on a stop request
    // (poll_stop), with `core` partly stepped.
    Status apply_axis(TtCore& core, std::size_t j, double dt) const;

    // The largest step tau <= `tau` whose axis steps do not amplify beyond
    // the reaction's own growth, judged by the frozen-coefficient symbol
    // |T(dt/2 r_i(theta))|^2 exp(dt abar lambda(theta)) over all nodes i and
    // grid frequencies theta, against exp(dt max(v, 0)); nullopt when tau
    // itself passes. Each judgement costs n^2 symbols an axis, minutes for
    // n = 10^5: a stop request (poll_stop) ends the search.
    Expected<std::optional<double>> amplifying_step(double tau) const;

    // n_steps Strang steps of t_final/n_steps, each followed by rounding. A
    // step that makes a NaN or an infinity fails with kTtNonFinite (the
    // rounding refuses it).
    // The cores must match the axes (count and mode sizes).
    Status evolve(std::vector<TtCore>& cores, double t_final, std::size_t n_steps) const;
};

}  // namespace quorvane
