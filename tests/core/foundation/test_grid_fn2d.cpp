// 2-D and 3-D grid functions: validation order and texts, column extraction
// and sheared row sampling.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/foundation/grid_fn2d.hpp"
#include "core/foundation/grid_fn3d.hpp"

namespace quorvane {
namespace {

Grid1D<double> axis(BoundaryTag b, double lo, double hi, std::size_t n, InterpTag k = InterpTag::SepticHermite) {
    return *Grid1D<double>::make(BoundaryPolicy<double>::of(b), InterpKind::of(k), lo, hi, n);
}

std::vector<double> iota_values(std::size_t n) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<double>(i);
    return v;
}

TEST(GridFnMultiD, ValidationLengthBeforeFiniteness) {
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    const Grid2D g2{axis(BoundaryTag::Reflect, 0, 1, 4), axis(BoundaryTag::Reflect, 0, 1, 5)};
    std::vector<double> v = iota_values(21);
    v[3] = nan;
    EXPECT_EQ(GridFn2D::make(g2, v).error(), CoreError::domain("values.len() must equal grid.nx * grid.ny (I-T3)", 21.0));
    v = iota_values(20);
    v[2] = nan, v[1] = inf;  // the first non-finite value is reported
    EXPECT_EQ(GridFn2D::make(g2, v).error(), CoreError::domain("all values must be finite (no NaN/Inf)", inf));
    const Grid3D g3{axis(BoundaryTag::Reflect, 0, 1, 4), axis(BoundaryTag::Reflect, 0, 1, 5),
                    axis(BoundaryTag::Reflect, 0, 1, 6)};
    v = iota_values(119);
    v[0] = nan;
    EXPECT_EQ(GridFn3D::new_generic(g3, v).error(),
              CoreError::domain("GridFn3D::new_generic: values.len() must equal nx*ny*nz", 119.0));
    v = iota_values(120);
    v[7] = -inf, v[9] = nan;
    EXPECT_EQ(GridFn3D::new_generic(g3, v).error(),
              CoreError::domain("GridFn3D::new_generic: all values must be finite (no NaN/Inf)", -inf));
}

TEST(GridFn2DColumn, TakesStridedValuesOnTheYAxis) {
    const GridFn2D f = *GridFn2D::make({axis(BoundaryTag::Reflect, 0, 1, 4), axis(BoundaryTag::Periodic, -2, 3, 5)},
                                       iota_values(20));
    const GridFn<double> c = f.column(1);
    EXPECT_EQ(c.values, (std::vector<double>{1, 5, 9, 13, 17}));
    EXPECT_EQ(c.grid.xmin, -2.0);
    EXPECT_EQ(c.grid.boundary.tag, BoundaryTag::Periodic);
    EXPECT_THROW(f.column(4), InternalFault);
}

TEST(GridFn2DShear, ShiftedRowsMatchTheShiftedFunction) {
    // u(x, y) = (1 + y) * x - y with linear x-continuation: every shifted
    // point, inside or beyond the ends, is reproduced. The x-axis kind is
    // Linear, which 1-D evaluation rejects: rows use the degree-7 rule regardless.
    const Grid2D g{axis(BoundaryTag::Linear, -1.0, 1.0, 11, InterpTag::Linear), axis(BoundaryTag::Reflect, 0.0, 2.0, 5)};
    auto u = [](double x, double y) { return (1.0 + y) * x - y; };
    std::vector<double> v(55);
    for (std::size_t j = 0; j < 5; ++j)
        for (std::size_t i = 0; i < 11; ++i) v[j * 11 + i] = u(g.x.node(i), g.y.node(j));
    const GridFn2D f = *GridFn2D::make(g, v);
    std::vector<double> out(55);
    for (double c : {0.0, 0.8}) {
        ASSERT_TRUE(f.sample_sheared_x(out, 11, 5, c));
        for (std::size_t j = 0; j < 5; ++j)
            for (std::size_t i = 0; i < 11; ++i)  // an exact rule: rounding only
                EXPECT_NEAR(out[j * 11 + i], u(g.x.node(i) - c * g.y.node(j), g.y.node(j)), 1e-13) << i << "," << j;
    }
}

TEST(GridFn2DShear, ErrorsAndFaults) {
    const GridFn2D f = *GridFn2D::make({axis(BoundaryTag::Reflect, 0.0, 1.0, 4), axis(BoundaryTag::Reflect, 0.0, 1.0, 4)},
                                       std::vector<double>(16, 1.0));
    std::vector<double> out(16, 7.0);
    EXPECT_EQ(f.sample_sheared_x(out, 4, 4, std::nan("")).error().display(),
              "domain violation: Grid1D::interp: evaluation point must be finite (value = NaN)");
    EXPECT_TRUE(f.sample_sheared_x(out, 4, 0, 1.0));
    EXPECT_THROW((void)f.sample_sheared_x(std::span<double>(out).first(15), 4, 4, 0.0), InternalFault);
    std::vector<double> big(20);
    EXPECT_THROW((void)f.sample_sheared_x(big, 4, 5, 0.0), InternalFault);  // a fifth row does not exist
}

}  // namespace
}  // namespace quorvane
