#include "core/tensor_train/tt_coupled.hpp"

#include <cmath>

#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"
#include "core/tensor_train/tt_chernoff.hpp"
#include "core/tensor_train/tt_coupled_pair.hpp"

namespace quorvane {

std::vector<AxisPair> CouplingSpec::pair_list(std::size_t d) const {
    switch (kind) {
        case Kind::None: return {};
        case Kind::Tridiagonal: {
            std::vector<AxisPair> out;
            for (std::size_t j = 0; j + 1 < d; ++j) out.push_back({j, j + 1, rho});
            return out;
        }
        case Kind::Pairs: return pairs;
    }
    return {};
}

std::vector<double> axis_degrees(const std::vector<AxisPair>& pairs, std::size_t d) {
    std::vector<std::size_t> count(d, 0);
    for (const AxisPair& p : pairs) {
        if (p.j < d) ++count[p.j];
        if (p.k < d) ++count[p.k];
    }
    std::vector<double> out(d);
    for (std::size_t j = 0; j < d; ++j) out[j] = count[j] == 0 ? 1.0 : static_cast<double>(count[j]);
    return out;
}

PairBlock pair_block(const std::vector<double>& a, const std::vector<double>& degree, const AxisPair& p) {
    const double a_j = a[p.j], a_k = a[p.k];
    // A product a_j a_k above 1.8e308 would make the root inf (and rho' NaN
    // at rho = 0), one below 2.2e-308 loses digits or all of itself: outside
    // the normal range the roots are taken apart, which overflows only where
    // rho' itself does. A normal product keeps its one rounding.
    const double product = a_j * a_k;
    const double root = std::isnormal(product) ? std::sqrt(product) : std::sqrt(a_j) * std::sqrt(a_k);
    return {a_j / degree[p.j], a_k / degree[p.k], p.rho * root};
}

CoupledTtChernoff::CoupledTtChernoff(std::vector<double> a_, std::vector<double> b_, double c_, CouplingSpec coupling_,
                                     std::vector<std::pair<double, double>> domain_, double eps_round_)
    : a(std::move(a_)), b(std::move(b_)), domain(std::move(domain_)), coupling(std::move(coupling_)), c(c_),
      eps_round(eps_round_) {
    const std::size_t d = a.size();
    if (b.size() != d || domain.size() != d) internal_fault("CoupledTtChernoff: b and domain need one entry per axis");
    for (double x : b) {
        if (x != 0.0) internal_fault("CoupledTtChernoff: nonzero drift");
    }
    for (const AxisPair& p : coupling.pair_list(d)) {
        if (p.k != p.j + 1 || p.k >= d) internal_fault("CoupledTtChernoff: pair is not adjacent");
    }
}

Status CoupledTtChernoff::evolve(std::vector<TtCore>& cores, double t_final, std::size_t n_steps) const {
    const std::size_t d = a.size();
    if (cores.size() != d) internal_fault("CoupledTtChernoff::evolve: one core per axis expected");
    const double tau = t_final / static_cast<double>(n_steps);
    auto spacing = [&](std::size_t j) { return tt_axis_spacing(domain[j].first, domain[j].second, cores[j].n); };

    const std::vector<AxisPair> pairs = coupling.pair_list(d);
    const std::size_t m = pairs.size();
    std::vector<std::vector<double>> fwd(m), bwd(m);
    std::vector<bool> coupled(d, false);
    if (m > 0) {
        const double tau_p = m == 1 ? tau : tau * 0.5;
        const std::vector<double> degree = axis_degrees(pairs, d);
        for (std::size_t i = 0; i < m; ++i) {
            const AxisPair& p = pairs[i];
            if (p.k != p.j + 1) return fail(CoreError::unsupported_operation("CoupledTtChernoff: pair is not adjacent"));
            coupled[p.j] = coupled[p.k] = true;
            const PairBlock blk = pair_block(a, degree, p);
            const double h_j = spacing(p.j), h_k = spacing(p.k);
            fwd[i] = expect_ok(pair_expsym(cores, p.j, p.k, blk.c_j, blk.c_k, blk.rho, tau_p, h_j, h_k),
                               "CoupledTtChernoff::evolve: pair table");
            if (m != 1) bwd[i] = fwd[i];  // both sweeps take tau/2
        }
    }

    // The tables were built for these cores: only a stop request or a
    // non-finite value fails a pair factor.
    auto pair_factor = [&](std::size_t i, const std::vector<double>& table) -> Status {
        Status st = apply_pair_factor(eps_round, cores, pairs[i].j, pairs[i].k, table);
        if (!st && (st.error().variant() == CoreError::Variant::CallbackFailed || is_tt_non_finite(st.error()))) {
            return st;
        }
        expect_ok(std::move(st), "CoupledTtChernoff::evolve");
        return {};
    };
    const double f = admitted_reaction_factor(tau * c + 1.0);
    for (std::size_t step = 0; step < n_steps; ++step) {
        if (Status st = poll_stop(); !st) return st;
        for (std::size_t j = 0; j < d; ++j) {
            if (coupled[j]) continue;
            const auto [drift, spread] =
                TtChernoff::axis_shifts(tau, a[j], b[j], static_cast<double>(cores[j].n) * spacing(j));
            TtChernoff::apply_axis(cores[j], cores[j].n, drift, spread, spacing(j));
        }
        for (std::size_t i = 0; i < m; ++i) {
            if (fwd[i].empty()) continue;
            if (Status st = pair_factor(i, fwd[i]); !st) return st;
        }
        if (m != 1) {
            for (std::size_t i = m; i-- > 0;) {
                if (bwd[i].empty()) continue;
                if (Status st = pair_factor(i, bwd[i]); !st) return st;
            }
        }
        for (double& v : cores[0].data) v *= f;
        if (Status st = TtState::round(cores, eps_round); !st) return st;
    }
    return {};
}

}  // namespace quorvane
