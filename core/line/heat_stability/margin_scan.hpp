// The certified scan behind a refusal's bound on grids of fewer than
// kSearchedNodes nodes (see step_bound.hpp): from the floor up, each leap
// certified by the margins at its ends.
#pragma once

#include <optional>

#include "core/line/heat_stability/kernel_view.hpp"
#include "core/line/heat_stability/verdict_cache.hpp"

namespace quorvane::heat_judgement {

// The scan from the floor up to `top` (a step known not to pass): the
// largest point X such that every step up to X is certified (see
// margin_scan.cpp), 0 when the floor itself does not pass; nullopt when
// the caller asked to stop.
std::optional<double> margin_scan(const KernelView& kernel, const KernelVerdict& v, double top);

}  // namespace quorvane::heat_judgement
