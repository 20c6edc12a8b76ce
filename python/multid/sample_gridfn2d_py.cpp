// Module function sample_gridfn2d: bilinear evaluation of a flat 2-D grid
// function at one point.
#include <string>
#include <vector>

#include "core/foundation/grid_fn2d.hpp"
#include "core/line/point_eval.hpp"
#include "python/frame.hpp"
#include "python/multid/grid_args.hpp"

namespace quorvane::py {
namespace {

constexpr char kSampleDoc[] =
    "sample_gridfn2d(values, x0min, x0max, nx, x1min, x1max, ny, cx, cy)\n--\n\n"
    "Bilinear value at (cx, cy) of the 2-D grid function with the given node values.\n\n"
    "values[i + j*nx] is the value at node (x_i, y_j), x_i = x0min + i*(x0max - x0min)/(nx - 1),\n"
    "y_j = x1min + j*(x1max - x1min)/(ny - 1) (the Fortran-order ravel of an (nx, ny) array).\n"
    "Outside the box the value continues the nearest edge (no extrapolation); a NaN\n"
    "coordinate gives NaN.\n\n"
    "Parameters\n----------\n"
    "values : numpy.ndarray[float64] or sequence of float\n    nx*ny node values.\n"
    "x0min, x0max, x1min, x1max : float\n    Bounds of each axis; finite, min < max.\n"
    "nx, ny : int\n    Node counts, at least 4 each.\n"
    "cx, cy : float\n    The point.\n\n"
    "Returns\n-------\nfloat\n\n"
    "Raises\n------\n"
    "TypeError\n    \"values must be a float64 array\" if values is not a float sequence.\n"
    "QuorvaneError\n"
    "    \"[GridMismatch] values length L, expected nx*ny=N\", and the grid errors of each axis\n"
    "    (reported with the x-axis texts).\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x, y = np.linspace(0.0, 1.0, 11), np.linspace(0.0, 2.0, 21)\n"
    ">>> X, Y = np.meshgrid(x, y, indexing=\"ij\")\n"
    ">>> F = X + 2 * Y\n"
    ">>> print(round(quorvane.sample_gridfn2d(F.ravel(order=\"F\"), 0.0, 1.0, 11, 0.0, 2.0, 21, 0.35, 1.5), 12))\n"
    "3.35\n";

Ref sample_gridfn2d_body(const Args& a) {
    const double x0min = a.f64(1), x0max = a.f64(2);
    const std::size_t nx = a.usize(3);
    const double x1min = a.f64(4), x1max = a.f64(5);
    const std::size_t ny = a.usize(6);
    const double cx = a.f64(7), cy = a.f64(8);
    std::vector<double> values = float_seq_or_type_error(a.raw(0), "values must be a float64 array");
    check_length(values.size(), {nx, ny}, "values length ", ", expected nx*ny=");
    const BoundaryPolicy<double> policy{};
    const Grid2D grid{grid_axis(policy, x0min, x0max, nx), grid_axis(policy, x1min, x1max, ny)};
    const GridFn2D f{grid, std::move(values)};
    return py_float(eval_bilinear_2d(f, cx, cy));
}

}  // namespace

PyMethodDef* sample_gridfn2d_function_def() {
    static PyMethodDef def = method<void, kSampleDoc, &sample_gridfn2d_body>();
    return &def;
}

}  // namespace quorvane::py
