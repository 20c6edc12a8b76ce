// Dense linear algebra of the pair re-split: the singular value
// decomposition of a small matrix by one-sided Jacobi rotations.
#pragma once

#include <cstddef>
#include <vector>

#include "core/foundation/error.hpp"

namespace quorvane {

// A W = B for the matrix A given by its columns, W orthogonal (accumulated
// rotations) and B with mutually orthogonal columns; so A = U diag(sigma) W^T
// with U = B diag(1/sigma).
struct JacobiSvd {
    std::size_t len = 0, ncols = 0;
    std::vector<double> b;      // ncols columns of len values each
    std::vector<double> w;      // ncols x ncols, column by column
    std::vector<double> sigma;  // column norms of b, in column order
    std::vector<std::size_t> order;  // column indices by decreasing sigma (stable)
};

// A column whose squared norm is below this fraction of the matrix's squared
// Frobenius norm holds only rounding noise: it is not rotated, and a
// truncation counts it as zero.
inline constexpr double kNegligibleColumn = 1e-30;

// One-sided Jacobi on the `ncols` columns (each `len` values, contiguous) of
// `cols`: at most 100 sweeps over the column pairs in order, stopping after
// the first sweep without a rotation; a pair is rotated while the cosine of
// its angle exceeds 1e-14 and neither column is negligible. A sweep over a
// thousand columns takes a second: a stop request (poll_stop) ends it.
Expected<JacobiSvd> jacobi_svd(std::vector<double> cols, std::size_t len, std::size_t ncols);

}  // namespace quorvane
