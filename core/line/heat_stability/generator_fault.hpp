// Whether a variable coefficient's small-step limit grows data without its
// mean, which no step count cures: the coefficient fault a refusal names
// before any step is judged.
#pragma once

#include <optional>

#include "core/line/heat_stability.hpp"
#include "core/line/heat_stability/kernel_view.hpp"

namespace quorvane::heat_judgement {

// The sizes that scale a kernel's steps: the largest a and |a'| at the
// nodes, and the generator's size (its row sums).
struct GeneratorSizes {
    double a_top = 0.0;
    double a1_top = 0.0;
    double size = 0.0;
};

// Whether the kernel's small-step limit grows data without its mean in the
// grid 2-norm, and where: a fault, no fault, or nullopt where it was not
// judged (the coefficient fails at a node, which is the step's own error to
// report; a product overflowed; the caller asked to stop), which is then
// not kept. "linear" ends are refused with any variable coefficient: their
// straight-line continuation is no boundary condition for (a u')', and
// with a varying a the end rows grow data (exponentially on small grids,
// to many times max|u0| on large ones), where the exact flow has no such
// ends to grow at.
// With `regardless` the growing direction is named whatever its size (for a
// coefficient whose steps grow although its generator stayed below the
// slack). `sizes`, when given, receives the generator's sizes.
std::optional<std::optional<CoefficientFault>> generator_fault(const KernelView& kernel, const Grid1D<double>& grid,
                                                               bool& stopped, bool regardless = false,
                                                               GeneratorSizes* sizes = nullptr);

}  // namespace quorvane::heat_judgement
