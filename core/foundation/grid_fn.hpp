// Uniform 1-D grids and grid functions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/foundation/boundary.hpp"
#include "core/foundation/error.hpp"

namespace quorvane {

enum class InterpTag : std::uint8_t {
    SepticHermite = 0,   // degree-7 two-point Hermite (the default)
    OctonicHermite = 1,  // degree-9 two-point Hermite
    CubicHermite = 2,    // four-point cubic with central slopes
    Linear = 3,          // not available in this build
    Chebyshev = 4,       // barycentric on M+1 Chebyshev points
};

enum class ChebyshevBoundary : std::uint8_t { FromGrid = 0, Reflect = 1, Periodic = 2, Zero = 3 };

struct InterpKind {
    InterpTag tag = InterpTag::SepticHermite;
    ChebyshevBoundary cheb_boundary = ChebyshevBoundary::FromGrid;
    std::uint64_t m = 0;  // Chebyshev intervals M (checked when evaluating)

    static InterpKind septic() { return {}; }
    static InterpKind of(InterpTag t) { return {t, ChebyshevBoundary::FromGrid, 0}; }
    static InterpKind chebyshev(std::uint64_t m, ChebyshevBoundary b = ChebyshevBoundary::FromGrid) {
        return {InterpTag::Chebyshev, b, m};
    }
};

inline constexpr const char* kSepticNMessage = "n must be >= 4 (septic Hermite stencil)";
inline constexpr const char* kCubicNMessage = "n must be >= 4 (cubic Hermite stencil)";
inline constexpr const char* kGridSpacingMessage =
    "the grid spacing dx = (xmax - xmin)/(n - 1) must have a finite, normal square dx^2";

// The margin a bounded read may take beyond its cell's node values at a
// smooth extremum: kBoundedWiden times the cell's curvature of the
// extremum's sign (the smaller of the two estimates at its nodes less
// kStrayBoth times the two fourth differences there, or the larger less
// kStrayOne times them, whichever is more).
inline constexpr double kBoundedWiden = 0.5;
inline constexpr double kStrayBoth = 0.4;
inline constexpr double kStrayOne = 1.0;

template <class F>
struct Grid1D {
    BoundaryPolicy<F> boundary{};
    InterpKind interp_kind{};
    F xmin{};
    F xmax{};
    std::size_t n = 0;

    // Validating constructor: xmin finite, xmax finite, xmin < xmax, n >= 4,
    // dx^2 finite and normal; first broken condition reported. `n_message`
    // names the stencil.
    static Expected<Grid1D> make(BoundaryPolicy<F> boundary, InterpKind kind, F xmin, F xmax,
                                 std::size_t n, const char* n_message = kSepticNMessage);

    F dx() const { return (xmax - xmin) / from_f64<F>(static_cast<double>(n - 1)); }
    F node(std::size_t i) const { return xmin + dx() * from_f64<F>(static_cast<double>(i)); }

    // Value at any x of the grid function with samples `values` (length n).
    // Fails only for the Linear kind and for an invalid Chebyshev M.
    Expected<F> interp(std::span<const F> values, F x) const;

    // Value at the foot x of a characteristic (a transport read): interp,
    // except in the cells whose Hermite stencil reaches past an end of a
    // non-periodic grid, where it is the straight line between the cell's two
    // node values as the boundary policy gives them. Near an end the
    // policy's ghost nodes are not the transported function (a mirror image
    // has a kink there, a zero wall a jump): through them the Hermite
    // derivative estimates freeze an outflow end (the mirrored slope is 0)
    // and, at small steps, turn into a centred difference whose undamped
    // odd-even modes grow from the ends. The two-point read there is
    // monotone and upwind, so transport keeps the range of its data.
    // `bounded` (for a pure transport whose steps keep no range of their
    // own, see core/foundation/flow_range.hpp for those that do): a degree-7
    // read inside is held to the range its cell allows, its node values
    // widened at a smooth extremum by as much as a smooth interpolant leaves
    // them there and not at a jump or on noise, so that a front carried
    // across the grid brings no overshoot along while smooth data are read
    // as they are. That read is no longer linear in the values; the plain
    // read is.
    Expected<F> interp_foot(std::span<const F> values, F x, bool bounded = false) const;

    // True when a read in cell i takes the two-point form of interp_foot.
    bool foot_is_linear(std::int64_t i) const;
};

// "linear" continues u beyond an end along the line of its end slope. That
// is no condition for what a drift carries in across the end: the values it
// brings in are extrapolations of extrapolations, and a straight line, which
// the rule keeps, is carried along without bound (u_t = b u' moves the
// line u = x down by b per unit time). A transport read from an end node
// whose foot lies beyond that end (the drift there points out of the grid,
// so the characteristic comes in across it) is therefore refused. Interior
// nodes whose feet cross an end only because the step is large read the
// continuation like any other option's.
inline constexpr const char* kLinearInflowMessage =
    "boundary \"linear\" cannot be used where a drift enters across an end: its straight-line continuation is "
    "no inflow condition, and what it carries in grows without bound; use \"reflect\", \"zero\" or "
    "\"periodic\"";

// The refusal above for the read of node i at `foot` (the foot of its
// characteristic).
template <class F>
Status refuse_linear_inflow(const Grid1D<F>& g, std::size_t i, double foot) {
    if (g.boundary.tag != BoundaryTag::Linear) return {};
    if ((i == 0 && foot < real_part(g.xmin)) || (i + 1 == g.n && foot > real_part(g.xmax))) {
        return domain_error(kLinearInflowMessage, foot);
    }
    return {};
}

// Whether interp reads a value at x on g: for the Hermite kinds x finite
// and fewer than 2^53 cells from xmin (kReadTooFar beyond); the Chebyshev
// kind reads every point. What a step's reads must satisfy, judged before
// the step.
bool read_is_located(const Grid1D<double>& g, double x);

// The degree-7 Hermite evaluation by itself (infallible).
template <class F>
F hermite7_sample(std::span<const F> values, const Grid1D<F>& grid, F x);

// Reads of the degree-7 Hermite interpolant of one grid function through
// node samples computed once: the value and the three undivided differences
// at every node index of a range (ghost nodes through the boundary policy).
// Neighbouring reads share their cells' differences instead of recomputing
// 42 taps each. Every read gives exactly what Grid1D::interp gives: the same
// cell, the same weights, the same eight-term sum; reads whose cell lies
// outside the range, and grids of another kind, go through interp itself.
class SepticSamples {
public:
    // Samples of `values` on `grid` at node indices [lo, hi).
    void fill(std::span<const double> values, const Grid1D<double>& grid, std::int64_t lo, std::int64_t hi);

    // Cell and fractional position of a read at x as interp locates it (the
    // weights are hermite7_weights(t)); false where interp would report an
    // error (a point not finite or too far out) or the grid does not sample
    // with the degree-7 Hermite interpolant.
    static bool locate(const Grid1D<double>& grid, double x, std::int64_t& cell, double& t);

    bool covers(std::int64_t cell) const { return cell >= lo_ && cell + 1 < hi_; }

    // The read in cell `cell` (covered) with weights w.
    double at_cell(std::int64_t cell, const Hermite7Weights<double>& w) const {
        const double* p = samples_.data() + 4 * (cell - lo_);
        return p[0] * w.h0 + p[4] * w.h1 + p[1] * w.g0 + p[5] * w.g1 + p[2] * w.k0 + p[6] * w.k1 + p[3] * w.l0 +
               p[7] * w.l1;
    }

    // The Bernstein coefficients of the read in cell `cell` (covered): the
    // read lies within their least and greatest over the whole cell.
    std::array<double, 8> cell_bernstein(std::int64_t cell) const;

    // Value at x of the filled grid function, as Grid1D::interp.
    Expected<double> read(double x) const;
    // The transport read at x, as Grid1D::interp_foot (plain).
    Expected<double> read_foot(double x) const;
    // The same held to the range its cell allows (interp_foot's `bounded`).
    Expected<double> read_foot_bounded(double x) const { return grid_->interp_foot(values_, x, true); }
    // The filled grid function's value at node i.
    double value_at(std::size_t i) const { return values_[i]; }
    // The grid the samples were filled on.
    const Grid1D<double>* grid() const { return grid_; }

private:
    // The cell and position of a read at x when the samples cover it.
    bool covered(double x, std::int64_t& cell, double& t) const;

    std::span<const double> values_;
    const Grid1D<double>* grid_ = nullptr;
    double dx_ = 0.0;
    std::int64_t lo_ = 0, hi_ = 0;
    std::vector<double> samples_;  // (u, D1, D2, D3) per index
    std::vector<double> ghosts_;   // node values resolved through the policy near the ends
};

// How a node step reads its input between the nodes: through interp, or
// through node samples computed once per step (same values).
struct SampleRead {
    const SepticSamples* samples;
    Expected<double> operator()(double x) const { return samples->read(x); }
    Expected<double> foot(double x) const { return samples->read_foot(x); }
    Expected<double> foot_bounded(double x) const { return samples->read_foot_bounded(x); }
    // The stored value at node i.
    double value_at(std::size_t i) const { return samples->value_at(i); }
};

template <class F>
struct GridFn {
    Grid1D<F> grid{};
    std::vector<F> values;

    // Length first ("values.len() must equal grid.n", value = length), then
    // the first non-finite value ("all values must be finite (no NaN/Inf)").
    static Expected<GridFn> make(const Grid1D<F>& grid, std::vector<F> values);

    Expected<F> eval(F x) const { return grid.interp(values, x); }
};

struct InterpRead {
    const GridFn<double>* u;
    Expected<double> operator()(double x) const;
    Expected<double> foot(double x) const;
    Expected<double> foot_bounded(double x) const;
    double value_at(std::size_t i) const { return u->values[i]; }
};

// Complex samples stored as (re, im) pairs, the layout of a complex128 array.
struct GridFnComplex1D {
    Grid1D<double> grid{};
    std::vector<double> values;  // 2*n doubles

    // values holds n complex numbers as 2n doubles; n must equal grid.n.
    static Expected<GridFnComplex1D> make(const Grid1D<double>& grid, std::vector<double> interleaved);
    std::size_t len() const { return values.size() / 2; }
};

// First NaN/inf sample in index order, if any.
template <class F>
const F* first_non_finite(std::span<const F> v) {
    for (const F& x : v)
        if (!is_finite(x)) return &x;
    return nullptr;
}

}  // namespace quorvane
