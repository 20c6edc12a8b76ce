// Python classes MatrixDiffusion1D, MatrixDiffusion2D and MatrixDiffusion3D: the
// coupled pair du/dt = a_diag u'' + [[0, c], [c, 0]] u on a line, a rectangle or
// a box.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/foundation/format.hpp"
#include "core/foundation/numeric.hpp"
#include "core/multid/matrix_diffusion.hpp"
#include "core/multid/sizes.hpp"
#include "python/array.hpp"
#include "python/evolver.hpp"
#include "python/frame.hpp"
#include "python/multid/grid_args.hpp"

namespace quorvane::py {
namespace {

template <std::size_t D>
struct MatrixDiffusionObj {
    std::array<Grid1D<double>, D> axes;
    double a_diag = 1.0;
    double c_coupling = 0.0;
    std::vector<double> values;  // node-major, the two components adjacent

    std::size_t count(std::size_t d) const { return axes[d].n; }
    std::size_t len() const
        requires(D == 1)
    {
        return axes[0].n;
    }
    std::string repr() const;
    static ClassDef& class_def();
};

template <>
std::string MatrixDiffusionObj<1>::repr() const {
    return "MatrixDiffusion1D(n=" + std::to_string(axes[0].n) + ", M=2, a_diag=" + fmt_fixed3(a_diag) +
           ", c_coupling=" + fmt_fixed3(c_coupling) + ", order=2)";
}
template <>
std::string MatrixDiffusionObj<2>::repr() const {
    return "MatrixDiffusion2D(nx=" + std::to_string(axes[0].n) + ", ny=" + std::to_string(axes[1].n) +
           ", M=2, a_diag=" + fmt_fixed3(a_diag) + ", c_coupling=" + fmt_fixed3(c_coupling) + ", order=2)";
}
template <>
std::string MatrixDiffusionObj<3>::repr() const {
    return "MatrixDiffusion3D(nx=" + std::to_string(axes[0].n) + ", ny=" + std::to_string(axes[1].n) +
           ", nz=" + std::to_string(axes[2].n) + ", M=2, a_diag=" + fmt_fixed3(a_diag) + ", order=2)";
}

void check_a_diag(double a_diag) {
    if (!std::isfinite(a_diag) || !(a_diag > 0.0)) py_err_with_kind("OutOfDomain", "a_diag must be finite and > 0");
}

// u0: a float sequence of 2 * prod(counts) finite values.
std::vector<double> pair_u0(PyObject* o, std::initializer_list<std::size_t> counts, const char* middle) {
    std::vector<double> u0 = float_seq_or_type_error(o, "u0 must be a float64 array");
    check_length(u0.size(), counts, "u0 length ", middle);
    if (first_non_finite<double>(u0)) py_err_with_kind("NanInf", "u0 contains NaN or Inf");
    return u0;
}

MatrixDiffusionObj<1> md1_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t n = a.usize(2);
    const double a_diag = a.f64_or(4, 1.0), c = a.f64_or(5, 0.0);
    if (n < 5) py_err_with_kind("OutOfDomain", "n must be >= 5 (block-CN stencil)");
    check_a_diag(a_diag);
    std::vector<double> u0 = pair_u0(a.raw(3), {2, n}, ", expected 2*n=");
    const Grid1D<double> x = grid_axis(BoundaryPolicy<double>{}, xmin, xmax, n);
    unwrap(MatrixDiffusionChernoff::make(x, a_diag, c));
    return MatrixDiffusionObj<1>{{x}, a_diag, c, std::move(u0)};
}

MatrixDiffusionObj<2> md2_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t nx = a.usize(2);
    const double ymin = a.f64(3), ymax = a.f64(4);
    const std::size_t ny = a.usize(5);
    const double a_diag = a.f64_or(7, 1.0), c = a.f64_or(8, 0.0);
    if (nx < 5) py_err_with_kind("OutOfDomain", "nx must be >= 5");
    if (ny < 5) py_err_with_kind("OutOfDomain", "ny must be >= 5");
    check_a_diag(a_diag);
    std::vector<double> u0 = pair_u0(a.raw(6), {2, nx, ny}, ", expected 2*nx*ny=");
    const BoundaryPolicy<double> policy{};
    const Grid1D<double> x = grid_axis(policy, xmin, xmax, nx);
    const Grid1D<double> y = grid_axis(policy, ymin, ymax, ny);
    unwrap(MatrixDiffusionChernoff::make(x, a_diag, c));
    return MatrixDiffusionObj<2>{{x, y}, a_diag, c, std::move(u0)};
}

MatrixDiffusionObj<3> md3_new(const Args& a) {
    const double xmin = a.f64(0), xmax = a.f64(1);
    const std::size_t nx = a.usize(2);
    const double ymin = a.f64(3), ymax = a.f64(4);
    const std::size_t ny = a.usize(5);
    const double zmin = a.f64(6), zmax = a.f64(7);
    const std::size_t nz = a.usize(8);
    const double a_diag = a.f64_or(10, 1.0), c = a.f64_or(11, 0.0);
    if (nx < 5) py_err_with_kind("OutOfDomain", "nx must be >= 5");
    if (ny < 5) py_err_with_kind("OutOfDomain", "ny must be >= 5");
    check_a_diag(a_diag);
    if (nz < 5) py_err_with_kind("OutOfDomain", "nz must be >= 5");
    std::vector<double> u0 = pair_u0(a.raw(9), {2, nx, ny, nz}, ", expected 2*nx*ny*nz=");
    const BoundaryPolicy<double> policy{};
    const Grid1D<double> x = grid_axis(policy, xmin, xmax, nx);
    const Grid1D<double> y = grid_axis(policy, ymin, ymax, ny);
    const Grid1D<double> z = grid_axis(policy, zmin, zmax, nz);
    unwrap(MatrixDiffusionChernoff::make(x, a_diag, c));
    return MatrixDiffusionObj<3>{{x, y, z}, a_diag, c, std::move(u0)};
}

// n_steps steps of t/n_steps. Every axis kernel carries c/D: each of the D
// axis legs applies its own reaction, so the coupling acts once per step in
// total (c/D is exact for the 1-D kernel, D = 1).
template <std::size_t D>
Expected<std::vector<double>> md_steps(const MatrixDiffusionObj<D>& o, double t, std::size_t n_steps) {
    const double c_axis = o.c_coupling / static_cast<double>(D);
    std::array<MatrixDiffusionChernoff, D> k;
    for (std::size_t d = 0; d < D; ++d) {
        Expected<MatrixDiffusionChernoff> kd = MatrixDiffusionChernoff::make(o.axes[d], o.a_diag, c_axis);
        if (!kd) return fail(kd.error());
        k[d] = std::move(*kd);
    }
    const double tau = t / static_cast<double>(n_steps);
    std::vector<double> values = o.values;
    if (Status st = matrix_diffusion_steps(k, values, n_steps, tau); !st) return fail(st.error());
    return values;
}

// The coupling's eigenvalues are +-c: a reaction half step scales the 2-norm
// of the values by e^{|c| h} at most, and the diffusion step is a 2-norm
// contraction (the mirror Laplacian is symmetric) whose solve stays within
// 3 max|w|. No stage of a call of t then leaves 3 e^{|c| t} |u0|_2, and
// |u0|_2 <= sqrt(2N) max|u0|. The longest such t that keeps it below 1e300
// (below the largest double by 8 sqrt(2N) for data within 1e10 of 1e300),
// or 0 where none does.
double coupling_longest_t(std::span<const double> values, double c) {
    const double top = largest_abs(values);
    if (top <= 1e290) return floor_4_digits(std::log(1e300 / std::fmax(top, 1.0)) / std::fabs(c));
    const double margin = 8.0 * std::sqrt(static_cast<double>(values.size()));
    const double room = std::numeric_limits<double>::max() / margin / top;
    return room > 1.0 ? floor_4_digits(std::log(room) / std::fabs(c)) : 0.0;
}

// A result beyond the range also at u0 scaled down to 2^-960, or a reaction
// factor that is itself beyond it: names the time that keeps this u0 within
// the range, or, for data too close to the range's top for any, the time
// that keeps the same data scaled down to max|u0| <= 1 within it.
[[noreturn]] void raise_coupling_overflow(const char* cls, std::span<const double> values, double c, double t) {
    const double ct = std::fabs(c) * t;
    const std::string grows =
        std::isfinite(ct) ? "|c| t = " + fmt_exp3(ct)
                          : "|c| t lies beyond the double range (|c| = " + fmt_exp3(std::fabs(c)) + ", t = " + fmt_exp3(t) + ")";
    const double longest = coupling_longest_t(values, c);
    const std::string passes =
        longest > 0.0 ? "t <= " + fmt_exp3(longest) + " keeps it within the range for this u0"
                      : "t <= " + fmt_exp3(floor_4_digits(std::log(1e300) / std::fabs(c))) +
                            " keeps the same data scaled down to max|u0| <= 1 within it";
    py_err_with_kind("NanInf", std::string(cls) + ": the result lies beyond the double range at every scale of u0: "
                                                  "the coupling grows max|u| like e^{|c| t}, and " + grows + "; " +
                                   passes);
}

// Before any work: a coupling that is not finite, and steps whose reaction
// factor exp(h C) (h the half of every leg's step, C with the axis' share
// of c) is not finite, which no scale of u0 brings back into the range.
template <std::size_t D>
void refuse_reaction_beyond_range(const char* cls, const MatrixDiffusionObj<D>& o, double t, std::size_t n_steps) {
    const double c = o.c_coupling;
    if (!std::isfinite(c)) {
        py_err_with_kind("NanInf", std::string(cls) + ": c_coupling = " + fmt_exp3(c) +
                                       " is not finite, and so is no reaction factor exp((tau/2) C) of a step");
    }
    const double c_axis = c / static_cast<double>(D);
    const double tau = t / static_cast<double>(n_steps);
    const Mat2 coupling{0.0, c_axis, c_axis, 0.0};
    // Leg steps tau (the last axis) and tau/2 (the others), each halved.
    for (double h : {tau / 2.0, tau / 4.0}) {
        const Mat2 r = reaction_factor({h * coupling[0], h * coupling[1], h * coupling[2], h * coupling[3]});
        for (double e : r)
            if (!std::isfinite(e)) raise_coupling_overflow(cls, o.values, c, t);
        if (D == 1) break;
    }
}

template <std::size_t D>
Ref md_evolve(MatrixDiffusionObj<D>& self, const Args& a) {
    const double t = a.f64(0);
    const std::size_t n_steps = a.usize_or(1, 100);
    if (n_steps == 0) py_err_with_kind("OutOfDomain", "n_steps must be >= 1");
    if (!finite_nonneg(t)) py_err_with_kind("OutOfDomain", "t must be finite and >= 0");
    const MatrixDiffusionObj<D>& obj = self;
    const char* cls = MatrixDiffusionObj<D>::class_def().name;
    refuse_reaction_beyond_range(cls, obj, t, n_steps);
    // top_out > 0: the result lies beyond the range, the steps taking u0
    // scaled down to max|u| = top_in to top_out, and to a finite result
    // from max|u0| = passes on; at_every_scale: beyond it also scaled down.
    double top_in = 0.0, top_out = 0.0, passes = 0.0;
    bool at_every_scale = false;
    auto r = run_evolve([&]() -> Expected<std::vector<double>> {
        Expected<std::vector<double>> out = md_steps(obj, t, n_steps);
        if (!out || all_finite(*out)) return out;
        // The steps are linear: on u0 2^-e (exact) their result is the
        // result 2^-e, and every intermediate too.
        auto finite_at = [&](int e, double* top) {
            MatrixDiffusionObj<D> scaled = obj;
            scale_by_power_of_two(scaled.values, -e);
            Expected<std::vector<double>> again = md_steps(scaled, t, n_steps);
            if (!again || !all_finite(*again)) return false;
            if (top) *top = largest_abs(*again);
            return true;
        };
        const int deepest = retry_exponent(obj.values);
        if (!finite_at(deepest, &top_out)) {
            at_every_scale = obj.c_coupling != 0.0;
            return out;
        }
        top_in = std::ldexp(largest_abs(obj.values), -deepest);
        // The least exponent whose result fits passes unless an
        // intermediate grows beyond the result; u0 itself (e = 0) fails.
        const int fits = deepest + static_cast<int>(std::ceil(std::log2(top_out / std::numeric_limits<double>::max())));
        const int e = least_passing_exponent(0, deepest, fits, [&](int k) { return finite_at(k, nullptr); });
        passes = floor_4_digits(std::ldexp(largest_abs(obj.values), -e) * (1.0 - 0x1p-40));
        return out;
    });
    if (top_out > 0.0) raise_result_overflow(cls, obj.values, top_in, top_out, passes);
    if (at_every_scale) raise_coupling_overflow(cls, obj.values, obj.c_coupling, t);
    self.values = unwrap(std::move(r));
    return none();
}

template <std::size_t D>
Ref md_values(const MatrixDiffusionObj<D>& self, const Args&) {
    return new_array_f64(self.values);
}

template <std::size_t D>
Ref md_order(const MatrixDiffusionObj<D>&, const Args&) {
    return py_int(2);
}

constexpr char kMd1Doc[] =
    "MatrixDiffusion1D(xmin, xmax, n, u0, *, a_diag=1.0, c_coupling=0.0)\n--\n\n"
    "Coupled pair du/dt = a_diag * u'' + C u on [xmin, xmax], C = [[0, c], [c, 0]], c = c_coupling.\n\n"
    "One step of size τ is the palindromic Strang composition R(τ/2) ∘ D(τ) ∘ R(τ/2):\n"
    "R the reaction exp((τ/2) C) in closed form at every node, D one Crank-Nicolson step of\n"
    "the diffusion. D is solved per component by a Thomas elimination kept in averaging form,\n"
    "exact to rounding at every step length up to t = 1.7e308 (no step-size limit, a constant\n"
    "kept bit for bit; a long step is Crank-Nicolson's, which turns the fast modes' sign).\n"
    "Second order in time. The ends use mirror ghosts w[-1] = w[0], w[n] = w[n-1], which put the\n"
    "wall half a cell beyond the end nodes: next to a wall the spatial error is O(dx).\n\n"
    "The state is flat: component i of node k at index k*2 + i.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax : float\n    Ends of the interval; finite, xmin < xmax.\n"
    "n : int\n    Number of nodes, at least 5.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    2*n finite values.\n"
    "a_diag : float, optional\n    Diffusion coefficient, finite and > 0 (default 1.0).\n"
    "c_coupling : float, optional\n    Coupling c (default 0.0).\n\n"
    "Raises\n------\n"
    "TypeError\n    \"u0 must be a float64 array\".\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] n must be >= 5 (block-CN stencil)\", \"[OutOfDomain] a_diag must be finite\n"
    "    and > 0\", \"[GridMismatch] u0 length L, expected 2*n=N\", \"[NanInf] u0 contains NaN or\n"
    "    Inf\" and the grid errors.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> n, dx = 41, 1.0 / 40\n"
    ">>> x = np.linspace(0.0, 1.0, n)\n"
    ">>> k = np.pi / (1.0 + dx)                      # the walls sit half a cell beyond the end nodes\n"
    ">>> mode, lam = np.cos(k * (x + dx / 2)), (2.0 - 2.0 * np.cos(k * dx)) / dx**2\n"
    ">>> w = np.column_stack([mode, np.zeros(n)]).ravel()   # interleaved: node i at 2i (u), 2i + 1 (v)\n"
    ">>> m = quorvane.MatrixDiffusion1D(0.0, 1.0, n, w, c_coupling=1.0)\n"
    ">>> m.evolve(0.1, n_steps=20)\n"
    ">>> s = m.values().reshape(n, 2).sum(axis=1)           # u + v solves s_t = s'' + s\n"
    ">>> print(m.order(), f\"{abs(s - np.exp((1.0 - lam) * 0.1) * mode).max():.0e}\")\n"
    "2 7e-05\n";

constexpr char kMd2Doc[] =
    "MatrixDiffusion2D(xmin, xmax, nx, ymin, ymax, ny, u0, *, a_diag=1.0, c_coupling=0.0)\n--\n\n"
    "Coupled pair du/dt = a_diag * (u_xx + u_yy) + C u on a rectangle, C = [[0, c], [c, 0]].\n\n"
    "One step of size τ is the splitting Lx(τ/2) Ly(τ) Lx(τ/2) of the 1-D coupled step\n"
    "R(τ/2) ∘ D(τ) ∘ R(τ/2) along every row and column (second order). Each axis carries\n"
    "the coupling c/2, so that the two axes together apply C once per step. The mirror ghost\n"
    "ends put each wall half a cell beyond the end nodes (spatial error O(dx) next to a wall).\n"
    "Every line solve is exact to rounding at any step length (a constant is kept bit for bit).\n\n"
    "The state is flat: component c of node (i, j) at index (j*nx + i)*2 + c.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax, ymin, ymax : float\n    Bounds of each axis; finite, min < max.\n"
    "nx, ny : int\n    Node counts, at least 5 each.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    2*nx*ny finite values.\n"
    "a_diag : float, optional\n    Diffusion coefficient, finite and > 0 (default 1.0).\n"
    "c_coupling : float, optional\n    Coupling c (default 0.0).\n\n"
    "Raises\n------\n"
    "TypeError\n    \"u0 must be a float64 array\".\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] nx must be >= 5\" (likewise ny), \"[OutOfDomain] a_diag must be finite\n"
    "    and > 0\", \"[GridMismatch] u0 length L, expected 2*nx*ny=N\", \"[NanInf] u0 contains NaN\n"
    "    or Inf\" and the grid errors (the y axis reports with the x-axis texts).\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> n, dx = 21, 1.0 / 20\n"
    ">>> g = np.linspace(0.0, 1.0, n)\n"
    ">>> k = np.pi / (1.0 + dx)                      # the walls sit half a cell beyond the end nodes\n"
    ">>> X, Y = np.meshgrid(g, g, indexing=\"ij\")\n"
    ">>> U, lam = np.cos(k * (X + dx / 2)), (2.0 - 2.0 * np.cos(k * dx)) / dx**2\n"
    ">>> w = np.column_stack([U.ravel(order=\"F\"), np.zeros(n * n)]).ravel()   # node (i, j) at (j*nx + i)*2\n"
    ">>> m = quorvane.MatrixDiffusion2D(0.0, 1.0, n, 0.0, 1.0, n, w, c_coupling=1.0)\n"
    ">>> m.evolve(0.1, n_steps=20)\n"
    ">>> S = m.values().reshape(-1, 2).sum(axis=1).reshape((n, n), order=\"F\")\n"
    ">>> print(m.order(), f\"{abs(S - np.exp((1.0 - lam) * 0.1) * U).max():.0e}\")\n"
    "2 2e-05\n";

constexpr char kMd3Doc[] =
    "MatrixDiffusion3D(xmin, xmax, nx, ymin, ymax, ny, zmin, zmax, nz, u0, *, a_diag=1.0, c_coupling=0.0)\n--\n\n"
    "Coupled pair du/dt = a_diag * (u_xx + u_yy + u_zz) + C u on a box, C = [[0, c], [c, 0]].\n\n"
    "One step of size τ is the palindromic 5-leg splitting Lx(τ/2) Ly(τ/2) Lz(τ) Ly(τ/2) Lx(τ/2)\n"
    "of the 1-D coupled step along every line (second order). Each axis carries the\n"
    "coupling c/3, so that the three axes together apply C once per step. The mirror ghost ends\n"
    "put each wall half a cell beyond the end nodes (spatial error O(dx) next to a wall).\n"
    "Every line solve is exact to rounding at any step length (a constant is kept bit for bit).\n\n"
    "The state is flat: component c of node (i, j, k) at index ((k*ny + j)*nx + i)*2 + c.\n\n"
    "Parameters\n----------\n"
    "xmin, xmax, ymin, ymax, zmin, zmax : float\n    Bounds of each axis; finite, min < max.\n"
    "nx, ny, nz : int\n    Node counts, at least 5 each.\n"
    "u0 : numpy.ndarray[float64] or sequence of float\n    2*nx*ny*nz finite values.\n"
    "a_diag : float, optional\n    Diffusion coefficient, finite and > 0 (default 1.0).\n"
    "c_coupling : float, optional\n    Coupling c (default 0.0).\n\n"
    "Raises\n------\n"
    "TypeError\n    \"u0 must be a float64 array\".\n"
    "QuorvaneError\n"
    "    \"[OutOfDomain] nx must be >= 5\" (likewise ny, nz), \"[OutOfDomain] a_diag must be\n"
    "    finite and > 0\", \"[GridMismatch] u0 length L, expected 2*nx*ny*nz=N\", \"[NanInf] u0\n"
    "    contains NaN or Inf\" and the grid errors.\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> n, dx = 9, 1.0 / 8\n"
    ">>> g = np.linspace(0.0, 1.0, n)\n"
    ">>> k = np.pi / (1.0 + dx)\n"
    ">>> X, Y, Z = np.meshgrid(g, g, g, indexing=\"ij\")\n"
    ">>> U, lam = np.cos(k * (Z + dx / 2)), (2.0 - 2.0 * np.cos(k * dx)) / dx**2\n"
    ">>> w = np.column_stack([U.ravel(order=\"F\"), U.ravel(order=\"F\")]).ravel()   # u = v at every node\n"
    ">>> m = quorvane.MatrixDiffusion3D(0.0, 1.0, n, 0.0, 1.0, n, 0.0, 1.0, n, w, c_coupling=0.5)\n"
    ">>> m.evolve(0.05, n_steps=10)\n"
    ">>> S = m.values().reshape(-1, 2).sum(axis=1).reshape((n, n, n), order=\"F\")\n"
    ">>> print(m.order(), f\"{abs(S - 2 * np.exp((0.5 - lam) * 0.05) * U).max():.0e}\")\n"
    "2 7e-05\n";

constexpr char kMd1EvolveDoc[] =
    "evolve($self, t, n_steps=100)\n--\n\n"
    "Advance the state by time t using n_steps Chernoff iterations, with the GIL released.\n\n"
    "The state is replaced only when the whole evolution succeeded.\n\n"
    "Raises\n------\n"
    "QuorvaneError\n"
    "    Kind OutOfDomain for n_steps == 0, t < 0 or a non-finite t; kind NanInf when the result\n"
    "    lies beyond the double range, naming a max|u0| of the same data that stays within it,\n"
    "    or, where the coupling's growth e^{|c| t} leaves it at every scale of u0 (or a step's\n"
    "    reaction factor is not finite, refused before the steps), the t that keeps it within;\n"
    "    kind NanInf for a c_coupling that is not finite.\n";

constexpr char kMdEvolveDoc[] =
    "evolve($self, t, n_steps=100)\n--\n\n"
    "Advance the state by time t using n_steps Chernoff iterations, with the GIL released.\n\n"
    "The state is replaced only when the whole evolution succeeded; \"[OutOfDomain] n_steps\n"
    "must be >= 1\", \"[OutOfDomain] t must be finite and >= 0\", kind NanInf for a result\n"
    "beyond the double range, naming a max|u0| of the same data that stays within it, or, where\n"
    "the coupling's growth e^{|c| t} leaves it at every scale of u0 (or a step's reaction factor\n"
    "is not finite, refused before the steps), the t that keeps it within; kind NanInf for a\n"
    "c_coupling that is not finite. Every step length is served: the line solves are exact to\n"
    "rounding at any step.\n";

constexpr char kMd1ValuesDoc[] =
    "values($self)\n--\n\n"
    "Return a copy of the state, of length 2*n: component i of grid point k at index k*2 + i\n"
    "(component-inner).\n";
constexpr char kMd2ValuesDoc[] =
    "values($self)\n--\n\nReturn the state as a flat float64 array of length 2*nx*ny.\n";
constexpr char kMd3ValuesDoc[] =
    "values($self)\n--\n\nReturn the state as a flat float64 array of length 2*nx*ny*nz.\n";

constexpr char kMd1OrderDoc[] =
    "order($self)\n--\n\nReturn the approximation order, always 2 (palindromic Strang).\n";
constexpr char kMdOrderDoc[] = "order($self)\n--\n\nReturn the approximation order, always 2.\n";

template <>
ClassDef& MatrixDiffusionObj<1>::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<MatrixDiffusionObj<1>>("MatrixDiffusion1D", kMd1Doc);
        d.tp_new = constructor<MatrixDiffusionObj<1>, kMd1Doc, &md1_new>();
        d.methods = {
            method<MatrixDiffusionObj<1>, kMd1EvolveDoc, &md_evolve<1>>(),
            method<MatrixDiffusionObj<1>, kMd1ValuesDoc, &md_values<1>>(),
            method<MatrixDiffusionObj<1>, kMd1OrderDoc, &md_order<1>>(),
        };
        return d;
    }();
    return def;
}

template <>
ClassDef& MatrixDiffusionObj<2>::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<MatrixDiffusionObj<2>>("MatrixDiffusion2D", kMd2Doc);
        d.tp_new = constructor<MatrixDiffusionObj<2>, kMd2Doc, &md2_new>();
        d.methods = {
            method<MatrixDiffusionObj<2>, kMdEvolveDoc, &md_evolve<2>>(),
            method<MatrixDiffusionObj<2>, kMd2ValuesDoc, &md_values<2>>(),
            method<MatrixDiffusionObj<2>, kMdOrderDoc, &md_order<2>>(),
        };
        return d;
    }();
    return def;
}

template <>
ClassDef& MatrixDiffusionObj<3>::class_def() {
    static ClassDef def = [] {
        ClassDef d = class_def_base<MatrixDiffusionObj<3>>("MatrixDiffusion3D", kMd3Doc);
        d.tp_new = constructor<MatrixDiffusionObj<3>, kMd3Doc, &md3_new>();
        d.methods = {
            method<MatrixDiffusionObj<3>, kMdEvolveDoc, &md_evolve<3>>(),
            method<MatrixDiffusionObj<3>, kMd3ValuesDoc, &md_values<3>>(),
            method<MatrixDiffusionObj<3>, kMdOrderDoc, &md_order<3>>(),
        };
        return d;
    }();
    return def;
}

}  // namespace

PyTypeObject* matrix_diffusion1d_type_object() { return type_object<MatrixDiffusionObj<1>>(); }
PyTypeObject* matrix_diffusion2d_type_object() { return type_object<MatrixDiffusionObj<2>>(); }
PyTypeObject* matrix_diffusion3d_type_object() { return type_object<MatrixDiffusionObj<3>>(); }

}  // namespace quorvane::py
