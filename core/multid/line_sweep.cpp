#include "core/multid/line_sweep.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/foundation/numeric.hpp"

namespace quorvane {

LineLayout LineLayout::along(std::span<const std::size_t> counts, std::size_t axis, std::size_t width) {
    std::size_t below = 1, total = 1;
    for (std::size_t d = 0; d < counts.size(); ++d) {
        if (d < axis) below *= counts[d];
        total *= counts[d];
    }
    const std::size_t len = counts[axis];
    return {len == 0 ? 0 : total / len, len, below, below, below * len, width};
}

namespace {

// Copies node k of `count` neighbouring lines between the array (nodes of
// one k side by side, `hop` values from one k to the next) and the lines'
// own buffers, for k < len; W values per node (0: `width`).
template <std::size_t W>
void gather(const double* src, std::size_t hop, std::size_t len, std::size_t count, std::size_t width,
            double* const* in) {
    const std::size_t wd = W != 0 ? W : width;
    for (std::size_t k = 0; k < len; ++k) {
        const double* s = src + k * hop;
        for (std::size_t b = 0; b < count; ++b)
            for (std::size_t c = 0; c < wd; ++c) in[b][k * wd + c] = s[b * wd + c];
    }
}

template <std::size_t W>
void scatter(double* dst, std::size_t hop, std::size_t len, std::size_t count, std::size_t width,
             const double* const* out) {
    const std::size_t wd = W != 0 ? W : width;
    for (std::size_t k = 0; k < len; ++k) {
        double* d = dst + k * hop;
        for (std::size_t b = 0; b < count; ++b)
            for (std::size_t c = 0; c < wd; ++c) d[b * wd + c] = out[b][k * wd + c];
    }
}

}  // namespace

void LineClaims::open(std::size_t k, std::size_t count) {
    Phase& ph = phases_[k % 2];
    ph.next.store(0, std::memory_order_relaxed);
    ph.count = count;
    // Four claims a worker or more, of at most 32 lines.
    ph.unit = std::clamp<std::size_t>(count / (4 * workers_), 1, 4 * kLineBlock);
    std::lock_guard<std::mutex> lock(mutex_);
    ph.first.reset();
}

WorkShare LineClaims::claim(std::size_t k) {
    Phase& ph = phases_[k % 2];
    const std::size_t begin = std::min(ph.count, ph.next.fetch_add(ph.unit, std::memory_order_relaxed));
    return {begin, std::min(ph.count, begin + ph.unit)};
}

void LineClaims::fail(std::size_t k, std::size_t line, const CoreError& e) {
    Phase& ph = phases_[k % 2];
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ph.first || line < ph.first->first) ph.first.emplace(line, e);
}

std::optional<CoreError> LineClaims::error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Phase& ph : phases_)
        if (ph.first) return ph.first->second;
    return std::nullopt;
}

Status sweep_share(LineStepper& stepper, const LineLayout& l, std::span<const double> src, std::span<double> dst,
                   std::size_t w, LineClaims& claims, std::size_t phase, PhaseControl& control) {
    const std::size_t width = l.width, len = l.len;
    const std::size_t hop = l.stride * width;  // values from one node of a line to the next
    const std::size_t block =
        std::clamp<std::size_t>(kBlockValues / std::max<std::size_t>(len * width, 1), 1, kLineBlock);
    double* in[kLineBlock];
    const double* out[kLineBlock];
    // A stop is asked for every few thousand nodes (the calling thread reads
    // the clock each time).
    constexpr std::size_t kPollNodes = 4096;
    std::size_t unpolled = 0;
    WorkShare lines{0, 0};
    for (std::size_t p = 0;;) {
        if (p == lines.end) {
            lines = claims.claim(phase);
            if (lines.begin == lines.end) return {};
            p = lines.begin;
        }
        if (unpolled >= kPollNodes) {
            if (!control.keep_going()) return {};
            unpolled = 0;
        }
        // A block: neighbouring lines of one group, whose nodes k lie side by
        // side; it ends at a cache line of the source where it can, so that
        // every cache line of a strided sweep is read and written by one block.
        const std::size_t first = l.base(p) * width;
        std::size_t count = std::min({block, lines.end - p, l.group - p % l.group});
        if (hop != width) {
            const std::size_t misalign = reinterpret_cast<std::uintptr_t>(src.data() + first) % 64 / sizeof(double);
            if (misalign != 0 && width == 1) count = std::min(count, 8 - misalign);
        }
        for (std::size_t b = 0; b < count; ++b) in[b] = stepper.input(w, b);
        if (hop == width) std::copy_n(src.data() + first, len * width, in[0]);
        else if (width == 1) gather<1>(src.data() + first, hop, len, count, width, in);
        else gather<0>(src.data() + first, hop, len, count, width, in);
        for (std::size_t b = 0; b < count; ++b) {
            if (Status st = stepper.step(w, b, p + b); !st) {
                claims.fail(phase, p + b, st.error());
                return st;
            }
            out[b] = stepper.output(w, b);
        }
        if (hop == width) std::copy_n(out[0], len * width, dst.data() + first);
        else if (width == 1) scatter<1>(dst.data() + first, hop, len, count, width, out);
        else scatter<0>(dst.data() + first, hop, len, count, width, out);
        p += count;
        unpolled += count * len;
    }
}

HeatLineBuffers::HeatLineBuffers(const Grid1D<double>& axis, std::size_t workers)
    : axis_(axis), workers_(std::max<std::size_t>(workers, 1)) {
    for (Worker& k : workers_) k.slots.resize(kLineBlock);
}

HeatLineBuffers::Slot& HeatLineBuffers::slot(std::size_t w, std::size_t b) {
    Slot& s = workers_[w].slots[b];
    if (s.in.values.empty()) {
        s.in = {axis_, std::vector<double>(axis_.n, 0.0)};
        s.out = {axis_, std::vector<double>(axis_.n, 0.0)};
    }
    return s;
}

SepticSamples& HeatLineBuffers::samples(std::size_t w) { return workers_[w].samples; }

bool plan_pays(std::size_t lines, std::size_t workers, std::size_t legs, std::size_t n_steps) {
    const std::size_t per_worker = (lines + workers - 1) / std::max<std::size_t>(workers, 1);
    return per_worker * legs >= 2 || n_steps >= 2;
}

HeatLines::HeatLines(const DiffusionChernoff& kernel, const Grid1D<double>& axis, double tau, std::size_t workers,
                     bool planned)
    : HeatLineBuffers(axis, workers), steps_(kernel, axis, tau, std::max<std::size_t>(workers, 1), planned ? 2 : 1),
      len_(axis.n) {}

Status HeatLines::step(std::size_t w, std::size_t b, std::size_t) {
    Slot& s = slot(w, b);
    return steps_.step(s.in, s.out, 0, len_, w);
}

PencilHeatLines::PencilHeatLines(std::span<const DiffusionChernoff> kernels, const Grid1D<double>& axis, double tau,
                                 std::size_t workers)
    : HeatLineBuffers(axis, workers), kernels_(kernels), tau_(tau) {
    // The reads' reach under the largest bound of a.
    double bound = 0.0;
    for (const DiffusionChernoff& k : kernels) bound = max_ignore_nan(bound, k.a_norm_bound);
    const double dx = axis.dx();
    margin_ = margin_cells(heat2_varying_reach(bound, tau, dx), dx);
}

Status PencilHeatLines::step(std::size_t w, std::size_t b, std::size_t line) {
    Slot& s = slot(w, b);
    const DiffusionChernoff& kernel = kernels_[line];
    return sampled_nodes(samples(w), s.in, s.out.values.data(), 0, s.in.values.size(), margin_,
                         [&](std::size_t i, const SampleRead& read) { return kernel.node_from(read, i, tau_); });
}

Status run_sweeps(std::span<const SweepLeg> legs, std::size_t steps, std::size_t workers,
                  std::vector<double>& values) {
    for (const SweepLeg& leg : legs) {
        const LineLayout& l = leg.layout;
        if (l.count * l.len * l.width != values.size()) internal_fault("run_sweeps: lines do not cover the values");
    }
    const std::size_t per_step = legs.size();
    if (per_step == 0) return {};
    std::vector<double> other(values.size(), 0.0);
    std::span<double> buffers[2] = {values, other};
    std::size_t parity = 0;  // the buffer the next sweep reads
    LineClaims claims(workers);
    // legs * steps sweeps, in runs whose count fits a size_t.
    for (std::size_t done = 0; done < steps;) {
        const std::size_t run = std::min(steps - done, SIZE_MAX / per_step);
        const std::size_t phases = run * per_step;
        claims.open(0, legs[0].layout.count);
        Status st = run_phases(phases, workers, [&](std::size_t k, std::size_t w, PhaseControl& control) {
            if (w == 0 && k + 1 < phases) claims.open(k + 1, legs[(k + 1) % per_step].layout.count);
            const SweepLeg& leg = legs[k % per_step];
            const std::size_t from = (parity + k) % 2;
            return sweep_share(*leg.stepper, leg.layout, buffers[from], buffers[1 - from], w, claims, k, control);
        });
        if (!st) {
            const std::optional<CoreError> line = claims.error();
            return line ? fail(*line) : st;
        }
        parity = (parity + run * per_step) % 2;
        done += run;
    }
    if (parity == 1) std::swap(values, other);
    return {};
}

}  // namespace quorvane
