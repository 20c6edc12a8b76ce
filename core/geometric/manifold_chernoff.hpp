// Heat du/dt = Laplace-Beltrami u on a surface given in one chart: the flat
// unit torus, the sphere S^2(r) in (polar angle, azimuth) and the hyperbolic
// plane H^2(s) in the Poincare disk.
//
// One step replaces the value at a node by the Gaussian mean of the state
// over the endpoints of geodesics of length 2 sqrt(tau) |xi| leaving the node
// along xi (5 x 5 tensor Gauss-Hermite rule, weight e^{-|xi|^2}), the state
// being read between nodes bilinearly in the chart. The tangent offsets are
// taken in an orthonormal frame, so the displacement has covariance 2 tau I
// and the step is first order. The optional curvature weights
// w_a w_b (1 + (R tau / 6)(1 - xi_a^2 - xi_b^2)) keep constants (the rule
// has E xi^2 = 1/2 per axis) and cancel the O(tau^2) curvature term of the
// geodesic mean, which lifts the order to 2 on curved surfaces.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn2d.hpp"

namespace quorvane {

enum class SurfaceKind { Torus, Sphere, Hyperbolic };

struct ManifoldChernoff {
    SurfaceKind kind = SurfaceKind::Torus;
    double radius = 1.0;  // r of the sphere, s of the hyperbolic plane; unused on the torus
    bool curvature_correction = true;

    // "Sphere2: radius must be finite and > 0" / "Hyperbolic2: scale must be
    // finite and > 0"; the torus takes any radius.
    static Expected<ManifoldChernoff> make(SurfaceKind kind, double radius, bool curvature_correction);

    // Scalar curvature R: 0, 2/r^2, -2/s^2.
    double scalar_curvature() const;
    int order() const { return curvature_correction && kind != SurfaceKind::Torus ? 2 : 1; }
    // The curvature weights turn negative, and the step amplifies, once
    // |R| tau is large; steps with |R| tau > kMaxCurvatureStep are refused.
    static constexpr double kMaxCurvatureStep = 4.0;
    bool admits_step(double tau) const {
        return !curvature_correction || !(std::abs(scalar_curvature()) * tau > kMaxCurvatureStep);
    }

    // dst[i + j nx] = the step of src at node (i, j). dst has nx * ny entries.
    Status apply_into(const GridFn2D& src, std::span<double> dst, double tau) const;
};

// n_steps steps of t / n_steps from the values on `grid` (no admissibility
// check here: the caller refuses steps first).
Expected<std::vector<double>> manifold_evolve(const ManifoldChernoff& kernel, const Grid2D& grid,
                                              std::vector<double> values, double t, std::size_t n_steps);

}  // namespace quorvane
