// The bound a refusal names: the largest step up to which every step passes.
#pragma once

#include <cstddef>
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

// The bound below `top` (a step known not to pass, or infinity), 0 when
// even the floor does not pass; nullopt when the caller asked to stop: on
// grids of fewer than kSearchedNodes nodes the certified scan
// (margin_scan), on larger ones the search (search_bound).
inline constexpr std::size_t kSearchedNodes = 256;
std::optional<double> step_bound(const KernelView& kernel, KernelVerdict& v, double top);

// The search: the passing end of a bracket kBracket wide around the first
// step it finds growing. The verdicts it measures as a call would are
// kept in v.
std::optional<double> search_bound(const KernelView& kernel, KernelVerdict& v, double top);

}  // namespace quorvane::heat_judgement
