#include "core/line/adjoint.hpp"

#include <utility>

#include "core/line/kept_in_range.hpp"
#include "core/line/read_reach.hpp"
#include "core/line/state.hpp"

namespace quorvane {

Expected<AdjointEvolver> AdjointEvolver::build(KernelName name, bool self_adjoint, GridFn<double> state) {
    const Grid1D<double>& g = state.grid;
    const std::size_t n = g.n;
    const std::span<const double> u0 = state.values;
    switch (name) {
        case KernelName::Heat2:
            return AdjointEvolver{DiffusionChernoff::unit(g), true, std::move(state), std::nullopt};
        case KernelName::Heat4: {
            auto built = build_diffusion4th_state(n, 1, u0, g.boundary, g.xmin, g.xmax);
            if (!built) return fail(built.error());
            return AdjointEvolver{std::move(built->first.kernel), true, std::move(built->second), std::nullopt};
        }
        case KernelName::Heat6: {
            auto built = build_diffusion6th_state(n, 1, u0, g.boundary, g.xmin, g.xmax);
            if (!built) return fail(built.error());
            return AdjointEvolver{std::move(built->first.kernel), true, std::move(built->second), std::nullopt};
        }
        case KernelName::Drift: {
            auto built = build_drift_reaction_state(n, 1, u0, g.boundary, g.xmin, g.xmax, 0.5, 0.0);
            if (!built) return fail(built.error());
            const Expected<FlowRange> range = read_range(g, built->second.values);
            if (!range) return fail(range.error());
            return AdjointEvolver{std::move(built->first.kernel), self_adjoint, std::move(built->second), *range};
        }
        case KernelName::Shift:
        default: {
            auto built = build_heat_state(n, 1, u0, g.boundary, g.xmin, g.xmax);
            if (!built) return fail(built.error());
            ShiftChernoff1D k{std::nullopt, g, coeff_half, coeff_zero, coeff_zero, 0.5, std::nullopt};
            return AdjointEvolver{std::move(k), true, std::move(built->second), std::nullopt};
        }
    }
}

int AdjointEvolver::order() const { return std::holds_alternative<ShiftChernoff1D>(kernel) ? 1 : 2; }

bool AdjointEvolver::reads_located(double tau) const {
    if (const auto* drift = std::get_if<DriftReactionChernoff>(&kernel)) {
        return drift_reads_located(*drift, tau, !self_adjoint);
    }
    if (const auto* shift = std::get_if<ShiftChernoff1D>(&kernel)) return shift_reads_located(*shift, tau);
    return std::visit(
        [&](const auto& k) {
            if constexpr (requires { heat_reads_located(k, tau); }) return heat_reads_located(k, tau);
            return true;
        },
        kernel);
}

Status AdjointEvolver::step(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>& pool,
                            double tau) const {
    if (const auto* drift = std::get_if<DriftReactionChernoff>(&kernel); drift && !self_adjoint) {
        return drift->apply_adjoint_into(src, dst, pool, tau);
    }
    return std::visit([&](const auto& k) { return k.apply_into(src, dst, pool, tau); }, kernel);
}

Expected<std::vector<double>> AdjointEvolver::evolve(std::vector<double> values, double t, std::size_t n_steps,
                                                     FlowRange* range) const {
    auto start = GridFn<double>::make(state.grid, std::move(values));
    if (!start) return fail(start.error());
    const double tau = t / static_cast<double>(n_steps);
    // How the drift step moves the range.
    RangeStep per_step;
    if (const auto* drift = std::get_if<DriftReactionChernoff>(&kernel); drift && range) {
        per_step = range_step(*drift, tau);
    }
    struct Stepper {
        const AdjointEvolver& e;
        FlowRange* walked;
        RangeStep per_step;
        Status apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>& pool,
                          double tau) const {
            if (Status st = e.step(in, out, pool, tau); !st) return st;
            if (walked) {
                *walked = per_step.next(*walked, in.values);
                walked->clip(out.values);
            }
            return {};
        }
    };
    FlowRange walked = range ? *range : FlowRange{};
    ScratchPool<double> pool;
    auto r = run_steps(Stepper{*this, range ? &walked : nullptr, per_step}, std::move(*start), n_steps, tau, pool);
    if (!r) return fail(r.error());
    if (range) *range = walked;
    return std::move(r->values);
}

}  // namespace quorvane
