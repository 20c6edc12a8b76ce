#include "core/graph/laplacian.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/foundation/numeric.hpp"

namespace quorvane {

namespace {

// Largest row sum of |vals|; a row replaces the maximum only when strictly
// greater, so a NaN row sum never does.
template <class F>
F gershgorin(const std::vector<std::uint64_t>& row_ptr, const std::vector<F>& vals, std::uint64_t n) {
    F bound = F(0);
    for (std::uint64_t i = 0; i < n; ++i) {
        F sum = F(0);
        for (std::uint64_t k = row_ptr[i]; k < row_ptr[i + 1]; ++k) sum += std::fabs(vals[k]);
        if (sum > bound) bound = sum;
    }
    return bound;
}

}  // namespace

template <class F>
Laplacian<F> Laplacian<F>::from_graph(const Graph<F>& g, LaplacianKind kind) {
    const std::uint64_t n = g.n_nodes;
    std::vector<F> d(n, F(0));
    for (std::uint64_t i = 0; i < n; ++i) {
        F s = F(0);
        for (std::uint64_t k = g.row_ptr[i]; k < g.row_ptr[i + 1]; ++k) s += g.weights[k];
        d[i] = s;
    }
    // sqrt(d_i) = 2^h_i sqrt(ds_i), ds_i the row's weights scaled by 2^-2h_i
    // (exact) so that the largest lies in [1, 4): the normalized entries stay
    // right where d_i d_j, or d_i itself, leaves the range of F. Built only
    // when some degree lies outside [2^((min_exponent - 1)/2),
    // 2^((max_exponent - 1)/2)]: within it every product d_i d_j lies in
    // [min, 2^(max_exponent - 1)], a normal number, so no entry takes them.
    const F low_degree = std::ldexp(F(1), (std::numeric_limits<F>::min_exponent - 1) / 2);
    const F high_degree = std::ldexp(F(1), (std::numeric_limits<F>::max_exponent - 1) / 2);
    const bool split_needed =
        kind == LaplacianKind::Normalized &&
        std::any_of(d.begin(), d.end(), [&](F v) { return v > F(0) && !(v >= low_degree && v <= high_degree); });
    std::vector<int> half_exp;
    std::vector<F> root_ds;
    if (split_needed) {
        half_exp.assign(n, 0);
        root_ds.assign(n, F(0));
        for (std::uint64_t i = 0; i < n; ++i) {
            F big = F(0);
            for (std::uint64_t k = g.row_ptr[i]; k < g.row_ptr[i + 1]; ++k) big = std::max(big, g.weights[k]);
            if (!(big > F(0))) continue;
            const int h = static_cast<int>(std::floor(static_cast<double>(std::ilogb(big)) / 2.0));
            F s = F(0);
            for (std::uint64_t k = g.row_ptr[i]; k < g.row_ptr[i + 1]; ++k) s += std::ldexp(g.weights[k], -2 * h);
            half_exp[i] = h;
            root_ds[i] = std::sqrt(s);
        }
    }
    // -w / sqrt(d_i d_j) while that product is a normal number (one rounding
    // fewer than the split form); the scaled roots otherwise.
    auto normalized_entry = [&](std::uint64_t i, std::uint32_t j, F w) {
        const F prod = d[i] * d[j];
        if (prod >= std::numeric_limits<F>::min() && prod <= std::numeric_limits<F>::max()) return -w / std::sqrt(prod);
        return -std::ldexp(w, -(half_exp[i] + half_exp[j])) / (root_ds[i] * root_ds[j]);
    };
    Laplacian lap;
    lap.n_nodes = n;
    lap.kind = kind;
    lap.row_ptr.reserve(n + 1);
    lap.col_idx.reserve(g.col_idx.size() + n);
    lap.vals.reserve(g.col_idx.size() + n);
    lap.row_ptr.push_back(0);
    for (std::uint64_t i = 0; i < n; ++i) {
        // Graph rows are already ascending by neighbour.
        for (std::uint64_t k = g.row_ptr[i]; k < g.row_ptr[i + 1]; ++k) {
            const std::uint32_t j = g.col_idx[k];
            F v;
            if (kind == LaplacianKind::Normalized) {
                v = (d[i] > F(0) && d[j] > F(0)) ? normalized_entry(i, j, g.weights[k]) : F(0);
            } else {
                v = -g.weights[k];
            }
            lap.col_idx.push_back(j);
            lap.vals.push_back(v);
        }
        lap.col_idx.push_back(static_cast<std::uint32_t>(i));
        if (kind == LaplacianKind::Normalized) lap.vals.push_back(d[i] > F(0) ? F(1) : F(0));
        else lap.vals.push_back(d[i]);
        lap.row_ptr.push_back(lap.col_idx.size());
    }
    lap.spectral_bound = gershgorin(lap.row_ptr, lap.vals, n);
    return lap;
}

template <class F>
void Laplacian<F>::spmv(std::span<const F> x, std::span<F> y) const {
    if (y.size() > n_nodes || row_ptr.size() < y.size() + 1) internal_fault("Laplacian::spmv: output longer than the operator");
    for (std::size_t i = 0; i < y.size(); ++i) {
        const std::uint64_t begin = row_ptr[i];
        const std::uint64_t end = row_ptr[i + 1];
        if (end > col_idx.size() || end > vals.size() || begin > end) internal_fault("Laplacian::spmv: row out of range");
        F sum = F(0);
        for (std::uint64_t k = begin; k < end; ++k) {
            const std::uint32_t j = col_idx[k];
            if (j >= x.size()) internal_fault("Laplacian::spmv: column index out of range");
            sum += vals[k] * x[j];
        }
        y[i] = sum;
    }
}

template struct Laplacian<double>;
template struct Laplacian<float>;

bool LaplacianOperator::diagonal(std::span<double> d) const {
    const Laplacian<double>& lap = *lap_;
    for (std::uint64_t i = 0; i < lap.n_nodes; ++i) {
        // Row i of spmv(e_i) term by term: an off-diagonal entry adds
        // vals * 0.0, a signed zero (NaN for an infinite entry), as in the
        // product, and repeated diagonal entries add up in storage order.
        double sum = 0.0;
        for (std::uint64_t k = lap.row_ptr[i]; k < lap.row_ptr[i + 1]; ++k) {
            sum += lap.vals[k] * (lap.col_idx[k] == i ? 1.0 : 0.0);
        }
        d[i] = sum;
    }
    return true;
}

Expected<Laplacian<double>> from_csr_parts(std::uint64_t n_nodes, std::vector<std::uint64_t> row_ptr,
                                           std::vector<std::uint32_t> col_idx, std::vector<double> vals,
                                           LaplacianKind kind) {
    if (n_nodes == UINT64_MAX || row_ptr.size() != n_nodes + 1) {
        return domain_error("from_csr_parts: row_ptr.len() must equal n_nodes+1", static_cast<double>(row_ptr.size()));
    }
    if (row_ptr[0] != 0) return domain_error("from_csr_parts: row_ptr[0] must be 0", static_cast<double>(row_ptr[0]));
    for (std::uint64_t k = 0; k < n_nodes; ++k) {
        if (row_ptr[k] > row_ptr[k + 1]) {
            return domain_error("from_csr_parts: row_ptr not monotone non-decreasing", static_cast<double>(k));
        }
    }
    const std::uint64_t nnz = row_ptr[n_nodes];
    if (col_idx.size() != nnz || vals.size() != nnz) {
        return domain_error("from_csr_parts: col_idx.len()/vals.len() must equal row_ptr[n_nodes]",
                            static_cast<double>(nnz));
    }
    for (const std::uint32_t j : col_idx) {
        if (j >= n_nodes) return domain_error("from_csr_parts: col_idx entry >= n_nodes", static_cast<double>(j));
    }
    Laplacian<double> lap;
    lap.spectral_bound = gershgorin(row_ptr, vals, n_nodes);
    lap.row_ptr = std::move(row_ptr);
    lap.col_idx = std::move(col_idx);
    lap.vals = std::move(vals);
    lap.n_nodes = n_nodes;
    lap.kind = kind;
    return lap;
}

Status check_laplacian_entries(const Laplacian<double>& lap) {
    for (const double v : lap.vals) {
        if (!std::isfinite(v)) return domain_error("Laplacian::from_csr: non-finite entry", v);
    }
    for (std::uint64_t i = 0; i < lap.n_nodes; ++i) {
        for (std::uint64_t k = lap.row_ptr[i]; k < lap.row_ptr[i + 1]; ++k) {
            if (lap.col_idx[k] == i && lap.vals[k] < 0.0) {
                return domain_error("Laplacian::from_csr: diagonal entry must be >= 0", lap.vals[k]);
            }
        }
    }
    return {};
}

template <class F>
void apply_var_coef_laplacian(const Laplacian<F>& lap, std::span<const F> s, std::span<const F> x, std::span<F> y,
                              std::span<F> t1, std::span<F> t2) {
    const std::size_t n = x.size();
    if (s.size() < n || t1.size() < n || y.size() < n) internal_fault("apply_var_coef_laplacian: buffer too short");
    for (std::size_t i = 0; i < n; ++i) t1[i] = s[i] * x[i];
    lap.spmv(t1, t2);
    if (t2.size() < n) internal_fault("apply_var_coef_laplacian: buffer too short");
    for (std::size_t i = 0; i < n; ++i) y[i] = s[i] * t2[i];
}

template void apply_var_coef_laplacian<double>(const Laplacian<double>&, std::span<const double>,
                                               std::span<const double>, std::span<double>, std::span<double>,
                                               std::span<double>);
template void apply_var_coef_laplacian<float>(const Laplacian<float>&, std::span<const float>, std::span<const float>,
                                              std::span<float>, std::span<float>, std::span<float>);

Expected<Laplacian<double>> split_laplacian(std::uint64_t n_nodes,
                                            std::span<const std::pair<std::uint32_t, std::uint32_t>> pairs) {
    std::vector<Edge<double>> edges;
    edges.reserve(pairs.size());
    for (const auto& [u, v] : pairs) edges.push_back({u, v, 1.0});
    auto g = Graph<double>::from_edges(n_nodes, edges);
    if (!g && g.error().variant() == CoreError::Variant::CallbackFailed) return fail(g.error());
    if (!g) internal_fault("split_laplacians: sub-graph build failed (should never happen)");
    return Laplacian<double>::from_graph(*g, LaplacianKind::Combinatorial);
}

Expected<Laplacian<float>> laplacian_to_f32(const Laplacian<double>& lap) {
    Laplacian<float> out;
    out.row_ptr = lap.row_ptr;
    out.col_idx = lap.col_idx;
    out.vals.reserve(lap.vals.size());
    for (const double v : lap.vals) {
        const float r = narrow_to_float(v);
        if (!std::isfinite(r)) return domain_error("Laplacian: entry is not finite in single precision", r);
        out.vals.push_back(r);
    }
    out.n_nodes = lap.n_nodes;
    out.kind = lap.kind;
    out.spectral_bound = gershgorin(out.row_ptr, out.vals, out.n_nodes);
    return out;
}

std::shared_ptr<const Laplacian<float>> combinatorial_f32_of(const Laplacian<double>& lap) {
    const std::uint64_t n = lap.n_nodes;
    const std::uint64_t carrier = std::max<std::uint64_t>(n, 1);
    auto g64 = Graph<double>::from_edges(n, laplacian_edges(lap));
    auto g32 = g64 ? graph_to_f32(*g64) : Expected<Graph<float>>(std::unexpected(g64.error()));
    const Graph<float> g = g32 ? std::move(*g32) : Graph<float>::path(carrier);
    return std::make_shared<const Laplacian<float>>(Laplacian<float>::from_graph(g, LaplacianKind::Combinatorial));
}

std::vector<Edge<double>> laplacian_edges(const Laplacian<double>& lap) {
    std::vector<Edge<double>> edges;
    for (std::uint64_t i = 0; i < lap.n_nodes; ++i) {
        for (std::uint64_t k = lap.row_ptr[i]; k < lap.row_ptr[i + 1]; ++k) {
            if (lap.col_idx[k] > i && lap.vals[k] < 0.0) {
                edges.push_back({static_cast<std::uint32_t>(i), lap.col_idx[k], -lap.vals[k]});
            }
        }
    }
    return edges;
}

}  // namespace quorvane
