// Graph Laplacians in compressed-row form with their Gershgorin bound.
//
// Assembled from a graph as L = D - W (combinatorial) or
// I - D^-1/2 W D^-1/2 (normalized): each row holds its off-diagonal entries
// by ascending column, then the diagonal entry last, so an isolated node
// still stores one (zero) entry. Or taken over from caller CSR arrays after
// structural validation. Immutable once built and shared by handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/graph/graph.hpp"
#include "core/graph/pcg.hpp"

namespace quorvane {

enum class LaplacianKind : std::uint8_t { Combinatorial = 0, Normalized = 1, GeneralSymmetric = 2 };

template <class F>
struct Laplacian {
    std::vector<std::uint64_t> row_ptr;
    std::vector<std::uint32_t> col_idx;
    std::vector<F> vals;
    std::uint64_t n_nodes = 0;
    // max over rows of sum |L_ij|, 0 for no rows; a NaN row sum never raises it.
    F spectral_bound = F(0);
    LaplacianKind kind = LaplacianKind::Combinatorial;

    // Never fails. The single-precision instance is only used combinatorial.
    static Laplacian from_graph(const Graph<F>& g, LaplacianKind kind);

    // y[i] = sum over row i, in storage order, of vals[k] x[col_idx[k]], for
    // every i < y.size(). An index outside the arrays is an internal fault.
    void spmv(std::span<const F> x, std::span<F> y) const;
};

extern template struct Laplacian<double>;
extern template struct Laplacian<float>;

using SharedLaplacian = std::shared_ptr<const Laplacian<double>>;

// The validating constructor from caller arrays. Checks, in order: row_ptr
// length n + 1, row_ptr[0] = 0 (an offset start would silently drop entries),
// row_ptr non-decreasing, col_idx and vals of length row_ptr[n], every column
// below n. Values are not checked here.
Expected<Laplacian<double>> from_csr_parts(std::uint64_t n_nodes, std::vector<std::uint64_t> row_ptr,
                                           std::vector<std::uint32_t> col_idx, std::vector<double> vals,
                                           LaplacianKind kind);

// The value checks of a Laplacian taken from caller arrays: every entry
// finite (a NaN hides from the Gershgorin bound) and every stored diagonal
// entry >= 0 (a negative one puts spectrum below 0, outside what the
// exponential actions assume).
Status check_laplacian_entries(const Laplacian<double>& lap);

// y = s .* (L (s .* x)) with s = sqrt(a); t1, t2 are temporaries.
template <class F>
void apply_var_coef_laplacian(const Laplacian<F>& lap, std::span<const F> s, std::span<const F> x, std::span<F> y,
                              std::span<F> t1, std::span<F> t2);

// The combinatorial Laplacian of the unit-weight graph on n nodes with the
// given edges (checked as Graph::from_edges checks them; a failed check is an
// internal fault, as the edges come from a valid graph). Fails only on a stop
// request (poll_stop).
Expected<Laplacian<double>> split_laplacian(std::uint64_t n_nodes, std::span<const std::pair<std::uint32_t, std::uint32_t>> pairs);

// The entries of a Laplacian rounded once to single precision (the
// single-precision road of a class given only a Laplacian); an entry that
// rounds to infinity is refused with its value.
Expected<Laplacian<float>> laplacian_to_f32(const Laplacian<double>& lap);

// The single-precision combinatorial Laplacian of the graph whose edges are
// the negated negative off-diagonal entries of lap (j > i). When those edges
// do not form a valid graph (a repeated pair), or do not survive rounding to
// single precision, the unit path over max(n, 1) nodes stands in.
std::shared_ptr<const Laplacian<float>> combinatorial_f32_of(const Laplacian<double>& lap);

// The edges (i, j, -L_ij) of every stored entry with j > i and a negative
// value, rows in order.
std::vector<Edge<double>> laplacian_edges(const Laplacian<double>& lap);

// Time-dependent operator data of the Magnus integrators: a Laplacian, or
// per-node coefficients, at a time. A provider fails only when a caller
// callback behind it failed (CoreError::callback_failed(), the caller keeping
// the callback's own error) or its result could not be used.
using LaplacianProvider = std::function<Expected<SharedLaplacian>(double)>;
using LaplacianProviderF32 = std::function<Expected<std::shared_ptr<const Laplacian<float>>>(float)>;
using CoefficientProvider = std::function<Expected<std::vector<double>>(double)>;

// A time-dependent Laplacian that does not depend on time: each call returns
// a new combinatorial Laplacian of the graph.
struct ConstantLaplacianCallback {
    SharedGraph graph;
    Expected<SharedLaplacian> operator()(double /*t*/) const {
        return std::make_shared<const Laplacian<double>>(
            Laplacian<double>::from_graph(*graph, LaplacianKind::Combinatorial));
    }
};

// The SpdOperator view of a compressed-row operator (Laplacian or any
// symmetric operator stored in the same layout).
class LaplacianOperator final : public SpdOperator {
public:
    explicit LaplacianOperator(const Laplacian<double>& lap) : lap_(&lap) {}
    std::size_t n() const override { return static_cast<std::size_t>(lap_->n_nodes); }
    double spectral_bound() const override { return lap_->spectral_bound; }
    void apply(std::span<const double> x, std::span<double> y) const override { lap_->spmv(x, y); }
    // A_ii from row i's stored entries in O(nnz), summed as spmv sums
    // them for e_i.
    bool diagonal(std::span<double> d) const override;

private:
    const Laplacian<double>* lap_;
};

}  // namespace quorvane
