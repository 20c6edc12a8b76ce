#include "core/geometric/manifold_chernoff.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/foundation/gen_quadrature.hpp"
#include "core/foundation/stop.hpp"

namespace quorvane {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kTiny = 2.220446049250313e-16;

struct Point {
    double x, y;
};

double wrap(double v, double period) {
    double r = v - period * std::floor(v / period);
    if (r < 0.0) r += period;
    return r;
}

// A torus coordinate (period 1) inside the chart is read where it is: a
// chart [0, 1] holds the seam twice, and a zero offset must read the node
// itself. Only a coordinate that leaves the chart is wrapped.
double torus_coord(double v, const Grid1D<double>& axis) {
    if (v >= axis.xmin && v <= axis.xmax) return v;
    return wrap(v, 1.0);
}

// Bilinear read in the chart. The position is clamped to the chart and the
// cell index to the last cell, so a target on the last row or column reads
// that node itself (fraction 1), not its neighbour.
double bilinear(const GridFn2D& u, double X, double Y) {
    const Grid1D<double>& gx = u.grid.x;
    const Grid1D<double>& gy = u.grid.y;
    const std::size_t nx = gx.n, ny = gy.n;
    const double fx = std::clamp((X - gx.xmin) / (gx.xmax - gx.xmin) * static_cast<double>(nx - 1), 0.0,
                                 static_cast<double>(nx - 1));
    const double fy = std::clamp((Y - gy.xmin) / (gy.xmax - gy.xmin) * static_cast<double>(ny - 1), 0.0,
                                 static_cast<double>(ny - 1));
    const std::size_t ix = std::min(static_cast<std::size_t>(fx), nx - 2);
    const std::size_t iy = std::min(static_cast<std::size_t>(fy), ny - 2);
    const double tx = fx - static_cast<double>(ix);
    const double ty = fy - static_cast<double>(iy);
    const double* v = u.values.data();
    return (1.0 - ty) * ((1.0 - tx) * v[ix + iy * nx]) + (1.0 - ty) * (tx * v[ix + 1 + iy * nx]) +
           ty * ((1.0 - tx) * v[ix + (iy + 1) * nx]) + ty * (tx * v[ix + 1 + (iy + 1) * nx]);
}

// Endpoint of the geodesic leaving (theta, phi) on S^2(r) with tangent
// T = oa e_theta + ob e_phi (e_theta, e_phi the orthonormal frame; at the
// poles e_phi still fixes a frame, so pole nodes sample a full disc). oa and
// ob are in radii, so |T| is the geodesic's angle: the cut-off below which
// the node reads itself is then the same at every radius.
Point sphere_target(double theta, double phi, double oa, double ob) {
    const double st = std::sin(theta), ct = std::cos(theta);
    const double sp = std::sin(phi), cp = std::cos(phi);
    const double tx = oa * ct * cp - ob * sp;
    const double ty = oa * ct * sp + ob * cp;
    const double tz = -oa * st;
    const double norm = std::sqrt(tx * tx + ty * ty + tz * tz);
    if (norm < kTiny) return {theta, phi};
    const double alpha = norm;
    const double ca = std::cos(alpha), sa = std::sin(alpha);
    const double th = std::acos(std::clamp(ct * ca + (tz / norm) * sa, -1.0, 1.0));
    const double ph = std::atan2(st * sp * ca + (ty / norm) * sa, st * cp * ca + (tx / norm) * sa);
    return {th, wrap(ph, kTwoPi)};
}

// Endpoint in the Poincare disk of H^2(s): the geodesic of length
// 2 sqrt(tau)|xi| from the origin ends at Euclidean radius tanh(sqrt(tau)|xi|/s)
// = tanh(|o| / (1 - |p|^2)), and the Mobius addition p (+) q carries it to p
// isometrically. scale = sqrt(tau)/s.
Point disk_target(double scale, double x, double y, double xa, double xb) {
    const double lam = std::max(1.0 - (x * x + y * y), 1e-10) * scale;
    const double ox = lam * xa, oy = lam * xb;
    const double on = std::sqrt(ox * ox + oy * oy);
    if (on < kTiny) return {x, y};
    const double rho = std::tanh(on / (1.0 - (x * x + y * y)));
    const double qx = rho * ox / on, qy = rho * oy / on;
    const double dr = 1.0 + x * qx + y * qy, di = x * qy - y * qx;
    const double nr = x + qx, ni = y + qy;
    const double d2 = dr * dr + di * di;
    return {(nr * dr + ni * di) / d2, (ni * dr - nr * di) / d2};
}

}  // namespace

Expected<ManifoldChernoff> ManifoldChernoff::make(SurfaceKind kind, double radius, bool curvature_correction) {
    const bool ok = std::isfinite(radius) && radius > 0.0;
    if (kind == SurfaceKind::Sphere && !ok) return domain_error("Sphere2: radius must be finite and > 0", radius);
    if (kind == SurfaceKind::Hyperbolic && !ok) return domain_error("Hyperbolic2: scale must be finite and > 0", radius);
    return ManifoldChernoff{kind, radius, curvature_correction};
}

double ManifoldChernoff::step_scale(double tau) const {
    const double root = std::sqrt(tau);
    return kind == SurfaceKind::Torus ? root : root / radius;
}

double ManifoldChernoff::curvature_step(double tau) const {
    // tau / r / r rather than tau / r^2 or R tau: r^2 and R leave the doubles
    // at radii where tau ~ r^2 does not, and tau / r / r is exact under
    // scaling r by 2^j and tau by 4^j (no square root to round R tau = 4).
    const double q = tau / radius / radius;
    switch (kind) {
        case SurfaceKind::Sphere: return 2.0 * q;
        case SurfaceKind::Hyperbolic: return -2.0 * q;
        case SurfaceKind::Torus: break;
    }
    return 0.0;
}

bool ManifoldChernoff::step_is_formed(double tau) const {
    return kind == SurfaceKind::Torus || !(step_scale(tau) > kMaxStepScale);
}

double ManifoldChernoff::scalar_curvature() const {
    switch (kind) {
        case SurfaceKind::Sphere: return 2.0 / (radius * radius);
        case SurfaceKind::Hyperbolic: return -2.0 / (radius * radius);
        case SurfaceKind::Torus: break;
    }
    return 0.0;
}

Status ManifoldChernoff::apply_into(const GridFn2D& src, std::span<double> dst, double tau) const {
    const std::size_t nx = src.grid.nx(), ny = src.grid.ny();
    if (nx == 0 || ny == 0) return {};
    const GaussHermiteRung rule = expect_ok(gauss_hermite_ladder(3), "5-point Gauss-Hermite rule");
    // The offsets in units of the surface's length: chart lengths on the
    // torus, angles on the sphere.
    const double scale = step_scale(tau);
    const double sigma = 2.0 * scale;
    const double dx = src.grid.x.dx(), dy = src.grid.y.dx();
    // R tau from sqrt(tau)/r, never R alone: a radius whose R overflows still
    // has R tau = 0 at tau = 0, and a finite one where tau ~ r^2.
    const double rt6 = curvature_correction ? curvature_step(tau) / 6.0 : 0.0;
    for (std::size_t j = 0; j < ny; ++j) {
        // 25 geodesic reads a value: a stop request is looked at per row.
        if (Status st = poll_stop(); !st) return st;
        const double y = src.grid.y.xmin + static_cast<double>(j) * dy;
        for (std::size_t i = 0; i < nx; ++i) {
            const double x = src.grid.x.xmin + static_cast<double>(i) * dx;
            double acc = 0.0;
            if (std::isfinite(x) && std::isfinite(y)) {
                for (std::size_t a = 0; a < 5; ++a) {
                    const double xa = rule.nodes[a];
                    const double oa = sigma * xa;
                    if (!std::isfinite(oa)) continue;
                    for (std::size_t b = 0; b < 5; ++b) {
                        const double xb = rule.nodes[b];
                        const double ob = sigma * xb;
                        if (!std::isfinite(ob)) continue;
                        Point p{x, y};
                        switch (kind) {
                            case SurfaceKind::Torus:
                                p = {torus_coord(x + oa, src.grid.x), torus_coord(y + ob, src.grid.y)};
                                break;
                            case SurfaceKind::Sphere: p = sphere_target(x, y, oa, ob); break;
                            case SurfaceKind::Hyperbolic: p = disk_target(scale, x, y, xa, xb); break;
                        }
                        double w = rule.weights[a] * rule.weights[b];
                        if (rt6 != 0.0) w *= 1.0 + rt6 * (1.0 - xa * xa - xb * xb);
                        acc += w * bilinear(src, p.x, p.y);
                    }
                }
                acc /= kPi;
            }
            dst[i + j * nx] = acc;
        }
    }
    return {};
}

Expected<std::vector<double>> manifold_evolve(const ManifoldChernoff& kernel, const Grid2D& grid,
                                              std::vector<double> values, double t, std::size_t n_steps) {
    auto cur = GridFn2D::make(grid, std::move(values));
    if (!cur) return fail(cur.error());
    GridFn2D next{grid, std::vector<double>(cur->values.size(), 0.0)};
    const double tau = t / static_cast<double>(n_steps);
    for (std::size_t s = 0; s < n_steps; ++s) {
        if (Status st = kernel.apply_into(*cur, next.values, tau); !st) return fail(st.error());
        std::swap(cur->values, next.values);
        if (Status st = poll_stop(); !st) return fail(st.error());
    }
    return std::move(cur->values);
}

}  // namespace quorvane
