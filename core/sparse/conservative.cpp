#include "core/sparse/conservative.hpp"

#include <cmath>

namespace quorvane {

Expected<std::vector<double>> check_conservative_coefficients(std::span<const double> k_nodes,
                                                              std::optional<std::span<const double>> r_contact,
                                                              double dx) {
    for (const double k : k_nodes) {
        if (!std::isfinite(k) || k < 0.0) return domain_error("conservative: k_nodes must be non-negative and finite", k);
    }
    const std::size_t faces = k_nodes.empty() ? 0 : k_nodes.size() - 1;
    if (r_contact) {
        if (r_contact->size() != faces) {
            return domain_error("conservative: r_contact.len() must equal k_nodes.len() - 1",
                                static_cast<double>(r_contact->size()));
        }
        for (const double r : *r_contact) {
            if (!std::isfinite(r) || r < 0.0) return domain_error("conservative: r_contact entries must be finite and >= 0", r);
        }
    }
    std::vector<double> g(faces, 0.0);
    for (std::size_t i = 0; i < faces; ++i) {
        const double a = k_nodes[i], b = k_nodes[i + 1];
        if (a <= 0.0 || b <= 0.0) continue;
        const double kh = (a + a) * b / (a + b);
        if (kh <= 0.0) continue;
        const double r = r_contact ? (*r_contact)[i] : 0.0;
        g[i] = 1.0 / (dx / kh + r);
    }
    return g;
}

Expected<SymmetricOperator> assemble_conservative_csr(std::span<const double> g, double dx, bool split_diagonal) {
    const std::size_t n = g.size() + 1;
    std::vector<std::uint64_t> row_ptr;
    std::vector<std::uint32_t> col_idx;
    std::vector<double> vals;
    row_ptr.reserve(n + 1);
    col_idx.reserve(3 * n - 2);
    vals.reserve(3 * n - 2);
    row_ptr.push_back(0);
    for (std::size_t i = 0; i < n; ++i) {
        // The missing outer faces have conductance 0: the zero-flux ends.
        const double left = i > 0 ? g[i - 1] : 0.0;
        const double right = i + 1 < n ? g[i] : 0.0;
        if (i > 0) {
            col_idx.push_back(static_cast<std::uint32_t>(i - 1));
            vals.push_back(-left / dx);
        }
        col_idx.push_back(static_cast<std::uint32_t>(i));
        if (i == 0) vals.push_back(right / dx);
        else if (i + 1 == n) vals.push_back(left / dx);
        else vals.push_back(split_diagonal ? left / dx + right / dx : (left + right) / dx);
        if (i + 1 < n) {
            col_idx.push_back(static_cast<std::uint32_t>(i + 1));
            vals.push_back(-right / dx);
        }
        row_ptr.push_back(col_idx.size());
    }
    return SymmetricOperator::from_csr(n, row_ptr, col_idx, vals, 1e-10);
}

Expected<SymmetricOperator> ConservativeDiffusionChernoff::to_symmetric_operator() const {
    return assemble_conservative_csr(*g, grid.dx(), true);
}

}  // namespace quorvane
