#include "core/bounded/resolvent_jump_nd_banded.hpp"

#include <algorithm>
#include <cmath>

#include "core/foundation/stop.hpp"

namespace quorvane {

namespace {

constexpr double kPivotFloor = 1e-300;

std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

// One axis of a row: the diagonal share and the two neighbour entries
// (zero where the neighbour does not exist).
struct AxisRow {
    double diag;
    double below;  // coupling to index - stride
    double above;  // coupling to index + stride
};

AxisRow axis_row(std::size_t i, std::size_t n, double s) {
    const double s2 = s + s;
    if (i == 0) return {s2, 0.0, -s2};
    if (i + 1 == n) return {s2, -s2, 0.0};
    return {s2, -s, -s};
}

}  // namespace

std::optional<std::uint64_t> band_value_count(std::uint64_t nx, std::uint64_t ny, std::uint64_t nz) {
    auto n = checked_mul(nx, ny);
    if (!n) return std::nullopt;
    std::optional<std::uint64_t> k = nx;
    if (nz != 0) {
        k = n;
        n = checked_mul(*n, nz);
        if (!n) return std::nullopt;
    }
    auto twice = checked_mul(*k, 2);
    if (!twice || *twice == UINT64_MAX) return std::nullopt;
    return checked_mul(*n, *twice + 1);
}

std::vector<Complex> banded_shifted_laplacian_2d(std::size_t nx, std::size_t ny, double hx, double hy, Complex z) {
    const std::size_t k = nx, w = 2 * k + 1, n = nx * ny;
    std::vector<Complex> band(n * w, Complex{});
    const double sx = 1.0 / (hx * hx), sy = 1.0 / (hy * hy);
    for (std::size_t j = 0; j < ny; ++j) {
        const AxisRow ry = axis_row(j, ny, sy);
        for (std::size_t i = 0; i < nx; ++i) {
            const AxisRow rx = axis_row(i, nx, sx);
            const std::size_t r = j * nx + i;
            Complex* row = &band[r * w];
            row[k] = {z.real() + (rx.diag + ry.diag), z.imag()};
            if (i > 0) row[k - 1] = {rx.below, 0.0};
            if (i + 1 < nx) row[k + 1] = {rx.above, 0.0};
            if (j > 0) row[0] = {ry.below, 0.0};
            if (j + 1 < ny) row[2 * k] = {ry.above, 0.0};
        }
    }
    return band;
}

std::vector<Complex> banded_shifted_laplacian_3d(std::size_t nx, std::size_t ny, std::size_t nz, double hx, double hy,
                                                 double hz, Complex z) {
    const std::size_t k = nx * ny, w = 2 * k + 1, n = k * nz;
    std::vector<Complex> band(n * w, Complex{});
    const double sx = 1.0 / (hx * hx), sy = 1.0 / (hy * hy), sz = 1.0 / (hz * hz);
    for (std::size_t l = 0; l < nz; ++l) {
        const AxisRow rz = axis_row(l, nz, sz);
        for (std::size_t j = 0; j < ny; ++j) {
            const AxisRow ry = axis_row(j, ny, sy);
            for (std::size_t i = 0; i < nx; ++i) {
                const AxisRow rx = axis_row(i, nx, sx);
                const std::size_t r = l * k + j * nx + i;
                Complex* row = &band[r * w];
                row[k] = {z.real() + (rz.diag + (ry.diag + rx.diag)), z.imag()};
                if (i > 0) row[k - 1] = {rx.below, 0.0};
                if (i + 1 < nx) row[k + 1] = {rx.above, 0.0};
                if (j > 0) row[k - nx] = {ry.below, 0.0};
                if (j + 1 < ny) row[k + nx] = {ry.above, 0.0};
                if (l > 0) row[0] = {rz.below, 0.0};
                if (l + 1 < nz) row[2 * k] = {rz.above, 0.0};
            }
        }
    }
    return band;
}

Expected<std::vector<Complex>> banded_lu_solve(std::vector<Complex> band, std::size_t k, std::size_t n,
                                               const std::vector<Complex>& rhs) {
    std::vector<Complex> a = std::move(band);
    std::vector<Complex> y = rhs;
    const std::size_t w = 2 * k + 1;
    auto at = [&](std::size_t r, std::size_t c) -> Complex& { return a[r * w + (c + k - r)]; };
    const Complex one{1.0, 0.0};
    // A column costs up to k^2 updates, a solve of a 24^3 box seconds: a stop
    // request is looked at every ~2^20 updates.
    PollBudget budget(std::uint64_t{1} << 20);
    for (std::size_t j = 0; j < n; ++j) {
        if (Status st = budget.spend(std::uint64_t{k} * k + 1); !st) return fail(st.error());
        const Complex p = at(j, j);
        const double mod = std::hypot(p.real(), p.imag());
        if (mod < kPivotFloor) return domain_error("banded_lu_solve: pivot near zero (\u03bb on spectrum)", mod);
        const Complex pinv = cdiv(one, p);
        const std::size_t end = std::min(n, j + k + 1);
        for (std::size_t i = j + 1; i < end; ++i) {
            const Complex l = cmul(at(i, j), pinv);
            if (std::hypot(l.real(), l.imag()) < kPivotFloor) continue;
            at(i, j) = Complex{};
            for (std::size_t c = j + 1; c < end; ++c) at(i, c) -= cmul(l, at(j, c));
            y[i] -= cmul(l, y[j]);
        }
    }
    std::vector<Complex> x(n);
    for (std::size_t r = n; r-- > 0;) {
        Complex s = y[r];
        const std::size_t end = std::min(n, r + k + 1);
        for (std::size_t c = r + 1; c < end; ++c) s -= cmul(at(r, c), x[c]);
        const Complex p = at(r, r);
        const double mod = std::hypot(p.real(), p.imag());
        if (mod < kPivotFloor) return domain_error("banded_lu_solve: back-sub diagonal near zero", mod);
        x[r] = cdiv(s, p);
    }
    return x;
}

}  // namespace quorvane
