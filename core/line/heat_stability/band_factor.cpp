#include "core/line/heat_stability/band_factor.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "core/foundation/stop.hpp"
#include "core/line/heat_stability/weighted_space.hpp"

namespace quorvane::heat_judgement {

std::optional<std::size_t> band_half_width(const StepRows& op, const Grid1D<double>& g) {
    const std::size_t n = op.size();
    // How far a row reaches in the factorisation's order: folding at most
    // doubles a distance across the seam.
    const std::uint64_t raw = op.reach();
    if (raw > kWidestBand) return std::nullopt;
    const bool periodic = g.boundary.tag == BoundaryTag::Periodic;
    const std::size_t reach = std::min<std::size_t>(n - 1, periodic ? 2 * raw + 1 : raw);
    const std::size_t p = std::min(2 * reach, n - 1);
    if (p > kWidestBand || 0.5 * static_cast<double>(p + 1) * static_cast<double>(p + 1) > kMostBandWork) {
        return std::nullopt;
    }
    return p;
}

std::optional<StepVerdict> step_verdict(const StepRows& op, const Grid1D<double>& g, bool& stopped,
                                        FunctionRef<bool()> abandon, BandFactor* keep, bool reversed,
                                        std::size_t* failed_at) {
    const std::size_t n = op.size();
    const bool periodic = g.boundary.tag == BoundaryTag::Periodic;
    const std::optional<std::size_t> half = band_half_width(op, g);
    if (!half) return StepVerdict::Unmeasured;
    const std::size_t p = *half;
    // How far a row reaches in the factorisation's order.
    const std::size_t reach = std::min<std::size_t>(n - 1, periodic ? 2 * op.reach() + 1 : op.reach());
    const WeightedSpace sp(g);
    const double slack = (1.0 + kStepSlack) * (1.0 + kStepSlack) - 1.0;
    if (failed_at) *failed_at = n;
    const BandOrder order(n, periodic, reversed);
    const std::vector<std::size_t>& pos = order.pos;
    const std::vector<std::size_t>& node = order.node;

    // The factorisation eliminates blocks of m columns: a dense Cholesky of
    // the block, the band rows below it solved against it, and the trailing
    // band less their products.
    const std::size_t m = std::clamp<std::size_t>(p / 8, 4, 64);
    // Column c of the band sits at slot c % slots: its entries (c + k, c),
    // k in [0, p]; rho and the sums d_c = sum_q D_qc e_q likewise.
    const std::size_t slots = p + m, len = p + 1;
    std::vector<double> band(slots * len), rho(slots), dsum(slots);
    auto column = [&](std::size_t c) { return band.data() + (c % slots) * len; };
    std::size_t opened = 0;
    auto open_to = [&](std::size_t last) {
        for (; opened <= last && opened < n; ++opened) {
            double* col = column(opened);
            std::fill(col, col + len, 0.0);
            col[0] = slack;
            rho[opened % slots] = 0.0;
            dsum[opened % slots] = 0.0;
        }
    };
    // Row q of D over the positions [q - reach, q + reach] (row[reach] at q),
    // brought into the band.
    std::vector<double> row(2 * reach + 1, 0.0);
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    bool wide = false;  // a tap beyond the reach (which reach() rules out)
    auto insert_row = [&](std::size_t q) {
        const std::size_t i = node[q];
        const bool formed = op.row(i, [&](std::int64_t k, double w) {
            const std::size_t at = pos[static_cast<std::size_t>(k)] + reach - q;
            if (at < row.size()) row[at] += w;
            else wide = true;
        });
        if (!formed || wide) return false;
        const std::size_t lo = q >= reach ? q - reach : 0, hi = std::min(n - 1, q + reach);
        double* r = row.data() + reach - q;  // r[c] for c in [lo, hi]
        // The row's nonzero entries come in runs (a read taps ten
        // neighbouring nodes): runs[k] = [first, end) of positions.
        runs.clear();
        for (std::size_t c = lo; c <= hi; ++c) {
            if (c == q) r[c] -= 1.0;
            else if (r[c] != 0.0) r[c] *= sp.sw[i] / sp.sw[node[c]];
            if (!std::isfinite(r[c])) {
                // A coefficient the step cannot form (an overflow, a NaN):
                // the step's own error to report.
                std::fill(row.begin(), row.end(), 0.0);
                return false;
            }
            if (r[c] == 0.0) continue;
            // Runs a few zeros apart are one run: fewer, longer loops.
            if (!runs.empty() && c - runs.back().second <= 3) runs.back().second = c + 1;
            else runs.emplace_back(c, c + 1);
        }
        open_to(hi);
        const double eq = sp.keeps_mean ? sp.e[i] : 0.0;
        for (std::size_t a = 0; a < runs.size(); ++a) {
            for (std::size_t c = runs[a].first; c < runs[a].second; ++c) {
                const double vc = r[c];
                double* col = column(c);  // col[k - c] is the entry (k, c)
                // - D^T D: row q brings D_qk D_qc to the entries (k, c), k >= c.
                for (std::size_t k = c; k < runs[a].second; ++k) col[k - c] -= r[k] * vc;
                for (std::size_t b = a + 1; b < runs.size(); ++b) {
                    double* to = col + (runs[b].first - c);
                    const double* from = r + runs[b].first;
                    for (std::size_t k = 0; k < runs[b].second - runs[b].first; ++k) to[k] -= from[k] * vc;
                }
                // - D - D^T: row q brings D_qc to the entry (q, c).
                if (c == q) col[0] -= 2.0 * vc;
                else if (c < q) col[q - c] -= vc;
                else column(q)[c - q] -= vc;
                dsum[c % slots] += vc * eq;
            }
        }
        std::fill(row.begin(), row.end(), 0.0);
        return true;
    };

    // The block [j, j + mb): its dense factor l11 (row-major), the band rows
    // below it, [j + mb, last], solved against it (lt, by block column then
    // row), and g = l11^-1 (S v + rho) over the block.
    std::vector<double> l11(m * m), lt(m * p), gv(m), vb(m), rho_rows(p);
    double weight = 1.0;  // S, the weight of v v^T left
    if (keep) {
        keep->n = n;
        keep->width = m + p;
        if (static_cast<double>(n) * static_cast<double>(m + p) > BandFactor::kMostEntries) {
            // A factor kept from an earlier, narrower step must not pass
            // for this one's.
            keep->l.clear();
            keep = nullptr;
        }
    }
    if (keep) {
        keep->l.assign(n * (m + p), 0.0);
        keep->last.assign(n, 0);
        keep->block_end.assign(n, 0);
        keep->rank_one = sp.keeps_mean;
        keep->reversed = reversed;
        keep->v.assign(sp.keeps_mean ? n : 0, 0.0);
        keep->g.assign(sp.keeps_mean ? n : 0, 0.0);
    }
    std::size_t inserted = 0;
    for (std::size_t j = 0; j < n; j += m) {
        if (!poll_stop()) {
            stopped = true;
            return std::nullopt;
        }
        if (abandon()) return std::nullopt;
        const std::size_t mb = std::min(m, n - j);
        // Every row that reaches the block, before it is eliminated.
        for (; inserted < n && inserted <= j + mb - 1 + reach; ++inserted) {
            if (!insert_row(inserted)) return wide ? StepVerdict::Unmeasured : StepVerdict::Fails;
        }
        const std::size_t below = j + mb, last = std::min(n - 1, j + mb - 1 + p);
        const std::size_t rows = last >= below ? last - below + 1 : 0;
        open_to(last);
        for (std::size_t c = 0; c < mb; ++c) vb[c] = sp.keeps_mean ? sp.e[node[j + c]] + dsum[(j + c) % slots] : 0.0;
        // l11 = chol(A11), A11 = band + S v v^T + rho v^T + v rho^T.
        for (std::size_t c = 0; c < mb; ++c) {
            const double* col = column(j + c);
            const double rc = rho[(j + c) % slots];
            for (std::size_t a = c; a < mb; ++a) {
                double x = col[a - c];
                if (sp.keeps_mean) x += weight * vb[a] * vb[c] + rho[(j + a) % slots] * vb[c] + vb[a] * rc;
                l11[a * m + c] = x;
            }
        }
        for (std::size_t c = 0; c < mb; ++c) {
            double d = l11[c * m + c];
            for (std::size_t k = 0; k < c; ++k) d -= l11[c * m + k] * l11[c * m + k];
            if (!(d > 0.0)) {
                if (failed_at) *failed_at = j + c;
                return StepVerdict::Grows;
            }
            d = std::sqrt(d);
            l11[c * m + c] = d;
            for (std::size_t a = c + 1; a < mb; ++a) {
                double x = l11[a * m + c];
                for (std::size_t k = 0; k < c; ++k) x -= l11[a * m + k] * l11[c * m + k];
                l11[a * m + c] = x / d;
            }
        }
        // The rows below: t_r = band(r, block) + rho_r v, solved against l11.
        if (sp.keeps_mean) {
            for (std::size_t r = 0; r < rows; ++r) rho_rows[r] = rho[(below + r) % slots];
        }
        for (std::size_t c = 0; c < mb; ++c) {
            const std::size_t jc = j + c;
            const double* col = column(jc);
            double* out = lt.data() + c * p;
            // Rows beyond jc + p lie outside the band of column jc.
            const std::size_t inside = std::min(rows, jc + p + 1 - below);
            for (std::size_t r = 0; r < inside; ++r) out[r] = col[below + r - jc];
            std::fill(out + inside, out + rows, 0.0);
            if (sp.keeps_mean) {
                for (std::size_t r = 0; r < rows; ++r) out[r] += rho_rows[r] * vb[c];
            }
            for (std::size_t k = 0; k < c; ++k) {
                const double f = l11[c * m + k];
                const double* l = lt.data() + k * p;
                for (std::size_t r = 0; r < rows; ++r) out[r] -= l[r] * f;
            }
            const double d = l11[c * m + c];
            for (std::size_t r = 0; r < rows; ++r) out[r] /= d;
        }
        if (sp.keeps_mean) {
            for (std::size_t c = 0; c < mb; ++c) {
                double x = weight * vb[c] + rho[(j + c) % slots];
                for (std::size_t k = 0; k < c; ++k) x -= l11[c * m + k] * gv[k];
                gv[c] = x / l11[c * m + c];
            }
            for (std::size_t c = 0; c < mb; ++c) weight -= gv[c] * gv[c];
        }
        if (keep) {
            for (std::size_t c = 0; c < mb; ++c) {
                const std::size_t jc = j + c;
                double* col = keep->l.data() + jc * keep->width;
                for (std::size_t a = c; a < mb; ++a) col[a - c] = l11[a * m + c];
                for (std::size_t r = 0; r < rows; ++r) col[below + r - jc] = lt[c * p + r];
                keep->last[jc] = last;
                keep->block_end[jc] = j + mb - 1;
                if (sp.keeps_mean) {
                    keep->v[jc] = vb[c];
                    keep->g[jc] = gv[c];
                }
            }
        }
        // The trailing band less the products of the solved rows; rho of
        // those rows likewise.
        for (std::size_t r2 = 0; r2 < rows; ++r2) {
            double* col = column(below + r2);
            const std::size_t count = rows - r2;
            // Eight, then four block columns at a time: the band column is
            // loaded and stored once for them.
            std::size_t c = 0;
            for (; c + 8 <= mb; c += 8) {
                const double* l0 = lt.data() + c * p + r2;
                const double *l1 = l0 + p, *l2 = l1 + p, *l3 = l2 + p, *l4 = l3 + p, *l5 = l4 + p, *l6 = l5 + p,
                             *l7 = l6 + p;
                const double f0 = l0[0], f1 = l1[0], f2 = l2[0], f3 = l3[0], f4 = l4[0], f5 = l5[0], f6 = l6[0],
                             f7 = l7[0];
                for (std::size_t i = 0; i < count; ++i) {
                    col[i] -= ((l0[i] * f0 + l1[i] * f1) + (l2[i] * f2 + l3[i] * f3)) +
                              ((l4[i] * f4 + l5[i] * f5) + (l6[i] * f6 + l7[i] * f7));
                }
            }
            for (; c + 4 <= mb; c += 4) {
                const double* l0 = lt.data() + c * p + r2;
                const double *l1 = l0 + p, *l2 = l1 + p, *l3 = l2 + p;
                const double f0 = l0[0], f1 = l1[0], f2 = l2[0], f3 = l3[0];
                for (std::size_t i = 0; i < count; ++i) col[i] -= (l0[i] * f0 + l1[i] * f1) + (l2[i] * f2 + l3[i] * f3);
            }
            for (; c < mb; ++c) {
                const double* l = lt.data() + c * p + r2;
                const double f = l[0];
                for (std::size_t i = 0; i < count; ++i) col[i] -= l[i] * f;
            }
            if (sp.keeps_mean) {
                double x = 0.0;
                for (std::size_t k = 0; k < mb; ++k) x += lt[k * p + r2] * gv[k];
                rho[(below + r2) % slots] -= x;
            }
        }
    }
    return StepVerdict::Passes;
}

double pencil_margin(const BandFactor& f, const Grid1D<double>& g, int sweeps) {
    const std::size_t n = f.n;
    const bool periodic = g.boundary.tag == BoundaryTag::Periodic;
    const bool zero_ends = g.boundary.tag == BoundaryTag::Zero;
    const BandOrder order(n, periodic, f.reversed);
    const WeightedSpace sp(g);
    auto apply_w = [&](const std::vector<double>& x, std::vector<double>& y) {
        y.assign(n, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t q = order.pos[i];
            double diag = zero_ends && (i == 0 || i + 1 == n) ? 0.25 : 0.0, off = 0.0;
            auto neighbour = [&](std::size_t j) {
                diag += 0.25;
                off += 0.25 * x[order.pos[j]] / sp.sw[j];
            };
            if (i > 0) neighbour(i - 1);
            else if (periodic && n > 2) neighbour(n - 1);
            if (i + 1 < n) neighbour(i + 1);
            else if (periodic && n > 2) neighbour(0);
            y[q] = (diag * x[q] / sp.sw[i] - off) / sp.sw[i];
        }
    };
    std::vector<double> x = fixed_noise(n, 0xD1B54A32D192ED03ull), y;
    for (int sweep = 0; sweep < sweeps; ++sweep) {
        apply_w(x, y);
        f.forward(y);
        f.transposed(y, true);
        double norm = 0.0;
        for (double e : y) norm += e * e;
        norm = std::sqrt(norm);
        if (!(norm > 0.0) || !std::isfinite(norm)) return 0.0;
        for (std::size_t i = 0; i < n; ++i) x[i] = y[i] / norm;
    }
    apply_w(x, y);
    double wx = 0.0;
    for (std::size_t i = 0; i < n; ++i) wx += x[i] * y[i];
    y = x;
    f.transposed(y, false);
    double ax = 0.0;
    for (double e : y) ax += e * e;
    const double m = ax / wx;
    return wx > 0.0 && std::isfinite(m) ? std::max(m, 0.0) : 0.0;
}

std::vector<double> growing_mode(const BandFactor& f, const Grid1D<double>& g, int sweeps) {
    const std::size_t n = f.n;
    const BandOrder order(n, g.boundary.tag == BoundaryTag::Periodic, f.reversed);
    std::vector<double> x = fixed_noise(n, 0xD1B54A32D192ED03ull);
    for (int sweep = 0; sweep < sweeps; ++sweep) {
        f.forward(x);
        f.transposed(x, true);
        double norm = 0.0;
        for (double e : x) norm += e * e;
        norm = std::sqrt(norm);
        if (!(norm > 0.0) || !std::isfinite(norm)) return {};
        for (double& e : x) e /= norm;
    }
    std::vector<double> mode(n);
    for (std::size_t i = 0; i < n; ++i) mode[i] = x[order.pos[i]];
    WeightedSpace(g).project(mode);
    return mode;
}

}  // namespace quorvane::heat_judgement
