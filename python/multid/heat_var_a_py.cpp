// Python classes Heat2DVarA and Heat3DVarA: u_t = a_x u_xx + a_y u_yy (+ a_z u_zz)
// with sampled per-axis (or, in 2-D, per-line) coefficients, by Strang splitting.
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "core/multid/axis_coeff.hpp"
#include "core/multid/heat_grid.hpp"
#include "core/multid/sizes.hpp"
#include "python/array.hpp"
#include "python/coeff.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"
#include "python/multid/grid_args.hpp"

namespace quorvane::py {
namespace {

// Per-axis samples: named-array checks, then every entry > 0.
std::shared_ptr<const std::vector<double>> extract_positive_axis_coeff(PyObject* o, std::size_t n, const char* name) {
    std::vector<double> v = extract_named_f64_array(o, name, {n});
    for (double x : v)
        if (!(x > 0.0)) py_err_with_kind("OutOfDomain", std::string(name) + " must be > 0 everywhere");
    return std::make_shared<const std::vector<double>>(std::move(v));
}

// Full-grid samples: the length, then the first entry that is non-finite or
// not positive decides the kind.
void validate_grid_coeff(const std::vector<double>& v, std::size_t nx, std::size_t ny, const char* name) {
    check_length(v.size(), {nx, ny}, std::string(name) + " has length ", ", expected nx*ny=");
    for (double x : v) {
        if (!std::isfinite(x)) py_err_with_kind("NanInf", std::string(name) + " contains NaN or Inf");
        if (x <= 0.0) py_err_with_kind("OutOfDomain", std::string(name) + " must be > 0 everywhere");
    }
}

// evolve's u0: a plain TypeError when it does not convert, then the length,
// then finiteness.
std::vector<double> var_a_u0(PyObject* o, Counts counts, const char* middle) {
    std::vector<double> u0 = float_seq_or_type_error(o, "u0 must be numpy.ndarray[float64]");
    check_length(u0.size(), counts, "u0 length ", middle);
    if (first_non_finite<double>(u0)) py_err_with_kind("NanInf", "u0 contains NaN or Inf");
    return u0;
}

std::size_t len_of(Counts counts) { return checked_product(counts).value_or(SIZE_MAX); }

// --- Heat2DVarA ------------------------------------------------------------------

struct Heat2DVarAObj {
    Grid2D grid;
    std::size_t nx = 0, ny = 0;
    std::variant<Strang2D, Strang2DPencil> form;

    std::size_t len() const { return len_of(counts_of({nx, ny})); }
    std::string repr() const {
        return "Heat2DVarA(nx=" + std::to_string(nx) + ", ny=" + std::to_string(ny) + ", order=1)";
    }
    static ClassDef& class_def();
};

constexpr char kHeat2DVarADoc[] =
    "Heat2DVarA(xmin, xmax, nx, ymin, ymax, ny, a_x, a_y, *, boundary=\"reflect\")\n--\n\n"
    "Variable-coefficient 2-D heat Chernoff evolver for u_t = a_x(x) u_xx + a_y(y) u_yy.\n\n"
    "Each step of size tau is the palindromic Strang splitting X(tau/2) Y(tau) X(tau/2) of the\n"
    "1-D heat step along every row and every column, with the line's coefficient frozen at the\n"
    "node; between nodes a coefficient is interpolated linearly. Freezing costs the second\n"
    "order of the splitting wherever a coefficient varies, so ``order()`` is 1. The object\n"
    "holds no state: ``evolve(u0, tau, n_steps)`` takes tau as the step size and returns a new\n"
    "array.\n\n"
    "Use it when the diffusion varies along each axis separately; ``with_grid_arrays`` takes\n"
    "a_x and a_y at every node instead, so that each row and each column has its own\n"
    "coefficient. For constant coefficients ``Heat2D`` is of second order.\n\n"
    "Values are flat with x fastest: values[j*nx + i] ~ u(x_i, y_j) (the Fortran-order ravel of\n"
    "an (nx, ny) array).\n\n"
    "Parameters\n----------\n"
    "xmin, xmax, ymin, ymax : float\n    Bounds of each axis; finite, min < max.\n"
    "nx, ny : int\n    Node counts, at least 4 each.\n"
    "a_x, a_y : numpy.ndarray[float64] or sequence of float\n"
    "    Samples at the nodes of their axis (lengths nx and ny), finite and > 0.\n"
    "boundary : str, optional\n"
    "    \"reflect\" (default), \"zero\", \"periodic\" or \"linear\" (ASCII case-insensitive), for both axes.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    In this order: \"[OutOfDomain]\" for an unknown boundary; \"[GridMismatch] a_x must be\n"
    "    numpy.ndarray[float64]\", \"[GridMismatch] a_x length L != expected N\", \"[NanInf] a_x\n"
    "    contains NaN or Inf\" (anywhere) before \"[OutOfDomain] a_x must be > 0 everywhere\", then\n"
    "    the same for a_y; \"[NanInf]\" for a non-finite bound and \"[GridMismatch]\" for\n"
    "    min >= max or fewer than 4 nodes (the y axis reports with the x-axis texts).\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 17)\n"
    ">>> X, Y = np.meshgrid(x, x, indexing=\"ij\")\n"
    ">>> U = np.cos(np.pi * X) * np.cos(np.pi * Y)\n"
    ">>> h = quorvane.Heat2DVarA(0.0, 1.0, 17, 0.0, 1.0, 17, 1.0 + x, np.ones(17))\n"
    ">>> V = h.evolve(U.ravel(order=\"F\"), 0.001, 20).reshape((17, 17), order=\"F\")\n"
    ">>> print(h, len(h), bool(abs(V).max() <= 1.0))     # heat keeps max|u|\n"
    "Heat2DVarA(nx=17, ny=17, order=1) 289 True\n";

constexpr char kWithGridArraysDoc[] =
    "with_grid_arrays(xmin, xmax, nx, ymin, ymax, ny, a_x, a_y, *, boundary=\"reflect\")\n--\n\n"
    "Build a Heat2DVarA whose coefficients are given at every grid node.\n\n"
    "a_x and a_y hold nx*ny samples each in the layout of the values (entry j*nx + i at node\n"
    "(x_i, y_j)), so every row carries its own a_x along x and every column its own a_y along y.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax, ymin, ymax : float\n    Bounds of each axis; finite, min < max.\n"
    "nx, ny : int\n    Node counts, at least 4 each.\n"
    "a_x, a_y : numpy.ndarray[float64] or sequence of float\n    nx*ny samples, finite and > 0.\n"
    "boundary : str, optional\n    \"reflect\" (default), \"zero\", \"periodic\" or \"linear\".\n\n"
    "Returns\n-------\nHeat2DVarA\n\n"
    "Raises\n------\n"
    "TypeError\n    If a_x or a_y is not a float sequence.\n"
    "QuorvaneError\n"
    "    \"[GridMismatch]\" for a wrong length (\"a_x has length L, expected nx*ny=N\") and the grid\n"
    "    errors; \"[NanInf]\" for a non-finite entry and \"[OutOfDomain]\" for an entry <= 0 (the\n"
    "    first offending entry decides).\n";

constexpr char kEvolve2DDoc[] =
    "evolve($self, u0, tau, n_steps)\n--\n\n"
    "Return u0 (flat, x fastest, nx*ny values) evolved by n_steps steps of size tau.\n\n"
    "Each step is X(tau/2) Y(tau) X(tau/2) with the coefficient of every line frozen at the\n"
    "node. The result is a new flat float64 array; the interpreter lock is released during\n"
    "the computation and the object is unchanged.\n\n"
    "Raises\n------\n"
    "TypeError\n    \"u0 must be numpy.ndarray[float64]\".\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] tau must be finite and > 0\",\n"
    "    \"[GridMismatch] u0 length L != nx*ny=N\", \"[NanInf] u0 contains NaN or Inf\";\n"
    QUORVANE_FAR_READS_TAU_DOC
    QUORVANE_BEYOND_RANGE_DOC
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = np.linspace(0.0, 1.0, 17)\n"
    ">>> X, Y = np.meshgrid(g, g, indexing=\"ij\")\n"
    ">>> U = np.cos(np.pi * X)\n"
    ">>> h = quorvane.Heat2DVarA(0.0, 1.0, 17, 0.0, 1.0, 17, np.full(17, 2.0), np.full(17, 0.5))\n"
    ">>> V = h.evolve(U.ravel(order=\"F\"), 0.001, 20).reshape((17, 17), order=\"F\")\n"
    ">>> print(f\"{abs(V - np.exp(-2 * np.pi**2 * 0.02) * U).max():.0e}\")\n"
    "9e-07\n";

constexpr char kOrderDoc[] =
    "order($self)\n--\n\n"
    "Return the consistency order, 1 (not 2).\n\n"
    "The Strang composition is of second order, but each line step freezes its coefficient at\n"
    "the node and so differs from exp(tau*a*d^2/dx^2) at second order in tau wherever a varies.\n";

constexpr char kNxDoc[] = "Number of X-axis nodes.";
constexpr char kNyDoc[] = "Number of Y-axis nodes.";

Heat2DVarAObj heat2d_var_a_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t nx = a.usize(2);
    const double ymin = a.f64(3), ymax = a.f64(4);
    const std::size_t ny = a.usize(5);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(8, "reflect"));
    auto ax = extract_positive_axis_coeff(a.raw(6), nx, "a_x");
    auto ay = extract_positive_axis_coeff(a.raw(7), ny, "a_y");
    const Grid2D grid{grid_axis(policy, xmin, xmax, nx), grid_axis(policy, ymin, ymax, ny)};
    Strang2D s{AxisLift{build_axis_diff(std::move(ax), grid.x), Axis::X},
               AxisLift{build_axis_diff(std::move(ay), grid.y), Axis::Y}};
    return Heat2DVarAObj{grid, nx, ny, std::move(s)};
}

Ref heat2d_var_a_with_grid_arrays(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t nx = a.usize(2);
    const double ymin = a.f64(3), ymax = a.f64(4);
    const std::size_t ny = a.usize(5);
    auto ax = a.raw(6) ? try_float_vector(a.raw(6)) : std::nullopt;
    if (!ax) raise_conversion_error(a.raw(6), "a_x", "Sequence");
    auto ay = a.raw(7) ? try_float_vector(a.raw(7)) : std::nullopt;
    if (!ay) raise_conversion_error(a.raw(7), "a_y", "Sequence");
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(8, "reflect"));
    validate_grid_coeff(*ax, nx, ny, "a_x");
    validate_grid_coeff(*ay, nx, ny, "a_y");
    const Grid2D grid{grid_axis(policy, xmin, xmax, nx), grid_axis(policy, ymin, ymax, ny)};
    Strang2DPencil pencil{grid, {}, {}};
    pencil.row_kernels.reserve(ny);
    for (std::size_t j = 0; j < ny; ++j) {
        pencil.row_kernels.push_back(build_axis_diff(std::span<const double>(*ax).subspan(j * nx, nx), grid.x));
    }
    pencil.col_kernels.reserve(nx);
    std::vector<double> column(ny);
    for (std::size_t i = 0; i < nx; ++i) {
        for (std::size_t j = 0; j < ny; ++j) column[j] = (*ay)[i + j * nx];
        pencil.col_kernels.push_back(build_axis_diff(column, grid.y));
    }
    return new_object(Heat2DVarAObj{grid, nx, ny, std::move(pencil)});
}

Ref heat2d_var_a_evolve(const Heat2DVarAObj& self, const Args& a) {
    const double tau = a.f64(1);
    const std::size_t n_steps = a.usize(2);
    check_steps_and_tau(n_steps, tau);
    std::vector<double> u0 = var_a_u0(a.raw(0), counts_of({self.nx, self.ny}), " != nx*ny=");
    refuse_far_reads_nd("Heat2DVarA", tau, n_steps, self.grid, [&](double step) {
        if (const Strang2D* s = std::get_if<Strang2D>(&self.form)) return strang2d_reads_located(*s, step);
        return pencil_reads_located(std::get<Strang2DPencil>(self.form), step);
    });
    const Heat2DVarAObj copy = self;
    return new_array_f64(evolve_linear("Heat2DVarA", u0, [&](std::vector<double> v) -> Expected<std::vector<double>> {
        if (const Strang2D* s = std::get_if<Strang2D>(&copy.form)) {
            return heat2d_evolve_grid(*s, copy.grid, std::move(v), n_steps, tau);
        }
        return pencil_evolve(std::get<Strang2DPencil>(copy.form), std::move(v), n_steps, tau);
    }));
}

template <class Obj>
Ref order_one(const Obj&, const Args&) {
    return py_int(1);
}
Ref heat2d_var_a_nx(const Heat2DVarAObj& self) { return py_int(self.nx); }
Ref heat2d_var_a_ny(const Heat2DVarAObj& self) { return py_int(self.ny); }

ClassDef& Heat2DVarAObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<Heat2DVarAObj>("Heat2DVarA", kHeat2DVarADoc);
        d.tp_new = constructor<Heat2DVarAObj, kHeat2DVarADoc, &heat2d_var_a_new>();
        d.methods = {
            method<Heat2DVarAObj, kEvolve2DDoc, &heat2d_var_a_evolve>(),
            method<Heat2DVarAObj, kWithGridArraysDoc, &heat2d_var_a_with_grid_arrays>(),
            method<Heat2DVarAObj, kOrderDoc, &order_one<Heat2DVarAObj>>(),
        };
        d.getters = {
            getter<Heat2DVarAObj, &heat2d_var_a_nx>("nx", kNxDoc),
            getter<Heat2DVarAObj, &heat2d_var_a_ny>("ny", kNyDoc),
        };
        return d;
    }();
    return def;
}

// --- Heat3DVarA ------------------------------------------------------------------

struct Heat3DVarAObj {
    Strang3D stepper;
    Grid3D grid;
    std::size_t nx = 0, ny = 0, nz = 0;

    std::size_t len() const { return len_of(counts_of({nx, ny, nz})); }
    std::string repr() const {
        return "Heat3DVarA(nx=" + std::to_string(nx) + ", ny=" + std::to_string(ny) + ", nz=" + std::to_string(nz) +
               ", order=1)";
    }
    static ClassDef& class_def();
};

constexpr char kHeat3DVarADoc[] =
    "Heat3DVarA(xmin, xmax, nx, ymin, ymax, ny, zmin, zmax, nz, a_x, a_y, a_z, *, boundary=\"reflect\")\n--\n\n"
    "Variable-coefficient 3-D heat Chernoff evolver for u_t = a_x(x) u_xx + a_y(y) u_yy + a_z(z) u_zz.\n\n"
    "Each step is the palindromic Strang splitting X(tau/2) Y(tau/2) Z(tau) Y(tau/2) X(tau/2)\n"
    "(Strang3D) of the 1-D heat step with the axis coefficient frozen at the node; between\n"
    "nodes a coefficient is interpolated linearly. The object holds no state.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax, ymin, ymax, zmin, zmax : float\n    Bounds of each axis; finite, min < max.\n"
    "nx, ny, nz : int\n    Node counts, at least 4 each.\n"
    "a_x, a_y, a_z : numpy.ndarray[float64] or sequence of float\n"
    "    Samples at the nodes of their axis (lengths nx, ny, nz), finite and > 0.\n"
    "boundary : str, optional\n    One policy for all three axes: \"reflect\" (default), \"zero\", \"periodic\", \"linear\".\n\n"
    "Raises\n------\n"
    "QuorvaneError\n    Kind GridMismatch, NanInf or OutOfDomain for invalid coefficients or axes.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = np.linspace(0.0, 1.0, 9)\n"
    ">>> X, Y, Z = np.meshgrid(g, g, g, indexing=\"ij\")\n"
    ">>> U = np.cos(np.pi * Z)\n"
    ">>> h = quorvane.Heat3DVarA(0.0, 1.0, 9, 0.0, 1.0, 9, 0.0, 1.0, 9, np.ones(9), np.ones(9), np.full(9, 2.0))\n"
    ">>> V = h.evolve(U.ravel(order=\"F\"), 0.002, 10).reshape((9, 9, 9), order=\"F\")\n"
    ">>> print(f\"{abs(V - np.exp(-2 * np.pi**2 * 0.02) * U).max():.0e}\")\n"
    "1e-05\n";

constexpr char kEvolve3DDoc[] =
    "evolve($self, u0, tau, n_steps)\n--\n\n"
    "Return u0 (flat, x fastest, nx*ny*nz values) evolved by n_steps steps of size tau.\n\n"
    "The result is a new flat float64 array, x fastest; the interpreter lock is released\n"
    "during the computation and the object is unchanged.\n\n"
    "Raises\n------\n"
    "TypeError\n    \"u0 must be numpy.ndarray[float64]\".\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] tau must be finite and > 0\",\n"
    "    \"[GridMismatch] u0 length L != nx*ny*nz=N\", \"[NanInf] u0 contains NaN or Inf\";\n"
    QUORVANE_FAR_READS_TAU_DOC
    QUORVANE_BEYOND_RANGE_DOC;

constexpr char kOrder3DDoc[] =
    "order($self)\n--\n\n"
    "Return the consistency order, 1 (not 2).\n\n"
    "As for Heat2DVarA.order: each axis step freezes its coefficient at the node, which costs\n"
    "the second order of the Strang composition wherever a coefficient varies.\n";

Heat3DVarAObj heat3d_var_a_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t nx = a.usize(2);
    const double ymin = a.f64(3), ymax = a.f64(4);
    const std::size_t ny = a.usize(5);
    const double zmin = a.f64(6), zmax = a.f64(7);
    const std::size_t nz = a.usize(8);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(12, "reflect"));
    auto ax = extract_positive_axis_coeff(a.raw(9), nx, "a_x");
    auto ay = extract_positive_axis_coeff(a.raw(10), ny, "a_y");
    auto az = extract_positive_axis_coeff(a.raw(11), nz, "a_z");
    const Grid3D grid{grid_axis(policy, xmin, xmax, nx), grid_axis(policy, ymin, ymax, ny),
                      grid_axis(policy, zmin, zmax, nz)};
    Strang3D s{AxisLift3D{build_axis_diff(std::move(ax), grid.x), Axis::X},
               AxisLift3D{build_axis_diff(std::move(ay), grid.y), Axis::Y},
               AxisLift3D{build_axis_diff(std::move(az), grid.z), Axis::Z}};
    return Heat3DVarAObj{std::move(s), grid, nx, ny, nz};
}

Ref heat3d_var_a_evolve(const Heat3DVarAObj& self, const Args& a) {
    const double tau = a.f64(1);
    const std::size_t n_steps = a.usize(2);
    check_steps_and_tau(n_steps, tau);
    std::vector<double> u0 = var_a_u0(a.raw(0), counts_of({self.nx, self.ny, self.nz}), " != nx*ny*nz=");
    refuse_far_reads_nd("Heat3DVarA", tau, n_steps, self.grid,
                        [&](double step) { return strang3d_reads_located(self.stepper, step); });
    const Heat3DVarAObj copy = self;
    return new_array_f64(evolve_linear("Heat3DVarA", u0, [&](std::vector<double> v) {
        return heat3d_evolve_grid(copy.stepper, copy.grid, std::move(v), n_steps, tau);
    }));
}

ClassDef& Heat3DVarAObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<Heat3DVarAObj>("Heat3DVarA", kHeat3DVarADoc);
        d.tp_new = constructor<Heat3DVarAObj, kHeat3DVarADoc, &heat3d_var_a_new>();
        d.methods = {
            method<Heat3DVarAObj, kEvolve3DDoc, &heat3d_var_a_evolve>(),
            method<Heat3DVarAObj, kOrder3DDoc, &order_one<Heat3DVarAObj>>(),
        };
        return d;
    }();
    return def;
}

}  // namespace

PyTypeObject* heat2d_var_a_type_object() { return type_object<Heat2DVarAObj>(); }
PyTypeObject* heat3d_var_a_type_object() { return type_object<Heat3DVarAObj>(); }

}  // namespace quorvane::py
