// Conversions shared by the two Schrodinger classes: psi0 as a complex array
// (read through `real` and `imag`) and psi given as two float64 parts.
#pragma once

#include <span>
#include <vector>

#include "python/array.hpp"
#include "python/frame.hpp"

namespace quorvane::py {

// GridMismatch "psi0 must be a numpy.ndarray[complex128]" (no `real` or
// `imag`), "psi0.real must be extractable as float64", "psi0.imag must be
// extractable as float64", "psi0.real and psi0.imag length mismatch".
ComplexParts extract_complex_psi0(PyObject* psi0);

// GridMismatch "{name} must be numpy.ndarray[float64]".
std::vector<double> extract_psi_part(PyObject* o, const char* name);

// norm_squared's value: `plain`, the class's own sum times dx, where it is
// finite; else the sum of squares of the parts' values scaled by a power of
// two to max|psi| in [1, 2), times dx, scaled back (a large psi on a fine
// grid, or a wide grid, whose squares overflow before dx scales them).
// NanInf where the norm itself lies beyond the double range.
double norm_squared_in_range(double plain, std::span<const double> re, std::span<const double> im, double dx);

}  // namespace quorvane::py
