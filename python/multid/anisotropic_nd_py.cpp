// Python classes AnisotropicShiftND2, AnisotropicShiftND3 (sampled anisotropic
// diffusion, drift and reaction by the Gauss-Hermite shift step) and
// ObstacleNDV8 (one projected unit heat step above a constant floor).
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "core/bounded/obstacle.hpp"
#include "core/foundation/numeric.hpp"
#include "core/foundation/stop.hpp"
#include "core/multid/read_range_nd.hpp"
#include "core/multid/shift_nd.hpp"
#include "core/multid/sizes.hpp"
#include "python/array.hpp"
#include "python/coeff.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"
#include "python/multid/grid_args.hpp"

namespace quorvane::py {
namespace {

// Per axis round((n-1)(x-lo)/(hi-lo)), halves away from zero, NaN to 0,
// clamped to the nodes; flat index with axis 0 fastest.
template <std::size_t D>
std::size_t nearest_index(const Point<D>& p, const GridND<D>& grid) {
    std::size_t k = 0, stride = 1;
    for (std::size_t d = 0; d < D; ++d) {
        const Grid1D<double>& ax = grid.axes[d];
        std::size_t i = 0;
        if (ax.n > 1) {
            const double s = round_half_away(static_cast<double>(ax.n - 1) * (p[d] - ax.xmin) / (ax.xmax - ax.xmin));
            const auto r = saturating_cast<std::int64_t>(s);
            i = r < 0 ? 0 : std::min(static_cast<std::size_t>(r), ax.n - 1);
        }
        k += i * stride;
        stride *= ax.n;
    }
    return k;
}

using Samples = std::shared_ptr<const std::vector<double>>;

template <std::size_t D>
AnisotropicShiftChernoffND<D> build_shift(const GridND<D>& grid, Samples a, Samples b, Samples c) {
    // The tensor arrives row-major per node; the factorisation reads it
    // column-major, entry (r, c) at c*D + r.
    auto tensor = std::make_shared<const std::function<void(const Point<D>&, std::span<double>)>>(
        [grid, a](const Point<D>& p, std::span<double> m) {
            const std::size_t k = nearest_index(p, grid);
            for (std::size_t r = 0; r < D; ++r)
                for (std::size_t col = 0; col < D; ++col) m[col * D + r] = (*a)[k * D * D + r * D + col];
        });
    auto drift = std::make_shared<const std::function<void(const Point<D>&, std::span<double>)>>(
        [grid, b](const Point<D>& p, std::span<double> out) {
            const std::size_t k = nearest_index(p, grid);
            for (std::size_t r = 0; r < D; ++r) out[r] = (*b)[k * D + r];
        });
    auto reaction = std::make_shared<const std::function<double(const Point<D>&)>>(
        [grid, c](const Point<D>& p) { return (*c)[nearest_index(p, grid)]; });
    return unwrap(AnisotropicShiftChernoffND<D>::make(grid, tensor, std::move(drift), std::move(reaction)));
}

template <std::size_t D>
struct ShiftNDObj {
    GridND<D> grid;
    std::shared_ptr<const AnisotropicShiftChernoffND<D>> chernoff;
    std::vector<double> state;
    // The range every step is clipped to: that of the state's read when it
    // was set, walked on by the reactions of the steps since.
    FlowRange range;

    std::size_t count(std::size_t d) const { return grid.axes[d].n; }
    std::size_t len() const { return state.size(); }
    std::string repr() const {
        if constexpr (D == 2) {
            return "AnisotropicShiftND2(nx=" + std::to_string(count(0)) + ", ny=" + std::to_string(count(1)) +
                   ", order=1)";
        } else {
            return "AnisotropicShiftND3(nx=" + std::to_string(count(0)) + ", ny=" + std::to_string(count(1)) +
                   ", nz=" + std::to_string(count(2)) + ", order=1)";
        }
    }
    static ClassDef& class_def();
};

// Shared constructor body: counts at 0..D-1, bounds at D..3D-1, then
// a_values, b_values, c_values and boundary.
template <std::size_t D>
ShiftNDObj<D> shift_nd_new(const Args& a) {
    std::array<std::size_t, D> n{};
    std::array<double, 2 * D> bounds{};
    for (std::size_t d = 0; d < D; ++d) n[d] = a.usize(d);
    for (std::size_t d = 0; d < 2 * D; ++d) bounds[d] = a.f64(D + d);
    const std::size_t ia = 3 * D;
    const BoundaryPolicy<double> policy = parse_boundary_policy(a.str_or(ia + 3, "reflect"));
    std::array<std::size_t, D + 1> with_block{};
    for (std::size_t d = 0; d < D; ++d) with_block[d] = n[d];
    with_block[D] = D * D;
    const Counts nodes(n.data(), D);
    auto av = std::make_shared<const std::vector<double>>(extract_named_f64_array(a.raw(ia), "a_values", with_block));
    with_block[D] = D;
    auto bv = std::make_shared<const std::vector<double>>(
        a.get(ia + 1) ? extract_named_f64_array(a.raw(ia + 1), "b_values", with_block)
                      : std::vector<double>(av->size() / D, 0.0));
    auto cv = std::make_shared<const std::vector<double>>(a.get(ia + 2) ? extract_named_f64_array(a.raw(ia + 2), "c_values", nodes)
                                                                        : std::vector<double>(av->size() / (D * D), 0.0));
    GridND<D> grid;
    grid.interp_kind = InterpKind::of(InterpTag::CubicHermite);
    for (std::size_t d = 0; d < D; ++d) {
        grid.axes[d] = grid_axis(policy, bounds[2 * d], bounds[2 * d + 1], n[d], grid.interp_kind);
    }
    auto chernoff = std::make_shared<const AnisotropicShiftChernoffND<D>>(build_shift<D>(grid, av, bv, cv));
    const std::size_t len = av->size() / (D * D);
    return ShiftNDObj<D>{grid, std::move(chernoff), std::vector<double>(len, 0.0), FlowRange{}};
}

// "dx = ..., dy = ..." of a tensor grid, as a refusal names its spacing.
template <std::size_t D>
std::string axes_spacing_text(const GridND<D>& grid) {
    static constexpr const char* kNames[] = {"dx", "dy", "dz"};
    std::string out;
    for (std::size_t d = 0; d < D; ++d) out += (d == 0 ? "" : ", ") + spacing_text(grid.axes[d], kNames[d]);
    return out;
}

template <std::size_t D>
Ref shift_nd_evolve(ShiftNDObj<D>& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 100);
    if (n_steps == 0) py_err_with_kind("OutOfDomain", "n_steps must be >= 1");
    if (!finite_nonneg(t)) py_err_with_kind("OutOfDomain", "t must be finite and >= 0");
    // No time is the identity: the steps of tau = 0 would reread every node
    // through the 5^D-point rule and the boundary reads (seconds on 8^3, and
    // rounding-level changes under "linear") to return the state.
    if (t == 0.0) return none();
    const std::shared_ptr<const AnisotropicShiftChernoffND<D>> f = self.chernoff;
    std::vector<double> values = self.state;
    const GridND<D> grid = self.grid;
    refuse_reads_beyond_grid(self.class_def().name, {StepCall::Form::Count, t, t / static_cast<double>(n_steps)},
                             axes_spacing_text(grid), [&](double step) { return shift_reads_located(*f, step); },
                             // A step whose reaction factor e^{tau max c} leaves the doubles returns no number.
                             [&](double step) { return std::isfinite(reaction_factors(*f, step).up); });
    FlowRange range = self.range;
    auto r = run_evolve([&]() -> Expected<std::vector<double>> {
        Expected<GridFnND<D>> u = GridFnND<D>::make(grid, std::move(values));
        if (!u) return fail(u.error());
        return evolve_in_range(*f, std::move(*u), t / static_cast<double>(n_steps), n_steps, range);
    });
    self.state = unwrap(std::move(r));
    self.range = range;
    return none();
}

template <std::size_t D>
Ref shift_nd_values(const ShiftNDObj<D>& self, const Args&) {
    return new_array_f64(self.state);
}

template <std::size_t D>
Ref shift_nd_order(const ShiftNDObj<D>&, const Args&) {
    return py_int(1);
}

// The new state and the range of its read, which the steps from here on
// are clipped to; both or neither (a stop request while the range is
// measured keeps the old ones).
template <std::size_t D>
void replace_state(ShiftNDObj<D>& self, std::vector<double> values) {
    const GridND<D> grid = self.grid;
    const FlowRange range = unwrap(without_gil([&] { return read_range_nd(grid, values); }));
    self.state = std::move(values);
    self.range = range;
}

template <std::size_t D>
Ref shift_nd_set_state(ShiftNDObj<D>& self, const Args& a) {
    PyObject* o = a.raw(0);
    if constexpr (D == 2) {
        std::optional<Buffer> buf = o ? Buffer::get(o, PyBUF_RECORDS_RO) : std::nullopt;
        if (buf && buf->is_f64() && buf->ndim() == 2) {
            const std::size_t nx = self.count(0), ny = self.count(1);
            const auto r = static_cast<std::size_t>(buf->shape(0)), c = static_cast<std::size_t>(buf->shape(1));
            if (r != nx || c != ny) {
                py_err_with_kind("GridMismatch", "u0 has shape (" + std::to_string(r) + ", " + std::to_string(c) +
                                                     "), expected (" + std::to_string(nx) + ", " + std::to_string(ny) + ")");
            }
            std::vector<double> flat(nx * ny);
            for (std::size_t j = 0; j < ny; ++j)
                for (std::size_t i = 0; i < nx; ++i) flat[i + j * nx] = buf->at(static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(j));
            if (first_non_finite<double>(flat)) py_err_with_kind("NanInf", "u0 contains NaN or Inf");
            replace_state(self, std::move(flat));
            return none();
        }
    }
    replace_state(self, extract_named_f64_array(o, "u0", {self.state.size()}));
    return none();
}

Ref shift_nd2_values_2d(const ShiftNDObj<2>& self, const Args&) {
    const std::size_t nx = self.count(0), ny = self.count(1);
    if (self.state.size() != nx * ny) py_err_with_kind("GridMismatch", "internal reshape failure");
    std::vector<double> rm(nx * ny);
    for (std::size_t i = 0; i < nx; ++i)
        for (std::size_t j = 0; j < ny; ++j) rm[i * ny + j] = self.state[i + j * nx];
    return new_array_f64_2d(nx, ny, rm);
}

constexpr char kNd2Doc[] =
    "AnisotropicShiftND2(nx, ny, xmin, xmax, ymin, ymax, a_values, *, b_values=None, c_values=None, "
    "boundary=\"reflect\")\n--\n\n"
    "Evolves du/dt = A(x):grad^2 u + b(x).grad u + c(x) u on a 2-D grid by the anisotropic shift step.\n\n"
    "One step averages u over the 25 points p + tau b(p) + 2 sqrt(tau) L(p) z_q of the 5-point\n"
    "Gauss-Hermite product rule (A = L L^T, Cholesky of the lower triangle) and multiplies by\n"
    "exp(tau c(p)); off-grid values by cubic interpolation with the boundary rule. Order 1.\n"
    "Each new value is clipped to the range the exact flow keeps: that of the cubic read of\n"
    "the state set by ``set_state`` (its nodes, and a cell's proven extremes beyond its\n"
    "corners only as far as the data there are smooth along every axis and bend towards\n"
    "them; next to a non-periodic end the data continued by their straight line, 0 joining\n"
    "it under \"zero\"), its ends moved every step by e^(tau min c) and\n"
    "e^(tau max c) and carried from call to call. Under \"linear\" a face takes into the range\n"
    "only what the exact flow brings in: nothing by the drift (an inflow is refused), and by\n"
    "diffusion k(k+1)/2 |D2 u| of the data's smooth curvature along each line at the face\n"
    "(k the step's reach in cells), nothing from a plane or from data the steps have\n"
    "roughened. Smooth data are stepped by the plain reads; rough data stay within their\n"
    "nodes' range, and a state rebuilt from ``values()`` reads no wider a range than the one\n"
    "it came from, so a chain of such calls stays where one object stays. With a noise drift\n"
    "flowing out at every face, A = 1e-6 I, 41^2\n"
    "nodes, t = 1, x + y stays in [0, 2] and cos(pi x) cos(pi y) in [-1, 1] at 10^2, 10^3\n"
    "and 10^4 steps.\n"
    "The state starts at zero (``set_state``). Flat arrays are node-major with x fastest (node\n"
    "(x_i, y_j) at i + j*nx); a_values holds the 2x2 tensor row-major per node, b_values 2\n"
    "entries per node, c_values one.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[GridMismatch] a_values length L != expected N\" (likewise b_values, c_values),\n"
    "    \"[NanInf] a_values contains NaN or Inf\", the grid errors of each axis, kind\n"
    "    GridMismatch for fewer than 5^D nodes in all (D the dimension) and \"... diffusion tensor\n"
    "    not SPD at grid point\" for a tensor that is not positive definite.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> a = np.tile([1.0, 0.0, 0.0, 1.0], 9 * 9)               # the identity tensor at each node\n"
    ">>> s = quorvane.AnisotropicShiftND2(9, 9, 0.0, 1.0, 0.0, 1.0, a)\n"
    ">>> s.set_state(np.ones(81))\n"
    ">>> s.evolve(0.01, n_steps=5)\n"
    ">>> print(s.order(), bool(np.allclose(s.values(), 1.0)), s.values_2d().shape)\n"
    "1 True (9, 9)\n";

constexpr char kNd3Doc[] =
    "AnisotropicShiftND3(nx, ny, nz, xmin, xmax, ymin, ymax, zmin, zmax, a_values, *, b_values=None, "
    "c_values=None, boundary=\"reflect\")\n--\n\n"
    "Evolves du/dt = A(x):grad^2 u + b(x).grad u + c(x) u on a 3-D grid by the anisotropic shift step.\n\n"
    "As AnisotropicShiftND2 with the 125-point Gauss-Hermite product rule; node (x_i, y_j, z_k)\n"
    "at i + nx*(j + ny*k), a_values 9 entries (3x3 row-major) per node, b_values 3, c_values 1.\n"
    "Order 1; the state starts at zero.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> a = np.tile(np.eye(3).ravel(), 5 * 5 * 5)\n"
    ">>> s = quorvane.AnisotropicShiftND3(5, 5, 5, 0.0, 1.0, 0.0, 1.0, 0.0, 1.0, a)\n"
    ">>> s.set_state(np.ones(125))\n"
    ">>> s.evolve(0.01, n_steps=2)\n"
    ">>> print(s.order(), bool(np.allclose(s.values(), 1.0)))\n"
    "1 True\n";

constexpr char kSetStateDoc[] =
    "set_state($self, u0)\n--\n\n"
    "Replace the state by u0 (flat, x fastest; for AnisotropicShiftND2 also an (nx, ny) array),\n"
    "and the range the steps are clipped to by that of its read (see the class).\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[GridMismatch] u0 has shape (r, c), expected (nx, ny)\", \"[GridMismatch] u0 length L !=\n"
    "    expected N\", \"[NanInf] u0 contains NaN or Inf\"; the state is unchanged.\n";

constexpr char kValues2dDoc[] =
    "values_2d($self)\n--\n\nReturn the state as a new (nx, ny) array, element [i, j] at node (x_i, y_j).\n";

constexpr char kNdEvolveDoc[] =
    "evolve($self, t, n_steps=100)\n--\n\n"
    "Advance the state by time t in n_steps steps of t/n_steps, with the interpreter lock released.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n_steps must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\", kind\n"
    "    NanInf for a non-finite result;\n"
    QUORVANE_FAR_READS_COUNT_DOC
    "    The state is unchanged after a failure. t = 0 leaves the state as it is, bit for bit,\n"
    "    at once.\n";

constexpr char kNdValuesDoc[] = "values($self)\n--\n\nReturn a copy of the flat state.\n";
constexpr char kNdOrderDoc[] = "order($self)\n--\n\nReturn the order of the step in the number of steps, 1.\n";

template <>
ClassDef& ShiftNDObj<2>::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<ShiftNDObj<2>>("AnisotropicShiftND2", kNd2Doc);
        d.tp_new = constructor<ShiftNDObj<2>, kNd2Doc, &shift_nd_new<2>>();
        d.methods = {
            method<ShiftNDObj<2>, kSetStateDoc, &shift_nd_set_state<2>>(),
            method<ShiftNDObj<2>, kValues2dDoc, &shift_nd2_values_2d>(),
            method<ShiftNDObj<2>, kNdEvolveDoc, &shift_nd_evolve<2>>(),
            method<ShiftNDObj<2>, kNdValuesDoc, &shift_nd_values<2>>(),
            method<ShiftNDObj<2>, kNdOrderDoc, &shift_nd_order<2>>(),
        };
        return d;
    }();
    return def;
}

template <>
ClassDef& ShiftNDObj<3>::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<ShiftNDObj<3>>("AnisotropicShiftND3", kNd3Doc);
        d.tp_new = constructor<ShiftNDObj<3>, kNd3Doc, &shift_nd_new<3>>();
        d.methods = {
            method<ShiftNDObj<3>, kSetStateDoc, &shift_nd_set_state<3>>(),
            method<ShiftNDObj<3>, kNdEvolveDoc, &shift_nd_evolve<3>>(),
            method<ShiftNDObj<3>, kNdValuesDoc, &shift_nd_values<3>>(),
            method<ShiftNDObj<3>, kNdOrderDoc, &shift_nd_order<3>>(),
        };
        return d;
    }();
    return def;
}

// --- ObstacleNDV8 -------------------------------------------------------------------

struct ObstacleNDV8Obj {
    GridND<2> grid;
    double level = 0.0;
    std::size_t nx = 0, ny = 0;

    static ClassDef& class_def();
};

constexpr char kObstacleDoc[] =
    "ObstacleNDV8(xmin, xmax, nx, ymin, ymax, ny, level)\n--\n\n"
    "One projected heat step on a rectangle: du/dt = u_xx + u_yy with the obstacle u >= level.\n\n"
    "``apply(tau, v)`` returns max(level, S(tau) v), S the Gauss-Hermite shift step with identity\n"
    "diffusion (25 points, cubic interpolation, reflecting boundaries on both axes). The field\n"
    "is flat with x fastest (index j*nx + i), the Fortran-order ravel of an (nx, ny) array.\n"
    "The object keeps no state.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    \"[NanInf] domain bounds must be finite\", \"[OutOfDomain] domain_lo must be < domain_hi\",\n"
    "    \"[NanInf] level must be finite\", \"[GridMismatch] n must be >= 4 (septic Hermite stencil)\".\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = np.linspace(0.0, 1.0, 9)\n"
    ">>> X, Y = np.meshgrid(g, g, indexing=\"ij\")\n"
    ">>> V = np.cos(np.pi * X) * np.cos(np.pi * Y)\n"
    ">>> o = quorvane.ObstacleNDV8(0.0, 1.0, 9, 0.0, 1.0, 9, 0.0)\n"
    ">>> out = o.apply(0.01, V.ravel(order=\"F\"))\n"
    ">>> print(o.shape(), bool(out.min() >= 0.0))\n"
    "(9, 9) True\n";

constexpr char kApplyDoc[] =
    "apply($self, tau, v)\n--\n\n"
    "Return the field v after one projected step of size tau, as a new flat array.\n\n"
    "v is flat (nx*ny values, x fastest) or an (nx, ny) array, read in Fortran order.\n\n"
    "Raises\n------\n"
    "TypeError\n    \"v must be numpy.ndarray[float64]\".\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] tau must be finite and > 0\", \"[GridMismatch] v flat length does not match\n"
    "    grid size\", \"[GridMismatch] v length mismatch after ravel\", kind GridMismatch for\n"
    "    fewer than 25 nodes, kind NanInf for a non-finite result;\n"
    QUORVANE_FAR_READS_DOC("\"use tau <= ...\" (a = 1)");

constexpr char kShapeDoc[] = "shape($self)\n--\n\nReturn the grid shape (nx, ny).\n";

ObstacleNDV8Obj obstacle_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t nx = a.usize(2);
    const double ymin = a.f64(3), ymax = a.f64(4);
    const std::size_t ny = a.usize(5);
    const double level = a.f64(6);
    for (auto [lo, hi] : {std::pair{xmin, xmax}, std::pair{ymin, ymax}}) {
        if (!std::isfinite(lo) || !std::isfinite(hi)) py_err_with_kind("NanInf", "domain bounds must be finite");
        if (!(lo < hi)) py_err_with_kind("OutOfDomain", "domain_lo must be < domain_hi");
    }
    if (!std::isfinite(level)) py_err_with_kind("NanInf", "level must be finite");
    GridND<2> grid;
    grid.interp_kind = InterpKind::of(InterpTag::CubicHermite);
    // Reflect on both axes: the unit step then keeps a constant field constant.
    const BoundaryPolicy<double> reflect = BoundaryPolicy<double>::reflect();
    grid.axes[0] = grid_axis(reflect, xmin, xmax, nx, grid.interp_kind);
    grid.axes[1] = grid_axis(reflect, ymin, ymax, ny, grid.interp_kind);
    return ObstacleNDV8Obj{grid, level, nx, ny};
}

Ref obstacle_apply(const ObstacleNDV8Obj& self, const Args& a) {
    const double tau = a.f64(0);
    if (!std::isfinite(tau) || tau <= 0.0) py_err_with_kind("OutOfDomain", "tau must be finite and > 0");
    std::optional<std::vector<double>> v = a.raw(1) ? try_float_vector(a.raw(1)) : std::nullopt;
    if (v) {
        if (!length_matches(v->size(), {self.nx, self.ny})) {
            py_err_with_kind("GridMismatch", "v flat length does not match grid size");
        }
    } else {
        Ref flat = a.raw(1) ? ravel_fortran(a.raw(1)) : Ref();
        if (flat) v = try_float_vector(flat.get());
        if (!v) raise_type_error("v must be numpy.ndarray[float64]");
        if (!length_matches(v->size(), {self.nx, self.ny})) {
            py_err_with_kind("GridMismatch", "v length mismatch after ravel");
        }
    }
    const GridND<2> grid = self.grid;
    const double level = self.level;
    if (static_cast<bool>(shift_grid_check(grid))) {  // a smaller grid is refused as the step refuses it
        refuse_reads_beyond_grid("ObstacleNDV8", {StepCall::Form::StepOnly, 0.0, tau}, axes_spacing_text(grid),
                                 [&](double step) { return unit_shift_reads_located(grid, step); });
    }
    auto r = run_evolve([&]() -> Expected<std::vector<double>> {
        Expected<GridFnND<2>> u = GridFnND<2>::make(grid, std::move(*v));
        if (!u) return fail(u.error());
        // The unit step's own refusal of a grid below 5^2 nodes comes first.
        if (Status st = shift_grid_check(grid); !st) return fail(st.error());
        Expected<ConstantObstacle> floor = ConstantObstacle::make(level);
        if (!floor) return fail(floor.error());
        std::vector<double> out(u->values.size(), 0.0);
        if (Status st = unit_shift_apply_into(*u, out, tau); !st) return fail(st.error());
        if (Status st = floor->project_in_place(out); !st) return fail(st.error());
        return out;
    });
    return new_array_f64(unwrap(std::move(r)));
}

Ref obstacle_shape(const ObstacleNDV8Obj& self, const Args&) { return py_tuple({py_int(self.nx), py_int(self.ny)}); }

ClassDef& ObstacleNDV8Obj::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<ObstacleNDV8Obj>("ObstacleNDV8", kObstacleDoc);
        d.tp_new = constructor<ObstacleNDV8Obj, kObstacleDoc, &obstacle_new>();
        d.methods = {
            method<ObstacleNDV8Obj, kApplyDoc, &obstacle_apply>(),
            method<ObstacleNDV8Obj, kShapeDoc, &obstacle_shape>(),
        };
        return d;
    }();
    return def;
}

}  // namespace

PyTypeObject* anisotropic_shift_nd2_type_object() { return type_object<ShiftNDObj<2>>(); }
PyTypeObject* anisotropic_shift_nd3_type_object() { return type_object<ShiftNDObj<3>>(); }
PyTypeObject* obstacle_ndv8_type_object() { return type_object<ObstacleNDV8Obj>(); }

}  // namespace quorvane::py
