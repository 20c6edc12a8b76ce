#include "core/graph/rayleigh.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/foundation/csr_transpose.hpp"
#include "core/foundation/numeric.hpp"

namespace quorvane {

namespace {

// L^T with sorted rows equals L with sorted rows: transposing twice sorts
// L's rows, so the two must agree entry for entry. O(nnz), no comparison sort.
template <class F>
bool is_symmetric(const Laplacian<F>& lap) {
    const std::uint64_t n = lap.n_nodes;
    for (const std::uint32_t j : lap.col_idx) {
        if (j >= n) return false;
    }
    const CsrRows<F> t = csr_transpose(n, lap.row_ptr, lap.col_idx, lap.vals);
    const CsrRows<F> tt = csr_transpose(n, t.ptr, t.col, t.val);
    return t.ptr == tt.ptr && t.col == tt.col && t.val == tt.val;
}

// y = L x in double precision, with x'y and y'y accumulated on the way.
template <class F>
void spmv_wide(const Laplacian<F>& lap, const std::vector<double>& x, std::vector<double>& y, double& xy, double& yy) {
    xy = 0.0;
    yy = 0.0;
    for (std::uint64_t i = 0; i < lap.n_nodes; ++i) {
        double sum = 0.0;
        for (std::uint64_t k = lap.row_ptr[i]; k < lap.row_ptr[i + 1]; ++k) {
            sum += static_cast<double>(lap.vals[k]) * x[lap.col_idx[k]];
        }
        y[i] = sum;
        xy += x[i] * sum;
        yy += sum * sum;
    }
}

// Entries of splitmix64 mapped to [-1, 1): no structure a graph's node
// numbering could make orthogonal to its top eigenvector.
std::vector<double> start_vector(std::uint64_t n) {
    std::vector<double> x(n);
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (double& v : x) v = static_cast<double>(splitmix64_next(state) >> 11) * 0x1.0p-52 - 1.0;
    return x;
}

}  // namespace

template <class F>
std::optional<double> largest_eigenvalue_lower_bound(const Laplacian<F>& lap, std::vector<double>& x, int iterations) {
    if (lap.n_nodes == 0 || lap.row_ptr.size() != lap.n_nodes + 1) return std::nullopt;
    // Assembled from a graph, the combinatorial and normalized kinds are
    // symmetric by construction; caller arrays are checked.
    if (lap.kind == LaplacianKind::GeneralSymmetric && !is_symmetric(lap)) return std::nullopt;
    if (x.size() != lap.n_nodes) x = start_vector(lap.n_nodes);
    std::vector<double> y(lap.n_nodes);
    double xx = 0.0;
    for (const double v : x) xx += v * v;
    std::optional<double> best;
    for (int it = 0; it < iterations; ++it) {
        double xy = 0.0, yy = 0.0;
        spmv_wide(lap, x, y, xy, yy);
        const double q = xy / xx;
        if (!std::isfinite(q)) break;
        if (!best || q > *best) best = q;
        const double scale = 1.0 / std::sqrt(yy);
        if (!(yy > 0.0) || !std::isfinite(scale) || !(scale > 0.0)) break;
        xx = 0.0;
        for (std::size_t i = 0; i < y.size(); ++i) {
            x[i] = y[i] * scale;
            xx += x[i] * x[i];
        }
    }
    return best;
}

template <class F>
std::optional<double> largest_eigenvalue_lower_bound(const Laplacian<F>& lap) {
    std::vector<double> x;
    return largest_eigenvalue_lower_bound(lap, x, kRayleighIterations);
}

template std::optional<double> largest_eigenvalue_lower_bound<double>(const Laplacian<double>&);
template std::optional<double> largest_eigenvalue_lower_bound<float>(const Laplacian<float>&);
template std::optional<double> largest_eigenvalue_lower_bound<double>(const Laplacian<double>&, std::vector<double>&,
                                                                      int);
template std::optional<double> largest_eigenvalue_lower_bound<float>(const Laplacian<float>&, std::vector<double>&,
                                                                     int);

}  // namespace quorvane
