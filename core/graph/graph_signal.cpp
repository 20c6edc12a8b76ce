#include "core/graph/graph_signal.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/foundation/numeric.hpp"

namespace quorvane {

namespace {

template <class F>
bool tau_ok(F tau) {
    return finite_nonneg(static_cast<double>(tau));
}

template <class F>
void check_dst(std::span<const F> src, std::span<F> dst, const char* who) {
    if (dst.size() != src.size()) internal_fault(std::string(who) + ": destination length mismatch");
}

// dst += c * v
template <class F>
void axpy(std::span<F> dst, F c, std::span<const F> v) {
    for (std::size_t i = 0; i < dst.size(); ++i) dst[i] += c * v[i];
}

}  // namespace

template <class F>
Status GraphHeatChernoff<F>::apply_into(std::span<const F> src, std::span<F> dst, ScratchPool<F>& pool, F tau) const {
    if (!tau_ok(tau)) return domain_error("GraphHeatChernoff: tau must be finite and >= 0", static_cast<double>(tau));
    const std::size_t n = src.size();
    std::vector<F> s1 = pool.take(n);
    laplacian->spmv(src, s1);
    check_dst(src, dst, "GraphHeatChernoff");
    std::copy(src.begin(), src.end(), dst.begin());
    axpy<F>(dst, -tau, s1);
    if (second_order) {
        std::vector<F> s2 = pool.take(n);
        laplacian->spmv(s1, s2);
        axpy<F>(dst, tau * (tau * F(0.5)), s2);
        pool.give_back(std::move(s2));
    }
    pool.give_back(std::move(s1));
    return {};
}

template struct GraphHeatChernoff<double>;
template struct GraphHeatChernoff<float>;

namespace {

// dst = (I - tau L (I - tau L/2 (... (I - tau L/K)))) src, the same
// polynomial in nested form: no power of tau is formed, so a step whose
// coefficient tau^K/K! overflows (L zero, or so small that no stability
// limit bounds tau) gives src where L src vanishes instead of inf * 0.
Status nested_taylor_step(const Laplacian<double>& lap, std::span<const double> src, std::span<double> dst,
                          ScratchPool<double>& pool, std::size_t degree, double tau, const char* who) {
    std::vector<double> a = pool.take(src.size());
    check_dst(src, dst, who);
    std::copy(src.begin(), src.end(), dst.begin());
    for (std::size_t k = degree; k >= 1; --k) {
        lap.spmv(dst, a);
        const double c = tau / static_cast<double>(k);
        for (std::size_t i = 0; i < dst.size(); ++i) dst[i] = src[i] - c * a[i];
    }
    pool.give_back(std::move(a));
    return {};
}

// The nested form on src scaled by a power of two to max|src| in [1, 2)
// (exact), scaled back: its intermediates stay within a few rho of 1, so
// only a result beyond the double range overflows.
Status scaled_nested_taylor_step(const Laplacian<double>& lap, std::span<const double> src, std::span<double> dst,
                                 ScratchPool<double>& pool, std::size_t degree, double tau, const char* who) {
    const int e = unit_scale_exponent(src);
    std::vector<double> unit = pool.take(src.size());
    std::copy(src.begin(), src.end(), unit.begin());
    scale_by_power_of_two(unit, -e);
    const Status st = nested_taylor_step(lap, unit, dst, pool, degree, tau, who);
    pool.give_back(std::move(unit));
    scale_by_power_of_two(dst, e);
    return st;
}

// dst = sum_{k <= coeffs.size()} coeffs[k-1] L^k src + src, with two
// ping-pong buffers holding L^k src. The power sum is the step's arithmetic;
// a step whose coefficients overflow (its sum would be inf or NaN
// everywhere) is taken in nested form, and so is one whose powers L^k src,
// of size up to rho^k max|src|, overflowed where the step itself (bounded
// by max|src| for a stable step) is finite: large weights or large data.
Status taylor_step(const Laplacian<double>& lap, std::span<const double> src, std::span<double> dst,
                   ScratchPool<double>& pool, std::span<const double> coeffs, double tau, const char* who) {
    if (!std::all_of(coeffs.begin(), coeffs.end(), [](double c) { return std::isfinite(c); })) {
        return nested_taylor_step(lap, src, dst, pool, coeffs.size(), tau, who);
    }
    const std::size_t n = src.size();
    std::vector<double> a = pool.take(n);
    std::vector<double> b = pool.take(n);
    lap.spmv(src, a);
    check_dst(src, dst, who);
    std::copy(src.begin(), src.end(), dst.begin());
    axpy<double>(dst, coeffs[0], a);
    for (std::size_t k = 1; k < coeffs.size(); ++k) {
        if (k % 2 == 1) {
            lap.spmv(a, b);
            axpy<double>(dst, coeffs[k], b);
        } else {
            lap.spmv(b, a);
            axpy<double>(dst, coeffs[k], a);
        }
    }
    pool.give_back(std::move(b));
    pool.give_back(std::move(a));
    if (!all_finite(dst) && all_finite(src)) {
        return scaled_nested_taylor_step(lap, src, dst, pool, coeffs.size(), tau, who);
    }
    return {};
}

}  // namespace

Status GraphHeat4thChernoff::apply_into(std::span<const double> src, std::span<double> dst,
                                        ScratchPool<double>& pool, double tau) const {
    if (!tau_ok(tau)) return domain_error("GraphHeat4thChernoff: tau must be finite and >= 0", tau);
    const double tau2 = tau * tau;
    const double c[4] = {-tau, tau2 * 0.5, -(tau2 * tau / 6.0), tau2 * tau2 / 24.0};
    return taylor_step(*laplacian, src, dst, pool, c, tau, "GraphHeat4thChernoff");
}

Status GraphHeat6thChernoff::apply_into(std::span<const double> src, std::span<double> dst,
                                        ScratchPool<double>& pool, double tau) const {
    if (!tau_ok(tau)) return domain_error("GraphHeat6thChernoff: tau must be finite and >= 0", tau);
    const double tau2 = tau * tau;
    const double tau3 = tau * tau2;
    const double tau4 = tau2 * tau2;
    const double c[6] = {-tau, tau2 * 0.5, -(tau3 / 6.0), tau4 / 24.0, -(tau * tau4 / 120.0), tau3 * tau3 / 720.0};
    return taylor_step(*laplacian, src, dst, pool, c, tau, "GraphHeat6thChernoff");
}

std::optional<StepCounts> stable_step_counts(double t, std::uint64_t n_steps, double rho, double limit,
                                             std::uint64_t range_max) {
    auto stable = [&](double tau) { return !(tau * rho > limit); };
    if (stable(t / static_cast<double>(n_steps))) return std::nullopt;
    return admitted_counts(t, range_max, stable);
}

}  // namespace quorvane
