#include "core/graph/rayleigh.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "core/foundation/numeric.hpp"

namespace quorvane {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();

// Entries of splitmix64 mapped to [-1, 1): no structure a graph's node
// numbering could make orthogonal to its top eigenvector.
std::vector<double> start_vector(std::uint64_t n) {
    std::vector<double> x(n);
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (double& v : x) v = static_cast<double>(splitmix64_next(state) >> 11) * 0x1.0p-52 - 1.0;
    return x;
}

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double s = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}

// The operator the steps work with: L / spectral_bound, or the symmetric
// part of that for caller arrays. The scale keeps every vector and sum far
// from overflow whatever the weights; the Ritz values are scaled back.
template <class F>
class ScaledOperator {
public:
    // `transposed` is the work vector of the symmetric part.
    ScaledOperator(const Laplacian<F>& lap, std::vector<double>& transposed)
        : lap_(lap),
          symmetrize_(lap.kind == LaplacianKind::GeneralSymmetric),
          scale_(static_cast<double>(lap.spectral_bound)),
          transposed_(transposed) {
        if (symmetrize_) transposed_.resize(lap.n_nodes);
    }

    // w = A u - beta v_prev for u = c v and A = L / scale, or
    // ((L + L') / 2) / scale, with alpha = u'w and ww = w'w, in one sweep;
    // c scales a v that is not of unit norm (c = 1 leaves the arithmetic of
    // a unit v as it is). False when L u and L' u disagree beyond rounding:
    // L is not symmetric.
    bool step(const std::vector<double>& v, double c, const std::vector<double>& v_prev, double beta,
              std::vector<double>& w, double& alpha, double& ww) {
        return sweep<false, false>(v, c, v_prev, beta, w, alpha, ww, nullptr);
    }

    // w = A u for u = c v, alpha = u'w and ww = w'w, the rows taken from the
    // last: a sample just assembled still has its last rows in cache, and
    // the sweep leaves its first ones there for the products that follow.
    // With `ends` (n values), also every row's Gershgorin end, the sum of
    // its entries' magnitudes, in L's own units: the values are read anyway.
    bool product_from_end(const std::vector<double>& v, double c, std::vector<double>& w, double& alpha,
                          double& ww, double* ends = nullptr) {
        if (ends) return sweep<true, true>(v, c, v, 0.0, w, alpha, ww, ends);
        return sweep<true, false>(v, c, v, 0.0, w, alpha, ww, nullptr);
    }

private:
    template <bool FromEnd, bool Ends>
    bool sweep(const std::vector<double>& v, double c, const std::vector<double>& v_prev, double beta,
               std::vector<double>& w, double& alpha, double& ww, double* ends) {
        const double inv = c * (1.0 / scale_);
        const std::uint64_t n = lap_.n_nodes;
        const std::uint64_t* row = lap_.row_ptr.data();
        const std::uint32_t* col = lap_.col_idx.data();
        const F* vals = lap_.vals.data();
        const double* x = v.data();
        const double* x_prev = v_prev.data();
        double* y = w.data();
        auto at = [n](std::uint64_t k) { return FromEnd ? n - 1 - k : k; };
        // Local sums: a store to w could otherwise be taken for one to them.
        double vw = 0.0, yy = 0.0;
        if (!symmetrize_) {
            for (std::uint64_t k = 0; k < n; ++k) {
                const std::uint64_t i = at(k);
                double sum = 0.0, mag = 0.0;
                for (std::uint64_t e = row[i]; e < row[i + 1]; ++e) {
                    sum += static_cast<double>(vals[e]) * x[col[e]];
                    if constexpr (Ends) mag += std::fabs(static_cast<double>(vals[e]));
                }
                if constexpr (Ends) ends[i] = mag;
                const double yi = sum * inv - beta * x_prev[i];
                y[i] = yi;
                vw += x[i] * yi;
                yy += yi * yi;
            }
            alpha = vw * c;
            ww = yy;
            return true;
        }
        double* tr = transposed_.data();
        std::fill(transposed_.begin(), transposed_.end(), 0.0);
        for (std::uint64_t k = 0; k < n; ++k) {
            const std::uint64_t i = at(k);
            double sum = 0.0, mag = 0.0;
            for (std::uint64_t e = row[i]; e < row[i + 1]; ++e) {
                const double a = static_cast<double>(vals[e]);
                sum += a * x[col[e]];
                tr[col[e]] += a * x[i];
                if constexpr (Ends) mag += std::fabs(a);
            }
            if constexpr (Ends) ends[i] = mag;
            y[i] = sum * inv;
        }
        double diff = 0.0;
        for (std::uint64_t k = 0; k < n; ++k) {
            const std::uint64_t i = at(k);
            const double t = tr[i] * inv;
            diff += (y[i] - t) * (y[i] - t);
            const double yi = 0.5 * (y[i] + t) - beta * x_prev[i];
            y[i] = yi;
            vw += x[i] * yi;
            yy += yi * yi;
        }
        alpha = vw * c;
        ww = yy;
        // u is a unit vector.
        return !(diff > kSymmetryTolerance * kSymmetryTolerance);
    }

    const Laplacian<F>& lap_;
    bool symmetrize_;
    double scale_;
    std::vector<double>& transposed_;
};

// The largest eigenvalue of the symmetric tridiagonal T (diagonal a,
// off-diagonal b) and, when asked for, its unit eigenvector.
struct TopPair {
    double value = 0.0;
    std::vector<double> vector;
    bool has_vector = false;
};

// Number of eigenvalues of T below x (Sturm sequence of the LDL' pivots).
int count_below(const std::vector<double>& a, const std::vector<double>& b, double x) {
    int count = 0;
    double d = 1.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double off = i == 0 ? 0.0 : b[i - 1] * b[i - 1] / d;
        d = (a[i] - x) - off;
        if (d == 0.0) d = -kEps * (std::fabs(a[i]) + std::fabs(x) + 1e-300);
        if (d < 0.0) ++count;
    }
    return count;
}

TopPair top_of_tridiagonal(const std::vector<double>& a, const std::vector<double>& b, bool with_vector) {
    const std::size_t k = a.size();
    TopPair top;
    top.vector.assign(with_vector ? k : 0, 0.0);
    if (k == 1) {
        top.value = a[0];
        if (with_vector) top.vector[0] = 1.0;
        top.has_vector = with_vector;
        return top;
    }
    // The largest eigenvalue lies between the largest diagonal entry and the
    // largest Gershgorin row sum; bisection keeps the lower end, a value
    // with an eigenvalue at or above it.
    double lo = a[0], hi = a[0];
    for (std::size_t i = 0; i < k; ++i) {
        const double radius = (i > 0 ? std::fabs(b[i - 1]) : 0.0) + (i + 1 < k ? std::fabs(b[i]) : 0.0);
        lo = std::max(lo, a[i]);
        hi = std::max(hi, a[i] + radius);
    }
    const int n = static_cast<int>(k);
    for (int it = 0; it < 200 && hi - lo > 4.0 * kEps * std::max(std::fabs(lo), std::fabs(hi)); ++it) {
        const double mid = 0.5 * (lo + hi);
        if (mid <= lo || mid >= hi) break;
        if (count_below(a, b, mid) == n) hi = mid;
        else lo = mid;
    }
    top.value = lo;
    if (!with_vector) return top;
    // Inverse iteration with a shift just above the top eigenvalue: sI - T
    // is then positive definite, so its LDL' needs no pivoting.
    const double shift = hi + 1e-12 * std::max({std::fabs(lo), std::fabs(hi), 1e-300});
    std::vector<double> d(k), l(k, 0.0), z(k, 1.0);
    d[0] = shift - a[0];
    for (std::size_t i = 1; i < k; ++i) {
        l[i] = -b[i - 1] / d[i - 1];
        d[i] = std::max((shift - a[i]) + l[i] * b[i - 1], 1e-300);
    }
    for (int sweep = 0; sweep < 3; ++sweep) {
        for (std::size_t i = 1; i < k; ++i) z[i] -= l[i] * z[i - 1];
        for (std::size_t i = 0; i < k; ++i) z[i] /= d[i];
        for (std::size_t i = k - 1; i-- > 0;) z[i] -= l[i + 1] * z[i + 1];
        double norm = 0.0;
        for (const double v : z) norm = std::max(norm, std::fabs(v));
        if (!(norm > 0.0) || !std::isfinite(norm)) return top;  // no vector: a zero start, replaced by the fixed one
        for (double& v : z) v /= norm;
    }
    double norm2 = 0.0;
    for (const double v : z) norm2 += v * v;
    const double inv = 1.0 / std::sqrt(norm2);
    for (std::size_t i = 0; i < k; ++i) top.vector[i] = z[i] * inv;
    top.has_vector = true;
    return top;
}

// A Lanczos run in the units of the scaled operator: v the next unit
// vector, v_prev the one before, T's diagonal alpha and off-diagonal beta.
struct LanczosRun {
    std::vector<double> v, v_prev, w;
    std::vector<double> alpha, beta;
    double beta_prev = 0.0;
    // The norm of the last step's remainder, and T's top pair.
    double last_beta = 0.0;
    TopPair top;
    int steps = 0;
    int products = 0;
    // The Krylov space closed, or a step was not finite: no further steps.
    bool ended = false;

    // A run from the vector in v (the fixed start when v is zero or not
    // finite), normalized.
    void start() {
        const std::uint64_t n = v.size();
        double vv = dot(v, v);
        if (!(vv > 0.0) || !std::isfinite(vv)) {
            v = start_vector(n);
            vv = dot(v, v);
        }
        const double inv_norm = 1.0 / std::sqrt(vv);
        for (double& e : v) e *= inv_norm;
        v_prev.assign(n, 0.0);
        w.resize(n);
        alpha.clear();
        beta.clear();
        beta_prev = last_beta = 0.0;
        top = TopPair{};
        steps = products = 0;
        ended = false;
    }

    // ||L y - theta y|| of the Ritz pair, in the operator's units: the last
    // remainder times the last component of T's top eigenvector (the whole
    // remainder when that vector was not found).
    double residual() const {
        return top.has_vector && !top.vector.empty() ? last_beta * std::fabs(top.vector.back()) : last_beta;
    }
};

// Up to `steps` further steps of the run; after each, T's top pair (with its
// vector when with_vector), and the run stops early where stop() holds.
// `basis`, when given, receives the vector of every step. False when the
// operator turned out not symmetric.
template <class F, class Stop>
bool advance(ScaledOperator<F>& op, LanczosRun& r, int steps, bool with_vector,
             std::vector<std::vector<double>>* basis, Stop&& stop) {
    const std::size_t n = r.v.size();
    for (int it = 0; it < steps && !r.ended; ++it) {
        if (basis) basis->push_back(r.v);
        double a = 0.0, ww = 0.0;
        ++r.products;
        if (!op.step(r.v, 1.0, r.v_prev, r.beta_prev, r.w, a, ww)) return false;
        double bb = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            r.w[i] -= a * r.v[i];
            bb += r.w[i] * r.w[i];
        }
        const double b = std::sqrt(bb);
        if (!std::isfinite(a) || !std::isfinite(b)) {
            r.ended = true;
            break;
        }
        r.alpha.push_back(a);
        r.top = top_of_tridiagonal(r.alpha, r.beta, with_vector);
        r.last_beta = b;
        ++r.steps;
        // An invariant subspace: T holds eigenvalues of L, the estimate is
        // exact up to rounding.
        if (b <= 64.0 * kEps * (std::fabs(a) + r.beta_prev)) {
            r.ended = true;
            break;
        }
        r.beta.push_back(b);
        r.beta_prev = b;
        const double inv_b = 1.0 / b;
        for (std::size_t i = 0; i < n; ++i) r.v_prev[i] = r.w[i] * inv_b;
        std::swap(r.v, r.v_prev);
        if (stop()) break;
    }
    return true;
}

// sum_j s_j basis_j: the Ritz vector of T's eigenvector s.
// Each entry sums its terms in the order of j, in one sweep over the basis.
std::vector<double> combine(const std::vector<std::vector<double>>& basis, const std::vector<double>& s,
                            std::uint64_t n) {
    std::vector<double> y(n, 0.0);
    for (std::uint64_t i = 0; i < n; ++i) {
        double sum = 0.0;
        for (std::size_t j = 0; j < s.size(); ++j) sum += s[j] * basis[j][i];
        y[i] = sum;
    }
    return y;
}

// Every stored entry is zero (a NaN row never raises the Gershgorin bound,
// and the first product then reports it).
template <class F>
bool all_zero(const Laplacian<F>& lap) {
    bool zero = true;
    for (const F v : lap.vals) zero = zero && v == F(0);
    return zero;
}

// The kinds assembled from a graph are positive semi-definite: their top
// eigenvalue is their 2-norm, which ||L x|| / ||x|| bounds from below.
bool semi_definite(LaplacianKind kind) { return kind != LaplacianKind::GeneralSymmetric; }

}  // namespace

template <class F>
std::optional<RitzEstimate> largest_ritz_value(const Laplacian<F>& lap, int max_iterations, std::vector<double>* x) {
    const std::uint64_t n = lap.n_nodes;
    // Column indices below n are the Laplacian's invariant (from_graph,
    // from_csr_parts).
    if (n == 0 || lap.row_ptr.size() != n + 1 || max_iterations < 1) return std::nullopt;
    const double scale = static_cast<double>(lap.spectral_bound);
    if (!std::isfinite(scale)) return std::nullopt;
    // Every quotient is 0.
    if (scale == 0.0) {
        if (!all_zero(lap)) return std::nullopt;
        if (x) x->assign(n, 1.0 / std::sqrt(static_cast<double>(n)));
        return RitzEstimate{0.0};
    }
    std::vector<double> transposed;
    ScaledOperator<F> op(lap, transposed);
    LanczosRun r;
    r.v = x && x->size() == n ? *x : start_vector(n);
    r.start();
    std::vector<std::vector<double>> basis;
    if (!advance(op, r, max_iterations, x != nullptr, x ? &basis : nullptr, [] { return false; })) return std::nullopt;
    if (r.steps == 0) return std::nullopt;
    if (x) *x = combine(basis, r.top.vector, n);
    return RitzEstimate{r.top.value * scale};
}

struct SpectrumProbe::Run : LanczosRun {};

SpectrumProbe::SpectrumProbe(int cold_steps, int refine_steps)
    : cold_steps_(std::max(cold_steps, 1)), refine_left_(std::max(refine_steps, 0)), run_(std::make_unique<Run>()) {}

SpectrumProbe::~SpectrumProbe() = default;

bool SpectrumProbe::unseen_hot(std::size_t i, double watch) const {
    return ends_[i] >= watch && !(ends_[i] <= kRegrowth * seen_[i]);
}

bool SpectrumProbe::any_unseen_hot(double watch) {
    if (seen_.size() != ends_.size()) seen_.assign(ends_.size(), 0.0);
    for (std::size_t i = 0; i < ends_.size(); ++i) {
        if (unseen_hot(i, watch)) return true;
    }
    return false;
}

template <class F>
bool SpectrumProbe::scan_rows(const Laplacian<F>& lap, double watch) {
    const std::uint64_t n = lap.n_nodes;
    // The spectral bound is the largest end: below the level, no row is hot.
    if (!(static_cast<double>(lap.spectral_bound) >= watch)) {
        ends_of_ = nullptr;
        return false;
    }
    if (ends_of_ != static_cast<const void*>(&lap)) {
        ends_.resize(n);
        for (std::uint64_t i = 0; i < n; ++i) {
            double sum = 0.0;
            for (std::uint64_t k = lap.row_ptr[i]; k < lap.row_ptr[i + 1]; ++k) {
                sum += std::fabs(static_cast<double>(lap.vals[k]));
            }
            ends_[i] = sum;
        }
        ends_of_ = &lap;
    }
    return any_unseen_hot(watch);
}

template <class F>
bool SpectrumProbe::has_unseen_hot_rows(const Laplacian<F>& lap, double watch) {
    if (lap.n_nodes == 0 || lap.row_ptr.size() != lap.n_nodes + 1) return false;
    const bool unseen = scan_rows(lap, watch);
    // Kept only for the probe of this L that follows.
    if (!unseen) ends_of_ = nullptr;
    return unseen;
}

template <class F>
std::optional<SpectrumEstimate> SpectrumProbe::probe(const Laplacian<F>& lap, double watch) {
    last_.reset();
    live_ = false;
    if (pending_) {
        std::swap(x_, y_);
        x_norm2_ = y_norm2_;
        pending_ = false;
    }
    // The scan of a has_unseen_hot_rows call serves this probe only.
    struct Forget {
        const void*& of;
        ~Forget() { of = nullptr; }
    } forget{ends_of_};
    const std::uint64_t n = lap.n_nodes;
    if (n == 0 || lap.row_ptr.size() != n + 1) return std::nullopt;
    const double scale = static_cast<double>(lap.spectral_bound);
    if (!std::isfinite(scale)) return std::nullopt;
    if (scale == 0.0) {
        if (!all_zero(lap)) return std::nullopt;
        return last_ = SpectrumEstimate{};
    }
    ScaledOperator<F> op(lap, transposed_);
    const bool carried = x_.size() == n && x_norm2_ > 0.0 && std::isfinite(x_norm2_);
    // The rows' ends: scanned already (has_unseen_hot_rows), in a pass of
    // their own for a first probe, else read by the single product below.
    const bool scanned = ends_of_ == static_cast<const void*>(&lap);
    bool unseen = (scanned || !carried) && scan_rows(lap, watch);
    // One product with the unit x / ||x||: its quotient a = x'Lx, the
    // squared norm ww = x'L^2 x of the product, and ww - a^2 the squared
    // residual. For a semi-definite L, ||L x|| and ww / a (the quotient of
    // L^1/2 x, at least ||L x||) are lower bounds too; the latter only where
    // a >= ||L x|| / 2: a kernel-heavy x with a tiny a would carry a's
    // rounding into the quotient, where a valid bound could be refused.
    double a = 0.0, ww = 0.0;
    if (carried && !unseen) {
        y_.resize(n);
        const bool ends = scale >= watch && !scanned;
        if (ends) ends_.resize(n);
        if (!op.product_from_end(x_, 1.0 / std::sqrt(x_norm2_), y_, a, ww, ends ? ends_.data() : nullptr)) {
            return std::nullopt;
        }
        if (ends) {
            ends_of_ = &lap;
            unseen = any_unseen_hot(watch);
        }
    }
    if (!carried || unseen) {
        Run& r = *run_;
        r.v = start_vector(n);
        // A carried vector reaches this run only with unseen hot rows.
        if (unseen) {
            // Weight on every node (the fixed start), on the top the last
            // probes leaned on, and on the hot rows no wide run has seen;
            // each part of unit norm.
            const double inv_r = 1.0 / std::sqrt(dot(r.v, r.v));
            const double inv_x = carried ? 1.0 / std::sqrt(x_norm2_) : 0.0;
            double hot2 = 0.0;
            for (std::uint64_t i = 0; i < n; ++i) hot2 += unseen_hot(i, watch) ? r.v[i] * r.v[i] : 0.0;
            const double inv_h = hot2 > 0.0 ? 1.0 / std::sqrt(hot2) : 0.0;
            for (std::uint64_t i = 0; i < n; ++i) {
                const double e = r.v[i];
                double v = e * inv_r;
                if (carried) v += x_[i] * inv_x;
                if (unseen_hot(i, watch)) v += e * inv_h;
                r.v[i] = v;
            }
        }
        r.start();
        std::vector<std::vector<double>> basis;
        if (!advance(op, r, cold_steps_, true, &basis, [] { return false; }) || r.steps == 0) return std::nullopt;
        x_ = combine(basis, r.top.vector, n);
        x_norm2_ = dot(x_, x_);
        live_ = true;
        if (ends_of_ == static_cast<const void*>(&lap)) {
            for (std::uint64_t i = 0; i < n; ++i) seen_[i] = std::max(seen_[i], ends_[i]);
        }
        return last_ = SpectrumEstimate{r.top.value * scale, 2.0 * r.residual() * scale};
    }
    if (!std::isfinite(a) || !std::isfinite(ww)) return std::nullopt;
    const bool psd = semi_definite(lap.kind);
    if (psd) {
        pending_ = true;
        y_norm2_ = ww;
    }
    const double norm = std::sqrt(ww);
    const double top = !psd ? a : a >= 0.5 * norm && a > 0.0 ? ww / a : norm;
    return last_ = SpectrumEstimate{top * scale, std::sqrt(std::max(ww - a * a, 0.0)) * scale};
}

template <class F>
std::optional<SpectrumEstimate> SpectrumProbe::refine_impl(const Laplacian<F>& lap, int min_steps,
                                                           const EstimateTest& settled) {
    if (!last_ || refine_left_ <= 0 || lap.n_nodes != x_.size() || !(lap.spectral_bound > F(0))) return last_;
    const double scale = static_cast<double>(lap.spectral_bound);
    ScaledOperator<F> op(lap, transposed_);
    Run& r = *run_;
    if (!live_) {
        // From the vector of the single-product probe (its power step waits
        // in y_).
        r.v.assign(x_.begin(), x_.end());
        r.start();
        live_ = true;
    }
    // The single product's bound may lie above the first Ritz values of
    // the run, and then stands.
    const double floor = last_->lower;
    auto estimate = [&] { return SpectrumEstimate{std::max(floor, r.top.value * scale), 2.0 * r.residual() * scale}; };
    const int before = r.products;
    int taken = 0;
    const bool symmetric = advance(op, r, refine_left_, true, nullptr, [&] {
        ++taken;
        return taken >= min_steps && settled(estimate());
    });
    refine_left_ -= r.products - before;
    if (!symmetric) return last_ = std::nullopt;
    if (r.steps > 0) last_ = estimate();
    return last_;
}

template <class F>
std::optional<double> largest_eigenvalue_lower_bound(const Laplacian<F>& lap, std::vector<double>& x, int iterations) {
    const std::optional<RitzEstimate> e =
        largest_ritz_value(lap, iterations, &x);
    if (!e) return std::nullopt;
    return e->value;
}

template <class F>
std::optional<double> largest_eigenvalue_lower_bound(const Laplacian<F>& lap) {
    const std::optional<RitzEstimate> e =
        largest_ritz_value(lap, kRayleighIterations);
    if (!e) return std::nullopt;
    return e->value;
}

template <class F>
double norm_growth_rate(const Laplacian<F>& lap) {
    if (lap.kind != LaplacianKind::GeneralSymmetric) return 0.0;
    const std::uint64_t n = lap.n_nodes;
    if (lap.row_ptr.size() != n + 1) return 0.0;
    // Row i of (L + L')/2 has diagonal L_ii and off-diagonal mass at most
    // half of row i's plus half of column i's: each off-diagonal entry takes
    // half its size from both of its nodes.
    std::vector<double> margin(n, 0.0);
    for (std::uint64_t i = 0; i < n; ++i) {
        for (std::uint64_t k = lap.row_ptr[i]; k < lap.row_ptr[i + 1]; ++k) {
            const std::uint32_t j = lap.col_idx[k];
            const double v = static_cast<double>(lap.vals[k]);
            if (j >= n) continue;
            if (j == i) {
                margin[i] += v;
            } else {
                margin[i] -= 0.5 * std::fabs(v);
                margin[j] -= 0.5 * std::fabs(v);
            }
        }
    }
    double low = 0.0;
    for (const double m : margin) low = std::min(low, m);
    return std::isfinite(low) ? -low : std::numeric_limits<double>::infinity();
}

template std::optional<RitzEstimate> largest_ritz_value<double>(const Laplacian<double>&, int, std::vector<double>*);
template std::optional<RitzEstimate> largest_ritz_value<float>(const Laplacian<float>&, int, std::vector<double>*);
template std::optional<double> largest_eigenvalue_lower_bound<double>(const Laplacian<double>&);
template std::optional<double> largest_eigenvalue_lower_bound<float>(const Laplacian<float>&);
template std::optional<double> largest_eigenvalue_lower_bound<double>(const Laplacian<double>&, std::vector<double>&,
                                                                      int);
template std::optional<double> largest_eigenvalue_lower_bound<float>(const Laplacian<float>&, std::vector<double>&,
                                                                     int);
template std::optional<SpectrumEstimate> SpectrumProbe::probe<double>(const Laplacian<double>&, double);
template std::optional<SpectrumEstimate> SpectrumProbe::probe<float>(const Laplacian<float>&, double);
template bool SpectrumProbe::has_unseen_hot_rows<double>(const Laplacian<double>&, double);
template bool SpectrumProbe::has_unseen_hot_rows<float>(const Laplacian<float>&, double);
template std::optional<SpectrumEstimate> SpectrumProbe::refine_impl<double>(const Laplacian<double>&, int,
                                                                            const EstimateTest&);
template std::optional<SpectrumEstimate> SpectrumProbe::refine_impl<float>(const Laplacian<float>&, int,
                                                                           const EstimateTest&);
template double norm_growth_rate<double>(const Laplacian<double>&);
template double norm_growth_rate<float>(const Laplacian<float>&);

}  // namespace quorvane
