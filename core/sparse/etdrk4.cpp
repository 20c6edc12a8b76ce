#include "core/sparse/etdrk4.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/foundation/grid_fn.hpp"
#include "core/foundation/stop.hpp"
#include "core/graph/norm_guard.hpp"

namespace quorvane {

namespace {

// u^3 leaves the double range for |u| above about 5.6e102, which a large
// state or a blowing-up stage reaches; the phi actions would only carry the
// Inf or NaN on.
Status allen_cahn(std::span<const double> x, std::span<double> out) {
    for (std::size_t i = 0; i < x.size(); ++i) out[i] = x[i] - x[i] * x[i] * x[i];
    if (const double* bad = first_non_finite<double>(out)) {
        return domain_error("Etdrk4: the nonlinearity u - u^3 overflows the double range", *bad);
    }
    return {};
}

constexpr const char* kEtdrk4TooLarge =
    "Etdrk4: h * lambda_max_bound too large: a phi action of the step would need more than 10000000 operator "
    "products (use a smaller h)";

}  // namespace

Expected<Etdrk4> Etdrk4::make(NegLaplacianGenerator generator, Etdrk4Nonlinearity nonlinearity, double h) {
    const std::uint64_t n = generator.n();
    if (n == 0) return domain_error("Etdrk4::new: op.dim() must be > 0", 0.0);
    const Laplacian<double>& lap = *generator.lap;
    double floor = std::numeric_limits<double>::infinity();
    for (std::uint64_t i = 0; i < n; ++i) {
        // Repeated entries of a column: the diagonal ones add up, the
        // off-diagonal ones count by their magnitudes (a lower bound still).
        double diag = 0.0, off = 0.0;
        for (std::uint64_t k = lap.row_ptr[i]; k < lap.row_ptr[i + 1]; ++k) {
            if (lap.col_idx[k] == i) diag += lap.vals[k];
            else off += std::fabs(lap.vals[k]);
        }
        floor = std::min(floor, diag - off);
    }
    return Etdrk4{std::move(generator), h, n, nonlinearity, floor};
}

Etdrk4Limits etdrk4_limits(const Etdrk4& scheme, double top) {
    const double settled = etdrk4_bound(scheme, 0.0);
    const double judged = top <= settled * (1.0 + kEtdrk4Overshoot) ? std::min(top, settled) : top;
    const double reach = std::max(std::sqrt(std::max(0.0, 1.0 - scheme.spectrum_floor)), judged);
    const double damping = std::max(0.0, 3.0 * reach * reach - 1.0);
    const double h_max = damping > 0.0 ? kEtdrk4SettleLimit / damping : std::numeric_limits<double>::infinity();
    return {reach, damping, h_max};
}

double etdrk4_bound(const Etdrk4& scheme, double top) {
    return std::max(top, std::sqrt(std::max(1.0, 1.0 - scheme.spectrum_floor)));
}

Status etdrk4_fits(const Etdrk4& scheme) { return phi_plans_fit(scheme.generator, scheme.h, kEtdrk4TooLarge); }

double etdrk4_rounding(const Etdrk4& scheme, std::uint64_t n_steps) {
    // The plan of unit-norm data bounds every action of the step (phi_plans_fit).
    const double one = 1.0;
    const auto plan = phi_plan(scheme.generator, scheme.h, std::span<const double>(&one, 1));
    const double per_action = plan ? static_cast<double>(plan->taylor.s) * plan->taylor.m : 1e7;
    // Nine actions, and the nonlinearity and combinations of the stages.
    return rounding_growth(n_steps, static_cast<int>(9.0 * per_action + 16.0),
                          std::numeric_limits<double>::epsilon() / 2.0);
}

const double* etdrk4_beyond(std::span<const double> out, double bound, double rounding) {
    const double limit = bound * (1.0 + kEtdrk4Overshoot) * (1.0 + rounding);
    for (const double& e : out) {
        if (!(std::fabs(e) <= limit)) return &e;
    }
    return nullptr;
}

Status etdrk4_step(const NegLaplacianGenerator& gen, std::span<const double> u, std::span<double> out,
                   ScratchPool<double>& pool, double h) {
    // Every action of the step has a time of h or h/2. Judged up front: the
    // five half-step actions come first and could run for as long as the
    // refused one before it is reached.
    if (Status st = phi_plans_fit(gen, h, kEtdrk4TooLarge); !st) return st;
    const std::size_t n = u.size();
    const double h2 = h / 2.0;
    std::vector<double> nu = pool.take(n), e2u = pool.take(n), a = pool.take(n), na = pool.take(n),
                        b = pool.take(n), nb = pool.take(n), c = pool.take(n);
    std::vector<double> nc, eu, g2, g3, p1, p2, p3;
    Status st = [&]() -> Status {
        // a, b and c: the three stages at h/2, each from one phi_1 product.
        auto stage = [&](std::span<const double> base, std::span<const double> forcing, std::span<double> dst) -> Status {
            std::vector<double> p = pool.take(n);
            Status s = phi_action_expmv(gen, 1, forcing, p, pool, h2);
            if (s) {
                for (std::size_t i = 0; i < n; ++i) dst[i] = base[i] + h2 * p[i];
            }
            pool.give_back(std::move(p));
            return s;
        };
        if (Status s = allen_cahn(u, nu); !s) return s;
        if (Status s = phi_action_expmv(gen, 0, u, e2u, pool, h2); !s) return s;
        if (Status s = stage(e2u, nu, a); !s) return s;
        if (Status s = allen_cahn(a, na); !s) return s;
        if (Status s = stage(e2u, na, b); !s) return s;
        if (Status s = allen_cahn(b, nb); !s) return s;
        {
            std::vector<double> e2a = pool.take(n);
            std::vector<double> f = pool.take(n);
            for (std::size_t i = 0; i < n; ++i) f[i] = (nb[i] + nb[i]) - nu[i];
            Status s = phi_action_expmv(gen, 0, a, e2a, pool, h2);
            if (s) s = stage(e2a, f, c);
            pool.give_back(std::move(f));
            pool.give_back(std::move(e2a));
            if (!s) return s;
        }
        nc = pool.take(n);
        if (Status s = allen_cahn(c, nc); !s) return s;
        eu = pool.take(n);
        if (Status s = phi_action_expmv(gen, 0, u, eu, pool, h); !s) return s;
        g2 = pool.take(n);
        g3 = pool.take(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double s = na[i] + nb[i];
            g2[i] = ((s + s) + (-3.0) * nu[i]) - nc[i];
            g3[i] = (nu[i] + nc[i]) * 4.0 - s * 4.0;
        }
        p1 = pool.take(n);
        p2 = pool.take(n);
        p3 = pool.take(n);
        if (Status s = phi_action_expmv(gen, 1, nu, p1, pool, h); !s) return s;
        if (Status s = phi_action_expmv(gen, 2, g2, p2, pool, h); !s) return s;
        if (Status s = phi_action_expmv(gen, 3, g3, p3, pool, h); !s) return s;
        for (std::size_t i = 0; i < n; ++i) out[i] = eu[i] + h * ((p1[i] + p2[i]) + p3[i]);
        if (const double* bad = first_non_finite<double>(out)) {
            return domain_error("Etdrk4: the state overflows the double range", *bad);
        }
        return {};
    }();
    for (std::vector<double>* v : {&p3, &p2, &p1, &g3, &g2, &eu, &nc, &c, &nb, &b, &na, &a, &e2u, &nu}) {
        if (v->capacity() != 0) pool.give_back(std::move(*v));
    }
    return st;
}

Status etdrk4_integrate(const Etdrk4& scheme, std::span<const double> u0, std::uint64_t n_steps, std::span<double> out) {
    ScratchPool<double> pool;
    std::vector<double> u(u0.begin(), u0.end());
    std::vector<double> next = pool.take(u.size());
    for (std::uint64_t k = 0; k < n_steps; ++k) {
        if (Status st = poll_stop(); !st) return st;
        if (Status st = etdrk4_step(scheme.generator, u, next, pool, scheme.h); !st) return st;
        std::copy(next.begin(), next.end(), u.begin());
    }
    std::copy(u.begin(), u.end(), out.begin());
    return {};
}

}  // namespace quorvane
