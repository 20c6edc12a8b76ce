#include "core/graph/rayleigh.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace quorvane {

namespace {

// Same entries at (i, j) and (j, i): every row compared, as sorted
// (column, value) pairs, with the matching column of the transpose.
template <class F>
bool is_symmetric(const Laplacian<F>& lap) {
    const std::uint64_t n = lap.n_nodes;
    std::vector<std::uint64_t> t_ptr(n + 1, 0);
    for (const std::uint32_t j : lap.col_idx) {
        if (j >= n) return false;
        ++t_ptr[j + 1];
    }
    for (std::uint64_t i = 0; i < n; ++i) t_ptr[i + 1] += t_ptr[i];
    std::vector<std::pair<std::uint32_t, F>> t(lap.col_idx.size());
    std::vector<std::uint64_t> fill(t_ptr.begin(), t_ptr.end() - 1);
    for (std::uint64_t i = 0; i < n; ++i) {
        for (std::uint64_t k = lap.row_ptr[i]; k < lap.row_ptr[i + 1]; ++k) {
            t[fill[lap.col_idx[k]]++] = {static_cast<std::uint32_t>(i), lap.vals[k]};
        }
    }
    std::vector<std::pair<std::uint32_t, F>> row;
    for (std::uint64_t i = 0; i < n; ++i) {
        row.clear();
        for (std::uint64_t k = lap.row_ptr[i]; k < lap.row_ptr[i + 1]; ++k) row.emplace_back(lap.col_idx[k], lap.vals[k]);
        const auto first = t.begin() + static_cast<std::ptrdiff_t>(t_ptr[i]);
        const auto last = t.begin() + static_cast<std::ptrdiff_t>(t_ptr[i + 1]);
        if (row.size() != static_cast<std::size_t>(last - first)) return false;
        std::sort(row.begin(), row.end());
        std::sort(first, last);
        if (!std::equal(row.begin(), row.end(), first)) return false;
    }
    return true;
}

// y = L x in double precision.
template <class F>
void spmv_wide(const Laplacian<F>& lap, const std::vector<double>& x, std::vector<double>& y) {
    for (std::uint64_t i = 0; i < lap.n_nodes; ++i) {
        double sum = 0.0;
        for (std::uint64_t k = lap.row_ptr[i]; k < lap.row_ptr[i + 1]; ++k) {
            sum += static_cast<double>(lap.vals[k]) * x[lap.col_idx[k]];
        }
        y[i] = sum;
    }
}

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double s = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}

// Entries of splitmix64 mapped to [-1, 1): no structure a graph's node
// numbering could make orthogonal to its top eigenvector.
std::vector<double> start_vector(std::uint64_t n) {
    std::vector<double> x(n);
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (double& v : x) {
        state += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        v = static_cast<double>(z >> 11) * 0x1.0p-52 - 1.0;
    }
    return x;
}

}  // namespace

template <class F>
std::optional<double> largest_eigenvalue_lower_bound(const Laplacian<F>& lap) {
    if (lap.n_nodes == 0 || lap.row_ptr.size() != lap.n_nodes + 1 || !is_symmetric(lap)) return std::nullopt;
    std::vector<double> x = start_vector(lap.n_nodes);
    std::vector<double> y(lap.n_nodes);
    std::optional<double> best;
    for (int it = 0; it < kRayleighIterations; ++it) {
        spmv_wide(lap, x, y);
        const double xx = dot(x, x);
        const double q = dot(x, y) / xx;
        if (!std::isfinite(q)) break;
        if (!best || q > *best) best = q;
        const double norm = std::sqrt(dot(y, y));
        if (!(norm > 0.0) || !std::isfinite(norm)) break;
        for (std::size_t i = 0; i < y.size(); ++i) x[i] = y[i] / norm;
    }
    return best;
}

template std::optional<double> largest_eigenvalue_lower_bound<double>(const Laplacian<double>&);
template std::optional<double> largest_eigenvalue_lower_bound<float>(const Laplacian<float>&);

}  // namespace quorvane
