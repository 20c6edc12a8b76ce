#include "core/line/truncated_exp4.hpp"

#include <array>
#include <vector>

#include "core/line/truncated_exp.hpp"
#include "core/line/truncated_exp4_compute.hpp"

namespace quorvane {

TruncatedExp4thDiffusionChernoff TruncatedExp4thDiffusionChernoff::unit(const Grid1D<double>& grid) {
    return {grid, coeff_one, coeff_zero, coeff_zero, 1.0, nullptr};
}

Status step_refusal(const TruncatedExp4thDiffusionChernoff& k, double tau, double dx) {
    if (Status st = truncated_exp_check_args(tau, k.a_norm_bound); !st) return st;
    // Spectrum down to -16 ||a|| / (3 dx^2): tau |lambda| < 2 is 8 tau ||a|| < 3 dx^2.
    // The refusal's one text states 2 tau ||a|| < dx^2: it carries 3 dx^2 / 4
    // in the place of dx^2, so that the condition it states is this gate.
    const double ds = dx / series_unit(dx);
    if ((series_tau(tau, dx) * 8.0) * k.a_norm_bound >= (ds * ds) * 3.0) {
        return fail(CoreError::cfl_violated(tau, (dx * dx) * 0.75, k.a_norm_bound));
    }
    return {};
}

TruncatedExpSteps TruncatedExp4thDiffusionChernoff::node_steps(const Grid1D<double>& g, double tau,
                                                               std::size_t shares, std::size_t) const {
    return TruncatedExpSteps(step_refusal(*this, tau, g.dx()), truncated_exp4_compute_nodes, true, a, drift, g,
                             tau, shares);
}

Status TruncatedExp4thDiffusionChernoff::apply_into(const GridFn<double>& in, GridFn<double>& out,
                                                    ScratchPool<double>& pool, double tau) const {
    const Grid1D<double>& g = in.grid;
    const double dx = g.dx();
    if (Status st = step_refusal(*this, tau, dx); !st) return st;

    const std::size_t n = in.values.size();
    std::vector<double> k1 = pool.take(n);
    std::vector<double> k2 = pool.take(n);
    std::vector<double> k3 = pool.take(n);
    std::vector<double> k4 = pool.take(n);
    if (Status st = truncated_exp4_compute(a, g, in.values, k1, n, dx); !st) return st;
    if (Status st = truncated_exp4_compute(a, g, k1, k2, n, dx); !st) return st;
    if (Status st = truncated_exp4_compute(a, g, k2, k3, n, dx); !st) return st;
    if (Status st = truncated_exp4_compute(a, g, k3, k4, n, dx); !st) return st;

    out.values.resize(n, 0.0);
    const std::array<std::span<const double>, 5> series{in.values, k1, k2, k3, k4};
    if (drift == nullptr) {
        // Nodes sit on the samples: sum the node values, no interpolation.
        for (std::size_t i = 0; i < n; ++i) out.values[i] = truncated_exp4_node_sum(series, i, series_tau(tau, dx));
    } else {
        const TruncatedExpCoeffs c = truncated_exp_coeffs(series_tau(tau, dx));
        for (std::size_t i = 0; i < n; ++i) {
            const double x = g.xmin + static_cast<double>(i) * dx;
            auto v = truncated_exp_series_at(g, series, x - (tau * 0.5) * drift(x), c);
            if (!v) return fail(v.error());
            out.values[i] = *v;
        }
    }
    if (const double* bad = first_non_finite<double>(out.values)) {
        return domain_error(kTruncatedExpNotFiniteMessage, *bad);
    }
    pool.give_back(std::move(k1));
    pool.give_back(std::move(k2));
    pool.give_back(std::move(k3));
    pool.give_back(std::move(k4));
    return {};
}

}  // namespace quorvane
