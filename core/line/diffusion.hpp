// The second-order diffusion Chernoff function ("heat2") for
// du/dt = a(x) u'' on a uniform grid.
//
// One step averages u over five points spread like a Gaussian of variance
// 2 a tau. For a variable coefficient the points ride on a half drift
// a'(x) tau / 2 and a finite-difference correction is added, so the step is
// consistent with the divergence form d/dx (a du/dx) = a u'' + a' u'.
#pragma once

#include <algorithm>
#include <cmath>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <utility>
#include <optional>
#include <vector>

#include "core/foundation/coeff.hpp"
#include "core/foundation/dual.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/grid_chebyshev.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/line/node_form.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/parallel1d.hpp"
#include "core/foundation/parallel_pool.hpp"

namespace quorvane {

class Heat2Steps;

struct DiffusionChernoff {
    CoeffSource coef;
    Grid1D<double> grid;
    double a_norm_bound = 1.0;
    // The coefficient scale the correction's differences are widened by
    // (its mean over the nodes), or NaN: then each node's own a. In a's
    // units, so that the step follows a change of units.
    double width_scale = std::numeric_limits<double>::quiet_NaN();

    Expected<double> apply_node(const GridFn<double>& u, std::size_t i, double tau) const;
    // apply_node with u read through node samples of it (same values).
    Expected<double> node_from(const SampleRead& read, std::size_t i, double tau) const;

    // One step, as par_apply_pointwise of apply_node gives it (same values,
    // same errors), with the reads sharing their node samples.
    Status apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>&, double tau) const;

    // The stepping form for run_steps: `steps` steps of tau on grid functions
    // over `grid`, in `shares` node shares.
    Heat2Steps node_steps(const Grid1D<double>& grid, double tau, std::size_t shares, std::size_t steps) const;

    // The unit-diffusion kernel (a = 1, a' = a'' = 0, bound 1) on `grid`.
    static DiffusionChernoff unit(const Grid1D<double>& grid) { return {CoeffSource::unit(), grid, 1.0}; }

    // One step of the whole grid on the calling thread, node by node
    // through the grid's interp (no pool, no plan): the values of apply_node.
    Expected<GridFn<double>> apply_serial(const GridFn<double>& state, double tau) const;

    // Node i's step of tau as the linear form of its reads (with
    // `points_only` the points alone); false where the step fails at the
    // node.
    bool node_form(std::size_t i, double tau, NodeForm& form, bool points_only = false) const;
};

// The coefficients of a diffusion kernel over a dual number type F: a
// constant (then a' = a'' = 0), or functions x -> F, an absent derivative
// being zero.
template <class F>
struct DualCoeffSource {
    std::optional<F> c;
    std::function<F(const F&)> a, a1, a2;

    static DualCoeffSource constant(const F& value) { return {value, {}, {}, {}}; }
    std::optional<F> constant_value() const { return c; }
    F eval_a(const F& x) const { return c ? *c : a(x); }
    F eval_a_prime(const F& x) const { return c || !a1 ? F(0.0) : a1(x); }
    F eval_a_double_prime(const F& x) const { return c || !a2 ? F(0.0) : a2(x); }
};

// The heat2 kernel over dual numbers: the derivative seeded in the
// coefficient (or in the grid's end points) is carried through the step.
template <class F>
struct DualDiffusionChernoff {
    DualCoeffSource<F> coef;
    Grid1D<F> grid;
    double a_norm_bound = 1.0;
};

template <class F> struct DiffusionKernelOver { using type = DualDiffusionChernoff<F>; };
template <> struct DiffusionKernelOver<double> { using type = DiffusionChernoff; };
// The heat2 kernel over F: DiffusionChernoff for double.
template <class F> using DiffusionKernel = typename DiffusionKernelOver<F>::type;

// One serial step of the whole grid over F (double, Dual1, Dual2): tau
// finite and >= 0 (judged on its value part), then every node in order,
// the values read on the kernel's grid; the first error ends the step.
template <class F>
Expected<std::vector<F>> diffusion_step_serial(const DiffusionKernel<F>& kernel, std::span<const F> values,
                                               const F& tau);

// The derivative parts of one step of a Dual<double> kernel applied to the
// real values (each taken as (v, 0)) with the step (tau, 0): the tangent of
// the step along the seed of the kernel's coefficient.
Expected<std::vector<double>> apply_tangent(const DualDiffusionChernoff<Dual1>& kernel,
                                            std::span<const double> values, double tau);

// The reads of one node share of a step whose read points are the same in
// every step: node i reads u at x_i + d_m for fixed offsets d_m (x_i from
// the kernel's grid, the point located on the input's grid as interp locates
// it). The cells and weights are found once (the step plan); each step then
// fills node samples block by block and sums. Neighbouring nodes' reads fall
// on few distinct fractional positions, so each distinct (cell offset,
// weights) pattern is kept once and every read keeps only its number.
class ReadPlan {
public:
    // Nodes per block of samples.
    static constexpr std::size_t kBlock = 1024;
    // A plan needing more distinct patterns than this is not kept.
    static constexpr std::size_t kMaxPatterns = 4096;

    // Plans nodes [begin, end) with the offsets `d`; false (and no plan)
    // where some read cannot be located or the reads spread far beyond
    // their nodes.
    bool make(const Grid1D<double>& kernel_grid, const Grid1D<double>& grid, std::span<const double> d,
              std::size_t begin, std::size_t end);

    static constexpr std::size_t kMaxReads = 8;

    // out[i] = combine(r) for every planned node i, r the node's R reads of
    // the grid function (src, grid) in the order of the offsets (R = the
    // number of offsets planned).
    template <std::size_t R, class Combine>
    void run(std::span<const double> src, const Grid1D<double>& grid, double* out, const Combine& combine) {
        run<R>(src, grid, out, combine, begin_, end_);
    }

    // The same for the planned nodes [lo, hi) only.
    template <std::size_t R, class Combine>
    void run(std::span<const double> src, const Grid1D<double>& grid, double* out, const Combine& combine,
             std::size_t lo, std::size_t hi) {
        static_assert(R <= kMaxReads);
        if (reads_ != R) internal_fault("ReadPlan::run: read count mismatch");
        if (lo < begin_ || hi > end_) internal_fault("ReadPlan::run: nodes outside the plan");
        constexpr std::size_t reads = R;
        double r[R];
        for (std::size_t b = lo; b < hi;) {
            const std::size_t block = (b - begin_) / kBlock;
            const std::size_t e = std::min(hi, begin_ + (block + 1) * kBlock);
            samples_.fill(src, grid, static_cast<std::int64_t>(b) + block_cells_[block].first,
                          static_cast<std::int64_t>(e - 1) + block_cells_[block].second);
            const std::uint16_t* id = ids_.data() + reads * (b - begin_);
            for (std::size_t i = b; i < e; ++i, id += reads) {
                const std::int64_t node = static_cast<std::int64_t>(i);
                for (std::size_t m = 0; m < reads; ++m) {
                    const Pattern& p = patterns_[id[m]];
                    r[m] = samples_.at_cell(node + p.offset, p.w);
                }
                out[i] = combine(r);
            }
            b = e;
        }
    }

    // Read m of planned node i: the weights, and its cell in `cell`.
    const Hermite7Weights<double>& read(std::size_t i, std::size_t m, std::int64_t& cell) const {
        const Pattern& p = patterns_[ids_[reads_ * (i - begin_) + m]];
        cell = static_cast<std::int64_t>(i) + p.offset;
        return p.w;
    }

    // The planned nodes and how far their reads reach: every read of node i
    // lies in the cells [i + lowest, i + highest] (a cell's read takes the
    // samples of both its ends).
    std::size_t begin() const { return begin_; }
    std::size_t end() const { return end_; }
    std::int64_t lowest_cell() const { return lowest_; }
    std::int64_t highest_cell() const { return highest_; }

    // out[i] = combine(r) for every planned node i, r[j] the read of the
    // grid function (srcs[j], grid) at the plan's single offset.
    template <std::size_t S, class Combine>
    void run_sources(const std::array<std::span<const double>, S>& srcs, const Grid1D<double>& grid, double* out,
                     const Combine& combine) {
        if (reads_ != 1) internal_fault("ReadPlan::run_sources: one read per node expected");
        if (sources_.size() < S) sources_.resize(S);
        double r[S];
        for (std::size_t b = begin_, block = 0; b < end_; b += kBlock, ++block) {
            const std::size_t e = std::min(end_, b + kBlock);
            for (std::size_t j = 0; j < S; ++j) {
                sources_[j].fill(srcs[j], grid, static_cast<std::int64_t>(b) + block_cells_[block].first,
                                 static_cast<std::int64_t>(e - 1) + block_cells_[block].second);
            }
            const std::uint16_t* id = ids_.data() + (b - begin_);
            for (std::size_t i = b; i < e; ++i, ++id) {
                const Pattern& p = patterns_[*id];
                const std::int64_t cell = static_cast<std::int64_t>(i) + p.offset;
                for (std::size_t j = 0; j < S; ++j) r[j] = sources_[j].at_cell(cell, p.w);
                out[i] = combine(r);
            }
        }
    }

private:
    struct Pattern {
        std::int64_t offset;  // cell - node index
        Hermite7Weights<double> w;
    };
    std::size_t begin_ = 0, end_ = 0, reads_ = 0;
    std::vector<std::uint16_t> ids_;  // pattern numbers, `reads_` per node
    std::vector<Pattern> patterns_;
    std::int64_t lowest_ = 0, highest_ = 0;
    // The samples a block's nodes read: cells [its first node + .first, its
    // last node + .second).
    std::vector<std::pair<std::int64_t, std::int64_t>> block_cells_;
    SepticSamples samples_;
    std::vector<SepticSamples> sources_;  // run_sources
};

// The fewest nodes a share of a planned constant-coefficient step takes
// (min_share_nodes of its stepping form): such a step costs some 16 ns a
// node, and on smaller shares the barriers and thread starts cost more than
// the threads save (measured on a busy 8-processor machine: 8 shares of 128
// nodes 10 times slower than one thread, of 2048 nodes in rounds as fast).
inline constexpr std::size_t kPlannedShareNodes = 2048;
// The same for the other heat steps, which cost some 35 to 90 ns a node
// (variable coefficients): measured there, 8 shares of 128 nodes 1.5 times
// slower than one thread, of 512 nodes faster.
inline constexpr std::size_t kSampledShareNodes = 512;

// The plans of a constant-coefficient step run in rounds of several steps
// (run_node_rounds): every share plans the widest pieces it meets (its
// chunk widened for the round, at most two pieces when a periodic chunk
// reaches over the far end) and runs the narrower pieces of the round's
// later steps from them.
class RoundPlans {
public:
    // Steps with the R quadrature offsets of `constant` (planned only when
    // `planned`), on grid functions over `grid`, in `shares` shares.
    RoundPlans(const Grid1D<double>& grid, std::optional<double> constant, double tau, std::size_t reads,
               bool planned, std::size_t shares);

    // How many nodes a step reads beyond its own on either side (the node
    // samples of its cells included), or nothing when the step is not run
    // from a plan.
    std::optional<std::size_t> reach() const { return reach_; }

    // Nodes [begin, end) of a step from src (on the planned grid) into out;
    // false where they cannot run from a plan within the reach.
    template <std::size_t R, class Combine>
    bool run(const Grid1D<double>& kernel_grid, std::span<const double> src, double* out, std::size_t begin,
             std::size_t end, std::size_t share, const Combine& combine) {
        if (begin >= end) return true;
        Pieces& sh = shares_[share];
        for (std::size_t k = 0; k < sh.count; ++k) {
            if (sh.plans[k].begin() <= begin && end <= sh.plans[k].end()) {
                sh.plans[k].template run<R>(src, grid_, out, combine, begin, end);
                return true;
            }
        }
        if (!reach_ || sh.count == sh.plans.size() || !plan(kernel_grid, sh.plans[sh.count], begin, end)) {
            return false;
        }
        sh.plans[sh.count++].template run<R>(src, grid_, out, combine, begin, end);
        return true;
    }

private:
    bool plan(const Grid1D<double>& kernel_grid, ReadPlan& p, std::size_t begin, std::size_t end) const;

    struct alignas(64) Pieces {  // one cache line apart: shares write their own only
        std::array<ReadPlan, 2> plans;
        std::size_t count = 0;
    };
    Grid1D<double> grid_;
    std::vector<double> offsets_;
    std::optional<std::size_t> reach_;
    std::vector<Pieces> shares_;
};

// Every read of a node step taken once for a call whose reads do not
// change from step to step (a fixed coefficient's feet): the step is run
// once node by node with a reader that records where it reads (cell and
// weights, each read its own: drift feet differ from node to node), and in
// every step after that with a reader that replays those reads, in the same
// order, from node samples of the step's input. The step's own arithmetic
// runs on them, so the bits are the step's own; it must read the same
// points in the same order in every step, whatever the values.
class RecordedReads {
public:
    struct Read {
        Hermite7Weights<double> w;
        std::int64_t offset;  // cell - node index
    };
    // Records the reads of step(i, reader) for nodes [begin, end) on `grid`
    // (a node reading more than `most` points is not planned); false where
    // some read cannot be located or the reads spread too far.
    template <class Step>
    bool make(const Grid1D<double>& grid, std::size_t begin, std::size_t end, std::size_t most, const Step& step);

    // out[i] = step(i, reader) for the recorded nodes, from node samples of src.
    template <class Step>
    Status run(std::span<const double> src, const Grid1D<double>& grid, double* out, const Step& step);

    // Records where a node step reads (its values are 0: not used).
    struct Recorder {
        RecordedReads* plan;
        const Grid1D<double>* grid;
        std::int64_t node;
        mutable bool ok;
        Expected<double> operator()(double x) const;
    };
    // Gives a node step its recorded reads, in order.
    struct Replay {
        const SepticSamples* samples;
        std::int64_t node;
        mutable const Read* next;
        Expected<double> operator()(double) const {
            const Read& r = *next++;
            return samples->at_cell(node + r.offset, r.w);
        }
    };

private:
    std::size_t begin_ = 0, end_ = 0;
    std::vector<Read> reads_;
    std::vector<std::uint32_t> first_;  // node i's reads start at reads_[first_[i - begin]]
    std::vector<std::pair<std::int64_t, std::int64_t>> block_cells_;  // cells each block reads
    SepticSamples samples_;
};

template <class Step>
bool RecordedReads::make(const Grid1D<double>& grid, std::size_t begin, std::size_t end, std::size_t most,
                         const Step& step) {
    begin_ = end_ = begin;
    reads_.clear();
    first_.clear();
    block_cells_.clear();
    if (begin >= end || (end - begin) * most > UINT32_MAX) return false;
    reads_.reserve((end - begin) * most);
    first_.reserve(end - begin + 1);
    for (std::size_t b = begin; b < end; b += ReadPlan::kBlock) {
        const std::size_t e = std::min(end, b + ReadPlan::kBlock);
        std::int64_t lo = INT64_MAX, hi = INT64_MIN;
        for (std::size_t i = b; i < e; ++i) {
            first_.push_back(static_cast<std::uint32_t>(reads_.size()));
            const Recorder rec{this, &grid, static_cast<std::int64_t>(i), true};
            if (!step(i, rec) || !rec.ok || reads_.size() - first_.back() > most) return false;
            for (std::size_t k = first_.back(); k < reads_.size(); ++k) {
                lo = std::min(lo, static_cast<std::int64_t>(i) + reads_[k].offset);
                hi = std::max(hi, static_cast<std::int64_t>(i) + reads_[k].offset + 2);
            }
        }
        if (lo > hi) lo = hi = static_cast<std::int64_t>(b);  // no node of the block reads anything
        if (hi - lo > static_cast<std::int64_t>(3 * ReadPlan::kBlock)) return false;
        block_cells_.emplace_back(lo, hi);
    }
    first_.push_back(static_cast<std::uint32_t>(reads_.size()));
    end_ = end;
    return true;
}

template <class Step>
Status RecordedReads::run(std::span<const double> src, const Grid1D<double>& grid, double* out, const Step& step) {
    for (std::size_t b = begin_, block = 0; b < end_; b += ReadPlan::kBlock, ++block) {
        const std::size_t e = std::min(end_, b + ReadPlan::kBlock);
        samples_.fill(src, grid, block_cells_[block].first, block_cells_[block].second);
        for (std::size_t i = b; i < e; ++i) {
            const Replay replay{&samples_, static_cast<std::int64_t>(i), reads_.data() + first_[i - begin_]};
            Expected<double> v = step(i, replay);
            if (!v) return fail(v.error());
            out[i] = *v;
        }
    }
    return {};
}

// Nodes [begin, end) of one step with every read through node samples of
// src: node(i, read) gives the value at node i, read(p) the value at p (as
// Grid1D::interp). The samples are filled block by block for the block's
// nodes and `margin` cells beyond; reads farther out go through interp.
template <class Node>
Status sampled_nodes(SepticSamples& samples, const GridFn<double>& src, double* out, std::size_t begin,
                     std::size_t end, std::int64_t margin, const Node& node) {
    const SampleRead read{&samples};
    for (std::size_t b = begin; b < end; b += ReadPlan::kBlock) {
        const std::size_t e = std::min(end, b + ReadPlan::kBlock);
        samples.fill(src.values, src.grid, static_cast<std::int64_t>(b) - margin,
                     static_cast<std::int64_t>(e) + margin + 1);
        for (std::size_t i = b; i < e; ++i) {
            Expected<double> v = node(i, read);
            if (!v) return fail(v.error());
            out[i] = *v;
        }
    }
    return {};
}

// sqrt(ka tau), the root of a quadrature pair's spread (ka = k a), formed
// as (ka tau) where that product is a double and as sqrt(ka) sqrt(tau)
// where it is not: on a grid whose dx^2 lies near the top of the doubles a
// step of a few dx^2 overflows the product, not its root. The product
// form keeps every step's bits where it is a double.
inline double spread_root(double ka, double tau) {
    const double p = ka * tau;
    return std::isfinite(p) || !std::isfinite(ka) || !std::isfinite(tau) ? std::sqrt(p)
                                                                          : std::sqrt(ka) * std::sqrt(tau);
}

// Cells a step's reads reach beyond their node: `reach` (a length) over dx
// plus the interpolant's own two, at most one block.
std::int64_t margin_cells(double reach, double dx);

// The correction from the undivided differences s1 = h D1, s2 = h^2 D2,
// s3 = h^3 D3, formed from the step's dimensionless numbers tau a / h^2,
// tau a' / h and tau a'': tau^2 (a a' D3 + a a'' D2 / 2 + a' a'' D1 / 4).
// No product leaves the doubles where the flow's own numbers stay in them,
// whatever the units.
template <class F>
inline F heat_correction(const F& tau, const F& a, const F& a1, const F& a2, const F& h, const F& s1, const F& s2,
                            const F& s3) {
    const F p = (tau * a / h) / h;
    const F q = tau * a1 / h;
    const F r = tau * a2;
    return p * q * s3 + from_f64<F>(0.5) * p * r * s2 + from_f64<F>(0.25) * q * r * s1;
}

// The width scale of sampled coefficients: their mean over the nodes (each
// divided by the count first, so no sum of finite samples overflows), or
// NaN where that is not a finite number >= 0 (then each node's own a).
inline double sampled_width_scale(std::span<const double> a) {
    double m = 0.0;
    const double n = static_cast<double>(a.size());
    for (double v : a) m += v / n;
    return std::isfinite(m) && m >= 0.0 ? m : std::numeric_limits<double>::quiet_NaN();
}

// A read offset d of a constant-coefficient step folded by whole periods of
// the grid's continuation, counted in cells (2(n - 1) for "reflect", 4(n - 1)
// for the odd image, n for "periodic"), where it reaches a period or more:
// the values there repeat, while x + d for a d of many periods loses the
// node's position to rounding, unequally for +d and -d, which moves the
// mean. Offsets of 2^53 cells and more are left as they are (the reach rules
// judge them); other continuations are left as they are too.
inline double fold_far_offset(const Grid1D<double>& g, double d) {
    const double cells = static_cast<double>(g.n - 1);
    double period = 0.0;
    switch (g.boundary.tag) {
        case BoundaryTag::Reflect: period = 2.0 * cells; break;
        case BoundaryTag::OddReflect: period = 4.0 * cells; break;
        case BoundaryTag::Periodic: period = cells + 1.0; break;
        default: return d;
    }
    const double dx = g.dx();
    const double c = d / dx;
    if (!(std::fabs(c) >= period) || !(std::fabs(c) < 9007199254740992.0)) return d;
    return std::fmod(c, period) * dx;
}

// The longest unit-coefficient heat2 step whose reads, 2 sqrt(3 tau) from a
// node, can be formed: past DBL_MAX/3 the product 3 tau overflows. Four
// digits down, so that a step a few ulps above it (as within_bound admits)
// still forms them.
double unit_heat2_formed_step();

// How far a heat2 step with a varying coefficient bounded by a_bound reads
// beyond its node: the outer quadrature points and the correction's
// differences.
double heat2_varying_reach(double a_bound, double tau, double dx);

// The stepping form of a kernel whose node step can read through any
// reader (K::node_from(read, i, tau)): every share reads through node
// samples of the step's input, `margin` cells beyond its block.
template <class K>
class SampledSteps {
public:
    SampledSteps(const K& kernel, double tau, std::size_t shares, std::int64_t margin)
        : kernel_(&kernel), tau_(tau), margin_(margin), shares_(std::max<std::size_t>(shares, 1)) {}

    Status step(const GridFn<double>& src, GridFn<double>& dst, std::size_t begin, std::size_t end,
                std::size_t share) {
        return sampled_nodes(shares_[share].samples, src, dst.values.data(), begin, end, margin_,
                             [&](std::size_t i, const SampleRead& read) { return kernel_->node_from(read, i, tau_); });
    }

private:
    struct alignas(64) Share {  // one cache line apart: shares write their own only
        SepticSamples samples;
    };
    const K* kernel_;
    double tau_;
    std::int64_t margin_;
    std::vector<Share> shares_;
};

// One step of such a kernel into out (tau checked, out sized), the calling
// thread keeping its samples' storage from call to call.
template <class K>
Status sampled_apply_into(const K& kernel, const GridFn<double>& in, GridFn<double>& out, double tau,
                          std::int64_t margin) {
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and >= 0", tau);
    out.values.resize(in.values.size(), 0.0);
    return run_node_steps(in.values.size(), 1, [&](std::size_t, std::size_t begin, std::size_t end, std::size_t) {
        thread_local SepticSamples samples;
        return sampled_nodes(samples, in, out.values.data(), begin, end, margin,
                             [&](std::size_t i, const SampleRead& read) { return kernel.node_from(read, i, tau); });
    });
}

// Steps of one kernel with one step size, share by share (see
// run_node_steps), giving exactly the values of apply_node. With a
// coefficient constant by construction each share runs from a step plan;
// with a fixed one (see CoeffSource::fixed) each share takes the
// coefficient's part of its node steps once; otherwise its reads go through node samples of the step's input computed
// once per step, block by block (a block's nodes and the margin their reads
// reach, so the samples stay in cache).
// The coefficient's part of a variable-coefficient node step: where the
// quadrature reads (the drift feet z) and a, a', a'' at the node.
template <class F>
struct Heat2Feet {
    F z[5];
    F a, a1, a2;
};

// The most a call keeps in Heat2NodePlan's per-node reads.
inline constexpr std::size_t kMaxNodePlanBytes = std::size_t{1} << 27;

// Every read of a variable-coefficient heat2 step taken once for a call
// whose coefficient is fixed: each node's five quadrature reads (their
// cells and weights: the drift feet differ from node to node) with a, a',
// a'' at the node, and its five difference reads at fixed offsets through
// a ReadPlan. A step then only sums node samples, in the node step's order.
class Heat2NodePlan {
public:
    // Bytes a planned node keeps (a call keeps at most kMaxNodePlanBytes in
    // such plans: grids up to some 350000 nodes; larger ones read as the
    // node step reads).
    static constexpr std::size_t kNodeBytes = 5 * sizeof(Hermite7Weights<double>) + 3 * sizeof(double) + 5 * 4 + 5 * 2;

    // Plans nodes [begin, end) from their feet (feet[i - begin]); false
    // where some read cannot be located or the reads spread too far.
    bool make(const Grid1D<double>& kernel_grid, const Grid1D<double>& grid, std::span<const Heat2Feet<double>> feet,
              double tau, double width_scale, std::size_t begin, std::size_t end);

    // The planned nodes of one step from src (on the planned grid) into out.
    void run(std::span<const double> src, const Grid1D<double>& grid, double* out);

private:
    struct Node {
        Hermite7Weights<double> w[5];
        double a, a1, a2;
        std::int32_t cell[5];  // cell - node index
    };
    std::size_t begin_ = 0, end_ = 0;
    double tau_ = 0.0, h_ = 0.0;
    std::vector<Node> nodes_;
    ReadPlan differences_;
    std::vector<std::pair<std::int64_t, std::int64_t>> block_cells_;  // as ReadPlan's
    SepticSamples samples_;
};

class Heat2Steps {
public:
    Heat2Steps(const DiffusionChernoff& kernel, const Grid1D<double>& grid, double tau, std::size_t shares,
               std::size_t steps);

    // Nodes [begin, end) of dst from src; called for distinct shares from
    // different threads at once.
    Status step(const GridFn<double>& src, GridFn<double>& dst, std::size_t begin, std::size_t end,
                std::size_t share);

    // Steps in rounds (see RoundPlans): the reach of a planned step, and
    // nodes [begin, end) of one step from src into dst.
    std::optional<std::size_t> round_reach() const { return rounds_.reach(); }
    bool round_step(std::span<const double> src, double* dst, std::size_t begin, std::size_t end, std::size_t share);
    std::size_t min_share_nodes() const { return plan_ ? kPlannedShareNodes : kSampledShareNodes; }

private:
    struct alignas(64) Share {  // one cache line apart: shares write their own only
        bool prepared = false;
        bool planned = false;
        std::int64_t margin = 0;  // cells read beyond the nodes, unplanned
        ReadPlan plan;
        SepticSamples samples;
        std::vector<Heat2Feet<double>> feet;  // a fixed coefficient's part of each node step, when taken once
        bool node_planned = false;
        Heat2NodePlan node_plan;  // every read of a fixed coefficient's step, when small enough to keep
    };
    void prepare(Share& sh, std::size_t begin, std::size_t end) const;

    const DiffusionChernoff* kernel_;
    Grid1D<double> grid_;
    double tau_;
    std::optional<double> constant_;
    bool plan_;
    bool feet_;
    std::vector<Share> shares_;
    RoundPlans rounds_;
};

// The offsets 0, +-2 sqrt(k c tau) of a constant coefficient c's quadrature
// points, k = 1, 3, 5, ... (`count` = 5 or 7 offsets), each root doubled by
// adding it to itself, as the node steps form them.
std::vector<double> quadrature_offsets(double c, double tau, std::size_t count, const Grid1D<double>& grid);

// The coefficient's part of a variable-coefficient quadrature node step
// with R points (heat4: 5, heat6: 7): the drift feet z and a, a', a'' at
// the node.
template <std::size_t R>
struct QuadFeet {
    double z[R];
    double a, a1, a2;
};

// The stepping form of a quadrature kernel K (heat4, heat6) for run_steps:
// each share runs from a step plan when `constant` holds a coefficient
// constant by construction (Sum adds the R reads exactly as the node step
// adds them), from the coefficient's part of each node step taken once when
// the coefficient is fixed (K::coef_fixed, K::feet), through the node step
// otherwise, on the source the kernel's apply_into would read
// (K::source_kind: another sampling of a copy).
template <class K, std::size_t R, class Sum>
class QuadratureSteps {
public:
    QuadratureSteps(const K& kernel, const Grid1D<double>& grid, double tau, std::size_t shares, std::size_t steps,
                    std::optional<double> constant)
        : kernel_(&kernel),
          grid_(grid),
          tau_(tau),
          constant_(constant),
          plan_(steps >= 2 && constant && finite_nonneg(*constant) && !kernel.source_kind()),
          feet_(steps >= 2 && !constant && !kernel.source_kind() && kernel.coef_fixed()),
          read_plan_(kernel.coef_fixed()),  // planning costs less than one unplanned sweep
          shares_(std::max<std::size_t>(shares, 1)),
          rounds_(grid, constant, tau, R, plan_, shares) {}

    // Steps in rounds (see RoundPlans).
    std::optional<std::size_t> round_reach() const { return rounds_.reach(); }
    std::size_t min_share_nodes() const { return plan_ ? kPlannedShareNodes : kSampledShareNodes; }
    bool round_step(std::span<const double> src, double* dst, std::size_t begin, std::size_t end,
                    std::size_t share) {
        return rounds_.template run<R>(kernel_->grid, src, dst, begin, end, share, Sum{});
    }

    Status step(const GridFn<double>& src, GridFn<double>& dst, std::size_t begin, std::size_t end,
                std::size_t share) {
        if (begin >= end) return {};
        Share& sh = shares_[share];
        if (!sh.prepared) {
            sh.prepared = true;
            sh.planned =
                plan_ && sh.plan.make(kernel_->grid, grid_, quadrature_offsets(*constant_, tau_, R, grid_), begin, end);
        }
        if (sh.planned) {
            sh.plan.template run<R>(src.values, src.grid, dst.values.data(), Sum{});
            return {};
        }
        if (feet_ && !sh.feet_prepared) {
            // A fixed coefficient: its part of every node step is taken once.
            sh.feet_prepared = true;
            sh.feet.resize(end - begin);
            for (std::size_t i = begin; i < end; ++i) {
                if (!kernel_->feet(i, tau_, sh.feet[i - begin])) {
                    // The step without them reports it, in node order.
                    sh.feet.clear();
                    break;
                }
            }
        }
        if (!sh.feet.empty()) {
            if constexpr (requires { kernel_->widths(tau_); }) {
                // Every read recorded once, where the call's records stay
                // within kMaxNodePlanBytes.
                const auto widths = kernel_->widths(tau_);
                auto node = [&](std::size_t i, const auto& read) {
                    return kernel_->feet_step(sh.feet[i - begin], read, i, tau_, widths);
                };
                constexpr std::size_t most = K::kMostReads;
                if (!sh.recorded_prepared) {
                    sh.recorded_prepared = true;
                    sh.recorded = grid_.n <= kMaxNodePlanBytes / (most * sizeof(RecordedReads::Read)) &&
                                  sh.reads_of.make(grid_, begin, end, most, node);
                }
                if (sh.recorded) return sh.reads_of.run(src.values, src.grid, dst.values.data(), node);
            }
            return kernel_->step_nodes(src, dst.values.data(), begin, end, tau_, sh.samples, sh.feet);
        }
        const GridFn<double>* source = &src;
        const std::optional<InterpKind> kind = kernel_->source_kind();
        if (!kind) return kernel_->step_nodes(src, dst.values.data(), begin, end, tau_, sh.samples, {});
        sh.copy.grid = kernel_->grid;
        sh.copy.grid.interp_kind = *kind;
        if constexpr (requires { kernel_->step_nodes_chebyshev(sh.copy, dst.values.data(), begin, end, tau_, sh.cheb); }) {
            if (kind->tag == InterpTag::Chebyshev) {
                if (read_plan_ && !sh.reads_prepared) {
                    // A fixed coefficient whose steps are the quadrature
                    // alone: its points are read from a plan.
                    sh.reads_prepared = true;
                    std::vector<double> points;
                    sh.reads_planned = kernel_->quadrature_points(begin, end, tau_, points) &&
                                       sh.read_plan.make(sh.copy.grid, points);
                    if (sh.reads_planned) sh.reads.resize(points.size());
                }
                if (sh.reads_planned) {
                    // The plan reads the interpolant's samples only: no copy of src.
                    sh.cheb.fill(src.values, sh.copy.grid);
                    sh.read_plan.run(sh.cheb, sh.reads.data());
                    for (std::size_t i = begin; i < end; ++i) dst.values[i] = Sum{}(&sh.reads[R * (i - begin)]);
                    return {};
                }
                sh.copy.values.assign(src.values.begin(), src.values.end());
                return kernel_->step_nodes_chebyshev(sh.copy, dst.values.data(), begin, end, tau_, sh.cheb);
            }
        }
        sh.copy.values.assign(src.values.begin(), src.values.end());
        source = &sh.copy;
        for (std::size_t i = begin; i < end; ++i) {
            Expected<double> v = kernel_->apply_node(*source, i, tau_);
            if (!v) return fail(v.error());
            dst.values[i] = *v;
        }
        return {};
    }

private:
    struct alignas(64) Share {  // one cache line apart: shares write their own only
        bool prepared = false;
        bool planned = false;
        bool feet_prepared = false;
        ReadPlan plan;
        SepticSamples samples;
        GridFn<double> copy;
        ChebyshevSamples cheb;
        std::vector<QuadFeet<R>> feet;  // a fixed coefficient's part of each node step, when taken once
        bool recorded_prepared = false;
        bool recorded = false;
        RecordedReads reads_of;  // every read of a fixed coefficient's steps, when small enough to keep
        bool reads_prepared = false;
        bool reads_planned = false;
        ChebyshevReadPlan read_plan;  // the quadrature points of a Chebyshev-sampled source
        std::vector<double> reads;    // their values in one step, R per node
    };
    const K* kernel_;
    Grid1D<double> grid_;
    double tau_;
    std::optional<double> constant_;
    bool plan_;
    bool feet_;
    bool read_plan_;
    std::vector<Share> shares_;
    RoundPlans rounds_;
};


// Quadrature weights of the five-point rule: 7/12, 3/16, 1/48.
inline constexpr double kHeatW0 = 7.0 / 12.0;
inline constexpr double kHeatW1 = 0.1875;
inline constexpr double kHeatW3 = 1.0 / 48.0;

inline constexpr const char* kEllipticityMessage =
    "a(x) must be finite and >= 0 (strict ellipticity required for sqrt)";

}  // namespace quorvane
