// The bound a refusal names: the largest step up to which every step passes.
#pragma once

#include <optional>

#include "core/line/heat_stability/generator_fault.hpp"
#include "core/line/heat_stability/kernel_view.hpp"
#include "core/line/heat_stability/verdict_cache.hpp"

namespace quorvane::heat_judgement {

// The scale of a kernel's steps from its generator: the unit dx^2 / max a,
// the floor below which steps are admitted unmeasured (tau |G| <= 2^-16,
// |G| the generator's size: such steps are I + tau G to within less than
// the slack, and G is dissipative), and the drift's speed across cells.
// False where the grid is too fine or too coarse for steps of that size to
// be doubles.
bool step_scale(const Grid1D<double>& g, const GeneratorSizes& s, KernelVerdict& v);

// The scan from the floor up to `top` (a step known not to pass): the
// largest point X such that every step up to X is certified (see above),
// 0 when the floor itself does not pass; nullopt when the caller asked to
// stop.
std::optional<double> scan_bound(const KernelView& kernel, const KernelVerdict& v, double top);

}  // namespace quorvane::heat_judgement
