// Killing: the heat step with mass removed outside a box (hard killing) or
// at a constant rate kappa (soft killing, e^{t(L - kappa)}).
#pragma once

#include <cstddef>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/diffusion.hpp"
#include "core/line/read_reach.hpp"

namespace quorvane {

// The box [lo, hi) on one axis; NaN counts as outside.
struct BoxRegion {
    double lo = 0.0;
    double hi = 1.0;

    static Expected<BoxRegion> make(double lo, double hi);
    bool contains(double x) const { return lo <= x && x < hi; }
};

// The position of a box end in cells from xmin, (end - xmin)/dx, or the node it lies on when
// it is within the rounding of that position (NaN stays NaN: outside).
double box_end_in_cells(double end, double xmin, double dx);

// The inner step, then every node outside the box set to 0. Zeroing after a
// step of width sqrt(tau) places the absorbing wall within ~sqrt(tau) of
// the box edge, so the error is O(sqrt(tau)) while sqrt(tau) >> dx.
struct KillingChernoff {
    DiffusionChernoff inner;
    BoxRegion box;

    Status apply_into(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>& pool, double tau) const;
};

// e^{-tau kappa/2} C(tau) e^{-tau kappa/2}: a constant rate commutes with the
// diffusion, so the product is exact in the rate and keeps C's order.
struct SoftKillingChernoff {
    DiffusionChernoff inner;
    double kappa = 0.0;

    Status apply_into(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>& pool, double tau) const;
};

// Whether every read of a step of tau can be located: the killing and the
// rate read nothing, so the inner heat step's reads decide.
inline bool step_reads_located(const KillingChernoff& k, double tau) { return heat_reads_located(k.inner, tau); }
inline bool step_reads_located(const SoftKillingChernoff& k, double tau) { return heat_reads_located(k.inner, tau); }

}  // namespace quorvane
