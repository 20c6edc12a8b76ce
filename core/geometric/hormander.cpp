#include "core/geometric/hormander.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"
#include "core/line/diffusion.hpp"
#include "core/line/read_reach.hpp"

namespace quorvane {
namespace {

// A field given by a plain coefficient function.
template <std::size_t D, class Fn>
class FormulaField final : public VectorField {
public:
    explicit FormulaField(Fn fn) : fn_(fn) {}
    Status eval_into(std::span<const double> x, std::span<double> out) const override {
        if (x.size() != D || out.size() != D) internal_fault("VectorField::eval_into: wrong dimension");
        fn_(x, out);
        return {};
    }

private:
    Fn fn_;
};

template <std::size_t D, class Fn>
BoxedField formula(Fn fn) {
    return std::make_unique<const FormulaField<D, Fn>>(fn);
}

template <std::size_t D>
BoxedField unit_x0() {
    return formula<D>([](std::span<const double>, std::span<double> out) {
        std::fill(out.begin(), out.end(), 0.0);
        out[0] = 1.0;
    });
}

}  // namespace

BoxedField zero_drift(std::size_t dim) {
    switch (dim) {
        case 2: return formula<2>([](std::span<const double>, std::span<double> o) { std::fill(o.begin(), o.end(), 0.0); });
        case 3: return formula<3>([](std::span<const double>, std::span<double> o) { std::fill(o.begin(), o.end(), 0.0); });
        case 4: return formula<4>([](std::span<const double>, std::span<double> o) { std::fill(o.begin(), o.end(), 0.0); });
        case 5: return formula<5>([](std::span<const double>, std::span<double> o) { std::fill(o.begin(), o.end(), 0.0); });
        default: break;
    }
    internal_fault("zero_drift: dimension must be 2..5");
}

BoxedField HeisenbergGroup::x1() {
    return formula<3>([](std::span<const double> x, std::span<double> o) {
        o[0] = 1.0, o[1] = 0.0, o[2] = -0.5 * x[1];
    });
}
BoxedField HeisenbergGroup::x2() {
    return formula<3>([](std::span<const double> x, std::span<double> o) {
        o[0] = 0.0, o[1] = 1.0, o[2] = 0.5 * x[0];
    });
}
FieldList HeisenbergGroup::vector_fields() {
    FieldList f;
    f.generators.push_back(x1());
    f.generators.push_back(x2());
    f.drift = zero_drift(3);
    return f;
}

FieldList EngelGroup::vector_fields() {
    FieldList f;
    f.generators.push_back(unit_x0<4>());
    f.generators.push_back(formula<4>([](std::span<const double> x, std::span<double> o) {
        o[0] = 0.0, o[1] = 1.0, o[2] = x[0], o[3] = x[2];
    }));
    f.drift = zero_drift(4);
    return f;
}

FieldList FiliformGroup::vector_fields() {
    FieldList f;
    f.generators.push_back(unit_x0<5>());
    f.generators.push_back(formula<5>([](std::span<const double> x, std::span<double> o) {
        o[0] = 0.0, o[1] = 1.0, o[2] = x[0], o[3] = x[2], o[4] = x[3];
    }));
    f.drift = zero_drift(5);
    return f;
}

BoxedField KolmogorovGroup::x0() {
    return formula<2>([](std::span<const double> x, std::span<double> o) { o[0] = x[1], o[1] = 0.0; });
}
BoxedField KolmogorovGroup::x1() {
    return formula<2>([](std::span<const double>, std::span<double> o) { o[0] = 0.0, o[1] = 1.0; });
}

template <std::size_t D, std::size_t M>
Expected<HypoellipticChernoff<2, 1>> HypoellipticChernoff<D, M>::verify_hormander(BoxedField x1) {
    constexpr double h = 6e-6;
    auto eval = [&](double a, double b, std::array<double, 2>& out) -> Status {
        const std::array<double, 2> x{a, b};
        return x1->eval_into(x, out);
    };
    auto drift = [](double, double v) { return std::array<double, 2>{v, 0.0}; };
    std::array<double, 2> a{}, at0{}, xp{}, xm{}, vp{}, vm{};
    for (auto [p, q, out] : {std::tuple{0.0, 0.0, &a}, std::tuple{0.0, 0.0, &at0}, std::tuple{h, 0.0, &xp},
                             std::tuple{-h, 0.0, &xm}, std::tuple{0.0, h, &vp}, std::tuple{0.0, -h, &vm}}) {
        if (Status st = eval(p, q, *out); !st) return fail(st.error());
    }
    // [X_1, X_0] at 0: X_1 . grad X_0 - X_0 . grad X_1, by central differences.
    std::array<double, 2> c{};
    const std::array<double, 2> d0 = {0.0, 0.0};  // X_0(0)
    for (std::size_t k = 0; k < 2; ++k) {
        const double dx_x0 = (drift(h, 0.0)[k] - drift(-h, 0.0)[k]) / (2.0 * h);
        const double dv_x0 = (drift(0.0, h)[k] - drift(0.0, -h)[k]) / (2.0 * h);
        const double dx_x1 = (xp[k] - xm[k]) / (2.0 * h);
        const double dv_x1 = (vp[k] - vm[k]) / (2.0 * h);
        c[k] = (at0[0] * dx_x0 + at0[1] * dv_x0) - (d0[0] * dx_x1 + d0[1] * dv_x1);
    }
    if (std::fabs(a[0] * c[1] - a[1] * c[0]) > 1e-8) {
        HypoellipticChernoff<2, 1> rec;
        rec.generators.push_back(std::move(x1));
        rec.drift = KolmogorovGroup::x0();
        return rec;
    }
    const double value = std::max(std::fabs(a[0]), std::fabs(a[1])) > 1e-8 ? 1.0 : 0.0;
    return domain_error("H\u00f6rmander condition violated: brackets fail to span T_xM at origin", value);
}

template struct HypoellipticChernoff<2, 1>;
template struct HypoellipticChernoff<3, 2>;
template struct HypoellipticChernoff<4, 2>;
template struct HypoellipticChernoff<5, 2>;

CellRead locate_cell(double p, const BoxAxis& axis) {
    const std::size_t n = axis.n;
    const double dx = (axis.hi - axis.lo) / static_cast<double>(n - 1);
    const double lo = axis.lo + dx * 0.0;
    const double hi = axis.lo + dx * static_cast<double>(n - 1);
    if (p <= lo) return {0, 0, 0.0};
    if (p >= hi) return {n - 1, n - 1, 0.0};
    const double t = (p - lo) / ((hi - lo) / static_cast<double>(n - 1));
    const std::size_t i = std::min(saturating_cast<std::size_t>(std::floor(t)), n - 2);
    const double f = std::clamp(t - static_cast<double>(i), 0.0, 1.0);
    return {i, i + 1, f};
}

namespace {

template <std::size_t D, class T>
T read_corners(std::span<const T> values, const std::array<CellRead, D>& cells, const std::array<std::size_t, D>& strides,
               std::size_t d, std::size_t offset) {
    if (d == 0) {
        if (offset >= values.size()) internal_fault("multilinear_read: corner index outside the values");
        return values[offset];
    }
    const CellRead& c = cells[d - 1];
    const T lo = read_corners<D, T>(values, cells, strides, d - 1, offset + c.i * strides[d - 1]);
    const T hi = read_corners<D, T>(values, cells, strides, d - 1, offset + c.j * strides[d - 1]);
    return (1.0 - c.f) * lo + c.f * hi;
}

}  // namespace

template <std::size_t D, class T>
T multilinear_read(std::span<const T> values, const std::array<BoxAxis, D>& axes, const std::array<double, D>& p) {
    std::array<CellRead, D> cells{};
    std::array<std::size_t, D> strides{};
    std::size_t stride = 1;
    for (std::size_t d = 0; d < D; ++d) {
        cells[d] = locate_cell(p[d], axes[d]);
        strides[d] = stride;
        stride *= axes[d].n;
    }
    return read_corners<D, T>(values, cells, strides, D, 0);
}

template double multilinear_read<4, double>(std::span<const double>, const std::array<BoxAxis, 4>&,
                                            const std::array<double, 4>&);

// ---------------------------------------------------------------------------
// Heisenberg heat kernel
// ---------------------------------------------------------------------------
//
// p_h(x, y, tc) = 1/(8 pi^2) * integral over lambda of
//   (lambda / sinh(lambda h/2)) exp(-(lambda/4) coth(lambda h/2) (x^2 + y^2)) cos(lambda tc),
// the density of exp(h (X_1^2 + X_2^2)/2): mass 1, value 1/(4 h^2) at the
// origin. (1/(4 pi^2) would give mass 2.)
//
// The integrand decays like exp(-|lambda| h/2) but oscillates with cos(lambda tc),
// so one fixed rule cannot follow it once |tc| exceeds about h. The integral
// is cut at Lambda = 40/h (tail below e^-20 of the peak) and split into
// 5 + ceil(|tc| Lambda/8) panels of the 32-point Gauss-Legendre rule, enough
// panels to resolve the oscillation: the worst error is 3.5e-8 of the value
// at the origin for |tc| <= 16 h. Beyond |tc| = 200 h the value is below
// double-precision resolution of the peak and 0 is returned, which keeps the
// panel count (and the work) bounded.
//
// The integral is summed in the scaled variables R^2 = (x^2 + y^2)/h,
// T = tc/h of p_h = p_1(R, T)/h^2, in mu = h lambda, with the Gaussian
// factor e^{-R^2/2} taken out and applied in logarithms: the integrand is
// evaluated at the same mu for every h, so the scaling law holds to the
// rounding of R^2, T and the final factors at every h, and neither 1/h^2
// nor e^{-R^2/2} leaves the double range before the value does: the value
// is returned wherever it is representable, and inf where it is not (at the
// origin, 1/(4 h^2), for h below 3.73e-155). Any cut taken at a fixed
// lambda rather than a fixed mu would move the value with h.

namespace {

constexpr double kInvEightPiSquared = 0.012665147955292222;

const QuadratureRule& legendre32() {
    static const QuadratureRule rule = expect_ok(gauss_legendre_rule(32, -1.0, 1.0), "heisenberg_heat_kernel");
    return rule;
}

// Beyond R^2 = 4500 the bound e^{-R^2/2}/(4 h^2) of the value lies below the
// smallest subnormal for every h >= 2^-1074 (1/(4 h^2) < e^{1488}).
constexpr double kScaledZeroBeyondR2 = 4500.0;

// ln 2 split so that n * kLn2Hi is exact for |n| < 2^20.
constexpr double kLn2Hi = 6.93147180369123816490e-01;
constexpr double kLn2Lo = 1.90821492927058770002e-10;

// Gauss-Legendre panels of equal width over [-cutoff, cutoff], summed panel
// by panel, times 1/(8 pi^2).
template <class Integrand>
double panel_sum(double cutoff, std::size_t panels, const Integrand& f) {
    const QuadratureRule& rule = legendre32();
    const double width = (cutoff + cutoff) / static_cast<double>(panels);
    const double half = 0.5 * width;
    double total = 0.0;
    for (std::size_t q = 0; q < panels; ++q) {
        const double mid = -cutoff + width * (static_cast<double>(q) + 0.5);
        double s = 0.0;
        for (std::size_t i = 0; i < rule.nodes.size(); ++i) s += rule.weights[i] * f(mid + half * rule.nodes[i]);
        total += half * s;
    }
    return total * kInvEightPiSquared;
}

// The profile q(R^2, T) = p_1(R, T) e^{R^2/2}: the kernel at h = 1 with its
// Gaussian factor taken out,
//   q = 1/(8 pi^2) int (mu/sinh(mu/2)) exp(-R^2 g(mu)) cos(mu T) dmu,
//   g(mu) = (mu/4) coth(mu/2) - 1/2 >= mu^2/(24 + 4|mu|) >= 0,
// cut at |mu| = 40 in 5 + ceil(|T| 40/8) panels. For large R^2 the
// integrand is a bump of width about sqrt(12)/R around mu = 0, so the cut is
// drawn where the bound R^2 g reaches 50 (at most 40): the panels then
// follow the bump and q keeps its relative accuracy however small p_1 is.
double scaled_profile(double r2, double t) {
    const double cutoff = std::min(40.0, (100.0 + std::sqrt(10000.0 + 1200.0 * r2)) / r2);
    const std::size_t panels = 5 + static_cast<std::size_t>(std::ceil(std::fabs(t) * cutoff / 8.0));
    return panel_sum(cutoff, panels, [&](double mu) {
        if (std::fabs(mu) < 1e-10) return 2.0;  // the limit at mu = 0, where g = 0
        const double sh = std::sinh(0.5 * mu);
        const double g = (0.25 * mu) * (std::cosh(0.5 * mu) / sh) - 0.5;
        return std::cos(t * mu) * ((mu / sh) * std::exp(-r2 * g));
    });
}

// p_h(x, y, tc) = p_1(x/sqrt(h), y/sqrt(h), tc/h) / h^2 = q(R^2, T) e^{-R^2/2} / h^2.
// With h = m 2^e (m in [1/2, 1)) the factor e^{-R^2/2}/m^2 is written
// 2^n e^rem, |rem| <= ln(2)/2, and the powers of two are applied last: no
// factor over- or underflows before the value does, so a representable
// value is returned to its relative accuracy and one beyond the double
// range as inf.
double scaled_kernel(double h, double x, double y, double tc) {
    const double root = std::sqrt(h);  // normal even for subnormal h
    const double xs = x / root;
    const double ys = y / root;
    const double r2 = xs * xs + ys * ys;
    if (std::isnan(r2)) return std::numeric_limits<double>::quiet_NaN();
    if (!(r2 <= kScaledZeroBeyondR2)) return 0.0;
    const double q = scaled_profile(r2, tc / h);
    int e = 0;
    const double m = std::frexp(h, &e);
    const double lg = -0.5 * r2 - 2.0 * std::log(m);
    const double n = std::nearbyint(lg / kLn2Hi);
    const double rem = (lg - n * kLn2Hi) - n * kLn2Lo;
    return std::ldexp(q * std::exp(rem), static_cast<int>(n) - 2 * e);
}

// The kernel's value as summed: rounding can leave it below 0 where the
// value lies below the quadrature's resolution.
double kernel_sum(double h, double x, double y, double tc) {
    if (h <= 0.0) return 0.0;
    if (std::isnan(h) || std::isnan(tc)) return std::numeric_limits<double>::quiet_NaN();
    // |tc| / 200 > h rather than |tc| > 200 h: beyond h = DBL_MAX / 200 the
    // product overflows and an infinite tc would go on to the sum as NaN.
    if (std::fabs(tc) / 200.0 > h) return 0.0;
    // At h = inf the density is 0 (1/h^2) but for tc = inf, whose T = tc/h
    // has no value.
    if (std::isinf(h)) return std::isinf(tc) ? std::numeric_limits<double>::quiet_NaN() : 0.0;
    return scaled_kernel(h, x, y, tc);
}

}  // namespace

double heisenberg_heat_kernel(double h, double x, double y, double tc) {
    const double v = kernel_sum(h, x, y, tc);
    // A density is not negative: a negative sum is the quadrature's rounding
    // where the value lies below its resolution (large |tc|/h), and one whose
    // size overflows says that the value does too.
    if (v < 0.0) return std::isinf(v) ? std::numeric_limits<double>::infinity() : 0.0;
    return v;
}

// ---------------------------------------------------------------------------
// Kolmogorov phase space
// ---------------------------------------------------------------------------

// The velocity diffusion (1/2) d^2/dv^2 is the heat2 kernel with a = 1/2:
// reads at v +- sqrt(2 tau), v +- sqrt(6 tau), a Gaussian average of
// variance tau.
namespace {
DiffusionChernoff kolmogorov_velocity_diffusion(const Grid2D& grid) {
    return DiffusionChernoff{CoeffSource::constant(0.5), grid.y, 0.5};
}
}  // namespace

bool kolmogorov_reads_located(const Grid2D& grid, double tau) {
    return std::isfinite(3.0 * 0.5 * tau) && sheared_x_reads_located(grid, tau * 0.5) &&
           heat_reads_located(kolmogorov_velocity_diffusion(grid), tau);
}

Status hormander_kolmogorov_step(double tau, const GridFn2D& src, GridFn2D& dst) {
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and non-negative", tau);
    // Where 3 tau/2 overflows, the velocity reads 2 sqrt(3 tau/2) from a node
    // are no doubles; on a v grid spaced finely enough for the shear's feet
    // x - (tau/2) v to stay finite they would lie past 2^53 cells.
    if (!std::isfinite(3.0 * 0.5 * tau)) return domain_error(kReadTooFar, tau);
    const std::size_t nx = src.grid.nx(), nv = src.grid.ny();
    const double c = tau * 0.5;
    GridFn2D sheared{src.grid, std::vector<double>(nx * nv, 0.0)};
    if (Status st = src.sample_sheared_x(sheared.values, nx, nv, c); !st) return st;
    const DiffusionChernoff diffusion = kolmogorov_velocity_diffusion(src.grid);
    dst.values.resize(nx * nv);
    GridFn<double> out{src.grid.y, {}};
    for (std::size_t i = 0; i < nx; ++i) {
        // A step of a 4096 x 4096 grid takes seconds: polled per column.
        if (Status st = poll_stop(); !st) return st;
        const GridFn<double> column = sheared.column(i);
        if (Status st = par_apply_pointwise(out, diffusion, column, tau); !st) return st;
        for (std::size_t k = 0; k < nv; ++k) dst.values[i + k * nx] = out.values[k];
    }
    std::vector<double> back(nx * nv, 0.0);
    if (Status st = dst.sample_sheared_x(back, nx, nv, c); !st) return st;
    dst.values = std::move(back);
    return {};
}

Expected<std::vector<double>> hormander_kolmogorov_evolve(const Grid2D& grid, std::vector<double> values, double t,
                                                          std::size_t n_steps) {
    auto record = KolmogorovHypoelliptic::verify_hormander(KolmogorovGroup::x1());
    if (!record) return fail(record.error());
    record->n = n_steps;
    warm_parallel_caches();
    auto first = GridFn2D::make(grid, std::move(values));
    if (!first) return fail(first.error());
    GridFn2D a = std::move(*first);
    GridFn2D b{grid, std::vector<double>(a.values.size(), 0.0)};
    const double tau = t / static_cast<double>(n_steps);
    for (std::size_t k = 0; k < n_steps; ++k) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        if (Status st = hormander_kolmogorov_step(tau, a, b); !st) return fail(st.error());
        std::swap(a, b);
    }
    return std::move(a.values);
}

}  // namespace quorvane
