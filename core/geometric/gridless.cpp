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

// A bin whose weights cancel to within this fraction of their absolute sum
// holds no weight the arithmetic can tell from zero: its sum is what the
// rounding of earlier steps left of an exact cancellation (residues of
// 1e-16 of it were seen after two steps), and its weighted mean, M/W, would
// put an atom some 1/fraction bin widths away, whose range the next
// reduction then spreads its bins over. Such a bin is dropped as one that
// cancels exactly is; the mass so lost is at most this fraction of the
// total variation.
constexpr double kCancelled = 0x1p-40;

// v 2^e, as a product with 2^e where that is a double (the same value, and
// far cheaper than ldexp in the loops of every step).
class PowerOfTwo {
public:
    explicit PowerOfTwo(int e) : e_(e), f_(e >= -1000 && e <= 1000 ? std::ldexp(1.0, e) : 0.0) {}
    double operator()(double v) const { return f_ != 0.0 ? v * f_ : std::ldexp(v, e_); }

private:
    int e_;
    double f_;
};

// One atom per non-empty bin of equal width over the atoms' range, at the
// bin's weighted mean: sum w and sum x w of every bin are kept exactly (up
// to the rounding of the reciprocal), the spread inside a bin is not.
//
// The sums run on the weights scaled by 2^-k to max|w| in [1, 2) and the
// positions by 2^-p to max|x| in [1, 2), both exact: bins, sums and means
// are then the same for data scaled by any power of two (and, to rounding,
// by any factor), the products x w and the sums stay in range wherever the
// data do, and the means and weights are scaled back.
Status weighted_voronoi(std::vector<Atom>& atoms, std::size_t cap) {
    if (cap == 0) return domain_error("gridless: WeightedVoronoi cap must be >= 1", 0.0);
    if (atoms.size() <= cap) return {};
    for (const Atom& a : atoms) {
        if (!std::isfinite(a.w)) return domain_error(kReductionNonFinite, a.w);
    }
    const std::size_t per_axis = bins_per_axis(cap);
    const std::size_t n_bins = std::min(per_axis, cap);
    double top_w = 0.0, top_x = 0.0;
    for (const Atom& a : atoms) {
        top_w = std::fmax(top_w, std::fabs(a.w));
        top_x = std::fmax(top_x, std::fabs(a.x));
    }
    const int k = top_w > 0.0 ? std::ilogb(top_w) : 0;
    const int p = top_x > 0.0 && std::isfinite(top_x) ? std::ilogb(top_x) : 0;
    const PowerOfTwo to_unit_x(-p), to_unit_w(-k), from_unit_x(p), from_unit_w(k);
    // The range of the atoms themselves: a start value such as +-1e38
    // would stand in for the minimum of atoms that all lie beyond it.
    double lo = to_unit_x(atoms.front().x), hi = lo;
    for (const Atom& a : atoms) {
        lo = std::min(lo, to_unit_x(a.x));
        hi = std::max(hi, to_unit_x(a.x));
    }
    // The range is widened by a relative 1e-9 on both sides, so that the
    // largest position falls inside the last bin rather than on its edge.
    const double r = hi - lo;
    const double e = r * 1e-9 + 1e-300;
    const double width = e + r + e;
    const double g = width > 0.0 ? 1.0 / width : 0.0;
    std::vector<double> wsum(n_bins, 0.0), msum(n_bins, 0.0), abs_sum(n_bins, 0.0);
    const double scale = static_cast<double>(per_axis);
    for (const Atom& a : atoms) {
        const double x = to_unit_x(a.x);
        std::size_t j = saturating_cast<std::size_t>(((x - lo) * g) * scale);
        j = std::min({j, per_axis - 1, n_bins - 1});
        const double w = to_unit_w(a.w);
        wsum[j] += w;
        msum[j] += x * w;
        abs_sum[j] += std::fabs(w);
    }
    atoms.clear();
    for (std::size_t j = 0; j < n_bins; ++j) {
        if (!(std::fabs(wsum[j]) > kCancelled * abs_sum[j])) continue;  // cancelled mass leaves no atom
        atoms.push_back({from_unit_x((1.0 / wsum[j]) * msum[j]), from_unit_w(wsum[j])});
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

    const double h = diffusive_shift(ev.a, tau);
    const double k = drift_shift(ev.b, tau);
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
    // The atoms' weights are carried as w 2^shift with max|w| brought back to
    // [1, 2) after every step (exact): a measure of tiny or huge weights
    // takes the same steps as one of weights near 1, its tails (weights
    // 4^-n_steps below the largest) never leave the normal range, and only
    // the result is scaled back, rounded once where it lies below that range.
    std::int64_t shift = 0;
    // Beyond +-2^12 the scaled weights are 0 or inf whatever their mantissa.
    auto scaled_back = [&](double w) {
        return std::ldexp(w, static_cast<int>(std::clamp<std::int64_t>(shift, -4096, 4096)));
    };
    auto normalise = [&](MeasureState& m) {
        double top = 0.0, total = 0.0;
        for (const Atom& a : m.atoms) {
            top = std::fmax(top, std::fabs(a.w));
            total += std::fabs(a.w);
        }
        if (!(top > 0.0) || !std::isfinite(top)) return;
        // With c <= 0 no step raises the total variation (the children split
        // a weight, a bin's |sum| is at most its sum of |w|, and the factor
        // 1 + tau c lies in [0, 1]), and it bounds every later weight: once
        // twice it scales back to 0, so does every weight of the result, and
        // the atoms are cleared rather than stepped to that end.
        if (ev.c <= 0.0 && scaled_back(total + total) == 0.0) {
            for (Atom& a : m.atoms) a.w = 0.0;
            shift = 0;
            return;
        }
        const int e = std::ilogb(top);
        const PowerOfTwo to_unit(-e);
        for (Atom& a : m.atoms) a.w = to_unit(a.w);
        shift += e;
    };
    MeasureState p = state, q = state;
    normalise(q);
    for (std::size_t s = 1; s <= n_steps; ++s) {
        const double tau = t_final / static_cast<double>(n_steps);
        MeasureState& dst = s % 2 == 1 ? p : q;
        if (Status st = gridless_apply(tau, ev, s % 2 == 1 ? q : p, dst); !st) return st;
        normalise(dst);
        if (Status stop = poll_stop(); !stop) return stop;
    }
    MeasureState& out = n_steps % 2 == 1 ? p : q;
    for (Atom& a : out.atoms) a.w = scaled_back(a.w);
    state = std::move(out);
    return {};
}

}  // namespace quorvane
