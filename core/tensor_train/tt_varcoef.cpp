#include "core/tensor_train/tt_varcoef.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <span>

#include "core/foundation/dense_eigenvalues.hpp"
#include "core/foundation/stop.hpp"
#include "core/tensor_train/tt_drift_spectral.hpp"
#include "core/tensor_train/tt_varcoef_spectral.hpp"

namespace quorvane {

namespace {

double mean_of(const std::vector<double>& a, std::size_t n) {
    double sum = 0.0;
    for (double x : a) sum += x;
    return sum / static_cast<double>(n);
}

// The node spacing of an axis of n >= 2 nodes over `domain`.
double axis_spacing(std::size_t n, std::pair<double, double> domain) {
    return (domain.second - domain.first) / (static_cast<double>(n) - 1.0);
}

bool all_equal(const std::vector<double>& x) {
    return std::all_of(x.begin(), x.end(), [&](double y) { return y == x.front(); });
}

// The real part an eigenvalue of L_h computed by QR may have from rounding
// alone. The QR is exact for some L_h + E with |E| ~ n eps |L_h|; a simple
// eigenvalue moves by |E| times its condition, but a double defective one
// (the central drift makes them at 0 wherever b vanishes at a node and the
// diffusion is below rounding there) splits into a pair +-sqrt(|E| |L_h|),
// half of it to the right: sqrt(n eps) |L_h|. Computed abscissas of operators
// whose exact ones are 0 reach 1e-8 |L_h| that way (n up to 200), 16 times that
// bound stays clear of them; a growth slower than the margin takes 1e5 to
// 1e6 / |L_h| (n = 512 to 16) to show by a factor e.
double growth_rounding(std::size_t n, double norm) {
    return 16.0 * std::sqrt(static_cast<double>(n) * std::numeric_limits<double>::epsilon()) * norm;
}

}  // namespace

Expected<VarCoefTt> VarCoefTt::make(std::vector<std::vector<double>> a_axis, std::vector<std::vector<double>> b_axis,
                                    std::vector<std::vector<double>> v_axis,
                                    std::vector<std::pair<double, double>> domain, double eps_round) {
    const std::size_t d = a_axis.size();
    if (d == 0) return fail(CoreError::var_coef_out_of_class("d must be >= 1"));
    if (b_axis.size() != d || v_axis.size() != d || domain.size() != d) {
        return fail(CoreError::var_coef_out_of_class("a_axis, b_axis, v_axis, domain must all have length d"));
    }
    for (std::size_t j = 0; j < d; ++j) {
        const std::size_t n = a_axis[j].size();
        if (n < 2) return fail(CoreError::var_coef_out_of_class("n_j must be >= 2"));
        if (b_axis[j].size() != n) {
            return fail(CoreError::var_coef_out_of_class("b_axis[j] length must equal a_axis[j] length"));
        }
        if (!v_axis[j].empty() && v_axis[j].size() != n) {
            return fail(CoreError::var_coef_out_of_class("v_axis[j] length must equal a_axis[j] length or be empty"));
        }
        for (double a : a_axis[j]) {
            if (!(a > 0.0)) return fail(CoreError::var_coef_out_of_class("a_axis[j][i] must be > 0 (parabolicity)"));
        }
    }
    std::optional<GrowingMode> growing;
    for (std::size_t j = 0; j < d && !growing; ++j) growing = judge_axis(a_axis[j], b_axis[j], domain[j], j);
    return VarCoefTt{std::move(a_axis), std::move(b_axis), std::move(v_axis), std::move(domain), eps_round, growing};
}

std::optional<VarCoefTt::GrowingMode> VarCoefTt::judge_axis(const std::vector<double>& a, const std::vector<double>& b,
                                                            std::pair<double, double> domain, std::size_t axis) {
    const std::size_t n = a.size();
    const double h = axis_spacing(n, domain);
    const PeriodicTridiag op = axis_operator(a, b, h);
    double norm = 0.0;
    bool couplings_nonnegative = true;
    for (std::size_t i = 0; i < n; ++i) {
        norm = std::max(norm, (std::abs(op.sub[i]) + std::abs(op.diag[i])) + std::abs(op.sup[i]));
        // With two nodes both neighbours are the other node: the drift cancels.
        const bool ok = n == 2 ? op.sub[i] + op.sup[i] >= 0.0 : op.sub[i] >= 0.0 && op.sup[i] >= 0.0;
        couplings_nonnegative = couplings_nonnegative && ok;
    }
    // An operator that overflows makes the steps non-finite, which they refuse
    // themselves (NanInf).
    if (!std::isfinite(norm) || norm == 0.0) return std::nullopt;
    // Nonnegative couplings and zero row sums: every Gershgorin disc lies in
    // Re <= 0 (its row sum, zero up to rounding). A drift the same at every
    // node: L_h = S + b D with S the symmetric diffusion (<= 0) and D the
    // skew central difference, so Re <= 0 again.
    if (couplings_nonnegative || all_equal(b)) return std::nullopt;
    if (n > kMaxJudgedNodes) return std::nullopt;
    std::vector<double> dense(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        dense[i * n + (i == 0 ? n - 1 : i - 1)] += op.sub[i];
        dense[i * n + i] += op.diag[i];
        dense[i * n + (i + 1 == n ? 0 : i + 1)] += op.sup[i];
    }
    const std::optional<std::vector<std::complex<double>>> eig = dense_eigenvalues(dense, n);
    // No verdict without converged eigenvalues: what runs is not refused.
    if (!eig) return std::nullopt;
    std::complex<double> top = eig->front();
    for (const std::complex<double>& z : *eig) {
        if (z.real() > top.real() || (z.real() == top.real() && z.imag() > top.imag())) top = z;
    }
    if (!(top.real() > growth_rounding(n, norm))) return std::nullopt;

    GrowingMode mode;
    mode.axis = axis;
    mode.rate = top.real();
    std::vector<double> peclet(n), weight(n, 1.0);
    double bmax = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        peclet[i] = (std::abs(b[i]) * h) / (a[i] + a[i]);
        bmax = std::max(bmax, std::abs(b[i]));
    }
    mode.diffusion_bound = (bmax * h) * 0.5;
    auto prev = [&](std::size_t i) { return i == 0 ? n - 1 : i - 1; };
    auto next = [&](std::size_t i) { return i + 1 == n ? 0 : i + 1; };
    // Signs compared, not products: b of 1e-200 beside -1e-200 changes sign too.
    auto opposite = [](double x, double y) { return (x < 0.0 && y > 0.0) || (x > 0.0 && y < 0.0); };
    auto changes_sign = [&](std::size_t i) { return opposite(b[i], b[prev(i)]) || opposite(b[i], b[next(i)]); };
    if (std::optional<std::vector<std::complex<double>>> vec = dense_eigenvector(dense, n, top)) {
        for (std::size_t i = 0; i < n; ++i) weight[i] = std::abs((*vec)[i]);
    } else {
        weight = peclet;  // where the drift is least resolved
    }
    std::size_t peak = 0;
    for (std::size_t i = 1; i < n; ++i) {
        if (weight[i] > weight[peak]) peak = i;
    }
    // The growth comes from central differences reading a drift that changes
    // sign (or falls steeply) across an under-resolved cell; the mode peaks
    // there or next to it.
    std::size_t node = peak;
    bool found = false;
    for (std::size_t i : {prev(peak), peak, next(peak)}) {
        if (changes_sign(i) && peclet[i] > 1.0 && (!found || weight[i] > weight[node])) {
            node = i;
            found = true;
        }
    }
    mode.node = node;
    mode.x = domain.first + static_cast<double>(node) * h;
    mode.peclet = peclet[node];
    mode.sign_change = changes_sign(node);
    return mode;
}

double VarCoefTt::spacing(std::size_t j) const {
    const std::size_t n = a_axis[j].size();
    return n >= 2 ? axis_spacing(n, domain[j]) : 1.0;
}

Status VarCoefTt::apply_axis(TtCore& core, std::size_t j, double dt) const {
    if (core.r_left == 0 || core.r_right == 0) return {};
    const std::size_t n = core.n;
    if (n != a_axis[j].size()) internal_fault("VarCoefTt::apply_axis: mode size differs from the coefficient samples");
    const double h = spacing(j);
    const double abar = mean_of(a_axis[j], n);
    const PeriodicTridiag op = residual_operator(a_axis[j], b_axis[j], v_axis[j], abar, h);
    SpectralHeatStep spectral(n, h, abar, dt);
    const double delta = dt * 0.5;
    std::vector<double> fibre(n), r, q;
    const std::size_t rr = core.r_right;
    for (std::size_t a = 0; a < core.r_left; ++a) {
        for (std::size_t b = 0; b < rr; ++b) {
            for (std::size_t i = 0; i < n; ++i) fibre[i] = core.data[(a * n + i) * rr + b];
            periodic_tridiag_apply(op, fibre, delta, r, q);
            if (Status st = spectral.apply(fibre); !st) return st;
            periodic_tridiag_apply(op, fibre, delta, r, q);
            for (std::size_t i = 0; i < n; ++i) core.data[(a * n + i) * rr + b] = fibre[i];
        }
    }
    return {};
}

namespace {

// The change a near-circulant residual may make to the circulant step, and
// the circulant step's own relative excess over the allowed growth.
constexpr double kCirculantSlack = 1e-8;

// The bounds of one axis's residual R that the Taylor-interval judgement
// needs, from the very coefficients the steps apply.
struct ResidualBounds {
    double norm = 0.0;       // sqrt(|R|_1 |R|_inf) >= |R|_2 >= its spectral radius
    double deviation = 0.0;  // the same bound of D = R - R_c
    double sub = 0.0, diag = 0.0, sup = 0.0;  // R_c: the means of R's three diagonals
    double abar = 0.0, h = 0.0, v_max = 0.0;
    std::size_t n = 0;
    // a, b and v each constant along the axis: R is circulant and the
    // frozen symbol judges the step exactly, with no interval to keep.
    bool constant = false;
};

// Does one axis step of length dt amplify some frozen-coefficient mode
// beyond exp(dt max(v, 0))? abar, v_max and h are the axis's (`rb`, formed
// once for every step the search judges). The n symbols of a frequency are
// spent from `budget`.
Expected<bool> axis_amplifies(const std::vector<double>& a, const std::vector<double>& b, const std::vector<double>& v,
                              const ResidualBounds& rb, double dt, PollBudget& budget) {
    const std::size_t n = a.size();
    const double abar = rb.abar, v_max = rb.v_max, h = rb.h;
    // A relative margin absorbs the rounding of abar against constant samples.
    const double bound = std::exp(dt * v_max) * (1.0 + 1e-12);
    const double delta = dt * 0.5;
    for (std::size_t k = 0; k < n; ++k) {
        if (Status st = budget.spend(n); !st) return fail(st.error());
        const double theta = (static_cast<double>(k) * (2.0 * std::numbers::pi)) / static_cast<double>(n);
        const double lambda = (2.0 * std::cos(theta) - 2.0) / (h * h);
        const double mu = std::sin(theta) / h;
        const double damping = std::exp(dt * (abar * lambda));
        for (std::size_t i = 0; i < n; ++i) {
            const double vi = v.empty() ? 0.0 : v[i];
            const std::complex<double> z = delta * std::complex<double>((a[i] - abar) * lambda + vi, b[i] * mu);
            const double taylor = std::abs(1.0 + z + z * z * 0.5);
            if (taylor * taylor * damping > bound) return true;
        }
    }
    return false;
}

// sqrt(|M|_1 |M|_inf) of a periodic tridiagonal M given row by row. For
// n = 2 both neighbours are the same node: the separate moduli still bound
// the merged entry.
double two_norm_bound(const std::vector<double>& sub, const std::vector<double>& diag,
                      const std::vector<double>& sup) {
    const std::size_t n = diag.size();
    double rows = 0.0, cols = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t prev = i == 0 ? n - 1 : i - 1, next = i + 1 == n ? 0 : i + 1;
        rows = std::max(rows, std::abs(sub[i]) + std::abs(diag[i]) + std::abs(sup[i]));
        // Column i holds row i-1's superdiagonal, row i's diagonal, row i+1's subdiagonal.
        cols = std::max(cols, std::abs(sup[prev]) + std::abs(diag[i]) + std::abs(sub[next]));
    }
    return std::sqrt(rows) * std::sqrt(cols);
}

ResidualBounds residual_bounds(const std::vector<double>& a, const std::vector<double>& b, const std::vector<double>& v,
                               double h) {
    const std::size_t n = a.size();
    ResidualBounds out;
    out.n = n;
    out.h = h;
    out.abar = mean_of(a, n);
    for (double x : v) out.v_max = std::max(out.v_max, x);
    out.constant = all_equal(a) && all_equal(b) && (v.empty() || all_equal(v));
    PeriodicTridiag op = residual_operator(a, b, v, out.abar, h);
    out.norm = two_norm_bound(op.sub, op.diag, op.sup);
    out.sub = mean_of(op.sub, n);
    out.diag = mean_of(op.diag, n);
    out.sup = mean_of(op.sup, n);
    for (std::size_t i = 0; i < n; ++i) {
        op.sub[i] -= out.sub;
        op.diag[i] -= out.diag;
        op.sup[i] -= out.sup;
    }
    out.deviation = two_norm_bound(op.sub, op.diag, op.sup);
    return out;
}

// How the residual Taylor steps of one axis step of length dt fare: inside
// their stability interval (or judged by the symbol alone), outside it, or
// outside it on a residual circulant enough to judge by its symbol, which
// amplifies some mode.
enum class TaylorJudgement { kPasses, kLeavesInterval, kCirculantAmplifies };

Expected<TaylorJudgement> axis_taylor_judgement(const ResidualBounds& rb, double dt, PollBudget& budget) {
    // A mean that rounds leaves a deviation of ulps against the rounded
    // means; its bound grows like x^4 and would refuse steps that the
    // symbol, exact for constant coefficients, admits.
    if (rb.constant) return TaylorJudgement::kPasses;
    // Coefficients whose residual overflows make the steps non-finite, which
    // the steps refuse themselves (NanInf).
    if (!std::isfinite(rb.norm)) return TaylorJudgement::kPasses;
    const double delta = dt * 0.5;
    const double x = delta * rb.norm;
    if (x <= 2.0) return TaylorJudgement::kPasses;
    // An absolute slack (not one relative to the allowed growth) keeps the
    // judgement monotone in dt, so that the search finds its edge.
    const double taylor_bound = 1.0 + x + x * x * 0.5;
    const double change = ((delta * rb.deviation) * (1.0 + x)) * (taylor_bound + taylor_bound);
    if (!(change <= kCirculantSlack)) return TaylorJudgement::kLeavesInterval;
    // The circulant step T(delta R_c) E T(delta R_c) is diagonal in Fourier
    // space: its norm is the largest modulus of its symbol.
    const double bound = std::exp(dt * rb.v_max) * (1.0 + kCirculantSlack);
    const std::size_t n = rb.n;
    if (Status st = budget.spend(n); !st) return fail(st.error());
    for (std::size_t k = 0; k < n; ++k) {
        const double theta = (static_cast<double>(k) * (2.0 * std::numbers::pi)) / static_cast<double>(n);
        const double lambda = (2.0 * std::cos(theta) - 2.0) / (rb.h * rb.h);
        const std::complex<double> shift(std::cos(theta), std::sin(theta));
        const std::complex<double> z = delta * (rb.diag + rb.sub * std::conj(shift) + rb.sup * shift);
        const double taylor = std::abs(1.0 + z + z * z * 0.5);
        if (taylor * taylor * std::exp(dt * (rb.abar * lambda)) > bound) return TaylorJudgement::kCirculantAmplifies;
    }
    return TaylorJudgement::kPasses;
}

}  // namespace

Expected<std::optional<VarCoefTt::StepLimit>> VarCoefTt::amplifying_step(double tau) const {
    const std::size_t d = ndim();
    PollBudget budget(std::uint64_t{1} << 20);
    std::vector<ResidualBounds> residual(d);
    for (std::size_t j = 0; j < d; ++j) residual[j] = residual_bounds(a_axis[j], b_axis[j], v_axis[j], spacing(j));
    // The last axis takes one step of t, the others two of t/2.
    auto axis_dt = [&](std::size_t j, double t) { return j + 1 == d ? t : t * 0.5; };
    auto amplifies = [&](double t) -> Expected<bool> {
        for (std::size_t j = 0; j < d; ++j) {
            Expected<bool> hit = axis_amplifies(a_axis[j], b_axis[j], v_axis[j], residual[j], axis_dt(j, t), budget);
            if (!hit || *hit) return hit;
        }
        return false;
    };
    auto taylor = [&](double t) -> Expected<TaylorJudgement> {
        for (std::size_t j = 0; j < d; ++j) {
            Expected<TaylorJudgement> hit = axis_taylor_judgement(residual[j], axis_dt(j, t), budget);
            if (!hit || *hit != TaylorJudgement::kPasses) return hit;
        }
        return TaylorJudgement::kPasses;
    };
    auto leaves_interval = [&](double t) -> Expected<bool> {
        Expected<TaylorJudgement> hit = taylor(t);
        if (!hit) return fail(hit.error());
        return *hit != TaylorJudgement::kPasses;
    };
    // The largest step in [0, tau] that `refused` passes (tau itself
    // refused), and the step just above it that `refused` refuses.
    struct Edge {
        double passes, refused;
    };
    // Non-negative doubles are ordered as their bit patterns, so halving
    // those finds the edge to the neighbouring double however long tau is
    // (halving [0, tau] itself stops at tau 2^-60, above every admissible
    // step where tau is long).
    auto search = [&](auto& refused) -> Expected<Edge> {
        std::uint64_t lo = 0, hi = std::bit_cast<std::uint64_t>(tau);
        while (hi - lo > 1) {
            const std::uint64_t mid = lo + (hi - lo) / 2;
            Expected<bool> at_mid = refused(std::bit_cast<double>(mid));
            if (!at_mid) return fail(at_mid.error());
            (*at_mid ? hi : lo) = mid;
        }
        return Edge{std::bit_cast<double>(lo), std::bit_cast<double>(hi)};
    };
    Expected<bool> interval_at_tau = leaves_interval(tau);
    if (!interval_at_tau) return fail(interval_at_tau.error());
    Expected<bool> symbol_at_tau = amplifies(tau);
    if (!symbol_at_tau) return fail(symbol_at_tau.error());
    if (!*interval_at_tau && !*symbol_at_tau) return std::optional<StepLimit>{};
    if (*interval_at_tau) {
        Expected<Edge> found = search(leaves_interval);
        if (!found) return fail(found.error());
        // A symbol that passes there cannot bind below it: one judgement
        // instead of a search.
        Expected<bool> symbol_there = amplifies(found->passes);
        if (!symbol_there) return fail(symbol_there.error());
        if (!*symbol_at_tau || !*symbol_there) {
            // The interval binds only where it is left; a nearly circulant
            // residual whose symbol amplifies refuses for the symbol's reason.
            Expected<TaylorJudgement> why = taylor(found->refused);
            if (!why) return fail(why.error());
            return std::optional<StepLimit>{
                StepLimit{found->passes, *why == TaylorJudgement::kLeavesInterval}};
        }
    }
    Expected<Edge> tau_symbol = search(amplifies);
    if (!tau_symbol) return fail(tau_symbol.error());
    return std::optional<StepLimit>{StepLimit{tau_symbol->passes, false}};
}

Status VarCoefTt::evolve(std::vector<TtCore>& cores, double t_final, std::size_t n_steps) const {
    const std::size_t d = ndim();
    if (cores.size() != d) internal_fault("VarCoefTt::evolve: one core per axis expected");
    const double tau = t_final / static_cast<double>(n_steps);
    const double tau_half = tau * 0.5;
    for (std::size_t step = 0; step < n_steps; ++step) {
        if (Status st = poll_stop(); !st) return st;
        for (std::size_t j = 0; j < d; ++j) {
            if (Status st = apply_axis(cores[j], j, j + 1 == d ? tau : tau_half); !st) return st;
        }
        for (std::size_t j = d - 1; j-- > 0;) {
            if (Status st = apply_axis(cores[j], j, tau_half); !st) return st;
        }
        if (Status st = TtState::round(cores, eps_round); !st) return st;
    }
    return {};
}

}  // namespace quorvane
