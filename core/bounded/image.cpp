#include "core/bounded/image.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/foundation/numeric.hpp"

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

double max_image_step(const DirichletHeat2ndChernoff& k) {
    const double length = k.inner.grid.xmax - k.inner.grid.xmin;
    return length * length / 12.0;
}

bool image_step_admitted(const DirichletHeat2ndChernoff& k, double tau) {
    return within_bound(tau, max_image_step(k));
}

std::optional<std::uint64_t> least_image_steps(const DirichletHeat2ndChernoff& k, double t) {
    const double tau_max = max_image_step(k);
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const double estimate = std::ceil(t / tau_max);
    // No count fits (this also keeps ++n below from wrapping).
    if (!(estimate < 0x1p64)) return std::nullopt;
    std::uint64_t n = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(estimate));
    // The quotient is rounded: settle on the exact least count. The
    // estimate lies within a few ulps of it, so either walk takes at most
    // some thousand counts (an ulp of counts near 2^64 is 4096 of them).
    while (n < kMax && !image_step_admitted(k, t / static_cast<double>(n))) ++n;
    if (!image_step_admitted(k, t / static_cast<double>(n))) return std::nullopt;
    while (n > 1 && image_step_admitted(k, t / static_cast<double>(n - 1))) --n;
    return n;
}

double longest_image_time(const DirichletHeat2ndChernoff& k) {
    // 2^64 - 1 steps divide t by 2^64 (the count's nearest double): exact.
    return floor_4_digits(std::ldexp(max_image_step(k), 64));
}

}  // namespace quorvane
