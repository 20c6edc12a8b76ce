#include "core/line/read_reach.hpp"

#include <cstddef>

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

}  // namespace quorvane
