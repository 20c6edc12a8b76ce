#include "core/sparse/mass_operator.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>

#include "core/foundation/grid_fn.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/ordered_products.hpp"
#include "core/foundation/parallel1d.hpp"
#include "core/foundation/parallel_phases.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {
namespace {

// Rows of the factor finished before the trailing update takes them all at
// once; the forward substitutions of the bound go by the same panels.
constexpr std::uint64_t kPanel = 64;
// Columns of the trailing update between two polls (n x 256 entries of depth
// 64: some ten milliseconds).
constexpr std::uint64_t kTrailingChunk = 256;
// Rows of R a forward substitution takes off the entries below them at once:
// sixteen row streams are read side by side, and each entry of x is loaded
// and stored once per sixteen products (deeper panels read slower at n of
// some thousands, whose rows no longer stay in cache).
constexpr std::uint64_t kSolvePanel = 16;

constexpr char kNotPositiveDefinite[] = "TriangularFactor: mass matrix is not positive-definite (pivot \u2264 0)";
// A NaN pivot (inf - inf from overflowed products) is no "pivot <= 0".
constexpr char kPivotOverflows[] =
    "TriangularFactor: mass matrix is not positive-definite (pivot overflows the double range)";

RowsView offset(RowsView v, std::uint64_t row, std::uint64_t col) { return {v.data + row * v.stride + col, v.stride}; }
MutableRowsView offset(MutableRowsView v, std::uint64_t row, std::uint64_t col) {
    return {v.data + row * v.stride + col, v.stride};
}

}  // namespace

Expected<TriangularFactor> TriangularFactor::cholesky(std::span<const double> m_dense, std::uint64_t n) {
    if (n != 0 && (n > UINT32_MAX || m_dense.size() != n * n)) {
        return domain_error("TriangularFactor: m_dense length != n*n", static_cast<double>(m_dense.size()));
    }
    for (std::uint64_t j = 0; j < n; ++j) {
        for (std::uint64_t i = j; i < n; ++i) {
            const double v = m_dense[j * n + i];
            if (!std::isfinite(v)) return domain_error("TriangularFactor: mass matrix has a non-finite entry", v);
        }
    }
    // Right-looking by panels of kPanel rows: the rows of a panel are
    // finished one by one (each first takes the panel rows above it), then the
    // trailing upper triangle takes the whole panel at once. Every entry still
    // takes the products R[k][j] R[k][i] one at a time in ascending k, so the
    // factor has the bits of the column-by-column recurrence
    // R[j][i] = (M[j][i] - sum_{k<j} R[k][j] R[k][i]) / R[j][j]. It stays on
    // the calling thread: a barrier per panel on a busy machine cost more
    // than the workers saved on this fifth of the construction.
    std::vector<double> r(n * n, 0.0);
    for (std::uint64_t j = 0; j < n; ++j) {
        std::copy(m_dense.begin() + j * n + j, m_dense.begin() + (j + 1) * n, r.begin() + j * n + j);
    }
    const RowsView rows{r.data(), n};
    const MutableRowsView target{r.data(), n};
    for (std::uint64_t k0 = 0; k0 < n; k0 += kPanel) {
        const std::uint64_t k1 = std::min(n, k0 + kPanel);
        for (std::uint64_t j = k0; j < k1; ++j) {
            if (Status st = poll_stop(); !st) return fail(st.error());
            subtract_ordered_products(offset(target, j, j), offset(rows, k0, j), offset(rows, k0, j), 1, n - j, j - k0);
            // For a positive-definite M every |R[k][j]| <= sqrt(M[j][j]): an
            // overflow anywhere in the factor of finite data means M is not
            // (numerically) positive-definite. Each entry R[k][j] enters the
            // pivot of column j squared, so a non-finite entry leaves that
            // pivot -inf or NaN, never finite again; refusing every pivot but
            // a finite positive one therefore returns no non-finite entry.
            const double d = r[j * n + j];
            if (!(d > 0.0) || !std::isfinite(d)) {
                return domain_error(d <= 0.0 ? kNotPositiveDefinite : kPivotOverflows, d);
            }
            const double rjj = std::sqrt(d);
            r[j * n + j] = rjj;
            for (std::uint64_t i = j + 1; i < n; ++i) r[j * n + i] = r[j * n + i] / rjj;
        }
        // The trailing triangle by column chunks: rows above the chunk take a
        // rectangle, the chunk's own rows its upper triangle.
        for (std::uint64_t c0 = k1; c0 < n; c0 += kTrailingChunk) {
            if (Status st = poll_stop(); !st) return fail(st.error());
            const std::uint64_t c1 = std::min(n, c0 + kTrailingChunk);
            subtract_ordered_products(offset(target, k1, c0), offset(rows, k0, k1), offset(rows, k0, c0), c0 - k1,
                                      c1 - c0, k1 - k0);
            subtract_ordered_products_upper(offset(target, c0, c0), offset(rows, k0, c0), offset(rows, k0, c0),
                                            c1 - c0, k1 - k0);
        }
    }
    return TriangularFactor{std::move(r), n};
}

void TriangularFactor::solve_upper(std::span<const double> b, std::span<double> x) const {
    for (std::uint64_t ii = n; ii-- > 0;) {
        double s = b[ii];
        for (std::uint64_t j = ii + 1; j < n; ++j) s -= data[ii * n + j] * x[j];
        x[ii] = s / data[ii * n + ii];
    }
}

void TriangularFactor::solve_upper_transpose(std::span<const double> b, std::span<double> x) const {
    // By rows of R instead of its columns (a column of the row-major factor
    // is n strided reads): once x[k] is final, row k takes R[k][i] x[k] off
    // every later x[i]; a panel's rows one by one, then the entries below it
    // all of the panel's products at once. Every x[i] still takes its
    // products in ascending k, one rounding each, so the result has the bits
    // of x[i] = (b[i] - sum_{k<i} R[k][i] x[k]) / R[i][i].
    if (x.data() != b.data()) std::copy_n(b.begin(), n, x.begin());
    const RowsView factor{data.data(), n};
    for (std::uint64_t k0 = 0; k0 < n; k0 += kSolvePanel) {
        const std::uint64_t k1 = std::min(n, k0 + kSolvePanel);
        for (std::uint64_t k = k0; k < k1; ++k) {
            const double* row = data.data() + k * n;
            x[k] = x[k] / row[k];
            for (std::uint64_t i = k + 1; i < k1; ++i) x[i] -= row[i] * x[k];
        }
        subtract_ordered_products({x.data() + k1, n}, {x.data() + k0, 1}, offset(factor, k0, k1), 1, n - k1, k1 - k0);
    }
}

namespace {

// Columns of A_hat formed together in from_k_and_mass, a block per worker:
// a panel of the factor read by the forward substitution serves all of them.
constexpr std::size_t kBoundColumns = 64;
// From this n the bound's blocks run on the workers: below it a call takes
// well under a millisecond and starting threads would show.
constexpr std::uint64_t kParallelFrom = 256;
// Columns of R^-1 whose partial sums a back substitution carries in registers.
constexpr std::size_t kInverseChunk = 16;

// Columns first .. first + kBoundColumns - 1 of R^-1 (those past n are
// zero) into w, n x kBoundColumns row-major, each with the bits of
// solve_upper(e_j). Below row j that substitution gives +0 (a sum that
// starts at +0 never turns -0), and subtracting a product with +0 leaves
// every partial sum as it is, so a row's sum stops at the last row of its
// chunk that is non-zero in some column. False when stopped.
bool inverse_columns(const TriangularFactor& r, std::uint64_t first, std::span<double> w, PhaseControl& control) {
    const std::uint64_t n = r.n;
    std::fill(w.begin(), w.end(), 0.0);
    for (std::uint64_t c0 = first; c0 < std::min(n, first + kBoundColumns); c0 += kInverseChunk) {
        if (!control.keep_going()) return false;
        const std::uint64_t end = std::min(n, c0 + kInverseChunk);
        double* chunk = w.data() + (c0 - first);
        for (std::uint64_t ii = end; ii-- > 0;) {
            const double* row = r.data.data() + ii * n;
            double* out = chunk + ii * kBoundColumns;
            if (ii >= c0) out[ii - c0] = 1.0;
            subtract_ordered_products({out, kBoundColumns}, {row + ii + 1, 1}, {out + kBoundColumns, kBoundColumns}, 1,
                                      kInverseChunk, end - ii - 1);
            for (std::size_t c = 0; c < kInverseChunk; ++c) out[c] = out[c] / row[ii];
        }
    }
    return true;
}

// K times every column of w into z (both n x kBoundColumns), each column
// summed as Laplacian::spmv sums: from +0, in storage order.
void k_times_columns(const Laplacian<double>& k, std::span<const double> w, std::span<double> z) {
    for (std::uint64_t i = 0; i < k.n_nodes; ++i) {
        double sum[kBoundColumns] = {};
        for (std::uint64_t p = k.row_ptr[i]; p < k.row_ptr[i + 1]; ++p) {
            const double v = k.vals[p];
            const double* x = w.data() + std::size_t{k.col_idx[p]} * kBoundColumns;
            for (std::size_t c = 0; c < kBoundColumns; ++c) sum[c] += v * x[c];
        }
        std::copy(sum, sum + kBoundColumns, z.data() + i * kBoundColumns);
    }
}

// solve_upper_transpose on every column of y (n x kBoundColumns) in place,
// with its bits: row i takes R[k][i] y[k] for ascending k, the rows of the
// panel k0 .. k1 - 1 one by one, then every row below the panel all of the
// panel's products at once. False when stopped.
bool solve_upper_transpose_columns(const TriangularFactor& r, std::span<double> y, PhaseControl& control) {
    const std::uint64_t n = r.n;
    const RowsView factor{r.data.data(), n};
    for (std::uint64_t k0 = 0; k0 < n; k0 += kPanel) {
        if (!control.keep_going()) return false;
        const std::uint64_t k1 = std::min(n, k0 + kPanel);
        for (std::uint64_t k = k0; k < k1; ++k) {
            double* yk = y.data() + k * kBoundColumns;
            const double* row = r.data.data() + k * n;
            for (std::size_t c = 0; c < kBoundColumns; ++c) yk[c] = yk[c] / row[k];
            for (std::uint64_t i = k + 1; i < k1; ++i) {
                double* yi = y.data() + i * kBoundColumns;
                for (std::size_t c = 0; c < kBoundColumns; ++c) yi[c] -= row[i] * yk[c];
            }
        }
        subtract_ordered_products({y.data() + k1 * kBoundColumns, kBoundColumns}, offset(factor, k0, k1),
                                  {y.data() + k0 * kBoundColumns, kBoundColumns}, n - k1, kBoundColumns, k1 - k0);
    }
    return true;
}

}  // namespace

Expected<std::shared_ptr<const MassKOperator>> MassKOperator::from_k_and_mass(const SymmetricOperator& k,
                                                                              std::span<const double> m_dense) {
    auto factor = TriangularFactor::cholesky(m_dense, k.n());
    if (!factor) return fail(factor.error());
    auto op = std::shared_ptr<MassKOperator>(new MassKOperator(std::move(*factor), k));
    const std::size_t n = op->n();
    // The columns A_hat e_j by blocks of kBoundColumns, each column with the
    // bits of apply(e_j), in batches of one block per worker. In phase p the
    // workers claim the blocks of batch p one at a time (one whose processor
    // is busy leaves its block to the others) into one set of buffers, and
    // first add batch p - 1, from the other set, to the sums of their own
    // share of the rows: each row sum takes the columns in ascending j, as
    // one column at a time would, whatever the worker count.
    const std::size_t blocks = (n + kBoundColumns - 1) / kBoundColumns;
    const std::size_t workers =
        n < kParallelFrom ? 1 : std::max<std::size_t>(1, std::min({effective_workers(), available_processors(), blocks}));
    const std::size_t batches = (blocks + workers - 1) / workers;
    std::vector<std::vector<double>> scratch(workers), columns[2] = {std::vector<std::vector<double>>(workers),
                                                                     std::vector<std::vector<double>>(workers)};
    const auto claimed = std::make_unique<std::atomic<std::size_t>[]>(batches);
    std::vector<double> row_sum(n, 0.0);
    op->diagonal_.assign(n, 0.0);
    const TriangularFactor& r = op->factor_;
    const Laplacian<double>& lap = *op->k_.laplacian();
    const Status st = run_phases(batches + 1, workers, [&](std::size_t p, std::size_t w, PhaseControl& control) -> Status {
        if (p > 0) {
            const std::vector<std::vector<double>>& done = columns[(p - 1) % 2];
            const std::size_t first = (p - 1) * workers, last = std::min(blocks, first + workers);
            const WorkShare rows = share_of(n, workers, w);
            for (std::size_t i = rows.begin; i < rows.end; ++i) {
                for (std::size_t b = first; b < last; ++b) {
                    const double* yi = done[b - first].data() + i * kBoundColumns;
                    const std::size_t count = std::min(kBoundColumns, n - b * kBoundColumns);
                    for (std::size_t c = 0; c < count; ++c) row_sum[i] += std::fabs(yi[c]);
                }
                if (const std::size_t own = i / kBoundColumns; own >= first && own < last) {
                    op->diagonal_[i] = done[own - first][i * kBoundColumns + i % kBoundColumns];
                }
            }
        }
        if (p == batches) return {};
        scratch[w].resize(n * kBoundColumns);
        while (true) {
            const std::size_t slot = claimed[p].fetch_add(1, std::memory_order_relaxed);
            const std::size_t block = p * workers + slot;
            if (slot >= workers || block >= blocks) break;
            std::vector<double>& y = columns[p % 2][slot];
            y.resize(n * kBoundColumns);
            if (!inverse_columns(r, block * kBoundColumns, scratch[w], control)) break;
            k_times_columns(lap, scratch[w], y);
            if (!solve_upper_transpose_columns(r, y, control)) break;
        }
        return {};
    });
    if (!st) return fail(st.error());
    // A factor of a nearly singular M can be finite while R^-1, and with it
    // A_hat, leaves the double range: its row sum is then inf, or NaN (inf -
    // inf, 0 * inf in K w). Every entry of A_hat, the stored diagonal
    // included, lies in some row sum of absolute values, so finite sums mean
    // a finite operator; the first sum that is not is refused in row order.
    if (const double* bad = first_non_finite<double>(row_sum)) {
        return domain_error("MassKOperator: spectral bound (largest absolute row sum of R^-T K R^-1) overflows the "
                            "double range",
                            *bad);
    }
    double bound = 0.0;
    for (const double s : row_sum) bound = max_ignore_nan(bound, s);
    op->spectral_bound_ = bound;
    return std::shared_ptr<const MassKOperator>(std::move(op));
}

void MassKOperator::apply(std::span<const double> x, std::span<double> y) const {
    const std::size_t n = this->n();
    std::vector<double> w(n, 0.0), z(n, 0.0);
    factor_.solve_upper(x, w);
    k_.laplacian()->spmv(w, z);
    factor_.solve_upper_transpose(z, y);
}

bool MassKOperator::diagonal(std::span<double> d) const {
    std::copy(diagonal_.begin(), diagonal_.end(), d.begin());
    return true;
}

Status MassKOperator::evolve(double t, const KrylovPath& path, double tol, std::span<const double> v,
                             std::span<double> out, ScratchPool<double>& pool) const {
    return krylov_path_action(*this, path, tol, t, v, out, pool);
}

Expected<Laplacian<double>> lumped_congruence(const Laplacian<double>& k, std::span<const double> masses) {
    if (masses.size() != k.n_nodes) {
        return domain_error("lumped_congruence: masses.len() != n", static_cast<double>(masses.size()));
    }
    for (const double m : masses) {
        if (!std::isfinite(m) || !(m > 0.0)) return domain_error("lumped_congruence: non-positive or non-finite mass", m);
    }
    std::vector<double> vals(k.vals.size());
    for (std::uint64_t i = 0; i < k.n_nodes; ++i) {
        const double si = std::sqrt(masses[i]);
        for (std::uint64_t p = k.row_ptr[i]; p < k.row_ptr[i + 1]; ++p) {
            vals[p] = k.vals[p] / (si * std::sqrt(masses[k.col_idx[p]]));
        }
    }
    auto hat = from_csr_parts(k.n_nodes, k.row_ptr, k.col_idx, std::move(vals), LaplacianKind::GeneralSymmetric);
    if (!hat) internal_fault("lumped_congruence: derived CSR is always valid (validated source)", hat.error());
    return hat;
}

namespace {

constexpr char kMassRatioTooLarge[] =
    "mass_lumped_evolve: the mass ratio max(m_diag)/min(m_diag) is too large for tol on the lanczos and implicit "
    "paths: they hold tol in the mass-weighted norm, where the lightest node is resolved only to "
    "sqrt(max/min) * 2.2e-16 of its own size; path=\"chebyshev\" keeps each node's own scale";
constexpr char kMassRatioBeyondDoubles[] =
    "mass_lumped_evolve: the mass ratio max(m_diag)/min(m_diag) is too large for the double range: D^1/2 v (with "
    "the spread of v_nc) or D^-1/2 K D^-1/2 spans more than the doubles hold, and entries that matter would be lost";
constexpr char kWorkOverflows[] = "mass_lumped_evolve: t times the spectral bound of M^-1 K overflows the double range";

// sqrt(max m) / sqrt(min m), which itself may overflow for masses at both ends
// of the doubles: kept finite, so the refusals that carry it stay of kind
// OutOfDomain.
double root_spread(std::span<const double> masses) {
    const auto [lightest, heaviest] = std::minmax_element(masses.begin(), masses.end());
    return std::min(std::sqrt(*heaviest) / std::sqrt(*lightest), std::numeric_limits<double>::max());
}

Status check_lumped_mass_ratio(std::span<const double> masses, const KrylovPath& path, double tol) {
    if (path.kind == KrylovPath::Kind::Chebyshev || masses.empty()) return {};
    // Lanczos and CG judge their vectors (breakdown, residuals, norms) in the
    // 2-norm of D^1/2 v, where a node of mass m_i carries the weight sqrt(m_i):
    // the lightest node's value is resolved only to 2^-52 sqrt(max m / min m)
    // of its own size, and its error in the plain 2-norm can reach
    // sqrt(max m / min m) tol. Where rounding alone exceeds tol the call is
    // refused. sqrt of each mass: their ratio itself may overflow.
    const auto [lightest, heaviest] = std::minmax_element(masses.begin(), masses.end());
    if (std::sqrt(*heaviest) / std::sqrt(*lightest) * 0x1p-52 > tol) {
        return domain_error(kMassRatioTooLarge, root_spread(masses));
    }
    return {};
}

// x = f 2^e with |f| in [0.5, 1) (f = 0 for x = 0). A product or quotient of
// such parts rounds as the product or quotient of the numbers does wherever
// that is a normal double, and the exponents add without leaving the ints.
struct Parts {
    double f;
    int e;
};

Parts parts(double x) {
    int e = 0;
    const double f = std::frexp(x, &e);
    return {f, e};
}

// Powers of two the roots sqrt(m_i) may spread over before D^1/2 v is placed
// by the routine below rather than left to the action's own scaling of its
// vector, which centres the largest entry for the operator's bound and may
// push the light nodes' entries, sqrt(max/min) below it, out of the doubles.
constexpr int kPlainRootSpread = 64;

// Where the placed route puts its scales: the bound of the congruence in
// [2^100, 2^101), the largest entry of each column of D^1/2 v in [2^297,
// 2^298). Their products stay below 2^400, where the Chebyshev recurrence
// carries its vector as it comes; the couplings that matter stay normal
// doubles (below).
constexpr int kScaledBoundExp = 100;
constexpr int kPlacedTopExp = 297;

// Powers of two a column may spread over below its largest entry and stay
// normal once that entry is placed: 297 above 1 and 1022 below it. An entry
// of v_nc that lies kPlacedReach - 1 or more of them below its column's
// largest one (the parts of sqrt(m) move each exponent by at most one) falls
// out whatever the masses, equal ones included: that loss is the data's own
// spread, and goes as the plain route lets it go.
constexpr int kPlacedReach = kPlacedTopExp - std::numeric_limits<double>::min_exponent + 1;

bool beyond_its_column(int column_top, double v) { return column_top - std::ilogb(v) >= kPlacedReach - 1; }

// ilogb of each column's largest |v| (columns of zeros: 0, never read).
std::vector<int> column_tops(std::span<const double> src_cols, std::size_t n) {
    std::vector<int> tops(n == 0 ? 0 : src_cols.size() / n, 0);
    for (std::size_t c = 0; c < tops.size(); ++c) {
        double big = 0.0;
        for (std::size_t p = c * n; p < (c + 1) * n; ++p) big = std::max(big, std::fabs(src_cols[p]));
        if (big != 0.0) tops[c] = std::ilogb(big);
    }
    return tops;
}

// 2^-969, 53 powers of two above the smallest normal double: what falls below
// the normal doubles is less than 2^-53 of a value this large, and a value
// this large keeps all its bits.
constexpr int kAllBitsFloor = std::numeric_limits<double>::min_exponent - 1 + std::numeric_limits<double>::digits;

// D^1/2 v can overflow while v and the result are finite. The action is
// linear: the plain route evolves 2^-shift D^1/2 v instead (largest entry
// below 4) and scales the result back by 2^shift; powers of two are exact,
// and shift = 0 changes no bit.
int plain_shift(std::span<const double> src_cols, std::span<const double> roots) {
    const std::size_t n = roots.size();
    bool overflows = false;
    for (std::size_t p = 0; p < src_cols.size(); ++p) {
        overflows = overflows || !std::isfinite(src_cols[p] * roots[p % n]);
    }
    if (!overflows) return 0;
    int shift = 0;
    for (std::size_t p = 0; p < src_cols.size(); ++p) {
        if (src_cols[p] == 0.0) continue;
        shift = std::max(shift, std::ilogb(src_cols[p]) + std::ilogb(roots[p % n]));
    }
    return shift;
}

// The congruence and 2^-shift D^1/2 v as they are (every entry of A_hat =
// k_ij / (s_i s_j) that comes from a non-zero k_ij a normal double, the
// products s_i s_j too, a finite bound, roots within kPlainRootSpread, and no
// column whose scale a root or the shift takes down near the subnormals):
// evolved as they are, bit for bit. The route is the masses' to choose. Where
// s_i times the column's largest |v| (times 2^-shift) lies 2^-969 or more,
// what sqrt(m_i) v_i loses below the normal doubles is less than 2^-53 of
// that column at node i, so an entry that is subnormal on its own, or far
// below its column's top, goes as it comes (and with s_i = 1 and no shift it
// comes exactly).
bool plain_congruence_holds(const Laplacian<double>& k, const Laplacian<double>& hat, std::span<const double> roots,
                            std::span<const double> src_cols, std::span<const int> tops, int shift) {
    const double normal = std::numeric_limits<double>::min();
    if (roots.empty()) return true;
    const auto [low, high] = std::minmax_element(roots.begin(), roots.end());
    if (std::ilogb(*high) - std::ilogb(*low) > kPlainRootSpread) return false;
    if (!std::isfinite(hat.spectral_bound)) return false;
    for (std::uint64_t i = 0; i < k.n_nodes; ++i) {
        for (std::uint64_t p = k.row_ptr[i]; p < k.row_ptr[i + 1]; ++p) {
            if (k.vals[p] == 0.0) continue;
            if (!(roots[i] * roots[k.col_idx[p]] >= normal)) return false;
            const double a = std::fabs(hat.vals[p]);
            if (!(a >= normal) || !std::isfinite(a)) return false;
        }
    }
    const std::size_t n = roots.size();
    for (std::size_t p = 0; p < src_cols.size(); ++p) {
        if (src_cols[p] == 0.0) continue;
        const double root = roots[p % n];
        if (std::fabs(std::ldexp(src_cols[p], -shift) * root) >= normal || (shift == 0 && root == 1.0)) continue;
        if (std::ilogb(root) + tops[p / n] - shift < kAllBitsFloor) return false;
    }
    return true;
}

// The congruence scaled by 2^-e, its bound brought to [2^100, 2^101): each
// entry from the parts of k_ij, s_i and s_j, so that neither s_i s_j nor the
// quotient underflows or overflows on the way, whatever the masses. The
// entries that matter lie within sqrt(max m / min m) <= 2^1049 below the
// bound (the coupling of a light node i to a heavy one j is k_ij / (s_i s_j)
// = (k_ij / m_i) s_i / s_j), so they stay normal doubles; one that lands
// below them is one of a node many times heavier than the bound's, and may
// go only where its own effect over t, t |k_ij| / m_i, lies far below
// rounding.
struct ScaledCongruence {
    SharedLaplacian hat;
    int e = 0;
};

Expected<ScaledCongruence> scaled_congruence(const Laplacian<double>& k, std::span<const Parts> roots,
                                             std::span<const double> masses, double t) {
    const std::size_t nnz = k.vals.size();
    std::vector<double> q(nnz, 0.0);
    std::vector<int> ex(nnz, 0);
    bool any = false;
    int top = 0;
    for (std::uint64_t i = 0; i < k.n_nodes; ++i) {
        for (std::uint64_t p = k.row_ptr[i]; p < k.row_ptr[i + 1]; ++p) {
            if (k.vals[p] == 0.0) continue;
            const Parts kp = parts(k.vals[p]);
            const Parts& sj = roots[k.col_idx[p]];
            q[p] = kp.f / (roots[i].f * sj.f);
            ex[p] = kp.e - roots[i].e - sj.e;
            const int top_p = std::ilogb(q[p]) + ex[p];
            top = any ? std::max(top, top_p) : top_p;
            any = true;
        }
    }
    int e = 0;
    if (any) {
        // Largest entry first brought to [1, 2), then the largest row sum.
        double bound = 0.0;
        for (std::uint64_t i = 0; i < k.n_nodes; ++i) {
            double sum = 0.0;
            for (std::uint64_t p = k.row_ptr[i]; p < k.row_ptr[i + 1]; ++p) {
                sum += std::fabs(std::ldexp(q[p], ex[p] - top));
            }
            bound = std::max(bound, sum);
        }
        e = top + std::ilogb(bound) - kScaledBoundExp;
        // Where t times the bound is tiny (below about 2^-870) the bound goes
        // lower instead, so that the time t 2^e the action sees keeps every
        // bit of t rather than rounding among the subnormals, or to 0, which
        // would drop the flow into the small values of a column.
        e = std::max(e, kAllBitsFloor - std::ilogb(t));
    }
    std::vector<double> vals(nnz, 0.0);
    const int t_exp = std::ilogb(t);
    for (std::uint64_t i = 0; i < k.n_nodes; ++i) {
        for (std::uint64_t p = k.row_ptr[i]; p < k.row_ptr[i + 1]; ++p) {
            if (k.vals[p] == 0.0) continue;
            vals[p] = std::ldexp(q[p], ex[p] - e);
            if (std::fabs(vals[p]) < std::numeric_limits<double>::min() &&
                t_exp + std::ilogb(k.vals[p]) - std::ilogb(masses[i]) > -64) {
                return domain_error(kMassRatioBeyondDoubles, root_spread(masses));
            }
        }
    }
    auto hat = from_csr_parts(k.n_nodes, k.row_ptr, k.col_idx, std::move(vals), LaplacianKind::GeneralSymmetric);
    if (!hat) internal_fault("mass_lumped_evolve: scaled CSR is always valid (validated source)", hat.error());
    return ScaledCongruence{std::make_shared<const Laplacian<double>>(std::move(*hat)), e};
}

// e^{-t M^-1 K} v through the congruence scaled by 2^-e for the time t 2^e,
// and each column of D^1/2 v scaled by 2^-shift to a largest entry in [2^297,
// 2^298): the doubles below that entry leave 2^1319 for the spread sqrt(max m
// / min m) (at most 2^1049) times that of v. Powers of two are exact: where
// the plain route keeps every value a normal double, the Chebyshev recurrence
// here computes the same values up to those powers, bit for bit (Lanczos and
// CG to rounding: their norms and guards are not all homogeneous in the
// scale). root_values are the sqrt(m_i) of the plain route, tops the
// column_tops of src_cols.
Status placed_lumped_evolve(const SymmetricOperator& k, std::span<const double> masses,
                            std::span<const double> root_values, double t, const KrylovPath& path, double tol,
                            std::span<const double> src_cols, std::span<const int> tops, std::span<double> dst_cols) {
    const std::size_t n = masses.size();
    std::vector<Parts> roots(n);
    for (std::size_t i = 0; i < n; ++i) roots[i] = parts(root_values[i]);
    auto scaled = scaled_congruence(*k.laplacian(), roots, masses, t);
    if (!scaled) return fail(scaled.error());
    const double t_scaled = std::ldexp(t, scaled->e);
    if (!std::isfinite(t_scaled)) return domain_error(kWorkOverflows, t_scaled);

    // Each column is placed by its own largest entry: the columns evolve
    // apart, and one of small data next to one of large data loses nothing.
    std::vector<double> x(src_cols.size(), 0.0);
    std::vector<int> ex(src_cols.size(), 0);
    std::vector<int> shift(tops.size(), 0);
    for (std::size_t c = 0; c < shift.size(); ++c) {
        bool any = false;
        int top = 0;
        for (std::size_t i = 0, p = c * n; i < n; ++i, ++p) {
            if (src_cols[p] == 0.0) continue;
            const Parts v = parts(src_cols[p]);
            x[p] = v.f * roots[i].f;
            ex[p] = v.e + roots[i].e;
            top = any ? std::max(top, std::ilogb(x[p]) + ex[p]) : std::ilogb(x[p]) + ex[p];
            any = true;
        }
        shift[c] = any ? top - kPlacedTopExp : 0;
        for (std::size_t p = c * n; p < (c + 1) * n; ++p) {
            if (x[p] == 0.0) continue;
            x[p] = std::ldexp(x[p], ex[p] - shift[c]);
            // A value of its own node lost below the normal doubles. Where v_nc
            // alone spreads that far it goes, gradually underflowed, as the
            // plain route lets it; where v_nc would hold it, the masses put
            // its node that far below the column's top, and that light node
            // would come back wrong.
            if (std::fabs(x[p]) < std::numeric_limits<double>::min() &&
                !beyond_its_column(tops[c], src_cols[p])) {
                return domain_error(kMassRatioBeyondDoubles, root_spread(masses));
            }
        }
    }
    if (Status st = krylov_evolve_columns(scaled->hat, path, tol, t_scaled, x, dst_cols); !st) return st;
    for (std::size_t p = 0; p < dst_cols.size(); ++p) {
        if (dst_cols[p] == 0.0) continue;
        const Parts y = parts(dst_cols[p]);
        dst_cols[p] = std::ldexp(y.f / roots[p % n].f, y.e - roots[p % n].e + shift[p / n]);
    }
    return {};
}

}  // namespace

Status mass_lumped_evolve(const SymmetricOperator& k, std::span<const double> masses, double t,
                          const KrylovPath& path, double tol, std::span<const double> src_cols,
                          std::span<double> dst_cols) {
    auto hat = lumped_congruence(*k.laplacian(), masses);
    if (!hat) return fail(hat.error());
    if (Status st = check_krylov_settings(path, tol); !st) return st;
    // e^{0} = I exactly, whatever the masses: neither the congruence (whose
    // entries may not be doubles) nor the weighted norms are needed.
    if (t == 0.0 && !masses.empty()) {
        std::copy(src_cols.begin(), src_cols.end(), dst_cols.begin());
        return {};
    }
    if (Status st = check_lumped_mass_ratio(masses, path, tol); !st) return st;
    const std::size_t n = masses.size();
    std::vector<double> roots(n);
    for (std::size_t i = 0; i < n; ++i) roots[i] = std::sqrt(masses[i]);
    const int shift = plain_shift(src_cols, roots);
    // Both routes judge each entry against its column's largest one.
    const std::vector<int> tops = column_tops(src_cols, n);
    if (plain_congruence_holds(*k.laplacian(), *hat, roots, src_cols, tops, shift)) {
        const SharedLaplacian shared = std::make_shared<const Laplacian<double>>(std::move(*hat));
        std::vector<double> x(src_cols.size());
        for (std::size_t p = 0; p < x.size(); ++p) x[p] = std::ldexp(src_cols[p], -shift) * roots[p % n];
        if (Status st = krylov_evolve_columns(shared, path, tol, t, x, dst_cols); !st) return st;
        for (std::size_t p = 0; p < dst_cols.size(); ++p) dst_cols[p] = std::ldexp(dst_cols[p] / roots[p % n], shift);
    } else if (Status st = placed_lumped_evolve(k, masses, roots, t, path, tol, src_cols, tops, dst_cols); !st) {
        return st;
    }
    // A mass far below the others amplifies its entries by up to
    // sqrt(max m / min m): the result itself can leave the double range.
    if (const double* bad = first_non_finite<double>(dst_cols)) {
        return domain_error("mass_lumped_evolve: e^{-t M^-1 K} v overflows the double range", *bad);
    }
    return {};
}

}  // namespace quorvane
