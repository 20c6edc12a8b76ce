#include "core/tensor_train/tt_varcoef.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <mutex>
#include <numbers>
#include <optional>
#include <tuple>

#include "core/foundation/dense_eigenvalues.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/step_count.hpp"
#include "core/foundation/stop.hpp"
#include "core/tensor_train/tt_axis_growth.hpp"
#include "core/tensor_train/tt_drift_spectral.hpp"
#include "core/tensor_train/tt_varcoef_spectral.hpp"

namespace quorvane {

struct VarCoefTt::StepMemory {
    // The steps judged last that are kept per axis.
    static constexpr std::size_t kKept = 8;

    explicit StepMemory(std::size_t d) : edge(d, 0.0), passed(d) {}

    // Was a step of dt on axis j judged to pass: below an edge a search from
    // below found, or one of the steps judged last?
    bool admitted(std::size_t j, double dt) {
        const std::lock_guard<std::mutex> lock(mutex);
        return dt <= edge[j] || std::find(passed[j].begin(), passed[j].end(), dt) != passed[j].end();
    }
    void note_pass(std::size_t j, double dt) {
        const std::lock_guard<std::mutex> lock(mutex);
        if (passed[j].size() == kKept) passed[j].erase(passed[j].begin());
        passed[j].push_back(dt);
    }
    void note_edge(std::size_t j, double dt) {
        const std::lock_guard<std::mutex> lock(mutex);
        edge[j] = std::max(edge[j], dt);
    }
    double edge_of(std::size_t j) {
        const std::lock_guard<std::mutex> lock(mutex);
        return edge[j];
    }

    // |S^count|_inf in units of exp(count dt max(v, 0)) (S the axis's map of
    // one time step: two steps of dt but on the last axis), where judged.
    std::optional<double> power_of(std::size_t j, double dt, std::uint64_t count) {
        const std::lock_guard<std::mutex> lock(mutex);
        for (const Power& p : powers[j]) {
            if (p.dt == dt && p.count == count) return p.norm;
        }
        return std::nullopt;
    }
    void note_power(std::size_t j, double dt, std::uint64_t count, double norm) {
        const std::lock_guard<std::mutex> lock(mutex);
        if (powers[j].size() == kKept) powers[j].erase(powers[j].begin());
        powers[j].push_back(Power{dt, count, norm});
    }

    // max(1, |exp(t L_h)|_inf) in units of exp(t max(v, 0)), where judged.
    std::optional<double> flow_of(std::size_t j, double t) {
        const std::lock_guard<std::mutex> lock(mutex);
        for (const Flow& f : flows[j]) {
            if (f.t == t) return f.norm;
        }
        return std::nullopt;
    }
    void note_flow(std::size_t j, double t, double norm) {
        const std::lock_guard<std::mutex> lock(mutex);
        if (flows[j].size() == kKept) flows[j].erase(flows[j].begin());
        flows[j].push_back(Flow{t, norm});
    }

    struct Power {
        double dt = 0.0;
        std::uint64_t count = 0;
        double norm = 0.0;
    };
    struct Flow {
        double t = 0.0;
        double norm = 0.0;
    };
    std::mutex mutex;
    std::vector<double> edge;                 // per axis (0: no search yet)
    std::vector<std::vector<double>> passed;  // per axis, at most kKept steps
    std::vector<std::vector<Power>> powers = std::vector<std::vector<Power>>(edge.size());  // per axis, at most kKept
    std::vector<std::vector<Flow>> flows = std::vector<std::vector<Flow>>(edge.size());     // per axis, at most kKept
};

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();

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

// a, b and v each the same at every node: the axis step is circulant.
bool constant_axis(const std::vector<double>& a, const std::vector<double>& b, const std::vector<double>& v) {
    return all_equal(a) && all_equal(b) && (v.empty() || all_equal(v));
}

bool all_zero(const PeriodicTridiag& op) {
    auto zero = [](const std::vector<double>& x) {
        return std::all_of(x.begin(), x.end(), [](double y) { return y == 0.0; });
    };
    return zero(op.sub) && zero(op.diag) && zero(op.sup);
}

// |op|_inf, the largest absolute row sum (NaN where a coefficient is).
double tridiag_norm(const PeriodicTridiag& op) {
    double norm = 0.0;
    for (std::size_t i = 0; i < op.diag.size(); ++i) {
        const double row = (std::abs(op.sub[i]) + std::abs(op.diag[i])) + std::abs(op.sup[i]);
        norm = std::isnan(row) ? row : std::max(norm, row);
        if (std::isnan(norm)) break;
    }
    return norm;
}

// The verdict on one axis's operator L_h (without v).
struct AxisVerdict {
    std::optional<VarCoefTt::GrowingMode> growing;
    bool unjudged = false;
};

// The growing mode's report: the node at or next to the peak of its
// eigenvector (where the drift is least resolved when no eigenvector was
// formed), preferring one where b changes sign against a cell of Peclet
// number above 1.
VarCoefTt::GrowingMode describe_growing_mode(const std::vector<double>& a, const std::vector<double>& b,
                                             std::pair<double, double> domain, std::size_t axis,
                                             const AxisGrowth& growth) {
    const std::size_t n = a.size();
    const double h = axis_spacing(n, domain);
    VarCoefTt::GrowingMode mode;
    mode.axis = axis;
    mode.rate = growth.lambda.real();
    std::vector<double> peclet(n);
    double bmax = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        peclet[i] = (std::abs(b[i]) * h) / (a[i] + a[i]);
        bmax = std::max(bmax, std::abs(b[i]));
    }
    mode.diffusion_bound = (bmax * h) * 0.5;
    const std::vector<double>& weight = growth.weight.size() == n ? growth.weight : peclet;
    auto prev = [&](std::size_t i) { return i == 0 ? n - 1 : i - 1; };
    auto next = [&](std::size_t i) { return i + 1 == n ? 0 : i + 1; };
    // Signs compared, not products: b of 1e-200 beside -1e-200 changes sign too.
    auto opposite = [](double x, double y) { return (x < 0.0 && y > 0.0) || (x > 0.0 && y < 0.0); };
    auto changes_sign = [&](std::size_t i) { return opposite(b[i], b[prev(i)]) || opposite(b[i], b[next(i)]); };
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

Expected<AxisVerdict> judge_axis(const std::vector<double>& a, const std::vector<double>& b,
                                 const std::vector<double>& v, std::pair<double, double> domain, std::size_t axis) {
    const std::size_t n = a.size();
    const PeriodicTridiag op = axis_operator(a, b, axis_spacing(n, domain));
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
    if (!std::isfinite(norm) || norm == 0.0) return AxisVerdict{};
    AxisVerdict out;
    // Nonnegative couplings and zero row sums: every Gershgorin disc lies in
    // Re <= 0 (its row sum, zero up to rounding). A drift the same at every
    // node: L_h = S + b D with S the symmetric diffusion (<= 0) and D the
    // skew central difference, so Re <= 0 again.
    if (!couplings_nonnegative && !all_equal(b)) {
        Expected<AxisGrowth> growth = judge_axis_growth(op, norm, VarCoefTt::kMaxDenseNodes);
        if (!growth) return fail(growth.error());
        if (growth->verdict == AxisGrowth::Verdict::kGrows) {
            out.growing = describe_growing_mode(a, b, domain, axis, *growth);
            return out;
        }
        out.unjudged = growth->verdict == AxisGrowth::Verdict::kUndecided;
    }
    out.unjudged = out.unjudged || (n > VarCoefTt::kMaxDenseNodes && !constant_axis(a, b, v));
    return out;
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
    VarCoefTt ev{std::move(a_axis), std::move(b_axis),  std::move(v_axis),
                 std::move(domain), eps_round,          std::nullopt,
                 std::nullopt,      std::nullopt,       std::make_shared<StepMemory>(d)};
    for (std::size_t j = 0; j < d; ++j) {
        const double h = ev.spacing(j);
        const PeriodicTridiag residual =
            residual_operator(ev.a_axis[j], ev.b_axis[j], ev.v_axis[j], mean_of(ev.a_axis[j], ev.a_axis[j].size()), h);
        const double norm = tridiag_norm(residual);
        if (!all_zero(residual) && !std::isfinite(norm * norm)) {
            ev.overflowing_axis = OverflowingAxis{j, norm, h};
            break;
        }
        Expected<AxisVerdict> verdict = judge_axis(ev.a_axis[j], ev.b_axis[j], ev.v_axis[j], ev.domain[j], j);
        if (!verdict) return fail(verdict.error());
        if (verdict->growing) {
            ev.growing_mode = verdict->growing;
            break;
        }
        if (verdict->unjudged) {
            double bmax = 0.0;
            for (double x : ev.b_axis[j]) bmax = std::max(bmax, std::abs(x));
            ev.unjudged_axis = UnjudgedAxis{j, ev.a_axis[j].size(), (bmax * ev.spacing(j)) * 0.5};
            break;
        }
    }
    return ev;
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
    // A residual of zeros (a the same at every node, as its mean rounds, and
    // no b or v) makes the Taylor steps the identity: skipped, they keep
    // steps so long that dt^2/2 overflows, where 0 times it would be NaN.
    const bool taylor = !all_zero(op);
    SpectralHeatStep spectral(n, h, abar, dt);
    const double delta = dt * 0.5;
    std::vector<double> fibre(n), r, q;
    const std::size_t rr = core.r_right;
    for (std::size_t a = 0; a < core.r_left; ++a) {
        for (std::size_t b = 0; b < rr; ++b) {
            for (std::size_t i = 0; i < n; ++i) fibre[i] = core.data[(a * n + i) * rr + b];
            // The steps are linear: taken on the fibre scaled to unit size (a
            // power of two, exact), R (R u) and the transforms stay in range
            // for any fibre of doubles, and the same bits come back where
            // nothing over- or underflowed unscaled.
            const int e = unit_scale_exponent(fibre);
            scale_by_power_of_two(fibre, -e);
            if (taylor) periodic_tridiag_apply(op, fibre, delta, r, q);
            if (Status st = spectral.apply(fibre); !st) return st;
            if (taylor) periodic_tridiag_apply(op, fibre, delta, r, q);
            scale_by_power_of_two(fibre, e);
            for (std::size_t i = 0; i < n; ++i) core.data[(a * n + i) * rr + b] = fibre[i];
        }
    }
    return {};
}

namespace {

// The relative excess over exp(dt max(v, 0)) a circulant step's symbol may
// show from rounding alone (it is a normal matrix: each eigenvalue is
// computed to a few eps).
constexpr double kSymbolSlack = 1e-12;
// The largest rounding margin a dense judgement may claim (see judge_axis_step).
constexpr double kMaxMargin = 1e-8;

// What the judgement of one axis's steps needs, formed once per search.
struct AxisStep {
    PeriodicTridiag residual;
    double abar = 0.0, h2 = 0.0, v_max = 0.0;
    std::size_t n = 0;
    bool circulant = false;  // a, b and v each the same at every node
    bool taylor = true;      // the residual is not all zeros (its steps are not skipped)
    bool mean_kept = false;  // no reaction: S 1 = 1
    // The residual and the symbol of D2 finite: otherwise every step makes a
    // NaN or an infinity, which the steps refuse themselves (NanInf).
    bool finite = true;
    double residual_norm = 0.0;  // |R|_inf
    double scale = 0.0;  // |R|_inf + 4 abar/h^2: steps of about 1/scale are where the judgement turns
};

AxisStep axis_step(const std::vector<double>& a, const std::vector<double>& b, const std::vector<double>& v,
                   double h) {
    AxisStep out;
    out.n = a.size();
    out.h2 = h * h;
    out.abar = mean_of(a, out.n);
    for (double x : v) out.v_max = std::max(out.v_max, x);
    out.circulant = constant_axis(a, b, v);
    out.mean_kept = std::all_of(v.begin(), v.end(), [](double x) { return x == 0.0; });
    out.residual = residual_operator(a, b, v, out.abar, h);
    out.taylor = !all_zero(out.residual);
    const double norm = tridiag_norm(out.residual);
    const double diffusion = (out.abar * 4.0) / out.h2;
    out.finite = std::isfinite(norm) && std::isfinite(diffusion) && std::isfinite(out.abar) && out.h2 > 0.0;
    out.residual_norm = norm;
    out.scale = norm + diffusion;
    return out;
}

struct StepJudgement {
    bool admitted = true;
    double length = 0.0;   // the step judged: dt, or 2 dt on an axis with a dense step matrix
    double radius = 1.0;   // of its matrix (inf when it overflows)
    double norm = 0.0;     // |S|_inf of a dense step matrix (0 where not formed)
    double allowed = 1.0;  // exp(length max(v, 0))
    bool by_norm = false;  // refused for its norm, its radius within `allowed`
    // refused as its Taylor steps would cancel beyond rounding (`radius`
    // holds dt/2 |R|_inf then)
    bool by_rounding = false;
};

// The eigenvalues of exp(dt abar D2) on the axis, as the spectral step
// forms them.
double heat_factor(const AxisStep& ax, std::size_t k, double dt) {
    const double cs = std::cos((static_cast<double>(k) * (2.0 * std::numbers::pi)) / static_cast<double>(ax.n));
    const double lambda = ((cs + cs) - 2.0) / ax.h2;
    return std::exp(dt * (ax.abar * lambda));
}

// The circulant step T E T is normal: its eigenvalues are T(r_k)^2 e_k, r_k
// the residual's symbol (every row the same) and e_k the heat factor.
double circulant_radius(const AxisStep& ax, double dt, PollBudget& budget, Status& st) {
    const std::size_t n = ax.n;
    const double delta = dt * 0.5, half_d2 = delta * (delta * 0.5);
    st = budget.spend(16 * n);
    double radius = 0.0;
    for (std::size_t k = 0; k < n && st; ++k) {
        const double theta = (static_cast<double>(k) * (2.0 * std::numbers::pi)) / static_cast<double>(n);
        const std::complex<double> shift(std::cos(theta), std::sin(theta));
        const std::complex<double> r =
            ax.residual.diag[0] + ax.residual.sub[0] * std::conj(shift) + ax.residual.sup[0] * shift;
        const std::complex<double> taylor = (1.0 + delta * r) + half_d2 * (r * r);
        const double mu = std::norm(taylor) * heat_factor(ax, k, dt);
        if (!std::isfinite(mu)) return std::numeric_limits<double>::infinity();
        radius = std::max(radius, mu);
    }
    return radius;
}

// The step matrix S = T E T (T = I + delta R + delta^2/2 R^2 the Taylor step,
// E the spectral step, as the steps apply them) formed row by row from the
// five entries of each row of T and the circulant kernel of E; its spectral
// radius by QR, and the rounding margin of that radius.
struct DenseRadius {
    double radius = 0.0;
    double margin = 0.0;
    double norm = 0.0;  // |S|_inf: what one step can multiply max|u| by
};

// S (row-major, n x n) as the steps apply it, with |S - I|_inf and |S|_inf.
// Only for n <= kMaxDenseNodes (the callers check).
struct DenseStep {
    std::vector<double> s;
    double excess = 0.0;  // |S - I|_inf
    double norm = 0.0;    // |S|_inf
};

Expected<DenseStep> dense_step(const AxisStep& ax, double dt, PollBudget& budget) {
    const std::size_t n = ax.n;
    const PeriodicTridiag& r = ax.residual;
    const double delta = dt * 0.5, half_d2 = delta * (delta * 0.5);
    if (Status st = budget.spend(12 * n * n); !st) return fail(st.error());
    auto at = [&](std::size_t i, std::ptrdiff_t k) {
        const std::ptrdiff_t nn = static_cast<std::ptrdiff_t>(n);
        return static_cast<std::size_t>(((static_cast<std::ptrdiff_t>(i) + k) % nn + nn) % nn);
    };
    // Row i of T at columns i-2 .. i+2 (R^2's entries by the products of R's).
    std::vector<std::array<double, 5>> t(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t p = at(i, -1), q = at(i, 1);
        const double r2[5] = {r.sub[i] * r.sub[p], r.sub[i] * r.diag[p] + r.diag[i] * r.sub[i],
                              (r.sub[i] * r.sup[p] + r.diag[i] * r.diag[i]) + r.sup[i] * r.sub[q],
                              r.diag[i] * r.sup[i] + r.sup[i] * r.diag[q], r.sup[i] * r.sup[q]};
        const double r1[5] = {0.0, r.sub[i], r.diag[i], r.sup[i], 0.0};
        for (std::size_t k = 0; k < 5; ++k) t[i][k] = (k == 2 ? 1.0 : 0.0) + delta * r1[k] + half_d2 * r2[k];
    }
    // E(j, l) = kernel((j - l) mod n), the real part of the inverse transform
    // of the factors: (1/n) sum_k e_k cos(2 pi k (j - l)/n).
    std::vector<double> factor(n), cosine(n), kernel(n, 0.0);
    for (std::size_t k = 0; k < n; ++k) {
        factor[k] = heat_factor(ax, k, dt);
        cosine[k] = std::cos((2.0 * std::numbers::pi / static_cast<double>(n)) * static_cast<double>(k));
    }
    for (std::size_t m = 0; m < n; ++m) {
        double sum = 0.0;
        std::size_t p = 0;  // k m mod n
        for (std::size_t k = 0; k < n; ++k) {
            sum += factor[k] * cosine[p];
            p += m;
            if (p >= n) p -= n;
        }
        kernel[m] = sum / static_cast<double>(n);
    }
    // E T: T(p, l) = t[p][k] for p = l + 2 - k.
    std::vector<double> et(n * n, 0.0);
    for (std::size_t l = 0; l < n; ++l) {
        for (std::size_t k = 0; k < 5; ++k) {
            const std::size_t p = at(l, 2 - static_cast<std::ptrdiff_t>(k));
            const double w = t[p][k];
            if (w == 0.0) continue;
            std::size_t m = at(0, -static_cast<std::ptrdiff_t>(p));  // (j - p) mod n
            for (std::size_t j = 0; j < n; ++j) {
                et[j * n + l] += kernel[m] * w;
                if (++m == n) m = 0;
            }
        }
    }
    std::vector<double> s(n * n, 0.0);
    double excess = 0.0, norm = 0.0;  // |S - I|_inf, |S|_inf
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < 5; ++k) {
            const double w = t[i][k];
            if (w == 0.0) continue;
            const std::size_t row = at(i, static_cast<std::ptrdiff_t>(k) - 2);
            for (std::size_t l = 0; l < n; ++l) s[i * n + l] += w * et[row * n + l];
        }
        double sum = 0.0, abs_sum = 0.0;
        for (std::size_t l = 0; l < n; ++l) {
            sum += std::abs(s[i * n + l] - (l == i ? 1.0 : 0.0));
            abs_sum += std::abs(s[i * n + l]);
        }
        excess = std::max(excess, sum);
        norm = std::max(norm, abs_sum);
    }
    return DenseStep{std::move(s), excess, norm};
}

Expected<DenseRadius> dense_radius(const AxisStep& ax, double dt, PollBudget& budget) {
    const std::size_t n = ax.n;
    constexpr double kInf = std::numeric_limits<double>::infinity();
    // Larger axes are refused before any step (unjudged_axis): 2 n^2 values
    // are allocated below only for sizes whose QR is affordable.
    if (n > VarCoefTt::kMaxDenseNodes) return DenseRadius{kInf, 0.0, kInf};
    Expected<DenseStep> step = dense_step(ax, dt, budget);
    if (!step) return fail(step.error());
    std::vector<double>& s = step->s;
    const double excess = step->excess, norm = step->norm;
    if (!std::isfinite(excess)) return DenseRadius{kInf, 0.0, kInf};
    // Without a reaction every row of R sums to 0 and E keeps the mean: S 1
    // = 1 exactly. S - 1 w^T with w^T 1 = 1 (w = 1/n) has the other
    // eigenvalues of S and 0 for it (Wielandt), so that eigenvalue is not
    // left to rounding: where E keeps only the mean, S is near the rank-one
    // 1 1^T T / n and its eigenvalue 1 is computed within some 100 n eps |S|,
    // beyond the margin.
    if (ax.mean_kept) {
        const double w = 1.0 / static_cast<double>(n);
        for (double& x : s) x -= w;
    }
    Expected<std::optional<std::vector<std::complex<double>>>> eig = dense_eigenvalues(std::move(s), n);
    if (!eig) return fail(eig.error());
    // Unconverged eigenvalues judge nothing: the step is not admitted.
    if (!*eig) return DenseRadius{kInf, 0.0, norm};
    double radius = ax.mean_kept ? 1.0 : 0.0;
    for (const std::complex<double>& z : **eig) radius = std::max(radius, std::abs(z));
    // The QR's backward error, n eps |S|, moves a simple eigenvalue by about
    // that (the step's eigenvalue 1 of the constant, and the slow modes
    // beside it, are well conditioned); 64 times it keeps a step whose
    // radius is 1 from being refused. A looser margin would pass growth
    // that shows over long times: 16 sqrt(n eps) (what the judgement of L_h
    // allows for its defective eigenvalues) grew max|u| to 1.09 at t = 4
    // and 1.21 at t = 16 on 600 nodes.
    return DenseRadius{radius, 64.0 * static_cast<double>(n) * kEps * (1.0 + excess), norm};
}

// c = a b for row-major n x n matrices.
Status multiply(const std::vector<double>& a, const std::vector<double>& b, std::vector<double>& c, std::size_t n,
                PollBudget& budget) {
    c.assign(n * n, 0.0);
    // Four rows of c at a time: each row of b read serves four (a quarter of
    // the memory traffic, which bounds the product beyond the caches).
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        if (Status st = budget.spend(8 * n * n); !st) return st;
        double* c0 = c.data() + i * n;
        double* c1 = c0 + n;
        double* c2 = c1 + n;
        double* c3 = c2 + n;
        for (std::size_t k = 0; k < n; ++k) {
            const double a0 = a[i * n + k], a1 = a[(i + 1) * n + k], a2 = a[(i + 2) * n + k], a3 = a[(i + 3) * n + k];
            const double* bk = b.data() + k * n;
            for (std::size_t j = 0; j < n; ++j) {
                const double x = bk[j];
                c0[j] += a0 * x;
                c1[j] += a1 * x;
                c2[j] += a2 * x;
                c3[j] += a3 * x;
            }
        }
    }
    for (; i < n; ++i) {
        if (Status st = budget.spend(2 * n * n); !st) return st;
        double* ci = c.data() + i * n;
        for (std::size_t k = 0; k < n; ++k) {
            const double aik = a[i * n + k];
            const double* bk = b.data() + k * n;
            for (std::size_t j = 0; j < n; ++j) ci[j] += aik * bk[j];
        }
    }
    return {};
}

// |m|_inf, NaN where an entry is.
double matrix_norm(const std::vector<double>& m, std::size_t n) {
    double norm = 0.0;
    for (std::size_t i = 0; i < n && !std::isnan(norm); ++i) {
        double row = 0.0;
        for (std::size_t j = 0; j < n; ++j) row += std::abs(m[i * n + j]);
        norm = std::isnan(row) ? row : std::max(norm, row);
    }
    return norm;
}

// p <- p^2. True where the square equals its root to rounding (the rounding
// of one product, some n eps |p|^2, is all that moved): a projector the
// powers have reached (the eigenvalue 1 of the constant, the others
// decayed), so every higher power is that square.
Expected<bool> square_settles(std::vector<double>& p, std::vector<double>& tmp, std::size_t n, PollBudget& budget) {
    const double root = matrix_norm(p, n);
    if (Status st = multiply(p, p, tmp, n, budget); !st) return fail(st.error());
    double change = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double row = 0.0;
        for (std::size_t j = 0; j < n; ++j) row += std::abs(tmp[i * n + j] - p[i * n + j]);
        change = std::max(change, row);
    }
    std::swap(p, tmp);
    return change <= 64.0 * static_cast<double>(n) * kEps * (root * root);
}

// |p^count|_inf (count >= 1) by repeated squaring: p^count = r p^(2^k q)
// with r the product of the squares of the count's low bits. Three early
// ends, each exact to rounding or an upper bound: |r| |p^(2^k)|^q, returned
// when within `enough`; a square that equals its root to rounding is a
// projector the powers have reached (the eigenvalue 1 of the constant, the
// others decayed), so every higher power is that square; and once
// |p^(2^k)|_inf <= 1, |r p^(2^k q)| <= |r p^(2^k)|, returned when that
// bound is within `enough`. Otherwise at most 64 squarings and 64 products,
// 2 n^3 flops each; an overflow gives inf.
Expected<double> power_norm(std::vector<double> p, std::size_t n, std::uint64_t count, double enough,
                            PollBudget& budget) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    std::vector<double> r, tmp;
    bool have_r = false;
    auto times_r = [&](const std::vector<double>& m) -> Expected<double> {
        if (!have_r) return matrix_norm(m, n);
        if (Status st = multiply(r, m, tmp, n, budget); !st) return fail(st.error());
        return matrix_norm(tmp, n);
    };
    double r_norm = 1.0;  // |r|_inf (1: r not formed, the identity)
    for (std::uint64_t left = count;;) {
        // p^count = r p^left, so |r|_inf |p|_inf^left bounds it: a step
        // within its bound at every power (|p| near 1, left not too large)
        // needs no product.
        const double bound = r_norm * std::pow(matrix_norm(p, n), static_cast<double>(left));
        if (bound <= enough) return bound;
        if (left & 1) {
            if (!have_r) {
                r = p;
                have_r = true;
            } else {
                if (Status st = multiply(r, p, tmp, n, budget); !st) return fail(st.error());
                std::swap(r, tmp);
            }
            r_norm = matrix_norm(r, n);
        }
        left >>= 1;
        if (left == 0) {
            const double norm = matrix_norm(r, n);
            return std::isnan(norm) ? kInf : norm;
        }
        if (!std::isfinite(matrix_norm(p, n))) return kInf;
        Expected<bool> settled = square_settles(p, tmp, n, budget);
        if (!settled) return fail(settled.error());
        const double square = matrix_norm(p, n);
        if (!std::isfinite(square)) return kInf;
        if (*settled) {
            Expected<double> norm = times_r(p);
            if (norm && std::isnan(*norm)) return kInf;
            return norm;
        }
        if (square <= 1.0) {
            Expected<double> bound = times_r(p);
            if (!bound) return bound;
            if (*bound <= enough) return *bound;
        }
    }
}

// max(1, |exp(t (L_h - max(v, 0)))|_inf) for the three-point operator L_h
// = R + abar D2 (with v) that the axis's steps approximate: what that flow
// may multiply max|u| by in units of exp(t max(v, 0)), counted as at least
// 1. By scaling and squaring: the degree-12 Taylor polynomial of exp(X/2^s)
// (|X/2^s|_inf <= 1/2, truncated below 2e-14 of it; five products), then s
// squarings, ended early once a square's |.|_inf is within 1 (every higher
// power is then) or it settles (square_settles); an overflow gives inf.
Expected<double> flow_norm(const AxisStep& ax, double t, PollBudget& budget) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::size_t n = ax.n;
    const PeriodicTridiag& r = ax.residual;
    const double d2 = ax.abar / ax.h2;
    if (Status st = budget.spend(n * n); !st) return fail(st.error());
    std::vector<double> x(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        // With two nodes both neighbours are the other node: the entries add.
        x[i * n + (i == 0 ? n - 1 : i - 1)] += r.sub[i] + d2;
        x[i * n + i] += (r.diag[i] - (d2 + d2)) - ax.v_max;
        x[i * n + (i + 1 == n ? 0 : i + 1)] += r.sup[i] + d2;
    }
    const double beta = matrix_norm(x, n);
    if (!std::isfinite(beta)) return kInf;
    if (beta == 0.0 || t == 0.0) return 1.0;
    // The halvings stay in the doubles: t beta may overflow where t/2^s does not.
    double scale = t;
    std::size_t squarings = 0;
    while (scale * beta > 0.5) {
        scale *= 0.5;
        ++squarings;
    }
    for (double& e : x) e *= scale;
    std::vector<double> x2, x3, x4, acc, tmp;
    for (auto [a, b, c] : {std::tuple{&x, &x, &x2}, std::tuple{&x2, &x, &x3}, std::tuple{&x2, &x2, &x4}}) {
        if (Status st = multiply(*a, *b, *c, n, budget); !st) return fail(st.error());
    }
    // sum_m X^m/m! = B0 + X^4 (B1 + X^4 (B2 + X^4/12!)), B_i = sum_{m<4} X^m/(4i + m)! (Paterson-Stockmeyer).
    std::array<double, 13> inverse_factorial{};
    inverse_factorial[0] = 1.0;
    for (std::size_t m = 1; m < inverse_factorial.size(); ++m) {
        inverse_factorial[m] = inverse_factorial[m - 1] / static_cast<double>(m);
    }
    auto add_block = [&](std::vector<double>& m, std::size_t i) {
        const double* c = inverse_factorial.data() + 4 * i;
        for (std::size_t k = 0; k < n * n; ++k) m[k] += (c[1] * x[k] + c[2] * x2[k]) + c[3] * x3[k];
        for (std::size_t k = 0; k < n; ++k) m[k * n + k] += c[0];
    };
    acc.resize(n * n);
    for (std::size_t k = 0; k < n * n; ++k) acc[k] = inverse_factorial[12] * x4[k];
    add_block(acc, 2);
    for (std::size_t i : {1, 0}) {
        if (Status st = multiply(x4, acc, tmp, n, budget); !st) return fail(st.error());
        std::swap(acc, tmp);
        add_block(acc, i);
    }
    for (std::size_t k = 0;; ++k) {
        const double norm = matrix_norm(acc, n);
        if (!std::isfinite(norm)) return kInf;
        if (norm <= 1.0) return 1.0;
        if (k == squarings) return norm;
        Expected<bool> settled = square_settles(acc, tmp, n, budget);
        if (!settled) return fail(settled.error());
        if (*settled) {
            const double square = matrix_norm(acc, n);
            return std::isfinite(square) ? std::max(1.0, square) : kInf;
        }
    }
}

// Does a step of `length` on the axis keep within what the exact flow
// allows? A circulant step is normal, and admitted where its radius is within
// exp(length max(v, 0)). A dense one is not normal either: a radius within
// bounds does not keep it from amplifying data once. Long steps, where E
// keeps little beyond the mean, can pass the radius (with a drift drawn from
// (-1, 1) on 8 nodes such a step multiplied max|u| by up to 2e4, and 2000 of
// them left 4818 where the exact flow keeps 2.5); those are refused by
// |S|_inf, at most kNormFactor times what the exact flow allows (16 let 2000
// steps of a noisy drift on 8 nodes overshoot max|u0| by 54 %, 4 by 11 %).
Expected<StepJudgement> judge_length(const AxisStep& ax, double length, PollBudget& budget) {
    StepJudgement out;
    out.length = length;
    if (length == 0.0 || !ax.finite) return out;
    out.allowed = std::exp(out.length * ax.v_max);
    if (!ax.taylor) return out;  // S = E: radius 1 (the mean is kept)
    const double delta = out.length * 0.5;
    if (!std::isfinite(delta * (delta * 0.5))) {
        out.admitted = false;
        out.radius = std::numeric_limits<double>::infinity();
        return out;
    }
    // Steps whose exact map grows nothing can still be lost to rounding:
    // 2000 steps of 8.5e5 on 16 nodes (a from 1.02 to 1.44, b = -0.7: dt/2 |R|
    // near 8e7) passed the radius and left 4e22 where the exact flow keeps 2.5.
    if (!(delta * ax.residual_norm <= VarCoefTt::kMaxTaylorArgument)) {
        out.admitted = false;
        out.by_rounding = true;
        out.radius = delta * ax.residual_norm;
        return out;
    }
    if (ax.circulant) {
        Status st;
        out.radius = circulant_radius(ax, length, budget, st);
        if (!st) return fail(st.error());
        out.admitted = out.radius <= out.allowed * (1.0 + kSymbolSlack);
        return out;
    }
    Expected<DenseRadius> dense = dense_radius(ax, out.length, budget);
    if (!dense) return fail(dense.error());
    out.radius = dense->radius;
    out.norm = dense->norm;
    // Beyond kMaxMargin the QR cannot tell a radius of 1 from growth: a step
    // whose |S - I| exceeds about 7 10^5 / n (a long step of a large
    // residual) is refused with whatever radius it shows.
    out.admitted = dense->margin <= kMaxMargin && dense->radius <= out.allowed * (1.0 + dense->margin);
    if (out.admitted && !(dense->norm <= VarCoefTt::kNormFactor * out.allowed)) {
        out.admitted = false;
        out.by_norm = true;
    }
    return out;
}

// What one search has judged on an axis: the lengths with their verdicts
// (the doubling probes judge 2 dt where the next probe's dt is the same
// length), and which of a step's two lengths refused last, judged first
// from then on: between two probes the same one tends to bind, and a
// refusal by the first costs one QR instead of two.
struct JudgedLengths {
    std::vector<std::pair<double, StepJudgement>> verdicts;
    bool doubled_binds = false;

    Expected<StepJudgement> judge(const AxisStep& ax, double length, PollBudget& budget) {
        for (const auto& [judged_length, verdict] : verdicts) {
            if (judged_length == length) return verdict;
        }
        Expected<StepJudgement> judged = judge_length(ax, length, budget);
        if (judged) verdicts.emplace_back(length, *judged);
        return judged;
    }
};

// Does the axis admit steps of dt? The step of dt itself must keep within
// what the exact flow allows, and where the step matrix is dense (not
// normal) so must a step of 2 dt: where a mode's eigenvalue crosses 1 it
// meets the eigenvalue 1 of the constant, and just below that edge their
// eigenvectors turn parallel while the mode decays far slower than the exact
// flow's, so S^k u overshoots for as long as it takes to decay (on 64 nodes
// with every coupling >= 0, max|u| at the edge grew to 1.07 by t = 256 and
// 2.78 by t = 4096, where exp(t L) keeps it within 1). The admitted lengths
// need not form an interval: 2 dt can lie among long steps that pass (E
// keeping little beyond the mean) while dt grows a mode (on 49 nodes of
// rough a, one such step of 12.19 multiplied max|u| by 375 where the exact
// flow keeps 0.021), so neither judgement stands for the other. A refusal
// reports the length that refused.
Expected<StepJudgement> judge_axis_step(const AxisStep& ax, double dt, PollBudget& budget, JudgedLengths& seen) {
    if (ax.circulant) return seen.judge(ax, dt, budget);
    const double first = seen.doubled_binds ? dt + dt : dt, second = seen.doubled_binds ? dt : dt + dt;
    Expected<StepJudgement> judged = seen.judge(ax, first, budget);
    if (judged && judged->admitted) judged = seen.judge(ax, second, budget);
    if (judged && !judged->admitted) seen.doubled_binds = judged->length != dt;
    return judged;
}

}  // namespace

Expected<std::optional<VarCoefTt::StepLimit>> VarCoefTt::amplifying_step(double t_final, std::uint64_t n_steps) const {
    const double tau = t_final / static_cast<double>(n_steps);
    const std::size_t d = ndim();
    PollBudget budget(std::uint64_t{1} << 22);
    std::vector<AxisStep> axes(d);
    bool dense = false;
    for (std::size_t j = 0; j < d; ++j) {
        axes[j] = axis_step(a_axis[j], b_axis[j], v_axis[j], spacing(j));
        dense = dense || (!axes[j].circulant && axes[j].taylor && axes[j].finite);
    }
    // The last axis takes one step of t, the others two of t/2.
    auto axis_dt = [&](std::size_t j, double t) { return j + 1 == d ? t : t * 0.5; };
    // Does every axis admit its steps of a time step t? The refusing axis
    // and its judgement go to `why`.
    struct Refusal {
        std::size_t axis = 0;
        StepJudgement judged;
    };
    std::vector<JudgedLengths> seen(d);
    auto admits = [&](double t, Refusal* why, bool remembered = true) -> Expected<bool> {
        for (std::size_t j = 0; j < d; ++j) {
            const double dt = axis_dt(j, t);
            if (remembered && memory->admitted(j, dt)) continue;
            Expected<StepJudgement> judged = judge_axis_step(axes[j], dt, budget, seen[j]);
            if (!judged) return fail(judged.error());
            if (!judged->admitted) {
                if (why) *why = Refusal{j, *judged};
                return false;
            }
            memory->note_pass(j, dt);
        }
        return true;
    };
    // The judgement of a call of `count` steps of t on what they apply: on
    // each dense axis |S_j^count|_inf (S_j its map of one time step: S(t/2)^2,
    // S(t) on the last) against what the flow it approximates reaches over
    // t_final, max(1, |exp(t_final L_h)|_inf), both in units of
    // exp(t_final max(v_j, 0)); the axis of the largest ratio. The flow is
    // formed only where the powers exceed kPowerFactor.
    struct PowerJudgement {
        double ratio = 0.0;  // |S_j^count|_inf / flow
        double norm = 1.0;   // |S_j^count|_inf
        double flow = 1.0;
        std::size_t axis = 0;
    };
    auto powers = [&](double t, std::uint64_t count) -> Expected<PowerJudgement> {
        PowerJudgement worst;
        if (t == 0.0) return worst;  // every step the identity
        for (std::size_t j = 0; j < d; ++j) {
            const AxisStep& ax = axes[j];
            if (ax.circulant || !ax.taylor || !ax.finite || ax.n > kMaxDenseNodes) continue;
            const double dt = axis_dt(j, t);
            std::optional<double> norm = memory->power_of(j, dt, count);
            if (!norm) {
                Expected<DenseStep> step = dense_step(ax, dt, budget);
                if (!step) return fail(step.error());
                const double unit = std::exp(dt * ax.v_max);
                for (double& x : step->s) x /= unit;
                std::vector<double> base = std::move(step->s);
                if (j + 1 != d) {
                    std::vector<double> square;
                    if (Status st = multiply(base, base, square, ax.n, budget); !st) return fail(st.error());
                    base = std::move(square);
                }
                Expected<double> judged = power_norm(std::move(base), ax.n, count, kPowerFactor, budget);
                if (!judged) return fail(judged.error());
                norm = *judged;
                memory->note_power(j, dt, count, *norm);
            }
            std::optional<double> flow = 1.0;
            if (*norm > kPowerFactor) {
                flow = memory->flow_of(j, t_final);
                if (!flow) {
                    Expected<double> judged = flow_norm(ax, t_final, budget);
                    if (!judged) return fail(judged.error());
                    flow = *judged;
                    memory->note_flow(j, t_final, *flow);
                }
            }
            // A flow or powers beyond the doubles (or NaN) judge nothing: refused.
            const double ratio = *norm / *flow;
            const PowerJudgement here{std::isfinite(*flow) && !std::isnan(ratio) ? ratio
                                                                                   : std::numeric_limits<double>::infinity(),
                                      *norm, *flow, j};
            if (here.ratio > worst.ratio) worst = here;
        }
        return worst;
    };
    // Does a call of `count` steps of t pass both judgements?
    auto call_passes = [&](double t, std::uint64_t count, double* ratio) -> Expected<bool> {
        Expected<bool> ok = admits(t, nullptr);
        if (!ok || !*ok) return ok;
        Expected<PowerJudgement> judged = powers(t, count);
        if (!judged) return fail(judged.error());
        if (ratio) *ratio = judged->ratio;
        return judged->ratio <= kPowerFactor;
    };
    // From `least` up by doubling, the first count whose call passes; 0
    // where the counts end, or where the ratio to the flow stops changing
    // above the bound (as the steps shorten their powers approach exp(t L_h)
    // and the ratio 1; this ends the search should rounding keep it from
    // that).
    auto passing_count = [&](std::uint64_t least) -> Expected<std::uint64_t> {
        constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();
        double previous = std::numeric_limits<double>::infinity();
        for (std::uint64_t count = least; count > 0;) {
            double factor = 0.0;
            Expected<bool> ok = call_passes(t_final / static_cast<double>(count), count, &factor);
            if (!ok) return fail(ok.error());
            if (*ok) return count;
            if (factor > 0.0 && std::abs(factor - previous) <= 1e-3 * factor) return std::uint64_t{0};
            previous = factor;
            if (count == kMost) return std::uint64_t{0};
            count = count > kMost / 2 ? kMost : count * 2;
        }
        return std::uint64_t{0};
    };
    Refusal why;
    Expected<bool> at_tau = admits(tau, &why);
    if (!at_tau) return fail(at_tau.error());
    if (*at_tau) {
        Expected<PowerJudgement> judged = powers(tau, n_steps);
        if (!judged) return fail(judged.error());
        if (judged->ratio <= kPowerFactor) return std::optional<StepLimit>{};
        StepLimit limit;
        limit.by_powers = true;
        limit.axis = judged->axis;
        limit.factor = judged->norm;
        limit.flow = judged->flow;
        limit.allowed = kPowerFactor * judged->flow;
        limit.tau_pass = limit.tau_named = tau;
        constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();
        Expected<std::uint64_t> named = passing_count(n_steps > kMost / 2 ? kMost : n_steps * 2);
        if (!named) return fail(named.error());
        limit.count_named = *named;
        return std::optional<StepLimit>{limit};
    }
    StepLimit limit;
    // A time step takes two steps of tau/2 on every axis but the last.
    const bool twice = why.axis + 1 != d;
    limit.axis = why.axis;
    limit.doubled = why.judged.length != axis_dt(why.axis, tau);
    limit.by_norm = why.judged.by_norm;
    limit.by_rounding = why.judged.by_rounding;
    if (why.judged.by_norm) {
        limit.factor = why.judged.norm;
    } else {
        limit.factor = twice && !why.judged.by_rounding ? why.judged.radius * why.judged.radius : why.judged.radius;
    }
    limit.allowed = twice ? why.judged.allowed * why.judged.allowed : why.judged.allowed;

    // The first edge from below: the admitted steps need not form an
    // interval (a step so long that the spectral step keeps only the mean
    // can pass where shorter ones grow a mode), and the count named must
    // pass with every count above it. From a step that passes (the edge of
    // an earlier search, or where the judgement turns for a scalar step,
    // dt |L_h| ~ 1, and eighths of it until one passes), up by factors of 2
    // to the first refusal, then halving between the two.
    double lo = tau, hi = tau;
    for (std::size_t j = 0; j < d; ++j) lo = std::min(lo, (j + 1 == d ? 1.0 : 2.0) * memory->edge_of(j));
    auto probe = [&](double t) -> Expected<bool> {
        Expected<bool> ok = admits(t, nullptr);
        if (ok) (*ok ? lo : hi) = t;
        return ok;
    };
    if (!(lo > 0.0)) {
        double guess = tau * 0.5;
        for (std::size_t j = 0; j < d; ++j) {
            if (axes[j].scale > 0.0 && std::isfinite(axes[j].scale)) {
                guess = std::min(guess, (j + 1 == d ? 1.0 : 2.0) / axes[j].scale);
            }
        }
        for (double t = guess; t > 0.0 && !(lo > 0.0); t *= 0.125) {
            Expected<bool> ok = probe(t);
            if (!ok) return fail(ok.error());
        }
    }
    while (lo > 0.0 && lo * 2.0 < hi) {
        Expected<bool> ok = probe(lo * 2.0);
        if (!ok) return fail(ok.error());
        if (!*ok) break;
    }
    // Non-negative doubles are ordered as their bit patterns: halving those
    // finds the edge to the neighbouring double. With a dense judgement the
    // search stops within 2^-8 of the edge: a dozen QRs in all.
    const std::uint64_t width = dense ? std::uint64_t{1} << 44 : 1;
    std::uint64_t lo_bits = std::bit_cast<std::uint64_t>(lo), hi_bits = std::bit_cast<std::uint64_t>(hi);
    while (hi_bits - lo_bits > width) {
        const std::uint64_t mid = lo_bits + (hi_bits - lo_bits) / 2;
        Expected<bool> ok = admits(std::bit_cast<double>(mid), nullptr);
        if (!ok) return fail(ok.error());
        (*ok ? lo_bits : hi_bits) = mid;
    }
    limit.tau_pass = std::bit_cast<double>(lo_bits);
    limit.largest = hi_bits - lo_bits <= 1;
    // The step a refusal names is printed four digits inwards, below the
    // edge: the admitted lengths need not form an interval, so that step is
    // judged itself, as a fresh evolver would judge it (near the edge a
    // radius within rounding of its bound can turn either way), and lowered
    // by 2^-8 until it passes.
    limit.tau_named = floor_4_digits_inside(limit.tau_pass);
    for (int k = 0; k < 16 && limit.tau_named > 0.0; ++k) {
        Expected<bool> ok = admits(limit.tau_named, nullptr, false);
        if (!ok) return fail(ok.error());
        if (*ok) break;
        limit.tau_named = floor_4_digits_inside(limit.tau_named * (1.0 - 0x1p-8));
    }
    for (std::size_t j = 0; j < d; ++j) memory->note_edge(j, axis_dt(j, limit.tau_pass));
    // The count named: the least whose steps are within tau_named, and
    // whose call passes the judgement of its powers.
    const double shown = limit.tau_named;
    const StepCounts counts = admitted_counts(t_final, std::numeric_limits<std::uint64_t>::max(),
                                              [&](double step) { return step <= shown; });
    if (counts.outcome == StepCounts::Outcome::Fits && counts.least > 0) {
        Expected<std::uint64_t> named = passing_count(counts.least);
        if (!named) return fail(named.error());
        limit.count_named = *named;
    }
    return std::optional<StepLimit>{limit};
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
