#include "core/line/truncated_exp4_compute.hpp"

#include <string>

#include "core/line/truncated_exp.hpp"

namespace quorvane {

Status truncated_exp4_compute(PlainFn a, const Grid1D<double>& grid, std::span<const double> v,
                              std::span<double> out, std::size_t count, double h) {
    return truncated_exp4_compute_nodes(a, grid, v, out, count, 0, count, h);
}

Status truncated_exp4_compute_nodes(PlainFn a, const Grid1D<double>& grid, std::span<const double> v,
                                    std::span<double> out, std::size_t count, std::size_t begin, std::size_t end,
                                    double h) {
    const double dx = grid.dx();
    const double h2 = h + h;
    const double hs = h / series_unit(h);  // the stencil on the series' grid
    for (std::size_t i = begin; i < end; ++i) {
        const double x = grid.xmin + static_cast<double>(i) * dx;
        // u[k + 2] holds the neighbour at offset k = -2..2.
        double u[5];
        for (int k = -2; k <= 2; ++k) {
            const auto j = static_cast<std::ptrdiff_t>(i) + k;
            if (j >= 0 && j < static_cast<std::ptrdiff_t>(count)) {
                u[k + 2] = v[static_cast<std::size_t>(j)];
                continue;
            }
            const double xk = k == -2 ? x - h2 : k == -1 ? x - h : k == 1 ? x + h : x + h2;
            auto r = grid.interp(v, xk);
            if (!r) return fail(r.error());
            u[k + 2] = *r;
        }
        const double a3_plus = a(1.5 * h + x);
        const double a1_plus = a(0.5 * h + x);
        const double a1_minus = a(x - 0.5 * h);
        const double a3_minus = a(x - 1.5 * h);
        const double t1 = ((u[3] - u[2]) * (a1_plus * 5.0)) * 0.25;
        const double t2 = ((u[4] - u[3]) * a3_plus) / 12.0;
        const double t3 = ((u[2] - u[1]) * (a1_minus * 5.0)) * 0.25;
        const double t4 = ((u[1] - u[0]) * a3_minus) / 12.0;
        out[i] = (t4 + ((t1 - t2) - t3)) / (hs * hs);
    }
    return {};
}

double truncated_exp4_node_sum(const std::array<std::span<const double>, 5>& vectors, std::size_t i, double tau) {
    for (const auto& v : vectors) {
        if (i >= v.size()) {
            internal_fault("truncated_exp4_node_sum: index " + std::to_string(i) + " beyond a vector of length " +
                           std::to_string(v.size()));
        }
    }
    const auto& [u, k1, k2, k3, k4] = vectors;
    return ((((u[i] + 0.0) + tau * k1[i]) + ((tau * tau) * 0.5) * k2[i]) + ((tau * (tau * tau)) * (1.0 / 6.0)) * k3[i]) +
           ((tau * (tau * (tau * tau))) * (1.0 / 24.0)) * k4[i];
}

}  // namespace quorvane
