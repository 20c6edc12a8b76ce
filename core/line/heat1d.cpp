#include "core/line/heat1d.hpp"

#include <cmath>

#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

Expected<std::vector<double>> heat1d_evolve_f32(const Grid1D<double>& grid, std::span<const double> values,
                                                double t, std::size_t n_steps) {
    const float xmin = narrow_to_float(grid.xmin);
    const float xmax = narrow_to_float(grid.xmax);
    BoundaryPolicy<float> policy{grid.boundary.tag, narrow_to_float(grid.boundary.p1),
                                 narrow_to_float(grid.boundary.p2)};
    auto g = Grid1D<float>::make(policy, InterpKind::septic(), xmin, xmax, grid.n, kCubicNMessage);
    if (!g) return fail(g.error());
    std::vector<float> cur(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) cur[i] = narrow_to_float(values[i]);
    auto u = GridFn<float>::make(*g, std::move(cur));
    if (!u) return fail(u.error());
    cur = std::move(u->values);

    const float tau = narrow_to_float(t / static_cast<double>(n_steps));
    if (!finite_nonneg(static_cast<double>(tau))) return domain_error("tau must be finite and >= 0", tau);
    const float w0 = static_cast<float>(7.0 / 12.0);
    const float w1 = 0.1875f;
    const float w3 = static_cast<float>(1.0 / 48.0);
    const float r1 = std::sqrt(tau);
    const float h1 = r1 + r1;
    const float r3 = std::sqrt(3.0f * tau);
    const float h3 = r3 + r3;
    const float dx = g->dx();
    const std::size_t n = g->n;
    for (std::size_t step = 0; step < n_steps; ++step) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        std::vector<float> next(n, 0.0f);
        for (std::size_t i = 0; i < n; ++i) {
            const float x = xmin + dx * static_cast<float>(i);
            float s[5];
            const float pts[5] = {x, x + h1, x - h1, x + h3, x - h3};
            for (int k = 0; k < 5; ++k) {
                auto v = g->interp(cur, pts[k]);
                if (!v) return fail(v.error());
                s[k] = *v;
            }
            next[i] = (w0 * s[0] + w1 * (s[1] + s[2])) + w3 * (s[3] + s[4]);
        }
        cur = std::move(next);
    }
    return std::vector<double>(cur.begin(), cur.end());
}

Expected<Heat1DState> build_heat1d_with_a(std::size_t n, std::span<const double> u0, SharedCoeff a,
                                          SharedCoeff a_prime, SharedCoeff a_double_prime,
                                          BoundaryPolicy<double> boundary, double xmin, double xmax,
                                          double a_norm_bound) {
    auto built = build_state(n, 100, u0, boundary, xmin, xmax, [&](const Grid1D<double>& g) {
        return DiffusionChernoff{CoeffSource::shared(std::move(a), std::move(a_prime), std::move(a_double_prime)), g,
                                 a_norm_bound};
    });
    if (!built) return fail(built.error());
    return Heat1DState{std::move(built->first), std::move(built->second)};
}

}  // namespace quorvane
