#include "core/geometric/schrodinger_complex.hpp"

#include <cmath>
#include <memory>
#include <utility>

#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {
namespace {

// z * e^{i g V}: (x co - y s, y co + x s).
inline Cplx rotate(Cplx z, double co, double s) { return {z.re * co - z.im * s, z.im * co + z.re * s}; }

inline bool finite(Cplx z) { return std::isfinite(z.re) && std::isfinite(z.im); }

}  // namespace

Expected<SchrodingerChernoffComplex> SchrodingerChernoffComplex::make(const Grid1D<double>& grid,
                                                                      const std::function<double(double)>& potential) {
    const double dx = grid.dx();
    SchrodingerChernoffComplex k;
    k.grid_ = grid;
    k.v_.resize(grid.n);
    for (std::size_t i = 0; i < grid.n; ++i) {
        k.v_[i] = potential(grid.xmin + static_cast<double>(i) * dx);
        if (!std::isfinite(k.v_[i])) return domain_error("Schr\u00f6dingerChernoffComplex: V(x_i) not finite", 0.0);
    }
    return k;
}

Status SchrodingerChernoffComplex::apply_into(std::span<const Cplx> input, std::span<Cplx> output, double tau) const {
    if (!finite_nonneg(tau)) {
        return domain_error("Schr\u00f6dingerChernoffComplex::apply_into: tau must be finite and non-negative", 0.0);
    }
    const std::size_t n = input.size();
    if (n == 0) return {};
    if (v_.size() < n) internal_fault("SchrodingerChernoffComplex::apply_into: input longer than the grid");
    const double h = tau * 0.5;
    const double g = 0.0 - h;
    y_.assign(n, Cplx{});
    for (std::size_t i = 0; i < n; ++i) y_[i] = rotate(input[i], std::cos(g * v_[i]), std::sin(g * v_[i]));

    const double dx = (grid_.xmax - grid_.xmin) / static_cast<double>(n - 1);
    const double r = tau / (dx * dx * 4.0);
    const Cplx beta = Cplx{0.0, 1.0} * Cplx{r, 0.0};
    const Cplx two_beta = Cplx{2.0, 0.0} * beta;
    const Cplx one{1.0, 0.0};
    const Cplx b = one + two_beta;
    const Cplx d = one - two_beta;

    r_.assign(n, Cplx{});
    if (n == 1) {
        r_[0] = d * y_[0];
    } else {
        r_[0] = d * y_[0] + beta * y_[1];
        for (std::size_t i = 1; i + 1 < n; ++i) r_[i] = (beta * y_[i - 1] + d * y_[i]) + beta * y_[i + 1];
        r_[n - 1] = beta * y_[n - 2] + d * y_[n - 1];
    }

    const Cplx e{-beta.re, -beta.im};
    c_.assign(n, Cplx{});
    q_.assign(n, Cplx{});
    c_[0] = e / b;
    q_[0] = r_[0] / b;
    for (std::size_t i = 1; i < n; ++i) {
        const Cplx p = b - e * c_[i - 1];
        if (!finite(p)) return domain_error("Schr\u00f6dingerChernoffComplex::thomas_solve: zero pivot", 0.0);
        c_[i] = i + 1 < n ? e / p : Cplx{};
        q_[i] = (r_[i] - e * q_[i - 1]) / p;
    }
    x_.assign(n, Cplx{});
    x_[n - 1] = q_[n - 1];
    for (std::size_t i = n - 1; i-- > 0;) x_[i] = q_[i] - c_[i] * x_[i + 1];

    const std::size_t m = std::min(n, output.size());
    for (std::size_t i = 0; i < m; ++i) output[i] = rotate(x_[i], std::cos(g * v_[i]), std::sin(g * v_[i]));
    return {};
}

namespace {
// 4 dx^2 as the step forms it.
double four_dx_squared(const Grid1D<double>& grid) {
    const double dx = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
    return dx * dx * 4.0;
}
}  // namespace

bool schrodinger_complex_step_served(const Grid1D<double>& grid, double tau) {
    const double spacing = four_dx_squared(grid);
    return spacing == 0.0 || tau / spacing <= kMaxThomasRatio;
}

double schrodinger_complex_longest_step(const Grid1D<double>& grid) {
    return kMaxThomasRatio * four_dx_squared(grid);
}

std::function<double(double)> nearest_node_potential(std::vector<double> v, double xmin, double dx) {
    auto shared = std::make_shared<const std::vector<double>>(std::move(v));
    return [shared, xmin, dx](double x) {
        const std::vector<double>& samples = *shared;
        if (samples.empty()) return 0.0;
        const std::size_t j = saturating_cast<std::size_t>(round_half_away((x - xmin) / dx));
        return samples[std::min(j, samples.size() - 1)];
    };
}

Expected<std::vector<double>> schrodinger_complex_evolve(const Grid1D<double>& grid, std::vector<double> v,
                                                         std::vector<double> psi, double t, std::size_t n_steps) {
    auto kernel = SchrodingerChernoffComplex::make(grid, nearest_node_potential(std::move(v), grid.xmin, grid.dx()));
    if (!kernel) return fail(kernel.error());
    auto fn = GridFnComplex1D::make(grid, std::move(psi));
    if (!fn) return fail(fn.error());
    const std::size_t n = grid.n;
    // The step is linear: run on max|psi| in [1, 2), where the solve's
    // products stay in range for every ratio served, and scale back.
    const int e = unit_scale_exponent(fn->values);
    scale_by_power_of_two(fn->values, -e);
    std::vector<Cplx> first(n), second(n);
    for (std::size_t i = 0; i < n; ++i) first[i] = {fn->values[2 * i], fn->values[2 * i + 1]};
    const double tau = t / static_cast<double>(n_steps);
    for (std::size_t k = 1; k <= n_steps; ++k) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        const bool odd = k % 2 == 1;
        if (Status st = kernel->apply_into(odd ? first : second, odd ? second : first, tau); !st) {
            return fail(st.error());
        }
    }
    const std::vector<Cplx>& last = n_steps % 2 == 1 ? second : first;
    std::vector<double> out(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = last[i].re;
        out[2 * i + 1] = last[i].im;
    }
    scale_by_power_of_two(out, e);
    return out;
}

}  // namespace quorvane
