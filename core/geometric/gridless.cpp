#include "core/geometric/gridless.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {
namespace {

constexpr const char* kAtomLimit = "gridless: atom count would exceed the limit of 67108864 (2^26)";

// Bins per axis: the integer D-th root of cap (D = 1 here, so cap itself),
// taken through pow as for any dimension; the root of 0 is 1.
std::size_t bins_per_axis(std::size_t cap) {
    constexpr double kDim = 1.0;
    if (cap == 0) return 1;
    const double root = std::floor(std::pow(static_cast<double>(cap), 1.0 / kDim));
    return std::max<std::size_t>(1, saturating_cast<std::size_t>(root));
}

// One atom per non-empty bin of equal width over the atoms' range, at the
// bin's weighted mean: sum w and sum x w of every bin are kept exactly (up
// to the rounding of the reciprocal), the spread inside a bin is not.
Status weighted_voronoi(std::vector<Atom>& atoms, std::size_t cap) {
    if (cap == 0) return domain_error("gridless: WeightedVoronoi cap must be >= 1", 0.0);
    if (atoms.size() <= cap) return {};
    for (const Atom& a : atoms) {
        if (!std::isfinite(a.w)) return domain_error(kReductionNonFinite, a.w);
    }
    const std::size_t per_axis = bins_per_axis(cap);
    const std::size_t n_bins = std::min(per_axis, cap);
    double lo = 1e38, hi = -1e38;
    for (const Atom& a : atoms) {
        lo = std::min(lo, a.x);
        hi = std::max(hi, a.x);
    }
    if (lo > hi) hi = lo;
    // The range is widened by a relative 1e-9 on both sides, so that the
    // largest position falls inside the last bin rather than on its edge.
    const double r = hi - lo;
    const double e = r * 1e-9 + 1e-300;
    const double width = e + r + e;
    const double g = width > 0.0 ? 1.0 / width : 0.0;
    // The sums run on the weights scaled by 2^-k to max|w| in [1, 2)
    // (exact): the products x w stay in range wherever x does, and the
    // bins' weights are scaled back.
    double top = 0.0;
    for (const Atom& a : atoms) top = std::fmax(top, std::fabs(a.w));
    const int k = top > 0.0 ? std::ilogb(top) : 0;
    std::vector<double> wsum(n_bins, 0.0), msum(n_bins, 0.0);
    const double scale = static_cast<double>(per_axis);
    for (const Atom& a : atoms) {
        std::size_t j = saturating_cast<std::size_t>(((a.x - lo) * g) * scale);
        j = std::min({j, per_axis - 1, n_bins - 1});
        const double w = std::ldexp(a.w, -k);
        wsum[j] += w;
        msum[j] += a.x * w;
    }
    atoms.clear();
    for (std::size_t j = 0; j < n_bins; ++j) {
        if (wsum[j] == 0.0) continue;  // cancelled mass leaves no atom
        atoms.push_back({(1.0 / wsum[j]) * msum[j], std::ldexp(wsum[j], k)});
    }
    return {};
}

}  // namespace

std::optional<std::uint64_t> GridlessEvolver::peak_atoms(std::uint64_t n0, std::uint64_t n_steps) const {
    std::optional<std::uint64_t> cap;
    if (policy.kind == GridlessPolicy::Kind::WeightedVoronoi) cap = policy.cap;
    return peak_atom_count(n0, 3, n_steps, cap);
}

Status gridless_apply(double tau, const GridlessEvolver& ev, const MeasureState& src, MeasureState& dst) {
    if (!finite_nonneg(tau)) return domain_error("gridless: tau must be finite and >= 0", tau);
    if (ev.a < 0.0 || std::isnan(ev.a)) return domain_error("gridless: diffusion coefficient a_j must be >= 0", ev.a);
    const std::uint64_t n_branched = static_cast<std::uint64_t>(src.atoms.size()) * 3;
    if (n_branched > kMaxAtoms) return domain_error(kAtomLimit, static_cast<double>(n_branched));

    const double h = std::sqrt(tau * ev.a) + std::sqrt(tau * ev.a);
    const double k = tau * (ev.b + ev.b);
    dst.gaussians = src.gaussians;
    std::vector<Atom> atoms;
    atoms.reserve(n_branched);
    for (const Atom& a : src.atoms) {
        atoms.push_back({a.x + h, a.w * 0.25});
        atoms.push_back({a.x - h, a.w * 0.25});
        atoms.push_back({a.x + k, a.w * 0.5});
    }
    dst.atoms = std::move(atoms);
    if (ev.policy.kind == GridlessPolicy::Kind::WeightedVoronoi) {
        if (Status st = weighted_voronoi(dst.atoms, ev.policy.cap); !st) return st;
    }
    if (ev.c != 0.0 && !dst.atoms.empty()) {
        const double factor = admitted_reaction_factor(tau * ev.c + 1.0);
        for (Atom& a : dst.atoms) a.w *= factor;
    }
    return {};
}

Status gridless_evolve(const GridlessEvolver& ev, MeasureState& state, double t_final, std::size_t n_steps) {
    if (const auto peak = ev.peak_atoms(state.atoms.size(), n_steps); !peak || *peak > kMaxAtoms) {
        return domain_error(kAtomLimit, peak ? static_cast<double>(*peak) : 0x1p64);
    }
    MeasureState p = state, q = state;
    for (std::size_t s = 1; s <= n_steps; ++s) {
        const double tau = t_final / static_cast<double>(n_steps);
        Status st = s % 2 == 1 ? gridless_apply(tau, ev, q, p) : gridless_apply(tau, ev, p, q);
        if (!st) return st;
        if (Status stop = poll_stop(); !stop) return stop;
    }
    state = std::move(n_steps % 2 == 1 ? p : q);
    return {};
}

}  // namespace quorvane
