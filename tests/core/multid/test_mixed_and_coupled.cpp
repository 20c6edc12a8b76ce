// The mixed-derivative stencil's reading beyond the grid, the coupling's
// bound checks, and the 2x2 pieces of the coupled diffusion step.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "core/multid/matrix_diffusion.hpp"
#include "core/multid/nonseparable_mixed.hpp"

namespace quorvane {
namespace {

Grid1D<double> axis(std::size_t n, BoundaryTag tag) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::of(tag), InterpKind::septic(), 0.0, 1.0, n);
}

GridFn2D numbered(BoundaryTag tag) {
    const Grid2D grid{axis(4, tag), axis(5, tag)};
    std::vector<double> v(20);
    for (std::size_t k = 0; k < 20; ++k) v[k] = static_cast<double>(k + 1);
    return GridFn2D{grid, v};
}

TEST(NodeValue2D, ResolvesIndicesBeyondTheGridByPolicy) {
    // values[j*4 + i] = j*4 + i + 1 on a 4 x 5 grid.
    const GridFn2D r = numbered(BoundaryTag::Reflect);
    EXPECT_EQ(node_value_2d(r, -1, 0), 2.0);           // node 1
    EXPECT_EQ(node_value_2d(r, 4, 5), 4.0 * 3 + 3);    // (nx-2, ny-2) = (2, 3)
    const GridFn2D p = numbered(BoundaryTag::Periodic);
    EXPECT_EQ(node_value_2d(p, -1, -1), 4.0 * 4 + 4);  // (3, 4)
    EXPECT_EQ(node_value_2d(p, 4, 5), 1.0);            // (0, 0)
    const GridFn2D z = numbered(BoundaryTag::Zero);
    EXPECT_EQ(node_value_2d(z, -1, 2), 0.0);
    EXPECT_EQ(node_value_2d(z, 1, 5), 0.0);
    const GridFn2D l = numbered(BoundaryTag::Linear);  // linear data continues exactly
    EXPECT_EQ(node_value_2d(l, -1, -1), -4.0);
    EXPECT_EQ(node_value_2d(l, 4, 5), 25.0);
}

TEST(NonSeparable2D, BoundChecksAndZeroFlag) {
    const Grid2D grid{axis(4, BoundaryTag::Reflect), axis(4, BoundaryTag::Reflect)};
    auto k = DiffusionChernoff::unit(grid.x);
    auto ok = nonseparable2d_new(k, k, constant_coeff_2d(1.0), grid, -0.0);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(ok->coupling.is_zero);
    auto bad = nonseparable2d_new(k, k, constant_coeff_2d(1.0), grid, -1e-300);
    EXPECT_EQ(bad.error(), CoreError::domain("beta_norm_bound", -1e-300));
    // dx dy exactly equal to 4 tau bound is refused; one ulp more step room passes.
    auto op = *nonseparable2d_new(k, k, constant_coeff_2d(1.0), grid, 1.0);
    const double dxdy = (1.0 / 3.0) * (1.0 / 3.0);
    GridFn2D src{grid, std::vector<double>(16, 1.0)}, dst;
    ScratchPool<double> pool;
    const double tau = dxdy / 4.0;  // 4 tau is dx dy exactly
    EXPECT_EQ(nonseparable2d_step(op, src, dst, pool, tau).error().variant(), CoreError::Variant::CflViolated);
    EXPECT_TRUE(nonseparable2d_step(op, src, dst, pool, std::nextafter(tau, 0.0)));
}

// The planned steps against the step the composition defines, on every
// boundary, a constant and a sampled beta, and several worker counts.
TEST(NonSeparable2D, PlannedStepsEqualRepeatedStepsBitForBit) {
    for (BoundaryTag tag : {BoundaryTag::Reflect, BoundaryTag::Zero, BoundaryTag::Periodic, BoundaryTag::Linear}) {
        const Grid2D grid{axis(13, tag), axis(9, tag)};
        auto k = DiffusionChernoff::unit(grid.x);
        std::vector<double> v(13 * 9);
        for (std::size_t i = 0; i < v.size(); ++i) v[i] = 0.6 * std::cos(0.3 * static_cast<double>(i));
        auto samples = std::make_shared<const std::vector<double>>(std::move(v));
        const SharedCoeff2D betas[] = {constant_coeff_2d(-0.7), constant_coeff_2d(0.0),
                                       bilinear_coeff_2d(samples, 0.0, 1.0 / 12.0, 13, 0.0, 1.0 / 8.0, 9)};
        for (const SharedCoeff2D& beta : betas) {
            const double bound = beta == betas[1] ? 0.0 : 0.8;
            const auto op = *nonseparable2d_new(k, DiffusionChernoff::unit(grid.y), beta, grid, bound);
            GridFn2D ref{grid, std::vector<double>(13 * 9)}, next;
            for (std::size_t i = 0; i < ref.values.size(); ++i) ref.values[i] = std::sin(0.37 * static_cast<double>(i));
            const std::vector<double> start = ref.values;
            ScratchPool<double> pool;
            for (int step = 0; step < 3; ++step) {
                ASSERT_TRUE(nonseparable2d_step(op, ref, next, pool, 1e-3));
                std::swap(ref, next);
            }
            for (std::size_t workers : {1, 2, 3}) {
                std::vector<double> u = start;
                ASSERT_TRUE(nonseparable2d_steps(op, u, 3, 1e-3, workers));
                EXPECT_EQ(u, ref.values) << static_cast<int>(tag) << " workers " << workers;
            }
            std::vector<double> u = start;
            if (bound > 0.0) {
                EXPECT_EQ(nonseparable2d_steps(op, u, 3, 1.0, 2).error().variant(), CoreError::Variant::CflViolated);
            }
        }
    }
}

TEST(MatrixDiffusion, SingularBlockAndExactPairExponential) {
    EXPECT_EQ(mat_inv_m2({1.0, 2.0, 2.0, 4.0}).error(), CoreError::domain("mat_inv_m2: singular matrix (det=0)", 0.0));
    const Mat2 inv = *mat_inv_m2({2.0, 1.0, 1.0, 1.0});
    EXPECT_EQ(inv, (Mat2{1.0, -1.0, -1.0, 2.0}));
    // A constant pair under the coupling: (p cosh + q sinh, p sinh + q cosh) of c tau.
    const Grid1D<double> g = axis(6, BoundaryTag::Reflect);
    const auto k = *MatrixDiffusionChernoff::make(g, 1.0, 0.7);
    std::vector<double> in(12), out(12);
    for (std::size_t i = 0; i < 6; ++i) in[2 * i] = 1.0, in[2 * i + 1] = -2.0;
    ASSERT_TRUE(k.apply_into(g, in, out, 0.3));
    const double ch = std::cosh(0.21), sh = std::sinh(0.21);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_NEAR(out[2 * i], ch - 2.0 * sh, 1e-14);
        EXPECT_NEAR(out[2 * i + 1], sh - 2.0 * ch, 1e-14);
    }
    EXPECT_EQ(MatrixDiffusionChernoff::make(axis(4, BoundaryTag::Reflect), 1.0, 0.0).error(),
              CoreError::domain("MatrixDiffusionChernoff requires grid.n >= 5 (5-pt stencil)", 4.0));
}

// A pair kernel whose diffusion, drift and reaction all vary along the axis.
MatrixDiffusionChernoff varying_pair(std::size_t n, double phase) {
    auto field = [](auto f) { return std::make_shared<const std::function<Mat2(double)>>(f); };
    return MatrixDiffusionChernoff{
        axis(n, BoundaryTag::Reflect),
        field([phase](double x) { return Mat2{1.0 + 0.3 * std::sin(3 * x + phase), 0.1 * x, 0.1 * x, 0.8 + x * x}; }),
        field([](double x) { return Mat2{0.5 * x, 0.0, 0.2, -0.3 * x}; }),
        field([](double x) { return Mat2{-0.2, 0.4 + x, 0.4 + x, 0.1}; })};
}

std::vector<double> pair_values(std::size_t n) {
    std::vector<double> v(2 * n);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = std::cos(0.41 * static_cast<double>(i)) + 0.1;
    return v;
}

// The planned steps against the steps that solve line after line: 1, 2 and
// 3 axes, several worker counts, the same bits.
TEST(MatrixDiffusion, PlannedStepsEqualRepeatedStepsBitForBit) {
    const std::vector<MatrixDiffusionChernoff> k = {varying_pair(7, 0.0), varying_pair(9, 1.0), varying_pair(6, 2.0)};
    const double tau = 0.013;
    for (std::size_t d = 1; d <= 3; ++d) {
        std::size_t nodes = 1;
        for (std::size_t a = 0; a < d; ++a) nodes *= k[a].grid.n;
        std::vector<double> ref = pair_values(nodes), next(ref.size());
        for (int step = 0; step < 3; ++step) {
            if (d == 1) ASSERT_TRUE(k[0].apply_into(k[0].grid, ref, next, tau));
            else if (d == 2) ASSERT_TRUE(matrix_diffusion_2d_step(k[0], k[1], ref, next, tau));
            else ASSERT_TRUE(matrix_diffusion_3d_step(k[0], k[1], k[2], ref, next, tau));
            std::swap(ref, next);
        }
        for (std::size_t workers : {1, 2, 5}) {
            std::vector<double> v = pair_values(nodes);
            ASSERT_TRUE(matrix_diffusion_steps(std::span(k).first(d), v, 3, tau, workers));
            EXPECT_EQ(v, ref) << d << " axes, workers " << workers;
        }
    }
    // A singular first pivot (tau = 1, dx = 1/4: I + (tau/2) A / dx^2 has a
    // zero row) fails every line alike; the call fails as the first would.
    auto constant = [](Mat2 m) {
        return std::make_shared<const std::function<Mat2(double)>>([m](double) { return m; });
    };
    const MatrixDiffusionChernoff singular{axis(5, BoundaryTag::Reflect), constant({-0.125, 0.0, 0.0, 1.0}),
                                           constant({0.0, 0.0, 0.0, 0.0}), k[0].c_field};
    std::vector<double> v = pair_values(5), out(10);
    const Status want = singular.apply_into(singular.grid, v, out, 1.0);
    ASSERT_FALSE(want);
    EXPECT_EQ(matrix_diffusion_steps(std::span(&singular, 1), v, 2, 1.0, 2).error(), want.error());
}

}  // namespace
}  // namespace quorvane
