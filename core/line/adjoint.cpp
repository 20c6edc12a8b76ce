#include "core/line/adjoint.hpp"

#include <utility>

#include "core/line/state.hpp"

namespace quorvane {

Expected<AdjointEvolver> AdjointEvolver::build(KernelName name, bool self_adjoint, GridFn<double> state) {
    const Grid1D<double>& g = state.grid;
    const std::size_t n = g.n;
    const std::span<const double> u0 = state.values;
    switch (name) {
        case KernelName::Heat2:
            return AdjointEvolver{DiffusionChernoff::unit(g), true, std::move(state)};
        case KernelName::Heat4: {
            auto built = build_diffusion4th_state(n, 1, u0, g.boundary, g.xmin, g.xmax);
            if (!built) return fail(built.error());
            return AdjointEvolver{std::move(built->first.kernel), true, std::move(built->second)};
        }
        case KernelName::Heat6: {
            auto built = build_diffusion6th_state(n, 1, u0, g.boundary, g.xmin, g.xmax);
            if (!built) return fail(built.error());
            return AdjointEvolver{std::move(built->first.kernel), true, std::move(built->second)};
        }
        case KernelName::Drift: {
            auto built = build_drift_reaction_state(n, 1, u0, g.boundary, g.xmin, g.xmax, 0.5, 0.0);
            if (!built) return fail(built.error());
            return AdjointEvolver{std::move(built->first.kernel), self_adjoint, std::move(built->second)};
        }
        case KernelName::Shift:
        default: {
            auto built = build_heat_state(n, 1, u0, g.boundary, g.xmin, g.xmax);
            if (!built) return fail(built.error());
            ShiftChernoff1D k{std::nullopt, g, coeff_half, coeff_zero, coeff_zero, 0.5, {}};
            return AdjointEvolver{std::move(k), true, std::move(built->second)};
        }
    }
}

int AdjointEvolver::order() const { return std::holds_alternative<ShiftChernoff1D>(kernel) ? 1 : 2; }

Status AdjointEvolver::step(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>& pool,
                            double tau) const {
    if (const auto* drift = std::get_if<DriftReactionChernoff>(&kernel); drift && !self_adjoint) {
        return drift->apply_adjoint_into(src, dst, pool, tau);
    }
    return std::visit([&](const auto& k) { return k.apply_into(src, dst, pool, tau); }, kernel);
}

Expected<std::vector<double>> AdjointEvolver::evolve(std::vector<double> values, double t,
                                                     std::size_t n_steps) const {
    auto start = GridFn<double>::make(state.grid, std::move(values));
    if (!start) return fail(start.error());
    struct Stepper {
        const AdjointEvolver& e;
        Status apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>& pool,
                          double tau) const {
            return e.step(in, out, pool, tau);
        }
    };
    ScratchPool<double> pool;
    auto r = run_steps(Stepper{*this}, std::move(*start), n_steps, t / static_cast<double>(n_steps), pool);
    if (!r) return fail(r.error());
    return std::move(r->values);
}

}  // namespace quorvane
