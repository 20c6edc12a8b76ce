#include "core/geometric/quantum_graph.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"
#include "core/line/read_reach.hpp"

namespace quorvane {
namespace {

double half(double) { return 0.5; }
double zero(double) { return 0.0; }

ShiftChernoff1D half_heat_kernel(const Grid1D<double>& grid) {
    ShiftChernoff1D k;
    k.grid = grid;
    k.a = &half;
    k.b = &zero;
    k.c = &zero;
    return k;
}

// The joined-interval road needs the edges end to end in list order (the
// end of edge e is the start of edge e + 1), every vertex of degree <= 2, an
// open chain (both ends of degree 1) and equal edges: then the joined grid
// is uniform and its reflecting ends are the chain's free ends.
bool runs_as_one_chain(const QuantumGraph& g) {
    if (g.n_edges < 2) return false;
    const double l0 = g.edge_lengths[0];
    for (std::size_t e = 0; e < g.n_edges; ++e) {
        if (g.edge_grids[e].n != g.edge_grids[0].n) return false;
        if (!(std::abs(g.edge_lengths[e] - l0) < 1e-12)) return false;
        if (e + 1 < g.n_edges && g.edge_endpoints[e].second != g.edge_endpoints[e + 1].first) return false;
    }
    for (std::uint64_t v = 0; v < g.n_vertices; ++v)
        if (g.degree(v) > 2) return false;
    return g.degree(g.edge_endpoints.front().first) == 1 && g.degree(g.edge_endpoints.back().second) == 1;
}

}  // namespace

std::optional<std::uint64_t> graph_heat_value_count(const QuantumGraph& g) {
    std::uint64_t count = 0;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(g.n_per_edge()), static_cast<std::uint64_t>(g.n_edges), &count))
        return std::nullopt;
    return count;
}

Expected<QuantumGraphHeatChernoff> QuantumGraphHeatChernoff::make(const QuantumGraph& g) {
    if (!graph_heat_value_count(g)) {
        return domain_error("n_edges * n_per_edge must fit the address space", static_cast<double>(g.n_edges));
    }
    QuantumGraphHeatChernoff op;
    op.graph = g;
    op.n_per_edge = g.n_per_edge();
    op.vertex_projections.reserve(g.n_vertices);
    for (std::uint64_t v = 0; v < g.n_vertices; ++v) {
        auto p = g.vertex_projection(v);
        if (!p) return fail(p.error());
        op.vertex_projections.push_back(std::move(*p));
    }
    // The joined grid first, so that a sum of lengths that overflows is
    // reported as such ("xmax must be finite") rather than by an edge's spacing.
    if (runs_as_one_chain(g)) {
        double total = 0.0;
        for (double l : g.edge_lengths) total += l;
        std::size_t n_total = 0;
        n_total = (op.n_per_edge - 1) * g.n_edges + 1;  // below n_values
        auto grid = Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind{}, 0.0, total, n_total,
                                         kCubicNMessage);
        if (!grid) return fail(grid.error());
        op.combined = half_heat_kernel(*grid);
    }
    op.edge_kernels.reserve(g.n_edges);
    for (const Grid1D<double>& e : g.edge_grids) {
        auto grid = Grid1D<double>::make(e.boundary, e.interp_kind, e.xmin, e.xmax, e.n, kCubicNMessage);
        if (!grid) return fail(grid.error());
        op.edge_kernels.push_back(half_heat_kernel(*grid));
    }
    return op;
}

double QuantumGraphHeatChernoff::min_spacing() const {
    double h = INFINITY;
    for (const auto& grid : graph.edge_grids) h = std::min(h, grid.dx());
    return h;
}

bool QuantumGraphHeatChernoff::steps_edges_apart() const {
    if (combined) return false;
    for (const auto& p : vertex_projections)
        if (p.degree() >= 2) return true;
    return false;
}

bool QuantumGraphHeatChernoff::admits_step(double tau) const {
    if (!steps_edges_apart()) return true;
    const double h = min_spacing();
    return !(tau > h * h);
}

bool QuantumGraphHeatChernoff::reads_located(double tau) const {
    // The joined interval takes two half steps, each edge a whole one.
    if (combined) return shift_reads_located(*combined, tau / 2.0);
    return std::all_of(edge_kernels.begin(), edge_kernels.end(),
                       [&](const ShiftChernoff1D& k) { return shift_reads_located(k, tau); });
}

Expected<std::vector<double>> QuantumGraphHeatChernoff::edge_step(const ShiftChernoff1D& kernel,
                                                                  const GridFn<double>& state, double tau) {
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and >= 0", tau);
    std::vector<double> out(state.values.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (Status st = poll_stop_per_block(i); !st) return fail(st.error());
        auto v = kernel.apply_node(state, i, tau);
        if (!v) return fail(v.error());
        out[i] = *v;
    }
    return out;
}

Status QuantumGraphHeatChernoff::step(std::span<const double> in, std::span<double> out, double tau) const {
    const std::size_t n = n_per_edge;
    const std::size_t n_edges = graph.n_edges;
    if (combined) {
        // Consecutive edges share a node: the later edge's start wins.
        GridFn<double> joined{combined->grid, std::vector<double>(combined->grid.n, 0.0)};
        for (std::size_t e = 0; e < n_edges; ++e)
            std::copy_n(in.begin() + e * n, n, joined.values.begin() + e * (n - 1));
        auto h1 = edge_step(*combined, joined, tau / 2.0);
        if (!h1) return fail(h1.error());
        joined.values = std::move(*h1);
        auto h2 = edge_step(*combined, joined, tau / 2.0);
        if (!h2) return fail(h2.error());
        for (std::size_t e = 0; e < n_edges; ++e)
            std::copy_n(h2->begin() + e * (n - 1), n, out.begin() + e * n);
    } else {
        GridFn<double> edge;
        for (std::size_t e = 0; e < n_edges; ++e) {
            // A star of 2^22 arms takes seconds a step: edge_step looks at a
            // stop request as it starts each edge.
            edge.grid = edge_kernels[e].grid;
            edge.values.assign(in.begin() + e * n, in.begin() + (e + 1) * n);
            auto r = edge_step(edge_kernels[e], edge, tau);
            if (!r) return fail(r.error());
            std::copy(r->begin(), r->end(), out.begin() + e * n);
        }
    }
    // Kirchhoff projection: the spacing-weighted mean at every vertex where
    // two or more ends meet.
    for (const auto& p : vertex_projections) {
        if (p.degree() < 2) continue;
        double num = 0.0, den = 0.0;
        for (const VertexEnd& end : p.ends) {
            num += end.weight * out[end.edge * n + (end.at_start ? 0 : n - 1)];
            den += end.weight;
        }
        const double mean = num / den;
        for (const VertexEnd& end : p.ends) out[end.edge * n + (end.at_start ? 0 : n - 1)] = mean;
    }
    return {};
}

Expected<std::vector<double>> QuantumGraphHeatChernoff::evolve(std::vector<double> values, double t,
                                                               std::size_t n_steps) const {
    const double tau = t / static_cast<double>(n_steps);
    std::vector<double> next(values.size(), 0.0);
    for (std::size_t s = 0; s < n_steps; ++s) {
        if (Status st = step(values, next, tau); !st) return fail(st.error());
        std::swap(values, next);
        if (Status st = poll_stop(); !st) return fail(st.error());
    }
    return values;
}

}  // namespace quorvane
