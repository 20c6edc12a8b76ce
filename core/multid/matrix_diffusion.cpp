#include "core/multid/matrix_diffusion.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>

#include "core/foundation/numeric.hpp"
#include "core/multid/line_sweep.hpp"
#include "core/multid/sizes.hpp"

namespace quorvane {
namespace {

Mat2 mul(const Mat2& a, const Mat2& b) {
    return {a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2],
            a[2] * b[1] + a[3] * b[3]};
}
Vec2 mul(const Mat2& a, const Vec2& v) { return {a[0] * v[0] + a[1] * v[1], a[2] * v[0] + a[3] * v[1]}; }
Mat2 add(const Mat2& a, const Mat2& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2], a[3] + b[3]}; }
Mat2 sub(const Mat2& a, const Mat2& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2], a[3] - b[3]}; }
Mat2 neg(const Mat2& a) { return {-a[0], -a[1], -a[2], -a[3]}; }
Mat2 scale(double s, const Mat2& a) { return {s * a[0], s * a[1], s * a[2], s * a[3]}; }
Vec2 add(const Vec2& a, const Vec2& b) { return {a[0] + b[0], a[1] + b[1]}; }
Vec2 sub(const Vec2& a, const Vec2& b) { return {a[0] - b[0], a[1] - b[1]}; }
Vec2 scale(double s, const Vec2& a) { return {s * a[0], s * a[1]}; }
// s*M/d and M*v/d entrywise, in that order of operations.
Mat2 scaled_over(double s, const Mat2& a, double d) { return {s * a[0] / d, s * a[1] / d, s * a[2] / d, s * a[3] / d}; }
Vec2 over(const Vec2& a, double d) { return {a[0] / d, a[1] / d}; }
constexpr Mat2 kIdentity{1.0, 0.0, 0.0, 1.0};

Vec2 node(std::span<const double> v, std::size_t k) { return {v[2 * k], v[2 * k + 1]}; }

// A = a I at every node with a >= 0, and B = 0: the system of the step is
// I + P K on each component alone.
bool scalar_diffusion(const std::vector<Mat2>& a, const std::vector<Mat2>& b) {
    const Mat2 a0 = a[0];
    if (!(a0[1] == 0.0 && a0[2] == 0.0 && a0[0] == a0[3] && a0[0] >= 0.0 && std::isfinite(a0[0]))) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (a[k] != a0 || b[k] != Mat2{}) return false;
    }
    return true;
}

// The elimination of (I + P K) y = w, K the mirror Laplacian (rows [1, -1],
// [-1, 2, -1], [-1, 1]), every row summing to 1. Its pivots are
// m_k = P + e_k (the last one e_(n-1)) with the excess
// e_k = 1 + P e_(k-1) / m_(k-1) in [1, k + 1], a sum of positive terms; with
// d'_k = (1 - g_k) S_k the sweeps become the averages
// S_k = w_k + phi_k (S_(k-1) - w_k), phi_k = 1 - 1/e_k, and
// y_k = S_k + g_k (y_(k+1) - S_k), g_k = P / m_k, which keep a constant w
// exactly, return w itself for P = 0 and never leave [min w, max w].
// P = (tau/2) a / dx^2 enters only as P / e_k or e_k / P (whichever is at
// most 1), formed from the factors' exponents: P itself may lie far beyond
// the double range, where the solve is the mean and still exact.
void convex_weights(MatrixLinePlan& p, double a) {
    const std::size_t n = p.n;
    p.phi.assign(n, 0.0), p.g.assign(n, 0.0);
    if (p.h == 0.0 || a == 0.0) return;
    int eh = 0, ea = 0, ed = 0;
    const double mant = std::frexp(p.h, &eh) * std::frexp(a, &ea) / std::frexp(p.dx2, &ed);
    const int expo = eh + ea - ed;  // P = mant 2^expo, mant in (1/4, 2)
    double e = 1.0;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const double rho = std::ldexp(mant / e, expo);  // P / e_k
        const double gk = rho <= 1.0 ? rho / (1.0 + rho) : 1.0 / (1.0 + std::ldexp(e / mant, -expo));
        const double beta = e * gk;  // P e_k / m_k
        p.g[k] = gk;
        e = 1.0 + beta;
        p.phi[k + 1] = beta / e;
    }
}

}  // namespace

// Nearly equal eigenvalues use the first-order form e^(s/2) (I + M - s/2 I),
// which avoids the cancellation of the divided difference.
Mat2 reaction_factor(const Mat2& m) {
    const double s = m[0] + m[3];
    const double q = m[0] * m[3] - m[1] * m[2];
    const double disc = s * s - 4.0 * q;
    if (std::fabs(disc) < 2.220446049250313e-13) {
        const double e = std::exp(s / 2.0);
        return {e * (m[0] + 1.0 - s / 2.0), e * m[1], e * m[2], e * (m[3] + 1.0 - s / 2.0)};
    }
    const double r = std::sqrt(std::fabs(disc));
    const double l1 = (s + r) / 2.0, l2 = (s - r) / 2.0;
    const double e1 = std::exp(l1), e2 = std::exp(l2);
    const double d = l1 - l2;
    const double alpha = (e1 - e2) / d;
    const double beta = (l1 * e2 - l2 * e1) / d;
    return add(scale(beta, kIdentity), scale(alpha, m));
}

Expected<Mat2> mat_inv_m2(const Mat2& m) {
    const double det = m[0] * m[3] - m[1] * m[2];
    if (det == 0.0) return domain_error("mat_inv_m2: singular matrix (det=0)", 0.0);
    const double inv = 1.0 / det;
    return Mat2{inv * m[3], inv * -m[1], inv * -m[2], inv * m[0]};
}

Expected<MatrixDiffusionChernoff> MatrixDiffusionChernoff::make(const Grid1D<double>& grid, double a_diag,
                                                               double c_coupling) {
    if (grid.n < 5) {
        return domain_error("MatrixDiffusionChernoff requires grid.n >= 5 (5-pt stencil)", static_cast<double>(grid.n));
    }
    auto constant = [](Mat2 m) { return std::make_shared<const std::function<Mat2(double)>>([m](double) { return m; }); };
    MatrixDiffusionChernoff k{grid, constant({a_diag, 0.0, 0.0, a_diag}), constant({0.0, 0.0, 0.0, 0.0}),
                              constant({0.0, c_coupling, c_coupling, 0.0})};
    const Mat2 centre = (*k.a_ij_field)(0.5 * (grid.xmin + grid.xmax));
    for (double e : centre)
        if (!std::isfinite(e)) return domain_error("a_ij_field at grid centre returned non-finite entry", std::nan(""));
    return k;
}

Expected<MatrixLinePlan> MatrixDiffusionChernoff::plan(const Grid1D<double>& line, double tau) const {
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and >= 0", tau);
    const std::size_t n = line.n;
    if (n < 2) internal_fault("MatrixDiffusionChernoff: line length mismatch");
    MatrixLinePlan p;
    p.n = n;
    p.dx = (line.xmax - line.xmin) / static_cast<double>(n - 1);
    p.dx2 = p.dx * p.dx;
    p.h = tau / 2.0;
    const double dx = p.dx, dx2 = p.dx2, h = p.h;
    p.a.resize(n), p.b.resize(n), p.r.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        const double x = line.xmin + static_cast<double>(k) * dx;
        p.a[k] = (*a_ij_field)(x);
        p.b[k] = (*b_field)(x);
        p.r[k] = reaction_factor(scale(h, (*c_field)(x)));
    }
    if (scalar_diffusion(p.a, p.b)) {
        p.scalar = true;
        convex_weights(p, p.a[0][0]);
        return p;
    }
    // Block rows of (I - hL), mirror ghosts.
    std::vector<Mat2> diag(n), upper(n);
    p.lower.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        const Mat2 q1 = scaled_over(h, p.a[k], dx2);
        const Mat2 q2 = scaled_over(h, p.b[k], 2.0 * dx);
        if (k == 0) {
            diag[k] = add(add(kIdentity, q1), q2);
            upper[k] = neg(add(q1, q2));
        } else if (k + 1 == n) {
            p.lower[k] = neg(sub(q1, q2));
            diag[k] = sub(add(kIdentity, q1), q2);
        } else {
            p.lower[k] = neg(sub(q1, q2));
            diag[k] = add(kIdentity, scaled_over(tau, p.a[k], dx2));
            upper[k] = neg(add(q1, q2));
        }
    }
    // The block Thomas elimination.
    p.inv.resize(n), p.cp.resize(n);
    Expected<Mat2> x = mat_inv_m2(diag[0]);
    if (!x) return fail(x.error());
    p.inv[0] = *x;
    p.cp[0] = mul(*x, upper[0]);
    for (std::size_t k = 1; k < n; ++k) {
        x = mat_inv_m2(sub(diag[k], mul(p.lower[k], p.cp[k - 1])));
        if (!x) return fail(x.error());
        p.inv[k] = *x;
        if (k + 1 < n) p.cp[k] = mul(*x, upper[k]);
    }
    return p;
}

void MatrixLinePlan::apply(std::span<const double> in, std::span<double> out, std::span<Vec2> work) const {
    if (in.size() != 2 * n || out.size() < 2 * n || work.size() < 2 * n) {
        internal_fault("MatrixLinePlan: line length mismatch");
    }
    const std::span<Vec2> w = work.first(n), dp = work.subspan(n, n);
    for (std::size_t k = 0; k < n; ++k) w[k] = mul(r[k], node(in, k));
    if (scalar) {
        // y = (I + P K)^-1 w by the averaging sweeps, then the Crank-Nicolson
        // step (I + P K)^-1 (I - P K) w = 2y - w, formed as y + (y - w).
        dp[0] = w[0];
        for (std::size_t k = 1; k < n; ++k) dp[k] = add(w[k], scale(phi[k], sub(dp[k - 1], w[k])));
        for (std::size_t k = n - 1; k-- > 0;) dp[k] = add(dp[k], scale(g[k], sub(dp[k + 1], dp[k])));
        for (std::size_t k = 0; k < n; ++k) {
            const Vec2 o = mul(r[k], add(dp[k], sub(dp[k], w[k])));
            out[2 * k] = o[0];
            out[2 * k + 1] = o[1];
        }
        return;
    }
    for (std::size_t k = 0; k < n; ++k) {
        // The right side w + h L w, then the forward sweep.
        const Vec2 wm = w[k == 0 ? 0 : k - 1];
        const Vec2 wp = w[k + 1 == n ? n - 1 : k + 1];
        const Vec2 lw = add(over(mul(a[k], add(sub(wm, scale(2.0, w[k])), wp)), dx2),
                            over(mul(b[k], sub(wp, wm)), 2.0 * dx));
        const Vec2 rhs = add(w[k], scale(h, lw));
        dp[k] = k == 0 ? mul(inv[0], rhs) : mul(inv[k], sub(rhs, mul(lower[k], dp[k - 1])));
    }
    std::span<Vec2> v = dp;  // back substitution in place
    for (std::size_t k = n - 1; k-- > 0;) v[k] = sub(dp[k], mul(cp[k], v[k + 1]));
    for (std::size_t k = 0; k < n; ++k) {
        const Vec2 o = mul(r[k], v[k]);
        out[2 * k] = o[0];
        out[2 * k + 1] = o[1];
    }
}

Status MatrixDiffusionChernoff::apply_into(const Grid1D<double>& line, std::span<const double> in,
                                           std::span<double> out, double tau) const {
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and >= 0", tau);
    const std::size_t n = line.n;
    if (n < 2 || in.size() != 2 * n || out.size() < 2 * n) {
        internal_fault("MatrixDiffusionChernoff: line length mismatch");
    }
    Expected<MatrixLinePlan> p = plan(line, tau);
    if (!p) return fail(p.error());
    std::vector<Vec2> work(2 * n);
    p->apply(in, out, work);
    return {};
}

namespace {

// One leg: `count` lines of n nodes, line p's node k at offset
// 2*(base(p) + k*stride) of `values`, stepped in place.
template <class Base>
Status matrix_leg(const MatrixDiffusionChernoff& kernel, std::vector<double>& values, std::size_t count,
                  std::size_t stride, Base base, double tau) {
    const std::size_t n = kernel.grid.n;
    std::vector<double> line(2 * n), stepped(2 * n);
    for (std::size_t p = 0; p < count; ++p) {
        const std::size_t b = base(p);
        for (std::size_t k = 0; k < n; ++k) {
            line[2 * k] = values[2 * (b + k * stride)];
            line[2 * k + 1] = values[2 * (b + k * stride) + 1];
        }
        if (Status st = kernel.apply_into(kernel.grid, line, stepped, tau); !st) return st;
        for (std::size_t k = 0; k < n; ++k) {
            values[2 * (b + k * stride)] = stepped[2 * k];
            values[2 * (b + k * stride) + 1] = stepped[2 * k + 1];
        }
    }
    return {};
}

}  // namespace

Status matrix_diffusion_2d_step(const MatrixDiffusionChernoff& x, const MatrixDiffusionChernoff& y,
                                std::span<const double> in, std::vector<double>& out, double tau) {
    const std::size_t nx = x.grid.n, ny = y.grid.n;
    if (in.size() != 2 * nx * ny) internal_fault("matrix_diffusion_2d_step: values do not match the grid");
    out.assign(in.begin(), in.end());
    const double half = tau / 2.0;
    auto row = [nx](std::size_t j) { return j * nx; };
    auto col = [](std::size_t i) { return i; };
    if (Status st = matrix_leg(x, out, ny, 1, row, half); !st) return st;
    if (Status st = matrix_leg(y, out, nx, nx, col, tau); !st) return st;
    return matrix_leg(x, out, ny, 1, row, half);
}

Status matrix_diffusion_3d_step(const MatrixDiffusionChernoff& x, const MatrixDiffusionChernoff& y,
                                const MatrixDiffusionChernoff& z, std::span<const double> in, std::vector<double>& out,
                                double tau) {
    const std::size_t nx = x.grid.n, ny = y.grid.n, nz = z.grid.n;
    if (in.size() != 2 * nx * ny * nz) internal_fault("matrix_diffusion_3d_step: values do not match the grid");
    out.assign(in.begin(), in.end());
    const double half = tau / 2.0;
    const std::size_t nxy = nx * ny;
    // Rows (j, k) in the order k outer, j inner; y lines (i, k) k outer, i
    // inner; z lines (i, j) j outer, i inner.
    auto row = [nx](std::size_t r) { return r * nx; };
    auto ycol = [nx, nxy](std::size_t p) { return (p / nx) * nxy + p % nx; };
    auto zcol = [](std::size_t p) { return p; };
    if (Status st = matrix_leg(x, out, ny * nz, 1, row, half); !st) return st;
    if (Status st = matrix_leg(y, out, nx * nz, nx, ycol, half); !st) return st;
    if (Status st = matrix_leg(z, out, nxy, nxy, zcol, tau); !st) return st;
    if (Status st = matrix_leg(y, out, nx * nz, nx, ycol, half); !st) return st;
    return matrix_leg(x, out, ny * nz, 1, row, half);
}

}  // namespace quorvane

namespace quorvane {
namespace {

// The pair step of one axis and leg length on every line: per worker the
// line buffers (two values a node) and the scratch of the plan's solve.
class MatrixLines final : public LineStepper {
public:
    MatrixLines(MatrixLinePlan plan, std::size_t workers) : plan_(std::move(plan)), workers_(workers) {}

    double* input(std::size_t w, std::size_t b) override { return buffers(w, b).in[b].data(); }
    const double* output(std::size_t w, std::size_t b) override { return buffers(w, b).out[b].data(); }
    Status step(std::size_t w, std::size_t b, std::size_t) override {
        Worker& k = buffers(w, b);
        plan_.apply(k.in[b], k.out[b], k.work);
        return {};
    }

private:
    struct alignas(64) Worker {  // one cache line apart: workers write their own only
        std::vector<std::vector<double>> in, out;  // kLineBlock slots, each made when first used
        std::vector<Vec2> work;
    };
    Worker& buffers(std::size_t w, std::size_t b) {
        Worker& k = workers_[w];
        if (k.in.empty()) {
            k.in.resize(kLineBlock), k.out.resize(kLineBlock);
            k.work.resize(2 * plan_.n);
        }
        if (k.in[b].empty()) k.in[b].assign(2 * plan_.n, 0.0), k.out[b].assign(2 * plan_.n, 0.0);
        return k;
    }
    MatrixLinePlan plan_;
    std::vector<Worker> workers_;
};

}  // namespace

Status matrix_diffusion_steps(std::span<const MatrixDiffusionChernoff> axes, std::vector<double>& values,
                              std::size_t n_steps, double tau, std::size_t workers) {
    const std::size_t d = axes.size();
    if (d == 0 || d > 3) internal_fault("matrix_diffusion_steps: one to three axes");
    std::array<std::size_t, 3> n{1, 1, 1};
    for (std::size_t a = 0; a < d; ++a) n[a] = axes[a].grid.n;
    const std::span<const std::size_t> counts(n.data(), d);
    std::optional<std::size_t> nodes = checked_product(counts);
    if (!nodes || *nodes > values.size() / 2 || 2 * *nodes != values.size()) {
        internal_fault("matrix_diffusion_steps: values do not match the grid");
    }
    // The legs: one full step of a single axis, else the palindromes.
    const double half = tau / 2.0;
    std::vector<std::size_t> order;  // axis of each leg
    std::vector<double> lengths;     // and its step
    if (d == 1) order = {0}, lengths = {tau};
    else if (d == 2) order = {0, 1, 0}, lengths = {half, tau, half};
    else order = {0, 1, 2, 1, 0}, lengths = {half, half, tau, half, half};
    std::size_t fewest = SIZE_MAX;
    for (std::size_t a = 0; a < d; ++a) fewest = std::min(fewest, *nodes / n[a]);
    const std::size_t w =
        workers != 0 ? workers : sweep_worker_count(*nodes, fewest, sweeps_of(order.size(), n_steps));
    // One plan per axis (its legs share a length), made in the order of the
    // first leg that needs it.
    std::vector<std::unique_ptr<MatrixLines>> steppers(d);
    std::vector<SweepLeg> legs;
    for (std::size_t g = 0; g < order.size(); ++g) {
        const std::size_t a = order[g];
        if (!steppers[a]) {
            Expected<MatrixLinePlan> p = axes[a].plan(axes[a].grid, lengths[g]);
            if (!p) return fail(p.error());
            steppers[a] = std::make_unique<MatrixLines>(std::move(*p), w);
        }
        legs.push_back({steppers[a].get(), LineLayout::along(counts, a, 2)});
    }
    if (n_steps == 0) return {};
    return run_sweeps(legs, n_steps, w, values);
}

}  // namespace quorvane
