// Adaptive step sizes for the 1-D Chernoff kernels.
//
// Each substep is measured by step doubling: one step of size tau against two
// steps of tau/2. For a kernel of global order p the difference of the two is
// (1 - 2^-p) times the local error of the half-step result, which is why the
// second-order kernels divide it by 3 (2^2 - 1) and the first-order shift
// kernel takes it as it is. A proportional-integral controller turns the
// estimate into the next step size.
#pragma once

#include <cstddef>
#include <optional>
#include <variant>
#include <vector>

#include "core/foundation/coeff.hpp"
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

struct PiController {
    double tol_abs = 1e-6;
    double tol_rel = 1e-4;
    double safety = 0.9;
    double fac_min = 0.2;
    double fac_max = 5.0;
    std::size_t max_substeps = 100000;
    double k_i = 0.35;
    double k_p = 0.2;
    double err_prev = 1.0;
};

// The smallest error the controller divides by.
inline constexpr double kPiErrorFloor = 1.0e-300;

// Per-kernel constants: the step-doubling divisor 2^p - 1 and the PI gains.
template <class K>
struct AdaptiveTraits {
    static constexpr double error_divisor = 3.0;
    static constexpr double k_i = 0.35;
    static constexpr double k_p = 0.2;
};

// The shift kernel is first order: the doubling difference is the error.
template <>
struct AdaptiveTraits<ShiftChernoff1D> {
    static constexpr double error_divisor = 1.0;
    static constexpr double k_i = 0.7;
    static constexpr double k_p = 0.4;
};

template <class K>
struct AdaptiveChernoff {
    K kernel;
    // Scratch grid functions, created by the first integration and reused.
    std::optional<GridFn<double>> full;
    std::optional<GridFn<double>> half;
    std::optional<GridFn<double>> half2;
    ScratchPool<double> pool;
    PiController controller;

    static AdaptiveChernoff make(K kernel, double tol_abs, double tol_rel);

    // e^{tL} applied to `state` over [0, t] by controlled substeps; returns the
    // new values. t must be finite and > 0 (the caller checks it). With
    // `range` (a transport kernel) every step's values are clipped to the
    // range its flow keeps, walked on by the step's reaction (see
    // core/foundation/flow_range.hpp), and *range becomes the range after
    // the accepted steps. Only the scratch buffers, the pool and err_prev
    // are touched on failure.
    Expected<std::vector<double>> integrate(const GridFn<double>& state, double t, FlowRange* range = nullptr);

    // The longest step below `refused` (a step whose reads lie beyond 2^53
    // cells, kReadTooFar) whose reads all lie within, by bisection over the
    // doubles' bit patterns: at most 64 steps of `state`. A call of t at most
    // that never takes a substep reading too far.
    double longest_read_step(const GridFn<double>& state, double refused);
};

using AdaptiveKernel =
    std::variant<AdaptiveChernoff<DiffusionChernoff>, AdaptiveChernoff<Diffusion4thChernoff>,
                 AdaptiveChernoff<Diffusion6thChernoff>, AdaptiveChernoff<DriftReactionChernoff>,
                 AdaptiveChernoff<ShiftChernoff1D>>;

struct AdaptiveEvolver {
    GridFn<double> state;
    AdaptiveKernel kernel;
    // For the transport kernels ("drift", "shift"): the range their steps
    // are clipped to, that of the state's read at construction walked on
    // by the accepted steps since.
    std::optional<FlowRange> range;

    // The kernel `name` with its default coefficients (heat2, heat4, heat6:
    // unit diffusion; drift: b = 1/2, c = 0; shift: a = 1/2, b = c = 0) on
    // the checked state's grid (from make_checked_state).
    static Expected<AdaptiveEvolver> build(KernelName name, GridFn<double> state, double tol_abs, double tol_rel);

    // The shift kernel over sampled coefficients.
    // A stop request while the range of u0's read is measured ends it.
    static Expected<AdaptiveEvolver> with_arrays(GridFn<double> state, SharedCoeff a, SharedCoeff b, SharedCoeff c,
                                                 double c_norm_bound, double tol_abs, double tol_rel);

    // The values after time t (finite and > 0, checked by the caller); the
    // state is not written, the kernel's scratch buffers are, and on
    // success the range.
    Expected<std::vector<double>> integrate(double t);
    // AdaptiveChernoff::longest_read_step of the state.
    double longest_read_step(double refused);
};

}  // namespace quorvane
