// The second-order diffusion Chernoff function ("heat2") for
// du/dt = a(x) u'' on a uniform grid.
//
// One step averages u over five points spread like a Gaussian of variance
// 2 a tau. For a variable coefficient the points ride on a half drift
// a'(x) tau / 2 and a finite-difference correction is added, so the step is
// consistent with the divergence form d/dx (a du/dx) = a u'' + a' u'.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/foundation/coeff.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel1d.hpp"
#include "core/foundation/parallel_pool.hpp"

namespace quorvane {

class Heat2Steps;

struct DiffusionChernoff {
    CoeffSource coef;
    Grid1D<double> grid;
    double a_norm_bound = 1.0;

    Expected<double> apply_node(const GridFn<double>& u, std::size_t i, double tau) const;

    // One step, as par_apply_pointwise of apply_node gives it (same values,
    // same errors), with the reads sharing their node samples.
    Status apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>&, double tau) const;

    // The stepping form for run_steps: `steps` steps of tau on grid functions
    // over `grid`, in `shares` node shares.
    Heat2Steps node_steps(const Grid1D<double>& grid, double tau, std::size_t shares, std::size_t steps) const;

    // The unit-diffusion kernel (a = 1, a' = a'' = 0, bound 1) on `grid`.
    static DiffusionChernoff unit(const Grid1D<double>& grid) { return {CoeffSource::unit(), grid, 1.0}; }
};

// Steps of one kernel with one step size, share by share (see
// run_node_steps), giving exactly the values of apply_node. Each share reads
// through node samples of the step's input computed once per step, block by
// block (a block's nodes and the margin their reads reach, so the samples stay
// in cache). With a coefficient constant by construction every read point is
// the same in every step: the cells and weights of all reads are then found
// once per call (the step plan) and each step is a fixed sum. Neighbouring
// nodes' reads fall on few distinct fractional positions, so the plan keeps
// each distinct (cell offset, weights) pattern once and per read only its
// number.
class Heat2Steps {
public:
    Heat2Steps(const DiffusionChernoff& kernel, const Grid1D<double>& grid, double tau, std::size_t shares,
               std::size_t steps);

    // Nodes [begin, end) of dst from src; called for distinct shares from
    // different threads at once.
    Status step(const GridFn<double>& src, GridFn<double>& dst, std::size_t begin, std::size_t end,
                std::size_t share);

    // Nodes per block of samples.
    static constexpr std::size_t kBlock = 1024;
    // A plan needing more distinct patterns than this is not kept.
    static constexpr std::size_t kMaxPatterns = 4096;

private:
    struct Pattern {
        std::int64_t offset;  // cell - node index
        Hermite7Weights<double> w;
    };
    struct Share {
        bool prepared = false;
        bool planned = false;
        std::int64_t margin = 0;  // cells read beyond the nodes, unplanned
        std::vector<std::uint16_t> reads;  // five pattern numbers per node
        std::vector<Pattern> patterns;
        std::vector<std::pair<std::int64_t, std::int64_t>> block_cells;  // planned: samples per block
        SepticSamples samples;
    };
    void prepare(Share& sh, std::size_t begin, std::size_t end) const;
    bool make_plan(Share& sh, std::size_t begin, std::size_t end) const;

    const DiffusionChernoff* kernel_;
    Grid1D<double> grid_;
    double tau_;
    std::optional<double> constant_;
    bool plan_;
    std::vector<Share> shares_;
};

// Quadrature weights of the five-point rule: 7/12, 3/16, 1/48.
inline constexpr double kHeatW0 = 7.0 / 12.0;
inline constexpr double kHeatW1 = 0.1875;
inline constexpr double kHeatW3 = 1.0 / 48.0;

inline constexpr const char* kEllipticityMessage =
    "a(x) must be finite and >= 0 (strict ellipticity required for sqrt)";

}  // namespace quorvane
