#include "core/geometric/adjoint_fp.hpp"

#include <cmath>
#include <utility>
#include <vector>

#include "core/foundation/stop.hpp"

namespace quorvane {

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
    const double k = drift_shift(b, tau);
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
