// The 2-D and 3-D Strang steps: threaded sweeps against the sequential
// composition, leg order, and the checks of the axis lift.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#include "core/multid/axis_coeff.hpp"
#include "core/foundation/stop.hpp"
#include "core/multid/sizes.hpp"
#include "core/multid/strang2d.hpp"
#include "core/multid/strang2d_parallel.hpp"
#include "core/multid/strang3d.hpp"

namespace quorvane {
namespace {

Grid1D<double> axis(double lo, double hi, std::size_t n, BoundaryTag tag = BoundaryTag::Reflect) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::of(tag), InterpKind::septic(), lo, hi, n);
}

std::vector<double> bumpy(std::size_t n) {
    std::vector<double> v(n);
    for (std::size_t k = 0; k < n; ++k) v[k] = std::sin(0.37 * static_cast<double>(k)) + 0.01 * static_cast<double>(k % 7);
    return v;
}

TEST(Strang2DParallel, EqualsSequentialStepBitForBit) {
    // ny = 32 takes the threaded path; Strang2D::step is the sequential one.
    const Grid2D grid{axis(0.0, 1.0, 9), axis(-1.0, 2.0, 32, BoundaryTag::Periodic)};
    const Strang2D s = Strang2D::unit(grid);
    const GridFn2D src{grid, bumpy(9 * 32)};
    GridFn2D seq, par;
    ScratchPool<double> pool;
    ASSERT_TRUE(Strang2D::step(src, seq, s.x_lift, s.y_lift, pool, 1e-3));
    ASSERT_TRUE(strang2d_parallel_step(s, src, par, pool, 1e-3));
    EXPECT_EQ(seq.values, par.values);
}

TEST(Strang3DParallel, EqualsSequentialStepBitForBit) {
    // min(nx*ny, nx*nz, ny*nz, nx) = 32 with nz = 8: the threaded path.
    const Grid3D grid{axis(0.0, 1.0, 32), axis(0.0, 2.0, 4, BoundaryTag::Linear), axis(0.0, 1.0, 8, BoundaryTag::Zero)};
    const Strang3D s = Strang3D::unit(grid);
    const GridFn3D src{grid, bumpy(32 * 4 * 8)};
    GridFn3D seq, par;
    ScratchPool<double> pool;
    ASSERT_TRUE(Strang3D::step(s, src, seq, pool, 2e-3));
    ASSERT_TRUE(strang3d_parallel_step(s, src, par, pool, 2e-3));
    EXPECT_EQ(seq.values, par.values);
}

// The kernels of the three stepping forms: a constant coefficient (a step
// plan), a fixed sampled one (its part of every node taken once) and a
// closure the library cannot look into (every node through the samples).
DiffusionChernoff kernel_of(int form, const Grid1D<double>& g) {
    switch (form) {
        case 0: return DiffusionChernoff{CoeffSource::constant(1.7), g, 1.7};
        case 1: {
            std::vector<double> a(g.n);
            for (std::size_t i = 0; i < g.n; ++i) a[i] = 1.0 + 0.4 * std::sin(0.9 * static_cast<double>(i));
            return build_axis_diff(a, g);
        }
        default:
            return DiffusionChernoff{CoeffSource::shared(make_coeff([](double x) { return 1.0 + 0.3 * x * x; }),
                                                         make_coeff([](double x) { return 0.6 * x; }),
                                                         make_coeff([](double) { return 0.6; })),
                                     g, 1.3};
    }
}

// The planned sweeps against the sequential step, which steps line after
// line through the 1-D driver: same bits for every shape, boundary, kernel
// form and worker count.
TEST(PlannedSweeps, TwoDEqualSequentialStepsBitForBit) {
    const std::pair<std::size_t, std::size_t> shapes[] = {{4, 4}, {9, 32}, {37, 5}, {64, 33}};
    for (BoundaryTag tag : {BoundaryTag::Reflect, BoundaryTag::Zero, BoundaryTag::Periodic, BoundaryTag::Linear}) {
        for (auto [nx, ny] : shapes) {
            const Grid2D grid{axis(0.0, 1.0, nx, tag), axis(-1.0, 2.0, ny, tag)};
            for (int form = 0; form < 3; ++form) {
                const Strang2D s{AxisLift{kernel_of(form, grid.x), Axis::X},
                                 AxisLift{DiffusionChernoff::unit(grid.y), Axis::Y}};
                GridFn2D ref{grid, bumpy(nx * ny)}, next;
                ScratchPool<double> pool;
                for (int k = 0; k < 3; ++k) {
                    ASSERT_TRUE(Strang2D::step(ref, next, s.x_lift, s.y_lift, pool, 2e-3));
                    std::swap(ref, next);
                }
                for (std::size_t workers : {1, 2, 3, 8}) {
                    std::vector<double> v = bumpy(nx * ny);
                    ASSERT_TRUE(strang2d_steps(s, grid, v, 3, 2e-3, workers));
                    EXPECT_EQ(v, ref.values) << nx << "x" << ny << " form " << form << " workers " << workers;
                }
            }
        }
    }
}

TEST(PlannedSweeps, ThreeDEqualSequentialStepsBitForBit) {
    const std::array<std::size_t, 3> shapes[] = {{4, 5, 6}, {32, 4, 8}, {9, 10, 11}};
    for (BoundaryTag tag : {BoundaryTag::Reflect, BoundaryTag::Linear, BoundaryTag::Periodic}) {
        for (auto [nx, ny, nz] : shapes) {
            const Grid3D grid{axis(0.0, 1.0, nx, tag), axis(0.0, 2.0, ny, tag), axis(-1.0, 1.0, nz, tag)};
            const Strang3D s{AxisLift3D{DiffusionChernoff::unit(grid.x), Axis::X},
                             AxisLift3D{kernel_of(1, grid.y), Axis::Y}, AxisLift3D{kernel_of(0, grid.z), Axis::Z}};
            GridFn3D ref{grid, bumpy(nx * ny * nz)}, next;
            ScratchPool<double> pool;
            for (int k = 0; k < 2; ++k) {
                ASSERT_TRUE(Strang3D::step(s, ref, next, pool, 3e-3));
                std::swap(ref, next);
            }
            for (std::size_t workers : {1, 3, 8}) {
                std::vector<double> v = bumpy(nx * ny * nz);
                ASSERT_TRUE(strang3d_steps(s, grid, v, 2, 3e-3, workers));
                EXPECT_EQ(v, ref.values) << nx << "x" << ny << "x" << nz << " workers " << workers;
            }
        }
    }
}

// One kernel per row and per column; rows from 5 on turn the coefficient
// negative ever earlier along x, so each fails at its own node.
Strang2DPencil failing_pencil(const Grid2D& grid, bool fail) {
    Strang2DPencil p{grid, {}, {}};
    for (std::size_t j = 0; j < grid.ny(); ++j) {
        const double edge = fail && j >= 5 ? 1.0 - 0.13 * static_cast<double>(j) : 2.0;
        p.row_kernels.push_back(DiffusionChernoff{
            CoeffSource::shared(make_coeff([edge](double x) { return x < edge ? 1.0 + 0.1 * x : -1.0; }),
                                constant_coeff(0.0), constant_coeff(0.0)),
            grid.x, 1.1});
    }
    for (std::size_t i = 0; i < grid.nx(); ++i) p.col_kernels.push_back(kernel_of(1, grid.y));
    return p;
}

TEST(PlannedSweeps, PencilFormEqualsItsSequentialStepAndReportsTheFirstFailingRow) {
    const Grid2D grid{axis(0.0, 1.0, 9), axis(0.0, 1.0, 12, BoundaryTag::Zero)};
    const Strang2DPencil ok = failing_pencil(grid, false);
    std::vector<double> ref = bumpy(9 * 12), next(ref.size());
    ScratchPool<double> pool;
    for (int k = 0; k < 3; ++k) {
        ASSERT_TRUE(ok.step(ref, next, 4e-3, pool));
        std::swap(ref, next);
    }
    const Strang2DPencil bad = failing_pencil(grid, true);
    const Status want = bad.step(bumpy(9 * 12), next, 4e-3, pool);
    ASSERT_FALSE(want);
    for (std::size_t workers : {1, 2, 4}) {
        std::vector<double> v = bumpy(9 * 12);
        ASSERT_TRUE(pencil2d_steps(ok, v, 3, 4e-3, workers));
        EXPECT_EQ(v, ref) << workers;
        v = bumpy(9 * 12);
        EXPECT_EQ(pencil2d_steps(bad, v, 3, 4e-3, workers).error(), want.error()) << workers;
    }
}

TEST(PlannedSweeps, RefuseABadStepBeforeAnySweep) {
    const Grid2D grid{axis(0.0, 1.0, 4), axis(0.0, 1.0, 4)};
    const Strang2D s = Strang2D::unit(grid);
    for (double tau : {-1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
        std::vector<double> v = bumpy(16);
        const Status st = strang2d_steps(s, grid, v, 2, tau);
        ASSERT_FALSE(st);
        EXPECT_STREQ(st.error().text(), "tau must be finite and >= 0");
        EXPECT_EQ(v, bumpy(16));
    }
}

TEST(Strang2D, LegOrderIsXHalfYFullXHalf) {
    // Kernels with different coefficients do not commute on a reflecting
    // grid, so the swapped composition Y(tau/2) X(tau) Y(tau/2) differs.
    const Grid2D grid{axis(0.0, 1.0, 8), axis(0.0, 1.0, 6)};
    const AxisLift x{DiffusionChernoff{CoeffSource::constant(1.0), grid.x, 1.0}, Axis::X};
    const AxisLift y{DiffusionChernoff{CoeffSource::constant(3.0), grid.y, 3.0}, Axis::Y};
    const GridFn2D src{grid, bumpy(48)};
    ScratchPool<double> pool;
    GridFn2D step, half1, full, half2;
    ASSERT_TRUE(Strang2D::step(src, step, x, y, pool, 0.01));
    ASSERT_TRUE(x.apply_into(src, half1, pool, 0.005));
    ASSERT_TRUE(y.apply_into(half1, full, pool, 0.01));
    ASSERT_TRUE(x.apply_into(full, half2, pool, 0.005));
    EXPECT_EQ(step.values, half2.values);
}

TEST(AxisLift, RefusesBadTauLengthAndAxis) {
    const Grid2D grid{axis(0.0, 1.0, 4), axis(0.0, 1.0, 4)};
    const AxisLift x{DiffusionChernoff::unit(grid.x), Axis::X};
    ScratchPool<double> pool;
    GridFn2D dst;
    for (double tau : {-1e-300, std::nan(""), std::numeric_limits<double>::infinity()}) {
        auto st = x.apply_into(GridFn2D{grid, bumpy(16)}, dst, pool, tau);
        ASSERT_FALSE(st);
        EXPECT_STREQ(st.error().text(), "AxisLift::apply_into: tau must be finite and >= 0");
    }
    EXPECT_TRUE(x.apply_into(GridFn2D{grid, bumpy(16)}, dst, pool, -0.0));
    auto st = x.apply_into(GridFn2D{grid, bumpy(15)}, dst, pool, 0.1);
    EXPECT_EQ(st.error(), CoreError::domain("AxisLift::apply_into: f.values.len() != f.grid.len() (I-T3)", 15.0));
    const AxisLift z{DiffusionChernoff::unit(grid.x), Axis::Z};
    st = z.apply_into(GridFn2D{grid, bumpy(16)}, dst, pool, 0.1);
    EXPECT_EQ(st.error(), CoreError::domain(
                              "AxisLift (2D): Axis::Z is not valid for GridFn2D; use AxisLift3D for 3D lifts", 0.0));
    EXPECT_EQ(dst.values.size(), 16u);
}

// A step of a large grid takes seconds: a pending stop request ends every
// line-by-line sweep before its next line.
TEST(StrangSweeps, PendingStopEndsEverySweepBeforeItsNextLine) {
    std::atomic<bool> stop{true};
    const ScopedStopFlag flag(stop);
    const auto stopped = [](const Status& st) { return !st && st.error().variant() == CoreError::Variant::CallbackFailed; };
    const Grid2D grid{axis(0.0, 1.0, 9), axis(0.0, 1.0, 6)};
    const Strang2D s = Strang2D::unit(grid);
    ScratchPool<double> pool;
    GridFn2D dst2;
    for (const AxisLift& lift : {s.x_lift, s.y_lift}) {
        EXPECT_TRUE(stopped(lift.apply_into(GridFn2D{grid, bumpy(54)}, dst2, pool, 1e-3)));
    }
    // Kernels of their own per row and per column.
    const Strang2DPencil pencil{grid, std::vector<DiffusionChernoff>(6, s.x_lift.kernel),
                                std::vector<DiffusionChernoff>(9, s.y_lift.kernel)};
    std::vector<double> out(54);
    EXPECT_TRUE(stopped(pencil_sweep_2d(pencil, bumpy(54), out, pool, 1e-3)));
    EXPECT_TRUE(stopped(pencil.step(bumpy(54), out, 1e-3, pool)));
    const Grid3D grid3{axis(0.0, 1.0, 5), axis(0.0, 1.0, 4), axis(0.0, 1.0, 4)};
    const Strang3D s3 = Strang3D::unit(grid3);
    for (const AxisLift3D& lift : {s3.x_lift, s3.y_lift, s3.z_lift}) {
        std::vector<double> dst3;
        EXPECT_TRUE(stopped(pencil_sweep_3d(lift, bumpy(80), dst3, grid3, pool, 1e-3)));
    }
}

TEST(Sizes, ProductsNeverWrap) {
    const std::size_t big = std::size_t{1} << 32;
    EXPECT_FALSE(length_matches(0, {big, big}));
    EXPECT_TRUE(length_matches(24, {2, 3, 4}));
    EXPECT_EQ(exact_product_text({big, big}), "18446744073709551616");
    EXPECT_EQ(exact_product_text({big, big, 4000000000ULL}), "73786976294838206464000000000");
    EXPECT_EQ(exact_product_text({}), "1");
}

}  // namespace
}  // namespace quorvane
