#include "core/geometric/schrodinger_helpers.hpp"

#include <utility>

#include "core/foundation/error.hpp"

namespace quorvane {

void tridiag_rhs(std::size_t n, std::span<const double> x, std::vector<double>& out, double d, double o) {
    out.resize(n, 0.0);
    if (n == 0) return;
    if (x.size() < n) internal_fault("tridiag_rhs: input shorter than n");
    if (n == 1) {
        out[0] = d * x[0] + 0.0;
        return;
    }
    out[0] = o * x[1] + (d * x[0] + 0.0);
    for (std::size_t i = 1; i + 1 < n; ++i) out[i] = o * x[i + 1] + (o * x[i - 1] + d * x[i]);
    out[n - 1] = 0.0 + (o * x[n - 2] + d * x[n - 1]);
}

void schrodinger_kinetic_step(std::size_t n, SchrodingerWork& work, double r) {
    if (n < 4) internal_fault("schrodinger_kinetic_step: n must be >= 4");
    std::vector<double>& A = work.a;
    std::vector<double>& B = work.b;
    auto& W = work.w;
    for (std::size_t k = 0; k < 6; ++k) W[k].assign(n, 0.0);
    const double d = -2.0 * r;
    tridiag_rhs(n, B, W[0], d, r);     // W1 = K B
    tridiag_rhs(n, A, W[1], d, r);     // W2 = K A
    tridiag_rhs(n, W[0], W[2], d, r);  // W3 = K^2 B
    for (std::size_t i = 0; i < n; ++i) W[3][i] = (B[i] - W[2][i]) - 2.0 * W[1][i];

    std::vector<double>& x = W[4];
    std::vector<double>& diag = W[6];
    std::vector<double>& off1 = W[7];
    std::vector<double>& off2 = W[8];
    std::vector<double>& rhs = W[9];
    for (std::vector<double>* v : {&x, &diag, &off1, &off2, &rhs}) v->assign(n, 0.0);
    // I + K^2: the end rows lose one r^2 to the zero values beyond the ends.
    const double centre = d * d + 1.0;
    for (std::size_t i = 0; i < n; ++i) {
        diag[i] = (i == 0 || i + 1 == n) ? r * r + centre : r * (r + r) + centre;
        off1[i] = r * (d + d);
        off2[i] = r * r;
        rhs[i] = W[3][i];
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 1 < n) {
            const double m = off1[i] / diag[i];
            diag[i + 1] -= off1[i] * m;
            if (i + 2 < n) off1[i + 1] -= m * off2[i];
            rhs[i + 1] -= m * rhs[i];
        }
        if (i + 2 < n) {
            const double m2 = off2[i] / diag[i];
            diag[i + 2] -= off2[i] * m2;
            rhs[i + 2] -= m2 * rhs[i];
        }
    }
    x[n - 1] = rhs[n - 1] / diag[n - 1];
    x[n - 2] = (rhs[n - 2] - x[n - 1] * off1[n - 2]) / diag[n - 2];
    for (std::size_t k = n - 2; k-- > 0;) x[k] = ((rhs[k] - x[k + 1] * off1[k]) - off2[k] * x[k + 2]) / diag[k];

    tridiag_rhs(n, x, W[5], d, r);  // W6 = K B'
    for (std::size_t i = 0; i < n; ++i) A[i] += W[0][i] + W[5][i];
    // B takes B'; the old B stays behind as spare storage.
    std::swap(B, x);
}

}  // namespace quorvane
