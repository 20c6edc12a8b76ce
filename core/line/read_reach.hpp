// How long a step may be before its reads can no longer be located.
//
// A read more than 2^53 cells from a grid's first node has no cell: there
// neighbouring cells are no longer distinct doubles. The heat steps read at
// fixed offsets growing like sqrt(a tau) from each node, so every step up to
// some length reads within and every longer one does not. Steps are judged
// here on the read points the step itself forms, before any work, so that a
// refusal can name the longest step (and the step counts) that pass.
#pragma once

#include "core/line/diffusion.hpp"
#include "core/line/diffusion4_zeta4.hpp"
#include "core/line/diffusion6_zeta6.hpp"
#include "core/line/drift_reaction.hpp"
#include "core/line/shift1d.hpp"

namespace quorvane {

// Why a step longer than the longest one located fails.
inline constexpr const char* kReadsBeyondGrid =
    "a step this long reads u more than 2^53 cells beyond the grid, where no cell can be told apart from its "
    "neighbour";

// Whether every read of one step of tau by the heat kernel k can be located
// on its grid (read_is_located). A constant coefficient reads at the same
// offsets from every node, so the end nodes read farthest; a varying one is
// probed at every node. A node whose step fails on its own (a coefficient
// below 0, a tau whose points cannot be formed) counts as located: the step
// reports that error itself.
bool heat_reads_located(const DiffusionChernoff& k, double tau);
bool heat_reads_located(const Diffusion4thChernoff& k, double tau);
bool heat_reads_located(const Diffusion6thChernoff& k, double tau);

// The same for a shift step (reads at x +- 2 sqrt(tau a(x)) and at the foot
// x + 2 tau b(x)) and for a drift step (its foot, along b or, `reversed`,
// against it). Every node is probed: the coefficients may vary. A node whose
// a the step refuses counts as located, as above.
bool shift_reads_located(const ShiftChernoff1D& k, double tau);
bool drift_reads_located(const DriftReactionChernoff& k, double tau, bool reversed = false);

}  // namespace quorvane
