// Sweeps of a 1-D step along every line of one axis of a tensor grid.
//
// A sweep reads one flat array and writes another. Each worker claims runs
// of neighbouring lines and steps them with a stepper made once for the
// call (its plan, its node samples and its line buffers kept from line to
// line and from step to step). Lines that are not contiguous in memory
// (columns, pencils) are gathered in blocks of neighbouring lines, which
// read whole cache lines of the array, into contiguous line buffers, and
// scattered back the same way. Every line is stepped by the same code
// whatever the split, so results do not depend on the worker count.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
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

// The lines of the sweeps of one call, handed out to the workers in claims
// of neighbouring lines: a worker running late (its CPU taken by another
// process, or its lines dearer) leaves the rest to the others. Of the lines
// that fail, the earliest one's error is kept: the error a single worker
// going through the lines in order meets.
class LineClaims {
public:
    explicit LineClaims(std::size_t workers) : workers_(std::max<std::size_t>(workers, 1)) {}

    // Phase k hands out `count` lines. Phase 0 is opened before the call;
    // phase k + 1 by one worker while phase k runs (no worker claims from it
    // before the barrier ending phase k).
    void open(std::size_t k, std::size_t count);
    // The next lines of phase k for the caller; empty when none are left.
    WorkShare claim(std::size_t k);
    void fail(std::size_t k, std::size_t line, const CoreError& e);
    // The error of the earliest failing line of the last phase run, if any.
    std::optional<CoreError> error() const;

private:
    struct alignas(64) Phase {  // one cache line apart: the counters are hot
        std::atomic<std::size_t> next{0};
        std::size_t count = 0, unit = 1;
        std::optional<std::pair<std::size_t, CoreError>> first;  // guarded by mutex_
    };
    std::size_t workers_;
    Phase phases_[2];
    mutable std::mutex mutex_;
};

// Worker w's part of phase k, one sweep from src into dst: claims of lines
// stepped in line order, the first failing line ending the part with its
// error (kept in `claims`). The part is left early (without error) when
// control says so.
Status sweep_share(LineStepper& stepper, const LineLayout& layout, std::span<const double> src,
                   std::span<double> dst, std::size_t w, LineClaims& claims, std::size_t k, PhaseControl& control);

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

// `steps` repetitions of the legs, each leg one sweep on `workers` workers,
// in place on `values`: leg g (counted over the whole call) reads buffer
// g % 2 and writes buffer (g + 1) % 2 (values starts in buffer 0, buffer 1
// is the call's own). One barrier per sweep; a stop request is answered
// between blocks of lines.
Status run_sweeps(std::span<const SweepLeg> legs, std::size_t steps, std::size_t workers,
                  std::vector<double>& values);

}  // namespace quorvane
