// Sweeps of a 1-D step along every line of one axis of a tensor grid.
//
// A sweep reads one flat array and writes another. Each worker steps a
// contiguous range of the sweep's lines with a stepper made once for the
// call (its plan, its node samples and its line buffers kept from line to
// line and from step to step). Lines that are not contiguous in memory
// (columns, pencils) are gathered in blocks of neighbouring lines, which
// read whole cache lines of the array, into contiguous line buffers, and
// scattered back the same way. Every line is stepped by the same code
// whatever the split, so results do not depend on the worker count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel_phases.hpp"
#include "core/line/diffusion.hpp"

namespace quorvane {

// Where the lines of one sweep lie in a flat array: `count` lines of `len`
// nodes, `width` values per node; node k of line p starts at value
// width * (base(p) + k * stride), base(p) = (p / group) * group_stride + p % group,
// so that the lines of one group start at consecutive nodes.
struct LineLayout {
    std::size_t count = 0;
    std::size_t len = 0;
    std::size_t stride = 1;
    std::size_t group = 1;
    std::size_t group_stride = 0;
    std::size_t width = 1;

    std::size_t base(std::size_t p) const { return (p / group) * group_stride + p % group; }

    // The lines along axis `axis` of a box of counts[0] x counts[1] x ...
    // nodes, axis 0 fastest in memory; lines ordered with the lower axes
    // fastest (a 3-D y line (i, k) is line k * nx + i).
    static LineLayout along(std::span<const std::size_t> counts, std::size_t axis, std::size_t width = 1);
};

// Neighbouring lines gathered at once: eight doubles fill a cache line.
// Fewer when the lines are long, so that a block's buffers stay within
// kBlockValues values each way.
inline constexpr std::size_t kLineBlock = 8;
inline constexpr std::size_t kBlockValues = std::size_t{1} << 16;

// One 1-D step for every line of a sweep, per worker: a sweep gathers line
// p into input(w, b) (b < kLineBlock, the line's slot in its block), calls
// step(w, b, p) and scatters output(w, b). Only worker w touches slots of
// worker w; a slot's buffers are made when it is first asked for.
class LineStepper {
public:
    virtual ~LineStepper() = default;
    virtual double* input(std::size_t w, std::size_t b) = 0;
    virtual const double* output(std::size_t w, std::size_t b) = 0;
    virtual Status step(std::size_t w, std::size_t b, std::size_t line) = 0;
};

// Lines [lines.begin, lines.end) of one sweep from src into dst by worker w,
// in line order; the first failing line ends the share with its error. The
// share is left early (without error) when control says so.
Status sweep_share(LineStepper& stepper, const LineLayout& layout, std::span<const double> src,
                   std::span<double> dst, std::size_t w, WorkShare lines, PhaseControl& control);

// The line buffers of a heat stepper: per worker and slot an input and an
// output grid function over the axis, and the worker's node samples.
class HeatLineBuffers : public LineStepper {
public:
    HeatLineBuffers(const Grid1D<double>& axis, std::size_t workers);
    double* input(std::size_t w, std::size_t b) override { return slot(w, b).in.values.data(); }
    const double* output(std::size_t w, std::size_t b) override { return slot(w, b).out.values.data(); }

protected:
    struct Slot {
        GridFn<double> in, out;
    };
    Slot& slot(std::size_t w, std::size_t b);
    // Node samples for the worker's own reads.
    SepticSamples& samples(std::size_t w);

private:
    struct alignas(64) Worker {  // one cache line apart: workers write their own only
        std::vector<Slot> slots;  // kLineBlock, each empty until first used
        SepticSamples samples;
    };
    Grid1D<double> axis_;
    std::vector<Worker> workers_;
};

// Whether a stepper serving `legs` legs of each of n_steps steps, its
// `lines` lines spread over `workers` workers, steps some line of a worker
// twice or more: then a plan pays for itself.
bool plan_pays(std::size_t lines, std::size_t workers, std::size_t legs, std::size_t n_steps);

// The heat2 step of one kernel on every line: each worker steps its lines
// from one step plan (or its samples and the coefficient's part taken once,
// see Heat2Steps), giving exactly the values of apply_node.
class HeatLines final : public HeatLineBuffers {
public:
    // `planned`: whether the call steps enough lines per worker to pay for a
    // plan (a stepper that plans needs two line steps to gain).
    HeatLines(const DiffusionChernoff& kernel, const Grid1D<double>& axis, double tau, std::size_t workers,
              bool planned);
    Status step(std::size_t w, std::size_t b, std::size_t line) override;

private:
    Heat2Steps steps_;
    std::size_t len_;
};

// The heat2 step with one kernel per line (kernels[p] steps line p), every
// node through the worker's samples of the line.
class PencilHeatLines final : public HeatLineBuffers {
public:
    PencilHeatLines(std::span<const DiffusionChernoff> kernels, const Grid1D<double>& axis, double tau,
                    std::size_t workers);
    Status step(std::size_t w, std::size_t b, std::size_t line) override;

private:
    std::span<const DiffusionChernoff> kernels_;
    double tau_;
    std::int64_t margin_;
};

// One leg of a split step: a stepper and the lines it steps.
struct SweepLeg {
    LineStepper* stepper;
    LineLayout layout;
};

// `steps` repetitions of the legs, each leg one sweep on `workers` workers:
// leg g (counted over the whole call) reads buffer g % 2 and writes buffer
// (g + 1) % 2 (values starts in buffer 0, `other` is buffer 1, both of the
// same length); on success `values` holds the result and `other` what is
// left. One barrier per sweep; a stop request is answered between blocks
// of lines.
Status run_sweeps(std::span<const SweepLeg> legs, std::size_t steps, std::size_t workers,
                  std::vector<double>& values, std::vector<double>& other);

}  // namespace quorvane
