#include "core/sensitivity/graph_sensitivity.hpp"

#include <algorithm>

namespace quorvane {

Status check_edge_pair(const EdgePair& p, std::uint64_t n) {
    const auto [i, j] = p;
    if (i >= n || j >= n) {
        return domain_error("apply_edge_weight_deriv: index out of range", static_cast<double>(std::max(i, j)));
    }
    if (i == j) return domain_error("apply_edge_weight_deriv: self-loop (i==j)", static_cast<double>(i));
    return {};
}

Status apply_edge_weight_deriv(std::uint64_t i, std::uint64_t j, std::span<const double> x, std::span<double> out) {
    if (Status st = check_edge_pair({i, j}, x.size()); !st) return st;
    const std::size_t n = x.size();
    if (out.size() < n) internal_fault("apply_edge_weight_deriv: output shorter than x");
    // Built as +(x_i - x_j)(e_i - e_j) and negated whole, so the untouched
    // entries read -0.0 as the negated derivative of L would give them.
    std::fill_n(out.begin(), n, 0.0);
    const double d = x[i] - x[j];
    out[i] = d;
    out[j] = -d;
    for (std::size_t m = 0; m < n; ++m) out[m] = -out[m];
    return {};
}

std::vector<EdgePair> all_edge_pairs(const Graph<double>& g) {
    std::vector<EdgePair> pairs;
    pairs.reserve(g.col_idx.size() / 2);
    for (std::uint64_t i = 0; i < g.n_nodes; ++i) {
        for (std::uint64_t k = g.row_ptr[i]; k < g.row_ptr[i + 1]; ++k) {
            const std::uint64_t j = g.col_idx[k];
            if (i < j) pairs.emplace_back(i, j);
        }
    }
    return pairs;
}

}  // namespace quorvane
