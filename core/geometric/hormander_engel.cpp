#include "core/geometric/hormander_engel.hpp"

#include "core/foundation/numeric.hpp"
#include "core/foundation/parallel1d.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

Status hormander_engel_field_exp(double s, const EngelAxes& axes, std::span<const double> in, std::span<double> out) {
    const BoxAxis& a0 = axes[0];
    const std::size_t n0 = a0.n;
    return field_step(s, in, out, [&](std::size_t m, double sigma) {
        const std::size_t line = m - m % n0;
        const CellRead c = locate_cell(a0.node(m % n0) - sigma, a0);
        return (1.0 - c.f) * in[line + c.i] + c.f * in[line + c.j];
    });
}

Status engel_x2_step(double s, const EngelAxes& axes, std::span<const double> in, std::span<double> out) {
    const std::size_t n0 = axes[0].n, n1 = axes[1].n, n2 = axes[2].n;
    return field_step(s, in, out, [&](std::size_t m, double sigma) {
        const std::size_t i0 = m % n0, i1 = (m / n0) % n1, i2 = (m / (n0 * n1)) % n2, i3 = m / (n0 * n1 * n2);
        const double x0 = axes[0].node(i0), x1 = axes[1].node(i1), x2 = axes[2].node(i2), x3 = axes[3].node(i3);
        const std::array<double, 4> p{x0, x1 - sigma, x2 - x0 * sigma, (x3 + x0 * sigma * sigma * 0.5) - x2 * sigma};
        return multilinear_read<4, double>(in, axes, p);
    });
}

Status hormander_engel_step(double tau, const EngelAxes& axes, std::span<const double> src, std::span<double> dst) {
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and non-negative", tau);
    std::vector<double> a(src.size(), 0.0), b(src.size(), 0.0);
    if (Status st = hormander_engel_field_exp(tau * 0.25, axes, src, a); !st) return st;
    if (Status st = engel_x2_step(tau * 0.5, axes, a, b); !st) return st;
    return hormander_engel_field_exp(tau * 0.25, axes, b, dst);
}

Expected<std::vector<double>> hormander_engel_evolve(const EngelAxes& axes, std::vector<double> values, double t,
                                                     std::size_t n_steps) {
    HypoellipticChernoff<4, 2> record;
    FieldList fields = EngelGroup::vector_fields();
    record.generators = std::move(fields.generators);
    record.drift = std::move(fields.drift);
    record.n = n_steps;
    warm_parallel_caches();
    std::vector<double> other(values.size(), 0.0);
    const double tau = t / static_cast<double>(n_steps);
    for (std::size_t k = 0; k < n_steps; ++k) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        if (Status st = hormander_engel_step(tau, axes, values, other); !st) return fail(st.error());
        std::swap(values, other);
    }
    return values;
}

}  // namespace quorvane
