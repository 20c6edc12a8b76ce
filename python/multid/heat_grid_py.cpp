// Python classes Heat2D and Heat3D: unit heat on a rectangle and on a box by
// palindromic Strang splitting, with a zero-copy evolve into caller buffers.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "core/multid/heat_grid.hpp"
#include "core/multid/sizes.hpp"
#include "python/array.hpp"
#include "python/buf_borrow.hpp"
#include "python/coeff.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"
#include "python/multid/grid_args.hpp"

namespace quorvane::py {
namespace {

// --- the copy-mode warning ------------------------------------------------------

// logging.getLogger("quorvane.zero_copy").warning(message, extra={"expected_len": n}).
// A NullHandler on "quorvane" keeps the warning silent unless the caller has
// configured logging (Python would otherwise print it through its last-resort
// handler).
void warn_copy_mode(const char* message, std::size_t expected_len) {
    Ref logging(PyImport_ImportModule("logging"));
    if (!logging) throw_python_error();
    static bool null_handler_added = false;
    if (!null_handler_added) {
        Ref root(PyObject_CallMethod(logging.get(), "getLogger", "s", "quorvane"));
        if (!root) throw_python_error();
        Ref handler(PyObject_CallMethod(logging.get(), "NullHandler", nullptr));
        if (!handler) throw_python_error();
        Ref r(PyObject_CallMethod(root.get(), "addHandler", "O", handler.get()));
        if (!r) throw_python_error();
        null_handler_added = true;
    }
    Ref logger(PyObject_CallMethod(logging.get(), "getLogger", "s", "quorvane.zero_copy"));
    if (!logger) throw_python_error();
    Ref extra(PyDict_New());
    if (!extra) throw_python_error();
    Ref len = py_int(expected_len);
    if (PyDict_SetItemString(extra.get(), "expected_len", len.get()) != 0) throw_python_error();
    Ref warning(PyObject_GetAttrString(logger.get(), "warning"));
    if (!warning) throw_python_error();
    Ref args = py_tuple({py_str(message)});
    Ref kwargs(PyDict_New());
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "extra", extra.get()) != 0) throw_python_error();
    Ref r(PyObject_Call(warning.get(), args.get(), kwargs.get()));
    if (!r) throw_python_error();
}

// --- the two classes ---------------------------------------------------------------

struct Heat2DObj {
    Strang2D stepper;
    Grid2D grid;
    std::size_t nx = 0, ny = 0;

    static ClassDef& class_def();
};

struct Heat3DObj {
    Strang3D stepper;
    Grid3D grid;
    std::size_t nx = 0, ny = 0, nz = 0;

    static ClassDef& class_def();
};

// What the shared bodies need to know of each class.
template <class Obj>
struct HeatTraits;

template <>
struct HeatTraits<Heat2DObj> {
    static constexpr const char* u0_middle = " != nx*ny=";
    static constexpr const char* fallback = "Heat2D::evolve_into falling back to copy mode";
    // An empty buffer never takes the zero-copy path in 2-D.
    static constexpr bool empty_is_zero_copy = false;
    static std::array<std::size_t, 2> counts(const Heat2DObj& o) { return {o.nx, o.ny}; }
    static Expected<std::vector<double>> evolve(const Heat2DObj& o, std::vector<double> v, std::size_t n, double tau) {
        return heat2d_evolve_grid(o.stepper, o.grid, std::move(v), n, tau);
    }
    static bool reads_located(const Heat2DObj& o, double tau) { return strang2d_reads_located(o.stepper, tau); }
};

template <>
struct HeatTraits<Heat3DObj> {
    static constexpr const char* u0_middle = " != nx*ny*nz=";
    static constexpr const char* fallback = "Heat3D::evolve_into falling back to copy mode";
    static constexpr bool empty_is_zero_copy = true;
    static std::array<std::size_t, 3> counts(const Heat3DObj& o) { return {o.nx, o.ny, o.nz}; }
    static Expected<std::vector<double>> evolve(const Heat3DObj& o, std::vector<double> v, std::size_t n, double tau) {
        return heat3d_evolve_grid(o.stepper, o.grid, std::move(v), n, tau);
    }
    static bool reads_located(const Heat3DObj& o, double tau) { return strang3d_reads_located(o.stepper, tau); }
};

// The steps on a copy of the values, served at every scale of them (the
// flow is linear; see run_linear).
template <class Obj>
Expected<std::vector<double>> evolve_at_any_scale(const Obj& o, std::span<const double> values, std::size_t n_steps,
                                                  double tau, BeyondRange& beyond) {
    return run_linear(values, beyond, [&](std::vector<double> v) {
        return HeatTraits<Obj>::evolve(o, std::move(v), n_steps, tau);
    });
}

// Steps whose reads lie beyond 2^53 cells, refused before any work.
template <class Obj>
void refuse_far_reads(const Obj& o, double tau, std::size_t n_steps) {
    refuse_far_reads_nd(Obj::class_def().name, tau, n_steps, o.grid,
                        [&](double step) { return HeatTraits<Obj>::reads_located(o, step); });
}

template <class Obj>
Ref heat_evolve(const Obj& self, const Args& a) {
    using Tr = HeatTraits<Obj>;
    const double tau = a.f64(1);
    const std::size_t n_steps = a.usize(2);
    check_steps_and_tau(n_steps, tau);
    std::vector<double> u0 = float_seq_or_type_error(a.raw(0), "u0 must be a numpy.ndarray[float64] or sequence of floats");
    const auto counts = Tr::counts(self);
    check_length(u0.size(), counts, "u0 length ", Tr::u0_middle);
    refuse_far_reads(self, tau, n_steps);
    const Obj copy = self;
    BeyondRange beyond;
    auto r = run_evolve([&] { return evolve_at_any_scale(copy, u0, n_steps, tau, beyond); });
    refuse_beyond(Obj::class_def().name, u0, beyond);
    return new_array_f64(unwrap(std::move(r)));
}

template <class Obj>
Ref heat_evolve_into(const Obj& self, const Args& a) {
    using Tr = HeatTraits<Obj>;
    BufBorrow buf(a.raw(0));
    const double tau = a.f64(1);
    const std::size_t n_steps = a.usize(2);
    check_steps_and_tau(n_steps, tau);
    const std::size_t len = buf.len();
    const auto counts = Tr::counts(self);
    const bool zero_copy = (Tr::empty_is_zero_copy || len >= 1) && buf.contiguous_aligned() &&
                           length_matches(len, counts);
    refuse_far_reads(self, tau, n_steps);
    const Obj copy = self;
    BeyondRange beyond;
    if (zero_copy) {
        double* out = buf.data();
        // Read in place: the buffer is written only when the call succeeded.
        const std::span<const double> values(out, len);
        Status st = without_gil([&]() -> Status {
            Expected<std::vector<double>> r = evolve_at_any_scale(copy, values, n_steps, tau, beyond);
            if (!r) return fail(r.error());
            if (Status s = check_finite_result(*r); !s) return s;
            if (!r->empty()) std::memcpy(out, r->data(), r->size() * sizeof(double));
            return {};
        });
        refuse_beyond(Obj::class_def().name, values, beyond);
        unwrap(st);
        return none();
    }
    const std::optional<std::size_t> expected = checked_product(counts);
    warn_copy_mode(Tr::fallback, expected.value_or(SIZE_MAX));
    std::vector<double> values = buf.read();
    auto r = run_evolve([&] { return evolve_at_any_scale(copy, values, n_steps, tau, beyond); });
    refuse_beyond(Obj::class_def().name, values, beyond);
    const std::vector<double> result = unwrap(std::move(r));
    if (!buf.contiguous()) py_err_with_kind("OutOfDomain", "destination buffer is not contiguous; cannot write back");
    if (buf.len() != result.size()) py_err_with_kind("GridMismatch", "result length != buffer length after fallback");
    buf.write_contiguous(result);
    return none();
}

constexpr char kHeat2DDoc[] =
    "Heat2D(xmin, xmax, nx, ymin, ymax, ny, *, boundary=\"reflect\")\n--\n\n"
    "Two-dimensional heat equation du/dt = u_xx + u_yy on [xmin, xmax] x [ymin, ymax].\n\n"
    "Each step of size tau is the palindromic Strang composition X(tau/2) Y(tau) X(tau/2) of the\n"
    "second-order 1-D Chernoff heat step applied along every row and every column (degree-7\n"
    "Hermite interpolation, the boundary policy at both ends of every line); the splitting is\n"
    "of second order in tau. A call plans each sweep once and spreads the lines over worker\n"
    "threads when it has the work for them (each at least 1024 nodes a sweep and 8192\n"
    "node-sweeps in the call), with the same values on any number of them. The object holds\n"
    "no state: every call starts from the values it is given.\n\n"
    "Values are flat with x fastest: values[j*nx + i] ~ u(x_i, y_j) (the Fortran-order ravel of\n"
    "an (nx, ny) array).\n\n"
    "Parameters\n----------\n"
    "xmin, xmax, ymin, ymax : float\n    Bounds of each axis; finite, min < max.\n"
    "nx, ny : int\n    Node counts, at least 4 each.\n"
    "boundary : str, optional\n"
    "    \"reflect\" (default), \"zero\", \"periodic\" or \"linear\" (ASCII case-insensitive), for both axes.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain]\" for an unknown boundary, \"[NanInf]\" for a non-finite bound,\n"
    "    \"[GridMismatch]\" for min >= max or fewer than 4 nodes (the y axis reports with the\n"
    "    x-axis texts).\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x, y = np.linspace(0.0, 1.0, 17), np.linspace(0.0, 2.0, 33)\n"
    ">>> X, Y = np.meshgrid(x, y, indexing=\"ij\")        # U[i, j] = u(x_i, y_j), shape (nx, ny)\n"
    ">>> U = np.cos(np.pi * X) * np.cos(np.pi * Y)\n"
    ">>> h = quorvane.Heat2D(0.0, 1.0, 17, 0.0, 2.0, 33)\n"
    ">>> out = h.evolve(U.ravel(order=\"F\"), 0.001, 20)  # x fastest; 20 steps of 0.001\n"
    ">>> V = out.reshape((17, 33), order=\"F\")\n"
    ">>> print(f\"{abs(V - np.exp(-2 * np.pi**2 * 0.02) * U).max():.0e}\")\n"
    "5e-07\n";

constexpr char kHeat3DDoc[] =
    "Heat3D(xmin, xmax, nx, ymin, ymax, ny, zmin, zmax, nz, *, boundary=\"reflect\")\n--\n\n"
    "Three-dimensional heat equation du/dt = u_xx + u_yy + u_zz on a box.\n\n"
    "Each step of size tau is the palindromic Strang composition\n"
    "X(tau/2) Y(tau/2) Z(tau) Y(tau/2) X(tau/2) of the second-order 1-D Chernoff heat step along\n"
    "every pencil of each axis; second order in tau. A call plans each sweep once and spreads\n"
    "the pencils over worker threads when it has the work for them (each at least 1024 nodes\n"
    "a sweep and 8192 node-sweeps in the call), with the same values on any number of them.\n"
    "The object holds no state.\n\n"
    "Values are flat with x fastest, then y, then z: values[k*nx*ny + j*nx + i] ~ u(x_i, y_j, z_k).\n\n"
    "Parameters\n----------\n"
    "xmin, xmax, ymin, ymax, zmin, zmax : float\n"
    "    Bounds of each axis; each must be finite with min < max.\n"
    "nx, ny, nz : int\n    Node counts; each must be at least 4.\n"
    "boundary : str, optional\n"
    "    \"reflect\" (default), \"zero\", \"periodic\" or \"linear\" (ASCII case-insensitive), for all axes.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain]\" for an unknown boundary, \"[NanInf]\" for a non-finite bound,\n"
    "    \"[GridMismatch]\" for min >= max or fewer than 4 nodes (every axis reports with the\n"
    "    x-axis texts).\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = np.linspace(0.0, 1.0, 9)\n"
    ">>> X, Y, Z = np.meshgrid(g, g, g, indexing=\"ij\")\n"
    ">>> U = np.cos(np.pi * X) * np.cos(np.pi * Z)\n"
    ">>> h = quorvane.Heat3D(0.0, 1.0, 9, 0.0, 1.0, 9, 0.0, 1.0, 9)\n"
    ">>> V = h.evolve(U.ravel(order=\"F\"), 0.002, 10).reshape((9, 9, 9), order=\"F\")\n"
    ">>> print(f\"{abs(V - np.exp(-2 * np.pi**2 * 0.02) * U).max():.0e}\")\n"
    "3e-06\n";

constexpr char kEvolve2DDoc[] =
    "evolve($self, u0, tau, n_steps)\n--\n\n"
    "Return u0 advanced by n_steps Strang steps of size tau (total time n_steps*tau).\n\n"
    "The object is unchanged; the interpreter lock is released during the computation.\n\n"
    "Parameters\n----------\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    nx*ny values, x fastest.\n"
    "tau : float\n    Step size, finite and > 0.\n"
    "n_steps : int\n    Number of steps, at least 1.\n\n"
    "Returns\n-------\nnumpy.ndarray[float64]\n    A new flat array of nx*ny values.\n\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is not a float sequence.\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] tau must be finite and > 0\",\n"
    "    \"[GridMismatch] u0 length L != nx*ny=N\", \"[NanInf]\" for a non-finite u0; kind NanInf\n"
    "    when the result lies beyond the double range, naming the max|u0| of the same data that\n"
    "    stays within it (the steps are linear: data of every size whose result is a double are\n"
    "    served);\n"
    QUORVANE_FAR_READS_TAU_DOC;

constexpr char kEvolve3DDoc[] =
    "evolve($self, u0, tau, n_steps)\n--\n\n"
    "Return u0 advanced by n_steps Strang steps of size tau (total time n_steps*tau).\n\n"
    "The object is unchanged; the interpreter lock is released during the computation.\n\n"
    "Parameters\n----------\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    nx*ny*nz values, x fastest.\n"
    "tau : float\n    Step size, finite and > 0.\n"
    "n_steps : int\n    Number of steps, at least 1.\n\n"
    "Returns\n-------\nnumpy.ndarray[float64]\n    A new flat array of nx*ny*nz values.\n\n"
    "Raises\n------\n"
    "TypeError\n    If u0 is not a float sequence.\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] tau must be finite and > 0\",\n"
    "    \"[GridMismatch] u0 length L != nx*ny*nz=N\", \"[NanInf]\" for a non-finite u0; kind\n"
    "    NanInf when the result lies beyond the double range, naming the max|u0| of the same data\n"
    "    that stays within it (the steps are linear: data of every size whose result is a double\n"
    "    are served);\n"
    QUORVANE_FAR_READS_TAU_DOC;

constexpr char kEvolveIntoDoc[] =
    "evolve_into($self, buf, tau, n_steps)\n--\n\n"
    "Advance the values in buf by n_steps Strang steps of size tau, in place.\n\n"
    "A contiguous, aligned buffer of the grid's length is read and written directly, without\n"
    "a result array. Any other buffer takes a copy path: a warning is logged on the logger\n"
    "\"quorvane.zero_copy\" (record attribute ``expected_len``; silent unless logging is\n"
    "configured), the values are read in index order, evolved, and written back if buf is\n"
    "contiguous. buf is held exclusively for the call and unchanged after any failure.\n\n"
    "Parameters\n----------\n"
    "buf : numpy.ndarray[float64]\n    Writable one-dimensional array of the grid's values.\n"
    "tau : float\n    Step size, finite and > 0.\n"
    "n_steps : int\n    Number of steps, at least 1.\n\n"
    "Returns\n-------\nNone\n\n"
    "Raises\n------\n"
    "TypeError\n    \"argument 'buf': ...\" if buf is not a writable 1-D float64 array.\n"
    "QuorvaneError\n"
    "    The checks of ``evolve``; \"[GridMismatch]\" for a buffer of the wrong length;\n"
    "    \"[OutOfDomain] destination buffer is not contiguous; cannot write back\" for a strided\n"
    "    buffer (after the computation).\n";

Heat2DObj heat2d_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t nx = a.usize(2);
    const double ymin = a.f64(3), ymax = a.f64(4);
    const std::size_t ny = a.usize(5);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(6, "reflect"));
    const Grid2D grid{grid_axis(policy, xmin, xmax, nx), grid_axis(policy, ymin, ymax, ny)};
    return Heat2DObj{Strang2D::unit(grid), grid, nx, ny};
}

Heat3DObj heat3d_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t nx = a.usize(2);
    const double ymin = a.f64(3), ymax = a.f64(4);
    const std::size_t ny = a.usize(5);
    const double zmin = a.f64(6), zmax = a.f64(7);
    const std::size_t nz = a.usize(8);
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(9, "reflect"));
    const Grid3D grid{grid_axis(policy, xmin, xmax, nx), grid_axis(policy, ymin, ymax, ny),
                      grid_axis(policy, zmin, zmax, nz)};
    return Heat3DObj{Strang3D::unit(grid), grid, nx, ny, nz};
}

ClassDef& Heat2DObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<Heat2DObj>("Heat2D", kHeat2DDoc);
        d.tp_new = constructor<Heat2DObj, kHeat2DDoc, &heat2d_new>();
        d.methods = {
            method<Heat2DObj, kEvolve2DDoc, &heat_evolve<Heat2DObj>>(),
            method<Heat2DObj, kEvolveIntoDoc, &heat_evolve_into<Heat2DObj>>(),
        };
        return d;
    }();
    return def;
}

ClassDef& Heat3DObj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<Heat3DObj>("Heat3D", kHeat3DDoc);
        d.tp_new = constructor<Heat3DObj, kHeat3DDoc, &heat3d_new>();
        d.methods = {
            method<Heat3DObj, kEvolve3DDoc, &heat_evolve<Heat3DObj>>(),
            method<Heat3DObj, kEvolveIntoDoc, &heat_evolve_into<Heat3DObj>>(),
        };
        return d;
    }();
    return def;
}

}  // namespace

PyTypeObject* heat2d_type_object() { return type_object<Heat2DObj>(); }
PyTypeObject* heat3d_type_object() { return type_object<Heat3DObj>(); }

}  // namespace quorvane::py
