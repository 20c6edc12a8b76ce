// Conversions shared by the two Schrodinger classes: psi0 as a complex array
// (read through `real` and `imag`) and psi given as two float64 parts.
#pragma once

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

}  // namespace quorvane::py
