// Image-method walls for the unit heat step: before each step the state is
// continued beyond both end nodes by its even image (zero flux), its odd
// image (absorbing) or its exponentially damped even image (Robin), and the
// inner kernel reads that continuation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/foundation/boundary.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel1d.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/diffusion.hpp"
#include "core/line/read_reach.hpp"

namespace quorvane {

struct HalfSpaceRegion {
    std::vector<double> origin;
    std::vector<double> normal;

    // Every coordinate finite, origin first ("HalfSpaceRegion: coordinates
    // must be finite").
    static Expected<HalfSpaceRegion> make(std::vector<double> origin, std::vector<double> normal);
};

// The wall condition alpha u - beta du/dn = 0.
struct HalfSpaceRobin {
    HalfSpaceRegion region;
    double alpha = 0.0;
    double beta = 1.0;

    // alpha, beta finite; alpha >= 0 (-0.0 passes), beta > 0.
    static Expected<HalfSpaceRobin> make(HalfSpaceRegion region, double alpha, double beta);
};

// One step of `f.inner` on a copy of src whose boundary rule is f's image
// rule; the rule stored in src is not used.
template <class F>
Status par_apply_pointwise_owned(const F& f, const GridFn<double>& src, GridFn<double>& dst,
                                 ScratchPool<double>& pool, double tau) {
    std::vector<double> copy = pool.take(src.values.size());
    std::copy(src.values.begin(), src.values.end(), copy.begin());
    GridFn<double> imaged{src.grid, std::move(copy)};
    imaged.grid.boundary = f.image_rule();
    Status st = par_apply_pointwise(dst, f.inner, imaged, tau);
    pool.give_back(std::move(imaged.values));
    return st;
}

// Zero flux at both ends: the even image u_j.
struct ReflectedHeatChernoff {
    DiffusionChernoff inner;
    HalfSpaceRegion region;

    BoundaryPolicy<double> image_rule() const { return BoundaryPolicy<double>::reflect(); }
    Status apply_into(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>& pool, double tau) const {
        return par_apply_pointwise_owned(*this, src, dst, pool, tau);
    }
};

// Absorbing ends: the odd image -u_j. The image carries one sign change,
// which is right only while the step reads within one fold of the interval.
struct DirichletHeat2ndChernoff {
    DiffusionChernoff inner;
    HalfSpaceRegion region;

    BoundaryPolicy<double> image_rule() const { return BoundaryPolicy<double>::of(BoundaryTag::OddReflect); }
    Status apply_into(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>& pool, double tau) const {
        return par_apply_pointwise_owned(*this, src, dst, pool, tau);
    }
};

// Robin ends: the even image damped by exp(-2 (alpha/beta) h k), k nodes
// beyond the wall. First order: the damping is a one-sided difference.
struct RobinHeatChernoff {
    DiffusionChernoff inner;
    HalfSpaceRobin robin;

    BoundaryPolicy<double> image_rule() const { return BoundaryPolicy<double>::robin_image(robin.alpha, robin.beta); }
    Status apply_into(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>& pool, double tau) const {
        return par_apply_pointwise_owned(*this, src, dst, pool, tau);
    }
};

// Whether every read of a step of tau can be located: the image rules fold
// a read back only once it has a cell, so the inner heat step's reads
// decide. (The odd image's own bound, L^2/12, keeps its reads within one
// grid length.)
inline bool step_reads_located(const ReflectedHeatChernoff& k, double tau) { return heat_reads_located(k.inner, tau); }
inline bool step_reads_located(const RobinHeatChernoff& k, double tau) { return heat_reads_located(k.inner, tau); }

// The longest step the odd image serves: a step reads as far as 2 sqrt(3 tau)
// from its node, so beyond tau = L^2/12 a node next to one wall reads past
// the opposite wall, where the single-fold image has the wrong sign.
double image_wall_step(const DirichletHeat2ndChernoff& k);
// That or, for L > 2 sqrt(DBL_MAX), the longest step whose reads can be
// formed (unit_heat2_formed_step), whichever is less.
double max_image_step(const DirichletHeat2ndChernoff& k);
// Whether steps of tau stay within it (within_bound: a bound reused as
// t = k X in k steps is admitted).
bool image_step_admitted(const DirichletHeat2ndChernoff& k, double tau);
// The least step count whose steps of t/n are admitted; none when even
// 2^64 - 1 steps are too long.
std::optional<std::uint64_t> least_image_steps(const DirichletHeat2ndChernoff& k, double t);
// The longest t that 2^64 - 1 admitted steps cover, rounded down to four
// digits (0 when that rounds to nothing).
double longest_image_time(const DirichletHeat2ndChernoff& k);

}  // namespace quorvane
