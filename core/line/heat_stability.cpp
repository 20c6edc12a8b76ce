#include "core/line/heat_stability.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "core/foundation/boundary.hpp"
#include "core/line/diffusion.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/parallel1d.hpp"
#include "core/foundation/stop.hpp"
#include "core/line/state.hpp"

namespace quorvane {
namespace {

using cplx = std::complex<double>;

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

// Quadrature and stencil data of one kernel's node step.
struct NodeRule {
    std::span<const int> offsets;     // k of the points +-2 sqrt(k a tau), 0 for the centre
    int max_offset;                   // the largest k
    std::span<const double> weights;  // one per offset entry
    std::span<const double> d1, d2, d3;
    double min_width_cells;           // the stencil never narrower than this many dx
    double width_power;               // ... and otherwise tau^width_power
    bool septic = true;               // reads through the grid's septic Hermite interpolant
};

constexpr int kHeat4Offsets[5] = {0, 1, -1, 3, -3};
constexpr double kHeat4Weights[5] = {kHeatW0, kHeatW1, kHeatW1, kHeatW3, kHeatW3};
constexpr int kHeat6Offsets[7] = {0, 1, -1, 3, -3, 5, -5};
constexpr double kHeat6Weights[7] = {kHeat6W0, kHeat6W1, kHeat6W1, kHeat6W3, kHeat6W3, kHeat6W5, kHeat6W5};

// How one step reads a grid mode e^{i theta j} (theta in radians per cell)
// between the nodes. Through the septic Hermite interpolant a read at
// x_c + t dx (c the cell, 0 <= t < 1) returns
//   e^{i theta c} [H0 + e^{i theta} H1 + s1 (G0 + e^{i theta} G1) + s2 (K0 + ...) + s3 (L0 + ...)]
// with H..L the basis weights at t and s_m the symbols of the interpolant's
// undivided differences: 0 for the Nyquist mode read at t = 1/2, where exact
// sampling gives modulus 1. (It also overshoots slightly: |read| <= 1 + 1.6e-6,
// reached at t = 1/2, theta = 0.69.) Other samplings (the degree-9 Hermite
// and Chebyshev switches of heat4) are taken as exact, e^{i theta (c + t)}.
class ModeReads {
public:
    // A read at grid coordinate s = (x - xmin)/dx, seen from node i, located
    // as the interpolant locates it.
    struct Point {
        double weight;
        std::int64_t cell;  // floor(s) - i
        double t;           // s - floor(s)
        Hermite7Weights<double> w;
    };
    static Point point(double weight, double s, std::size_t i) {
        const double f = std::floor(s);
        return {weight, static_cast<std::int64_t>(f) - static_cast<std::int64_t>(i), s - f, hermite7_weights(s - f)};
    }

    // What a read needs of one frequency.
    struct Mode {
        double theta;
        cplx e1, s1, s2, s3;
        std::size_t q;  // index of a sampled frequency, or kOffTable
    };
    static constexpr std::size_t kOffTable = static_cast<std::size_t>(-1);

    ModeReads(std::size_t nk, bool septic) : nk_(nk), septic_(septic), unit_(2 * nk) {
        for (std::size_t j = 0; j < 2 * nk; ++j) {
            unit_[j] = std::polar(1.0, M_PI * static_cast<double>(j) / static_cast<double>(nk));
        }
        sampled_.reserve(nk);
        for (std::size_t q = 0; q < nk; ++q) {
            Mode m = at(theta(q));
            m.q = q;
            sampled_.push_back(m);
        }
    }

    // The sampled frequencies theta_q = pi (q+1)/nk, q = 0 .. nk-1.
    std::size_t count() const { return nk_; }
    double theta(std::size_t q) const { return M_PI * static_cast<double>(q + 1) / static_cast<double>(nk_); }
    const Mode& sampled(std::size_t q) const { return sampled_[q]; }

    static Mode at(double th) {
        return {th, std::polar(1.0, th), difference_symbol(&fd_d1_o8<double>, th),
                difference_symbol(&fd_d2_o6<double>, th), difference_symbol(&fd_d3_o4<double>, th), kOffTable};
    }

    // Sum of weight * read over the reads of one node: the node's row
    // applied to the mode, relative to the mode's value at the node.
    cplx symbol(std::span<const Point> reads, const Mode& m) const {
        cplx g = 0.0;
        for (const Point& p : reads) g += p.weight * read(p, m);
        return g;
    }

private:
    cplx read(const Point& p, const Mode& m) const {
        if (!septic_) return std::polar(1.0, m.theta * (static_cast<double>(p.cell) + p.t));
        const Hermite7Weights<double>& w = p.w;
        const cplx left = w.h0 + w.g0 * m.s1 + w.k0 * m.s2 + w.l0 * m.s3;
        const cplx right = w.h1 + w.g1 * m.s1 + w.k1 * m.s2 + w.l1 * m.s3;
        return phase(p.cell, m) * (left + m.e1 * right);
    }

    // e^{i theta c}; exact in c for the sampled frequencies.
    cplx phase(std::int64_t c, const Mode& m) const {
        if (m.q == kOffTable) return std::polar(1.0, m.theta * static_cast<double>(c));
        const std::int64_t period = static_cast<std::int64_t>(2 * nk_);
        std::int64_t j = (static_cast<std::int64_t>(m.q + 1) * (c % period)) % period;
        if (j < 0) j += period;
        return unit_[static_cast<std::size_t>(j)];
    }

    // D e^{i theta j} = D cos(theta j) + i D sin(theta j) for the real
    // stencil D, read off the stencil itself at the centre of nine samples.
    using Difference = double (*)(std::span<const double>, const BoundaryPolicy<double>&, std::size_t, std::int64_t,
                                  double);
    static cplx difference_symbol(Difference fd, double th) {
        double re[9], im[9];
        for (int j = -4; j <= 4; ++j) {
            re[j + 4] = std::cos(th * j);
            im[j + 4] = std::sin(th * j);
        }
        const BoundaryPolicy<double> p = BoundaryPolicy<double>::reflect();
        return {fd(std::span<const double>(re), p, 9, 4, 1.0), fd(std::span<const double>(im), p, 9, 4, 1.0)};
    }

    std::size_t nk_;
    bool septic_;
    std::vector<cplx> unit_;
    std::vector<Mode> sampled_;
};

// Largest |symbol| of one node over (0, pi]: sampled at nk frequencies, then
// refined around each sampled local maximum that could exceed `floor` (at
// least 1: below that nothing is amplified). Through the septic interpolant
// the symbol is a trigonometric polynomial of degree D = (farthest cell) + 5,
// so by Bernstein's inequality a sample within pi/(2 nk) of the maximum M
// already sees M sqrt(1 - (D pi/nk)^2/2); a golden-section search over the
// two neighbouring intervals (sampled at 8 per degree, so well inside one
// hump) finds the rest. `mag` is scratch.
double node_symbol_max(const ModeReads& modes, std::span<const ModeReads::Point> reads, double floor,
                       std::vector<double>& mag) {
    const std::size_t nk = modes.count();
    std::int64_t far = 0;
    for (const ModeReads::Point& p : reads) far = std::max(far, p.cell < 0 ? -p.cell : p.cell + 1);
    const double dpi = (static_cast<double>(far) + 5.0) * M_PI / static_cast<double>(nk);
    const double inflate = 0.5 * dpi * dpi < 1.0 ? 1.0 / std::sqrt(1.0 - 0.5 * dpi * dpi) : kInf;

    mag.resize(nk);
    double best = 0.0;
    for (std::size_t q = 0; q < nk; ++q) {
        mag[q] = std::abs(modes.symbol(reads, modes.sampled(q)));
        best = std::max(best, mag[q]);
    }
    for (std::size_t q = 0; q < nk; ++q) {
        const double left = q == 0 ? 1.0 : mag[q - 1];
        const double right = q + 1 == nk ? mag[q - 1] : mag[q + 1];  // |symbol| is even about pi
        if (mag[q] < left || mag[q] < right || mag[q] * inflate <= std::max(best, floor)) continue;
        if (q + 1 == nk) continue;  // a maximum at pi is sampled exactly
        double lo = q == 0 ? 0.0 : modes.theta(q - 1);
        double hi = modes.theta(q + 1);
        auto f = [&](double th) { return std::abs(modes.symbol(reads, ModeReads::at(th))); };
        constexpr double kGolden = 0.6180339887498949;
        double x1 = hi - kGolden * (hi - lo), x2 = lo + kGolden * (hi - lo);
        double f1 = f(x1), f2 = f(x2);
        for (int it = 0; it < 30; ++it) {
            if (f1 < f2) {
                lo = x1;
                x1 = x2;
                f1 = f2;
                x2 = lo + kGolden * (hi - lo);
                f2 = f(x2);
            } else {
                hi = x2;
                x2 = x1;
                f2 = f1;
                x1 = hi - kGolden * (hi - lo);
                f1 = f(x1);
            }
        }
        best = std::max({best, f1, f2});
    }
    return best;
}

// Frequencies sampled in (0, pi]: eight per degree of the symbol (reads
// reach `reach_cells` from the node, the interpolant five more), within a
// budget for absurdly large steps.
std::size_t frequency_count(double reach_cells) {
    const double k = std::ceil(8.0 * (reach_cells + 6.0));
    return static_cast<std::size_t>(std::clamp(k, 64.0, 4096.0));
}

// Where one step of tau reads: the stencil width h of its differences and
// the grid's spacing, for node_reads.
struct StepGeometry {
    double dx, theta, h;
    int half;  // the differences reach j h for |j| <= half

    StepGeometry(const Grid1D<double>& grid, const NodeRule& rule, double tau)
        : dx((grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1)),
          theta(0.5 * tau),
          h(max_ignore_nan(rule.min_width_cells * dx, std::pow(tau, rule.width_power))),
          half(static_cast<int>(rule.d1.size() / 2)) {}
};

// The reads of one step at node i with their weights, in the kernel's own
// arithmetic: the drifted quadrature points and, where the node runs the
// correction, the difference points x + j h, each weighted by its share of
// tau^2 (A A' D3 + A A''/2 D2 + A' A''/4 D1). False where the step fails
// at the node (a non-finite or negative coefficient: its own error to
// report) or a read lies too far out to have a cell.
template <class K>
bool node_reads(const K& kernel, const NodeRule& rule, const StepGeometry& geo, std::size_t i, double tau,
                std::vector<ModeReads::Point>& reads) {
    const Grid1D<double>& grid = kernel.grid;
    auto locatable = [&](double p) {
        return std::isfinite(p) && std::fabs((p - grid.xmin) / geo.dx) < 9007199254740992.0;
    };
    const double x = grid.xmin + geo.dx * static_cast<double>(i);
    const double A = kernel.coef_a(x);
    const double A1 = kernel.coef_a_prime(x);
    const double A2 = kernel.coef_a_double_prime(x);
    if (!std::isfinite(A) || !std::isfinite(A1) || !std::isfinite(A2)) return false;
    const double xp = x + geo.theta * kernel.coef_a_prime(x);
    const double a = kernel.coef_a(xp);
    if (!finite_nonneg(a)) return false;
    reads.clear();
    for (std::size_t m = 0; m < rule.offsets.size(); ++m) {
        const int k = rule.offsets[m];
        const double r = std::sqrt(static_cast<double>(k < 0 ? -k : k) * a * tau);
        const double y = xp + (k < 0 ? -(r + r) : (r + r));
        const double z = y + geo.theta * kernel.coef_a_prime(y);
        if (!locatable(z)) return false;
        reads.push_back(ModeReads::point(rule.weights[m], (z - grid.xmin) / geo.dx, i));
    }
    if (A1 == 0.0 && A2 == 0.0) return true;
    const double h = geo.h;
    const double c3 = tau * tau * (A * A1), c2 = tau * tau * (0.5 * A * A2), c1 = tau * tau * (0.25 * A1 * A2);
    for (int j = -geo.half; j <= geo.half; ++j) {
        const std::size_t m = static_cast<std::size_t>(j + geo.half);
        const double w = c3 * rule.d3[m] / (h * h * h) + c2 * rule.d2[m] / (h * h) + c1 * rule.d1[m] / h;
        if (w == 0.0) continue;
        const double p = x + static_cast<double>(j) * h;
        if (!std::isfinite(w) || !locatable(p)) return false;
        reads.push_back(ModeReads::point(w, (p - grid.xmin) / geo.dx, i));
    }
    return true;
}

// Largest modulus of the frozen-coefficient symbol of one step over every
// node and frequency; returns early, with a value above `stop_above`, once
// some node exceeds it.
template <class K>
double symbol_sup(const K& kernel, const NodeRule& rule, double tau, double stop_above = kInf) {
    const Grid1D<double>& grid = kernel.grid;
    const std::size_t n = grid.n;
    const StepGeometry geo(grid, rule, tau);
    const double dx = geo.dx;

    // Where no node runs the correction (a' = a'' = 0 at every node) the
    // step is a convex combination of reads: no frequency to scan.
    bool corrected = false;
    for (std::size_t i = 0; i < n && !corrected; ++i) {
        const double x = grid.xmin + dx * static_cast<double>(i);
        corrected = !(kernel.coef_a_prime(x) == 0.0 && kernel.coef_a_double_prime(x) == 0.0);
    }
    if (!corrected) return 0.0;

    // Farthest reach of any quadrature point, in cells, from the largest a
    // on the grid.
    double a_reach = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double a = kernel.coef_a(grid.xmin + dx * static_cast<double>(i));
        if (std::isfinite(a)) a_reach = std::max(a_reach, a);
    }
    const double far_offset = 2.0 * std::sqrt(static_cast<double>(rule.max_offset) * a_reach * tau);
    const ModeReads modes(frequency_count(std::max(far_offset / dx, geo.half * geo.h / dx)),
                          rule.septic && grid.interp_kind.tag == InterpTag::SepticHermite);

    // The largest modulus at node i, 0 where the step is the quadrature
    // alone (a convex combination of reads) or fails.
    auto node_sup = [&](std::size_t i, double floor, std::vector<ModeReads::Point>& reads,
                        std::vector<double>& mag) -> double {
        const double x = grid.xmin + dx * static_cast<double>(i);
        if (kernel.coef_a_prime(x) == 0.0 && kernel.coef_a_double_prime(x) == 0.0) return 0.0;
        if (!node_reads(kernel, rule, geo, i, tau, reads)) return 0.0;
        return node_symbol_max(modes, reads, floor, mag);
    };

    // Nodes are independent: contiguous chunks as the node driver splits a
    // grid (so a threshold of 1000000 means serial), each stopping once some
    // chunk passed stop_above.
    // A chunk only skips refinements that cannot beat its own maximum, so
    // the result does not depend on the split.
    std::mutex result_mutex;
    double sup = 0.0;
    std::atomic<bool> stop{false};
    const std::size_t chunks = std::max<std::size_t>(1, chunk_count(n));
    run_chunked(n, chunks, [&](std::size_t begin, std::size_t end) {
        std::vector<ModeReads::Point> reads;
        std::vector<double> mag;
        double local = 0.0;
        for (std::size_t i = begin; i < end && !stop.load(std::memory_order_relaxed); ++i) {
            local = std::max(local, node_sup(i, std::max(local, 1.0), reads, mag));
            if (local > stop_above) stop.store(true, std::memory_order_relaxed);
        }
        std::lock_guard<std::mutex> lock(result_mutex);
        sup = std::max(sup, local);
    });
    return sup;
}

// heat2's differences: D1 = (u(x+h) - u(x-h))/2h, D2 = (u(x+h) - 2u + u(x-h))/h^2,
// D3 = (u(x+2h) - 2u(x+h) + 2u(x-h) - u(x-2h))/2h^3 (zero-padded to one width).
constexpr double kHeat2D1[5] = {0.0, -0.5, 0.0, 0.5, 0.0};
constexpr double kHeat2D2[5] = {0.0, 1.0, -2.0, 1.0, 0.0};
constexpr double kHeat2D3[5] = {-0.5, 1.0, 0.0, -1.0, 0.5};

// The heat2 kernel seen through the coefficient lookup of the generic scan.
struct Heat2View {
    const DiffusionChernoff& k;
    const Grid1D<double>& grid;
    double coef_a(double x) const { return k.coef.eval_a(x); }
    double coef_a_prime(double x) const { return k.coef.eval_a_prime(x); }
    double coef_a_double_prime(double x) const { return k.coef.eval_a_double_prime(x); }
};

NodeRule heat2_rule() { return {kHeat4Offsets, 3, kHeat4Weights, kHeat2D1, kHeat2D2, kHeat2D3, 2.0, 0.5}; }

NodeRule heat4_rule(const Diffusion4thChernoff& k) {
    return {kHeat4Offsets, 3,   kHeat4Weights, kCentral7D1, kCentral7D2, kCentral7D3,
            3.0,           0.75, !(k.use_octonic || k.use_chebyshev)};
}
NodeRule heat6_rule() {
    return {kHeat6Offsets, 5, kHeat6Weights, kCentral9D1, kCentral9D2, kCentral9D3, 4.0, 0.5};
}

// Largest admissible step below an inadmissible `tau`: halve until
// admissible, then bisect (to 2^-16 relative, below the four digits a
// message shows).
template <class Admissible>
double bisect_below(double tau, Admissible admissible) {
    double hi = tau;
    double lo = 0.5 * tau;
    for (int k = 0; k < 200 && !admissible(lo); ++k) {
        hi = lo;
        lo *= 0.5;
    }
    for (int k = 0; k < 16; ++k) {
        const double mid = 0.5 * (lo + hi);
        if (admissible(mid)) lo = mid;
        else hi = mid;
    }
    return lo;
}

// The kernel that steps: the heat2 view wraps it.
template <class K>
const auto& stepping_kernel(const K& kernel) {
    if constexpr (requires { kernel.k; }) return kernel.k;
    else return kernel;
}

std::size_t steps_of(double t, double tau) {
    return static_cast<std::size_t>(std::max(1.0, std::ceil(t / tau * (1.0 - 1e-12))));
}

// The nodes one step of tau reads at each node, a superset: for every read
// in cell c the nodes c - 4 .. c + 5 of the septic interpolant, indices off
// the grid taken through the boundary policy (mirrored, wrapped or
// clamped), and where a stencil leaves the grid also the kEndBlock nodes at
// that end (extrapolating policies read there). Rows of sorted columns;
// nullopt where the step fails at some node (its own error to report) or
// the pattern would exceed kMatrixBudget entries.
struct Pattern {
    std::vector<std::size_t> start, col;
};

template <class K>
std::optional<Pattern> read_pattern(const K& kernel, const NodeRule& rule, double tau) {
    const Grid1D<double>& grid = kernel.grid;
    const std::size_t n = grid.n;
    const auto sn = static_cast<std::int64_t>(n);
    const StepGeometry geo(grid, rule, tau);
    const BoundaryTag tag = grid.boundary.tag;
    std::vector<ModeReads::Point> reads;
    std::vector<std::size_t> row;
    Pattern p;
    p.start.push_back(0);
    for (std::size_t i = 0; i < n; ++i) {
        if (!node_reads(kernel, rule, geo, i, tau, reads)) return std::nullopt;
        row.clear();
        bool left = false, right = false;
        for (const ModeReads::Point& r : reads) {
            const std::int64_t c = static_cast<std::int64_t>(i) + r.cell;
            for (std::int64_t m = c - 4; m <= c + 5; ++m) {
                if (m >= 0 && m < sn) {
                    row.push_back(static_cast<std::size_t>(m));
                    continue;
                }
                (m < 0 ? left : right) = true;
                std::int64_t image = -1;
                switch (tag) {
                    case BoundaryTag::Reflect:
                    case BoundaryTag::RobinImage:
                    case BoundaryTag::OddReflect: image = mirror_index(m, n); break;
                    case BoundaryTag::Periodic: image = periodic_index(m, n); break;
                    case BoundaryTag::Clamp: image = m < 0 ? 0 : sn - 1; break;
                    default: break;
                }
                if (image >= 0 && image < sn) row.push_back(static_cast<std::size_t>(image));
            }
        }
        for (std::size_t k = 0; k < std::min(kEndBlock, n); ++k) {
            if (left) row.push_back(k);
            if (right) row.push_back(n - 1 - k);
        }
        std::sort(row.begin(), row.end());
        row.erase(std::unique(row.begin(), row.end()), row.end());
        p.col.insert(p.col.end(), row.begin(), row.end());
        if (static_cast<double>(p.col.size()) > kMatrixBudget) return std::nullopt;
        p.start.push_back(p.col.size());
    }
    return p;
}

// The matrix of one real step in the grid's own 2-norm, sum w_i u_i^2 with
// w = 1/2 at reflecting and linear ends (the norm in which the exact
// evolution contracts): B = W^(1/2) M W^(-1/2), its entries by rows and by
// columns.
struct WeightedStep {
    std::size_t n = 0;
    std::vector<std::size_t> row_start, col_start;
    std::vector<std::size_t> row_col, col_row;
    std::vector<double> row_val, col_val;
};

// The weighted matrix of one step, from the step applied to one comb per
// colour: columns coloured greedily so that no row of the pattern reads two
// columns of a colour, so each row of a comb's image is the entry of its
// one column of that colour. The result is checked against the step itself
// on noise, which a pattern that missed a read would fail. nullopt where
// a step fails (its own error to report; `stopped` when the caller asked to
// stop) or the check fails.
template <class K>
std::optional<WeightedStep> weighted_step(const K& kernel, const Pattern& pattern, double tau, bool& stopped) {
    auto failed = [&](const CoreError& e) {
        stopped = stopped || e.variant() == CoreError::Variant::CallbackFailed;
        return std::nullopt;
    };
    const Grid1D<double>& grid = kernel.grid;
    const std::size_t n = grid.n;
    const std::size_t nnz = pattern.col.size();
    // The pattern by columns.
    std::vector<std::size_t> cstart(n + 1, 0), crow(nnz);
    for (std::size_t k = 0; k < nnz; ++k) ++cstart[pattern.col[k] + 1];
    for (std::size_t j = 0; j < n; ++j) cstart[j + 1] += cstart[j];
    {
        std::vector<std::size_t> next(cstart.begin(), cstart.end() - 1);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t k = pattern.start[i]; k < pattern.start[i + 1]; ++k) crow[next[pattern.col[k]]++] = i;
    }
    // Greedy colouring: a column takes the least colour no column sharing a
    // row with it has.
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<std::size_t> colour(n, kNone), seen;
    std::size_t colours = 0;
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t k = cstart[j]; k < cstart[j + 1]; ++k) {
            const std::size_t i = crow[k];
            for (std::size_t q = pattern.start[i]; q < pattern.start[i + 1]; ++q) {
                const std::size_t c = colour[pattern.col[q]];
                if (c == kNone) continue;
                if (c >= seen.size()) seen.resize(c + 1, kNone);
                seen[c] = j;
            }
        }
        std::size_t c = 0;
        while (c < seen.size() && seen[c] == j) ++c;
        colour[j] = c;
        colours = std::max(colours, c + 1);
    }
    std::vector<double> sw(n, 1.0);
    if (grid.boundary.tag != BoundaryTag::Periodic && grid.boundary.tag != BoundaryTag::Zero) {
        sw.front() = sw.back() = std::sqrt(0.5);
    }
    WeightedStep m;
    m.n = n;
    m.row_start = pattern.start;
    m.row_col = pattern.col;
    m.row_val.assign(nnz, 0.0);
    for (std::size_t c = 0; c < colours; ++c) {
        std::vector<double> comb(n, 0.0);
        for (std::size_t j = 0; j < n; ++j)
            if (colour[j] == c) comb[j] = 1.0;
        auto out = evolve_values(kernel, grid, std::move(comb), tau, 1);
        if (!out) return failed(out.error());
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t k = pattern.start[i]; k < pattern.start[i + 1]; ++k) {
                const std::size_t j = pattern.col[k];
                if (colour[j] == c) m.row_val[k] = sw[i] * (*out)[i] / sw[j];
            }
        }
    }
    // The check: the real step and the matrix on the same noise.
    const std::vector<double> r = fixed_noise(n, 0x2545F4914F6CDD1Dull);
    auto real = evolve_values(kernel, grid, r, tau, 1);
    if (!real) return failed(real.error());
    for (std::size_t i = 0; i < n; ++i) {
        double s = 0.0, size = 0.0;
        for (std::size_t k = m.row_start[i]; k < m.row_start[i + 1]; ++k) {
            const double term = m.row_val[k] * sw[m.row_col[k]] / sw[i] * r[m.row_col[k]];
            s += term;
            size += std::fabs(term);
        }
        if (!(std::fabs(s - (*real)[i]) <= 1e-10 * size + 1e-300)) return std::nullopt;
    }
    // The same entries by columns.
    m.col_start = cstart;
    m.col_row.resize(nnz);
    m.col_val.resize(nnz);
    std::vector<std::size_t> next(cstart.begin(), cstart.end() - 1);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = m.row_start[i]; k < m.row_start[i + 1]; ++k) {
            const std::size_t at = next[m.row_col[k]]++;
            m.col_row[at] = i;
            m.col_val[at] = m.row_val[k];
        }
    }
    return m;
}

// Largest eigenvalue of a symmetric positive semidefinite operator of order
// n (`apply(x, y)` sets y = A x), by kLanczosSteps Lanczos steps with full
// reorthogonalisation from fixed noise. Its Ritz values approach it from
// below, and fast: an eigenvalue 1 % above the rest stands out within a few
// dozen steps, where a power iteration needs hundreds. +inf when a product
// is not finite; NaN, with `stopped` set, when the caller asked to stop.
template <class Apply>
double lanczos_max(std::size_t n, Apply apply, bool& stopped) {
    const auto steps = static_cast<std::size_t>(std::min<std::size_t>(kLanczosSteps, n));
    std::vector<std::vector<double>> q;
    std::vector<double> alpha, beta;
    std::vector<double> v = fixed_noise(n, 0x9E3779B97F4A7C15ull), w(n);
    auto dot = [n](const std::vector<double>& a, const std::vector<double>& b) {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
        return s;
    };
    double norm = std::sqrt(dot(v, v));
    for (std::size_t k = 0; k < steps; ++k) {
        if (!poll_stop()) {
            stopped = true;
            return std::numeric_limits<double>::quiet_NaN();
        }
        for (double& e : v) e /= norm;
        q.push_back(v);
        apply(v, w);
        const double a = dot(v, w);
        if (!std::isfinite(a)) return kInf;
        alpha.push_back(a);
        // Twice against every earlier vector: the Ritz values then stay
        // those of the operator, without ghosts.
        for (int pass = 0; pass < 2; ++pass) {
            for (const std::vector<double>& u : q) {
                const double c = dot(u, w);
                for (std::size_t i = 0; i < n; ++i) w[i] -= c * u[i];
            }
        }
        norm = std::sqrt(dot(w, w));
        if (!(norm > 1e-12 * std::fabs(a))) break;
        beta.push_back(norm);
        std::swap(v, w);
    }
    // The largest eigenvalue of the tridiagonal matrix (alpha; beta) by
    // bisection on its Sturm counts.
    const std::size_t m = alpha.size();
    double hi = 0.0;
    for (std::size_t k = 0; k < m; ++k) {
        hi = std::max(hi, std::fabs(alpha[k]) + (k > 0 ? beta[k - 1] : 0.0) + (k + 1 < m ? beta[k] : 0.0));
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
    double lo = 0.0;
    for (int it = 0; it < 200 && hi - lo > 1e-15 * hi; ++it) {
        const double mid = 0.5 * (lo + hi);
        if (below(mid) == m) hi = mid;
        else lo = mid;
    }
    return hi;
}

// ||B^power||, the most `power` real steps can grow anything in the grid's
// 2-norm: the root of the largest eigenvalue of (B^power)^T B^power.
double power_norm(const WeightedStep& m, std::size_t power, bool& stopped) {
    const std::size_t n = m.n;
    const std::size_t chunks = std::max<std::size_t>(1, chunk_count(n));
    std::vector<double> t(n);
    // y = A x with A given by its rows (start, idx, val): B itself, or B^T
    // through the columns.
    auto product = [&](const std::vector<std::size_t>& start, const std::vector<std::size_t>& idx,
                       const std::vector<double>& val, const std::vector<double>& x, std::vector<double>& y) {
        run_chunked(n, chunks, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                double s = 0.0;
                for (std::size_t k = start[i]; k < start[i + 1]; ++k) s += val[k] * x[idx[k]];
                y[i] = s;
            }
        });
    };
    const double top = lanczos_max(n, [&](const std::vector<double>& x, std::vector<double>& y) {
        y = x;
        for (std::size_t p = 0; p < power; ++p) {
            product(m.row_start, m.row_col, m.row_val, y, t);
            std::swap(y, t);
        }
        for (std::size_t p = 0; p < power; ++p) {
            product(m.col_start, m.col_row, m.col_val, y, t);
            std::swap(y, t);
        }
    }, stopped);
    return std::sqrt(top);
}

// Whether one step of tau fails on noise: a coefficient the step refuses
// is the evolve's own error to report, before any judgement of the step.
template <class K>
bool one_step_fails(const K& kernel, double tau, bool& stopped) {
    std::vector<double> v(kernel.grid.n);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = (i % 3 == 0) ? 1.0 : -0.5;
    auto out = evolve_values(kernel, kernel.grid, std::move(v), tau, 1);
    if (!out && out.error().variant() == CoreError::Variant::CallbackFailed) stopped = true;
    return !out;
}

// A bound on how much `steps` real steps of tau can grow anything in the
// grid's 2-norm: ||B^steps|| itself up to kNormPower steps; beyond,
// ||B^m||^q ||B^r|| for steps = q m + r, m doubling from kNormPower while
// the bound exceeds the limit and the work stays within kNormWork (the
// transient growth at the ends is then counted fewer times). NaN where
// the step fails (its own error to report) or, with `stopped` set, the
// caller asked to stop; +inf where its matrix would hold more than
// kMatrixBudget entries, fails its check, or the work runs out (such a
// call is refused).
template <class K>
double real_call_norm(const K& kernel, const NodeRule& rule, double tau, std::size_t steps, bool& stopped) {
    auto unmeasured = [&] {
        return one_step_fails(stepping_kernel(kernel), tau, stopped) || stopped
                   ? std::numeric_limits<double>::quiet_NaN()
                   : kInf;
    };
    const auto pattern = read_pattern(kernel, rule, tau);
    if (!pattern) return unmeasured();
    const auto m = weighted_step(stepping_kernel(kernel), *pattern, tau, stopped);
    if (!m) return unmeasured();
    const double per_power = 2.0 * kLanczosSteps * static_cast<double>(m->row_val.size());
    auto affordable = [&](std::size_t power) { return per_power * static_cast<double>(power) <= kNormWork; };
    if (steps <= kNormPower) return affordable(steps) ? power_norm(*m, steps, stopped) : kInf;
    double bound = kInf;
    for (std::size_t p = kNormPower; p <= steps && affordable(p); p *= 2) {
        const double whole = power_norm(*m, p, stopped);
        // A run of the call's own steps that grows data past the limit is
        // refused whatever follows it.
        if (stopped || whole > kCallGrowthLimit) return whole;
        const std::size_t q = steps / p, rest = steps % p;
        bound = std::pow(whole, static_cast<double>(q));
        if (bound > kCallGrowthLimit) continue;
        if (rest != 0) bound *= power_norm(*m, rest, stopped);
        if (stopped || bound <= kCallGrowthLimit) break;
    }
    return stopped ? std::numeric_limits<double>::quiet_NaN() : bound;
}

// The screen's level for a step s in a call of duration t: a call of t/s
// steps passes while sup^(t/s) <= the call's growth limit.
double screen_level(double s, double t) { return std::exp(std::log(kCallGrowthLimit) * (s / t)); }

// The steps for a call of duration t that pass the screen, [0, tau_max]
// with tau_max < tau the largest found by bisection.
template <class K>
StepRange screened_range(const K& kernel, const NodeRule& rule, double tau, double t) {
    auto admissible = [&](double s) { return symbol_sup(kernel, rule, s, screen_level(s, t)) <= screen_level(s, t); };
    return StepRange{0.0, bisect_below(tau, admissible)};
}

// A call of t/tau steps of tau passes the screen while sup <= its level; one
// the screen flags passes when the real steps cannot grow anything by more
// than the same limit (real_call_norm). Any other is refused, unless its
// step fails on its own (its own error to report) or the caller asked to
// stop (`stopped`; the call then ends anyway, and the verdict is not one).
// `sup_at_tau` is the scan's value at tau when known (the scan is then
// skipped there), and receives it when the scan runs at tau to the end.
template <class K>
std::optional<StepRange> judged_call(const K& kernel, const NodeRule& rule, double tau, double t,
                                     std::optional<double>& sup_at_tau, bool& stopped) {
    if (!(tau > 0.0) || !std::isfinite(tau) || !(t >= tau) || !std::isfinite(t)) return std::nullopt;
    if (!sup_at_tau) sup_at_tau = symbol_sup(kernel, rule, tau);
    if (*sup_at_tau <= screen_level(tau, t)) return std::nullopt;
    const double growth = real_call_norm(kernel, rule, tau, steps_of(t, tau), stopped);
    if (stopped || std::isnan(growth) || growth <= kCallGrowthLimit) return std::nullopt;
    return screened_range(kernel, rule, tau, t);
}

// The verdicts of the variable-coefficient screens, kept per (coefficient
// functions, grid, rule, tau) for the calls that follow: an object evolved
// again with the same step pays for the scan once, and again with the same
// t not at all. The coefficient closures are held weakly, so an entry never
// outlives its object nor matches a later one built at the same address.
struct ScanKey {
    std::array<std::uintptr_t, 3> ids{};            // the three functions
    std::array<std::weak_ptr<const CoeffFn>, 3> owners;  // shared closures only
    bool shared = false;
    Grid1D<double> grid;
    int rule = 0;
    double tau = 0.0;

    bool matches(const ScanKey& o) const {
        if (ids != o.ids || shared != o.shared || rule != o.rule || !same_bits(tau, o.tau)) return false;
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

ScanKey scan_key(const CoeffSource& c, const Grid1D<double>& grid, int rule, double tau) {
    ScanKey k;
    k.grid = grid;
    k.rule = rule;
    k.tau = tau;
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

class ScanCache {
public:
    struct Entry {
        ScanKey key;
        std::optional<double> sup;                    // the scan at tau
        std::optional<double> t;                      // the last call length judged ...
        std::optional<StepRange> verdict;             // ... and its verdict
    };

    std::optional<Entry> find(const ScanKey& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Entry& e : entries_)
            if (e.key.matches(key)) return e;
        return std::nullopt;
    }

    void store(Entry e) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Entry& old : entries_) {
            if (old.key.matches(e.key)) {
                old = std::move(e);
                return;
            }
        }
        if (entries_.size() < kEntries) {
            entries_.push_back(std::move(e));
        } else {
            entries_[next_] = std::move(e);
            next_ = (next_ + 1) % kEntries;
        }
    }

private:
    static constexpr std::size_t kEntries = 64;
    std::mutex mutex_;
    std::vector<Entry> entries_;
    std::size_t next_ = 0;
};

ScanCache& scan_cache() {
    static ScanCache cache;
    return cache;
}

// The screen of one kernel through the cache: the verdict for (tau, t) if
// this exact call was judged before, else the call judged from the cached
// scan at tau (or a new one).
template <class K>
std::optional<StepRange> cached_violation(const K& kernel, const NodeRule& rule, const ScanKey& key, double tau,
                                          double t) {
    ScanCache::Entry e{key, std::nullopt, std::nullopt, std::nullopt};
    if (auto found = scan_cache().find(key)) {
        if (found->t && ScanKey::same_bits(*found->t, t)) return found->verdict;
        e.sup = found->sup;
    }
    bool stopped = false;
    e.verdict = judged_call(kernel, rule, tau, t, e.sup, stopped);
    if (stopped) return std::nullopt;  // no verdict to keep: the call is ending
    e.t = t;
    const std::optional<StepRange> verdict = e.verdict;
    scan_cache().store(std::move(e));
    return verdict;
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

}  // namespace

double heat4_symbol_sup(const Diffusion4thChernoff& kernel, double tau) {
    return symbol_sup(kernel, heat4_rule(kernel), tau);
}

double heat6_symbol_sup(const Diffusion6thChernoff& kernel, double tau) {
    return symbol_sup(kernel, heat6_rule(), tau);
}

namespace {

template <class K>
CoeffSource coefficient_of(const K& k) {
    return k.coef_override ? *k.coef_override : CoeffSource::plain(k.a, k.a_prime, k.a_double_prime);
}

}  // namespace

std::optional<StepRange> heat4_step_violation(const Diffusion4thChernoff& kernel, double tau, double t) {
    const int rule = kernel.use_octonic ? 41 : kernel.use_chebyshev ? 42 : 4;
    return cached_violation(kernel, heat4_rule(kernel), scan_key(coefficient_of(kernel), kernel.grid, rule, tau), tau,
                            t);
}

std::optional<StepRange> heat6_step_violation(const Diffusion6thChernoff& kernel, double tau, double t) {
    return cached_violation(kernel, heat6_rule(), scan_key(coefficient_of(kernel), kernel.grid, 6, tau), tau, t);
}

std::optional<StepRange> heat2_step_violation(const DiffusionChernoff& kernel, double tau, double t) {
    // A constant coefficient skips the correction: a convex combination.
    if (kernel.coef.constant_value()) return std::nullopt;
    return cached_violation(Heat2View{kernel, kernel.grid}, heat2_rule(), scan_key(kernel.coef, kernel.grid, 2, tau),
                            tau, t);
}

double heat2_symbol_sup(const DiffusionChernoff& kernel, double tau) {
    // A constant coefficient skips the correction: a convex combination.
    if (kernel.coef.constant_value()) return 0.0;
    return symbol_sup(Heat2View{kernel, kernel.grid}, heat2_rule(), tau);
}

std::optional<StepRange> step_violation(const DiffusionChernoff& k, double tau, double t) {
    return heat2_step_violation(k, tau, t);
}
std::optional<StepRange> step_violation(const Diffusion4thChernoff& k, double tau, double t) {
    return heat4_step_violation(k, tau, t);
}
std::optional<StepRange> step_violation(const Diffusion6thChernoff& k, double tau, double t) {
    return heat6_step_violation(k, tau, t);
}

namespace {
std::optional<StepRange> outside(const StepRange& r, double tau) {
    return r.contains(tau) ? std::nullopt : std::optional<StepRange>(r);
}
constexpr const char* kRungAmplifies =
    "the Richardson combination amplifies the highest grid frequencies there, so rounding noise grows "
    "geometrically with the step count";
constexpr const char* kCorrectionAmplifies =
    "the derivative correction of the variable-coefficient step amplifies some grid frequencies at larger steps, "
    "where the exact evolution damps them all: over t/tau steps they could grow by more than 1 %";
constexpr const char* kChebyshevAmplifies =
    "the degree-64 Chebyshev resampling of the inner heat4 sweeps is not the identity, and the Richardson "
    "ladder amplifies its error unless every step diffuses it away";
}  // namespace

std::optional<StepRange> step_violation(const Diffusion4thZeta4Chernoff& k, double tau) {
    return outside(zeta_stable_steps(k.inner, 4), tau);
}
std::optional<StepRange> step_violation(const Diffusion6thZeta6Chernoff& k, double tau) {
    return outside(zeta_stable_steps(k.zeta4.inner, 6), tau);
}
std::optional<StepRange> step_violation(const Diffusion8thZeta8Chernoff& k, double tau) {
    return outside(zeta_stable_steps(k.inner(), 8), tau);
}

const char* instability_reason(const DiffusionChernoff&) { return kCorrectionAmplifies; }
const char* instability_reason(const Diffusion4thChernoff&) { return kCorrectionAmplifies; }
const char* instability_reason(const Diffusion6thChernoff&) { return kCorrectionAmplifies; }
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
