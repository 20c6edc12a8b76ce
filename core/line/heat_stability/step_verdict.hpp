// One step's verdict: whether a step of tau grows data without its mean,
// by the band factorisation where the step's reads fit a band and by
// Lanczos where they spread too far for one.
#pragma once

#include <limits>
#include <optional>
#include <vector>

#include "core/foundation/function_ref.hpp"
#include "core/line/heat_stability/band_factor.hpp"
#include "core/line/heat_stability/kernel_view.hpp"
#include "core/line/heat_stability/lanczos.hpp"

namespace quorvane::heat_judgement {

// What a search asks of a measurement beside its verdict.
struct MeasureExtras {
    // In: measure by Lanczos also where the band fits but would cost more
    // than a Lanczos run (a bound from below, for points a search passes
    // through on its way).
    bool by_cost = false;
    // In: factorise in the reversed order (see BandOrder); out: where in
    // that order a step found growing failed (see step_verdict).
    bool reversed = false;
    std::size_t failed_at = 0;
    bool wide = false;          // out: measured by Lanczos ...
    bool dearer = false;        // ... although the band fits
    // Out: the largest Ritz value (|P B x|^2 / |x|^2 - 1 at most, on data
    // without its mean): how near a passing step is to growing.
    double top = std::numeric_limits<double>::quiet_NaN();
    // In: also the data the step grows most (scaled values, node order):
    // out in `mode`, the Ritz vector where Lanczos measured, the factor's
    // mode where a factorisation passed (empty where neither).
    bool want_mode = false;
    std::vector<double> mode;
};

// One step of tau measured from scratch: factorised where its band fits
// (its factor kept in `keep` when it passes), by Lanczos where it does not.
std::optional<StepVerdict> measure_step(const KernelView& kernel, const Grid1D<double>& g, double tau, bool& stopped,
                                        FunctionRef<bool()> abandon, BandFactor* keep = nullptr,
                                        MeasureExtras* extras = nullptr);

// The largest growth of one step of tau that Lanczos finds in `most` steps
// from `start` (scaled values, node order), with its vector: a bound from
// below, which a start near the growing data makes sharp in a few steps.
// The run ends once a Ritz value passes the slack (the step then grows
// some data), and with `settle` > 0 once it has settled below (see
// lanczos_top). nullopt where `start` is not of the grid's size, the step
// cannot be formed or the caller asked to stop (`stopped`).
std::optional<Ritz> growth_from(const KernelView& kernel, const Grid1D<double>& g, double tau, std::vector<double> start,
                                std::size_t most, double settle, bool& stopped);

// The limit a Ritz value of the growth form is held to: (1 + kStepSlack)^2 - 1.
double growth_limit();

}  // namespace quorvane::heat_judgement
