#include "core/bounded/subordinated.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/foundation/memory.hpp"
#include "core/foundation/numeric.hpp"

namespace quorvane {

namespace {

using Complex = std::complex<double>;

constexpr double kPi = 3.141592653589793;
constexpr double kLn2 = 0.6931471805599453;

// log(1 + v) for Re v >= 0 (no cancellation in |1 + v|^2 = 1 + 2 Re v + |v|^2).
Complex log1p_complex(Complex v) {
    const double re = v.real(), im = v.imag();
    return {0.5 * std::log1p(2.0 * re + (re * re + im * im)), std::atan2(im, 1.0 + re)};
}

}  // namespace

Complex log_law_exponent(Subordinator law, Complex z, double dx) {
    const Complex log_z = std::log(z);
    const double log_dx = std::log(dx);
    switch (law.tag) {
        case Subordinator::Tag::Stable: return law.param * (log_z - 2.0 * log_dx);
        case Subordinator::Tag::Gamma: {
            // phi = log(1 + v), v = z/(c dx^2) = e^u, with c dx^2 taken as its
            // mantissas and its power of two apart: c and dx scaled by powers of
            // two that keep c dx^2 give the same bits.
            int ec = 0, edx = 0;
            const double mc = std::frexp(law.param, &ec), mdx = std::frexp(dx, &edx);
            const Complex u = std::log(z / (mc * (mdx * mdx))) - static_cast<double>(ec + 2 * edx) * kLn2;
            if (u.real() < -1.0) {
                // log phi = u + log(log1p(v)/v): v may underflow where phi does not.
                const Complex v = std::exp(u);
                const Complex ratio = std::abs(v) < 1e-8 ? 1.0 - 0.5 * v : log1p_complex(v) / v;
                return u + std::log(ratio);
            }
            return std::log(u + log1p_complex(std::exp(-u)));
        }
        case Subordinator::Tag::InverseGaussian: {
            // phi = 2z/(dx D), D = sqrt(g^2 + 2z) + g, g = c dx: no cancellation
            // in sqrt(c^2 + 2 mu) - c; g is taken through its logarithm.
            const double log_g = std::log(law.param) + log_dx;
            Complex log_d;
            if (log_g < 18.420680743952367) {  // g < 1e8: g^2 + 2z is a double
                const double g = std::exp(log_g);
                log_d = std::log(std::sqrt(g * g + 2.0 * z) + g);
            } else {
                const Complex eps = std::exp(std::log(2.0 * z) - 2.0 * log_g);
                log_d = log_g + std::log(std::sqrt(1.0 + eps) + 1.0);
            }
            return std::log(2.0 * z) - log_dx - log_d;
        }
    }
    return {};
}

double law_sector_power(Subordinator law) {
    return law.tag == Subordinator::Tag::Stable ? std::max(law.param, 0.5) : 1.0;
}

double unit_mode_symbol(double theta) {
    const double a = std::sin(0.5 * theta), b = std::sin(theta), d = std::sin(1.5 * theta);
    return (1080.0 * (a * a) - 108.0 * (b * b) + 8.0 * (d * d)) / 180.0;
}

Expected<SubordinatedModes> SubordinatedModes::make(const Grid1D<double>& grid, Subordinator law) {
    const bool mirrored = grid.boundary.tag == BoundaryTag::Reflect;
    const std::size_t n = grid.n;
    if (mirrored && n > SIZE_MAX / 2) return domain_error("SubordinatedModes: too many nodes", static_cast<double>(n));
    const std::size_t length = mirrored ? 2 * n - 2 : n;
    auto dft = Dft::make(length);
    if (!dft) return fail(dft.error());
    SubordinatedModes m{std::move(*dft), mirrored, {}};
    m.log_rates.resize(length / 2 + 1);
    const double dx = grid.dx();
    for (std::size_t k = 0; k < m.log_rates.size(); ++k) {
        // theta = 2 pi k/length: pi k/(n - 1) mirrored, 2 pi k/n periodic.
        const double theta = 2.0 * kPi * (static_cast<double>(k) / static_cast<double>(length));
        m.log_rates[k] = log_law_exponent(law, Complex{unit_mode_symbol(theta), 0.0}, dx).real();
    }
    return m;
}

void SubordinatedModes::apply(std::span<const double> src, std::span<double> dst, double t) const {
    const std::size_t n = src.size(), length = dft.size();
    std::vector<std::complex<double>> a(length), work;
    for (std::size_t j = 0; j < n; ++j) a[j] = src[j];
    if (mirrored) {
        for (std::size_t j = 1; j + 1 < n; ++j) a[length - j] = src[j];
    }
    dft.transform(a, -1, work);
    const double log_t = std::log(t);
    for (std::size_t k = 0; k < length; ++k) {
        // t phi = exp(log t + log phi): inf beyond the doubles, where expm1 gives -1.
        const double rate = std::exp(log_t + log_rates[std::min(k, length - k)]);
        a[k] *= std::expm1(-rate) / static_cast<double>(length);
    }
    dft.transform(a, +1, work);
    for (std::size_t j = 0; j < n; ++j) dst[j] = src[j] + a[j].real();
}

Expected<std::shared_ptr<const SubordinatedFlow>> SubordinatedFlow::make(const Grid1D<double>& grid,
                                                                        Subordinator law) {
    auto flow = std::make_shared<SubordinatedFlow>();
    const BoundaryTag ends = grid.boundary.tag;
    if (ends == BoundaryTag::Reflect || ends == BoundaryTag::Periodic) {
        auto modes = SubordinatedModes::make(grid, law);
        if (!modes) return fail(modes.error());
        flow->modes = std::make_shared<const SubordinatedModes>(std::move(*modes));
        return std::shared_ptr<const SubordinatedFlow>(std::move(flow));
    }
    if (grid.n > SubordinatedContour::kMaxNodes)
        return domain_error("Subordinated1D: zero and linear ends serve n <= 262144 nodes: the flow's rounding grows "
                            "like n^2 eps there (3e-6 of max|u0| at most at that n); reflecting and periodic ends serve any n",
                            static_cast<double>(grid.n));
    if (!fits_in_memory(SubordinatedContour::call_bytes(grid.n)))
        return domain_error("Subordinated1D: the flow's banded solves need more than this machine's memory; n",
                            static_cast<double>(grid.n));
    auto contour = SubordinatedContour::make(grid, law_sector_power(law));
    if (!contour) return fail(contour.error());
    flow->contour = std::move(*contour);
    const double dx = grid.dx();
    flow->log_phi.reserve(flow->contour->nodes.size());
    for (const Complex z : flow->contour->nodes) flow->log_phi.push_back(log_law_exponent(law, z, dx));
    return std::shared_ptr<const SubordinatedFlow>(std::move(flow));
}

Status SubordinatedFlow::apply(std::span<const double> src, std::span<double> dst, double t) const {
    if (t == 0.0) {
        std::copy(src.begin(), src.end(), dst.begin());
        return {};
    }
    if (modes) {
        modes->apply(src, dst, t);
        return {};
    }
    const double log_t = std::log(t);
    std::vector<Complex> log_w(log_phi.size());
    for (std::size_t j = 0; j < log_phi.size(); ++j) log_w[j] = log_t + log_phi[j];
    return contour->apply(src, dst, log_w);
}

Expected<Subordinator> Subordinator::stable(double alpha) {
    if (!(alpha > 0.0 && alpha < 1.0)) return domain_error("StableSubordinator::new: alpha must be in (0, 1) strict", alpha);
    return Subordinator{Tag::Stable, alpha};
}

Expected<Subordinator> Subordinator::gamma(double c) {
    if (!(c > 0.0 && std::isfinite(c))) return domain_error("GammaSubordinator::new: c must be > 0 and finite", c);
    return Subordinator{Tag::Gamma, c};
}

Expected<Subordinator> Subordinator::inverse_gaussian(double c) {
    if (!(c > 0.0 && std::isfinite(c)))
        return domain_error("InverseGaussianSubordinator::new: c must be > 0 and finite", c);
    return Subordinator{Tag::InverseGaussian, c};
}

Expected<SubordinatedChernoff> SubordinatedChernoff::make(const Grid1D<double>& grid, Subordinator law,
                                                          std::size_t n_nodes) {
    if (n_nodes < 1 || n_nodes > 32)
        return domain_error("SubordinatedChernoff::with_n_nodes: n_nodes must be in [1, 32]", static_cast<double>(n_nodes));
    auto flow = SubordinatedFlow::make(grid, law);
    if (!flow) return fail(flow.error());
    return SubordinatedChernoff{DiffusionChernoff::unit(grid), law, n_nodes, std::move(*flow)};
}

Status SubordinatedChernoff::apply_into(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>&,
                                        double tau) const {
    if (!finite_nonneg(tau)) return domain_error("SubordinatedChernoff::apply_into: tau must be >= 0 and finite", tau);
    dst.values.resize(src.values.size());
    return flow->apply(src.values, dst.values, tau);
}

Expected<std::vector<double>> SubordinatedChernoff::evolve(std::vector<double> values, double t) const {
    if (!finite_nonneg(t)) return domain_error("t must be finite and >= 0", t);
    std::vector<double> out(values.size());
    if (Status st = flow->apply(values, out, t); !st) return fail(st.error());
    return out;
}

}  // namespace quorvane
