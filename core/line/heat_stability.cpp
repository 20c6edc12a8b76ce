#include "core/line/heat_stability.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "core/foundation/boundary.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/parallel1d.hpp"
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

    void apply(const std::vector<double>& acc, std::vector<double>& out) const {
        const std::int64_t n = static_cast<std::int64_t>(g_->n);
        auto tap = [&](std::int64_t m, double v) {
            if (m >= 0 && m < n) {
                out[static_cast<std::size_t>(m)] += v;
                return;
            }
            const std::size_t k = static_cast<std::size_t>(m - first_);
            for (std::size_t q = start_[k]; q < start_[k + 1]; ++q) {
                out[static_cast<std::size_t>(terms_[q].index)] += terms_[q].weight * v;
            }
        };
        for (std::int64_t j = lo_; j < hi_; ++j) {
            const double* s = acc.data() + 4 * (j - lo_);
            if (j >= 4 && j + 4 < n) {
                // Every tap inside the grid.
                double* o = out.data() + j;
                o[0] += s[0];
                for (int k = 0; k < 9; ++k) o[k - 4] += d1_[k] * s[1];
                for (int k = 0; k < 7; ++k) o[k - 3] += d2_[k] * s[2] + d3_[k] * s[3];
                continue;
            }
            tap(j, s[0]);
            for (std::int64_t k = -4; k <= 4; ++k) tap(j + k, d1_[k + 4] * s[1]);
            for (std::int64_t k = -3; k <= 3; ++k) tap(j + k, d2_[k + 3] * s[2] + d3_[k + 3] * s[3]);
        }
    }

private:
    const Grid1D<double>* g_ = nullptr;
    std::int64_t lo_ = 0, hi_ = 0, first_ = 0;
    double d1_[9], d2_[7], d3_[7];
    std::vector<std::size_t> start_;
    std::vector<SampleTerm> terms_;
};

// One step of tau as a linear operator: every node's reads (the cell each
// lies in and its Hermite weights, times the read's coefficient in the node
// step), so that the step and its transpose each cost about one step. The
// reads are located on `grid`, the kernel's own or its twin with reflecting
// ends. They are taken once and kept, block by block of nodes, while they fit
// kOperatorBytes; on larger grids each product writes them out again.
class StepOperator {
public:
    static constexpr std::size_t kBlockNodes = 4096;
    static constexpr double kOperatorBytes = 268435456.0;
    // Steps whose reads spread over more grid lengths than this are counted
    // as growing, unmeasured: their reads fold back over the grid dozens of
    // times, where aliasing windows abound, and measuring them would take
    // memory in proportion to the spread.
    static constexpr double kWidestSpan = 16.0;

    enum class Built { Yes, Fails, TooWide };

    // Fails where a node's step fails (its own error to report), a read
    // cannot be located, the grid's policy is not linear, or the caller
    // asked to stop; TooWide where the reads spread over more than
    // kWidestSpan grid lengths (nothing of the span is allocated then).
    template <class K>
    Built build(const K& kernel, const Grid1D<double>& grid, double tau) {
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
            if (!poll_stop()) return Built::Fails;
            Block b;
            if (!reads_of_(begin, std::min(n_, begin + kBlockNodes), b)) return Built::Fails;
            for (std::int64_t c : b.cell) {
                lo_ = std::min(lo_, c);
                hi_ = std::max(hi_, c + 2);
            }
            bytes += static_cast<double>(b.cell.size()) * (sizeof(std::int64_t) + sizeof(Hermite7Weights<double>));
            if (bytes <= kOperatorBytes) blocks_.push_back(std::move(b));
        }
        if (static_cast<double>(hi_ - lo_) > kWidestSpan * static_cast<double>(n_)) return Built::TooWide;
        if (bytes > kOperatorBytes) blocks_.clear();
        return transpose_.prepare(grid, lo_, hi_) ? Built::Yes : Built::Fails;
    }

    // out = M v.
    void apply(const std::vector<double>& v, std::vector<double>& out) {
        samples_.fill(v, *grid_, lo_, hi_);
        out.assign(n_, 0.0);
        for_each_block([&](std::size_t begin, const Block& b) {
            const std::size_t count = b.first.size() - 1;
            run_chunked(count, chunk_count(count), [&](std::size_t lo, std::size_t hi) {
                for (std::size_t i = lo; i < hi; ++i) {
                    double s = 0.0;
                    for (std::size_t k = b.first[i]; k < b.first[i + 1]; ++k) s += samples_.at_cell(b.cell[k], b.w[k]);
                    out[begin + i] = s;
                }
            });
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

// Lanczos steps per measurement (fewer on large grids, whose basis would not
// fit kLanczosBytes).
constexpr std::size_t kLanczosSteps = 32;
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
// by Lanczos with full reorthogonalisation from `start`. Ritz values
// approach it from below, so the search ends as soon as one exceeds
// `enough`. nullopt when a product is not finite or the caller asked to stop
// (`stopped`).
template <class Apply>
std::optional<Ritz> lanczos_top(std::size_t n, const Apply& apply, std::vector<double> start, double enough,
                                bool want_vector, bool& stopped, std::size_t most = kLanczosSteps,
                                bool reorthogonalise = true) {
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
    double top = -kInf;
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
        // Once against every earlier vector (modified Gram-Schmidt): the
        // Ritz values then stay those of the operator, without ghosts.
        // Without, against the last two only: ghosts (copies of converged
        // Ritz values) may appear, but every Ritz value stays within the
        // spectrum to rounding, which is all a bound from below needs.
        const std::size_t from = reorthogonalise || q.size() < 2 ? 0 : q.size() - 2;
        for (std::size_t j = from; j < q.size(); ++j) {
            const std::vector<double>& u = q[j];
            const double c = dot(u, w);
            for (std::size_t i = 0; i < n; ++i) w[i] -= c * u[i];
        }
        norm = std::sqrt(dot(w, w));
        if (std::isfinite(enough)) top = tridiagonal_top(alpha, beta, nullptr);
        if (top > enough || !(norm > 1e-13 * std::fabs(a) + 1e-300)) break;
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

// Lanczos steps on the generator: its products cost a tenth of a step's, and
// the growing direction, which the refusal names, needs more of them.
constexpr std::size_t kGeneratorSteps = 48;

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

// Whether the kernel's small-step limit grows data without its mean in the
// grid 2-norm, and where: a fault, no fault, or nullopt where it was not
// judged (the coefficient fails at a node, which is the step's own error to
// report; a product overflowed; the caller asked to stop), which is then
// not kept. "linear" ends are refused with any variable coefficient: their
// straight-line continuation is no boundary condition for (a u')', and
// with a varying a the end rows grow data (exponentially on small grids,
// to many times max|u0| on large ones), where the exact flow has no such
// ends to grow at.
template <class K>
std::optional<std::optional<CoefficientFault>> generator_fault(const K& kernel, const Grid1D<double>& g,
                                                               bool& stopped) {
    Generator gen;
    if (!gen.build(kernel, g)) return std::nullopt;
    if (g.boundary.tag == BoundaryTag::Linear) {
        CoefficientFault f;
        f.kind = CoefficientFault::Kind::LinearEnds;
        f.a_first = gen.a(0);
        f.a_last = gen.a(g.n - 1);
        return std::optional<CoefficientFault>(f);
    }
    const WeightedSpace sp(g);
    const std::size_t n = g.n;
    std::vector<double> t(n), u(n), r(n);
    // x -> P sym(S G S^-1) P x.
    auto sym = [&](const std::vector<double>& x, std::vector<double>& y) {
        std::vector<double> px = x;
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
    auto top = lanczos_top(n, sym, fixed_noise(n, 0x2545F4914F6CDD1Dull), kInf, true, stopped, kGeneratorSteps);
    if (!top) return std::nullopt;
    if (top->value <= limit) return std::optional<CoefficientFault>();
    for (std::size_t i = 0; i < n; ++i) top->vector[i] /= sp.sw[i];
    return std::optional<CoefficientFault>(fault_at(gen, g, top->vector, top->value * gen.unit()));
}

// The start of a measurement: fixed noise with its smooth part taken out
// (the noise minus its three-point average, twice). The slow modes, which
// every admissible step keeps near 1, then weigh little in the start, and
// the Lanczos search reaches a growing mode above them in fewer steps.
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

// How much one step of tau can grow the data without its mean. With B the
// step in the scaled values and D = B - I, the growth of P B P is
//   |P B P x|^2 - |x|^2 = <x, K x>,  K = P (D + D^T + D^T P D) P,
// so the step grows nothing exactly when K has no positive eigenvalue. K is
// formed from D, not from B: where B is close to the identity (small steps)
// |B x|^2 - |x|^2 would cancel to rounding and the Lanczos vectors with it,
// while D x = B x - x loses only the rounding of x, far below the slack
// compared with. The entries of D stay those of a step (a few units), so no
// coefficient's size can overflow K. The largest eigenvalue of K, by at most
// `most` Lanczos steps from a fixed start, stopped once it is known to exceed
// `enough`; +inf for a step whose reads spread too far to measure; nullopt
// where the step could not be written out (its own error to report), a
// product is not finite, or the caller asked to stop.
// `direction`, when given, receives the direction that grows most (in
// scaled values); `hint` is added to the start.
template <class K>
std::optional<double> mean_free_growth(const K& kernel, const Grid1D<double>& g, double tau, double enough,
                                       bool& stopped, std::size_t most, std::vector<double>* direction = nullptr,
                                       const std::vector<double>* hint = nullptr) {
    StepOperator op;
    switch (op.build(kernel, g, tau)) {
        case StepOperator::Built::Yes: break;
        case StepOperator::Built::Fails: return std::nullopt;
        case StepOperator::Built::TooWide: return kInf;
    }
    const WeightedSpace sp(g);
    const std::size_t n = g.n;
    std::vector<double> t(n), cx(n), z(n), ctz(n);
    // D x = S (M - I) S^-1 x, D^T y = S^-1 (M^T - I) S y.
    auto growth = [&](const std::vector<double>& x, std::vector<double>& y) {
        std::vector<double> px = x;
        sp.project(px);
        for (std::size_t i = 0; i < n; ++i) t[i] = px[i] / sp.sw[i];
        op.apply(t, cx);
        for (std::size_t i = 0; i < n; ++i) cx[i] = sp.sw[i] * (cx[i] - t[i]);  // D P x
        for (std::size_t i = 0; i < n; ++i) t[i] = px[i] * sp.sw[i];
        op.apply_transpose(t, ctz);
        y.resize(n);
        for (std::size_t i = 0; i < n; ++i) y[i] = cx[i] + (ctz[i] - t[i]) / sp.sw[i];  // (D + D^T) P x
        z = cx;
        sp.project(z);
        for (std::size_t i = 0; i < n; ++i) t[i] = z[i] * sp.sw[i];
        op.apply_transpose(t, ctz);
        for (std::size_t i = 0; i < n; ++i) y[i] += (ctz[i] - t[i]) / sp.sw[i];  // + D^T P D P x
        sp.project(y);
    };
    std::vector<double> start = rough_noise(n, 0x9E3779B97F4A7C15ull);
    if (hint && hint->size() == n) {
        // The direction that grew at a slightly larger step, with the noise
        // still in: a mode growing barely above 1 is then found at once.
        double noise = 0.0;
        for (double v : start) noise += v * v;
        const double scale = std::sqrt(noise);
        for (std::size_t i = 0; i < n; ++i) start[i] += 2.0 * scale * (*hint)[i];
    }
    auto top = lanczos_top(n, growth, std::move(start), enough, direction != nullptr, stopped, most, false);
    if (!top) return std::nullopt;
    if (direction) *direction = std::move(top->vector);
    return top->value;
}

// What is known of one kernel (coefficient functions, grid, rule): whether
// its coefficient is at fault; the steps above `bound` refused, once a step
// was (`named` the largest step measured to pass below it, which refusals
// name); and the steps measured to pass, the most recent few. A step below
// the bound is still measured once: below the first step that grows
// anything the norm of P B P stays below 1 on almost every coefficient, but
// giant steps can meet a narrow window where the quadrature's points alias
// and a step grows while larger ones do not. Such a window lowers the bound
// to the largest step passing below it, so the admitted steps stay an
// interval.
struct KernelVerdict {
    bool generator_judged = false;
    std::optional<CoefficientFault> fault;
    double bound = kInf;  // finite once the search ran
    double named = 0.0;
    std::vector<double> passed;

    bool searched() const { return bound < kInf; }
    // The bound found (or lowered below a window): larger steps refused,
    // passed steps above it forgotten.
    void set_bound(double b) {
        bound = named = b;
        std::erase_if(passed, [&](double t) { return t > bound; });
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
    // the same kernel keep the lower bound).
    void store(const VerdictKey& key, const KernelVerdict& v) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Entry& e : entries_) {
            if (!e.key.matches(key)) continue;
            KernelVerdict& old = e.verdict;
            if (v.generator_judged && !old.generator_judged) {
                old.generator_judged = true;
                old.fault = v.fault;
            }
            if (v.fault && !old.fault) old.fault = v.fault;
            if (v.bound < old.bound) {
                old.bound = v.bound;
                old.named = v.named;
            }
            for (double t : v.passed) {
                if (t <= old.bound && std::find(old.passed.begin(), old.passed.end(), t) == old.passed.end()) {
                    old.passed.push_back(t);
                }
            }
            std::erase_if(old.passed, [&](double t) { return t > old.bound; });
            if (old.passed.size() > kPassedKept) old.passed.erase(old.passed.begin(), old.passed.end() - kPassedKept);
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
    static constexpr std::size_t kPassedKept = 16;
    std::mutex mutex_;
    std::vector<Entry> entries_;
    std::size_t next_ = 0;
};

VerdictCache& verdict_cache() {
    static VerdictCache cache;
    return cache;
}

// The search for the largest admissible step probes only canonical steps,
// dx^2 2^k (1 + j/2^kSearchDepth), with Lanczos runs of kProbeSteps from a
// fixed start, climbing from dx^2 to the first rung that grows something,
// then bisecting below it; the step it names is measured in full first.
// Every quantity it reads is a function of the kernel and of those steps
// alone, so the bound it names is the same whatever step was refused, and
// it lies below the first step found to grow anything, not merely below
// some such step.
constexpr int kSearchDepth = 5;
constexpr int kSearchStart = 0;   // the rung dx^2 2^0
constexpr int kSearchRungs = 60;  // up to dx^2 2^60, down to dx^2 2^-60
constexpr double kAcceptMargin = 0x1.0p-4;
constexpr std::size_t kProbeSteps = 16;

// The largest canonical step of the rung [s, 2 s) that passes, bisected on
// its points and measured in full (with the direction that grew just above
// it as a hint); 0 when none does. nullopt when the caller asked to stop.
template <class Passes>
std::optional<double> best_in_rung(double rung, double limit, Passes& passes) {
    auto point = [&](std::int64_t j) { return rung * (1.0 + std::ldexp(static_cast<double>(j), -kSearchDepth)); };
    std::int64_t good = 0, bad = std::int64_t{1} << kSearchDepth;
    std::vector<double> grew;  // the growing direction at point(bad)
    auto probe = [&](std::int64_t j, std::vector<double>* dir) -> std::optional<bool> {
        if (point(j) >= limit) return false;
        return passes(point(j), kProbeSteps, grew.empty() ? nullptr : &grew, dir);
    };
    {
        std::vector<double> dir;
        const std::optional<bool> top = probe(bad, &dir);
        if (!top) return std::nullopt;
        if (*top) good = bad;
        else grew = std::move(dir);
    }
    for (;;) {
        while (bad - good > 1) {
            const std::int64_t mid = (good + bad) / 2;
            std::vector<double> dir;
            const std::optional<bool> p = probe(mid, &dir);
            if (!p) return std::nullopt;
            if (*p) {
                good = mid;
            } else {
                bad = mid;
                grew = std::move(dir);
            }
        }
        const std::optional<bool> confirmed =
            point(good) >= limit ? std::optional<bool>(false)
                                 : passes(point(good), kLanczosSteps, grew.empty() ? nullptr : &grew, nullptr);
        if (!confirmed) return std::nullopt;
        if (*confirmed) return point(good);
        if (good == 0) return 0.0;
        bad = good;
        good = 0;
    }
}

// The bound of a kernel: from the rung dx^2 up to the first rung whose
// probe grows something (down instead, should dx^2 itself grow), then the
// best step below it. 0 when even dx^2 2^-kSearchRungs grows; nullopt when
// the caller asked to stop.
template <class Passes>
std::optional<double> search_bound(const Grid1D<double>& g, Passes& passes) {
    const double dx2 = g.dx() * g.dx();
    auto rung = [&](int k) { return dx2 * std::ldexp(1.0, k); };
    int k = kSearchStart;
    std::optional<bool> p = passes(rung(k), kProbeSteps, nullptr, nullptr);
    if (!p) return std::nullopt;
    if (*p) {
        for (; k < kSearchRungs; ++k) {
            p = passes(rung(k + 1), kProbeSteps, nullptr, nullptr);
            if (!p) return std::nullopt;
            if (!*p) break;
        }
    } else {
        for (--k; k >= -kSearchRungs; --k) {
            p = passes(rung(k), kProbeSteps, nullptr, nullptr);
            if (!p) return std::nullopt;
            if (*p) break;
        }
        if (k < -kSearchRungs) return 0.0;
    }
    // Rung k passes and rung k + 1 grows; the best step of rung k, or of
    // the rungs below should its own points grow.
    for (; k >= -kSearchRungs; --k) {
        const std::optional<double> best = best_in_rung(rung(k), kInf, passes);
        if (!best) return std::nullopt;
        if (*best > 0.0) return best;
    }
    return 0.0;
}

// A step tau below the kernel's bound grows: the bound becomes the largest
// canonical step below tau that passes. False when the caller asked to stop.
template <class Passes>
bool lower_bound_below(const Grid1D<double>& g, double tau, KernelVerdict& v, Passes& passes) {
    const double dx2 = g.dx() * g.dx();
    int k = static_cast<int>(std::floor(std::log2(tau / dx2)));
    double best = 0.0;
    for (int down = 0; down < 2 * kSearchRungs && best == 0.0; ++down, --k) {
        const std::optional<double> b = best_in_rung(dx2 * std::ldexp(1.0, k), tau, passes);
        if (!b) return false;
        best = *b;
    }
    v.set_bound(best);
    return true;
}

// The judgement of steps of tau for a kernel with a variable coefficient,
// on tau alone. A step is admissible when the generator is dissipative, the
// step itself grows no data without its mean (the norm of P B P at most
// 1 + kStepSlack, as far as kLanczosSteps can see), and neither does the
// step 1/16 larger (a quicker look, to catch a growth too slight for the
// first to see near the bound). A step refused is answered with the bound
// of the search above, kept for the kernel: steps above it are refused at
// once; below it each new step is still measured once, and a step that
// grows there lowers the bound to the largest canonical step below it that
// passes.
template <class K>
HeatJudgement judge(const K& kernel, const CoeffSource& coef, int rule, double tau) {
    HeatJudgement out;
    if (!(tau > 0.0) || !std::isfinite(tau)) return out;
    const VerdictKey key = verdict_key(coef, kernel.grid, rule);
    KernelVerdict v = verdict_cache().find(key);
    const Grid1D<double>& g = kernel.grid;
    bool stopped = false;
    if (!v.generator_judged) {
        const std::optional<std::optional<CoefficientFault>> verdict = generator_fault(kernel, g, stopped);
        if (!verdict) return out;  // the coefficient fails at a node (its own error), or the call is ending
        v.fault = *verdict;
        v.generator_judged = true;
        verdict_cache().store(key, v);
    }
    if (v.fault) {
        out.fault = v.fault;
        return out;
    }
    if (tau > v.bound) {
        out.range = StepRange{0.0, v.named};
        return out;
    }
    if (std::find(v.passed.begin(), v.passed.end(), tau) != v.passed.end() || tau == v.named) return out;

    // One measurement: true when the step grows nothing, false when it
    // grows something or cannot be written out (a probe of the search reads
    // points the call's own step may not), nullopt when the caller asked to
    // stop. `hint`, when given, is added to the start; `dir` receives the
    // direction that grows most.
    auto passes = [&](double s, std::size_t most, const std::vector<double>* hint,
                      std::vector<double>* dir) -> std::optional<bool> {
        const std::optional<double> top =
            mean_free_growth(kernel, g, s, 2.0 * kStepSlack, stopped, most, dir, hint);
        if (stopped) return std::nullopt;
        return top && *top <= 2.0 * kStepSlack;
    };
    // tau itself first: where its own step cannot be written out, the step
    // fails on its own, which is the call's error to report.
    std::vector<double> at_tau;
    bool tau_passes = false;
    {
        const std::optional<double> top = mean_free_growth(kernel, g, tau, 2.0 * kStepSlack, stopped,
                                                           kLanczosSteps, &at_tau);
        if (stopped || !top) return out;
        tau_passes = *top <= 2.0 * kStepSlack;
        if (tau_passes) {
            // Below a bound already found (larger steps were refused above)
            // tau's own measurement decides; before, so does the quicker
            // look 1/16 above it.
            bool admitted = v.searched();
            if (!admitted) {
                const std::optional<bool> above =
                    passes(tau * (1.0 + kAcceptMargin), kProbeSteps, &at_tau, nullptr);
                if (!above) return out;
                admitted = *above;
            }
            if (admitted) {
                v.passed = {tau};
                verdict_cache().store(key, v);
                return out;
            }
        } else if (v.searched()) {
            // A step below the bound that grows: the bound comes down to
            // below it.
            if (!lower_bound_below(g, tau, v, passes)) return out;
            verdict_cache().store(key, v);
            out.range = StepRange{0.0, v.named};
            return out;
        }
    }
    if (!v.searched()) {
        const std::optional<double> bound = search_bound(g, passes);
        if (!bound) return out;
        if (*bound == 0.0) {
            // Steps 2^60 below dx^2 still grow something: the coefficient is
            // at fault after all (the generator's growth below its slack).
            std::vector<double> dir;
            passes(g.dx() * g.dx() * std::ldexp(1.0, -kSearchRungs), kLanczosSteps, nullptr, &dir);
            Generator gen;
            if (stopped || dir.size() != g.n || !gen.build(kernel, g)) return out;
            const WeightedSpace sp(g);
            for (std::size_t i = 0; i < dir.size(); ++i) dir[i] /= sp.sw[i];
            v.fault = fault_at(gen, g, dir, std::numeric_limits<double>::quiet_NaN());
            verdict_cache().store(key, v);
            out.fault = v.fault;
            return out;
        }
        v.set_bound(*bound);
        verdict_cache().store(key, v);
    }
    if (tau <= v.bound) {
        if (tau_passes) {
            // Only the quicker look 1/16 above grew: tau lies below the bound.
            v.passed = {tau};
            verdict_cache().store(key, v);
            return out;
        }
        // tau itself grew, below the bound: a window.
        if (!lower_bound_below(g, tau, v, passes)) return out;
        verdict_cache().store(key, v);
    }
    out.range = StepRange{0.0, v.named};
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
constexpr const char* kChebyshevAmplifies =
    "the degree-64 Chebyshev resampling of the inner heat4 sweeps is not the identity, and the Richardson "
    "ladder amplifies its error unless every step diffuses it away";

}  // namespace

HeatJudgement judge_heat_step(const DiffusionChernoff& k, double tau) {
    // A constant coefficient skips the correction: a convex combination.
    if (k.coef.constant_value()) return {};
    return judge(k, k.coef, 2, tau);
}

HeatJudgement judge_heat_step(const Diffusion4thChernoff& k, double tau) {
    if (k.constant_value() || k.use_octonic || k.use_chebyshev) return {};
    return judge(k, k.coef_override ? *k.coef_override : CoeffSource::plain(k.a, k.a_prime, k.a_double_prime), 4,
                 tau);
}

HeatJudgement judge_heat_step(const Diffusion6thChernoff& k, double tau) {
    if (k.constant_value()) return {};
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
