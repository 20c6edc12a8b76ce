#include "core/line/diffusion.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <type_traits>

#include "core/foundation/numeric.hpp"

namespace quorvane {
namespace {

// a NaN, infinite or carrying a sign bit (except -0.0) is out of class; a
// dual coefficient is judged by its value part.
template <class F>
inline bool bad_coefficient(const F& a) { return !finite_nonneg(real_part(a)); }

template <class F>
inline F num(double c) { return from_f64<F>(c); }

// The width of the correction's differences: twice the cell, or the step's
// diffusion length sqrt(s tau) where that is longer (a NaN ignored),
// compared on value parts. Both are lengths, so the width, and with it the
// step, follows a change of units.
template <class F>
inline F difference_step(const F& tau, const F& dx, const F& s) {
    if constexpr (std::is_same_v<F, double>) {
        return max_ignore_nan(spread_root(s, tau), 2.0 * dx);
    } else {
        const F r = fsqrt(s * tau);
        const F d = num<F>(2.0) * dx;
        return std::isnan(real_part(d)) || real_part(r) >= real_part(d) ? r : d;
    }
}

// The scale a node's differences are widened by: the kernel's, or where it
// has none (NaN) the node's own a.
template <class F>
inline F width_scale_at(double kernel_scale, const F& node_a) {
    return std::isnan(kernel_scale) ? node_a : num<F>(kernel_scale);
}

// spread_root over F: the double steps through it, the dual ones (which
// carry a coefficient's derivative) as they were.
template <class F>
inline F root_of_spread(const F& ka, const F& tau) {
    if constexpr (std::is_same_v<F, double>) return spread_root(ka, tau);
    else return fsqrt(ka * tau);
}

// The coefficient's part of a variable-coefficient node step of kernel k.
template <class F, class K>
Expected<Heat2Feet<F>> heat2_feet(const K& k, std::size_t i, const F& tau) {
    const Grid1D<F>& grid = k.grid;
    const auto& coef = k.coef;
    const F dx = (grid.xmax - grid.xmin) / num<F>(static_cast<double>(grid.n - 1));
    const F x = grid.xmin + dx * num<F>(static_cast<double>(i));
    const F theta = num<F>(0.5) * tau;
    // Drift foot of the divergence form.
    const F xp = x + theta * coef.eval_a_prime(x);
    const F a = coef.eval_a(xp);
    if (bad_coefficient(a)) return domain_error(kEllipticityMessage, real_part(xp));
    const F r1 = root_of_spread(a, tau);
    const F h1 = r1 + r1;
    const F r3 = root_of_spread(num<F>(3.0) * a, tau);
    const F h3 = r3 + r3;
    const F y[5] = {xp, xp + h1, xp - h1, xp + h3, xp - h3};
    Heat2Feet<F> f;
    for (int m = 0; m < 5; ++m) f.z[m] = y[m] + theta * coef.eval_a_prime(y[m]);
    f.a = coef.eval_a(x);
    f.a1 = coef.eval_a_prime(x);
    f.a2 = coef.eval_a_double_prime(x);
    return f;
}

// The rest of the node step at x (grid spacing dx), with u read through `at`.
template <class F, class Read>
Expected<F> heat2_from_feet(const Heat2Feet<F>& f, const Read& at, const F& x, const F& dx, const F& tau,
                            double width_scale) {
    const F w0 = num<F>(kHeatW0), w1 = num<F>(kHeatW1), w3 = num<F>(kHeatW3);
    F s[5];
    for (int m = 0; m < 5; ++m) {
        auto v = at(f.z[m]);
        if (!v) return v;
        s[m] = *v;
    }
    const F quad = (w0 * s[0] + w1 * (s[1] + s[2])) + w3 * (s[3] + s[4]);
    // Where a' and a'' vanish (a coefficient frozen at the node) so does the
    // correction: it is not formed, for its differences divide by h^3, which
    // leaves the doubles on grids of very small or very large cells.
    if constexpr (std::is_same_v<F, double>) {
        if (f.a1 == 0.0 && f.a2 == 0.0) return quad;
    }

    // Correction from finite differences around the node itself.
    const F h = difference_step(tau, dx, width_scale_at(width_scale, f.a));
    const F two = num<F>(2.0);
    const F q[5] = {x, x + h, x - h, x + two * h, x - two * h};
    F w[5];
    for (int m = 0; m < 5; ++m) {
        auto v = at(q[m]);
        if (!v) return v;
        w[m] = *v;
    }
    const F s1 = (w[1] - w[2]) / two;
    const F s2 = w[1] - two * w[0] + w[2];
    const F s3 = (w[3] - two * w[1] + two * w[2] - w[4]) / two;
    return quad + heat_correction(tau, f.a, f.a1, f.a2, h, s1, s2, s3);
}

// The width scale of kernel k: a double kernel's own, none for the dual ones.
template <class K>
inline double kernel_width_scale(const K& k) {
    if constexpr (requires { k.width_scale; }) return k.width_scale;
    else return std::numeric_limits<double>::quiet_NaN();
}

// The node step over the number type F of kernel k (double, Dual<double>,
// Dual<Dual<double>>) with u read through `at` (anything giving Expected<F>
// of a point); `constant` is the kernel's constant_value(). The double
// instance is the step every 1-D heat2 evolver takes; the dual instances
// carry the derivative seeded in the coefficient through the same
// arithmetic.
template <class F, class K, class Read>
Expected<F> heat2_node(const K& k, const std::optional<F>& constant, const Read& at, std::size_t i, const F& tau,
                       const Grid1D<double>* read_grid = nullptr) {
    const Grid1D<F>& grid = k.grid;
    const F dx = (grid.xmax - grid.xmin) / num<F>(static_cast<double>(grid.n - 1));
    const F x = grid.xmin + dx * num<F>(static_cast<double>(i));
    const F w0 = num<F>(kHeatW0), w1 = num<F>(kHeatW1), w3 = num<F>(kHeatW3);

    if (constant) {
        const F a = *constant;
        if (bad_coefficient(a)) return domain_error(kEllipticityMessage, real_part(x));
        const F r1 = root_of_spread(a, tau);
        F h1 = r1 + r1;
        const F r3 = root_of_spread(num<F>(3.0) * a, tau);
        F h3 = r3 + r3;
        if constexpr (std::is_same_v<F, double>) {
            if (read_grid) {
                h1 = fold_far_offset(*read_grid, h1);
                h3 = fold_far_offset(*read_grid, h3);
            }
        }
        auto u0 = at(x);
        if (!u0) return u0;
        auto up1 = at(x + h1);
        if (!up1) return up1;
        auto um1 = at(x - h1);
        if (!um1) return um1;
        auto up3 = at(x + h3);
        if (!up3) return up3;
        auto um3 = at(x - h3);
        if (!um3) return um3;
        return (w0 * *u0 + w1 * (*up1 + *um1)) + w3 * (*up3 + *um3);
    }

    auto feet = heat2_feet(k, i, tau);
    if (!feet) return fail(feet.error());
    return heat2_from_feet(*feet, at, x, dx, tau, kernel_width_scale(k));
}

}  // namespace

Expected<double> DiffusionChernoff::apply_node(const GridFn<double>& u, std::size_t i, double tau) const {
    const Grid1D<double>& ug = u.grid;
    return heat2_node(*this, coef.constant_value(), [&](double p) { return ug.interp(u.values, p); }, i, tau, &ug);
}

Expected<double> DiffusionChernoff::node_from(const SampleRead& read, std::size_t i, double tau) const {
    return heat2_node(*this, coef.constant_value(), read, i, tau, read.samples->grid());
}

bool DiffusionChernoff::node_form(std::size_t i, double tau, NodeForm& form, bool points_only) const {
    const std::optional<double> constant = coef.constant_value();
    if (constant) {
        return probe_node_form([&](const auto& read) { return heat2_node(*this, constant, read, i, tau, &grid); }, form,
                               points_only);
    }
    // The coefficient's part once; the probes only repeat the arithmetic.
    auto feet = heat2_feet(*this, i, tau);
    if (!feet) return false;
    const double dx = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
    const double x = grid.xmin + dx * static_cast<double>(i);
    return probe_node_form([&](const auto& read) { return heat2_from_feet(*feet, read, x, dx, tau, width_scale); }, form,
                           points_only);
}

template <class F>
Expected<std::vector<F>> diffusion_step_serial(const DiffusionKernel<F>& kernel, std::span<const F> values,
                                               const F& tau) {
    if (!finite_nonneg(real_part(tau))) return domain_error("tau must be finite and >= 0", real_part(tau));
    if (values.size() != kernel.grid.n) {
        return domain_error("values.len() must equal grid.n", static_cast<double>(values.size()));
    }
    const Grid1D<F>& grid = kernel.grid;
    const std::optional<F> constant = kernel.coef.constant_value();
    const auto at = [&](const F& p) { return grid.interp(values, p); };
    std::vector<F> out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const Grid1D<double>* read_grid = nullptr;
        if constexpr (std::is_same_v<F, double>) read_grid = &grid;
        Expected<F> v = heat2_node(kernel, constant, at, i, tau, read_grid);
        if (!v) return fail(v.error());
        out[i] = *v;
    }
    return out;
}

template Expected<std::vector<double>> diffusion_step_serial<double>(const DiffusionChernoff&,
                                                                     std::span<const double>, const double&);
template Expected<std::vector<Dual1>> diffusion_step_serial<Dual1>(const DualDiffusionChernoff<Dual1>&,
                                                                   std::span<const Dual1>, const Dual1&);
template Expected<std::vector<Dual2>> diffusion_step_serial<Dual2>(const DualDiffusionChernoff<Dual2>&,
                                                                   std::span<const Dual2>, const Dual2&);

Expected<GridFn<double>> DiffusionChernoff::apply_serial(const GridFn<double>& state, double tau) const {
    auto v = diffusion_step_serial<double>(*this, state.values, tau);
    if (!v) return fail(v.error());
    return GridFn<double>{state.grid, std::move(*v)};
}

Expected<std::vector<double>> apply_tangent(const DualDiffusionChernoff<Dual1>& kernel,
                                            std::span<const double> values, double tau) {
    std::vector<Dual1> in(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) in[i] = Dual1(values[i]);
    auto out = diffusion_step_serial<Dual1>(kernel, in, Dual1(tau));
    if (!out) return fail(out.error());
    std::vector<double> d(out->size());
    for (std::size_t i = 0; i < d.size(); ++i) d[i] = (*out)[i].d;
    return d;
}

Status DiffusionChernoff::apply_into(const GridFn<double>& in, GridFn<double>& out, ScratchPool<double>&,
                                     double tau) const {
    if (!finite_nonneg(tau)) return domain_error("tau must be finite and >= 0", tau);
    const std::size_t n = in.values.size();
    out.values.resize(n, 0.0);
    Heat2Steps steps(*this, in.grid, tau, chunk_count(n), 1);
    return run_node_steps(n, 1, [&](std::size_t, std::size_t begin, std::size_t end, std::size_t share) {
        return steps.step(in, out, begin, end, share);
    });
}

Heat2Steps DiffusionChernoff::node_steps(const Grid1D<double>& g, double tau, std::size_t shares,
                                         std::size_t steps) const {
    return Heat2Steps(*this, g, tau, shares, steps);
}

std::vector<double> quadrature_offsets(double c, double tau, std::size_t count, const Grid1D<double>& grid) {
    std::vector<double> d{0.0};
    for (std::size_t k = 1; d.size() < count; k += 2) {
        // sqrt(k c tau) with k c formed first (for k = 1: c tau).
        const double r = k == 1 ? spread_root(c, tau) : spread_root(static_cast<double>(k) * c, tau);
        const double far = fold_far_offset(grid, r + r);
        d.push_back(far);
        d.push_back(-far);
    }
    return d;
}

bool ReadPlan::make(const Grid1D<double>& kg, const Grid1D<double>& grid, std::span<const double> d,
                    std::size_t begin, std::size_t end) {
    begin_ = begin;
    end_ = begin;  // nothing planned until the plan is complete
    reads_ = d.size();
    if (reads_ == 0 || reads_ > kMaxReads || begin >= end) return false;
    const double kdx = (kg.xmax - kg.xmin) / static_cast<double>(kg.n - 1);
    const std::size_t count = end - begin;
    ids_.resize(reads_ * count);
    patterns_.clear();
    // Pattern numbers by (cell offset, bits of t): open addressing over
    // twice as many slots as patterns may be kept, or as there are reads
    // (a short line needs no more, and clearing a full table would cost more
    // than planning it).
    struct Slot {
        std::int64_t offset;
        std::uint64_t t;
        std::uint16_t id;  // kEmpty when free
    };
    constexpr std::uint16_t kEmpty = 0xFFFF;
    constexpr std::size_t kSlots = 2 * kMaxPatterns;
    static_assert(kMaxPatterns < kEmpty && (kSlots & (kSlots - 1)) == 0);
    std::size_t slot_count = 64;
    while (slot_count < kSlots && slot_count < 2 * reads_ * count) slot_count *= 2;
    std::vector<Slot> slots(slot_count, Slot{0, 0, kEmpty});
    auto pattern_of = [&](std::int64_t offset, double t) -> std::size_t {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(t);
        std::size_t k =
            static_cast<std::size_t>(((bits ^ static_cast<std::uint64_t>(offset)) * 0x9E3779B97F4A7C15ull) >> 40);
        for (;; ++k) {
            Slot& slot = slots[k & (slot_count - 1)];
            if (slot.id == kEmpty) {
                if (patterns_.size() == kMaxPatterns) return SIZE_MAX;
                slot = {offset, bits, static_cast<std::uint16_t>(patterns_.size())};
                patterns_.push_back({offset, hermite7_weights(t)});
                return slot.id;
            }
            if (slot.offset == offset && slot.t == bits) return slot.id;
        }
    };
    for (std::size_t j = 0; j < count; ++j) {
        const std::size_t i = begin + j;
        const double x = kg.xmin + kdx * static_cast<double>(i);
        for (std::size_t m = 0; m < reads_; ++m) {
            std::int64_t cell;
            double t;
            if (!SepticSamples::locate(grid, x + d[m], cell, t)) return false;
            const std::size_t id = pattern_of(cell - static_cast<std::int64_t>(i), t);
            if (id == SIZE_MAX) return false;
            ids_[reads_ * j + m] = static_cast<std::uint16_t>(id);
        }
    }
    // The samples each block reads; reads spread far beyond their nodes
    // would cost more samples than they save.
    // A block's samples run from its first node's lowest read to its last
    // node's highest, so any run of its nodes finds the cells it reads.
    block_cells_.clear();
    lowest_ = INT64_MAX;
    highest_ = INT64_MIN;
    for (std::size_t b = 0; b < count; b += kBlock) {
        const std::size_t e = std::min(count, b + kBlock);
        std::int64_t lo = INT64_MAX, hi = INT64_MIN;
        for (std::size_t j = b; j < e; ++j) {
            for (std::size_t m = 0; m < reads_; ++m) {
                const std::int64_t offset = patterns_[ids_[reads_ * j + m]].offset;
                lo = std::min(lo, offset);
                hi = std::max(hi, offset + 1);
            }
        }
        if (static_cast<std::int64_t>(e - b) + hi - lo > static_cast<std::int64_t>(3 * kBlock)) return false;
        block_cells_.emplace_back(lo, hi + 1);
        lowest_ = std::min(lowest_, lo);
        highest_ = std::max(highest_, hi);
    }
    end_ = end;
    return true;
}

Heat2Steps::Heat2Steps(const DiffusionChernoff& kernel, const Grid1D<double>& grid, double tau, std::size_t shares,
                       std::size_t steps)
    : kernel_(&kernel),
      grid_(grid),
      tau_(tau),
      constant_(kernel.coef.constant_value()),
      plan_(steps >= 2 && constant_ && finite_nonneg(*constant_)),
      feet_(steps >= 2 && !constant_ && kernel.coef.fixed()),
      shares_(std::max<std::size_t>(shares, 1)),
      rounds_(grid, constant_, tau, 5, plan_, shares) {}

namespace {

// The heat2 quadrature sum of the five reads, as the node step adds them.
struct Heat2Sum {
    double operator()(const double* r) const {
        return (kHeatW0 * r[0] + kHeatW1 * (r[1] + r[2])) + kHeatW3 * (r[3] + r[4]);
    }
};

}  // namespace

bool Heat2Steps::round_step(std::span<const double> src, double* dst, std::size_t begin, std::size_t end,
                            std::size_t share) {
    return rounds_.run<5>(kernel_->grid, src, dst, begin, end, share, Heat2Sum{});
}

RoundPlans::RoundPlans(const Grid1D<double>& grid, std::optional<double> constant, double tau, std::size_t reads,
                       bool planned, std::size_t shares)
    : grid_(grid) {
    if (!planned || !constant || grid.interp_kind.tag != InterpTag::SepticHermite) return;
    offsets_ = quadrature_offsets(*constant, tau, reads, grid);
    double far = 0.0;
    for (double d : offsets_) far = max_ignore_nan(far, std::fabs(d));
    // Reads farther out than a block of cells are not planned anyway.
    const double cells = std::ceil(far / grid.dx());
    if (!(cells <= static_cast<double>(ReadPlan::kBlock))) return;
    // A read's cell lies within one cell of its offset over dx (the grid's
    // rounding), the cell's far end one further, and each node sample takes
    // four nodes on either side.
    reach_ = static_cast<std::size_t>(cells) + 6;
    shares_.resize(std::max<std::size_t>(shares, 1));
}

bool RoundPlans::plan(const Grid1D<double>& kernel_grid, ReadPlan& p, std::size_t begin, std::size_t end) const {
    if (!p.make(kernel_grid, grid_, offsets_, begin, end)) return false;
    // Node i's reads take the values of nodes [i + lowest - 4, i + highest + 5].
    const std::int64_t reach = static_cast<std::int64_t>(*reach_);
    return p.lowest_cell() - 4 >= -reach && p.highest_cell() + 5 <= reach;
}

void Heat2Steps::prepare(Share& sh, std::size_t begin, std::size_t end) const {
    sh.prepared = true;
    if (plan_ && sh.plan.make(kernel_->grid, grid_, quadrature_offsets(*constant_, tau_, 5, grid_), begin, end)) {
        sh.planned = true;
        return;
    }
    if (feet_) {
        // A fixed coefficient: its part of every node step is taken once.
        sh.feet.resize(end - begin);
        for (std::size_t i = begin; i < end; ++i) {
            auto f = heat2_feet(*kernel_, i, tau_);
            if (!f) {
                // The step without them reports it, in node order.
                sh.feet.clear();
                break;
            }
            sh.feet[i - begin] = *f;
        }
        // Every read planned too, where the call's plans stay within
        // kMaxNodePlanBytes: the step then only sums samples.
        if (!sh.feet.empty() && grid_.n <= kMaxNodePlanBytes / Heat2NodePlan::kNodeBytes &&
            sh.node_plan.make(kernel_->grid, grid_, sh.feet, tau_, kernel_->width_scale, begin, end)) {
            sh.node_planned = true;
            sh.feet = {};
            return;
        }
    }
    const double dx = grid_.dx();
    // How far the reads reach beyond the nodes: the outer quadrature points
    // (from the bound of a when it varies; the drift is not counted) and the
    // correction's differences.
    const double a = constant_ ? *constant_ : max_ignore_nan(kernel_->a_norm_bound, kernel_->width_scale);
    const double reach = constant_ ? 2.0 * spread_root(3.0 * a, tau_) : heat2_varying_reach(a, tau_, dx);
    sh.margin = margin_cells(reach, dx);
}

bool Heat2NodePlan::make(const Grid1D<double>& kg, const Grid1D<double>& grid, std::span<const Heat2Feet<double>> feet,
                         double tau, double width_scale, std::size_t begin, std::size_t end) {
    begin_ = begin;
    end_ = begin;  // nothing planned until the plan is complete
    // Widths node by node (no scale of the kernel's own) are not planned.
    if (begin >= end || feet.size() != end - begin || std::isnan(width_scale)) return false;
    const double kdx = (kg.xmax - kg.xmin) / static_cast<double>(kg.n - 1);
    tau_ = tau;
    h_ = difference_step(tau, kdx, width_scale);
    const double two_h = 2.0 * h_;
    const double offsets[5] = {0.0, h_, -h_, two_h, -two_h};  // x + (-h) is x - h exactly
    if (!differences_.make(kg, grid, offsets, begin, end)) return false;
    nodes_.resize(end - begin);
    block_cells_.clear();
    for (std::size_t b = begin; b < end; b += ReadPlan::kBlock) {
        const std::size_t e = std::min(end, b + ReadPlan::kBlock);
        std::int64_t lo = INT64_MAX, hi = INT64_MIN;
        for (std::size_t i = b; i < e; ++i) {
            const Heat2Feet<double>& f = feet[i - begin];
            Node& node = nodes_[i - begin];
            for (int m = 0; m < 5; ++m) {
                std::int64_t cell;
                double t;
                if (!SepticSamples::locate(grid, f.z[m], cell, t)) return false;
                const std::int64_t offset = cell - static_cast<std::int64_t>(i);
                if (offset < -static_cast<std::int64_t>(ReadPlan::kBlock) ||
                    offset > static_cast<std::int64_t>(ReadPlan::kBlock)) {
                    return false;  // the drift carries the foot far: read it as the step does
                }
                node.cell[m] = static_cast<std::int32_t>(offset);
                node.w[m] = hermite7_weights(t);
                lo = std::min(lo, cell);
                hi = std::max(hi, cell + 2);
            }
            node.a = f.a;
            node.a1 = f.a1;
            node.a2 = f.a2;
        }
        lo = std::min(lo, static_cast<std::int64_t>(b) + differences_.lowest_cell());
        hi = std::max(hi, static_cast<std::int64_t>(e - 1) + differences_.highest_cell() + 2);
        block_cells_.emplace_back(lo, hi);
    }
    end_ = end;
    return true;
}

void Heat2NodePlan::run(std::span<const double> src, const Grid1D<double>& grid, double* out) {
    // heat2_from_feet's arithmetic, its constant factors formed as it forms them.
    const double two = 2.0;
    const double h = h_;
    for (std::size_t b = begin_, block = 0; b < end_; b += ReadPlan::kBlock, ++block) {
        const std::size_t e = std::min(end_, b + ReadPlan::kBlock);
        samples_.fill(src, grid, block_cells_[block].first, block_cells_[block].second);
        for (std::size_t i = b; i < e; ++i) {
            const Node& f = nodes_[i - begin_];
            const std::int64_t node = static_cast<std::int64_t>(i);
            double s[5];
            for (int m = 0; m < 5; ++m) s[m] = samples_.at_cell(node + f.cell[m], f.w[m]);
            const double quad = (kHeatW0 * s[0] + kHeatW1 * (s[1] + s[2])) + kHeatW3 * (s[3] + s[4]);
            if (f.a1 == 0.0 && f.a2 == 0.0) {
                out[i] = quad;
                continue;
            }
            double w[5];
            for (std::size_t m = 0; m < 5; ++m) {
                std::int64_t cell;
                const Hermite7Weights<double>& wm = differences_.read(i, m, cell);
                w[m] = samples_.at_cell(cell, wm);
            }
            const double s1 = (w[1] - w[2]) / two;
            const double s2 = w[1] - two * w[0] + w[2];
            const double s3 = (w[3] - two * w[1] + two * w[2] - w[4]) / two;
            out[i] = quad + heat_correction(tau_, f.a, f.a1, f.a2, h, s1, s2, s3);
        }
    }
}

Expected<double> RecordedReads::Recorder::operator()(double x) const {
    std::int64_t cell;
    double t;
    if (!SepticSamples::locate(*grid, x, cell, t)) {
        ok = false;
        return 0.0;
    }
    plan->reads_.push_back({hermite7_weights(t), cell - node});
    return 0.0;
}

double unit_heat2_formed_step() { return floor_4_digits(std::numeric_limits<double>::max() / 3.0); }

double heat2_varying_reach(double a_bound, double tau, double dx) {
    return max_ignore_nan(2.0 * spread_root(3.0 * a_bound, tau), 2.0 * difference_step(tau, dx, a_bound));
}

std::int64_t margin_cells(double reach, double dx) {
    double cells = reach / dx + 2.0;
    if (!(cells <= static_cast<double>(ReadPlan::kBlock))) cells = static_cast<double>(ReadPlan::kBlock);
    return static_cast<std::int64_t>(cells) + 1;
}

Status Heat2Steps::step(const GridFn<double>& src, GridFn<double>& dst, std::size_t begin, std::size_t end,
                        std::size_t share) {
    if (begin >= end) return {};
    Share& sh = shares_[share];
    if (!sh.prepared) prepare(sh, begin, end);
    double* out = dst.values.data();
    if (sh.planned) {
        sh.plan.run<5>(src.values, src.grid, out, Heat2Sum{});
        return {};
    }
    if (sh.node_planned) {
        sh.node_plan.run(src.values, src.grid, out);
        return {};
    }
    if (!sh.feet.empty()) {
        const Grid1D<double>& kg = kernel_->grid;
        const double kdx = (kg.xmax - kg.xmin) / static_cast<double>(kg.n - 1);
        return sampled_nodes(sh.samples, src, out, begin, end, sh.margin, [&](std::size_t i, const auto& read) {
            return heat2_from_feet(sh.feet[i - begin], read, kg.xmin + kdx * static_cast<double>(i), kdx, tau_,
                                   kernel_->width_scale);
        });
    }
    return sampled_nodes(sh.samples, src, out, begin, end, sh.margin, [&](std::size_t i, const auto& read) {
        return heat2_node(*kernel_, constant_, read, i, tau_, &src.grid);
    });
}

}  // namespace quorvane
