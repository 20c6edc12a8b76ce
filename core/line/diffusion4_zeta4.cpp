#include "core/line/diffusion4_zeta4.hpp"

#include <cmath>

#include "core/line/diffusion.hpp"
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

// The coefficient's part of the node step.
Expected<QuadFeet<5>> heat4_feet(const Diffusion4thChernoff& k, std::size_t i, double tau) {
    const Grid1D<double>& grid = k.grid;
    const double dx = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
    const double x = grid.xmin + dx * static_cast<double>(i);
    const double theta = 0.5 * tau;

    // Drift foot of the divergence form; the ellipticity check covers every
    // coefficient form, a constant included (then x' = x).
    const double xp = x + theta * k.coef_a_prime(x);
    const double a = k.coef_a(xp);
    if (!finite_nonneg(a)) return domain_error(kEllipticityMessage, xp);
    const double r1 = std::sqrt(a * tau);
    const double h1 = r1 + r1;
    const double r3 = std::sqrt(3.0 * a * tau);
    const double h3 = r3 + r3;
    const double y[5] = {xp, xp + h1, xp - h1, xp + h3, xp - h3};
    QuadFeet<5> f;
    for (int m = 0; m < 5; ++m) f.z[m] = y[m] + theta * k.coef_a_prime(y[m]);
    f.a = k.coef_a(x);
    f.a1 = k.coef_a_prime(x);
    f.a2 = k.coef_a_double_prime(x);
    return f;
}

// The rest of the node step at x (grid spacing dx), with u read through `at`.
template <class Read>
// `widths`, when given, are those of this dx and tau (see widths()).
Expected<double> heat4_from_feet(const QuadFeet<5>& f, const Read& at, double x, double dx, double tau,
                                 const DifferenceWidths* widths = nullptr) {
    double s[5];
    for (int m = 0; m < 5; ++m) {
        auto v = at(f.z[m]);
        if (!v) return v;
        s[m] = *v;
    }
    // Same summation order as heat2, so unit diffusion matches it bit for bit.
    const double quad = (kHeatW0 * s[0] + kHeatW1 * (s[1] + s[2])) + kHeatW3 * (s[3] + s[4]);

    const double A = f.a, A1 = f.a1, A2 = f.a2;
    // Locally constant coefficient: the quadrature is the whole step. (A NaN
    // derivative compares unequal and runs the correction, which carries it.)
    if (A2 == 0.0 && A1 == 0.0) return quad + 0.0;

    const DifferenceWidths own = widths ? *widths : DifferenceWidths::of(max_ignore_nan(3.0 * dx, std::pow(tau, 0.75)));
    const double h = own.h;
    // The three differences share their seven samples.
    double w[7];
    if (Status st = samples_7pt(at, x, h, w); !st) return fail(st.error());
    const double d1 = central_sum(w, own, 1, kCentral7D1);
    const double d2 = central_sum(w, own, 2, kCentral7D2);
    const double d3 = central_sum(w, own, 3, kCentral7D3);
    return quad + tau * tau * (A * A1 * d3 + 0.5 * A * A2 * d2 + 0.25 * A1 * A2 * d1);
}

// The node step with u read through `at`.
template <class Read>
Expected<double> heat4_node(const Diffusion4thChernoff& k, const Read& at, std::size_t i, double tau) {
    auto f = heat4_feet(k, i, tau);
    if (!f) return fail(f.error());
    const Grid1D<double>& grid = k.grid;
    const double dx = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
    return heat4_from_feet(*f, at, grid.xmin + dx * static_cast<double>(i), dx, tau);
}

}  // namespace

Expected<double> Diffusion4thChernoff::apply_node(const GridFn<double>& u, std::size_t i, double tau) const {
    return heat4_node(*this, [&](double p) { return u.grid.interp(u.values, p); }, i, tau);
}

Status Diffusion4thChernoff::step_nodes_chebyshev(const GridFn<double>& source, double* out, std::size_t begin,
                                                  std::size_t end, double tau, ChebyshevSamples& samples) const {
    samples.fill(source.values, source.grid);
    const auto read = [&](double p) { return samples.read(p); };
    for (std::size_t i = begin; i < end; ++i) {
        Expected<double> v = heat4_node(*this, read, i, tau);
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
        auto f = heat4_feet(*this, i, tau);
        // heat4_from_feet adds no correction exactly where a' and a'' are 0.
        if (!f || !(f->a2 == 0.0 && f->a1 == 0.0)) return false;
        points.insert(points.end(), f->z, f->z + 5);
    }
    return true;
}

bool Diffusion4thChernoff::coef_fixed() const { return coef_override ? coef_override->fixed() : true; }

bool Diffusion4thChernoff::feet(std::size_t i, double tau, QuadFeet<5>& f) const {
    auto r = heat4_feet(*this, i, tau);
    if (!r) return false;
    f = *r;
    return true;
}

template <class Read>
Expected<double> Diffusion4thChernoff::feet_step(const QuadFeet<5>& f, const Read& read, std::size_t i, double tau,
                                           const DifferenceWidths& widths) const {
    const double kdx = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
    return heat4_from_feet(f, read, grid.xmin + kdx * static_cast<double>(i), kdx, tau, &widths);
}

DifferenceWidths Diffusion4thChernoff::widths(double tau) const {
    const double dx = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
    return DifferenceWidths::of(max_ignore_nan(3.0 * dx, std::pow(tau, 0.75)));
}
template Expected<double> Diffusion4thChernoff::feet_step(const QuadFeet<5>&, const RecordedReads::Recorder&, std::size_t,
                                                   double, const DifferenceWidths&) const;
template Expected<double> Diffusion4thChernoff::feet_step(const QuadFeet<5>&, const RecordedReads::Replay&, std::size_t,
                                                   double, const DifferenceWidths&) const;

Status Diffusion4thChernoff::step_nodes(const GridFn<double>& src, double* out, std::size_t begin, std::size_t end,
                                        double tau, SepticSamples& samples, std::span<const QuadFeet<5>> feet) const {
    // The reads reach the outer quadrature points (from the bound of a; the
    // drift is not counted) and three difference steps.
    const double dx = grid.dx();
    const double reach = max_ignore_nan(2.0 * std::sqrt(3.0 * a_norm_bound * tau),
                                        3.0 * max_ignore_nan(3.0 * dx, std::pow(tau, 0.75)));
    if (!feet.empty()) {
        const double kdx = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
        return sampled_nodes(samples, src, out, begin, end, margin_cells(reach, dx), [&](std::size_t i, const auto& read) {
            return heat4_from_feet(feet[i - begin], read, grid.xmin + kdx * static_cast<double>(i), kdx, tau);
        });
    }
    return sampled_nodes(samples, src, out, begin, end, margin_cells(reach, dx),
                         [&](std::size_t i, const auto& read) { return heat4_node(*this, read, i, tau); });
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
