#include "core/bounded/subordinated.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <utility>

#include "core/foundation/gen_quadrature.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/parallel1d.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

namespace {

constexpr std::size_t kChainSteps = 32;

// First weight 1 - sum |d_k| at time 0, then the nodes; split when the sum
// exceeds 1 (d_k is linear in tau).
SubordinationRule levy_rule(const QuadratureRule& q, double tau, auto node_time, auto jump_weight) {
    SubordinationRule r;
    double total = 0.0;
    std::vector<double> times, d;
    for (std::size_t k = 0; k < q.nodes.size(); ++k) {
        const double x = q.nodes[k], w = q.weights[k];
        const double dk = jump_weight(x, w, tau);
        if (!(x > 0.0) || !std::isfinite(x) || !std::isfinite(dk)) continue;
        times.push_back(node_time(x));
        d.push_back(dk);
        total += dk;
    }
    r.jump_weight = total;
    r.sub_steps = total > 1.0 ? saturating_cast<std::size_t>(std::ceil(total)) : 1;
    const double scale = 1.0 / static_cast<double>(r.sub_steps);
    r.times.push_back(0.0);
    r.weights.push_back(1.0 - total * scale);
    for (std::size_t k = 0; k < times.size(); ++k) {
        r.times.push_back(times[k]);
        r.weights.push_back(d[k] * scale);
    }
    return r;
}

// The count and size of the heat steps that take D(reached) to D(s): up to
// kChainSteps equal steps, fewer for a node close to the previous one. The
// fraction is formed first: 32 (s - reached) overflows for s near the top of
// the range (and the count would run to 2^64); scaling by 32 is exact, so
// the count is the same elsewhere.
std::pair<std::size_t, double> chain_steps(double s, double reached) {
    const double want = std::ceil(static_cast<double>(kChainSteps) * ((s - reached) / s));
    const std::size_t k = std::max<std::size_t>(1, saturating_cast<std::size_t>(want));
    return {k, (s - reached) / static_cast<double>(k)};
}

// phi(mu) for mu = sigma/dx^2 (sigma = mu dx^2 <= 6.05), formed so that
// neither mu nor mu/c need be a double: on a grid of dx near the least
// normal root mu overflows, and mu/c does for tiny c.
double mode_rate(Subordinator law, double sigma, double dx) {
    if (!(sigma > 0.0)) return 0.0;
    const double c = law.param;
    if (law.tag == Subordinator::Tag::InverseGaussian) {
        // sqrt(c^2 + 2 mu) - c = s^2/(sqrt(c^2 + s^2) + c), s = sqrt(2 mu): no cancellation.
        const double s = std::sqrt(2.0 * sigma) / dx;
        return s * (s / (std::hypot(c, s) + c));
    }
    // log1p(mu/c), mu/c = q 2^e with q near 1.
    int edx = 0, ec = 0;
    const double mdx = std::frexp(dx, &edx), mc = std::frexp(c, &ec);
    const double q = sigma / (mdx * mdx) / mc;
    const int e = -2 * edx - ec;
    const double r = std::ldexp(q, e);
    if (std::isfinite(r)) return std::log1p(r);
    return std::log(q) + static_cast<double>(e) * 0.6931471805599453;  // r beyond the doubles: log1p(r) = log r
}

}  // namespace

double unit_mode_symbol(double theta) {
    const double a = std::sin(0.5 * theta), b = std::sin(theta), d = std::sin(1.5 * theta);
    return (1080.0 * (a * a) - 108.0 * (b * b) + 8.0 * (d * d)) / 180.0;
}

Expected<std::shared_ptr<const SubordinatedModes>> SubordinatedModes::make(const Grid1D<double>& grid,
                                                                          Subordinator law) {
    const BoundaryTag ends = grid.boundary.tag;
    if (law.tag == Subordinator::Tag::Stable || (ends != BoundaryTag::Reflect && ends != BoundaryTag::Periodic)) {
        return std::shared_ptr<const SubordinatedModes>{};
    }
    const bool mirrored = ends == BoundaryTag::Reflect;
    const std::size_t n = grid.n;
    if (mirrored && n > SIZE_MAX / 2) return domain_error("SubordinatedModes: too many nodes", static_cast<double>(n));
    const std::size_t length = mirrored ? 2 * n - 2 : n;
    auto dft = Dft::make(length);
    if (!dft) return fail(dft.error());
    auto m = std::make_shared<SubordinatedModes>();
    m->dft = std::move(*dft);
    m->mirrored = mirrored;
    m->rates.resize(length / 2 + 1);
    const double dx = grid.dx();
    for (std::size_t k = 0; k < m->rates.size(); ++k) {
        // theta = 2 pi k/length: pi k/(n - 1) mirrored, 2 pi k/n periodic.
        const double theta = 2.0 * 3.141592653589793 * (static_cast<double>(k) / static_cast<double>(length));
        m->rates[k] = mode_rate(law, unit_mode_symbol(theta), dx);
    }
    return std::shared_ptr<const SubordinatedModes>(std::move(m));
}

void SubordinatedModes::apply(std::span<const double> src, std::span<double> dst, double tau) const {
    const std::size_t n = src.size(), length = dft.size();
    std::vector<std::complex<double>> a(length), work;
    for (std::size_t j = 0; j < n; ++j) a[j] = src[j];
    if (mirrored) {
        for (std::size_t j = 1; j + 1 < n; ++j) a[length - j] = src[j];
    }
    dft.transform(a, -1, work);
    for (std::size_t k = 0; k < length; ++k) {
        const double rate = rates[std::min(k, length - k)];
        a[k] *= std::expm1(-(tau * rate)) / static_cast<double>(length);
    }
    dft.transform(a, +1, work);
    for (std::size_t j = 0; j < n; ++j) dst[j] = src[j] + a[j].real();
}

double longest_chain_step(const SubordinationRule& r) {
    double reached = 0.0, longest = 0.0;
    for (const double s : r.times) {
        if (!(s > reached)) continue;
        longest = std::fmax(longest, chain_steps(s, reached).second);
        reached = s;
    }
    return longest;
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
    auto modes = SubordinatedModes::make(grid, law);
    if (!modes) return fail(modes.error());
    return SubordinatedChernoff{DiffusionChernoff::unit(grid), law, n_nodes, std::move(*modes)};
}

Expected<SubordinationRule> SubordinatedChernoff::rule(double tau) const {
    const std::size_t m = std::clamp<std::size_t>(n_nodes, 1, 32);
    switch (law.tag) {
        case Subordinator::Tag::Stable: {
            const double alpha = std::clamp(law.param, 1e-10, 0.9999999999);
            const double g = std::tgamma(1.0 - alpha);
            auto q = gamma_weighted_gauss_rule(m, -alpha);
            if (!q) return fail(q.error());
            const double tp = tau > 0.0 ? tau : 0.0;
            // nu(ds) = alpha/Gamma(1-alpha) s^{-1-alpha} ds, and s^{-1-alpha} = (e^s/s) s^{-alpha} e^{-s}.
            return levy_rule(*q, tp, [](double x) { return x; }, [&](double x, double w, double t) {
                if (!(x < 700.0) || !std::isfinite(w) || !std::isfinite(std::exp(x))) return std::nan("");
                return -(((-(t * alpha) / g) * w) * std::exp(x) / x);
            });
        }
        case Subordinator::Tag::InverseGaussian: {
            const double c = law.param;
            auto q = gamma_weighted_gauss_rule(m, -0.5);
            if (!q) return fail(q.error());
            const double tp = tau > 0.0 ? tau : 0.0;
            // nu(dx) = x^{-3/2} e^{-c^2 x/2} dx / sqrt(2 pi); with x = 2y/c^2 it is
            // c/(2 sqrt(pi)) y^{-3/2} e^{-y} dy.
            const double k = c / (2.0 * std::sqrt(3.141592653589793));
            return levy_rule(*q, tp, [&](double y) { return 2.0 * y / (c * c); },
                             [&](double y, double w, double t) { return t * k * w / y; });
        }
        case Subordinator::Tag::Gamma: break;
    }
    const double c = law.param;
    if (tau <= kGammaLevyStep) {
        // nu(ds) = s^{-1} e^{-c s} ds; with x = c s it is x^{-1} e^{-x} dx,
        // taken by the rule of e^{-x} with the weights w/x.
        auto q = gamma_weighted_gauss_rule(m, 0.0);
        if (!q) return fail(q.error());
        const double tp = tau > 0.0 ? tau : 0.0;
        return levy_rule(*q, tp, [&](double x) { return x / c; },
                         [](double x, double w, double t) { return t * w / x; });
    }
    auto q = gamma_weighted_gauss_rule(m, tau - 1.0);
    if (!q) return fail(q.error());
    double total = 0.0;
    for (double w : q->weights) total += w;
    SubordinationRule r;
    for (std::size_t k = 0; k < q->nodes.size(); ++k) {
        r.times.push_back(q->nodes[k] / c);
        r.weights.push_back(q->weights[k] / total);
    }
    return r;
}

Status SubordinatedChernoff::apply_into(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>& pool,
                                        double tau) const {
    if (!finite_nonneg(tau)) return domain_error("SubordinatedChernoff::apply_into: tau must be >= 0 and finite", tau);
    if (modes) {
        dst.values.resize(src.values.size());
        modes->apply(src.values, dst.values, tau);
        return {};
    }
    auto r = rule(tau);
    if (!r) return fail(r.error());
    const std::size_t n = src.values.size();
    GridFn<double> cur{src.grid, pool.take(n)};
    std::copy(src.values.begin(), src.values.end(), cur.values.begin());
    GridFn<double> chain{src.grid, pool.take(n)};
    GridFn<double> spare{src.grid, pool.take(n)};
    Status st;
    for (std::size_t sub = 0; sub < r->sub_steps && st; ++sub) {
        if (Status stop = poll_stop(); !stop) {
            st = stop;
            break;
        }
        // chain holds D(reached) cur; the nodes ascend, so each D(s_j) is
        // reached from the previous one. D(0) is the identity at the nodes.
        dst.values.assign(n, 0.0);
        std::copy(cur.values.begin(), cur.values.end(), chain.values.begin());
        double reached = 0.0;
        for (std::size_t j = 0; j < r->times.size() && j < r->weights.size() && st; ++j) {
            const double s = r->times[j];
            if (s > reached) {
                const auto [kj, h] = chain_steps(s, reached);
                for (std::size_t i = 0; i < kj && st; ++i) {
                    st = par_apply_pointwise(spare, inner, chain, h);
                    std::swap(chain.values, spare.values);
                }
                reached = s;
            }
            if (!st) break;
            const double w = r->weights[j];
            for (std::size_t i = 0; i < n; ++i) dst.values[i] += w * chain.values[i];
        }
        std::copy(dst.values.begin(), dst.values.end(), cur.values.begin());
    }
    pool.give_back(std::move(cur.values));
    pool.give_back(std::move(chain.values));
    pool.give_back(std::move(spare.values));
    return st;
}

}  // namespace quorvane
