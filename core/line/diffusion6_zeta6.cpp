#include "core/line/diffusion6_zeta6.hpp"

#include <cmath>

#include "core/line/diffusion.hpp"
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

// The coefficient's part of the node step.
Expected<QuadFeet<7>> heat6_feet(const Diffusion6thChernoff& k, std::size_t i, double tau) {
    const Grid1D<double>& grid = k.grid;
    const double dx = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
    const double x = grid.xmin + dx * static_cast<double>(i);
    const double theta = 0.5 * tau;

    const double xp = x + theta * k.coef_a_prime(x);
    const double a = k.coef_a(xp);
    if (!finite_nonneg(a)) return domain_error(kEllipticityMessage, xp);
    const double r1 = std::sqrt(a * tau);
    const double h1 = r1 + r1;
    const double r3 = std::sqrt(3.0 * a * tau);
    const double h3 = r3 + r3;
    const double r5 = std::sqrt(5.0 * a * tau);
    const double h5 = r5 + r5;
    const double y[7] = {xp, xp + h1, xp - h1, xp + h3, xp - h3, xp + h5, xp - h5};
    QuadFeet<7> f;
    for (int m = 0; m < 7; ++m) f.z[m] = y[m] + theta * k.coef_a_prime(y[m]);
    f.a = k.coef_a(x);
    f.a1 = k.coef_a_prime(x);
    f.a2 = k.coef_a_double_prime(x);
    return f;
}

// The rest of the node step at x (grid spacing dx), with u read through `at`.
template <class Read>
// `widths`, when given, are those of this dx and tau (see widths()).
Expected<double> heat6_from_feet(const QuadFeet<7>& f, const Read& at, double x, double dx, double tau,
                                 const DifferenceWidths* widths = nullptr) {
    double s[7];
    for (int m = 0; m < 7; ++m) {
        auto v = at(f.z[m]);
        if (!v) return v;
        s[m] = *v;
    }
    const double quad =
        ((kHeat6W0 * s[0] + kHeat6W1 * (s[1] + s[2])) + kHeat6W3 * (s[3] + s[4])) + kHeat6W5 * (s[5] + s[6]);

    const double A = f.a, A1 = f.a1, A2 = f.a2;
    if (A2 == 0.0 && A1 == 0.0) return quad + 0.0;

    const DifferenceWidths own = widths ? *widths : DifferenceWidths::of(max_ignore_nan(4.0 * dx, std::sqrt(tau)));
    const double h = own.h;
    // The three differences share their nine samples.
    double w[9];
    if (Status st = samples_9pt(at, x, h, w); !st) return fail(st.error());
    const double d1 = central_sum(w, own, 1, kCentral9D1);
    const double d2 = central_sum(w, own, 2, kCentral9D2);
    const double d3 = central_sum(w, own, 3, kCentral9D3);
    return quad + tau * tau * (A * A1 * d3 + 0.5 * A * A2 * d2 + 0.25 * A1 * A2 * d1);
}

// The node step with u read through `at`.
template <class Read>
Expected<double> heat6_node(const Diffusion6thChernoff& k, const Read& at, std::size_t i, double tau) {
    auto f = heat6_feet(k, i, tau);
    if (!f) return fail(f.error());
    const Grid1D<double>& grid = k.grid;
    const double dx = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
    return heat6_from_feet(*f, at, grid.xmin + dx * static_cast<double>(i), dx, tau);
}

}  // namespace

Expected<double> Diffusion6thChernoff::apply_node(const GridFn<double>& u, std::size_t i, double tau) const {
    return heat6_node(*this, [&](double p) { return u.grid.interp(u.values, p); }, i, tau);
}

bool Diffusion6thChernoff::coef_fixed() const { return coef_override ? coef_override->fixed() : true; }

bool Diffusion6thChernoff::feet(std::size_t i, double tau, QuadFeet<7>& f) const {
    auto r = heat6_feet(*this, i, tau);
    if (!r) return false;
    f = *r;
    return true;
}

template <class Read>
Expected<double> Diffusion6thChernoff::feet_step(const QuadFeet<7>& f, const Read& read, std::size_t i, double tau,
                                           const DifferenceWidths& widths) const {
    const double kdx = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
    return heat6_from_feet(f, read, grid.xmin + kdx * static_cast<double>(i), kdx, tau, &widths);
}

DifferenceWidths Diffusion6thChernoff::widths(double tau) const {
    const double dx = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
    return DifferenceWidths::of(max_ignore_nan(4.0 * dx, std::sqrt(tau)));
}
template Expected<double> Diffusion6thChernoff::feet_step(const QuadFeet<7>&, const RecordedReads::Recorder&, std::size_t,
                                                   double, const DifferenceWidths&) const;
template Expected<double> Diffusion6thChernoff::feet_step(const QuadFeet<7>&, const RecordedReads::Replay&, std::size_t,
                                                   double, const DifferenceWidths&) const;

Status Diffusion6thChernoff::step_nodes(const GridFn<double>& src, double* out, std::size_t begin, std::size_t end,
                                        double tau, SepticSamples& samples, std::span<const QuadFeet<7>> feet) const {
    // The reads reach the outer quadrature points (from the bound of a; the
    // drift is not counted) and four difference steps.
    const double dx = grid.dx();
    const double reach = max_ignore_nan(2.0 * std::sqrt(5.0 * a_norm_bound * tau),
                                        4.0 * max_ignore_nan(4.0 * dx, std::sqrt(tau)));
    if (!feet.empty()) {
        const double kdx = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
        return sampled_nodes(samples, src, out, begin, end, margin_cells(reach, dx), [&](std::size_t i, const auto& read) {
            return heat6_from_feet(feet[i - begin], read, grid.xmin + kdx * static_cast<double>(i), kdx, tau);
        });
    }
    return sampled_nodes(samples, src, out, begin, end, margin_cells(reach, dx),
                         [&](std::size_t i, const auto& read) { return heat6_node(*this, read, i, tau); });
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
