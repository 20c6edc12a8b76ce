#include "core/line/diffusion6_zeta6.hpp"

#include <cmath>

#include "core/line/diffusion.hpp"
#include "core/line/heat_quadrature_step.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/parallel1d.hpp"

namespace quorvane {

Diffusion6thChernoff Diffusion6thChernoff::unit(const Grid1D<double>& grid) {
    Diffusion6thChernoff k;
    k.grid = grid;
    return k;
}

std::optional<double> Diffusion6thChernoff::constant_value() const {
    return coef_override ? coef_override->constant_value() : CoeffSource::plain(a, a_prime, a_double_prime).constant_value();
}

namespace {

// heat6's rule: seven points, nine-point differences of width
// max(4 dx, sqrt(s tau)).
struct Heat6Rule {
    static constexpr std::size_t kPoints = 7;
    static constexpr double kSpread[] = {1.0, 3.0, 5.0};
    static constexpr double kWeights[] = {kHeat6W0, kHeat6W1, kHeat6W3, kHeat6W5};
    static constexpr std::size_t kTaps = 9;
    static constexpr double kCells = 4.0;
    template <class Read>
    static Status samples(const Read& at, double x, double h, double (&s)[9]) {
        return samples_9pt(at, x, h, s);
    }
    static constexpr const std::array<double, 9>& kD1 = kCentral9D1;
    static constexpr const std::array<double, 9>& kD2 = kCentral9D2;
    static constexpr const std::array<double, 9>& kD3 = kCentral9D3;
};

}  // namespace

Expected<double> Diffusion6thChernoff::apply_node(const GridFn<double>& u, std::size_t i, double tau) const {
    return rule_node<Heat6Rule>(*this, [&](double p) { return u.grid.interp(u.values, p); }, i, tau);
}

bool Diffusion6thChernoff::coef_fixed() const { return coef_override ? coef_override->fixed() : true; }

bool Diffusion6thChernoff::feet(std::size_t i, double tau, QuadFeet<7>& f) const {
    auto r = rule_feet<Heat6Rule>(*this, i, tau);
    if (!r) return false;
    f = *r;
    return true;
}

template <class Read>
Expected<double> Diffusion6thChernoff::feet_step(const QuadFeet<7>& f, const Read& read, std::size_t i, double tau,
                                                 const std::optional<DifferenceWidths>& widths) const {
    return rule_feet_step<Heat6Rule>(*this, f, read, i, tau, widths);
}

std::optional<DifferenceWidths> Diffusion6thChernoff::widths(double tau) const { return rule_widths<Heat6Rule>(*this, tau); }

bool Diffusion6thChernoff::node_form(std::size_t i, double tau, NodeForm& form, bool points_only) const {
    QuadFeet<7> f;
    if (!feet(i, tau, f)) return false;
    const std::optional<DifferenceWidths> w = widths(tau);
    return probe_node_form([&](const auto& read) { return feet_step(f, read, i, tau, w); }, form, points_only);
}

template Expected<double> Diffusion6thChernoff::feet_step(const QuadFeet<7>&, const RecordedReads::Recorder&, std::size_t,
                                                   double, const std::optional<DifferenceWidths>&) const;
template Expected<double> Diffusion6thChernoff::feet_step(const QuadFeet<7>&, const RecordedReads::Replay&, std::size_t,
                                                   double, const std::optional<DifferenceWidths>&) const;

Status Diffusion6thChernoff::step_nodes(const GridFn<double>& src, double* out, std::size_t begin, std::size_t end,
                                        double tau, SepticSamples& samples, std::span<const QuadFeet<7>> feet) const {
    return rule_step_nodes<Heat6Rule>(*this, src, out, begin, end, tau, samples, feet);
}

Status Diffusion6thChernoff::apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>&,
                                        double tau) const {
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and >= 0", tau);
    out.values.resize(in.values.size(), 0.0);
    return run_node_steps(in.values.size(), 1, [&](std::size_t, std::size_t begin, std::size_t end, std::size_t) {
        // The calling thread keeps its samples' storage from step to step.
        thread_local SepticSamples samples;
        return step_nodes(in, out.values.data(), begin, end, tau, samples);
    });
}

Diffusion6thZeta6Chernoff Diffusion6thZeta6Chernoff::over(Diffusion4thChernoff inner) {
    Grid1D<double> g = inner.grid;
    return Diffusion6thZeta6Chernoff{Diffusion4thZeta4Chernoff::over(std::move(inner)), g};
}

Status Diffusion6thZeta6Chernoff::apply_into(const GridFn<double>& in, GridFn<double>& out,
                                             ScratchPool<double>& pool, double tau) const {
    return zeta_rung_step(zeta4, grid, kWeight, kDivisor, in, out, pool, tau);
}

Expected<std::pair<ChernoffSemigroup<Diffusion6thChernoff>, GridFn<double>>> build_diffusion6th_state(
    std::size_t n, std::size_t steps, std::span<const double> u0, BoundaryPolicy<double> boundary, double xmin,
    double xmax) {
    return build_state(n, steps, u0, boundary, xmin, xmax,
                       [](const Grid1D<double>& g) { return Diffusion6thChernoff::unit(g); });
}

}  // namespace quorvane
