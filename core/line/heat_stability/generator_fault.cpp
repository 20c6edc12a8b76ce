#include "core/line/heat_stability/generator_fault.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "core/foundation/stop.hpp"
#include "core/line/heat_stability/lanczos.hpp"
#include "core/line/heat_stability/operators.hpp"
#include "core/line/heat_stability/weighted_space.hpp"

namespace quorvane::heat_judgement {
namespace {

// The generator counts as dissipative while the top of its symmetric part on
// data without the mean stays below this fraction of its size: the
// non-conservative form of a smooth coefficient gives 0 to rounding (1e-16
// of the size), samples rough enough to grow anything give 1e-3 and more.
constexpr double kGeneratorSlack = 1e-9;

// Where a coefficient fault sits: the node of the largest |v_i| (v the
// growing direction in scaled values), and the largest |a'| dx / a within two
// nodes of it (the cell the growth feeds on).
CoefficientFault fault_at(const Generator& gen, const Grid1D<double>& g, const std::vector<double>& v, double rate) {
    const std::size_t n = g.n;
    std::size_t at = 0;
    for (std::size_t i = 1; i < n; ++i)
        if (std::fabs(v[i]) > std::fabs(v[at])) at = i;
    const double dx = g.dx();
    std::size_t worst = at;
    double ratio = 0.0;
    for (std::size_t i = at >= 2 ? at - 2 : 0; i <= std::min(n - 1, at + 2); ++i) {
        const double r = gen.a(i) > 0.0 ? std::fabs(gen.a_prime(i)) * dx / gen.a(i) : kInf;
        if (r > ratio) {
            ratio = r;
            worst = i;
        }
    }
    CoefficientFault f;
    f.kind = CoefficientFault::Kind::NotDissipative;
    f.node = worst;
    f.x = g.xmin + dx * static_cast<double>(worst);
    f.a = gen.a(worst);
    f.a_prime = gen.a_prime(worst);
    f.cell_ratio = gen.a(worst) > 0.0 ? gen.a_prime(worst) * dx / gen.a(worst) : kInf;
    f.rate = rate;
    f.seam = g.boundary.tag == BoundaryTag::Periodic && (worst < 3 || worst + 3 >= n);
    f.a_first = gen.a(0);
    f.a_last = gen.a(n - 1);
    return f;
}

// Whether the generator stays within `limit` on data without its mean,
// exactly up to rounding: whether M = limit I - sym(S G S^-1) (G divided by
// its unit, S the scaled values) is positive definite on data without its
// mean, decided by the Cholesky factorisation of M + gamma e e^T over M's
// band (four nodes each side; a periodic grid folded, as for the steps).
// On e, M gives limit, and it couples e to the rest by c = -g/2, g the
// generator's transpose on e (its part without the mean, since G e = 0), so
// gamma = 4 |g|^2 / limit (and one unit more) exceeds the c^T M_rest^-1 c
// that M + gamma e e^T needs whenever M_rest keeps half its margin: the test
// is then M_rest alone. Lanczos, which bounds the top from below, misses a
// growth that sits at a few nodes of a large grid (a periodic seam on 1001
// nodes: 2.3e-5 of the generator's size, which 48 Lanczos steps from noise
// do not reach). Given positions [lo, hi) (in the factorisation's order)
// the test is M's principal part on them alone, without the mean: whether
// some data there grows. nullopt when the caller asked to stop.
class GeneratorTest {
public:
    GeneratorTest(Generator& gen, const WeightedSpace& sp, const Grid1D<double>& g, double limit)
        : gen_(gen), sp_(sp), limit_(limit), n_(g.n), order_(g.n, g.boundary.tag == BoundaryTag::Periodic) {
        // The rows of G reach four nodes each side (the first differences).
        p_ = std::min<std::size_t>(n_ - 1, g.boundary.tag == BoundaryTag::Periodic ? 9 : 4);
    }

    std::size_t size() const { return n_; }
    std::size_t node(std::size_t q) const { return order_.node[q]; }

    // sym(S G S^-1) on the positions [lo, hi), dense, row by row.
    std::vector<double> block(std::size_t lo, std::size_t hi) const {
        const std::size_t w = hi - lo;
        std::vector<double> b(w * w, 0.0);
        for (std::size_t q = lo; q < hi; ++q) {
            const std::size_t i = order_.node[q];
            gen_.row(i, [&](std::int64_t k, double x) {
                const std::size_t c = order_.pos[static_cast<std::size_t>(k)];
                if (c < lo || c >= hi) return;
                const double y = 0.5 * sp_.sw[i] * x / sp_.sw[order_.node[c]];
                b[(q - lo) * w + (c - lo)] += y;
                b[(c - lo) * w + (q - lo)] += y;
            });
        }
        return b;
    }

    std::optional<bool> within(bool& stopped) { return factorise(0, n_, sp_.keeps_mean, stopped); }
    std::optional<bool> within(std::size_t lo, std::size_t hi, bool& stopped) {
        return factorise(lo, hi, false, stopped);
    }

private:
    std::optional<bool> factorise(std::size_t lo, std::size_t hi, bool mean, bool& stopped) {
        const std::size_t p = p_;
        double gamma = 0.0;
        std::vector<double> v;
        if (mean) {
            // g = S^-1 G^T S e.
            std::vector<double> y(n_), gt;
            for (std::size_t i = 0; i < n_; ++i) y[i] = sp_.sw[i] * sp_.e[i];
            gen_.apply_transpose(y, gt);
            double gg = 0.0;
            for (std::size_t i = 0; i < n_; ++i) gg += (gt[i] / sp_.sw[i]) * (gt[i] / sp_.sw[i]);
            gamma = 4.0 * gg / limit_ + gen_.scale();
            v.assign(n_, 0.0);
            for (std::size_t i = 0; i < n_; ++i) v[order_.pos[i]] = std::sqrt(gamma) * sp_.e[i];
        }
        // Rows of S G S^-1 in the factorisation's order, [q - p, q + p], kept
        // while a column below them needs them.
        const std::size_t width = 2 * p + 1, kept = 2 * p + 2;
        std::vector<double> rows(kept * width, 0.0);
        auto row_of = [&](std::size_t q) { return rows.data() + (q % kept) * width; };
        auto form_row = [&](std::size_t q) {
            double* r = row_of(q);
            std::fill(r, r + width, 0.0);
            const std::size_t i = order_.node[q];
            gen_.row(i, [&](std::int64_t k, double w) {
                const std::size_t c = order_.pos[static_cast<std::size_t>(k)];
                r[c + p - q] += sp_.sw[i] * w / sp_.sw[order_.node[c]];
            });
        };
        // Column c of the band at slot c % (p + 1): its entries (c + k, c).
        const std::size_t len = p + 1;
        std::vector<double> band(len * len), rho(len), t(len);
        auto column = [&](std::size_t c) { return band.data() + (c % len) * len; };
        std::size_t formed = lo, opened = lo;
        double weight = 1.0;
        for (std::size_t j = lo; j < hi; ++j) {
            if (j % 4096 == 0 && !poll_stop()) {
                stopped = true;
                return std::nullopt;
            }
            const std::size_t last = std::min(hi - 1, j + p);
            for (; formed < std::min(hi, last + p + 1); ++formed) form_row(formed);
            for (; opened <= last; ++opened) {
                // M's column: limit on the diagonal, less the symmetric part.
                double* col = column(opened);
                const double* own = row_of(opened);
                for (std::size_t k = 0; k <= p; ++k) {
                    const std::size_t r = opened + k;
                    if (r >= hi) {
                        col[k] = 0.0;
                        continue;
                    }
                    const double sym = 0.5 * (row_of(r)[opened + p - r] + own[r + p - opened]);
                    col[k] = (k == 0 ? limit_ : 0.0) - sym;
                }
                rho[opened % len] = 0.0;
            }
            const double* cj = column(j);
            const double vj = mean ? v[j] : 0.0;
            const double alpha = cj[0] + weight * vj * vj + 2.0 * rho[j % len] * vj;
            if (!(alpha > 0.0)) return false;
            const double s = weight * vj + rho[j % len];
            for (std::size_t i = j + 1; i <= last; ++i) t[i - j] = cj[i - j] + rho[i % len] * vj;
            for (std::size_t k = j + 1; k <= last; ++k) {
                const double f = t[k - j] / alpha;
                double* col = column(k);
                for (std::size_t i = k; i <= last; ++i) col[i - k] -= t[i - j] * f;
            }
            for (std::size_t i = j + 1; i <= last; ++i) rho[i % len] -= t[i - j] * (s / alpha);
            weight -= s * s / alpha;
        }
        return true;
    }

    Generator& gen_;
    const WeightedSpace& sp_;
    double limit_;
    std::size_t n_, p_ = 0;
    const BandOrder order_;
};

// A node where some data grows under the generator: halves of the
// positions tested alone (a principal part that is not positive definite
// holds growing data), down to a few dozen nodes, then the node where the
// growing direction of that part is largest. nullopt when no part on its
// own grows (the growth needs the whole grid) or the caller asked to stop.
std::optional<std::size_t> growth_site(GeneratorTest& test, bool& stopped) {
    std::size_t lo = 0, hi = test.size();
    const std::optional<bool> whole = test.within(lo, hi, stopped);
    if (!whole || *whole) return std::nullopt;
    while (hi - lo > 32) {
        const std::size_t q = (hi - lo) / 4;
        bool narrowed = false;
        for (const auto& [a, b] : {std::pair{lo, lo + 2 * q}, std::pair{hi - 2 * q, hi}, std::pair{lo + q, hi - q}}) {
            const std::optional<bool> part = test.within(a, b, stopped);
            if (!part) return std::nullopt;
            if (!*part) {
                lo = a;
                hi = b;
                narrowed = true;
                break;
            }
        }
        if (!narrowed) break;
    }
    const std::size_t w = hi - lo;
    const std::vector<double> b = test.block(lo, hi);
    auto apply = [&](const std::vector<double>& x, std::vector<double>& y) {
        y.assign(w, 0.0);
        for (std::size_t r = 0; r < w; ++r)
            for (std::size_t c = 0; c < w; ++c) y[r] += b[r * w + c] * x[c];
    };
    const std::optional<Ritz> top = lanczos_top(w, apply, fixed_noise(w, 0x2545F4914F6CDD1Dull), true, stopped, w);
    if (!top || top->vector.size() != w) return test.node((lo + hi) / 2);
    std::size_t at = 0;
    for (std::size_t r = 1; r < w; ++r)
        if (std::fabs(top->vector[r]) > std::fabs(top->vector[at])) at = r;
    return test.node(lo + at);
}

}  // namespace

std::optional<std::optional<CoefficientFault>> generator_fault(const KernelView& kernel, const Grid1D<double>& grid,
                                                               bool& stopped, bool regardless,
                                                               GeneratorSizes* sizes) {
    Generator small;
    if (!small.build(kernel, grid)) return std::nullopt;
    if (sizes) {
        *sizes = GeneratorSizes{};
        for (std::size_t i = 0; i < grid.n; ++i) {
            sizes->a_top = std::max(sizes->a_top, small.a(i));
            sizes->a1_top = std::max(sizes->a1_top, std::fabs(small.a_prime(i)));
        }
        sizes->size = small.scale() * small.unit();
    }
    if (grid.boundary.tag == BoundaryTag::Linear) {
        CoefficientFault f;
        f.kind = CoefficientFault::Kind::LinearEnds;
        f.a_first = small.a(0);
        f.a_last = small.a(grid.n - 1);
        return std::optional<CoefficientFault>(f);
    }
    // a and a' zero at every node: the small-step limit is 0, which grows
    // nothing (the exact flow keeps u). The steps themselves are judged as
    // any others, where they read a between the nodes.
    if (!(small.scale() > 0.0)) return std::optional<CoefficientFault>();
    // A periodic grid of fewer nodes than the derivative estimates read
    // (nine) has them read nodes twice, and a seam the samples do not
    // continue cancels in them (four nodes of a = 0.05 + x^2 on [0, 1]:
    // nothing grows, while the mean moves by 0.46 max|u0| in a step of
    // 3 dx^2). Such a grid is judged as the grid repeated to nine nodes or
    // more, its samples every period, where the seam shows as on any grid.
    Grid1D<double> repeated = grid;
    Generator big;
    const bool repeat = grid.boundary.tag == BoundaryTag::Periodic && grid.n < 9;
    if (repeat) {
        const std::size_t copies = (9 + grid.n - 1) / grid.n;
        repeated.n = grid.n * copies;
        repeated.xmax = grid.xmin + grid.dx() * static_cast<double>(repeated.n - 1);
        if (!big.repeat(small, repeated)) return std::nullopt;
    }
    Generator& gen = repeat ? big : small;
    const Grid1D<double>& g = repeat ? repeated : grid;
    const WeightedSpace sp(g);
    const std::size_t n = g.n;
    std::vector<double> px(n), t(n), u(n), r(n);
    // x -> P sym(S G S^-1) P x.
    auto sym = [&](const std::vector<double>& x, std::vector<double>& y) {
        px = x;
        sp.project(px);
        for (std::size_t i = 0; i < n; ++i) t[i] = px[i] / sp.sw[i];
        gen.apply(t, u);
        for (std::size_t i = 0; i < n; ++i) t[i] = px[i] * sp.sw[i];
        gen.apply_transpose(t, r);
        y.resize(n);
        for (std::size_t i = 0; i < n; ++i) y[i] = 0.5 * (u[i] * sp.sw[i] + r[i] / sp.sw[i]);
        sp.project(y);
    };
    const double limit = kGeneratorSlack * gen.scale();
    GeneratorTest test(gen, sp, g, limit);
    const std::optional<bool> within = test.within(stopped);
    if (!within) return std::nullopt;
    if (*within && !regardless) return std::optional<CoefficientFault>();
    // Where the growth sits and how fast: the growing direction, as far as
    // Lanczos finds it; else the part of the grid that grows on its own.
    auto top = lanczos_top(n, sym, fixed_noise(n, 0x2545F4914F6CDD1Dull), true, stopped, kGeneratorSteps);
    if (stopped) return std::nullopt;
    std::vector<double> where(n, 0.0);
    double rate = std::numeric_limits<double>::quiet_NaN();
    if (top && top->value > limit) {
        for (std::size_t i = 0; i < n; ++i) where[i] = top->vector[i] / sp.sw[i];
        rate = top->value * gen.unit();
    } else {
        const std::optional<std::size_t> site = *within ? std::nullopt : growth_site(test, stopped);
        if (stopped) return std::nullopt;
        if (site) where[*site] = 1.0;
        else if (top) for (std::size_t i = 0; i < n; ++i) where[i] = top->vector[i] / sp.sw[i];
    }
    if (repeat) {
        // Back on the grid itself: every period repeats it.
        std::vector<double> folded(grid.n, 0.0);
        for (std::size_t i = 0; i < n; ++i) folded[i % grid.n] = std::max(folded[i % grid.n], std::fabs(where[i]));
        return std::optional<CoefficientFault>(fault_at(small, grid, folded, rate));
    }
    return std::optional<CoefficientFault>(fault_at(gen, g, where, rate));
}

}  // namespace quorvane::heat_judgement
