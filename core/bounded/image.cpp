#include "core/bounded/image.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/foundation/numeric.hpp"
#include "core/foundation/step_count.hpp"

namespace quorvane {

Expected<HalfSpaceRegion> HalfSpaceRegion::make(std::vector<double> origin, std::vector<double> normal) {
    for (const std::vector<double>* v : {&origin, &normal})
        if (const double* bad = first_non_finite<double>(*v))
            return domain_error("HalfSpaceRegion: coordinates must be finite", *bad);
    return HalfSpaceRegion{std::move(origin), std::move(normal)};
}

Expected<HalfSpaceRobin> HalfSpaceRobin::make(HalfSpaceRegion region, double alpha, double beta) {
    if (!std::isfinite(alpha) || !std::isfinite(beta))
        return domain_error("HalfSpaceRobin: alpha and beta must be finite", std::nan(""));
    if (!(alpha >= 0.0) || !(beta > 0.0))
        return domain_error("HalfSpaceRobin: require alpha \u2265 0 and beta > 0 (well-posed Robin BC)", alpha);
    return HalfSpaceRobin{std::move(region), alpha, beta};
}

double image_wall_step(const DirichletHeat2ndChernoff& k) {
    const double length = k.inner.grid.xmax - k.inner.grid.xmin;
    return length * length / 12.0;
}

double max_image_step(const DirichletHeat2ndChernoff& k) {
    return std::min(image_wall_step(k), unit_heat2_formed_step());
}

bool image_step_admitted(const DirichletHeat2ndChernoff& k, double tau) {
    return within_bound(tau, max_image_step(k));
}

std::optional<std::uint64_t> least_image_steps(const DirichletHeat2ndChernoff& k, double t) {
    const StepCounts counts = admitted_counts(t, std::numeric_limits<std::uint64_t>::max(),
                                              [&](double tau) { return image_step_admitted(k, tau); });
    if (counts.outcome != StepCounts::Outcome::Fits) return std::nullopt;
    return counts.least;
}

double longest_image_time(const DirichletHeat2ndChernoff& k) {
    // 2^64 - 1 steps divide t by 2^64 (the count's nearest double): exact.
    return floor_4_digits(std::ldexp(max_image_step(k), 64));
}

}  // namespace quorvane
