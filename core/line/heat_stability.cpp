#include "core/line/heat_stability.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "core/foundation/boundary.hpp"
#include "core/foundation/function_ref.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/parallel1d.hpp"
#include "core/foundation/parallel_phases.hpp"
#include "core/foundation/stop.hpp"
#include "core/line/diffusion.hpp"
#include "core/line/node_form.hpp"
#include "core/line/state.hpp"

namespace quorvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// n values in [-1, 1) from a xorshift generator started at `seed`: the same
// noise on every run, so a verdict does not change between calls.
std::vector<double> fixed_noise(std::size_t n, std::uint64_t seed) {
    std::vector<double> v(n);
    for (double& e : v) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        e = static_cast<double>(seed >> 11) * 0x1.0p-52 - 1.0;
    }
    return v;
}

// A zeta rung's step is admissible while no mode grows by more than this
// factor per step: far below anything rounding noise could feed on over a
// realistic number of steps, yet above the rounding of the symbol
// evaluation itself. (The rungs act on exact eigenvectors, so the bound is
// sharp there.)
constexpr double kSymbolSlack = 1e-10;

// The measured window of Heat1DZeta8's Chebyshev-sampled rung, as tau/dx^2:
// the full spectra of grids of 8 to 257 nodes under every boundary policy
// (and the noise growth on grids of up to 1025 nodes) give spectral radius 1
// to rounding inside [0.06, 6.75], and above 1 just outside [0.05, 7] on
// many grids; the window keeps a margin on both sides.
constexpr double kZeta8ChebyshevMuMin = 0.08;
constexpr double kZeta8ChebyshevMuMax = 6.5;

// ---------------------------------------------------------------------------
// The grid 2-norm and the data without its mean
// ---------------------------------------------------------------------------

// The norm the variable-coefficient steps are judged in: sum w_i u_i^2,
// w = 1/2 at the end nodes of a grid with walls (reflecting ends: the walls
// sit at the end nodes, so those nodes carry half a cell) and 1 elsewhere,
// the trapezoid rule of the integral of u^2 in which the exact evolution
// u_t = (a u')' contracts. Where the step keeps constants (reflecting and
// periodic ends) the mean sum w_i u_i / sum w_i is what the exact
// evolution keeps, and the rest is what it damps: the projection P removes
// the mean. Everything below works in the scaled values sqrt(w_i) u_i, where
// the norm is the Euclidean one and P is orthogonal.
struct WeightedSpace {
    std::vector<double> sw;   // sqrt(w_i)
    std::vector<double> e;    // the mean direction sw / |sw|, when projected
    bool keeps_mean = false;

    WeightedSpace(const Grid1D<double>& g) : sw(g.n, 1.0) {
        const BoundaryTag tag = g.boundary.tag;
        if (tag == BoundaryTag::Reflect || tag == BoundaryTag::Clamp) {
            sw.front() = sw.back() = std::sqrt(0.5);
        }
        keeps_mean = tag == BoundaryTag::Reflect || tag == BoundaryTag::Periodic || tag == BoundaryTag::Clamp;
        if (keeps_mean) {
            double s = 0.0;
            for (double v : sw) s += v * v;
            e = sw;
            for (double& v : e) v /= std::sqrt(s);
        }
    }

    void project(std::vector<double>& x) const {
        if (!keeps_mean) return;
        double c = 0.0;
        for (std::size_t i = 0; i < x.size(); ++i) c += e[i] * x[i];
        for (std::size_t i = 0; i < x.size(); ++i) x[i] -= c * e[i];
    }
};

// ---------------------------------------------------------------------------
// The step and its generator as operators
// ---------------------------------------------------------------------------

// The transpose of the degree-7 Hermite samples over node indices [lo, hi):
// what was read of (u_j, D1_j, D2_j, D3_j) for every j is spread over the
// node values it was formed from, through the boundary policy beyond the
// ends (its forms taken once).
class SampleTranspose {
public:
    // False where the policy is not linear.
    bool prepare(const Grid1D<double>& g, std::int64_t lo, std::int64_t hi) {
        g_ = &g;
        lo_ = lo;
        hi_ = hi;
        for (int k = 0; k < 9; ++k) d1_[k] = kSepticD1[k] / kSepticD1Denominator;
        for (int k = 0; k < 7; ++k) {
            d2_[k] = kSepticD2[k] / kSepticD2Denominator;
            d3_[k] = kSepticD3[k] / kSepticD3Denominator;
        }
        // The ghost taps: indices [lo - 4, hi + 4) outside the grid.
        const std::int64_t n = static_cast<std::int64_t>(g.n);
        first_ = lo - 4;
        const std::size_t span = static_cast<std::size_t>(hi + 4 - first_);
        start_.assign(span + 1, 0);
        terms_.clear();
        for (std::size_t k = 0; k < span; ++k) {
            const std::int64_t m = first_ + static_cast<std::int64_t>(k);
            if (m < 0 || m >= n) {
                SampleTerm t[3];
                const int count = sample_form(g.boundary, g.n, m, g.dx(), t);
                if (count < 0) return false;
                terms_.insert(terms_.end(), t, t + count);
            }
            start_[k + 1] = terms_.size();
        }
        return true;
    }

    // What was read of (u_j, D1_j, D2_j, D3_j), s[0..3], spread over the node
    // values it was formed from: sink(node, weight), a node possibly more
    // than once. j lies in [lo, hi).
    template <class Sink>
    void spread(std::int64_t j, const double* s, Sink&& sink) const {
        const std::int64_t n = static_cast<std::int64_t>(g_->n);
        if (j >= 4 && j + 4 < n) {
            // Every tap inside the grid.
            sink(j, s[0]);
            for (int k = 0; k < 9; ++k) sink(j + k - 4, d1_[k] * s[1]);
            for (int k = 0; k < 7; ++k) sink(j + k - 3, d2_[k] * s[2] + d3_[k] * s[3]);
            return;
        }
        auto tap = [&](std::int64_t m, double v) {
            if (m >= 0 && m < n) {
                sink(m, v);
                return;
            }
            const std::size_t k = static_cast<std::size_t>(m - first_);
            for (std::size_t q = start_[k]; q < start_[k + 1]; ++q) sink(terms_[q].index, terms_[q].weight * v);
        };
        tap(j, s[0]);
        for (std::int64_t k = -4; k <= 4; ++k) tap(j + k, d1_[k + 4] * s[1]);
        for (std::int64_t k = -3; k <= 3; ++k) tap(j + k, d2_[k + 3] * s[2] + d3_[k + 3] * s[3]);
    }

    void apply(const std::vector<double>& acc, std::vector<double>& out) const {
        for (std::int64_t j = lo_; j < hi_; ++j) {
            spread(j, acc.data() + 4 * (j - lo_),
                   [&](std::int64_t m, double v) { out[static_cast<std::size_t>(m)] += v; });
        }
    }

private:
    const Grid1D<double>* g_ = nullptr;
    std::int64_t lo_ = 0, hi_ = 0, first_ = 0;
    double d1_[9], d2_[7], d3_[7];
    std::vector<std::size_t> start_;
    std::vector<SampleTerm> terms_;
};

// One step of tau written out row by row: row i of the step's matrix M
// gathers node i's reads (the cell each lies in and its Hermite weights,
// times the read's coefficient in the node step) through the samples'
// stencils. Building it records only where the reads lie (how far a row
// reaches, which ghost taps the ends need); the rows are formed when asked
// for, so a measurement holds no more than its band.
class StepRows {
public:
    // Steps whose reads spread over more grid lengths than this are counted
    // as growing, unmeasured: their reads fold back over the grid dozens of
    // times, and their band would be the whole grid.
    static constexpr double kWidestSpan = 16.0;

    enum class Built { Yes, Fails, TooWide, Stopped };

    // Fails where a node's step fails (its own error to report), a read
    // cannot be located or the grid's policy is not linear; TooWide where
    // the reads spread over more than kWidestSpan grid lengths; Stopped
    // where the caller asked to stop.
    template <class K>
    Built build(const K& kernel, const Grid1D<double>& grid, double tau) {
        n_ = grid.n;
        form_of_ = [&kernel, tau](std::size_t i, NodeForm& form, bool points_only) {
            return kernel.node_form(i, tau, form, points_only);
        };
        grid_ = &grid;
        std::int64_t lo = 0, hi = static_cast<std::int64_t>(n_) + 1;
        reach_ = 0;
        NodeForm form;
        for (std::size_t i = 0; i < n_; ++i) {
            if (i % 4096 == 0 && !poll_stop()) return Built::Stopped;
            if (!form_of_(i, form, true)) return Built::Fails;
            const auto at = static_cast<std::int64_t>(i);
            for (std::size_t m = 0; m < form.count; ++m) {
                std::int64_t c;
                double t;
                // A read that no cell can be told apart at (beyond 2^53
                // cells, or not finite: a giant step's spread overflowed)
                // lies far beyond the widest span.
                if (!SepticSamples::locate(grid, form.point[m], c, t)) return Built::TooWide;
                lo = std::min(lo, c);
                hi = std::max(hi, c + 2);
                // The samples c and c + 1 tap the nodes c - 4 .. c + 5.
                reach_ = std::max({reach_, static_cast<std::uint64_t>(std::llabs(c - 4 - at)),
                                   static_cast<std::uint64_t>(std::llabs(c + 5 - at))});
            }
        }
        if (static_cast<double>(hi - lo) > kWidestSpan * static_cast<double>(n_)) return Built::TooWide;
        return transpose_.prepare(grid, lo, hi) ? Built::Yes : Built::Fails;
    }

    std::size_t size() const { return n_; }
    // How far from its node a row of M reaches at most, before the ends
    // fold or wrap its taps back into the grid (which brings none further).
    std::uint64_t reach() const { return reach_; }

    // Row i of M: sink(node, weight), a node possibly more than once. False
    // where the node's step fails.
    template <class Sink>
    bool row(std::size_t i, Sink&& sink) const {
        NodeForm form;
        if (!form_of_(i, form, false)) return false;
        for (std::size_t m = 0; m < form.count; ++m) {
            std::int64_t c;
            double t;
            if (!SepticSamples::locate(*grid_, form.point[m], c, t)) return false;
            const Hermite7Weights<double> w = hermite7_weights(t);
            const double k = form.coef[m];
            const double left[4] = {k * w.h0, k * w.g0, k * w.k0, k * w.l0};
            const double right[4] = {k * w.h1, k * w.g1, k * w.k1, k * w.l1};
            transpose_.spread(c, left, sink);
            transpose_.spread(c + 1, right, sink);
        }
        return true;
    }

private:
    const Grid1D<double>* grid_ = nullptr;
    SampleTranspose transpose_;
    std::size_t n_ = 0;
    std::uint64_t reach_ = 0;
    std::function<bool(std::size_t, NodeForm&, bool)> form_of_;
};

// The small-step limit of the variable-coefficient steps: every one of them
// averages u over points spread like a Gaussian of variance 2 a tau around
// the drift x + tau a', read through the Hermite interpolant, whose value
// and derivatives at a node are the node value and the undivided
// differences D1, D2 over dx and dx^2. So (step - I)/tau tends to
//   G u = a D2 u / dx^2 + a' D1 u / dx
// node by node (the correction is of order tau^2). For a smooth coefficient
// G is the non-conservative form of (a u')', dissipative in the grid 2-norm
// on data without its mean; where a' changes sign from cell to cell (rough
// samples, a jump, a periodic seam the samples do not continue) the a' term
// no longer cancels against the a term and G grows some data at every step
// size.
class Generator {
public:
    // False where the coefficient is not finite at a node (the step's own
    // error to report).
    template <class K>
    bool build(const K& kernel, const Grid1D<double>& grid) {
        grid_ = &grid;
        const std::size_t n = grid.n;
        const double dx = grid.dx();
        a_.resize(n);
        a1_.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double x = grid.xmin + dx * static_cast<double>(i);
            a_[i] = coef_a(kernel, x);
            a1_[i] = coef_a_prime(kernel, x);
            if (!std::isfinite(a_[i]) || !std::isfinite(a1_[i]) || a_[i] < 0.0) return false;
        }
        return finish(grid);
    }

    // The generator of `small` (a periodic grid) on `grid`, the same grid
    // repeated: its samples every period.
    bool repeat(const Generator& small, const Grid1D<double>& grid) {
        grid_ = &grid;
        a_.resize(grid.n);
        a1_.resize(grid.n);
        for (std::size_t i = 0; i < grid.n; ++i) {
            a_[i] = small.a_[i % small.a_.size()];
            a1_[i] = small.a1_[i % small.a1_.size()];
        }
        return finish(grid);
    }

private:
    bool finish(const Grid1D<double>& grid) {
        const std::size_t n = grid.n;
        const double dx = grid.dx();
        // The operator is applied divided by `unit`, the largest |a| or |a'|
        // at the nodes, so that no coefficient's size overflows the Lanczos
        // products; its size is then bounded by the row sums (Gershgorin).
        unit_ = 0.0;
        for (std::size_t i = 0; i < n; ++i) unit_ = std::max({unit_, a_[i], std::fabs(a1_[i])});
        if (!(unit_ > 0.0)) unit_ = 1.0;
        double d1 = 0.0, d2 = 0.0;
        for (double c : kSepticD1) d1 += std::fabs(c);
        for (double c : kSepticD2) d2 += std::fabs(c);
        d1 /= kSepticD1Denominator * dx;
        d2 /= kSepticD2Denominator * dx * dx;
        scale_ = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            scale_ = std::max(scale_, (a_[i] / unit_) * d2 + (std::fabs(a1_[i]) / unit_) * d1);
        }
        return std::isfinite(scale_) && transpose_.prepare(grid, 0, static_cast<std::int64_t>(n));
    }

public:
    // The size of G / unit, and unit.
    double scale() const { return scale_; }
    double unit() const { return unit_; }
    double a(std::size_t i) const { return a_[i]; }
    double a_prime(std::size_t i) const { return a1_[i]; }

    void apply(const std::vector<double>& v, std::vector<double>& out) {
        const std::size_t n = grid_->n;
        const double dx = grid_->dx();
        samples_.fill(v, *grid_, 0, static_cast<std::int64_t>(n) + 1);
        out.resize(n);
        constexpr Hermite7Weights<double> d1{0, 0, 1, 0, 0, 0, 0, 0}, d2{0, 0, 0, 0, 1, 0, 0, 0};
        for (std::size_t i = 0; i < n; ++i) {
            const auto c = static_cast<std::int64_t>(i);
            out[i] = (a_[i] / unit_) * samples_.at_cell(c, d2) / (dx * dx) + (a1_[i] / unit_) * samples_.at_cell(c, d1) / dx;
        }
    }

    // Row i of G / unit: sink(node, weight), a node possibly more than once.
    template <class Sink>
    void row(std::size_t i, Sink&& sink) const {
        const double dx = grid_->dx();
        const double s[4] = {0.0, (a1_[i] / unit_) / dx, (a_[i] / unit_) / (dx * dx), 0.0};
        transpose_.spread(static_cast<std::int64_t>(i), s, sink);
    }

    void apply_transpose(const std::vector<double>& y, std::vector<double>& out) {
        const std::size_t n = grid_->n;
        const double dx = grid_->dx();
        acc_.assign(4 * n, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            acc_[4 * i + 1] = (a1_[i] / unit_) * y[i] / dx;
            acc_[4 * i + 2] = (a_[i] / unit_) * y[i] / (dx * dx);
        }
        out.assign(n, 0.0);
        transpose_.apply(acc_, out);
    }

private:
    template <class K>
    static double coef_a(const K& k, double x) {
        if constexpr (requires { k.coef.eval_a(x); }) return k.coef.eval_a(x);
        else return k.coef_a(x);
    }
    template <class K>
    static double coef_a_prime(const K& k, double x) {
        if constexpr (requires { k.coef.eval_a_prime(x); }) return k.coef.eval_a_prime(x);
        else return k.coef_a_prime(x);
    }

    const Grid1D<double>* grid_ = nullptr;
    SampleTranspose transpose_;
    std::vector<double> a_, a1_, acc_;
    double scale_ = 0.0, unit_ = 1.0;
    SepticSamples samples_;
};

// ---------------------------------------------------------------------------
// Lanczos
// ---------------------------------------------------------------------------

// Lanczos steps on the generator: its products cost a tenth of a step's, and
// the growing direction, which the refusal names, needs dozens of them; on
// a step too wide for the factorisation, a few dozen (fewer on large grids,
// whose basis would not fit kLanczosBytes).
constexpr std::size_t kGeneratorSteps = 48;
constexpr std::size_t kWideStepSteps = 32;
constexpr double kLanczosBytes = 268435456.0;

struct Ritz {
    double value = -kInf;
    std::vector<double> vector;  // unit length, when asked for
};

// Largest eigenvalue of the tridiagonal matrix (alpha; beta) by bisection on
// its Sturm counts, and with `vector` its eigenvector by inverse iteration.
double tridiagonal_top(const std::vector<double>& alpha, const std::vector<double>& beta, std::vector<double>* vector) {
    const std::size_t m = alpha.size();
    double bound = 0.0;
    for (std::size_t k = 0; k < m; ++k) {
        bound = std::max(bound, std::fabs(alpha[k]) + (k > 0 ? beta[k - 1] : 0.0) + (k + 1 < m ? beta[k] : 0.0));
    }
    auto below = [&](double x) {  // eigenvalues below x
        std::size_t count = 0;
        double d = 1.0;
        for (std::size_t k = 0; k < m; ++k) {
            d = alpha[k] - x - (k > 0 ? beta[k - 1] * beta[k - 1] / d : 0.0);
            if (d == 0.0) d = -1e-300;
            if (d < 0.0) ++count;
        }
        return count;
    };
    double lo = -bound, hi = bound;
    for (int it = 0; it < 200 && hi - lo > 1e-15 * bound; ++it) {
        const double mid = 0.5 * (lo + hi);
        if (below(mid) == m) hi = mid;
        else lo = mid;
    }
    if (vector) {
        // Two sweeps of inverse iteration with the shift just above the
        // eigenvalue (Thomas algorithm on T - shift I).
        const double shift = hi + 1e-10 * std::max(bound, 1e-300);
        std::vector<double> y(m, 1.0), c(m), d(m);
        for (int sweep = 0; sweep < 3; ++sweep) {
            for (std::size_t k = 0; k < m; ++k) {
                const double off = k > 0 ? beta[k - 1] : 0.0;
                double piv = alpha[k] - shift - (k > 0 ? off * c[k - 1] : 0.0);
                if (piv == 0.0) piv = -1e-300;
                c[k] = k + 1 < m ? beta[k] / piv : 0.0;
                d[k] = (y[k] - (k > 0 ? off * d[k - 1] : 0.0)) / piv;
            }
            for (std::size_t k = m; k-- > 0;) y[k] = d[k] - (k + 1 < m ? c[k] * y[k + 1] : 0.0);
            double s = 0.0;
            for (double v : y) s += v * v;
            s = std::sqrt(s);
            if (!(s > 0.0) || !std::isfinite(s)) break;
            for (double& v : y) v /= s;
        }
        *vector = std::move(y);
    }
    return hi;
}

// The largest eigenvalue of the symmetric operator `apply` (order n; y = A x)
// by at most `most` Lanczos steps from `start`. With `reorthogonalise` each
// new vector is taken once against every earlier one (modified
// Gram-Schmidt: the Ritz values then stay those of the operator, without
// ghosts); without, against the last two only: ghosts (copies of converged
// Ritz values) may appear, but every Ritz value stays within the spectrum to
// rounding, which is all a bound from below needs. Ritz values approach the
// top from below, so the run ends once one exceeds `enough`. nullopt when a
// product is not finite or the caller asked to stop (`stopped`).
template <class Apply>
std::optional<Ritz> lanczos_top(std::size_t n, const Apply& apply, std::vector<double> start, bool want_vector,
                                bool& stopped, std::size_t most, bool reorthogonalise = true,
                                double enough = std::numeric_limits<double>::infinity()) {
    const std::size_t steps = std::min<std::size_t>(
        n, std::clamp<std::size_t>(static_cast<std::size_t>(kLanczosBytes / (8.0 * static_cast<double>(n))), 8,
                                   most));
    std::vector<std::vector<double>> q;
    std::vector<double> alpha, beta, w(n);
    auto dot = [n](const std::vector<double>& a, const std::vector<double>& b) {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
        return s;
    };
    std::vector<double> v = std::move(start);
    double norm = std::sqrt(dot(v, v));
    if (!(norm > 0.0)) return Ritz{0.0, {}};
    for (std::size_t k = 0; k < steps; ++k) {
        if (!poll_stop()) {
            stopped = true;
            return std::nullopt;
        }
        for (double& x : v) x /= norm;
        q.push_back(v);
        apply(v, w);
        const double a = dot(v, w);
        if (!std::isfinite(a)) return std::nullopt;
        alpha.push_back(a);
        for (std::size_t j = reorthogonalise || q.size() < 2 ? 0 : q.size() - 2; j < q.size(); ++j) {
            const double c = dot(q[j], w);
            for (std::size_t i = 0; i < n; ++i) w[i] -= c * q[j][i];
        }
        norm = std::sqrt(dot(w, w));
        if (std::isfinite(enough) && tridiagonal_top(alpha, beta, nullptr) > enough) break;
        if (!(norm > 1e-13 * std::fabs(a) + 1e-300)) break;
        beta.push_back(norm);
        std::swap(v, w);
    }
    if (beta.size() >= alpha.size()) beta.resize(alpha.size() - 1);
    Ritz r;
    std::vector<double> y;
    r.value = tridiagonal_top(alpha, beta, want_vector ? &y : nullptr);
    if (want_vector) {
        r.vector.assign(n, 0.0);
        for (std::size_t k = 0; k < y.size(); ++k)
            for (std::size_t i = 0; i < n; ++i) r.vector[i] += y[k] * q[k][i];
    }
    return r;
}

// ---------------------------------------------------------------------------
// Judging a variable-coefficient kernel
// ---------------------------------------------------------------------------

// One step may grow the data without its mean by this much in the grid
// 2-norm: rounding, no more.
constexpr double kStepSlack = 1e-10;

// The generator counts as dissipative while the top of its symmetric part on
// data without the mean stays below this fraction of its size: the
// non-conservative form of a smooth coefficient gives 0 to rounding (1e-16
// of the size), samples rough enough to grow anything give 1e-3 and more.
constexpr double kGeneratorSlack = 1e-9;

// Where a coefficient fault sits: the node of the largest |v_i| (v the
// growing direction in scaled values), and the largest |a'| dx / a within two
// nodes of it (the cell the growth feeds on).
CoefficientFault fault_at(const Generator& gen, const Grid1D<double>& g, const std::vector<double>& v, double rate) {
    const std::size_t n = g.n;
    std::size_t at = 0;
    for (std::size_t i = 1; i < n; ++i)
        if (std::fabs(v[i]) > std::fabs(v[at])) at = i;
    const double dx = g.dx();
    std::size_t worst = at;
    double ratio = 0.0;
    for (std::size_t i = at >= 2 ? at - 2 : 0; i <= std::min(n - 1, at + 2); ++i) {
        const double r = gen.a(i) > 0.0 ? std::fabs(gen.a_prime(i)) * dx / gen.a(i) : kInf;
        if (r > ratio) {
            ratio = r;
            worst = i;
        }
    }
    CoefficientFault f;
    f.kind = CoefficientFault::Kind::NotDissipative;
    f.node = worst;
    f.x = g.xmin + dx * static_cast<double>(worst);
    f.a = gen.a(worst);
    f.a_prime = gen.a_prime(worst);
    f.cell_ratio = gen.a(worst) > 0.0 ? gen.a_prime(worst) * dx / gen.a(worst) : kInf;
    f.rate = rate;
    f.seam = g.boundary.tag == BoundaryTag::Periodic && (worst < 3 || worst + 3 >= n);
    f.a_first = gen.a(0);
    f.a_last = gen.a(n - 1);
    return f;
}

// The order in which a band factorisation takes a grid's nodes: pos[i] the
// place of node i, node[q] the node at place q. A periodic grid is folded
// (0, n - 1, 1, n - 2, ...), so that its reads across the seam stay within a
// band; any other grid keeps its own order.
struct BandOrder {
    std::vector<std::size_t> pos, node;

    BandOrder(std::size_t n, bool periodic) : pos(n), node(n) {
        const std::size_t half = (n + 1) / 2;
        for (std::size_t i = 0; i < n; ++i) pos[i] = !periodic ? i : i < half ? 2 * i : 2 * (n - 1 - i) + 1;
        for (std::size_t i = 0; i < n; ++i) node[pos[i]] = i;
    }
};

// Whether the generator stays within `limit` on data without its mean,
// exactly up to rounding: whether M = limit I - sym(S G S^-1) (G divided by
// its unit, S the scaled values) is positive definite on data without its
// mean, decided by the Cholesky factorisation of M + gamma e e^T over M's
// band (four nodes each side; a periodic grid folded, as for the steps).
// On e, M gives limit, and it couples e to the rest by c = -g/2, g the
// generator's transpose on e (its part without the mean, since G e = 0), so
// gamma = 4 |g|^2 / limit (and one unit more) exceeds the c^T M_rest^-1 c
// that M + gamma e e^T needs whenever M_rest keeps half its margin: the test
// is then M_rest alone. Lanczos, which bounds the top from below, misses a
// growth that sits at a few nodes of a large grid (a periodic seam on 1001
// nodes: 2.3e-5 of the generator's size, which 48 Lanczos steps from noise
// do not reach). Given positions [lo, hi) (in the factorisation's order)
// the test is M's principal part on them alone, without the mean: whether
// some data there grows. nullopt when the caller asked to stop.
class GeneratorTest {
public:
    GeneratorTest(Generator& gen, const WeightedSpace& sp, const Grid1D<double>& g, double limit)
        : gen_(gen), sp_(sp), limit_(limit), n_(g.n), order_(g.n, g.boundary.tag == BoundaryTag::Periodic) {
        // The rows of G reach four nodes each side (the first differences).
        p_ = std::min<std::size_t>(n_ - 1, g.boundary.tag == BoundaryTag::Periodic ? 9 : 4);
    }

    std::size_t size() const { return n_; }
    std::size_t node(std::size_t q) const { return order_.node[q]; }

    // sym(S G S^-1) on the positions [lo, hi), dense, row by row.
    std::vector<double> block(std::size_t lo, std::size_t hi) const {
        const std::size_t w = hi - lo;
        std::vector<double> b(w * w, 0.0);
        for (std::size_t q = lo; q < hi; ++q) {
            const std::size_t i = order_.node[q];
            gen_.row(i, [&](std::int64_t k, double x) {
                const std::size_t c = order_.pos[static_cast<std::size_t>(k)];
                if (c < lo || c >= hi) return;
                const double y = 0.5 * sp_.sw[i] * x / sp_.sw[order_.node[c]];
                b[(q - lo) * w + (c - lo)] += y;
                b[(c - lo) * w + (q - lo)] += y;
            });
        }
        return b;
    }

    std::optional<bool> within(bool& stopped) { return factorise(0, n_, sp_.keeps_mean, stopped); }
    std::optional<bool> within(std::size_t lo, std::size_t hi, bool& stopped) {
        return factorise(lo, hi, false, stopped);
    }

private:
    std::optional<bool> factorise(std::size_t lo, std::size_t hi, bool mean, bool& stopped) {
        const std::size_t p = p_;
        double gamma = 0.0;
        std::vector<double> v;
        if (mean) {
            // g = S^-1 G^T S e.
            std::vector<double> y(n_), gt;
            for (std::size_t i = 0; i < n_; ++i) y[i] = sp_.sw[i] * sp_.e[i];
            gen_.apply_transpose(y, gt);
            double gg = 0.0;
            for (std::size_t i = 0; i < n_; ++i) gg += (gt[i] / sp_.sw[i]) * (gt[i] / sp_.sw[i]);
            gamma = 4.0 * gg / limit_ + gen_.scale();
            v.assign(n_, 0.0);
            for (std::size_t i = 0; i < n_; ++i) v[order_.pos[i]] = std::sqrt(gamma) * sp_.e[i];
        }
        // Rows of S G S^-1 in the factorisation's order, [q - p, q + p], kept
        // while a column below them needs them.
        const std::size_t width = 2 * p + 1, kept = 2 * p + 2;
        std::vector<double> rows(kept * width, 0.0);
        auto row_of = [&](std::size_t q) { return rows.data() + (q % kept) * width; };
        auto form_row = [&](std::size_t q) {
            double* r = row_of(q);
            std::fill(r, r + width, 0.0);
            const std::size_t i = order_.node[q];
            gen_.row(i, [&](std::int64_t k, double w) {
                const std::size_t c = order_.pos[static_cast<std::size_t>(k)];
                r[c + p - q] += sp_.sw[i] * w / sp_.sw[order_.node[c]];
            });
        };
        // Column c of the band at slot c % (p + 1): its entries (c + k, c).
        const std::size_t len = p + 1;
        std::vector<double> band(len * len), rho(len), t(len);
        auto column = [&](std::size_t c) { return band.data() + (c % len) * len; };
        std::size_t formed = lo, opened = lo;
        double weight = 1.0;
        for (std::size_t j = lo; j < hi; ++j) {
            if (j % 4096 == 0 && !poll_stop()) {
                stopped = true;
                return std::nullopt;
            }
            const std::size_t last = std::min(hi - 1, j + p);
            for (; formed < std::min(hi, last + p + 1); ++formed) form_row(formed);
            for (; opened <= last; ++opened) {
                // M's column: limit on the diagonal, less the symmetric part.
                double* col = column(opened);
                const double* own = row_of(opened);
                for (std::size_t k = 0; k <= p; ++k) {
                    const std::size_t r = opened + k;
                    if (r >= hi) {
                        col[k] = 0.0;
                        continue;
                    }
                    const double sym = 0.5 * (row_of(r)[opened + p - r] + own[r + p - opened]);
                    col[k] = (k == 0 ? limit_ : 0.0) - sym;
                }
                rho[opened % len] = 0.0;
            }
            const double* cj = column(j);
            const double vj = mean ? v[j] : 0.0;
            const double alpha = cj[0] + weight * vj * vj + 2.0 * rho[j % len] * vj;
            if (!(alpha > 0.0)) return false;
            const double s = weight * vj + rho[j % len];
            for (std::size_t i = j + 1; i <= last; ++i) t[i - j] = cj[i - j] + rho[i % len] * vj;
            for (std::size_t k = j + 1; k <= last; ++k) {
                const double f = t[k - j] / alpha;
                double* col = column(k);
                for (std::size_t i = k; i <= last; ++i) col[i - k] -= t[i - j] * f;
            }
            for (std::size_t i = j + 1; i <= last; ++i) rho[i % len] -= t[i - j] * (s / alpha);
            weight -= s * s / alpha;
        }
        return true;
    }

    Generator& gen_;
    const WeightedSpace& sp_;
    double limit_;
    std::size_t n_, p_ = 0;
    const BandOrder order_;
};

// A node where some data grows under the generator: halves of the
// positions tested alone (a principal part that is not positive definite
// holds growing data), down to a few dozen nodes, then the node where the
// growing direction of that part is largest. nullopt when no part on its
// own grows (the growth needs the whole grid) or the caller asked to stop.
std::optional<std::size_t> growth_site(GeneratorTest& test, bool& stopped) {
    std::size_t lo = 0, hi = test.size();
    const std::optional<bool> whole = test.within(lo, hi, stopped);
    if (!whole || *whole) return std::nullopt;
    while (hi - lo > 32) {
        const std::size_t q = (hi - lo) / 4;
        bool narrowed = false;
        for (const auto& [a, b] : {std::pair{lo, lo + 2 * q}, std::pair{hi - 2 * q, hi}, std::pair{lo + q, hi - q}}) {
            const std::optional<bool> part = test.within(a, b, stopped);
            if (!part) return std::nullopt;
            if (!*part) {
                lo = a;
                hi = b;
                narrowed = true;
                break;
            }
        }
        if (!narrowed) break;
    }
    const std::size_t w = hi - lo;
    const std::vector<double> b = test.block(lo, hi);
    auto apply = [&](const std::vector<double>& x, std::vector<double>& y) {
        y.assign(w, 0.0);
        for (std::size_t r = 0; r < w; ++r)
            for (std::size_t c = 0; c < w; ++c) y[r] += b[r * w + c] * x[c];
    };
    const std::optional<Ritz> top = lanczos_top(w, apply, fixed_noise(w, 0x2545F4914F6CDD1Dull), true, stopped, w);
    if (!top || top->vector.size() != w) return test.node((lo + hi) / 2);
    std::size_t at = 0;
    for (std::size_t r = 1; r < w; ++r)
        if (std::fabs(top->vector[r]) > std::fabs(top->vector[at])) at = r;
    return test.node(lo + at);
}

// Whether the kernel's small-step limit grows data without its mean in the
// grid 2-norm, and where: a fault, no fault, or nullopt where it was not
// judged (the coefficient fails at a node, which is the step's own error to
// report; a product overflowed; the caller asked to stop), which is then
// not kept. "linear" ends are refused with any variable coefficient: their
// straight-line continuation is no boundary condition for (a u')', and
// with a varying a the end rows grow data (exponentially on small grids,
// to many times max|u0| on large ones), where the exact flow has no such
// ends to grow at.
// With `regardless` the growing direction is named whatever its size (for a
// coefficient whose steps grow although its generator stayed below the
// slack). `sizes`, when given, receives the largest a at the nodes and the
// generator's size (its row sums), which scale the scan of the steps.
struct GeneratorSizes {
    double a_top = 0.0;
    double a1_top = 0.0;  // the largest |a'| at the nodes
    double size = 0.0;
};

template <class K>
std::optional<std::optional<CoefficientFault>> generator_fault(const K& kernel, const Grid1D<double>& grid,
                                                               bool& stopped, bool regardless = false,
                                                               GeneratorSizes* sizes = nullptr) {
    Generator small;
    if (!small.build(kernel, grid)) return std::nullopt;
    if (sizes) {
        *sizes = GeneratorSizes{};
        for (std::size_t i = 0; i < grid.n; ++i) {
            sizes->a_top = std::max(sizes->a_top, small.a(i));
            sizes->a1_top = std::max(sizes->a1_top, std::fabs(small.a_prime(i)));
        }
        sizes->size = small.scale() * small.unit();
    }
    if (grid.boundary.tag == BoundaryTag::Linear) {
        CoefficientFault f;
        f.kind = CoefficientFault::Kind::LinearEnds;
        f.a_first = small.a(0);
        f.a_last = small.a(grid.n - 1);
        return std::optional<CoefficientFault>(f);
    }
    // A periodic grid of fewer nodes than the derivative estimates read
    // (nine) has them read nodes twice, and a seam the samples do not
    // continue cancels in them (four nodes of a = 0.05 + x^2 on [0, 1]:
    // nothing grows, while the mean moves by 0.46 max|u0| in a step of
    // 3 dx^2). Such a grid is judged as the grid repeated to nine nodes or
    // more, its samples every period, where the seam shows as on any grid.
    Grid1D<double> repeated = grid;
    Generator big;
    const bool repeat = grid.boundary.tag == BoundaryTag::Periodic && grid.n < 9;
    if (repeat) {
        const std::size_t copies = (9 + grid.n - 1) / grid.n;
        repeated.n = grid.n * copies;
        repeated.xmax = grid.xmin + grid.dx() * static_cast<double>(repeated.n - 1);
        if (!big.repeat(small, repeated)) return std::nullopt;
    }
    Generator& gen = repeat ? big : small;
    const Grid1D<double>& g = repeat ? repeated : grid;
    const WeightedSpace sp(g);
    const std::size_t n = g.n;
    std::vector<double> px(n), t(n), u(n), r(n);
    // x -> P sym(S G S^-1) P x.
    auto sym = [&](const std::vector<double>& x, std::vector<double>& y) {
        px = x;
        sp.project(px);
        for (std::size_t i = 0; i < n; ++i) t[i] = px[i] / sp.sw[i];
        gen.apply(t, u);
        for (std::size_t i = 0; i < n; ++i) t[i] = px[i] * sp.sw[i];
        gen.apply_transpose(t, r);
        y.resize(n);
        for (std::size_t i = 0; i < n; ++i) y[i] = 0.5 * (u[i] * sp.sw[i] + r[i] / sp.sw[i]);
        sp.project(y);
    };
    const double limit = kGeneratorSlack * gen.scale();
    GeneratorTest test(gen, sp, g, limit);
    const std::optional<bool> within = test.within(stopped);
    if (!within) return std::nullopt;
    if (*within && !regardless) return std::optional<CoefficientFault>();
    // Where the growth sits and how fast: the growing direction, as far as
    // Lanczos finds it; else the part of the grid that grows on its own.
    auto top = lanczos_top(n, sym, fixed_noise(n, 0x2545F4914F6CDD1Dull), true, stopped, kGeneratorSteps);
    if (stopped) return std::nullopt;
    std::vector<double> where(n, 0.0);
    double rate = std::numeric_limits<double>::quiet_NaN();
    if (top && top->value > limit) {
        for (std::size_t i = 0; i < n; ++i) where[i] = top->vector[i] / sp.sw[i];
        rate = top->value * gen.unit();
    } else {
        const std::optional<std::size_t> site = *within ? std::nullopt : growth_site(test, stopped);
        if (stopped) return std::nullopt;
        if (site) where[*site] = 1.0;
        else if (top) for (std::size_t i = 0; i < n; ++i) where[i] = top->vector[i] / sp.sw[i];
    }
    if (repeat) {
        // Back on the grid itself: every period repeats it.
        std::vector<double> folded(grid.n, 0.0);
        for (std::size_t i = 0; i < n; ++i) folded[i % grid.n] = std::max(folded[i % grid.n], std::fabs(where[i]));
        return std::optional<CoefficientFault>(fault_at(small, grid, folded, rate));
    }
    return std::optional<CoefficientFault>(fault_at(gen, g, where, rate));
}

// ---------------------------------------------------------------------------
// Whether one step grows data without its mean
// ---------------------------------------------------------------------------

// The factorisation below holds a band of at most kWidestBand entries per
// column and does at most kMostBandWork multiplications per node; a step
// that would need more (reads spread over hundreds of cells) is measured by
// Lanczos instead (wide_step_verdict).
constexpr std::size_t kWidestBand = 2048;
constexpr double kMostBandWork = 262144.0;

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
// BandFactor::kMostEntries), for the margin of the scan below.
std::optional<StepVerdict> step_verdict(const StepRows& op, const Grid1D<double>& g, bool& stopped,
                                        FunctionRef<bool()> abandon, BandFactor* keep = nullptr) {
    const std::size_t n = op.size();
    const bool periodic = g.boundary.tag == BoundaryTag::Periodic;
    // How far a row reaches in the factorisation's order: folding at most
    // doubles a distance across the seam.
    const std::uint64_t raw = op.reach();
    if (raw > kWidestBand) return StepVerdict::Unmeasured;
    const std::size_t reach = std::min<std::size_t>(n - 1, periodic ? 2 * raw + 1 : raw);
    const std::size_t p = std::min(2 * reach, n - 1);  // the half bandwidth of A
    if (p > kWidestBand || 0.5 * static_cast<double>(p + 1) * static_cast<double>(p + 1) > kMostBandWork) {
        return StepVerdict::Unmeasured;
    }
    const WeightedSpace sp(g);
    const double slack = (1.0 + kStepSlack) * (1.0 + kStepSlack) - 1.0;
    const BandOrder order(n, periodic);
    const std::vector<std::size_t>& pos = order.pos;
    const std::vector<std::size_t>& node = order.node;

    // The factorisation eliminates blocks of m columns: a dense Cholesky of
    // the block, the band rows below it solved against it, and the trailing
    // band less their products.
    const std::size_t m = std::clamp<std::size_t>(p / 8, 4, 64);
    // Column c of the band sits at slot c % slots: its entries (c + k, c),
    // k in [0, p]; rho and the sums d_c = sum_q D_qc e_q likewise.
    const std::size_t slots = p + m, len = p + 1;
    std::vector<double> band(slots * len), rho(slots), dsum(slots);
    auto column = [&](std::size_t c) { return band.data() + (c % slots) * len; };
    std::size_t opened = 0;
    auto open_to = [&](std::size_t last) {
        for (; opened <= last && opened < n; ++opened) {
            double* col = column(opened);
            std::fill(col, col + len, 0.0);
            col[0] = slack;
            rho[opened % slots] = 0.0;
            dsum[opened % slots] = 0.0;
        }
    };
    // Row q of D over the positions [q - reach, q + reach] (row[reach] at q),
    // brought into the band.
    std::vector<double> row(2 * reach + 1, 0.0);
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    bool wide = false;  // a tap beyond the reach (which reach() rules out)
    auto insert_row = [&](std::size_t q) {
        const std::size_t i = node[q];
        const bool formed = op.row(i, [&](std::int64_t k, double w) {
            const std::size_t at = pos[static_cast<std::size_t>(k)] + reach - q;
            if (at < row.size()) row[at] += w;
            else wide = true;
        });
        if (!formed || wide) return false;
        const std::size_t lo = q >= reach ? q - reach : 0, hi = std::min(n - 1, q + reach);
        double* r = row.data() + reach - q;  // r[c] for c in [lo, hi]
        // The row's nonzero entries come in runs (a read taps ten
        // neighbouring nodes): runs[k] = [first, end) of positions.
        runs.clear();
        for (std::size_t c = lo; c <= hi; ++c) {
            if (c == q) r[c] -= 1.0;
            else if (r[c] != 0.0) r[c] *= sp.sw[i] / sp.sw[node[c]];
            if (!std::isfinite(r[c])) {
                // A coefficient the step cannot form (an overflow, a NaN):
                // the step's own error to report.
                std::fill(row.begin(), row.end(), 0.0);
                return false;
            }
            if (r[c] == 0.0) continue;
            // Runs a few zeros apart are one run: fewer, longer loops.
            if (!runs.empty() && c - runs.back().second <= 3) runs.back().second = c + 1;
            else runs.emplace_back(c, c + 1);
        }
        open_to(hi);
        const double eq = sp.keeps_mean ? sp.e[i] : 0.0;
        for (std::size_t a = 0; a < runs.size(); ++a) {
            for (std::size_t c = runs[a].first; c < runs[a].second; ++c) {
                const double vc = r[c];
                double* col = column(c);  // col[k - c] is the entry (k, c)
                // - D^T D: row q brings D_qk D_qc to the entries (k, c), k >= c.
                for (std::size_t k = c; k < runs[a].second; ++k) col[k - c] -= r[k] * vc;
                for (std::size_t b = a + 1; b < runs.size(); ++b) {
                    double* to = col + (runs[b].first - c);
                    const double* from = r + runs[b].first;
                    for (std::size_t k = 0; k < runs[b].second - runs[b].first; ++k) to[k] -= from[k] * vc;
                }
                // - D - D^T: row q brings D_qc to the entry (q, c).
                if (c == q) col[0] -= 2.0 * vc;
                else if (c < q) col[q - c] -= vc;
                else column(q)[c - q] -= vc;
                dsum[c % slots] += vc * eq;
            }
        }
        std::fill(row.begin(), row.end(), 0.0);
        return true;
    };

    // The block [j, j + mb): its dense factor l11 (row-major), the band rows
    // below it, [j + mb, last], solved against it (lt, by block column then
    // row), and g = l11^-1 (S v + rho) over the block.
    std::vector<double> l11(m * m), lt(m * p), gv(m), vb(m), rho_rows(p);
    double weight = 1.0;  // S, the weight of v v^T left
    if (keep) {
        keep->n = n;
        keep->width = m + p;
        if (static_cast<double>(n) * static_cast<double>(m + p) > BandFactor::kMostEntries) {
            // A factor kept from an earlier, narrower step must not pass
            // for this one's.
            keep->l.clear();
            keep = nullptr;
        }
    }
    if (keep) {
        keep->l.assign(n * (m + p), 0.0);
        keep->last.assign(n, 0);
        keep->block_end.assign(n, 0);
        keep->rank_one = sp.keeps_mean;
        keep->v.assign(sp.keeps_mean ? n : 0, 0.0);
        keep->g.assign(sp.keeps_mean ? n : 0, 0.0);
    }
    std::size_t inserted = 0;
    for (std::size_t j = 0; j < n; j += m) {
        if (!poll_stop()) {
            stopped = true;
            return std::nullopt;
        }
        if (abandon()) return std::nullopt;
        const std::size_t mb = std::min(m, n - j);
        // Every row that reaches the block, before it is eliminated.
        for (; inserted < n && inserted <= j + mb - 1 + reach; ++inserted) {
            if (!insert_row(inserted)) return wide ? StepVerdict::Unmeasured : StepVerdict::Fails;
        }
        const std::size_t below = j + mb, last = std::min(n - 1, j + mb - 1 + p);
        const std::size_t rows = last >= below ? last - below + 1 : 0;
        open_to(last);
        for (std::size_t c = 0; c < mb; ++c) vb[c] = sp.keeps_mean ? sp.e[node[j + c]] + dsum[(j + c) % slots] : 0.0;
        // l11 = chol(A11), A11 = band + S v v^T + rho v^T + v rho^T.
        for (std::size_t c = 0; c < mb; ++c) {
            const double* col = column(j + c);
            const double rc = rho[(j + c) % slots];
            for (std::size_t a = c; a < mb; ++a) {
                double x = col[a - c];
                if (sp.keeps_mean) x += weight * vb[a] * vb[c] + rho[(j + a) % slots] * vb[c] + vb[a] * rc;
                l11[a * m + c] = x;
            }
        }
        for (std::size_t c = 0; c < mb; ++c) {
            double d = l11[c * m + c];
            for (std::size_t k = 0; k < c; ++k) d -= l11[c * m + k] * l11[c * m + k];
            if (!(d > 0.0)) return StepVerdict::Grows;
            d = std::sqrt(d);
            l11[c * m + c] = d;
            for (std::size_t a = c + 1; a < mb; ++a) {
                double x = l11[a * m + c];
                for (std::size_t k = 0; k < c; ++k) x -= l11[a * m + k] * l11[c * m + k];
                l11[a * m + c] = x / d;
            }
        }
        // The rows below: t_r = band(r, block) + rho_r v, solved against l11.
        if (sp.keeps_mean) {
            for (std::size_t r = 0; r < rows; ++r) rho_rows[r] = rho[(below + r) % slots];
        }
        for (std::size_t c = 0; c < mb; ++c) {
            const std::size_t jc = j + c;
            const double* col = column(jc);
            double* out = lt.data() + c * p;
            // Rows beyond jc + p lie outside the band of column jc.
            const std::size_t inside = std::min(rows, jc + p + 1 - below);
            for (std::size_t r = 0; r < inside; ++r) out[r] = col[below + r - jc];
            std::fill(out + inside, out + rows, 0.0);
            if (sp.keeps_mean) {
                for (std::size_t r = 0; r < rows; ++r) out[r] += rho_rows[r] * vb[c];
            }
            for (std::size_t k = 0; k < c; ++k) {
                const double f = l11[c * m + k];
                const double* l = lt.data() + k * p;
                for (std::size_t r = 0; r < rows; ++r) out[r] -= l[r] * f;
            }
            const double d = l11[c * m + c];
            for (std::size_t r = 0; r < rows; ++r) out[r] /= d;
        }
        if (sp.keeps_mean) {
            for (std::size_t c = 0; c < mb; ++c) {
                double x = weight * vb[c] + rho[(j + c) % slots];
                for (std::size_t k = 0; k < c; ++k) x -= l11[c * m + k] * gv[k];
                gv[c] = x / l11[c * m + c];
            }
            for (std::size_t c = 0; c < mb; ++c) weight -= gv[c] * gv[c];
        }
        if (keep) {
            for (std::size_t c = 0; c < mb; ++c) {
                const std::size_t jc = j + c;
                double* col = keep->l.data() + jc * keep->width;
                for (std::size_t a = c; a < mb; ++a) col[a - c] = l11[a * m + c];
                for (std::size_t r = 0; r < rows; ++r) col[below + r - jc] = lt[c * p + r];
                keep->last[jc] = last;
                keep->block_end[jc] = j + mb - 1;
                if (sp.keeps_mean) {
                    keep->v[jc] = vb[c];
                    keep->g[jc] = gv[c];
                }
            }
        }
        // The trailing band less the products of the solved rows; rho of
        // those rows likewise.
        for (std::size_t r2 = 0; r2 < rows; ++r2) {
            double* col = column(below + r2);
            const std::size_t count = rows - r2;
            // Eight, then four block columns at a time: the band column is
            // loaded and stored once for them.
            std::size_t c = 0;
            for (; c + 8 <= mb; c += 8) {
                const double* l0 = lt.data() + c * p + r2;
                const double *l1 = l0 + p, *l2 = l1 + p, *l3 = l2 + p, *l4 = l3 + p, *l5 = l4 + p, *l6 = l5 + p,
                             *l7 = l6 + p;
                const double f0 = l0[0], f1 = l1[0], f2 = l2[0], f3 = l3[0], f4 = l4[0], f5 = l5[0], f6 = l6[0],
                             f7 = l7[0];
                for (std::size_t i = 0; i < count; ++i) {
                    col[i] -= ((l0[i] * f0 + l1[i] * f1) + (l2[i] * f2 + l3[i] * f3)) +
                              ((l4[i] * f4 + l5[i] * f5) + (l6[i] * f6 + l7[i] * f7));
                }
            }
            for (; c + 4 <= mb; c += 4) {
                const double* l0 = lt.data() + c * p + r2;
                const double *l1 = l0 + p, *l2 = l1 + p, *l3 = l2 + p;
                const double f0 = l0[0], f1 = l1[0], f2 = l2[0], f3 = l3[0];
                for (std::size_t i = 0; i < count; ++i) col[i] -= (l0[i] * f0 + l1[i] * f1) + (l2[i] * f2 + l3[i] * f3);
            }
            for (; c < mb; ++c) {
                const double* l = lt.data() + c * p + r2;
                const double f = l[0];
                for (std::size_t i = 0; i < count; ++i) col[i] -= l[i] * f;
            }
            if (sp.keeps_mean) {
                double x = 0.0;
                for (std::size_t k = 0; k < mb; ++k) x += lt[k * p + r2] * gv[k];
                rho[(below + r2) % slots] -= x;
            }
        }
    }
    return StepVerdict::Passes;
}

// A step too wide for the factorisation, as a linear operator: its reads
// are kept, block by block of nodes, while they fit kOperatorBytes (on
// larger grids each product writes them out again), so that the step and
// its transpose each cost about one step.
class StoredStep {
public:
    static constexpr std::size_t kBlockNodes = 4096;
    static constexpr double kOperatorBytes = 268435456.0;

    // False where a node's step fails or the caller asked to stop.
    template <class K>
    bool build(const K& kernel, const Grid1D<double>& grid, double tau) {
        grid_ = &grid;
        n_ = grid.n;
        reads_of_ = [&kernel, &grid, tau](std::size_t begin, std::size_t end, Block& b) {
            b.first.assign(1, 0);
            b.cell.clear();
            b.w.clear();
            NodeForm form;
            for (std::size_t i = begin; i < end; ++i) {
                if (!kernel.node_form(i, tau, form)) return false;
                for (std::size_t m = 0; m < form.count; ++m) {
                    std::int64_t cell;
                    double t;
                    if (!SepticSamples::locate(grid, form.point[m], cell, t)) return false;
                    const Hermite7Weights<double> w = hermite7_weights(t);
                    const double c = form.coef[m];
                    b.cell.push_back(cell);
                    b.w.push_back({c * w.h0, c * w.h1, c * w.g0, c * w.g1, c * w.k0, c * w.k1, c * w.l0, c * w.l1});
                }
                b.first.push_back(b.cell.size());
            }
            return true;
        };
        lo_ = 0;
        hi_ = static_cast<std::int64_t>(n_) + 1;
        blocks_.clear();
        double bytes = 0.0;
        for (std::size_t begin = 0; begin < n_; begin += kBlockNodes) {
            if (!poll_stop()) return false;
            Block b;
            if (!reads_of_(begin, std::min(n_, begin + kBlockNodes), b)) return false;
            for (std::int64_t c : b.cell) {
                lo_ = std::min(lo_, c);
                hi_ = std::max(hi_, c + 2);
            }
            bytes += static_cast<double>(b.cell.size()) * (sizeof(std::int64_t) + sizeof(Hermite7Weights<double>));
            if (bytes <= kOperatorBytes) blocks_.push_back(std::move(b));
        }
        if (bytes > kOperatorBytes) blocks_.clear();
        return transpose_.prepare(grid, lo_, hi_);
    }

    // out = M v.
    void apply(const std::vector<double>& v, std::vector<double>& out) {
        samples_.fill(v, *grid_, lo_, hi_);
        out.assign(n_, 0.0);
        for_each_block([&](std::size_t begin, const Block& b) {
            for (std::size_t i = 0; i + 1 < b.first.size(); ++i) {
                double s = 0.0;
                for (std::size_t k = b.first[i]; k < b.first[i + 1]; ++k) s += samples_.at_cell(b.cell[k], b.w[k]);
                out[begin + i] = s;
            }
        });
    }

    // out = M^T y.
    void apply_transpose(const std::vector<double>& y, std::vector<double>& out) {
        acc_.assign(4 * static_cast<std::size_t>(hi_ - lo_), 0.0);
        for_each_block([&](std::size_t begin, const Block& b) {
            for (std::size_t i = 0; i + 1 < b.first.size(); ++i) {
                const double yi = y[begin + i];
                if (yi == 0.0) continue;
                for (std::size_t k = b.first[i]; k < b.first[i + 1]; ++k) {
                    const Hermite7Weights<double>& w = b.w[k];
                    double* s = acc_.data() + 4 * (b.cell[k] - lo_);
                    s[0] += yi * w.h0;
                    s[1] += yi * w.g0;
                    s[2] += yi * w.k0;
                    s[3] += yi * w.l0;
                    s[4] += yi * w.h1;
                    s[5] += yi * w.g1;
                    s[6] += yi * w.k1;
                    s[7] += yi * w.l1;
                }
            }
        });
        out.assign(n_, 0.0);
        transpose_.apply(acc_, out);
    }

private:
    struct Block {
        std::vector<std::size_t> first;  // node i's reads: [first[i], first[i + 1])
        std::vector<std::int64_t> cell;
        std::vector<Hermite7Weights<double>> w;
    };

    // fn(first node, block) over the blocks, kept or written out again.
    template <class Fn>
    void for_each_block(const Fn& fn) {
        if (!blocks_.empty()) {
            for (std::size_t k = 0; k < blocks_.size(); ++k) fn(k * kBlockNodes, blocks_[k]);
            return;
        }
        Block b;
        for (std::size_t begin = 0; begin < n_; begin += kBlockNodes) {
            reads_of_(begin, std::min(n_, begin + kBlockNodes), b);  // succeeded in build
            fn(begin, b);
        }
    }

    const Grid1D<double>* grid_ = nullptr;
    SampleTranspose transpose_;
    std::size_t n_ = 0;
    std::function<bool(std::size_t, std::size_t, Block&)> reads_of_;
    std::vector<Block> blocks_;
    std::int64_t lo_ = 0, hi_ = 0;
    SepticSamples samples_;
    std::vector<double> acc_;
};

// The start of a wide step's measurement: fixed noise with its smooth part
// taken out (the noise minus its three-point average, twice). The slow
// modes, which every admissible step keeps near 1, then weigh little in the
// start, and the Lanczos run reaches a growing mode above them in fewer
// steps.
std::vector<double> rough_noise(std::size_t n, std::uint64_t seed) {
    std::vector<double> v = fixed_noise(n, seed), t(n);
    for (int pass = 0; pass < 2 && n >= 3; ++pass) {
        for (std::size_t i = 0; i < n; ++i) {
            const double l = v[i == 0 ? 1 : i - 1], r = v[i + 1 == n ? n - 2 : i + 1];
            t[i] = v[i] - 0.25 * (l + 2.0 * v[i] + r);
        }
        std::swap(v, t);
    }
    return v;
}

// A step whose band the factorisation cannot hold (reads spread over
// hundreds of cells: giant steps of a coefficient that varies slowly on
// its grid) is measured by Lanczos instead: the largest eigenvalue of
// K = P (D + D^T + D^T P D) P, whose quadratic form is |P B x|^2 - |x|^2 on
// data without its mean, by kWideStepSteps steps from fixed rough noise.
// That bounds the growth from below: it can miss a small growth of a slow
// mode, where the factorisation would not. nullopt where the caller asked
// to stop or `abandon()` turned true.
template <class K>
std::optional<StepVerdict> wide_step_verdict(const K& kernel, const Grid1D<double>& g, double tau, bool& stopped,
                                             FunctionRef<bool()> abandon) {
    // One at a time: each keeps up to kOperatorBytes of reads.
    static std::mutex one_at_a_time;
    const std::lock_guard<std::mutex> lock(one_at_a_time);
    StoredStep op;
    if (!op.build(kernel, g, tau)) {
        if (!poll_stop()) {
            stopped = true;
            return std::nullopt;
        }
        return StepVerdict::Fails;
    }
    const WeightedSpace sp(g);
    const std::size_t n = g.n;
    std::vector<double> px(n), t(n), cx(n), z(n), ctz(n);
    bool abandoned = false;
    // D x = S (M - I) S^-1 x, D^T y = S^-1 (M^T - I) S y.
    auto growth = [&](const std::vector<double>& x, std::vector<double>& y) {
        y.assign(n, 0.0);
        if (abandoned || (abandoned = abandon())) return;
        px = x;
        sp.project(px);
        for (std::size_t i = 0; i < n; ++i) t[i] = px[i] / sp.sw[i];
        op.apply(t, cx);
        for (std::size_t i = 0; i < n; ++i) cx[i] = sp.sw[i] * (cx[i] - t[i]);  // D P x
        for (std::size_t i = 0; i < n; ++i) t[i] = px[i] * sp.sw[i];
        op.apply_transpose(t, ctz);
        for (std::size_t i = 0; i < n; ++i) y[i] = cx[i] + (ctz[i] - t[i]) / sp.sw[i];  // (D + D^T) P x
        z = cx;
        sp.project(z);
        for (std::size_t i = 0; i < n; ++i) t[i] = z[i] * sp.sw[i];
        op.apply_transpose(t, ctz);
        for (std::size_t i = 0; i < n; ++i) y[i] += (ctz[i] - t[i]) / sp.sw[i];  // + D^T P D P x
        sp.project(y);
    };
    const double limit = (1.0 + kStepSlack) * (1.0 + kStepSlack) - 1.0;
    const std::optional<Ritz> top = lanczos_top(n, growth, rough_noise(n, 0x9E3779B97F4A7C15ull), false, stopped,
                                                kWideStepSteps, false, limit);
    if (stopped || abandoned) return std::nullopt;
    return top && top->value <= limit ? StepVerdict::Passes : StepVerdict::Grows;
}

// One step of tau measured from scratch: factorised where its band fits
// (its factor kept in `keep` when it passes), by Lanczos where it does
// not, which `wide` says.
template <class K>
std::optional<StepVerdict> measure_step(const K& kernel, const Grid1D<double>& g, double tau, bool& stopped,
                                        FunctionRef<bool()> abandon, bool* wide = nullptr,
                                        BandFactor* keep = nullptr) {
    StepRows rows;
    switch (rows.build(kernel, g, tau)) {
        case StepRows::Built::Yes: break;
        case StepRows::Built::Fails: return StepVerdict::Fails;
        case StepRows::Built::TooWide: return StepVerdict::Unmeasured;
        case StepRows::Built::Stopped: stopped = true; return std::nullopt;
    }
    const std::optional<StepVerdict> v = step_verdict(rows, g, stopped, abandon, keep);
    if (keep && !(v && *v == StepVerdict::Passes)) keep->l.clear();
    if (v && *v == StepVerdict::Unmeasured) {
        if (wide) *wide = true;
        return wide_step_verdict(kernel, g, tau, stopped, abandon);
    }
    return v;
}

// The smallest value of <x, A x> / <x, W x> over data without the mean (A
// as in step_verdict), W the form sum (u_i - u_j)^2 / 4 over neighbouring
// nodes of the values u = S^-1 x (the seam included on a periodic grid;
// u_0^2 / 4 and u_{n-1}^2 / 4 added under "zero" ends), of norm at most 2,
// small on smooth data and 0 on the mean. From the factor L of A: a few
// sweeps of inverse iteration, x <- A^-1 W x from fixed noise, and the
// Rayleigh quotient |L^T x|^2 / <x, W x>. It approaches the smallest value
// from above, quickly where it stands apart, and lies within a cluster of
// the smallest values where it does not, which is all the scan needs of it.
double pencil_margin(const BandFactor& f, const Grid1D<double>& g) {
    const std::size_t n = f.n;
    const bool periodic = g.boundary.tag == BoundaryTag::Periodic;
    const bool zero_ends = g.boundary.tag == BoundaryTag::Zero;
    const BandOrder order(n, periodic);
    const WeightedSpace sp(g);
    auto apply_w = [&](const std::vector<double>& x, std::vector<double>& y) {
        y.assign(n, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t q = order.pos[i];
            double diag = zero_ends && (i == 0 || i + 1 == n) ? 0.25 : 0.0, off = 0.0;
            auto neighbour = [&](std::size_t j) {
                diag += 0.25;
                off += 0.25 * x[order.pos[j]] / sp.sw[j];
            };
            if (i > 0) neighbour(i - 1);
            else if (periodic && n > 2) neighbour(n - 1);
            if (i + 1 < n) neighbour(i + 1);
            else if (periodic && n > 2) neighbour(0);
            y[q] = (diag * x[q] / sp.sw[i] - off) / sp.sw[i];
        }
    };
    std::vector<double> x = fixed_noise(n, 0xD1B54A32D192ED03ull), y;
    for (int sweep = 0; sweep < 8; ++sweep) {
        apply_w(x, y);
        f.forward(y);
        f.transposed(y, true);
        double norm = 0.0;
        for (double e : y) norm += e * e;
        norm = std::sqrt(norm);
        if (!(norm > 0.0) || !std::isfinite(norm)) return 0.0;
        for (std::size_t i = 0; i < n; ++i) x[i] = y[i] / norm;
    }
    apply_w(x, y);
    double wx = 0.0;
    for (std::size_t i = 0; i < n; ++i) wx += x[i] * y[i];
    y = x;
    f.transposed(y, false);
    double ax = 0.0;
    for (double e : y) ax += e * e;
    const double m = ax / wx;
    return wx > 0.0 && std::isfinite(m) ? std::max(m, 0.0) : 0.0;
}

// Grids from this many nodes measure several steps at once, one thread
// each, on up to the processors the process may run on: below, a
// measurement takes less than a thread costs to start.
constexpr std::size_t kConcurrentNodes = 256;

// What is known of one kernel (coefficient functions, grid, rule): whether
// its coefficient is at fault, the scale of its steps, the steps measured
// (passing or not), and the bound the scan of a refusal certified. Every
// verdict is a function of the kernel and the step alone, so what is kept
// only saves work: the same object and a fresh one judge every step alike.
struct KernelVerdict {
    static constexpr std::size_t kStepsKept = 512;

    bool generator_judged = false;
    std::optional<CoefficientFault> fault;
    double unit = 0.0;   // dx^2 / max a (0: the steps are not judged)
    double floor = 0.0;  // steps up to this are admitted unmeasured
    double drift = 0.0;  // max |a'| dx / max a: how fast the feet drift across cells
    std::vector<std::pair<double, bool>> steps;
    double bound = 0.0;  // > 0 once a scan ran: every step up to it certified

    std::optional<bool> known(double tau) const {
        for (const auto& [s, passes] : steps)
            if (s == tau) return passes;
        return std::nullopt;
    }
    void note(double tau, bool passes) {
        if (known(tau)) return;
        steps.emplace_back(tau, passes);
        if (steps.size() > kStepsKept) steps.erase(steps.begin());
    }
    // The smallest step measured to grow data (infinity: none).
    double least_growing() const {
        double least = kInf;
        for (const auto& [s, passes] : steps)
            if (!passes) least = std::min(least, s);
        return least;
    }
};

struct VerdictKey {
    std::array<std::uintptr_t, 3> ids{};                  // the three functions
    std::array<std::weak_ptr<const CoeffFn>, 3> owners;  // shared closures only
    bool shared = false;
    Grid1D<double> grid;
    int rule = 0;

    bool matches(const VerdictKey& o) const {
        if (ids != o.ids || shared != o.shared || rule != o.rule) return false;
        if (shared) {
            for (const auto& w : owners)
                if (w.expired()) return false;
        }
        const Grid1D<double>& a = grid;
        const Grid1D<double>& b = o.grid;
        return a.boundary.tag == b.boundary.tag && same_bits(a.boundary.p1, b.boundary.p1) &&
               same_bits(a.boundary.p2, b.boundary.p2) && a.interp_kind.tag == b.interp_kind.tag &&
               a.interp_kind.cheb_boundary == b.interp_kind.cheb_boundary && a.interp_kind.m == b.interp_kind.m &&
               same_bits(a.xmin, b.xmin) && same_bits(a.xmax, b.xmax) && a.n == b.n;
    }
    static bool same_bits(double x, double y) { return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y); }
};

VerdictKey verdict_key(const CoeffSource& c, const Grid1D<double>& grid, int rule) {
    VerdictKey k;
    k.grid = grid;
    k.rule = rule;
    if (c.tag == CoeffSource::Tag::Shared) {
        k.shared = true;
        const SharedCoeff* fns[3] = {&c.sa, &c.sa1, &c.sa2};
        for (int m = 0; m < 3; ++m) {
            k.ids[m] = reinterpret_cast<std::uintptr_t>(fns[m]->get());
            k.owners[m] = *fns[m];
        }
    } else {
        k.ids = {reinterpret_cast<std::uintptr_t>(c.pa), reinterpret_cast<std::uintptr_t>(c.pa1),
                 reinterpret_cast<std::uintptr_t>(c.pa2)};
    }
    return k;
}

// The verdicts kept for the calls that follow: an object evolved again pays
// for nothing it was judged on before. The coefficient closures are held
// weakly, so an entry never outlives its object nor matches a later one
// built at the same address.
class VerdictCache {
public:
    KernelVerdict find(const VerdictKey& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Entry& e : entries_)
            if (e.key.matches(key)) return e.verdict;
        return {};
    }

    // Merges what a judgement learnt into the entry (two threads judging
    // the same kernel learn the same verdicts; a bound only comes down).
    void store(const VerdictKey& key, const KernelVerdict& v) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Entry& e : entries_) {
            if (!e.key.matches(key)) continue;
            KernelVerdict& old = e.verdict;
            if (v.generator_judged && !old.generator_judged) {
                old.generator_judged = true;
                old.fault = v.fault;
                old.unit = v.unit;
                old.floor = v.floor;
                old.drift = v.drift;
            }
            if (v.fault && !old.fault) old.fault = v.fault;
            for (const auto& [s, passes] : v.steps) old.note(s, passes);
            if (v.bound > 0.0) old.bound = old.bound > 0.0 ? std::min(old.bound, v.bound) : v.bound;
            return;
        }
        Entry e{key, v};
        if (entries_.size() < kEntries) {
            entries_.push_back(std::move(e));
        } else {
            entries_[next_] = std::move(e);
            next_ = (next_ + 1) % kEntries;
        }
    }

private:
    struct Entry {
        VerdictKey key;
        KernelVerdict verdict;
    };
    static constexpr std::size_t kEntries = 64;
    std::mutex mutex_;
    std::vector<Entry> entries_;
    std::size_t next_ = 0;
};

VerdictCache& verdict_cache() {
    static VerdictCache cache;
    return cache;
}

// The scan behind a refusal's bound. A call's own step is judged exactly,
// so nothing that grows data is admitted; a refusal names the largest X
// such that every step up to X passes, and that needs every step below
// it. Above the first step that grows, windows of growing steps alternate
// with passing islands (a = 1 + 0.8 sin(3x + 0.3), Heat1D6th, 401 nodes,
// "reflect": steps pass up to 20.18 dx^2, grow to 20.62, pass to 22.93);
// windows also lie alone below long islands, and where the reads spread
// over tens of cells they narrow to a few tenths of a percent of tau, so a
// search that skips steps (a bisection) or measures fixed points only can
// land in an island and name a bound above a window.
//
// So the scan measures a margin, not only a verdict. With A(tau) the
// matrix of step_verdict and W its smooth-blind weight, the margin
// m(tau) = min <x, A x> / <x, W x> over data without the mean is positive
// exactly while the step grows nothing; a window is an interval where m
// dips below 0. For matrices affine in tau, m would be concave in tau (a
// minimum of affine functions): a dip between two points needs the
// curvature of A itself, and with the curvature of m along ln tau bounded
// by kappa, m stays above min(m(t1), m(t2)) - kappa h^2 / 8 between two
// points h apart in ln tau. So an interval is certified when both its ends
// pass and their margins (pencil_margin, from each end's factor) are at
// least kappa h^2 / 8. The curvature comes from the reads moving across
// cells: a read of spread r cells moves by r / 2 cells per unit of ln tau,
// the drift by its whole length, and m's second derivative grows with the
// square of that speed. Measured on 39 random smooth coefficients (every
// class and kind of end, 22 to 260 nodes, tau from 0.01 to beyond the
// first growing step, 0.3 % apart), m'' stayed below 9.2 (sqrt(mu) +
// mu |a'| dx / max a)^2, mu = tau max a / dx^2; kappa (kCurvature) takes
// 12 times that square, 1.3 times the largest seen. The spacing then follows the margin: where the steps damp
// everything well (m of order one, or of order mu for small steps, whose
// m and curvature both grow like mu) the points lie far apart, and where m
// is small they close in, down to kResolution, where the scan stops: its
// bound is the last point certified, within a few times kResolution of the
// first step that does not pass. A window can hide between two certified
// points only where m curves faster than kappa allows, or where the
// margins of the last points follow one power of tau (smooth_trend) and a
// leap of up to twice the last is certified on that trend alone; a leap
// not certified halves the next, each then on the margin alone. The W
// weight keeps the slow modes, which small steps damp by only tau times
// their rate, from setting the margin: a margin in plain A would be that
// small for every small step.
//
// Steps beyond the factorisation's band are measured by Lanczos, without a
// margin: between two such points the scan certifies no more than
// kWideSpacing, and a window narrower than that is missed there (giant
// steps of a slowly varying coefficient; their windows are wide).
constexpr double kCurvature = 12.0;
constexpr double kResolution = 1.0 / 1024.0;  // in ln tau: 0.1 %
constexpr double kWideSpacing = 1.0 / 64.0;  // in ln tau: 1.6 %
constexpr double kLongestLeap = 0.7;         // in ln tau: a factor 2
constexpr std::size_t kMostProbes = 8192;
constexpr double kFloorChange = 0x1.0p-16;

// The scale of a kernel's steps from its generator: the unit dx^2 / max a,
// the floor below which steps are admitted unmeasured (tau |G| <= 2^-16,
// |G| the generator's size: such steps are I + tau G to within less than
// the slack, and G is dissipative), and the drift's speed across cells.
// False where the grid is too fine or too coarse for steps of that size to
// be doubles.
bool step_scale(const Grid1D<double>& g, const GeneratorSizes& s, KernelVerdict& v) {
    const double dx = g.dx();
    const double unit = (dx * dx) / s.a_top;
    if (!(unit >= std::numeric_limits<double>::min()) || !std::isfinite(unit)) return false;
    double floor = unit * 0x1.0p-20;
    if (s.size > 0.0 && std::isfinite(s.size)) floor = kFloorChange / s.size;
    if (!(floor >= std::numeric_limits<double>::min()) || !std::isfinite(floor)) return false;
    v.unit = unit;
    v.floor = floor;
    v.drift = s.a1_top * dx / s.a_top;
    if (!std::isfinite(v.drift)) v.drift = 0.0;
    return true;
}

// One point of the scan: its margin m (an estimate from above, 0 where its
// factor was not kept), or -1 when the step does not pass (grows, is too
// wide, or cannot be formed).
struct Probe {
    double margin = -1.0;
    bool wide = false;  // measured by Lanczos: the plain verdict alone, margin 0
};

// Measures the steps `taus` (ascending) and their margins, from the
// factorisation of A and inverse iteration on it; on large grids several
// at once, a step that does not pass making the larger ones moot (left at
// -1). False when the caller asked to stop.
template <class K>
bool probe(const K& kernel, const std::vector<double>& taus, std::vector<Probe>& out) {
    const Grid1D<double>& g = kernel.grid;
    const std::size_t count = taus.size();
    out.assign(count, Probe{});
    const std::size_t workers =
        g.n < kConcurrentNodes ? 1 : std::max<std::size_t>(1, std::min(available_processors(), count));
    std::atomic<std::size_t> next{0}, first_out{count};
    std::atomic<bool> stopped_any{false};
    run_chunked(workers, workers, [&](std::size_t, std::size_t) {
        BandFactor factor;
        for (std::size_t i; (i = next.fetch_add(1)) < count;) {
            if (i > first_out.load()) return;
            bool stopped = false, wide = false;
            const std::optional<StepVerdict> v = measure_step(
                kernel, g, taus[i], stopped, [&] { return first_out.load() < i; }, &wide, &factor);
            if (stopped) stopped_any = true;
            if (!v) continue;
            if (*v == StepVerdict::Passes) {
                out[i].wide = wide;
                out[i].margin = wide || factor.l.empty() ? 0.0 : pencil_margin(factor, g);
            } else {
                std::size_t seen = first_out.load();
                while (i < seen && !first_out.compare_exchange_weak(seen, i)) {
                }
            }
        }
    });
    for (std::size_t i = first_out.load() + 1; i < count; ++i) out[i] = Probe{};
    return !stopped_any;
}

// Whether the margins of the last points (ln tau, m), the newest last,
// follow one smooth trend: log m within kTrendSpread of the straight line
// through them (a power of tau); its slope in `slope`.
constexpr double kTrendSpread = 0.02;
constexpr std::size_t kTrendPoints = 6;

bool smooth_trend(const std::vector<std::pair<double, double>>& seen, double* slope) {
    if (seen.size() < kTrendPoints) return false;
    double st = 0.0, sy = 0.0;
    const std::size_t from = seen.size() - kTrendPoints;
    for (std::size_t k = from; k < seen.size(); ++k) {
        if (!(seen[k].second > 0.0)) return false;
        st += seen[k].first;
        sy += std::log(seen[k].second);
    }
    st /= kTrendPoints;
    sy /= kTrendPoints;
    double stt = 0.0, sty = 0.0;
    for (std::size_t k = from; k < seen.size(); ++k) {
        stt += (seen[k].first - st) * (seen[k].first - st);
        sty += (seen[k].first - st) * (std::log(seen[k].second) - sy);
    }
    if (!(stt > 0.0)) return false;
    const double b = sty / stt;
    for (std::size_t k = from; k < seen.size(); ++k) {
        if (std::fabs(std::log(seen[k].second) - (sy + b * (seen[k].first - st))) > kTrendSpread) return false;
    }
    if (slope) *slope = b;
    return true;
}

// The scan from the floor up to `top` (a step known not to pass): the
// largest point X such that every step up to X is certified (see above),
// 0 when the floor itself does not pass; nullopt when the caller asked to
// stop.
template <class K>
std::optional<double> scan_bound(const K& kernel, const KernelVerdict& v, double top) {
    const auto curvature = [&](double tau) {
        const double mu = tau / v.unit;
        const double speed = std::sqrt(mu) + mu * v.drift;
        return kCurvature * speed * speed;
    };
    std::vector<Probe> found;
    if (!probe(kernel, {v.floor}, found)) return std::nullopt;
    if (found[0].margin < 0.0) return 0.0;
    double left = v.floor;
    Probe at_left = found[0];
    std::vector<std::pair<double, double>> seen{{std::log(left), at_left.margin}};
    double last_leap = 0.0, limit = kLongestLeap;
    bool trust = true;
    // Large grids measure a few leaps ahead at once, each as long as the
    // last: where the margin holds, they are certified in turn.
    const std::size_t ahead =
        kernel.grid.n < kConcurrentNodes ? 1 : std::clamp<std::size_t>(available_processors(), 1, 8);
    std::vector<double> rights;
    for (std::size_t probes = 0; probes < kMostProbes;) {
        if (!(top > left)) break;
        const double room = std::min(limit, std::log(top / left));
        double h = room, slope = 0.0;
        if (at_left.wide) {
            h = std::min(h, kWideSpacing);
        } else {
            const double by_curvature = std::sqrt(8.0 * at_left.margin / curvature(left * std::exp(room)));
            double by_trend = 0.0;
            if (trust && smooth_trend(seen, &slope)) {
                by_trend = last_leap > 0.0 ? 2.0 * last_leap : room;
                if (slope < 0.0) by_trend = std::min(by_trend, 0.5 / -slope);
            }
            h = std::min(h, std::max(by_curvature, by_trend));
        }
        if (!(h >= kResolution)) break;
        rights.clear();
        for (std::size_t k = 1; k <= ahead; ++k) {
            double right = left * std::exp(static_cast<double>(k) * h);
            if (!(right < top)) {
                if (k == 1) rights.push_back(std::nextafter(top, 0.0));
                break;
            }
            rights.push_back(right);
        }
        if (!(rights[0] > left)) break;
        if (!probe(kernel, rights, found)) return std::nullopt;
        probes += rights.size();
        bool all = true;
        for (std::size_t k = 0; k < rights.size() && all; ++k) {
            const double right = rights[k];
            const double step = std::log(right / left);
            const Probe& r = found[k];
            bool certified = false;
            if (r.margin >= 0.0) {
                if (r.wide || at_left.wide) {
                    certified = step <= kWideSpacing * (1.0 + 1e-12);
                } else {
                    certified = std::min(r.margin, at_left.margin) >= curvature(right) * step * step / 8.0;
                    if (!certified && trust) {
                        seen.emplace_back(std::log(right), r.margin);
                        certified = smooth_trend(seen, nullptr) &&
                                    (last_leap == 0.0 || step <= 2.0 * last_leap * (1.0 + 1e-12));
                        seen.pop_back();
                    }
                }
            }
            if (certified) {
                left = right;
                at_left = r;
                seen.emplace_back(std::log(right), r.wide ? 0.0 : r.margin);
                last_leap = step;
                limit = kLongestLeap;
                trust = true;
                continue;
            }
            if (r.margin < 0.0) top = right;
            // Not certified: shorter leaps, each on the margin alone, until one is.
            limit = step / 2.0;
            trust = false;
            all = false;
        }
    }
    return left;
}

// The judgement of steps of tau for a kernel with a variable coefficient,
// on tau alone: a fault of the coefficient (its generator grows data), or
// the bound when the step of tau itself grows data, or neither.
template <class K>
HeatJudgement judge(const K& kernel, const CoeffSource& coef, int rule, double tau) {
    HeatJudgement out;
    if (!(tau > 0.0) || !std::isfinite(tau)) return out;
    const VerdictKey key = verdict_key(coef, kernel.grid, rule);
    KernelVerdict v = verdict_cache().find(key);
    const Grid1D<double>& g = kernel.grid;
    bool stopped = false;
    if (!v.generator_judged) {
        GeneratorSizes sizes;
        const std::optional<std::optional<CoefficientFault>> verdict =
            generator_fault(kernel, g, stopped, false, &sizes);
        if (!verdict) return out;  // the coefficient fails at a node (its own error), or the call is ending
        v.fault = *verdict;
        // A grid whose steps of a cell's spread are no doubles: its steps
        // are not judged.
        if (!v.fault && !step_scale(g, sizes, v)) v.unit = 0.0;
        v.generator_judged = true;
        verdict_cache().store(key, v);
    }
    if (v.fault) {
        out.fault = v.fault;
        return out;
    }
    if (!(v.unit > 0.0) || tau <= v.floor) return out;
    std::optional<bool> passes = v.known(tau);
    if (!passes) {
        const std::optional<StepVerdict> own = measure_step(kernel, g, tau, stopped, [] { return false; });
        // Where tau's own step cannot be formed (a coefficient that fails
        // where the step reads it), that is the call's error to report.
        if (!own || *own == StepVerdict::Fails) return out;
        passes = *own == StepVerdict::Passes;
        v.note(tau, *passes);
        verdict_cache().store(key, v);
    }
    if (*passes) return out;
    // tau grows data: the bound below it, scanned unless an earlier scan's
    // lies below tau already (a step below that bound that grows, in a
    // window the scan missed, brings it down below tau).
    if (!(v.bound > 0.0 && v.bound < tau)) {
        // The scan goes up to the first step it finds not passing, whatever
        // step was refused, so that every refusal names the same bound;
        // only where it went past a step known to grow does it go again,
        // below that step.
        const double least = std::min(tau, v.least_growing());
        std::optional<double> bound = scan_bound(kernel, v, kInf);
        if (bound && *bound >= least) bound = scan_bound(kernel, v, least);
        if (!bound) return out;  // the call is ending
        if (!(*bound > 0.0)) {
            // Even the floor grows something: the coefficient is at fault
            // after all (its generator's growth below the slack).
            const std::optional<std::optional<CoefficientFault>> verdict = generator_fault(kernel, g, stopped, true);
            if (!verdict || !*verdict) return out;
            v.fault = *verdict;
            verdict_cache().store(key, v);
            out.fault = v.fault;
            return out;
        }
        v.bound = v.bound > 0.0 ? std::min(v.bound, *bound) : *bound;
        verdict_cache().store(key, v);
    }
    // The bound as named, rounded down to four digits from a little below
    // the scan's, so that a step a caller forms from it with its own
    // rounding (k X / k, t / n) stays below it.
    out.range = StepRange{0.0, floor_4_digits_inside(v.bound)};
    return out;
}

// The zeta combination applied to one eigenvalue: the rungs act on a common
// eigenvector of the base step through the same formula as on grid values.
double zeta_symbol(const Diffusion4thChernoff& inner, int level, double tau) {
    if (level <= 2) return heat4_nyquist_eigenvalue(inner, tau);
    const double w = level == 4 ? 4.0 : level == 6 ? 16.0 : 64.0;
    const double d = w - 1.0;
    const double coarse = zeta_symbol(inner, level - 2, tau);
    const double half = zeta_symbol(inner, level - 2, tau / 2.0);
    return (w * (half * half) - coarse) / d;
}

// The window's ends are products like 6.5 dx^2 that a caller forms with its
// own rounding (dx from linspace, t/n_steps): a step within a few ulps of an
// end counts as on it.
std::optional<StepRange> outside(const StepRange& r, double tau) {
    constexpr double kEndSlack = 1e-12;
    const bool in = tau >= r.tau_min * (1.0 - kEndSlack) && tau <= r.tau_max * (1.0 + kEndSlack);
    return in ? std::nullopt : std::optional<StepRange>(r);
}

constexpr const char* kRungAmplifies =
    "the Richardson combination amplifies the highest grid frequencies there, so rounding noise grows "
    "geometrically with the step count";
constexpr const char* kStepGrows =
    "the derivative correction of the variable-coefficient step makes a larger step grow some data without its "
    "mean in the grid 2-norm, where the exact evolution damps it, and such growth compounds over the steps";
constexpr const char* kReadsBeyond =
    "a step this long reads u more than 2^53 cells beyond the grid, where no cell can be told apart from its "
    "neighbour";
constexpr const char* kChebyshevAmplifies =
    "the degree-64 Chebyshev resampling of the inner heat4 sweeps is not the identity, and the Richardson "
    "ladder amplifies its error unless every step diffuses it away";

}  // namespace

// A constant coefficient's step: only its reads' reach is judged. The
// farthest reads are those of the end nodes, and they move out with tau,
// so the longest step whose reads all can be located is found by
// bisection.
template <class K>
HeatJudgement judge_reach(const K& kernel, double tau) {
    HeatJudgement out;
    if (!(tau > 0.0) || !std::isfinite(tau)) return out;
    const Grid1D<double>& g = kernel.grid;
    auto located = [&](double step) {
        NodeForm form;
        for (const std::size_t i : {std::size_t{0}, g.n - 1}) {
            if (!kernel.node_form(i, step, form, true)) return true;  // the step's own error to report
            for (std::size_t m = 0; m < form.count; ++m) {
                std::int64_t c;
                double t;
                if (!SepticSamples::locate(g, form.point[m], c, t)) return false;
            }
        }
        return true;
    };
    if (located(tau)) return out;
    double lo = g.dx() * g.dx(), hi = tau;
    if (!located(lo)) return out;
    for (int it = 0; it < 200 && hi > lo * (1.0 + 1e-12); ++it) {
        const double mid = std::sqrt(lo) * std::sqrt(hi);
        if (located(mid)) lo = mid;
        else hi = mid;
    }
    out.range = StepRange{0.0, lo};
    out.reason = kReadsBeyond;
    return out;
}

HeatJudgement judge_heat_step(const DiffusionChernoff& k, double tau) {
    // A constant coefficient skips the correction: a convex combination.
    if (k.coef.constant_value()) return judge_reach(k, tau);
    return judge(k, k.coef, 2, tau);
}

HeatJudgement judge_heat_step(const Diffusion4thChernoff& k, double tau) {
    if (k.use_octonic || k.use_chebyshev) return {};
    if (k.constant_value()) return judge_reach(k, tau);
    return judge(k, k.coef_override ? *k.coef_override : CoeffSource::plain(k.a, k.a_prime, k.a_double_prime), 4,
                 tau);
}

HeatJudgement judge_heat_step(const Diffusion6thChernoff& k, double tau) {
    if (k.constant_value()) return judge_reach(k, tau);
    return judge(k, k.coef_override ? *k.coef_override : CoeffSource::plain(k.a, k.a_prime, k.a_double_prime), 6,
                 tau);
}

std::optional<StepRange> step_violation(const Diffusion4thZeta4Chernoff& k, double tau) {
    return outside(zeta_stable_steps(k.inner, 4), tau);
}
std::optional<StepRange> step_violation(const Diffusion6thZeta6Chernoff& k, double tau) {
    return outside(zeta_stable_steps(k.zeta4.inner, 6), tau);
}
std::optional<StepRange> step_violation(const Diffusion8thZeta8Chernoff& k, double tau) {
    return outside(zeta_stable_steps(k.inner(), 8), tau);
}

const char* instability_reason(const DiffusionChernoff&) { return kStepGrows; }
const char* instability_reason(const Diffusion4thChernoff&) { return kStepGrows; }
const char* instability_reason(const Diffusion6thChernoff&) { return kStepGrows; }
const char* instability_reason(const Diffusion4thZeta4Chernoff&) { return kRungAmplifies; }
const char* instability_reason(const Diffusion6thZeta6Chernoff&) { return kRungAmplifies; }
const char* instability_reason(const Diffusion8thZeta8Chernoff&) { return kChebyshevAmplifies; }

double heat4_nyquist_eigenvalue(const Diffusion4thChernoff& kernel, double tau) {
    // (-1)^j on a reflecting grid is mapped onto a multiple of itself by any
    // translation-invariant step, whatever the shifts: the mirror image of
    // the alternating sequence is again alternating.
    constexpr std::size_t kNodes = 16;
    const double dx = kernel.grid.dx();
    Grid1D<double> g = kernel.grid;
    g.boundary = BoundaryPolicy<double>::reflect();
    g.xmin = 0.0;
    g.xmax = dx * static_cast<double>(kNodes - 1);
    g.n = kNodes;
    if (kernel.use_octonic) g.interp_kind = InterpKind::of(InterpTag::OctonicHermite);
    std::vector<double> v(kNodes);
    for (std::size_t j = 0; j < kNodes; ++j) v[j] = (j % 2 == 0) ? 1.0 : -1.0;
    Diffusion4thChernoff unit = Diffusion4thChernoff::unit(g);
    const GridFn<double> u{g, std::move(v)};
    const std::size_t mid = kNodes / 2;
    auto r = unit.apply_node(u, mid, tau);
    if (!r) internal_fault("heat4_nyquist_eigenvalue", r.error());
    return *r / u.values[mid];
}

StepRange zeta_stable_steps(const Diffusion4thChernoff& inner, int level) {
    const double dx2 = inner.grid.dx() * inner.grid.dx();
    if (inner.use_chebyshev && !inner.use_octonic) {
        return StepRange{kZeta8ChebyshevMuMin * dx2, kZeta8ChebyshevMuMax * dx2};
    }
    auto stable = [&](double mu) { return std::abs(zeta_symbol(inner, level, mu * dx2)) <= 1.0 + kSymbolSlack; };
    // Walk up from the always-stable small steps to the first crossing, then
    // bisect it.
    double lo = 0.0;
    double hi = 0.05;
    while (hi < 1024.0 && stable(hi)) {
        lo = hi;
        hi += 0.05;
    }
    if (hi >= 1024.0) return StepRange{};
    for (int k = 0; k < 60; ++k) {
        const double mid = 0.5 * (lo + hi);
        if (stable(mid)) lo = mid;
        else hi = mid;
    }
    return StepRange{0.0, lo * dx2};
}

}  // namespace quorvane
