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
    // sqrt(tau) in units of the surface's length (r, s, or the torus period
    // 1). Every length a step forms is a multiple of it, so a surface scaled
    // by k with tau scaled by k^2 takes the same step, however small r and
    // tau are (lengths of size r compared with an absolute cut-off, r^2 or R
    // alone may leave the doubles where the ratios do not).
    double step_scale(double tau) const;
    // R tau = +-2 tau / r^2, formed as a ratio for the same reason.
    double curvature_step(double tau) const;
    // On the sphere and the hyperbolic plane the sum of the squared offsets
    // of the longest geodesic, 2 step_scale |xi| with |xi| < 2.021, must be a
    // double: step_scale <= kMaxStepScale. (An angle that long is no
    // position on the sphere to speak of, but it must not turn into NaN.)
    // The torus adds its offsets to the chart and takes any step.
    static constexpr double kMaxStepScale = 2.3e153;
    bool step_is_formed(double tau) const;
    // The curvature weights turn negative, and the step amplifies, once
    // |R| tau is large; steps with |R| tau > kMaxCurvatureStep are refused,
    // and so is a step whose geodesics leave the doubles.
    static constexpr double kMaxCurvatureStep = 4.0;
    bool admits_step(double tau) const {
        return step_is_formed(tau) &&
               (!curvature_correction || !(std::abs(curvature_step(tau)) > kMaxCurvatureStep));
    }

    // dst[i + j nx] = the step of src at node (i, j). dst has nx * ny entries.
    Status apply_into(const GridFn2D& src, std::span<double> dst, double tau) const;
};

// n_steps steps of t / n_steps from the values on `grid` (no admissibility
// check here: the caller refuses steps first).
Expected<std::vector<double>> manifold_evolve(const ManifoldChernoff& kernel, const Grid2D& grid,
                                              std::vector<double> values, double t, std::size_t n_steps);

}  // namespace quorvane
