#include "core/tensor_train/tt_chernoff.hpp"

#include <cmath>
#include <cstdint>

#include "core/foundation/stop.hpp"

namespace quorvane {

double tt_axis_spacing(double lo, double hi, std::size_t n) {
    return n >= 2 ? (hi - lo) / static_cast<double>(n - 1) : 1.0;
}

namespace {

// The four cubic Lagrange basis polynomials on the nodes -1, 0, 1, 2 at the
// point a displacement `length` away, each times `scale`, in a fixed order
// of operations. The displacement is first reduced modulo the period n h,
// then in cells modulo n: fmod is exact, so the fraction t is the reduced
// displacement's own and the node k the same modulo n, also where the
// displacement spans more than 2^53 cells (whose count as a double has lost
// the fraction) or so many that the count overflowed. A displacement within
// one period is read as before the reduction, bit for bit.
struct Lagrange4 {
    std::int64_t k = 0;  // the node left of the point
    double w[4] = {0.0, 0.0, 0.0, 0.0};

    Lagrange4(double length, double h, double scale, std::size_t n) {
        const double cells = static_cast<double>(n);
        const double xr = std::fmod(std::fmod(length, cells * h) / h, cells);
        const double fl = std::floor(xr);
        k = std::isnan(fl) ? 0 : static_cast<std::int64_t>(fl);
        const double t = xr - static_cast<double>(k);
        constexpr double sixth = 1.0 / 6.0;
        w[0] = ((-((t - 2.0) * (t * (t - 1.0)))) * sixth) * scale;
        w[1] = (((t - 2.0) * ((t + 1.0) * (t - 1.0))) * 0.5) * scale;
        w[2] = ((-((t - 2.0) * (t * (t + 1.0)))) * 0.5) * scale;
        w[3] = (((t - 1.0) * (t * (t + 1.0))) * sixth) * scale;
    }
};

// k mod n in 0 .. n-1 for any signed k.
std::size_t wrap(std::int64_t k, std::size_t n) {
    const auto nn = static_cast<std::int64_t>(n);
    std::int64_t r = k % nn;
    if (r < 0) r += nn;
    return static_cast<std::size_t>(r);
}

}  // namespace

void TtChernoff::apply_axis(TtCore& core, std::size_t n, double drift, double spread, double h) {
    if ((drift == 0.0 && spread == 0.0) || h <= 0.0) return;
    if (core.n != n) internal_fault("TtChernoff::apply_axis: mode size mismatch");
    const std::size_t total = core_size(core.r_left, n, core.r_right);
    if (total == 0) return;
    const Lagrange4 centre(drift, h, 0.5, n);
    const Lagrange4 plus(spread, h, 0.25, n);
    const Lagrange4 minus(-spread, h, 0.25, n);
    const std::size_t ck = wrap(centre.k, n), pk = wrap(plus.k, n), mk = wrap(minus.k, n);
    const std::size_t rr = core.r_right;
    std::vector<double> out(total, 0.0);
    const std::vector<double>& in = core.data;
    for (std::size_t a = 0; a < core.r_left; ++a) {
        const double* fibre = in.data() + a * n * rr;
        for (std::size_t i = 0; i < n; ++i) {
            // Taps i + k - 1 ... i + k + 2, modulo n.
            std::size_t cpos[4], ppos[4], mpos[4];
            for (std::size_t m = 0; m < 4; ++m) {
                cpos[m] = (i + ck + m + n - 1) % n;
                ppos[m] = (i + pk + m + n - 1) % n;
                mpos[m] = (i + mk + m + n - 1) % n;
            }
            for (std::size_t b = 0; b < rr; ++b) {
                auto U = [&](std::size_t p) { return fibre[p * rr + b]; };
                double acc;
                if (drift == 0.0) {
                    acc = 0.5 * U(i);
                } else {
                    acc = centre.w[0] * U(cpos[0]) + centre.w[1] * U(cpos[1]) + centre.w[2] * U(cpos[2]) +
                          centre.w[3] * U(cpos[3]);
                }
                acc = acc + plus.w[0] * U(ppos[0]) + plus.w[1] * U(ppos[1]) + plus.w[2] * U(ppos[2]) +
                      plus.w[3] * U(ppos[3]);
                acc = acc + minus.w[0] * U(mpos[0]) + minus.w[1] * U(mpos[1]) + minus.w[2] * U(mpos[2]) +
                      minus.w[3] * U(mpos[3]);
                out[(a * n + i) * rr + b] = acc;
            }
        }
    }
    core.data = std::move(out);
}

std::pair<double, double> TtChernoff::axis_shifts(double tau, double a, double b, double period) {
    double drift = 2.0 * (tau * b);
    if (std::isinf(drift) && std::isfinite(tau * b)) drift = 2.0 * std::fmod(tau * b, period);
    double spread = 2.0 * std::sqrt(tau * a);
    if (std::isinf(spread)) spread = 2.0 * (std::sqrt(tau) * std::sqrt(a));
    return {drift, spread};
}

Status TtChernoff::evolve(std::vector<TtCore>& cores, double t_final, std::size_t n_steps) const {
    if (cores.size() != a.size() || b.size() != a.size() || domain.size() != a.size()) {
        internal_fault("TtChernoff::evolve: one coefficient and one domain pair per core expected");
    }
    const double tau = t_final / static_cast<double>(n_steps);
    const double f = reaction_factor(tau);
    for (std::size_t step = 0; step < n_steps; ++step) {
        if (Status st = poll_stop(); !st) return st;
        for (std::size_t j = 0; j < cores.size(); ++j) {
            const double h = tt_axis_spacing(domain[j].first, domain[j].second, cores[j].n);
            const auto [drift, spread] = axis_shifts(tau, a[j], b[j], static_cast<double>(cores[j].n) * h);
            apply_axis(cores[j], cores[j].n, drift, spread, h);
        }
        for (double& v : cores[0].data) v *= f;
        if (Status st = TtState::round(cores, eps_round); !st) return st;
    }
    return {};
}

}  // namespace quorvane
