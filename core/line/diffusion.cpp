#include "core/line/diffusion.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "core/foundation/numeric.hpp"

namespace quorvane {
namespace {

// a NaN, infinite or carrying a sign bit (except -0.0) is out of class.
inline bool bad_coefficient(double a) { return !finite_nonneg(a); }

// The node step with u read through `at` (anything giving Expected<double>
// of a point); `constant` is the kernel's constant_value().
template <class Read>
Expected<double> heat2_node(const DiffusionChernoff& k, const std::optional<double>& constant, const Read& at,
                            std::size_t i, double tau) {
    const Grid1D<double>& grid = k.grid;
    const CoeffSource& coef = k.coef;
    const double dx = (grid.xmax - grid.xmin) / static_cast<double>(grid.n - 1);
    const double x = grid.xmin + dx * static_cast<double>(i);
    const double theta = 0.5 * tau;

    if (constant) {
        const double a = *constant;
        if (bad_coefficient(a)) return domain_error(kEllipticityMessage, x);
        const double r1 = std::sqrt(a * tau);
        const double h1 = r1 + r1;
        const double r3 = std::sqrt(3.0 * a * tau);
        const double h3 = r3 + r3;
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
        return (kHeatW0 * *u0 + kHeatW1 * (*up1 + *um1)) + kHeatW3 * (*up3 + *um3);
    }

    // Drift foot of the divergence form.
    const double xp = x + theta * coef.eval_a_prime(x);
    const double a = coef.eval_a(xp);
    if (bad_coefficient(a)) return domain_error(kEllipticityMessage, xp);
    const double r1 = std::sqrt(a * tau);
    const double h1 = r1 + r1;
    const double r3 = std::sqrt(3.0 * a * tau);
    const double h3 = r3 + r3;
    const double y[5] = {xp, xp + h1, xp - h1, xp + h3, xp - h3};
    double z[5];
    for (int m = 0; m < 5; ++m) z[m] = y[m] + theta * coef.eval_a_prime(y[m]);
    double s[5];
    for (int m = 0; m < 5; ++m) {
        auto v = at(z[m]);
        if (!v) return v;
        s[m] = *v;
    }
    const double quad = (kHeatW0 * s[0] + kHeatW1 * (s[1] + s[2])) + kHeatW3 * (s[3] + s[4]);

    // Correction from finite differences around the node itself.
    const double h = max_ignore_nan(std::sqrt(tau), 2.0 * dx);
    const double q[5] = {x, x + h, x - h, x + 2.0 * h, x - 2.0 * h};
    double w[5];
    for (int m = 0; m < 5; ++m) {
        auto v = at(q[m]);
        if (!v) return v;
        w[m] = *v;
    }
    const double d1 = (w[1] - w[2]) / (2.0 * h);
    const double d2 = (w[1] - 2.0 * w[0] + w[2]) / (h * h);
    const double d3 = (w[3] - 2.0 * w[1] + 2.0 * w[2] - w[4]) / (2.0 * h * h * h);
    const double A = coef.eval_a(x);
    const double A1 = coef.eval_a_prime(x);
    const double A2 = coef.eval_a_double_prime(x);
    return quad + tau * tau * (A * A1 * d3 + 0.5 * A * A2 * d2 + 0.25 * A1 * A2 * d1);
}

}  // namespace

Expected<double> DiffusionChernoff::apply_node(const GridFn<double>& u, std::size_t i, double tau) const {
    const Grid1D<double>& ug = u.grid;
    return heat2_node(*this, coef.constant_value(), [&](double p) { return ug.interp(u.values, p); }, i, tau);
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

Heat2Steps::Heat2Steps(const DiffusionChernoff& kernel, const Grid1D<double>& grid, double tau, std::size_t shares,
                       std::size_t steps)
    : kernel_(&kernel),
      grid_(grid),
      tau_(tau),
      constant_(kernel.coef.constant_value()),
      plan_(steps >= 2 && constant_ && finite_nonneg(*constant_)),
      shares_(std::max<std::size_t>(shares, 1)) {}

void Heat2Steps::prepare(Share& sh, std::size_t begin, std::size_t end) const {
    sh.prepared = true;
    if (plan_ && make_plan(sh, begin, end)) return;
    const double dx = grid_.dx();
    // How far the reads reach beyond the nodes, in cells: the outer
    // quadrature points (from the bound of a when it varies; the drift is
    // not counted) and the correction's differences. Farther reads, and any
    // beyond a margin as wide as a block, go through interp.
    const double a = constant_ ? *constant_ : kernel_->a_norm_bound;
    double reach = 2.0 * std::sqrt(3.0 * a * tau_);
    if (!constant_) reach = max_ignore_nan(reach, 2.0 * max_ignore_nan(std::sqrt(tau_), 2.0 * dx));
    double cells = reach / dx + 2.0;
    if (!(cells <= static_cast<double>(kBlock))) cells = static_cast<double>(kBlock);
    sh.margin = static_cast<std::int64_t>(cells) + 1;
}

bool Heat2Steps::make_plan(Share& sh, std::size_t begin, std::size_t end) const {
    // The reads of every node, located as the step locates them (node
    // coordinates from the kernel's grid, cells on the input's grid).
    const Grid1D<double>& kg = kernel_->grid;
    const double kdx = (kg.xmax - kg.xmin) / static_cast<double>(kg.n - 1);
    const double r1 = std::sqrt(*constant_ * tau_);
    const double h1 = r1 + r1;
    const double r3 = std::sqrt(3.0 * *constant_ * tau_);
    const double h3 = r3 + r3;
    const std::size_t count = end - begin;
    sh.reads.resize(5 * count);
    sh.patterns.clear();
    // Pattern numbers by (cell offset, bits of t): open addressing over
    // twice as many slots as patterns may be kept.
    struct Slot {
        std::int64_t offset;
        std::uint64_t t;
        std::uint16_t id;  // kEmpty when free
    };
    constexpr std::uint16_t kEmpty = 0xFFFF;
    constexpr std::size_t kSlots = 2 * kMaxPatterns;
    static_assert(kMaxPatterns < kEmpty && (kSlots & (kSlots - 1)) == 0);
    std::vector<Slot> slots(kSlots, Slot{0, 0, kEmpty});
    auto pattern_of = [&](std::int64_t offset, double t) -> std::size_t {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(t);
        std::size_t k = static_cast<std::size_t>(((bits ^ static_cast<std::uint64_t>(offset)) * 0x9E3779B97F4A7C15ull) >> 40);
        for (;; ++k) {
            Slot& slot = slots[k & (kSlots - 1)];
            if (slot.id == kEmpty) {
                if (sh.patterns.size() == kMaxPatterns) return SIZE_MAX;
                slot = {offset, bits, static_cast<std::uint16_t>(sh.patterns.size())};
                sh.patterns.push_back({offset, hermite7_weights(t)});
                return slot.id;
            }
            if (slot.offset == offset && slot.t == bits) return slot.id;
        }
    };
    for (std::size_t j = 0; j < count; ++j) {
        const double x = kg.xmin + kdx * static_cast<double>(begin + j);
        const double p[5] = {x, x + h1, x - h1, x + h3, x - h3};
        for (int m = 0; m < 5; ++m) {
            std::int64_t cell;
            double t;
            if (!SepticSamples::locate(grid_, p[m], cell, t)) return false;
            const std::size_t id = pattern_of(cell - static_cast<std::int64_t>(begin + j), t);
            if (id == SIZE_MAX) return false;
            sh.reads[5 * j + static_cast<std::size_t>(m)] = static_cast<std::uint16_t>(id);
        }
    }
    // The samples each block reads; reads spread far beyond their nodes
    // would cost more samples than they save.
    sh.block_cells.clear();
    for (std::size_t b = 0; b < count; b += kBlock) {
        const std::size_t e = std::min(count, b + kBlock);
        std::int64_t lo = INT64_MAX, hi = INT64_MIN;
        for (std::size_t j = b; j < e; ++j) {
            for (int m = 0; m < 5; ++m) {
                const std::int64_t cell =
                    static_cast<std::int64_t>(begin + j) + sh.patterns[sh.reads[5 * j + static_cast<std::size_t>(m)]].offset;
                lo = std::min(lo, cell);
                hi = std::max(hi, cell + 2);
            }
        }
        if (hi - lo > static_cast<std::int64_t>(3 * kBlock)) return false;
        sh.block_cells.emplace_back(lo, hi);
    }
    sh.planned = true;
    return true;
}

Status Heat2Steps::step(const GridFn<double>& src, GridFn<double>& dst, std::size_t begin, std::size_t end,
                        std::size_t share) {
    if (begin >= end) return {};
    Share& sh = shares_[share];
    if (!sh.prepared) prepare(sh, begin, end);
    double* out = dst.values.data();
    SepticSamples& samples = sh.samples;
    if (sh.planned) {
        const Pattern* patterns = sh.patterns.data();
        for (std::size_t b = begin, block = 0; b < end; b += kBlock, ++block) {
            const std::size_t e = std::min(end, b + kBlock);
            samples.fill(src.values, src.grid, sh.block_cells[block].first, sh.block_cells[block].second);
            const std::uint16_t* id = sh.reads.data() + 5 * (b - begin);
            for (std::size_t i = b; i < e; ++i, id += 5) {
                const std::int64_t node = static_cast<std::int64_t>(i);
                const Pattern& r0 = patterns[id[0]];
                const Pattern& r1 = patterns[id[1]];
                const Pattern& r2 = patterns[id[2]];
                const Pattern& r3 = patterns[id[3]];
                const Pattern& r4 = patterns[id[4]];
                const double u0 = samples.at_cell(node + r0.offset, r0.w);
                const double up1 = samples.at_cell(node + r1.offset, r1.w);
                const double um1 = samples.at_cell(node + r2.offset, r2.w);
                const double up3 = samples.at_cell(node + r3.offset, r3.w);
                const double um3 = samples.at_cell(node + r4.offset, r4.w);
                out[i] = (kHeatW0 * u0 + kHeatW1 * (up1 + um1)) + kHeatW3 * (up3 + um3);
            }
        }
        return {};
    }
    auto at = [&](double p) { return samples.read(p); };
    for (std::size_t b = begin; b < end; b += kBlock) {
        const std::size_t e = std::min(end, b + kBlock);
        samples.fill(src.values, src.grid, static_cast<std::int64_t>(b) - sh.margin,
                     static_cast<std::int64_t>(e) + sh.margin + 1);
        for (std::size_t i = b; i < e; ++i) {
            Expected<double> v = heat2_node(*kernel_, constant_, at, i, tau_);
            if (!v) return fail(v.error());
            out[i] = *v;
        }
    }
    return {};
}

}  // namespace quorvane
