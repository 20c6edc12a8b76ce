// Variable-coefficient tensor-train evolution for an additive-separable
// operator L = sum_j L_j, L_j = d/dx_j(a_j(x_j) d/dx_j) + b_j(x_j) d/dx_j + v_j(x_j),
// every axis periodic on its nodes. Each axis step is the split
// T(dt/2 R_j) exp(dt abar_j D2) T(dt/2 R_j): the constant part of the
// diffusion exactly in Fourier space, the residual R_j (variable diffusion,
// central drift, reaction) by a second-order Taylor step. The axes are
// composed symmetrically (Strang), second order in time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
        double rate = 0.0;  // the real part of a growing eigenvalue of L_h (the largest where a QR judged)
        std::size_t node = 0;
        double x = 0.0;       // lo + node h
        double peclet = 0.0;  // the cell Peclet number |b| h / (2 a) at the node
        bool sign_change = false;  // b has the other sign at a neighbour
        double diffusion_bound = 0.0;  // max |b| h / 2: a at least that everywhere keeps L_h from growing
    };

    // An axis whose a, b or v varies from node to node and that has more
    // than kMaxDenseNodes nodes: its step matrix is dense, and judging its
    // spectrum would take more than 10 kMaxDenseNodes^3 flops a step length.
    struct UnjudgedAxis {
        std::size_t axis = 0;
        std::size_t n = 0;
        double diffusion_bound = 0.0;  // max |b| h / 2
    };

    // An axis whose Taylor steps, which form R (R u), leave the double range
    // at every step length: |R|_inf^2 beyond it, or R itself no double (a
    // spacing whose square is not normal, or a/h^2, |b|/h or |v| beyond the
    // range).
    struct OverflowingAxis {
        std::size_t axis = 0;
        double residual_norm = 0.0;  // |R|_inf (inf or NaN where R is no double)
        double spacing = 0.0;
    };

    // Why a step is refused, and the steps that pass.
    struct StepLimit {
        // A step that every axis admits: the largest (to the neighbouring
        // double) where only circulant axes refuse, within 2^-8 of it where
        // a dense judgement binds.
        double tau_pass = 0.0;
        bool largest = false;  // tau_pass is the largest admitted step
        // The step a refusal names: tau_pass to four digits, rounded inwards
        // (floor_4_digits_inside), judged itself and lowered until it passes.
        double tau_named = 0.0;
        std::size_t axis = 0;  // the first axis that refuses the step asked for
        // The step itself passes, but a step twice as long does not (an axis
        // whose step matrix is dense, see amplifying_step).
        bool doubled = false;
        // Refused for |S|_inf (then `factor`, of one axis step), the radius
        // passing.
        bool by_norm = false;
        // Refused as the Taylor steps would cancel beyond rounding: `factor`
        // holds dt/2 |R|_inf, above 8192.
        bool by_rounding = false;
        // What one time step of that axis (twice as long where `doubled`)
        // multiplies its fastest mode by (the spectral radius of its step
        // matrix; inf when the step overflows), and what the exact flow may:
        // exp(tau max(v, 0)).
        double factor = 0.0;
        double allowed = 1.0;
        // Refused for the powers of its steps: every step passes, but on
        // axis `axis` the call's n_steps of them multiply max|u| by `factor`
        // (|S^n_steps|_inf, S the axis's map of one time step, in units of
        // exp(t_final max(v, 0))), beyond `allowed` = kPowerFactor times
        // `flow`, what the flow they approximate reaches (max(1,
        // |exp(t_final L_h)|_inf) in the same units). Where several axes
        // refuse, the one of the largest ratio factor / flow.
        bool by_powers = false;
        double flow = 1.0;
        // The least count of the counts the step limit admits (or, refused
        // for its powers, of twice the count asked for), doubled until a call
        // of it passes both judgements; 0 where none up to 2^64 - 1 does, or
        // the powers stop changing above the bound (the three-point operator
        // itself overshoots that much over t_final).
        std::uint64_t count_named = 0;
    };

    // The longest step each axis has been judged to admit, shared by the
    // copies of one evolver.
    struct StepMemory;

    std::vector<std::vector<double>> a_axis;
    std::vector<std::vector<double>> b_axis;
    std::vector<std::vector<double>> v_axis;  // an empty axis: no reaction
    std::vector<std::pair<double, double>> domain;
    double eps_round = 0.0;
    // The first axis (in order) whose operator grows, or that cannot be
    // judged; judged once by make, refused by evolve's callers before any
    // step.
    std::optional<GrowingMode> growing_mode;
    std::optional<UnjudgedAxis> unjudged_axis;
    std::optional<OverflowingAxis> overflowing_axis;
    std::shared_ptr<StepMemory> memory;

    static constexpr std::size_t kMaxDenseNodes = 1024;
    // What a dense step of length dt (and one of 2 dt) may multiply max|u|
    // by (|S|_inf), in units of exp(dt max(v, 0)).
    static constexpr double kNormFactor = 4.0;
    // What the n_steps steps of an admitted call may multiply max|u| by on
    // each axis beyond what the flow they approximate does: |S_j^n_steps|_inf
    // <= kPowerFactor max(1, |exp(t_final L_h)|_inf), both in units of
    // exp(t_final max(v, 0)). Steps whose radius passes can still grow data
    // for thousands of steps before they decay (S is not normal: 14.2 after
    // 4437 steps on a 47-node axis of cell Peclet number up to 1.97, where
    // |exp(t L_h)|_inf is 0.014 at that t); where L_h itself overshoots
    // (under-resolved drift) the powers follow it, and are not refused for
    // what it does (10.98 at t = 0.1 on 512 nodes of a one-sign drift with
    // a = 1e-6, as the powers there).
    static constexpr double kPowerFactor = 5.0;
    // The largest dt/2 |R|_inf of a step: its Taylor steps u + x r + x^2/2 q
    // cancel to rounding, eps x^2/2 of the data, which this keeps below 1e-8.
    static constexpr double kMaxTaylorArgument = 8192.0;

    // The class checks (VarCoefOutOfClass): d >= 1, matching list lengths,
    // then per axis n_j >= 2, b and v of a's length (v may be empty), a > 0.
    // Then each axis's operator L_h (without v) is judged (kept, not
    // raised): does it have an eigenvalue whose real part exceeds rounding?
    // Admitted at once when all off-diagonal entries are >= 0 (zero row sums
    // then keep every eigenvalue in the left half-plane) or b is the same at
    // every node (L_h's symmetric part is the diffusion's); otherwise by the
    // tests of judge_axis_growth (a weighted certificate and a search, O(n)
    // and O(64^2 n); a dense QR up to kMaxDenseNodes nodes). Before that, an
    // axis whose residual steps overflow at every length is kept as
    // overflowing_axis (and the axes after it are not judged). A stop request
    // (poll_stop) ends the judgement: that is the only other failure.
    static Expected<VarCoefTt> make(std::vector<std::vector<double>> a_axis, std::vector<std::vector<double>> b_axis,
                                    std::vector<std::vector<double>> v_axis,
                                    std::vector<std::pair<double, double>> domain, double eps_round);

    std::size_t ndim() const { return a_axis.size(); }
    double spacing(std::size_t j) const;

    // One axis step of length dt on every fibre of `core` (whose mode size
    // must equal the axis's sample count). Fails only on a stop request
    // (poll_stop), with `core` partly stepped.
    Status apply_axis(TtCore& core, std::size_t j, double dt) const;

    // nullopt when every axis admits its step within a time step of tau
    // (tau on the last axis, tau/2 twice on the others): one step of length
    // dt is the linear map S = T E T on the axis (T the Taylor residual step,
    // E the spectral step), and it is admitted when its spectral radius is
    // at most exp(dt max(v, 0)), what exp(dt L) allows, up to rounding. For
    // a, b and v the same at every node S is circulant and its symbol gives
    // the radius (n operations); otherwise S is formed (11 n^2) and its
    // eigenvalues found by QR (10 n^3), its |S|_inf must stay within
    // kNormFactor times exp(dt max(v, 0)) (long steps can keep the radius
    // and still amplify data once by 10^4), and a step of 2 dt must pass the
    // same two tests (S is not normal: just below the edge its slowest modes
    // turn parallel to the constant and decay far slower than the exact
    // flow's). On every axis dt/2 |R|_inf must stay within
    // kMaxTaylorArgument. Without a new judgement an axis admits only a step
    // at or below the edge a refusal's search found on it, or one equal to
    // one of the last StepMemory::kKept steps it admitted. Otherwise the
    // limit: a search of about a dozen probes where a dense judgement binds
    // (each one or two QRs), to the neighbouring double where only
    // circulant ones do. A stop request (poll_stop) ends it.
    //
    // A call whose steps pass is then judged on what it applies: on every
    // axis with a dense step matrix, S_j^n_steps (S_j its map of one time
    // step), by repeated squaring of the n x n matrix (2 n^3 flops a
    // product, at most about 2 log2(n_steps) products, fewer where the
    // powers reach their limit or a bound of them passes), its |.|_inf
    // within kPowerFactor times max(1, |exp(t_final L_h)|_inf), formed (by
    // scaling and squaring, about 5 + log2(t_final |L_h|_inf) products)
    // only where the powers exceed kPowerFactor (StepLimit::by_powers). Each
    // axis is judged against its own flow: the semi-discrete flow of L is
    // the product of the axes' flows. The norms are kept per (step, count)
    // and the flows per t_final as the steps are. A refusal names a count
    // (count_named) that passes both judgements.
    Expected<std::optional<StepLimit>> amplifying_step(double t_final, std::uint64_t n_steps) const;

    // n_steps Strang steps of t_final/n_steps, each followed by rounding. A
    // step that makes a NaN or an infinity fails with kTtNonFinite (the
    // rounding refuses it).
    // The cores must match the axes (count and mode sizes).
    Status evolve(std::vector<TtCore>& cores, double t_final, std::size_t n_steps) const;
};

}  // namespace quorvane
