#include "core/bounded/resolvent_jump_nd.hpp"

#include "core/bounded/resolvent_jump_nd_banded.hpp"

namespace quorvane {

namespace {

double spacing(const Grid1D<double>& g) { return (g.xmax - g.xmin) / static_cast<double>(g.n - 1); }
double scale(const Grid1D<double>& g) {
    const double h = spacing(g);
    return 1.0 / (h * h);
}

template <class Assemble>
Expected<std::vector<double>> banded_jump(std::uint64_t m_nodes, double t, const std::vector<double>& g,
                                          std::size_t k, Assemble&& assemble) {
    if (const double* bad = first_non_finite<double>(g))
        return domain_error("all values must be finite (no NaN/Inf)", *bad);
    const std::size_t n = g.size();
    std::vector<Complex> rhs(n);
    for (std::size_t i = 0; i < n; ++i) rhs[i] = {g[i], 0.0};
    return contour_sum(m_nodes, t, n, [&](Complex z) { return banded_lu_solve(assemble(z), k, n, rhs); });
}

}  // namespace

Expected<Grid1D<double>> jump_axis(double lo, double hi, std::size_t n) {
    return Grid1D<double>::make(BoundaryPolicy<double>::reflect(), InterpKind::septic(), lo, hi, n);
}

double ResolventJumpChernoff2D::laplacian_scale() const { return scale(x) + scale(y); }

Expected<std::vector<double>> ResolventJumpChernoff2D::jump(double t, const std::vector<double>& g) const {
    if (g.size() != x.n * y.n)
        return domain_error("ResolventJumpChernoff2D::jump: g.len() != grid.len()", static_cast<double>(g.size()));
    return banded_jump(m_nodes, t, g, x.n, [&](Complex zz) {
        return banded_shifted_laplacian_2d(x.n, y.n, spacing(x), spacing(y), zz);
    });
}

Expected<ResolventJumpChernoff3D> ResolventJumpChernoff3D::make(double xmin, double xmax, std::size_t nx, double ymin,
                                                                double ymax, std::size_t ny, double zmin, double zmax,
                                                                std::size_t nz, std::uint64_t m_nodes) {
    auto gx = jump_axis(xmin, xmax, nx);
    if (!gx) return fail(gx.error());
    auto gy = jump_axis(ymin, ymax, ny);
    if (!gy) return fail(gy.error());
    auto gz = jump_axis(zmin, zmax, nz);
    if (!gz) return fail(gz.error());
    if (m_nodes < 6) return domain_error("ResolventJumpChernoff3D: m_nodes must be >= 6", static_cast<double>(m_nodes));
    if (m_nodes > kMaxJumpNodes)
        return domain_error("ResolventJumpChernoff3D: m_nodes must be <= 128 (node weights grow like e^{0.1309 m_nodes})",
                            static_cast<double>(m_nodes));
    return ResolventJumpChernoff3D{*gx, *gy, *gz, m_nodes};
}

double ResolventJumpChernoff3D::laplacian_scale() const { return scale(x) + scale(y) + scale(z); }

Expected<std::vector<double>> ResolventJumpChernoff3D::jump(double t, const std::vector<double>& g) const {
    if (g.size() != x.n * y.n * z.n)
        return domain_error("ResolventJumpChernoff3D::jump: g.len() != grid.len()", static_cast<double>(g.size()));
    return banded_jump(m_nodes, t, g, x.n * y.n, [&](Complex zz) {
        return banded_shifted_laplacian_3d(x.n, y.n, z.n, spacing(x), spacing(y), spacing(z), zz);
    });
}

}  // namespace quorvane
