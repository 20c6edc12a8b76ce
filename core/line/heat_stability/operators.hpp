// The variable-coefficient heat step and its small-step limit as linear
// operators on the node values: the step written out row by row (for the
// band factorisation), the step kept as its reads (for Lanczos on steps too
// wide for a band), and the generator a D2/dx^2 + a' D1/dx.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/foundation/grid_fn.hpp"
#include "core/line/heat_stability/kernel_view.hpp"
#include "core/line/node_form.hpp"
#include "core/line/state.hpp"

namespace quorvane::heat_judgement {

// The transpose of the degree-7 Hermite samples over node indices [lo, hi):
// what was read of (u_j, D1_j, D2_j, D3_j) for every j is spread over the
// node values it was formed from, through the boundary policy beyond the
// ends (its forms taken once).
class SampleTranspose {
public:
    // False where the policy is not linear.
    bool prepare(const Grid1D<double>& g, std::int64_t lo, std::int64_t hi) {
        g_ = &g;
        lo_ = lo;
        hi_ = hi;
        for (int k = 0; k < 9; ++k) d1_[k] = kSepticD1[k] / kSepticD1Denominator;
        for (int k = 0; k < 7; ++k) {
            d2_[k] = kSepticD2[k] / kSepticD2Denominator;
            d3_[k] = kSepticD3[k] / kSepticD3Denominator;
        }
        // The ghost taps: indices [lo - 4, hi + 4) outside the grid.
        const std::int64_t n = static_cast<std::int64_t>(g.n);
        first_ = lo - 4;
        const std::size_t span = static_cast<std::size_t>(hi + 4 - first_);
        start_.assign(span + 1, 0);
        terms_.clear();
        for (std::size_t k = 0; k < span; ++k) {
            const std::int64_t m = first_ + static_cast<std::int64_t>(k);
            if (m < 0 || m >= n) {
                SampleTerm t[3];
                const int count = sample_form(g.boundary, g.n, m, g.dx(), t);
                if (count < 0) return false;
                terms_.insert(terms_.end(), t, t + count);
            }
            start_[k + 1] = terms_.size();
        }
        return true;
    }

    // What was read of (u_j, D1_j, D2_j, D3_j), s[0..3], spread over the node
    // values it was formed from: sink(node, weight), a node possibly more
    // than once. j lies in [lo, hi).
    template <class Sink>
    void spread(std::int64_t j, const double* s, Sink&& sink) const {
        const std::int64_t n = static_cast<std::int64_t>(g_->n);
        if (j >= 4 && j + 4 < n) {
            // Every tap inside the grid.
            sink(j, s[0]);
            for (int k = 0; k < 9; ++k) sink(j + k - 4, d1_[k] * s[1]);
            for (int k = 0; k < 7; ++k) sink(j + k - 3, d2_[k] * s[2] + d3_[k] * s[3]);
            return;
        }
        auto tap = [&](std::int64_t m, double v) {
            if (m >= 0 && m < n) {
                sink(m, v);
                return;
            }
            const std::size_t k = static_cast<std::size_t>(m - first_);
            for (std::size_t q = start_[k]; q < start_[k + 1]; ++q) sink(terms_[q].index, terms_[q].weight * v);
        };
        tap(j, s[0]);
        for (std::int64_t k = -4; k <= 4; ++k) tap(j + k, d1_[k + 4] * s[1]);
        for (std::int64_t k = -3; k <= 3; ++k) tap(j + k, d2_[k + 3] * s[2] + d3_[k + 3] * s[3]);
    }

    void apply(const std::vector<double>& acc, std::vector<double>& out) const {
        for (std::int64_t j = lo_; j < hi_; ++j) {
            spread(j, acc.data() + 4 * (j - lo_),
                   [&](std::int64_t m, double v) { out[static_cast<std::size_t>(m)] += v; });
        }
    }

private:
    const Grid1D<double>* g_ = nullptr;
    std::int64_t lo_ = 0, hi_ = 0, first_ = 0;
    double d1_[9], d2_[7], d3_[7];
    std::vector<std::size_t> start_;
    std::vector<SampleTerm> terms_;
};

// One step of tau written out row by row: row i of the step's matrix M
// gathers node i's reads (the cell each lies in and its Hermite weights,
// times the read's coefficient in the node step) through the samples'
// stencils. Building it records only where the reads lie (how far a row
// reaches, which ghost taps the ends need); the rows are formed when asked
// for, so a measurement holds no more than its band.
class StepRows {
public:
    // Steps whose reads spread over more grid lengths than this are counted
    // as growing, unmeasured: their reads fold back over the grid dozens of
    // times, and their band would be the whole grid.
    static constexpr double kWidestSpan = 16.0;

    enum class Built { Yes, Fails, TooWide, Stopped };

    // Fails where a node's step fails (its own error to report), a read
    // cannot be located or the grid's policy is not linear; TooWide where
    // the reads spread over more than kWidestSpan grid lengths; Stopped
    // where the caller asked to stop.
    Built build(const KernelView& kernel, const Grid1D<double>& grid, double tau);

    std::size_t size() const { return n_; }
    // How far from its node a row of M reaches at most, before the ends
    // fold or wrap its taps back into the grid (which brings none further).
    std::uint64_t reach() const { return reach_; }

    // Row i of M: sink(node, weight), a node possibly more than once. False
    // where the node's step fails.
    template <class Sink>
    bool row(std::size_t i, Sink&& sink) const {
        NodeForm form;
        if (!form_of_(i, form, false)) return false;
        for (std::size_t m = 0; m < form.count; ++m) {
            std::int64_t c;
            double t;
            if (!SepticSamples::locate(*grid_, form.point[m], c, t)) return false;
            const Hermite7Weights<double> w = hermite7_weights(t);
            const double k = form.coef[m];
            const double left[4] = {k * w.h0, k * w.g0, k * w.k0, k * w.l0};
            const double right[4] = {k * w.h1, k * w.g1, k * w.k1, k * w.l1};
            transpose_.spread(c, left, sink);
            transpose_.spread(c + 1, right, sink);
        }
        return true;
    }

private:
    const Grid1D<double>* grid_ = nullptr;
    SampleTranspose transpose_;
    std::size_t n_ = 0;
    std::uint64_t reach_ = 0;
    std::function<bool(std::size_t, NodeForm&, bool)> form_of_;
};

// A step too wide for the factorisation, as a linear operator: its reads
// are kept, block by block of nodes, while they fit kOperatorBytes (on
// larger grids each product writes them out again), so that the step and
// its transpose each cost about one step.
class StoredStep {
public:
    static constexpr std::size_t kBlockNodes = 4096;
    static constexpr double kOperatorBytes = 268435456.0;

    // False where a node's step fails or the caller asked to stop.
    bool build(const KernelView& kernel, const Grid1D<double>& grid, double tau);

    // out = M v.
    void apply(const std::vector<double>& v, std::vector<double>& out) {
        samples_.fill(v, *grid_, lo_, hi_);
        out.assign(n_, 0.0);
        for_each_block([&](std::size_t begin, const Block& b) {
            for (std::size_t i = 0; i + 1 < b.first.size(); ++i) {
                double s = 0.0;
                for (std::size_t k = b.first[i]; k < b.first[i + 1]; ++k) s += samples_.at_cell(b.cell[k], b.w[k]);
                out[begin + i] = s;
            }
        });
    }

    // out = M^T y.
    void apply_transpose(const std::vector<double>& y, std::vector<double>& out) {
        acc_.assign(4 * static_cast<std::size_t>(hi_ - lo_), 0.0);
        for_each_block([&](std::size_t begin, const Block& b) {
            for (std::size_t i = 0; i + 1 < b.first.size(); ++i) {
                const double yi = y[begin + i];
                if (yi == 0.0) continue;
                for (std::size_t k = b.first[i]; k < b.first[i + 1]; ++k) {
                    const Hermite7Weights<double>& w = b.w[k];
                    double* s = acc_.data() + 4 * (b.cell[k] - lo_);
                    s[0] += yi * w.h0;
                    s[1] += yi * w.g0;
                    s[2] += yi * w.k0;
                    s[3] += yi * w.l0;
                    s[4] += yi * w.h1;
                    s[5] += yi * w.g1;
                    s[6] += yi * w.k1;
                    s[7] += yi * w.l1;
                }
            }
        });
        out.assign(n_, 0.0);
        transpose_.apply(acc_, out);
    }

private:
    struct Block {
        std::vector<std::size_t> first;  // node i's reads: [first[i], first[i + 1])
        std::vector<std::int64_t> cell;
        std::vector<Hermite7Weights<double>> w;
    };

    // fn(first node, block) over the blocks, kept or written out again.
    template <class Fn>
    void for_each_block(const Fn& fn) {
        if (!blocks_.empty()) {
            for (std::size_t k = 0; k < blocks_.size(); ++k) fn(k * kBlockNodes, blocks_[k]);
            return;
        }
        Block b;
        for (std::size_t begin = 0; begin < n_; begin += kBlockNodes) {
            reads_of_(begin, std::min(n_, begin + kBlockNodes), b);  // succeeded in build
            fn(begin, b);
        }
    }

    const Grid1D<double>* grid_ = nullptr;
    SampleTranspose transpose_;
    std::size_t n_ = 0;
    std::function<bool(std::size_t, std::size_t, Block&)> reads_of_;
    std::vector<Block> blocks_;
    std::int64_t lo_ = 0, hi_ = 0;
    SepticSamples samples_;
    std::vector<double> acc_;
};

// The small-step limit of the variable-coefficient steps: every one of them
// averages u over points spread like a Gaussian of variance 2 a tau around
// the drift x + tau a', read through the Hermite interpolant, whose value
// and derivatives at a node are the node value and the undivided
// differences D1, D2 over dx and dx^2. So (step - I)/tau tends to
//   G u = a D2 u / dx^2 + a' D1 u / dx
// node by node (the correction is of order tau^2). For a smooth coefficient
// G is the non-conservative form of (a u')', dissipative in the grid 2-norm
// on data without its mean; where a' changes sign from cell to cell (rough
// samples, a jump, a periodic seam the samples do not continue) the a' term
// no longer cancels against the a term and G grows some data at every step
// size.
class Generator {
public:
    // False where the coefficient is not finite at a node (the step's own
    // error to report).
    bool build(const KernelView& kernel, const Grid1D<double>& grid);

    // The generator of `small` (a periodic grid) on `grid`, the same grid
    // repeated: its samples every period.
    bool repeat(const Generator& small, const Grid1D<double>& grid) {
        grid_ = &grid;
        a_.resize(grid.n);
        a1_.resize(grid.n);
        for (std::size_t i = 0; i < grid.n; ++i) {
            a_[i] = small.a_[i % small.a_.size()];
            a1_[i] = small.a1_[i % small.a1_.size()];
        }
        return finish(grid);
    }

private:
    bool finish(const Grid1D<double>& grid) {
        const std::size_t n = grid.n;
        const double dx = grid.dx();
        // The operator is applied divided by `unit`, the largest |a| or |a'|
        // at the nodes, so that no coefficient's size overflows the Lanczos
        // products; its size is then bounded by the row sums (Gershgorin).
        unit_ = 0.0;
        for (std::size_t i = 0; i < n; ++i) unit_ = std::max({unit_, a_[i], std::fabs(a1_[i])});
        if (!(unit_ > 0.0)) unit_ = 1.0;
        double d1 = 0.0, d2 = 0.0;
        for (double c : kSepticD1) d1 += std::fabs(c);
        for (double c : kSepticD2) d2 += std::fabs(c);
        d1 /= kSepticD1Denominator * dx;
        d2 /= kSepticD2Denominator * dx * dx;
        scale_ = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            scale_ = std::max(scale_, (a_[i] / unit_) * d2 + (std::fabs(a1_[i]) / unit_) * d1);
        }
        return std::isfinite(scale_) && transpose_.prepare(grid, 0, static_cast<std::int64_t>(n));
    }

public:
    // The size of G / unit, and unit.
    double scale() const { return scale_; }
    double unit() const { return unit_; }
    double a(std::size_t i) const { return a_[i]; }
    double a_prime(std::size_t i) const { return a1_[i]; }

    void apply(const std::vector<double>& v, std::vector<double>& out) {
        const std::size_t n = grid_->n;
        const double dx = grid_->dx();
        samples_.fill(v, *grid_, 0, static_cast<std::int64_t>(n) + 1);
        out.resize(n);
        constexpr Hermite7Weights<double> d1{0, 0, 1, 0, 0, 0, 0, 0}, d2{0, 0, 0, 0, 1, 0, 0, 0};
        for (std::size_t i = 0; i < n; ++i) {
            const auto c = static_cast<std::int64_t>(i);
            out[i] = (a_[i] / unit_) * samples_.at_cell(c, d2) / (dx * dx) + (a1_[i] / unit_) * samples_.at_cell(c, d1) / dx;
        }
    }

    // Row i of G / unit: sink(node, weight), a node possibly more than once.
    template <class Sink>
    void row(std::size_t i, Sink&& sink) const {
        const double dx = grid_->dx();
        const double s[4] = {0.0, (a1_[i] / unit_) / dx, (a_[i] / unit_) / (dx * dx), 0.0};
        transpose_.spread(static_cast<std::int64_t>(i), s, sink);
    }

    void apply_transpose(const std::vector<double>& y, std::vector<double>& out) {
        const std::size_t n = grid_->n;
        const double dx = grid_->dx();
        acc_.assign(4 * n, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            acc_[4 * i + 1] = (a1_[i] / unit_) * y[i] / dx;
            acc_[4 * i + 2] = (a_[i] / unit_) * y[i] / (dx * dx);
        }
        out.assign(n, 0.0);
        transpose_.apply(acc_, out);
    }

private:
    const Grid1D<double>* grid_ = nullptr;
    SampleTranspose transpose_;
    std::vector<double> a_, a1_, acc_;
    double scale_ = 0.0, unit_ = 1.0;
    SepticSamples samples_;
};

}  // namespace quorvane::heat_judgement
