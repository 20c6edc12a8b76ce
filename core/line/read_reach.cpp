#include "core/line/read_reach.hpp"

#include <cmath>
#include <cstddef>

#include "core/foundation/numeric.hpp"
#include "core/line/node_form.hpp"

namespace quorvane {

namespace {

template <class K>
bool node_reads_located(const K& k, std::size_t i, double tau) {
    NodeForm form;
    if (!k.node_form(i, tau, form, true)) return true;
    for (std::size_t m = 0; m < form.count; ++m) {
        if (!read_is_located(k.grid, form.point[m])) return false;
    }
    return true;
}

template <class K>
bool reads_located(const K& k, double tau, bool same_offsets) {
    const std::size_t n = k.grid.n;
    if (same_offsets) return node_reads_located(k, 0, tau) && node_reads_located(k, n - 1, tau);
    for (std::size_t i = 0; i < n; ++i) {
        if (!node_reads_located(k, i, tau)) return false;
    }
    return true;
}

}  // namespace

bool heat_reads_located(const DiffusionChernoff& k, double tau) {
    return reads_located(k, tau, k.coef.constant_value().has_value());
}
bool heat_reads_located(const Diffusion4thChernoff& k, double tau) {
    return reads_located(k, tau, k.constant_value().has_value());
}
bool heat_reads_located(const Diffusion6thChernoff& k, double tau) {
    return reads_located(k, tau, k.constant_value().has_value());
}

bool shift_reads_located(const ShiftChernoff1D& k, double tau) {
    const Grid1D<double>& g = k.grid;
    for (std::size_t i = 0; i < g.n; ++i) {
        const double x = g.node(i);
        const double a = k.coef_override ? (*k.coef_override->a)(x) : k.a(x);
        const double b = k.coef_override ? (*k.coef_override->b)(x) : k.b(x);
        if (!finite_nonneg(a)) continue;
        const double r = std::sqrt(tau * a);
        const double h = r + r;
        if (!read_is_located(g, x + h) || !read_is_located(g, x - h) || !read_is_located(g, x + tau * (b + b))) {
            return false;
        }
    }
    return true;
}

bool drift_reads_located(const DriftReactionChernoff& k, double tau, bool reversed) {
    for (std::size_t i = 0; i < k.grid.n; ++i) {
        if (!read_is_located(k.grid, k.foot_and_factor(i, tau, reversed).foot)) return false;
    }
    return true;
}

}  // namespace quorvane
