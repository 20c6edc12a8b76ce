// Python classes ResolventJumpV8, ResolventJump2DV8, ResolventJump3DV8 (one
// large heat step by contour quadrature of the resolvent) and Resolvent1D
// (the resolvent as the Laplace transform of heat steps).
#include <array>
#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/bounded/resolvent_jump.hpp"
#include "core/bounded/resolvent_jump_nd.hpp"
#include "core/bounded/resolvent_jump_nd_banded.hpp"
#include "core/bounded/resolvent_residual.hpp"
#include "core/foundation/format.hpp"
#include "python/evolver.hpp"

namespace quorvane::py {
namespace {

struct ResolventJumpV8Obj {
    ResolventJumpChernoff evaluator;
    static ClassDef& class_def();
};
struct ResolventJump2DV8Obj {
    ResolventJumpChernoff2D evaluator;
    static ClassDef& class_def();
};
struct ResolventJump3DV8Obj {
    ResolventJumpChernoff3D evaluator;
    static ClassDef& class_def();
};
struct Resolvent1DObj {
    LaplaceChernoffResolvent evaluator;
    std::size_t n = 0;
    std::size_t len() const { return n; }
    static ClassDef& class_def();
};

#define QV_JUMP_LIMITS                                                                                        \
    "Limits: every contour node carries a weight of size ~e^{0.1309 m_nodes}, and the nodes near the\n"      \
    "contour's vertex resolve the constant mode against grid modes up to 4S, S the sum over axes of\n"      \
    "1/h^2. The rounding, measured against exact solutions, is at most ~c eps e^{0.1309 m_nodes} t S /\n"    \
    "m_nodes^1.5 of max|g|, c <= 9 on small grids and up to ~14 along lines of 1000 nodes and more.\n"     \
    "t must lie in [m_nodes*1e-290, t_max], t_max S = min(1e9, 1e-6 m_nodes^1.25 / (5 eps\n"              \
    "e^{0.1309 m_nodes})), which keeps the rounding below ~1e-6 of max|g|: t_max S = 1e9 up to\n"          \
    "m_nodes = 32, 2.1e8 at 48, 3.7e7 at 64, 9.4e5 at 96, 2.1e4 at 128. m_nodes is capped at 128;\n"       \
    "24-48 nodes already reach the quadrature's accuracy (~1e-11 of max|g| at 24, ~1e-14 at 32).\n"        \
    "Both refusals are \"[OutOfDomain]\" and name the range for the object's m_nodes.\n"

constexpr char kJump1DDoc[] =
    "ResolventJumpV8(domain_lo, domain_hi, n_grid, m_nodes)\n--\n\n"
    "One large step e^{tA} g of unit diffusion with reflecting ends, without Chernoff steps.\n\n"
    "The semigroup is the inverse Laplace transform of the resolvent along a parabolic contour,\n"
    "taken by the midpoint rule with m_nodes nodes: one complex tridiagonal solve per node, cost\n"
    "independent of t. A is the three-point Laplacian with ghost-point reflecting ends (second\n"
    "order in h); constants stay constant.\n\n" QV_JUMP_LIMITS
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 101)\n"
    ">>> r = quorvane.ResolventJumpV8(0.0, 1.0, 101, 32)\n"
    ">>> u = r.jump(0.1, np.cos(np.pi * x))            # one call for any t, no steps\n"
    ">>> print(f\"{abs(u - np.exp(-np.pi**2 * 0.1) * np.cos(np.pi * x)).max():.0e}\")\n"
    "3e-05\n";

constexpr char kJump2DDoc[] =
    "ResolventJump2DV8(xmin, xmax, nx, ymin, ymax, ny, m_nodes)\n--\n\n"
    "One large step e^{tA} g of unit diffusion on a rectangle with reflecting faces.\n\n"
    "The contour quadrature of ResolventJumpV8 with a banded solve of the five-point Laplacian\n"
    "(ghost-point reflecting faces) per node. g is an (nx, ny) array or its Fortran-order ravel;\n"
    "the result is an (nx, ny) array in Fortran order. Cost per node O(nx^3 ny); the band holds\n"
    "nx*ny*(2nx+1) complex values and is capped at 16777216 (\"[OutOfDomain]\").\n\n" QV_JUMP_LIMITS
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = np.linspace(0.0, 1.0, 21)\n"
    ">>> X, Y = np.meshgrid(g, g, indexing=\"ij\")\n"
    ">>> U = np.cos(np.pi * X) * np.cos(np.pi * Y)\n"
    ">>> r = quorvane.ResolventJump2DV8(0.0, 1.0, 21, 0.0, 1.0, 21, 32)\n"
    ">>> V = r.jump(0.05, U.ravel(order=\"F\")).reshape((21, 21), order=\"F\")\n"
    ">>> print(r.shape(), f\"{abs(V - np.exp(-2 * np.pi**2 * 0.05) * U).max():.0e}\")\n"
    "(21, 21) 8e-04\n";

constexpr char kJump3DDoc[] =
    "ResolventJump3DV8(xmin, xmax, nx, ymin, ymax, ny, zmin, zmax, nz, m_nodes)\n--\n\n"
    "One large step e^{tA} g of unit diffusion on a box with reflecting faces.\n\n"
    "The contour quadrature of ResolventJumpV8 with a banded solve of the seven-point Laplacian\n"
    "(ghost-point reflecting faces) per node. g is an (nx, ny, nz) array or its Fortran-order\n"
    "ravel; the result is an (nx, ny, nz) array in Fortran order. The band holds\n"
    "nx*ny*nz*(2 nx ny+1) complex values and is capped at 16777216 (\"[OutOfDomain]\").\n\n" QV_JUMP_LIMITS
    "\n"
    "Examples\n"
    "--------\n"
    ">>> g = np.linspace(0.0, 1.0, 9)\n"
    ">>> X, Y, Z = np.meshgrid(g, g, g, indexing=\"ij\")\n"
    ">>> U = np.cos(np.pi * Y)\n"
    ">>> r = quorvane.ResolventJump3DV8(0.0, 1.0, 9, 0.0, 1.0, 9, 0.0, 1.0, 9, 32)\n"
    ">>> V = r.jump(0.05, U.ravel(order=\"F\")).reshape((9, 9, 9), order=\"F\")\n"
    ">>> print(r.shape(), bool(abs(V - np.exp(-np.pi**2 * 0.05) * U).max() < 1e-2))\n"
    "(9, 9, 9) True\n";

constexpr char kJumpDoc[] =
    "jump($self, t, g)\n--\n\n"
    "Return e^{tA} g as a new array; the object is unchanged.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n    \"[OutOfDomain] t must be finite and > 0\", t outside the range above, a length\n"
    "    mismatch (\"[GridMismatch]\"), non-finite g (\"[NanInf]\").\n"
    QUORVANE_BEYOND_RANGE_DOC;
constexpr char kSizeDoc[] = "size($self)\n--\n\nNumber of grid nodes.\n";
constexpr char kShapeDoc[] = "shape($self)\n--\n\nThe grid shape as a tuple of node counts.\n";
constexpr char kMNodesDoc[] = "m_nodes($self)\n--\n\nNumber of contour nodes.\n";

constexpr char kResolventDoc[] =
    "Resolvent1D(xmin, xmax, n, *, n_chernoff=32)\n--\n\n"
    "Resolvent R(lambda) g = (lambda - d^2/dx^2)^{-1} g of unit diffusion with reflecting ends.\n\n"
    "R(lambda) g = int_0^inf e^{-lambda t} S(t) g dt with S(t) replaced by n_chernoff heat steps and\n"
    "the integral by the 32-point Gauss-Laguerre rule (t = x/lambda); no matrix is formed.\n"
    "Window: the rule resolves modes of eigenvalue mu up to about 10 lambda at n_chernoff = 32;\n"
    "rougher g is damped wrongly, and ``residual`` is the check.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> x = np.linspace(0.0, 1.0, 101)\n"
    ">>> r = quorvane.Resolvent1D(0.0, 1.0, 101)\n"
    ">>> g = np.cos(np.pi * x)\n"
    ">>> u = r.eval(20.0, g)                      # (20 - d^2/dx^2)^{-1} cos(pi x) = cos(pi x) / (20 + pi^2)\n"
    ">>> print(f\"{abs(u - g / (20.0 + np.pi**2)).max():.0e}\", f\"{r.residual(20.0, g):.0e}\")\n"
    "2e-07 2e-05\n";

constexpr char kEvalDoc[] =
    "eval($self, lambda, g)\n--\n\n"
    "Return R(lambda) g as a new array (lambda finite and > 0).\n\n"
    "Raises\n------\nQuorvaneError\n"
    QUORVANE_BEYOND_RANGE_DOC;
constexpr char kResidualDoc[] =
    "residual($self, lambda, g)\n--\n\n"
    "Return max over interior nodes of |lambda R - D2 R - g| with D2 the three-point Laplacian.\n";

// The time range of a jump, refused with its bounds.
void check_jump_time(double t, std::uint64_t m_nodes, double s) {
    if (!(std::isfinite(t) && t > 0.0)) py_err_with_kind("OutOfDomain", "t must be finite and > 0");
    const JumpTimeRange r = jump_time_range(m_nodes, s);
    if (t < r.t_min || t > r.t_max)
        py_err_with_kind("OutOfDomain", "t must lie in [" + fmt_exp3(r.t_min) + ", " + fmt_exp3(r.t_max) +
                                            "] for m_nodes = " + std::to_string(m_nodes) +
                                            " on these spacings: outside it the rounding exceeds ~1e-6 of max|g|");
}

// A jump or a resolvent is linear in g: computed at g's unit scale
// (evolve_linear), where the contour's or the quadrature's sums of g neither
// overflow nor underflow; never NaN or inf as success.
template <class Fn>
Ref linear_in_g(const char* cls, std::span<const double> g, Fn&& fn) {
    return new_array_f64(evolve_linear(cls, g, std::forward<Fn>(fn)));
}

std::uint64_t checked_m_nodes(std::uint64_t m, const char* cls) {
    if (m > kMaxJumpNodes)
        unwrap(domain_error(cls, static_cast<double>(m)));
    return m;
}

void check_band(const char* cls, std::uint64_t nx, std::uint64_t ny, std::uint64_t nz) {
    const std::optional<std::uint64_t> count = band_value_count(nx, ny, nz);
    if (count && *count <= kMaxBandValues) return;
    const std::string shown = count ? std::to_string(*count) : std::string("more than 2^64");
    py_err_with_kind("OutOfDomain", std::string(cls) + ": the band needs " + shown +
                                        " complex values, above the cap of " + std::to_string(kMaxBandValues) +
                                        " (N*(2k+1), k = " + (nz ? "nx*ny" : "nx") + ")");
}

// g as a flat vector in node order: a flat float sequence, else its
// Fortran-order ravel.
std::vector<double> extract_jump_g(PyObject* g, std::size_t expected) {
    if (std::optional<std::vector<double>> v = try_float_vector(g)) {
        if (v->size() != expected) py_err_with_kind("GridMismatch", "g flat length does not match grid size");
        return std::move(*v);
    }
    Ref flat = ravel_fortran(g);
    std::optional<std::vector<double>> v = flat ? try_float_vector(flat.get()) : std::nullopt;
    if (!v) raise_type_error("g must be a numpy.ndarray[float64] or a sequence of floats");
    if (v->size() != expected) py_err_with_kind("GridMismatch", "g length does not match grid size after ravel");
    return std::move(*v);
}

constexpr char kM2[] = "ResolventJumpChernoff2D: m_nodes must be <= 128 (node weights grow like e^{0.1309 m_nodes})";

ResolventJumpV8Obj jump1d_new(const Args& a) {
    const double lo = a.f64(0), hi = a.f64(1);
    const std::size_t n = a.usize(2);
    const std::uint64_t m = a.u64(3);
    const Grid1D<double> grid = unwrap(jump_axis(lo, hi, n));
    return {unwrap(ResolventJumpChernoff::make(grid, m))};
}

Ref jump1d(const ResolventJumpV8Obj& self, const Args& a) {
    const double t = a.f64(0);
    check_jump_time(t, self.evaluator.m_nodes, self.evaluator.laplacian_scale());
    std::optional<std::vector<double>> g = try_float_vector(a.raw(1));
    if (!g) raise_type_error("g must be a numpy.ndarray[float64] or a sequence of floats");
    if (g->size() != self.evaluator.grid.n) py_err_with_kind("GridMismatch", "len(g) must equal n_grid");
    const ResolventJumpChernoff ev = self.evaluator;
    return linear_in_g("ResolventJumpV8", *g, [&](std::vector<double> v) { return ev.jump(t, std::move(v)); });
}

ResolventJump2DV8Obj jump2d_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t nx = a.usize(2);
    const double ymin = a.f64(3), ymax = a.f64(4);
    const std::size_t ny = a.usize(5);
    const std::uint64_t m = a.u64(6);
    const Grid1D<double> gx = unwrap(jump_axis(xmin, xmax, nx));
    const Grid1D<double> gy = unwrap(jump_axis(ymin, ymax, ny));
    if (m < 6) unwrap(domain_error("ResolventJumpChernoff2D: m_nodes must be >= 6", static_cast<double>(m)));
    checked_m_nodes(m, kM2);
    check_band("ResolventJump2DV8", nx, ny, 0);
    return {ResolventJumpChernoff2D{gx, gy, m}};
}

ResolventJump3DV8Obj jump3d_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t nx = a.usize(2);
    const double ymin = a.f64(3), ymax = a.f64(4);
    const std::size_t ny = a.usize(5);
    const double zmin = a.f64(6), zmax = a.f64(7);
    const std::size_t nz = a.usize(8);
    const std::uint64_t m = a.u64(9);
    ResolventJumpChernoff3D ev =
        unwrap(ResolventJumpChernoff3D::make(xmin, xmax, nx, ymin, ymax, ny, zmin, zmax, nz, m));
    check_band("ResolventJump3DV8", nx, ny, nz);
    return {ev};
}

template <class Obj>
Ref jump_nd(const Obj& self, const Args& a, std::vector<std::size_t> shape) {
    const double t = a.f64(0);
    check_jump_time(t, self.evaluator.m_nodes, self.evaluator.laplacian_scale());
    std::size_t total = 1;
    for (std::size_t d : shape) total *= d;  // bounded by the band cap
    std::vector<double> g = extract_jump_g(a.raw(1), total);
    const auto ev = self.evaluator;
    Ref flat = linear_in_g(Obj::class_def().name, g, [&](std::vector<double> v) { return ev.jump(t, v); });
    return reshape_fortran(flat, shape);
}

Ref jump2d(const ResolventJump2DV8Obj& self, const Args& a) {
    return jump_nd(self, a, {self.evaluator.x.n, self.evaluator.y.n});
}
Ref jump3d(const ResolventJump3DV8Obj& self, const Args& a) {
    return jump_nd(self, a, {self.evaluator.x.n, self.evaluator.y.n, self.evaluator.z.n});
}

Ref size1d(const ResolventJumpV8Obj& self, const Args&) { return py_int(self.evaluator.grid.n); }
Ref shape2d(const ResolventJump2DV8Obj& self, const Args&) {
    return py_tuple({py_int(self.evaluator.x.n), py_int(self.evaluator.y.n)});
}
Ref shape3d(const ResolventJump3DV8Obj& self, const Args&) {
    return py_tuple({py_int(self.evaluator.x.n), py_int(self.evaluator.y.n), py_int(self.evaluator.z.n)});
}
template <class Obj>
Ref m_nodes_of(const Obj& self, const Args&) { return py_int(self.evaluator.m_nodes); }

Resolvent1DObj resolvent_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const std::size_t n_chernoff = a.usize_or(3, 32);
    const Grid1D<double> grid = unwrap(jump_axis(xmin, xmax, n));
    return {unwrap(LaplaceChernoffResolvent::make(grid, n_chernoff)), n};
}

// The shared front of eval and residual: lambda, g converted and finite,
// the length.
std::vector<double> resolvent_g(const Resolvent1DObj& self, const Args& a, double& lambda) {
    lambda = a.f64(0);
    std::vector<double> g = extract_u0_vec(a.raw(1));
    if (const double* bad = first_non_finite<double>(g)) unwrap(domain_error("u0 contains NaN or Inf", *bad));
    if (g.size() != self.n) unwrap(domain_error("values.len() must equal grid.n", static_cast<double>(g.size())));
    if (const std::optional<double> least = self.evaluator.least_lambda_if_refused(lambda)) {
        py_err_with_kind("OutOfDomain",
                         "Resolvent1D: lambda = " + exact_time(lambda) + " is below " + fmt_exp3(*least) +
                             ", the least lambda served on this grid (n_chernoff = " +
                             std::to_string(self.evaluator.n_chernoff) +
                             "): below it the reads of the quadrature's longest heat step, x_31/(lambda n_chernoff) "
                             "with x_31 = 111.75, lie more than 2^53 cells beyond the end nodes, where no cell can be "
                             "told apart from its neighbour, or beyond the double range");
    }
    return g;
}

Ref resolvent_eval(const Resolvent1DObj& self, const Args& a) {
    double lambda = 0.0;
    const std::vector<double> g = resolvent_g(self, a, lambda);
    const LaplaceChernoffResolvent ev = self.evaluator;
    return linear_in_g("Resolvent1D", g, [&](std::vector<double> v) { return ev.apply_into(lambda, v); });
}

Ref resolvent_residual(const Resolvent1DObj& self, const Args& a) {
    double lambda = 0.0;
    const std::vector<double> g = resolvent_g(self, a, lambda);
    const LaplaceChernoffResolvent ev = self.evaluator;
    const double r = compute([&]() -> Expected<double> {
        if (!(std::isfinite(lambda) && lambda > 0.0)) return domain_error(kLambdaMessage, lambda);
        auto rg = ev.apply_into(lambda, g);
        if (!rg) return fail(rg.error());
        return verify_residual(lambda, *rg, g, ev.kernel.grid.dx());
    });
    return py_float(r);
}

}  // namespace

ClassDef& ResolventJumpV8Obj::class_def() {
    static ClassDef def = [] {
        using O = ResolventJumpV8Obj;
        ClassDef d = class_def_base<O>("ResolventJumpV8", kJump1DDoc);
        d.tp_new = constructor<O, kJump1DDoc, &jump1d_new>();
        d.methods = {method<O, kJumpDoc, &jump1d>(), method<O, kSizeDoc, &size1d>(),
                     method<O, kMNodesDoc, &m_nodes_of<O>>()};
        return d;
    }();
    return def;
}

ClassDef& ResolventJump2DV8Obj::class_def() {
    static ClassDef def = [] {
        using O = ResolventJump2DV8Obj;
        ClassDef d = class_def_base<O>("ResolventJump2DV8", kJump2DDoc);
        d.tp_new = constructor<O, kJump2DDoc, &jump2d_new>();
        d.methods = {method<O, kJumpDoc, &jump2d>(), method<O, kShapeDoc, &shape2d>(),
                     method<O, kMNodesDoc, &m_nodes_of<O>>()};
        return d;
    }();
    return def;
}

ClassDef& ResolventJump3DV8Obj::class_def() {
    static ClassDef def = [] {
        using O = ResolventJump3DV8Obj;
        ClassDef d = class_def_base<O>("ResolventJump3DV8", kJump3DDoc);
        d.tp_new = constructor<O, kJump3DDoc, &jump3d_new>();
        d.methods = {method<O, kJumpDoc, &jump3d>(), method<O, kShapeDoc, &shape3d>(),
                     method<O, kMNodesDoc, &m_nodes_of<O>>()};
        return d;
    }();
    return def;
}

ClassDef& Resolvent1DObj::class_def() {
    static ClassDef def = [] {
        using O = Resolvent1DObj;
        ClassDef d = class_def_base<O>("Resolvent1D", kResolventDoc);
        d.tp_new = constructor<O, kResolventDoc, &resolvent_new>();
        d.methods = {method<O, kEvalDoc, &resolvent_eval>(), method<O, kResidualDoc, &resolvent_residual>()};
        return d;
    }();
    return def;
}

PyTypeObject* resolvent_jump_v8_type_object() { return type_object<ResolventJumpV8Obj>(); }
PyTypeObject* resolvent_jump2d_v8_type_object() { return type_object<ResolventJump2DV8Obj>(); }
PyTypeObject* resolvent_jump3d_v8_type_object() { return type_object<ResolventJump3DV8Obj>(); }
PyTypeObject* resolvent1d_type_object() { return type_object<Resolvent1DObj>(); }

}  // namespace quorvane::py
