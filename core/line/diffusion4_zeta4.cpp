#include "core/line/diffusion4_zeta4.hpp"

#include <cmath>

#include "core/line/diffusion.hpp"
#include "core/line/heat_quadrature_step.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/parallel1d.hpp"

namespace quorvane {

// Sixth-order D1 and D2, fourth-order D3 on offsets -3..3.
const std::array<double, 7> kCentral7D1 = {-1.0 / 60.0, 3.0 / 20.0, -3.0 / 4.0, 0.0, 3.0 / 4.0, -3.0 / 20.0, 1.0 / 60.0};
const std::array<double, 7> kCentral7D2 = {1.0 / 90.0, -3.0 / 20.0, 3.0 / 2.0, -49.0 / 18.0, 3.0 / 2.0, -3.0 / 20.0, 1.0 / 90.0};
const std::array<double, 7> kCentral7D3 = {1.0 / 8.0, -1.0, 13.0 / 8.0, 0.0, -13.0 / 8.0, 1.0, -1.0 / 8.0};
// Eighth-order D1 and D2, sixth-order D3 on offsets -4..4.
const std::array<double, 9> kCentral9D1 = {1.0 / 280.0, -4.0 / 105.0, 1.0 / 5.0, -4.0 / 5.0, 0.0,
                                           4.0 / 5.0,   -1.0 / 5.0,   4.0 / 105.0, -1.0 / 280.0};
const std::array<double, 9> kCentral9D2 = {-1.0 / 560.0, 8.0 / 315.0, -1.0 / 5.0, 8.0 / 5.0, -205.0 / 72.0,
                                           8.0 / 5.0,    -1.0 / 5.0,  8.0 / 315.0, -1.0 / 560.0};
const std::array<double, 9> kCentral9D3 = {-7.0 / 240.0, 3.0 / 10.0,  -169.0 / 120.0, 61.0 / 30.0, 0.0,
                                           -61.0 / 30.0, 169.0 / 120.0, -3.0 / 10.0,  7.0 / 240.0};

Expected<double> central_derivative_7pt(const GridFn<double>& u, double x, double h, int k,
                                        const std::array<double, 7>& c) {
    double s[7];
    if (Status st = samples_7pt([&](double p) { return u.grid.interp(u.values, p); }, x, h, s); !st) {
        return fail(st.error());
    }
    return central_sum(s, h, k, c);
}

Expected<double> central_derivative_9pt(const GridFn<double>& u, double x, double h, int k,
                                        const std::array<double, 9>& c) {
    double s[9];
    if (Status st = samples_9pt([&](double p) { return u.grid.interp(u.values, p); }, x, h, s); !st) {
        return fail(st.error());
    }
    return central_sum(s, h, k, c);
}

Diffusion4thChernoff Diffusion4thChernoff::unit(const Grid1D<double>& grid) {
    Diffusion4thChernoff k;
    k.grid = grid;
    return k;
}

namespace {

// heat4's rule: five points, seven-point differences of width
// max(3 dx, sqrt(s tau)).
struct Heat4Rule {
    static constexpr std::size_t kPoints = 5;
    static constexpr double kSpread[] = {1.0, 3.0};
    static constexpr double kWeights[] = {kHeatW0, kHeatW1, kHeatW3};
    static constexpr std::size_t kTaps = 7;
    static constexpr double kCells = 3.0;
    template <class Read>
    static Status samples(const Read& at, double x, double h, double (&s)[7]) {
        return samples_7pt(at, x, h, s);
    }
    static constexpr const std::array<double, 7>& kD1 = kCentral7D1;
    static constexpr const std::array<double, 7>& kD2 = kCentral7D2;
    static constexpr const std::array<double, 7>& kD3 = kCentral7D3;
};

}  // namespace

Expected<double> Diffusion4thChernoff::apply_node(const GridFn<double>& u, std::size_t i, double tau) const {
    return rule_node<Heat4Rule>(*this, [&](double p) { return u.grid.interp(u.values, p); }, i, tau);
}

Status Diffusion4thChernoff::step_nodes_chebyshev(const GridFn<double>& source, double* out, std::size_t begin,
                                                  std::size_t end, double tau, ChebyshevSamples& samples) const {
    samples.fill(source.values, source.grid);
    const auto read = [&](double p) { return samples.read(p); };
    for (std::size_t i = begin; i < end; ++i) {
        Expected<double> v = rule_node<Heat4Rule>(*this, read, i, tau);
        if (!v) return fail(v.error());
        out[i] = *v;
    }
    return {};
}

bool Diffusion4thChernoff::quadrature_points(std::size_t begin, std::size_t end, double tau,
                                             std::vector<double>& points) const {
    points.clear();
    points.reserve(5 * (end - begin));
    for (std::size_t i = begin; i < end; ++i) {
        auto f = rule_feet<Heat4Rule>(*this, i, tau);
        // rule_from_feet adds no correction exactly where a' and a'' are 0.
        if (!f || !(f->a2 == 0.0 && f->a1 == 0.0)) return false;
        points.insert(points.end(), f->z, f->z + 5);
    }
    return true;
}

bool Diffusion4thChernoff::coef_fixed() const { return coef_override ? coef_override->fixed() : true; }

bool Diffusion4thChernoff::feet(std::size_t i, double tau, QuadFeet<5>& f) const {
    auto r = rule_feet<Heat4Rule>(*this, i, tau);
    if (!r) return false;
    f = *r;
    return true;
}

template <class Read>
Expected<double> Diffusion4thChernoff::feet_step(const QuadFeet<5>& f, const Read& read, std::size_t i, double tau,
                                                 const std::optional<DifferenceWidths>& widths) const {
    return rule_feet_step<Heat4Rule>(*this, f, read, i, tau, widths);
}

std::optional<DifferenceWidths> Diffusion4thChernoff::widths(double tau) const { return rule_widths<Heat4Rule>(*this, tau); }

bool Diffusion4thChernoff::node_form(std::size_t i, double tau, NodeForm& form, bool points_only) const {
    QuadFeet<5> f;
    if (!feet(i, tau, f)) return false;
    const std::optional<DifferenceWidths> w = widths(tau);
    return probe_node_form([&](const auto& read) { return feet_step(f, read, i, tau, w); }, form, points_only);
}

template Expected<double> Diffusion4thChernoff::feet_step(const QuadFeet<5>&, const RecordedReads::Recorder&, std::size_t,
                                                   double, const std::optional<DifferenceWidths>&) const;
template Expected<double> Diffusion4thChernoff::feet_step(const QuadFeet<5>&, const RecordedReads::Replay&, std::size_t,
                                                   double, const std::optional<DifferenceWidths>&) const;

Status Diffusion4thChernoff::step_nodes(const GridFn<double>& src, double* out, std::size_t begin, std::size_t end,
                                        double tau, SepticSamples& samples, std::span<const QuadFeet<5>> feet) const {
    return rule_step_nodes<Heat4Rule>(*this, src, out, begin, end, tau, samples, feet);
}

std::optional<InterpKind> Diffusion4thChernoff::source_kind() const {
    if (use_octonic) return InterpKind::of(InterpTag::OctonicHermite);
    if (use_chebyshev) return InterpKind::chebyshev(chebyshev_m);
    return std::nullopt;
}

std::optional<double> Diffusion4thChernoff::constant_value() const {
    return coef_override ? coef_override->constant_value() : CoeffSource::plain(a, a_prime, a_double_prime).constant_value();
}

Status Diffusion4thChernoff::apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>&,
                                        double tau) const {
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and >= 0", tau);
    out.values.resize(in.values.size(), 0.0);
    if (const std::optional<InterpKind> kind = source_kind()) {
        GridFn<double> source{grid, in.values};
        source.grid.interp_kind = *kind;
        return par_apply_nodes(out.values, [&](std::size_t i) { return apply_node(source, i, tau); });
    }
    return run_node_steps(in.values.size(), 1, [&](std::size_t, std::size_t begin, std::size_t end, std::size_t) {
        // The calling thread keeps its samples' storage from step to step.
        thread_local SepticSamples samples;
        return step_nodes(in, out.values.data(), begin, end, tau, samples);
    });
}

Diffusion4thZeta4Chernoff Diffusion4thZeta4Chernoff::over(Diffusion4thChernoff inner) {
    Grid1D<double> g = inner.grid;
    return Diffusion4thZeta4Chernoff{std::move(inner), g};
}

Status Diffusion4thZeta4Chernoff::apply_into(const GridFn<double>& in, GridFn<double>& out,
                                             ScratchPool<double>& pool, double tau) const {
    return zeta_rung_step(inner, grid, kWeight, kDivisor, in, out, pool, tau);
}

void zeta_combine(std::span<const double> fine, std::span<const double> coarse, std::span<double> out, double w,
                  double d) {
    // One multiplication, one subtraction and one division per node (not a
    // multiplication by 1/d), so every vectorised lane equals the scalar form.
    const std::size_t n = out.size();
    for (std::size_t i = 0; i < n; ++i) out[i] = (w * fine[i] - coarse[i]) / d;
}

Expected<std::pair<ChernoffSemigroup<Diffusion4thChernoff>, GridFn<double>>> build_diffusion4th_state(
    std::size_t n, std::size_t steps, std::span<const double> u0, BoundaryPolicy<double> boundary, double xmin,
    double xmax) {
    return build_state(n, steps, u0, boundary, xmin, xmax,
                       [](const Grid1D<double>& g) { return Diffusion4thChernoff::unit(g); });
}

}  // namespace quorvane
