// The mixed-derivative stencil's reading beyond the grid, the coupling's
// bound checks, and the 2x2 pieces of the coupled diffusion step.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
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

}  // namespace
}  // namespace quorvane
