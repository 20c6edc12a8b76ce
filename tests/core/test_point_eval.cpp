// Bilinear evaluation of 2-D grid functions: corners, cell centres,
// bilinear exactness and constant continuation outside the box.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/point_eval.hpp"

namespace quorvane {
namespace {

GridFn2D make_fn(std::vector<double> v) {
    // x on [0, 3] (nx = 4), y on [-1, 1] (ny = 5): dx = 1, dy = 0.5.
    const Grid2D g{*Grid1D<double>::make({}, {}, 0.0, 3.0, 4), *Grid1D<double>::make({}, {}, -1.0, 1.0, 5)};
    return *GridFn2D::make(g, std::move(v));
}

std::vector<double> scattered() {
    std::vector<double> v(20);
    for (std::size_t k = 0; k < 20; ++k) v[k] = std::sin(1.7 * static_cast<double>(k)) * 10.0;
    return v;
}

TEST(EvalBilinear2D, CornersNodesAndCellCentres) {
    const GridFn2D f = make_fn(scattered());
    const auto& v = f.values;
    EXPECT_EQ(eval_bilinear_2d(f, 0.0, -1.0), v[0]);
    EXPECT_EQ(eval_bilinear_2d(f, 3.0, -1.0), v[3]);
    EXPECT_EQ(eval_bilinear_2d(f, 0.0, 1.0), v[16]);
    EXPECT_EQ(eval_bilinear_2d(f, 3.0, 1.0), v[19]);  // the far corner itself, not its neighbour
    EXPECT_EQ(eval_bilinear_2d(f, 2.0, 0.5), v[3 * 4 + 2]);
    // Centre of cell (1, 2): the mean of its four corners.
    const double mean = (v[9] + v[10] + v[13] + v[14]) / 4.0;
    EXPECT_NEAR(eval_bilinear_2d(f, 1.5, 0.25), mean, 1e-14);  // weights 1/2 exactly; summation order only
}

TEST(EvalBilinear2D, ReproducesBilinearData) {
    auto b = [](double x, double y) { return 2.0 - 0.5 * x + 3.0 * y + 1.25 * x * y; };
    std::vector<double> v(20);
    for (std::size_t j = 0; j < 5; ++j)
        for (std::size_t i = 0; i < 4; ++i) v[j * 4 + i] = b(double(i), -1.0 + 0.5 * double(j));
    const GridFn2D f = make_fn(v);
    for (double x : {0.0, 0.3, 1.71, 2.5, 3.0})
        for (double y : {-1.0, -0.8, 0.1, 0.99}) EXPECT_NEAR(eval_bilinear_2d(f, x, y), b(x, y), 1e-13);
}

TEST(EvalBilinear2D, ConstantContinuationOutsideAndNaN) {
    const GridFn2D f = make_fn(scattered());
    const auto& v = f.values;
    EXPECT_EQ(eval_bilinear_2d(f, -5.0, -7.0), v[0]);
    EXPECT_EQ(eval_bilinear_2d(f, 40.0, 3.0), v[19]);
    EXPECT_EQ(eval_bilinear_2d(f, 9.0, 0.0), v[2 * 4 + 3]);   // right of the box, on row 2
    EXPECT_EQ(eval_bilinear_2d(f, 1.0, -2.0), v[1]);          // below the box, on column 1
    EXPECT_NEAR(eval_bilinear_2d(f, -1.0, 0.25), (v[8] + v[12]) / 2.0, 1e-14);
    EXPECT_TRUE(std::isnan(eval_bilinear_2d(f, std::nan(""), 0.0)));
    EXPECT_TRUE(std::isnan(eval_bilinear_2d(f, 1.0, std::nan(""))));
}

}  // namespace
}  // namespace quorvane
