// The adjoint (dual) evolution exp(t A*) for one of the five 1-D kernels.
//
// The heat kernels and the shift kernel with a = 1/2, b = c = 0 generate
// self-adjoint operators, so their adjoint step is the ordinary step. The
// drift generator A = b d/dx + c has the formal adjoint -b d/dx + (c - b'),
// which for constant b is transport at the same speed the other way: its
// step runs along the reversed characteristic. On a periodic grid with a
// symmetric interpolant the reversed step is the transpose of the forward
// step, so <F* v, u> = <v, F u> to rounding.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "core/foundation/boundary.hpp"
#include "core/line/diffusion.hpp"
#include "core/line/diffusion4_zeta4.hpp"
#include "core/line/diffusion6_zeta6.hpp"
#include "core/line/drift_reaction.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/flow_range.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/line/kernel_select.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/shift1d.hpp"

namespace quorvane {

using AdjointKernel =
    std::variant<DiffusionChernoff, Diffusion4thChernoff, Diffusion6thChernoff, DriftReactionChernoff, ShiftChernoff1D>;

struct AdjointEvolver {
    AdjointKernel kernel;
    bool self_adjoint = true;  // false only for "drift" built so
    GridFn<double> state;
    // For "drift": the range its transport steps are clipped to, that of
    // the state's read at construction walked on by the steps since (see
    // core/foundation/flow_range.hpp).
    std::optional<FlowRange> range;

    // The case `name` with its default coefficients on the checked state's
    // grid (the state comes from make_checked_state). self_adjoint is kept
    // for "drift" only; the other four are always self-adjoint.
    static Expected<AdjointEvolver> build(KernelName name, bool self_adjoint, GridFn<double> state);

    // 1 for the shift kernel, 2 for the others.
    int order() const;

    // Whether every read of one adjoint step of tau can be located (see
    // core/line/read_reach.hpp): judged before the steps are taken.
    bool reads_located(double tau) const;

    // One adjoint step src -> dst.
    Status step(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>& pool, double tau) const;

    // n_steps adjoint steps of t/n_steps from `values` (validated first as a
    // grid function of the state's grid); the state itself is not touched.
    // With `range` (for "drift") every step is clipped to it, walked on by
    // the step's reaction, and on success it becomes the range after them.
    Expected<std::vector<double>> evolve(std::vector<double> values, double t, std::size_t n_steps,
                                         FlowRange* range = nullptr) const;
};

}  // namespace quorvane
