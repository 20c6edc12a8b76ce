// The variable-coefficient heat kernel as its judgement reads it.
//
// heat2, heat4 and heat6 differ in their node steps, not in how a step is
// judged: the judgement needs the grid, each node's step written out as the
// linear form of its reads, and the coefficient a and a' at a point. The
// view gives those through references to the kernel's own functions, so
// that every part of the judgement is compiled once for the three kernels.
#pragma once

#include <cstddef>

#include "core/foundation/function_ref.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/line/node_form.hpp"

namespace quorvane::heat_judgement {

struct KernelView {
    const Grid1D<double>& grid;
    // Node i's step of tau as the linear form of its reads (with the last
    // argument the points alone); false where the step fails at the node.
    FunctionRef<bool(std::size_t, double, NodeForm&, bool)> node_form;
    FunctionRef<double(double)> a, a_prime;
};

}  // namespace quorvane::heat_judgement
