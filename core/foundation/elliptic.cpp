#include "core/foundation/elliptic.hpp"

#include <cmath>

namespace quorvane {

namespace {

// The AGM converges quadratically from (1, k'): 2 + log2 log(4/k') steps
// reach a double's agreement; more than this is never needed for k' >= the
// least double.
constexpr int kMaxAgmSteps = 40;

}  // namespace

double complete_elliptic_k(double k_complement) {
    double a = 1.0, b = k_complement;
    for (int i = 0; i < kMaxAgmSteps && std::fabs(a - b) > 0x1p-53 * a; ++i) {
        const double next = 0.5 * (a + b);
        b = std::sqrt(a * b);
        a = next;
    }
    return 3.141592653589793 / (a + b);
}

JacobiSnCnDn jacobi_sn_cn_dn(double u, double k_complement) {
    double a[kMaxAgmSteps + 1], c[kMaxAgmSteps + 1];
    a[0] = 1.0;
    double b = k_complement;
    int steps = 0;
    while (steps < kMaxAgmSteps) {
        const double half_gap = 0.5 * (a[steps] - b);
        c[steps + 1] = half_gap;
        const double next = 0.5 * (a[steps] + b);
        b = std::sqrt(a[steps] * b);
        a[++steps] = next;
        if (std::fabs(half_gap) <= 0x1p-53 * next) break;
    }
    // The amplitude phi_N = 2^N a_N u, then phi_{i-1} = (phi_i + asin(c_i/a_i sin phi_i))/2.
    double phi = std::ldexp(a[steps] * u, steps);
    for (int i = steps; i > 0; --i) phi = 0.5 * (phi + std::asin(c[i] / a[i] * std::sin(phi)));
    JacobiSnCnDn r;
    r.sn = std::sin(phi);
    r.cn = std::cos(phi);
    r.dn = std::sqrt(r.cn * r.cn + (k_complement * k_complement) * (r.sn * r.sn));
    return r;
}

}  // namespace quorvane
