// Bilinear evaluation of 2-D grid functions: nodes, bilinear exactness and
// constant continuation outside the box.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/line/point_eval.hpp"

namespace quorvane {
namespace {

GridFn2D make_fn(std::vector<double> v) {
    // x on [0, 3] (nx = 4), y on [-1, 1] (ny = 5): dx = 1, dy = 0.5.
    const Grid2D g{*Grid1D<double>::make({}, {}, 0.0, 3.0, 4), *Grid1D<double>::make({}, {}, -1.0, 1.0, 5)};
    return *GridFn2D::make(g, std::move(v));
}

TEST(EvalBilinear2D, NodesAndBilinearDataExactConstantContinuationOutside) {
    auto b = [](double x, double y) { return 2.0 - 0.5 * x + 3.0 * y + 1.25 * x * y; };
    std::vector<double> v(20);
    for (std::size_t j = 0; j < 5; ++j)
        for (std::size_t i = 0; i < 4; ++i) v[j * 4 + i] = b(double(i), -1.0 + 0.5 * double(j));
    const GridFn2D f = make_fn(v);
    for (double x : {0.0, 0.3, 1.71, 2.5, 3.0})
        for (double y : {-1.0, -0.8, 0.1, 0.99}) EXPECT_NEAR(eval_bilinear_2d(f, x, y), b(x, y), 1e-13);  // rounding
    for (std::size_t k = 0; k < 20; ++k) v[k] = std::sin(1.7 * static_cast<double>(k)) * 10.0;  // scattered data
    const GridFn2D s = make_fn(v);
    const auto& w = s.values;
    EXPECT_EQ(eval_bilinear_2d(s, 3.0, 1.0), w[19]);  // the far corner itself, not its neighbour
    EXPECT_EQ(eval_bilinear_2d(s, 2.0, 0.5), w[3 * 4 + 2]);
    EXPECT_EQ(eval_bilinear_2d(s, -5.0, -7.0), w[0]);
    EXPECT_EQ(eval_bilinear_2d(s, 9.0, 0.0), w[2 * 4 + 3]);  // right of the box, on row 2
    EXPECT_EQ(eval_bilinear_2d(s, 1.0, -2.0), w[1]);         // below the box, on column 1
    EXPECT_NEAR(eval_bilinear_2d(s, -1.0, 0.25), (w[8] + w[12]) / 2.0, 1e-14);  // weights 1/2: rounding only
    EXPECT_TRUE(std::isnan(eval_bilinear_2d(s, std::nan(""), 0.0)));
    EXPECT_TRUE(std::isnan(eval_bilinear_2d(s, 1.0, std::nan(""))));
}

}  // namespace
}  // namespace quorvane
