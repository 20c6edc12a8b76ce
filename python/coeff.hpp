// Argument conversions shared by the method bodies, and the coefficient
// closures built from Python arguments (sampled arrays, Python callables).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/foundation/boundary.hpp"
#include "core/foundation/coeff.hpp"
#include "python/array.hpp"
#include "python/frame.hpp"

namespace quorvane::py {

// --- float vectors ---------------------------------------------------------

// TypeError "u0 must be a numpy.ndarray[float64] or a sequence of floats".
std::vector<double> extract_u0_vec(PyObject* o);
// TypeError "f0 must be a numpy.ndarray[float64] or a sequence of floats".
std::vector<double> extract_f0_vec(PyObject* o);
// TypeError "expected a numpy.ndarray[float64] or list of floats".
std::vector<double> extract_float_vec(PyObject* o);
// A 2-D state: GridMismatch "u0 must be numpy.ndarray[float64]", then the
// length nx*ny, then NanInf "u0 contains NaN or Inf".
std::vector<double> extract_u0_2d(PyObject* o, std::size_t nx, std::size_t ny);

// --- option strings --------------------------------------------------------

enum class Dtype { F64 = 0, F32 = 1 };

// ASCII-lowercased "reflect", "zero", "periodic", "linear"; anything else is
// OutOfDomain.
BoundaryPolicy<double> parse_boundary_policy(std::string_view text);
// Exactly "f64" or "f32".
Dtype parse_dtype(std::string_view text);

// The `boundary` parameter as the docstrings of the 1-D Chernoff evolvers
// describe it: what each option reads beyond the ends and what that solves
// (a macro so that it joins the docstring literals at compile time).
#define QUORVANE_BOUNDARY_PARAM_DOC                                                         \
    "boundary : str, optional\n"                                                            \
    "    How u is read beyond the end nodes (ASCII case-insensitive):\n"                    \
    "    \"reflect\" (default) mirrors it about the end nodes (for diffusion: insulated\n"   \
    "    ends, du/dx = 0);\n"                                                               \
    "    \"periodic\" repeats the grid with period n*dx, so the grid must not repeat its\n"  \
    "    first node (for period L take xmax = xmin + L - L/n);\n"                            \
    "    \"zero\" reads 0: what leaves the interval is lost and nothing comes in (for\n"     \
    "    diffusion this approaches u = 0 at the ends only like sqrt(t/n_steps));\n"         \
    "    \"linear\" continues u along the straight line of its end slope: a straight line\n" \
    "    stays unchanged, but the ends are free (they follow the curvature next to them)\n" \
    "    and keep no maximum principle; a drift that enters across an end is refused.\n"

// --- sampled coefficients --------------------------------------------------

// The sample spacing of n samples over [xmin, xmax] (1.0 for fewer than two).
double sample_spacing(std::size_t n, double xmin, double xmax);
// Catmull-Rom closure over the array argument, its samples continued beyond
// the ends by `ends`: GridMismatch "coefficient array must be
// numpy.ndarray[float64]", "coefficient array length {} != n={}", NanInf
// "coefficient array contains NaN or Inf".
SharedCoeff extract_coeff_array(PyObject* o, std::size_t n, double xmin, double xmax,
                                SampleEnds ends = {});
// The same checks for a reaction's samples, read between the nodes held to
// the least and the greatest sample (sampled_coeff_within_samples).
SharedCoeff extract_reaction_array(PyObject* o, std::size_t n, double xmin, double xmax);
// Catmull-Rom closure over already extracted samples (no finiteness check):
// GridMismatch "derivative array length {} != n={}".
SharedCoeff sampled_coefficient(const std::vector<double>& samples, std::size_t n, double xmin, double xmax,
                                SampleEnds ends = {});
// A caller's derivative samples, after their length: NanInf "coefficient
// array contains NaN or Inf" for a non-finite one (the steps would read it
// as a drift foot no grid can locate). Derived samples are not checked.
void check_given_samples(const std::vector<double>& samples);

// --- Python callables as coefficients ---------------------------------------

// x -> float(callable(x)), called under the interpreter lock from any thread.
// A call that raises, or a result that is not a float, gives NaN; the first
// such exception is kept so that a call that fails because of it can name it
// as the cause.
class PyCoeffFn final : public CoeffFn {
public:
    explicit PyCoeffFn(Ref callable) : callable_(std::move(callable)) {}
    ~PyCoeffFn() override;
    double operator()(double x) const override;
    // The first exception raised since the last take (lock held).
    Ref take_exception() const;
    // The references held, for the garbage collector (lock held); after
    // clear_refs every call gives NaN.
    int visit_refs(visitproc visit, void* arg) const;
    void clear_refs() const;

private:
    mutable Ref callable_;
    mutable Ref first_exception_;
};

SharedCoeff py_coeff(PyObject* callable);

// The garbage-collector support of the Python closures of a source.
int visit_coeff_refs(const CoeffSource& src, visitproc visit, void* arg);
void clear_coeff_refs(const CoeffSource& src);

// Takes the first exception kept by any Python closure of the source.
Ref take_coeff_exception(const CoeffSource& src);
Ref take_coeff_exception(const SharedCoeff& f);

}  // namespace quorvane::py
