// Heat du/dt = (1/2) u'' on a metric graph with Kirchhoff vertices
// (continuity, inward derivatives summing to zero), as a Chernoff product of
// an edge step and a projection at every vertex.
//
// The edge step is the shift kernel with a = 1/2: u(x) -> (1/4)u(x + s) +
// (1/4)u(x - s) + (1/2)u(x), s = sqrt(2 tau), reflecting at the edge ends.
// Stepping the edges apart couples them only through the end nodes, an
// O(h) share of each edge per step, so that road approaches Kirchhoff heat
// only while tau <= h^2. A graph whose edges run end to end as one open
// chain is instead stepped as a single interval, where the step is exact in
// the coupling and only first order in tau.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/geometric/quantum_graph_data.hpp"
#include "core/line/shift1d.hpp"

namespace quorvane {

// The largest heat state on a graph, n_edges * n_per_edge values: 2^25
// values take 256 MiB, and an evolution holds several copies of the state.
// The factories accept any n_grid >= 4, so the heat refuses the rest before
// allocating.
inline constexpr std::uint64_t kMaxGraphHeatValues = std::uint64_t{1} << 25;

// n_edges * n_per_edge; nullopt when it does not fit 64 bits.
std::optional<std::uint64_t> graph_heat_value_count(const QuantumGraph& g);

struct QuantumGraphHeatChernoff {
    std::optional<ShiftChernoff1D> combined;  // present on the joined-interval road
    std::size_t n_per_edge = 0;
    QuantumGraph graph;
    std::vector<VertexProjection> vertex_projections;
    std::vector<ShiftChernoff1D> edge_kernels;

    // The value count must have passed graph_heat_value_count and the cap.
    static Expected<QuantumGraphHeatChernoff> make(const QuantumGraph& g);

    // The smallest edge spacing; on the per-edge road with some vertex of
    // degree >= 2 a step must not exceed its square.
    double min_spacing() const;
    bool steps_edges_apart() const;
    // Whether a step of tau couples the edges well enough (always on the
    // joined road and when no two edge ends meet).
    bool admits_step(double tau) const;
    // Whether every read of a step of tau can be located (shift_reads_located).
    bool reads_located(double tau) const;

    // One step of the edge kernel ("tau must be finite and >= 0").
    static Expected<std::vector<double>> edge_step(const ShiftChernoff1D& kernel, const GridFn<double>& state,
                                                   double tau);
    // One step of the whole graph on the flat values (edge e at e*n .. e*n + n - 1).
    // Both steps answer a stop request (poll_stop) within: on 2^23 values one
    // takes seconds.
    Status step(std::span<const double> in, std::span<double> out, double tau) const;
    // n_steps steps of t / n_steps from the flat values.
    Expected<std::vector<double>> evolve(std::vector<double> values, double t, std::size_t n_steps) const;
};

}  // namespace quorvane
