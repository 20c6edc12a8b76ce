#include "core/line/heat_stability/operators.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "core/foundation/stop.hpp"

namespace quorvane::heat_judgement {

StepRows::Built StepRows::build(const KernelView& kernel, const Grid1D<double>& grid, double tau) {
    n_ = grid.n;
    form_of_ = [&kernel, tau](std::size_t i, NodeForm& form, bool points_only) {
        return kernel.node_form(i, tau, form, points_only);
    };
    grid_ = &grid;
    std::int64_t lo = 0, hi = static_cast<std::int64_t>(n_) + 1;
    reach_ = 0;
    NodeForm form;
    for (std::size_t i = 0; i < n_; ++i) {
        if (i % 4096 == 0 && !poll_stop()) return Built::Stopped;
        if (!form_of_(i, form, true)) return Built::Fails;
        const auto at = static_cast<std::int64_t>(i);
        for (std::size_t m = 0; m < form.count; ++m) {
            std::int64_t c;
            double t;
            // A read that no cell can be told apart at (beyond 2^53
            // cells, or not finite: a giant step's spread overflowed)
            // lies far beyond the widest span.
            if (!SepticSamples::locate(grid, form.point[m], c, t)) return Built::TooWide;
            lo = std::min(lo, c);
            hi = std::max(hi, c + 2);
            // The samples c and c + 1 tap the nodes c - 4 .. c + 5.
            reach_ = std::max({reach_, static_cast<std::uint64_t>(std::llabs(c - 4 - at)),
                               static_cast<std::uint64_t>(std::llabs(c + 5 - at))});
        }
    }
    if (static_cast<double>(hi - lo) > kWidestSpan * static_cast<double>(n_)) return Built::TooWide;
    return transpose_.prepare(grid, lo, hi) ? Built::Yes : Built::Fails;
}

bool StoredStep::build(const KernelView& kernel, const Grid1D<double>& grid, double tau) {
    grid_ = &grid;
    n_ = grid.n;
    reads_of_ = [&kernel, &grid, tau](std::size_t begin, std::size_t end, Block& b) {
        b.first.assign(1, 0);
        b.cell.clear();
        b.w.clear();
        NodeForm form;
        for (std::size_t i = begin; i < end; ++i) {
            if (!kernel.node_form(i, tau, form, false)) return false;
            for (std::size_t m = 0; m < form.count; ++m) {
                std::int64_t cell;
                double t;
                if (!SepticSamples::locate(grid, form.point[m], cell, t)) return false;
                const Hermite7Weights<double> w = hermite7_weights(t);
                const double c = form.coef[m];
                b.cell.push_back(cell);
                b.w.push_back({c * w.h0, c * w.h1, c * w.g0, c * w.g1, c * w.k0, c * w.k1, c * w.l0, c * w.l1});
            }
            b.first.push_back(b.cell.size());
        }
        return true;
    };
    lo_ = 0;
    hi_ = static_cast<std::int64_t>(n_) + 1;
    blocks_.clear();
    double bytes = 0.0;
    for (std::size_t begin = 0; begin < n_; begin += kBlockNodes) {
        if (!poll_stop()) return false;
        Block b;
        if (!reads_of_(begin, std::min(n_, begin + kBlockNodes), b)) return false;
        for (std::int64_t c : b.cell) {
            lo_ = std::min(lo_, c);
            hi_ = std::max(hi_, c + 2);
        }
        bytes += static_cast<double>(b.cell.size()) * (sizeof(std::int64_t) + sizeof(Hermite7Weights<double>));
        if (bytes <= kOperatorBytes) blocks_.push_back(std::move(b));
    }
    if (bytes > kOperatorBytes) blocks_.clear();
    return transpose_.prepare(grid, lo_, hi_);
}

bool Generator::build(const KernelView& kernel, const Grid1D<double>& grid) {
    grid_ = &grid;
    const std::size_t n = grid.n;
    const double dx = grid.dx();
    a_.resize(n);
    a1_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double x = grid.xmin + dx * static_cast<double>(i);
        a_[i] = kernel.a(x);
        a1_[i] = kernel.a_prime(x);
        if (!std::isfinite(a_[i]) || !std::isfinite(a1_[i]) || a_[i] < 0.0) return false;
    }
    return finish(grid);
}

}  // namespace quorvane::heat_judgement
