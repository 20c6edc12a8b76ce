// The 2-D and 3-D Strang steps: threaded sweeps against the sequential
// composition, leg order, and the checks of the axis lift.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

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
