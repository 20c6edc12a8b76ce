#include "core/geometric/adjoint_fp.hpp"

#include <cfloat>
#include <cmath>
#include <utility>
#include <vector>

#include "core/foundation/stop.hpp"

namespace quorvane {

namespace {

// h = 2 sqrt(a tau) as sqrt(tau a) + sqrt(tau a); where tau a leaves the
// normal range (overflow, or underflow that drops digits or all of them)
// the root is taken of each factor, sqrt(tau) sqrt(a), which stays in range
// whenever h does.
double diffusive_shift(double a, double tau) {
    const double p = tau * a;
    const double root = (std::isfinite(p) && p >= DBL_MIN) ? std::sqrt(p) : std::sqrt(tau) * std::sqrt(a);
    return root + root;
}

}  // namespace

Expected<AdjointFokkerPlanck> AdjointFokkerPlanck::make(double a, double b, double c) {
    if (!std::isfinite(a) || !std::isfinite(b) || !std::isfinite(c)) {
        return domain_error("adjoint_fp: a, b, c must be finite", a);
    }
    if (a < 0.0) return domain_error("adjoint_fp: a must be >= 0 (diffusion coefficient)", a);
    return AdjointFokkerPlanck{a, b, c};
}

Expected<MeasureState> AdjointFokkerPlanck::step(MeasureState m, double tau, std::size_t n_steps) const {
    if (const auto count = peak_atom_count(m.atoms.size(), 4, n_steps, std::nullopt); !count || *count > kMaxAtoms) {
        return domain_error("adjoint_fp: atom count would exceed the limit of 67108864 (2^26)",
                            count ? static_cast<double>(*count) : 0x1p64);
    }
    const double h = diffusive_shift(a, tau);
    // b + b overflows for |b| above DBL_MAX/2 while 2 b tau may be finite;
    // (tau b) 2 is then the same product, doubled exactly.
    const double k = std::isfinite(b + b) ? tau * (b + b) : (tau * b) * 2.0;
    const double r = tau * c;
    for (std::size_t s = 0; s < n_steps; ++s) {
        std::vector<Atom> atoms;
        atoms.reserve(4 * m.atoms.size());
        for (const Atom& at : m.atoms) {
            atoms.push_back({at.x + h, 0.25 * at.w});
            atoms.push_back({at.x - h, at.w * 0.25});
            atoms.push_back({at.x + k, at.w * 0.5});
            atoms.push_back({at.x, r * at.w});
        }
        // A Gaussian N(m, v) is moved by the drift, widened by the diffusion
        // and scaled by the reaction.
        std::vector<GaussianComponent> comps;
        comps.reserve(m.gaussians.size());
        for (const GaussianComponent& g : m.gaussians) {
            comps.push_back({g.mean + k, g.var + tau * (a + a), (r + 1.0) * g.w});
        }
        m.atoms = std::move(atoms);
        m.gaussians = std::move(comps);
        if (Status stop = poll_stop(); !stop) return fail(stop.error());
    }
    return m;
}

}  // namespace quorvane
