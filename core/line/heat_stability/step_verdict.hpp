// One step's verdict: whether a step of tau grows data without its mean,
// by the band factorisation where the step's reads fit a band and by
// Lanczos where they spread too far for one.
#pragma once

#include <optional>

#include "core/foundation/function_ref.hpp"
#include "core/line/heat_stability/band_factor.hpp"
#include "core/line/heat_stability/kernel_view.hpp"

namespace quorvane::heat_judgement {

// One step of tau measured from scratch: factorised where its band fits
// (its factor kept in `keep` when it passes), by Lanczos where it does
// not, which `wide` says.
std::optional<StepVerdict> measure_step(const KernelView& kernel, const Grid1D<double>& g, double tau, bool& stopped,
                                        FunctionRef<bool()> abandon, bool* wide = nullptr,
                                        BandFactor* keep = nullptr);

}  // namespace quorvane::heat_judgement
