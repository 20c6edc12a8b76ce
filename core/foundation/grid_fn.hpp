// Uniform 1-D grids and grid functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
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

template <class F>
struct Grid1D {
    BoundaryPolicy<F> boundary{};
    InterpKind interp_kind{};
    F xmin{};
    F xmax{};
    std::size_t n = 0;

    // Validating constructor: xmin finite, xmax finite, xmin < xmax, n >= 4,
    // first broken condition reported. `n_message` names the stencil.
    static Expected<Grid1D> make(BoundaryPolicy<F> boundary, InterpKind kind, F xmin, F xmax,
                                 std::size_t n, const char* n_message = kSepticNMessage);

    F dx() const { return (xmax - xmin) / from_f64<F>(static_cast<double>(n - 1)); }
    F node(std::size_t i) const { return xmin + dx() * from_f64<F>(static_cast<double>(i)); }

    // Value at any x of the grid function with samples `values` (length n).
    // Fails only for the Linear kind and for an invalid Chebyshev M.
    Expected<F> interp(std::span<const F> values, F x) const;
};

// The degree-7 Hermite evaluation by itself (infallible).
template <class F>
F hermite7_sample(std::span<const F> values, const Grid1D<F>& grid, F x);

template <class F>
struct GridFn {
    Grid1D<F> grid{};
    std::vector<F> values;

    // Length first ("values.len() must equal grid.n", value = length), then
    // the first non-finite value ("all values must be finite (no NaN/Inf)").
    static Expected<GridFn> make(const Grid1D<F>& grid, std::vector<F> values);

    Expected<F> eval(F x) const { return grid.interp(values, x); }
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
