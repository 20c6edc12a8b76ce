// Whether one step grows data without its mean, decided exactly by a
// Cholesky factorisation over the band of the step's reads, and the margin
// by which a passing step keeps clear of growing, read off that factor.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "core/foundation/function_ref.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/line/heat_stability/operators.hpp"

namespace quorvane::heat_judgement {

// One step may grow the data without its mean by this much in the grid
// 2-norm: rounding, no more.
constexpr double kStepSlack = 1e-10;

// The factorisation below holds a band of at most kWidestBand entries per
// column and does at most kMostBandWork multiplications per node; a step
// that would need more (reads spread over hundreds of cells) is measured by
// Lanczos instead (wide_step_verdict).
constexpr std::size_t kWidestBand = 2048;
constexpr double kMostBandWork = 262144.0;

// The half bandwidth of the matrix step_verdict factorises for these rows
// (a periodic grid folded), nullopt beyond kWidestBand or kMostBandWork.
std::optional<std::size_t> band_half_width(const StepRows& op, const Grid1D<double>& g);

enum class StepVerdict { Passes, Grows, Unmeasured, Fails };

// The Cholesky factor L of the matrix step_verdict factorises, kept for
// solves: column c (in the factorisation's order) holds its rows c to
// last[c] in `l` (width entries a column); where the data's mean is
// removed, the rows below c's block (from block_end[c] + 1 on) add the
// rank-one part v_r g_c of the mean term, which the factorisation carries
// along beside the band.
struct BandFactor {
    // At most this many entries are kept; a larger factor is not.
    static constexpr double kMostEntries = 8388608.0;

    std::size_t n = 0, width = 0;
    std::vector<double> l, v, g;
    std::vector<std::size_t> last, block_end;
    bool rank_one = false;
    bool reversed = false;  // the factorisation's order (BandOrder)

    double at(std::size_t r, std::size_t c) const { return l[c * width + (r - c)]; }

    // y = L^-1 b, in place.
    void forward(std::vector<double>& y) const {
        double sum = 0.0;  // g_k y_k over the columns whose block ended above the row
        std::size_t ended = 0;
        for (std::size_t c = 0; c < n; ++c) {
            if (rank_one) {
                for (; ended < c && block_end[ended] < c; ++ended) sum += g[ended] * y[ended];
                y[c] -= v[c] * sum;
            }
            y[c] /= at(c, c);
            const double yc = y[c];
            for (std::size_t r = c + 1; r <= last[c]; ++r) y[r] -= at(r, c) * yc;
        }
    }
    // x = L^-T x in place (`solve`), or x = L^T x.
    void transposed(std::vector<double>& x, bool solve) const {
        double sum = 0.0;  // v_r x_r over the rows below the column's block
        std::size_t below = n;
        std::vector<double> out;
        if (!solve) out.assign(n, 0.0);
        for (std::size_t c = n; c-- > 0;) {
            if (rank_one) {
                for (; below > block_end[c] + 1; --below) sum += v[below - 1] * x[below - 1];
            }
            double t = rank_one ? g[c] * sum : 0.0;
            for (std::size_t r = c + 1; r <= last[c]; ++r) t += at(r, c) * x[r];
            if (solve) x[c] = (x[c] - t) / at(c, c);
            else out[c] = t + at(c, c) * x[c];
        }
        if (!solve) x = std::move(out);
    }
};

// Whether one step grows no data without its mean by more than kStepSlack
// in the grid 2-norm. With B the step in the scaled values, D = B - I and e
// the unit mean direction (D e = 0: the step keeps constants), the step
// grows nothing beyond the slack exactly when
//   A = s I + e e^T - D~ - D~^T - D~^T D~,   D~ = P D P = D - e d^T,  d = D^T e,
// with s = (1 + kStepSlack)^2 - 1 and P = I - e e^T, is positive definite:
// A e = (1 + s) e, and on data x without its mean
// <x, A x> = (1 + s)|x|^2 - |P B x|^2. With D e = 0 the projections collapse
// to
//   A = (s I - D - D^T - D^T D) + (e + d)(e + d)^T,
// a band twice as wide as the reads reach plus one dense term of rank one.
// Under "zero" ends the whole data is measured: A = s I - D - D^T - D^T D.
// A is formed from D, not from B: for small steps B is close to the
// identity and I - B^T B would cancel to rounding, while D keeps the digits
// of the step's change. Its Cholesky factorisation, streamed over the band
// in blocks with the rank-one term carried along (the trailing matrix stays
// band + S v v^T + rho v^T + v rho^T, rho nonzero only inside the band),
// meets a pivot <= 0 exactly when A is not positive definite: the verdict
// is exact up to rounding, which it sees at about 1e-14 against the slack
// of 2e-10. A periodic grid is factorised in folded order (0, n - 1, 1,
// n - 2, ...), so that reads across the seam stay within a band (twice as
// wide). Fails where a node's step fails; nullopt where the caller asked to
// stop (`stopped`) or `abandon()` turned true.
//
// With `keep`, the factor of a passing step is kept there (where it fits
// BandFactor::kMostEntries), for its margin (pencil_margin).
//
// `reversed` factorises in the reversed order (the verdict is the same);
// `failed_at` receives the place in that order where a step that grows
// was found to, n where it passed.
std::optional<StepVerdict> step_verdict(const StepRows& op, const Grid1D<double>& g, bool& stopped,
                                        FunctionRef<bool()> abandon, BandFactor* keep = nullptr,
                                        bool reversed = false, std::size_t* failed_at = nullptr);

// The smallest value of <x, A x> / <x, W x> over data without the mean (A
// as in step_verdict), W the form sum (u_i - u_j)^2 / 4 over neighbouring
// nodes of the values u = S^-1 x (the seam included on a periodic grid;
// u_0^2 / 4 and u_{n-1}^2 / 4 added under "zero" ends), of norm at most 2,
// small on smooth data and 0 on the mean. From the factor L of A: a few
// sweeps of inverse iteration, x <- A^-1 W x from fixed noise, and the
// Rayleigh quotient |L^T x|^2 / <x, W x>. It approaches the smallest value
// from above, quickly where it stands apart, and lies within a cluster of
// the smallest values where it does not, which is all a scan needs of it.
double pencil_margin(const BandFactor& f, const Grid1D<double>& g, int sweeps = 8);

// The data (scaled values, node order, without the mean where it is kept)
// that the step of the factor's matrix A grows most: the eigenvector of A's
// smallest eigenvalue, by `sweeps` sweeps of inverse iteration from fixed
// noise, unit length.
std::vector<double> growing_mode(const BandFactor& f, const Grid1D<double>& g, int sweeps);

}  // namespace quorvane::heat_judgement
