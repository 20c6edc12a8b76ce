#include "core/line/diffusion.hpp"

#include <cmath>

#include "core/foundation/numeric.hpp"

namespace quorvane {
namespace {

// a NaN, infinite or carrying a sign bit (except -0.0) is out of class.
inline bool bad_coefficient(double a) { return !finite_nonneg(a); }

}  // namespace

Expected<double> DiffusionChernoff::apply_node(const GridFn<double>& u, std::size_t i, double tau) const {
    const double dx = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
    const double x = grid.xmin + dx * static_cast<double>(i);
    const double theta = 0.5 * tau;
    const Grid1D<double>& ug = u.grid;
    auto at = [&](double p) { return ug.interp(u.values, p); };

    if (coef.tag == CoeffSource::Tag::Constant) {
        const double a = coef.c;
        if (bad_coefficient(a)) return domain_error(kEllipticityMessage, x);
        const double r1 = std::sqrt(a * tau);
        const double h1 = r1 + r1;
        const double r3 = std::sqrt(3.0 * a * tau);
        const double h3 = r3 + r3;
        auto u0 = at(x);
        if (!u0) return u0;
        auto up1 = at(x + h1);
        if (!up1) return up1;
        auto um1 = at(x - h1);
        if (!um1) return um1;
        auto up3 = at(x + h3);
        if (!up3) return up3;
        auto um3 = at(x - h3);
        if (!um3) return um3;
        return (kHeatW0 * *u0 + kHeatW1 * (*up1 + *um1)) + kHeatW3 * (*up3 + *um3);
    }

    // Drift foot of the divergence form.
    const double xp = x + theta * coef.eval_a_prime(x);
    const double a = coef.eval_a(xp);
    if (bad_coefficient(a)) return domain_error(kEllipticityMessage, xp);
    const double r1 = std::sqrt(a * tau);
    const double h1 = r1 + r1;
    const double r3 = std::sqrt(3.0 * a * tau);
    const double h3 = r3 + r3;
    const double y[5] = {xp, xp + h1, xp - h1, xp + h3, xp - h3};
    double z[5];
    for (int k = 0; k < 5; ++k) z[k] = y[k] + theta * coef.eval_a_prime(y[k]);
    double s[5];
    for (int k = 0; k < 5; ++k) {
        auto v = at(z[k]);
        if (!v) return v;
        s[k] = *v;
    }
    const double quad = (kHeatW0 * s[0] + kHeatW1 * (s[1] + s[2])) + kHeatW3 * (s[3] + s[4]);

    // Correction from finite differences around the node itself.
    const double h = max_ignore_nan(std::sqrt(tau), 2.0 * dx);
    const double q[5] = {x, x + h, x - h, x + 2.0 * h, x - 2.0 * h};
    double w[5];
    for (int k = 0; k < 5; ++k) {
        auto v = at(q[k]);
        if (!v) return v;
        w[k] = *v;
    }
    const double d1 = (w[1] - w[2]) / (2.0 * h);
    const double d2 = (w[1] - 2.0 * w[0] + w[2]) / (h * h);
    const double d3 = (w[3] - 2.0 * w[1] + 2.0 * w[2] - w[4]) / (2.0 * h * h * h);
    const double A = coef.eval_a(x);
    const double A1 = coef.eval_a_prime(x);
    const double A2 = coef.eval_a_double_prime(x);
    return quad + tau * tau * (A * A1 * d3 + 0.5 * A * A2 * d2 + 0.25 * A1 * A2 * d1);
}

}  // namespace quorvane
