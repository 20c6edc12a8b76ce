#include "core/tensor_train/tt_dense_expm.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "core/foundation/error.hpp"
#include "core/foundation/stop.hpp"
#include "core/tensor_train/tt_core.hpp"

namespace quorvane {

Expected<JacobiSvd> jacobi_svd(std::vector<double> cols, std::size_t len, std::size_t ncols) {
    if (cols.size() != core_size(1, len, ncols)) internal_fault("jacobi_svd: matrix size mismatch");
    const std::size_t m = len, nc = ncols;
    JacobiSvd r;
    r.len = len;
    r.ncols = ncols;
    r.b = std::move(cols);
    r.w.assign(core_size(1, nc, nc), 0.0);
    for (std::size_t c = 0; c < nc; ++c) r.w[c * nc + c] = 1.0;

    auto rotate = [](double* x, double* y, std::size_t len, double cs, double sn) {
        for (std::size_t k = 0; k < len; ++k) {
            const double xi = x[k], yi = y[k];
            x[k] = cs * xi - sn * yi;
            y[k] = sn * xi + cs * yi;
        }
    };
    // Rotating noise columns against each other never meets the cosine test
    // and would run every sweep to the limit for nothing.
    double frob2 = 0.0;
    for (double x : r.b) frob2 += x * x;
    const double negligible = kNegligibleColumn * frob2;
    // A pair costs 3 len products before it is rotated or skipped.
    PollBudget budget(std::uint64_t{1} << 20);
    for (int sweep = 0; sweep < 100; ++sweep) {
        bool rotated = false;
        for (std::size_t i = 0; i + 1 < nc; ++i) {
            for (std::size_t l = i + 1; l < nc; ++l) {
                if (Status st = budget.spend(m + 1); !st) return fail(st.error());
                double* ci = &r.b[i * m];
                double* cl = &r.b[l * m];
                double alpha = 0.0, beta = 0.0, gamma = 0.0;
                for (std::size_t k = 0; k < m; ++k) {
                    alpha += ci[k] * ci[k];
                    beta += cl[k] * cl[k];
                    gamma += ci[k] * cl[k];
                }
                if (alpha * beta == 0.0 || alpha < negligible || beta < negligible ||
                    !(std::abs(gamma / std::sqrt(alpha * beta)) > 1e-14)) {
                    continue;
                }
                const double zeta = (beta - alpha) / (2.0 * gamma);
                const double sg = zeta < 0.0 ? -1.0 : 1.0;
                const double tn = 1.0 / (zeta + sg * std::sqrt(zeta * zeta + 1.0));
                const double cs = 1.0 / std::sqrt(tn * tn + 1.0);
                const double sn = cs * tn;
                rotate(ci, cl, m, cs, sn);
                rotate(&r.w[i * nc], &r.w[l * nc], nc, cs, sn);
                rotated = true;
            }
        }
        if (!rotated) break;
    }
    r.sigma.assign(nc, 0.0);
    for (std::size_t c = 0; c < nc; ++c) {
        double s = 0.0;
        for (std::size_t k = 0; k < m; ++k) s += r.b[c * m + k] * r.b[c * m + k];
        r.sigma[c] = std::sqrt(s);
    }
    r.order.resize(nc);
    std::iota(r.order.begin(), r.order.end(), std::size_t{0});
    std::stable_sort(r.order.begin(), r.order.end(),
                     [&](std::size_t x, std::size_t y) { return r.sigma[y] < r.sigma[x]; });
    return r;
}

}  // namespace quorvane
