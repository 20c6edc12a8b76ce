#include "core/foundation/grid_fn.hpp"

#include <limits>

namespace quorvane {

template <class F>
Expected<Grid1D<F>> Grid1D<F>::make(BoundaryPolicy<F> boundary, InterpKind kind, F xmin, F xmax,
                                    std::size_t n, const char* n_message) {
    if (!is_finite(xmin)) return domain_error("xmin must be finite", real_part(xmin));
    if (!is_finite(xmax)) return domain_error("xmax must be finite", real_part(xmax));
    if (!(real_part(xmin) < real_part(xmax))) return domain_error("xmin must be < xmax", real_part(xmin));
    if (n < 4) return domain_error(n_message, static_cast<double>(n));
    // The schemes scale by dx^2 and 1/dx^2: a spacing whose square overflows
    // or leaves the normal range would turn later steps into inf or NaN.
    const double dx = (real_part(xmax) - real_part(xmin)) / static_cast<double>(n - 1);
    if (!(dx * dx >= std::numeric_limits<double>::min() && dx * dx <= std::numeric_limits<double>::max())) {
        return domain_error(kGridSpacingMessage, dx);
    }
    return Grid1D<F>{boundary, kind, xmin, xmax, n};
}

template <class F>
Expected<GridFn<F>> GridFn<F>::make(const Grid1D<F>& grid, std::vector<F> values) {
    if (values.size() != grid.n) {
        return domain_error("values.len() must equal grid.n", static_cast<double>(values.size()));
    }
    if (const F* bad = first_non_finite<F>(values)) {
        return domain_error("all values must be finite (no NaN/Inf)", real_part(*bad));
    }
    return GridFn<F>{grid, std::move(values)};
}

Expected<GridFnComplex1D> GridFnComplex1D::make(const Grid1D<double>& grid, std::vector<double> interleaved) {
    if (interleaved.size() % 2 != 0 || interleaved.size() / 2 != grid.n) {
        return domain_error("GridFnComplex1D: values.len() must equal grid.n",
                            static_cast<double>(interleaved.size() / 2));
    }
    return GridFnComplex1D{grid, std::move(interleaved)};
}

Expected<double> InterpRead::operator()(double x) const { return u->grid.interp(u->values, x); }
Expected<double> InterpRead::foot(double x) const { return u->grid.interp_foot(u->values, x); }
Expected<double> InterpRead::foot_bounded(double x) const { return u->grid.interp_foot(u->values, x, true); }

template struct Grid1D<double>;
template struct Grid1D<float>;
template struct Grid1D<Dual1>;
template struct Grid1D<Dual2>;
template struct GridFn<double>;
template struct GridFn<float>;
template struct GridFn<Dual1>;
template struct GridFn<Dual2>;

}  // namespace quorvane
