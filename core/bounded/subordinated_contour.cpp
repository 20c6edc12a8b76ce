#include "core/bounded/subordinated_contour.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/foundation/band_solve.hpp"
#include "core/foundation/boundary.hpp"
#include "core/foundation/elliptic.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {

namespace {

using Complex = std::complex<double>;

constexpr std::size_t kReach = 3;                     // the stencil's half-width
constexpr double kStencil[7] = {2, -27, 270, -490, 270, -27, 2};  // / 180: dx^2 u''
constexpr double kPi = 3.141592653589793;

// The trapezoidal rule's error, exp(-pi K' N/(4K)), taken to e^-36 below
// the data (the conformal map's constants and rounding stay below it).
constexpr double kQuadratureExponent = 36.0;
// The check of a contour: f = 1 must return r - P0 r to this, relative to
// max|r|, beyond the solves' rounding bound. A missed eigenvalue leaves its
// whole share of the probe, O(1).
constexpr double kCheckTolerance = 1e-9;
// The first m tried: a quarter of (pi/(n-1))^2, the least eigenvalue of a
// continuous Laplacian on the grid's span, which the grid's least nonzero
// eigenvalue exceeds by a factor 1.5 (n = 4) to 4 (large n). The check
// lowers it fourfold where needed, at most this many times.
constexpr int kLowerings = 4;
// From this many nodes on, the left null vectors of "linear" ends are formed
// in closed form (the two ends' boundary layers, |rho|^64 ~ 1e-70, apart).
constexpr std::size_t kExplicitKernelNodes = 64;

Complex times(Complex a, Complex b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

// B = -dx^2 L row by row: the stencil's reads beyond the ends as the end
// kind gives them (nothing for "zero", the end's slope line for "linear").
std::vector<double> generator_band(const Grid1D<double>& grid) {
    const std::size_t n = grid.n, w = 2 * kReach + 1;
    std::vector<double> band(n * w, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t m = 0; m < w; ++m) {
            const std::int64_t j = static_cast<std::int64_t>(i + m) - static_cast<std::int64_t>(kReach);
            SampleTerm terms[3];
            const int count = sample_form(grid.boundary, n, j, grid.dx(), terms);
            for (int q = 0; q < count; ++q) {
                const std::int64_t col = terms[q].index;
                const std::int64_t off = col - static_cast<std::int64_t>(i) + static_cast<std::int64_t>(kReach);
                if (off < 0 || off >= static_cast<std::int64_t>(w)) internal_fault("generator_band: a read beyond the band");
                band[i * w + static_cast<std::size_t>(off)] -= kStencil[m] * terms[q].weight / 180.0;
            }
        }
    }
    return band;
}

double row_sum_norm(const std::vector<double>& band, std::size_t n) {
    double top = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double s = 0.0;
        for (std::size_t m = 0; m < 2 * kReach + 1; ++m) s += std::fabs(band[i * (2 * kReach + 1) + m]);
        top = std::fmax(top, s);
    }
    return top;
}

// B(i, j) of the band, 0 outside it.
double band_at(const std::vector<double>& band, std::size_t i, std::size_t j) {
    const std::int64_t off = static_cast<std::int64_t>(j) - static_cast<std::int64_t>(i) + static_cast<std::int64_t>(kReach);
    const std::size_t w = 2 * kReach + 1;
    return off < 0 || off >= static_cast<std::int64_t>(w) ? 0.0 : band[i * w + static_cast<std::size_t>(off)];
}

// B^T w = 0 on a short grid: the two left null vectors pinned at the end
// nodes, (w_0, w_{n-1}) = (1, 0) and (0, 1), from rows 1 .. n-2 of B^T (rows 0
// and n-1 follow, B's columns being dependent through the constants and
// lines). The pinned system is a second difference: its condition, ~n^2,
// costs n^2 eps, so only short grids take it.
Expected<std::array<std::vector<double>, 2>> pinned_left_kernel(const std::vector<double>& band, std::size_t n) {
    const std::size_t m = n - 2;
    std::array<std::vector<double>, 2> pinned;
    for (int e = 0; e < 2; ++e) {
        const std::size_t end = e == 0 ? 0 : n - 1;
        BandSystem<double> s = BandSystem<double>::zeros(m, kReach, kReach);
        std::vector<double> rhs(m);
        for (std::size_t r = 0; r < m; ++r) {
            for (std::size_t c = (r >= kReach ? r - kReach : 0); c <= std::min(m - 1, r + kReach); ++c)
                s.at(r, c) = band_at(band, c + 1, r + 1);
            rhs[r] = -band_at(band, end, r + 1);
        }
        if (Status st = band_solve(s, std::span<double>(rhs)); !st) return fail(st.error());
        pinned[e].assign(n, 0.0);
        pinned[e][end] = 1.0;
        for (std::size_t r = 0; r < m; ++r) pinned[e][r + 1] = rhs[r];
    }
    return pinned;
}

// B^T w = 0 on a long grid, in closed form: rows 3 .. n-4 of B^T are the
// stencil itself, whose solutions are 1, i, rho^i and rho^(n-1-i) (and
// conjugates) for the roots rho of the stencil's symbol inside the unit
// circle; the six end rows fix the two combinations that are null vectors.
// Exact to rounding at any n.
Expected<std::array<std::vector<double>, 2>> explicit_left_kernel(const std::vector<double>& band, std::size_t n) {
    // The symbol mu(theta) dx^2 = 4 s + (4/3) s^2 + (32/45) s^3, s = sin^2(theta/2) = -(rho - 1)^2/(4 rho):
    // at mu = 0 the double root rho = 1 and s the roots of (32/45) s^2 + (4/3) s + 4.
    const Complex s_root = Complex{-4.0 / 3.0, std::sqrt(432.0 / 45.0)} / (64.0 / 45.0);
    const Complex beta = 2.0 - 4.0 * s_root;  // rho + 1/rho
    const Complex root = std::sqrt(0.25 * beta * beta - 1.0);
    const Complex rho = std::abs(0.5 * beta - root) < 1.0 ? 0.5 * beta - root : 0.5 * beta + root;
    const double mid = 0.5 * static_cast<double>(n - 1);
    auto basis = [&](int k, std::size_t i) -> double {
        const double di = static_cast<double>(i);
        switch (k) {
            case 0: return 1.0;
            case 1: return di - mid;
            case 2: return std::pow(rho, di).real();
            case 3: return std::pow(rho, di).imag();
            case 4: return std::pow(rho, static_cast<double>(n - 1) - di).real();
            default: return std::pow(rho, static_cast<double>(n - 1) - di).imag();
        }
    };
    const std::size_t rows[6] = {0, 1, 2, n - 3, n - 2, n - 1};
    double a[6][6];
    for (int r = 0; r < 6; ++r) {
        for (int k = 0; k < 6; ++k) {
            double sum = 0.0;  // (B^T b_k)(row) = sum_i B(i, row) b_k(i)
            const std::size_t row = rows[r];
            for (std::size_t i = (row >= kReach ? row - kReach : 0); i <= std::min(n - 1, row + kReach); ++i)
                sum += band_at(band, i, row) * basis(k, i);
            a[r][k] = sum;
        }
    }
    // Rank 4 by elimination with complete pivoting; the two free columns give the null vectors.
    int col[6] = {0, 1, 2, 3, 4, 5};
    double top = 0.0;
    for (auto& r : a)
        for (double v : r) top = std::fmax(top, std::fabs(v));
    for (int p = 0; p < 4; ++p) {
        int bi = p, bj = p;
        for (int i = p; i < 6; ++i)
            for (int j = p; j < 6; ++j)
                if (std::fabs(a[i][j]) > std::fabs(a[bi][bj])) bi = i, bj = j;
        if (!(std::fabs(a[bi][bj]) > 1e-8 * top)) return domain_error("explicit_left_kernel: rank below 4", p);
        std::swap(a[p], a[bi]);
        for (auto& r : a) std::swap(r[p], r[bj]);
        std::swap(col[p], col[bj]);
        for (int i = p + 1; i < 6; ++i) {
            const double l = a[i][p] / a[p][p];
            for (int j = p; j < 6; ++j) a[i][j] -= l * a[p][j];
        }
    }
    std::array<std::vector<double>, 2> out;
    for (int e = 0; e < 2; ++e) {
        double c[6] = {};
        c[4 + e] = 1.0;
        for (int p = 3; p >= 0; --p) {
            double sum = 0.0;
            for (int j = p + 1; j < 6; ++j) sum += a[p][j] * c[j];
            c[p] = -sum / a[p][p];
        }
        out[e].assign(n, 0.0);
        for (int k = 0; k < 6; ++k) {
            if (c[k] == 0.0) continue;
            for (std::size_t i = 0; i < n; ++i) out[e][i] += c[k] * basis(col[k], i);
        }
    }
    return out;
}

// The left null vectors W of B ("linear" ends), scaled so that W^T V = I for
// V = [1, i - (n-1)/2].
Expected<std::pair<std::vector<double>, std::vector<double>>> left_kernel(const std::vector<double>& band,
                                                                        std::size_t n) {
    auto pinned = n < kExplicitKernelNodes ? pinned_left_kernel(band, n) : explicit_left_kernel(band, n);
    if (!pinned) return fail(pinned.error());
    const std::array<std::vector<double>, 2>& p = *pinned;
    // G = P^T V, then W = P G^-T: W^T V = G^-1 P^T V = I.
    const double mid = 0.5 * static_cast<double>(n - 1);
    double g[2][2] = {};
    for (int e = 0; e < 2; ++e) {
        for (std::size_t i = 0; i < n; ++i) {
            g[e][0] += p[e][i];
            g[e][1] += p[e][i] * (static_cast<double>(i) - mid);
        }
    }
    const double det = g[0][0] * g[1][1] - g[0][1] * g[1][0];
    if (!(std::fabs(det) > 0.0)) return domain_error("left_kernel: the lines are not a complement", det);
    std::vector<double> constant(n), slope(n);
    for (std::size_t i = 0; i < n; ++i) {
        constant[i] = (g[1][1] * p[0][i] - g[0][1] * p[1][i]) / det;
        slope[i] = (-g[1][0] * p[0][i] + g[0][0] * p[1][i]) / det;
    }
    return std::pair{std::move(constant), std::move(slope)};
}

struct Nodes {
    std::vector<Complex> z, weight;
};

// The half of the N-point rule (one node of each conjugate pair) for spectra
// in [m, M] and the sector of power p, with N from the error exp(-pi K' N/(4K)).
Nodes contour_nodes(double m, double M, double p) {
    const double a = std::pow(m, p), b = std::pow(M, p);
    const double c = std::sqrt(a) * std::sqrt(b);
    const double r = std::sqrt(b) / std::sqrt(a);
    // The disk minus [-k, k]; k_e = 2k/(1 + k^2) and its complement, formed
    // without cancellation: 1 - k^2 = 4r/(r + 1)^2.
    const double k = (r - 1.0) / (r + 1.0);
    const double one_minus_k2 = 4.0 * r / ((r + 1.0) * (r + 1.0));
    const double ke = 2.0 * k / (1.0 + k * k);
    const double kep = one_minus_k2 / (1.0 + k * k);
    const double K = complete_elliptic_k(kep), Kp = complete_elliptic_k(ke);
    const double want = std::ceil(kQuadratureExponent * 4.0 * K / (kPi * Kp));
    const std::size_t half = std::max<std::size_t>(4, saturating_cast<std::size_t>(0.5 * want) + 1);
    const std::size_t N = 2 * half;
    const double h = 4.0 * K / static_cast<double>(N);
    // sn, cn, dn of x + i K'/2 by the addition formulas from those of x
    // (complement k_e') and of K'/2 (complement k_e).
    const JacobiSnCnDn q = jacobi_sn_cn_dn(0.5 * Kp, ke);
    const double m_e = ke * ke;
    Nodes out;
    out.z.reserve(half);
    out.weight.reserve(half);
    for (std::size_t j = 0; j < half; ++j) {
        const double x = K + (static_cast<double>(j) + 0.5) * h;
        const JacobiSnCnDn s = jacobi_sn_cn_dn(x, kep);
        const double den = q.cn * q.cn + m_e * (s.sn * s.sn) * (q.sn * q.sn);
        const Complex sn{s.sn * q.dn / den, s.cn * s.dn * q.sn * q.cn / den};
        const Complex cn{s.cn * q.cn / den, -(s.sn * s.dn * q.sn * q.dn) / den};
        const Complex dn{s.dn * q.cn * q.dn / den, -(m_e * s.sn * s.cn * q.sn) / den};
        // w = c i cot((am - pi/2)/2) in the half plane, from whichever of
        // 1 + sn, 1 - sn is farther from 0.
        const Complex ic{0.0, -c};
        const Complex w = std::abs(1.0 + sn) >= std::abs(1.0 - sn) ? ic * (1.0 + sn) / cn : ic * cn / (1.0 - sn);
        const Complex dw = Complex{0.0, -0.5 / c} * ((c - w) * (c + w)) * dn;
        const Complex z = p == 1.0 ? w : std::pow(w, 1.0 / p);
        const Complex dz = p == 1.0 ? dw : (z / w) * dw / p;
        out.z.push_back(z);
        // (1/(2 pi i)) dz h, twice (the conjugate node's term is the conjugate).
        out.weight.push_back(dz * Complex{0.0, -h / kPi});
    }
    return out;
}

// A deterministic vector with every mode present and the lowest ones large
// (a quadratic and a cubic in the grid's position): an eigenvalue left
// outside the contour, which can only be a low one, leaves O(1) of it.
std::vector<double> probe_vector(std::size_t n) {
    std::vector<double> v(n);
    std::uint64_t s = 0x9E3779B97F4A7C15ull;
    for (std::size_t i = 0; i < n; ++i) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        const double y = 2.0 * static_cast<double>(i) / static_cast<double>(n - 1) - 1.0;
        v[i] = (static_cast<double>(s >> 11) * 0x1p-53 - 0.5) + y * y * (2.0 + y);
    }
    return v;
}

}  // namespace

std::optional<std::size_t> SubordinatedContour::call_bytes(std::size_t n) {
    // The complex band, the solution, and the two real sums.
    const std::size_t per_node = (2 * kReach + kReach + 1) * sizeof(Complex) + sizeof(Complex) + 2 * sizeof(double);
    if (n > SIZE_MAX / per_node) return std::nullopt;
    return n * per_node;
}

std::vector<double> SubordinatedContour::kernel_part(std::span<const double> r) const {
    std::vector<double> out(r.size(), 0.0);
    if (left_constant.empty()) return out;
    double c0 = 0.0, c1 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        c0 += left_constant[i] * r[i];
        c1 += left_slope[i] * r[i];
    }
    const double mid = 0.5 * static_cast<double>(n - 1);
    for (std::size_t i = 0; i < n; ++i) out[i] = c0 + c1 * (static_cast<double>(i) - mid);
    return out;
}

Expected<SubordinatedContour::Sums> SubordinatedContour::sums(std::span<const double> src,
                                                             std::span<const Complex> log_w) const {
    if (src.size() != n || log_w.size() != nodes.size()) internal_fault("SubordinatedContour::sums: sizes");
    Sums out;
    out.kernel = kernel_part(src);
    std::vector<double> r(n);
    for (std::size_t i = 0; i < n; ++i) r[i] = src[i] - out.kernel[i];
    out.f.assign(n, 0.0);
    out.g.assign(n, 0.0);
    const std::size_t w = 2 * kReach + 1;
    BandSystem<Complex> sys = BandSystem<Complex>::zeros(n, kReach, kReach);
    std::vector<Complex> x(n);
    for (std::size_t j = 0; j < nodes.size(); ++j) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        // f = exp(-w), g = f - 1 = expm1(-w); w beyond the doubles damps to 0.
        Complex f{0.0, 0.0}, g{-1.0, 0.0};
        if (log_w[j].real() < 709.0) {
            const Complex wj = std::exp(log_w[j]);
            const double e = std::exp(-wj.real()), em1 = std::expm1(-wj.real());
            const double cb = std::cos(wj.imag()), sb = std::sin(wj.imag()), half = std::sin(0.5 * wj.imag());
            f = {e * cb, -e * sb};
            g = {em1 * cb - 2.0 * half * half, -e * sb};
        }
        std::fill(sys.rows.begin(), sys.rows.end(), Complex{});
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t m = 0; m < w; ++m) {
                const std::int64_t c = static_cast<std::int64_t>(i + m) - static_cast<std::int64_t>(kReach);
                if (c < 0 || c >= static_cast<std::int64_t>(n)) continue;
                sys.at(i, static_cast<std::size_t>(c)) = -band[i * w + m];
            }
            sys.at(i, i) += nodes[j];
            x[i] = r[i];
        }
        if (Status st = band_solve(sys, std::span<Complex>(x)); !st) return fail(st.error());
        const Complex cf = times(weights[j], f), cg = times(weights[j], g);
        double top = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            out.f[i] += cf.real() * x[i].real() - cf.imag() * x[i].imag();
            out.g[i] += cg.real() * x[i].real() - cg.imag() * x[i].imag();
            top = std::fmax(top, std::fabs(x[i].real()) + std::fabs(x[i].imag()));
        }
        out.size_f += std::abs(cf) * top * condition[j];
        out.size_g += std::abs(cg) * top * condition[j];
    }
    return out;
}

Status SubordinatedContour::apply(std::span<const double> src, std::span<double> dst,
                                  std::span<const Complex> log_w) const {
    if (dst.size() != n) internal_fault("SubordinatedContour::apply: sizes");
    auto s = sums(src, log_w);
    if (!s) return fail(s.error());
    if (s->size_f < s->size_g) {
        for (std::size_t i = 0; i < n; ++i) dst[i] = s->kernel[i] + s->f[i];
    } else {
        for (std::size_t i = 0; i < n; ++i) dst[i] = src[i] + s->g[i];
    }
    return {};
}

Expected<std::shared_ptr<const SubordinatedContour>> SubordinatedContour::make(const Grid1D<double>& grid, double p) {
    const BoundaryTag ends = grid.boundary.tag;
    if ((ends != BoundaryTag::Zero && ends != BoundaryTag::Linear) || grid.n < 4)
        internal_fault("SubordinatedContour::make: zero or linear ends on 4 or more nodes");
    auto out = std::make_shared<SubordinatedContour>();
    out->n = grid.n;
    out->band = generator_band(grid);
    if (ends == BoundaryTag::Linear) {
        auto left = left_kernel(out->band, grid.n);
        if (!left) return fail(left.error());
        out->left_constant = std::move(left->first);
        out->left_slope = std::move(left->second);
    }
    const double M = row_sum_norm(out->band, grid.n);
    const double span = static_cast<double>(grid.n - 1);
    double m = 0.25 * (kPi / span) * (kPi / span);
    const std::vector<double> probe = probe_vector(grid.n);
    for (int tries = 0; tries <= kLowerings; ++tries, m *= 0.25) {
        Nodes q = contour_nodes(m, M, p);
        out->nodes = std::move(q.z);
        out->weights = std::move(q.weight);
        // (M + |z|)/dist(z, [m, M]): how far a solve at z can move its result
        // (the spectrum lies in [m, M]).
        out->condition.clear();
        for (const Complex z : out->nodes) {
            const double re = std::clamp(z.real(), m, M);
            out->condition.push_back((M + std::abs(z)) / std::abs(z - re));
        }
        // f = 1 at every node (log w = -inf): P0 r + Q[1] r must be r.
        const std::vector<Complex> unit(out->nodes.size(), Complex{-std::numeric_limits<double>::infinity(), 0.0});
        auto s = out->sums(probe, unit);
        if (!s) return fail(s.error());
        double err = 0.0, top = 0.0;
        for (std::size_t i = 0; i < grid.n; ++i) {
            err = std::fmax(err, std::fabs(s->kernel[i] + s->f[i] - probe[i]));
            top = std::fmax(top, std::fabs(probe[i]));
        }
        // The rounding bound, eps size_f, is 10-100 times the rounding met.
        if (err <= kCheckTolerance * top + 4.0 * 0x1p-52 * s->size_f)
            return std::shared_ptr<const SubordinatedContour>(std::move(out));
    }
    internal_fault("SubordinatedContour::make: no contour encloses the spectrum");
}

}  // namespace quorvane
