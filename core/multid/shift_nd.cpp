#include "core/multid/shift_nd.hpp"

#include <cmath>
#include <numbers>

#include "core/foundation/numeric.hpp"
#include "core/multid/sizes.hpp"

namespace quorvane {

template <std::size_t D>
Point<D> AnisotropicShiftChernoffND<D>::node(std::size_t k) const {
    Point<D> p{};
    for (std::size_t d = 0; d < D; ++d) {
        const Grid1D<double>& ax = grid.axes[d];
        const std::size_t i = k % ax.n;
        k /= ax.n;
        p[d] = ax.xmin + ax.dx() * static_cast<double>(i);
    }
    return p;
}

template <std::size_t D>
Expected<AnisotropicShiftChernoffND<D>> AnisotropicShiftChernoffND<D>::make(const GridND<D>& grid,
                                                                           const TensorField<D>& a, VectorField<D> b,
                                                                           ScalarField<D> c) {
    std::size_t min_len = 1;
    for (std::size_t d = 0; d < D; ++d) min_len *= 5;
    const std::size_t len = grid.len();
    if (len < min_len) {
        return domain_error("AnisotropicShiftChernoffND: grid.len() must be >= 5^D", static_cast<double>(len));
    }
    AnisotropicShiftChernoffND op{grid, {}, std::move(b), std::move(c)};
    op.factors.resize(len);
    std::array<double, D * D> m{};
    for (std::size_t k = 0; k < len; ++k) {
        (*a)(op.node(k), m);
        // Column-by-column Cholesky on the lower triangle; a NaN pivot passes
        // the test and propagates.
        std::array<double, D * D> l{};
        for (std::size_t j = 0; j < D; ++j) {
            double pivot = m[j * D + j];
            for (std::size_t q = 0; q < j; ++q) pivot -= l[q * D + j] * l[q * D + j];
            if (pivot <= 0.0) {
                return domain_error("AnisotropicShiftChernoffND: diffusion tensor not SPD at grid point", pivot);
            }
            const double ljj = std::sqrt(pivot);
            l[j * D + j] = ljj;
            for (std::size_t i = j + 1; i < D; ++i) {
                double s = m[j * D + i];
                for (std::size_t q = 0; q < j; ++q) s -= l[q * D + i] * l[q * D + j];
                l[j * D + i] = s / ljj;
            }
        }
        op.factors[k] = l;
    }
    return op;
}

template <std::size_t D>
Status AnisotropicShiftChernoffND<D>::apply_into(const GridFnND<D>& u, std::span<double> out, double tau) const {
    if (!finite_nonneg(tau)) {
        return domain_error("AnisotropicShiftChernoffND::apply_into: tau must be finite >= 0", tau);
    }
    const std::size_t len = u.values.size();
    if (out.size() < len || factors.size() < len) internal_fault("AnisotropicShiftChernoffND: buffers too short");
    const double sigma = std::sqrt(tau) + std::sqrt(tau);
    double norm = 1.0 / std::numbers::pi;
    if constexpr (D == 3) norm = 1.0 / (std::sqrt(std::numbers::pi) * std::numbers::pi);
    std::size_t rule = 1;
    for (std::size_t d = 0; d < D; ++d) rule *= 5;
    std::array<double, D> beta{};
    for (std::size_t k = 0; k < len; ++k) {
        const Point<D> p = node(k);
        beta.fill(0.0);
        (*drift)(p, beta);
        const double gamma = (*reaction)(p);
        const double e = std::exp(tau * gamma);
        const std::array<double, D * D>& l = factors[k];
        double sum = 0.0;
        for (std::size_t q = 0; q < rule; ++q) {
            std::array<double, D> z{};
            double w = 1.0;
            std::size_t digits = q;
            for (std::size_t d = 0; d < D; ++d) {
                z[d] = kGaussHermiteNodes[digits % 5];
                w = d == 0 ? kGaussHermiteWeights[digits % 5] : w * kGaussHermiteWeights[digits % 5];
                digits /= 5;
            }
            Point<D> shifted{};
            for (std::size_t r = 0; r < D; ++r) {
                double lz = 0.0;
                for (std::size_t c = 0; c <= r; ++c) lz += l[c * D + r] * z[c];
                shifted[r] = sigma * lz + (p[r] + tau * beta[r]);
            }
            Expected<std::array<AxisTaps, D>> taps = build_point_taps(u.grid, shifted);
            if (!taps) return fail(taps.error());
            sum += w * GridND<D>::interp_axis(u, D, *taps, 0);
        }
        out[k] = (e * norm) * sum;
    }
    return {};
}

template struct AnisotropicShiftChernoffND<2>;
template struct AnisotropicShiftChernoffND<3>;

}  // namespace quorvane
