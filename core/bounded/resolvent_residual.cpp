#include "core/bounded/resolvent_residual.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/foundation/gen_quadrature.hpp"
#include "core/foundation/parallel1d.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"
#include "core/line/heat_stability.hpp"
#include "core/line/state.hpp"

namespace quorvane {

Expected<LaplaceChernoffResolvent> LaplaceChernoffResolvent::make(const Grid1D<double>& grid, std::size_t n_chernoff) {
    if (n_chernoff == 0) return domain_error("LaplaceChernoffResolvent n must be >= 1", 0.0);
    warm_parallel_caches();
    return LaplaceChernoffResolvent{DiffusionChernoff::unit(grid), n_chernoff};
}

Expected<std::vector<double>> LaplaceChernoffResolvent::apply_into(double lambda, std::span<const double> g) const {
    if (!(std::isfinite(lambda) && lambda > 0.0)) return domain_error(kLambdaMessage, lambda);
    const std::size_t n = g.size();
    std::vector<double> acc(n, 0.0);
    GridFn<double> state{kernel.grid, std::vector<double>(n, 0.0)};
    GridFn<double> scratch{kernel.grid, std::vector<double>(n, 0.0)};
    const double nc = static_cast<double>(n_chernoff);
    for (std::size_t k = 0; k < 32; ++k) {
        if (Status st = poll_stop(); !st) return fail(st.error());
        const double tau = kLaguerre32Nodes[k] / (lambda * nc);
        if (Status st = evolve_steps_pingpong(kernel, g, state, scratch, n_chernoff, tau); !st) return fail(st.error());
        const double c = kLaguerre32Weights[k] / lambda;
        for (std::size_t j = 0; j < n; ++j) acc[j] += c * state.values[j];
    }
    return acc;
}

std::optional<double> LaplaceChernoffResolvent::least_lambda_if_refused(double lambda) const {
    if (!(std::isfinite(lambda) && lambda > 0.0)) return std::nullopt;
    const double nc = static_cast<double>(n_chernoff);
    // Where even the first step x_0/(lambda n_chernoff) is not finite (lambda
    // within a few hundred of the least positive double), the driver's own
    // refusal of that step ("tau must be finite and >= 0") stands.
    if (!std::isfinite(kLaguerre32Nodes[0] / (lambda * nc))) return std::nullopt;
    const double longest = kLaguerre32Nodes[31] / (lambda * nc);
    // Steps whose reads cannot be formed are judged where they still can.
    const double formed = unit_heat2_formed_step();
    const HeatJudgement j = judge_heat_step(kernel, std::min(longest, formed));
    if (!j.range && longest <= formed) return std::nullopt;
    // A step 2^-40 inside the bound, and lambda rounded up from it: the
    // lambda named takes steps within it. Four digits need a normal value:
    // a least lambda below that range is named as the least normal double,
    // rounded up, which is served as well.
    const double tau = floor_4_digits_inside(j.range ? j.range->tau_max : formed);
    const double least = kLaguerre32Nodes[31] / nc / tau * (1.0 + 0x1p-40);
    return ceil_4_digits(std::max(least, std::numeric_limits<double>::min()));
}

Expected<double> verify_residual(double lambda, std::span<const double> r, std::span<const double> g, double h) {
    const std::size_t n = r.size();
    if (n < 3) return domain_error("verify_residual: grid must have >= 3 nodes for central differences", static_cast<double>(n));
    const double h2 = h * h;
    double worst = 0.0;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double ri = std::fabs(lambda * r[i] - (r[i + 1] - (r[i] + r[i]) + r[i - 1]) / h2 - g[i]);
        if (ri > worst) worst = ri;
    }
    return worst;
}

}  // namespace quorvane
