// The largest eigenvalue of a symmetric operator by Lanczos: a bound from
// below on how much some data grows, where a factorisation is out of reach.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <vector>

#include "core/foundation/function_ref.hpp"
#include "core/line/heat_stability/weighted_space.hpp"

namespace quorvane::heat_judgement {

// Lanczos steps on the generator: its products cost a tenth of a step's, and
// the growing direction, which the refusal names, needs dozens of them; on
// a step too wide for the factorisation, a few dozen (fewer on large grids,
// whose basis would not fit kLanczosBytes).
constexpr std::size_t kGeneratorSteps = 48;
constexpr std::size_t kWideStepSteps = 32;
constexpr double kLanczosBytes = 268435456.0;

struct Ritz {
    double value = -kInf;
    std::vector<double> vector;  // unit length, when asked for
};

// Largest eigenvalue of the tridiagonal matrix (alpha; beta) by bisection on
// its Sturm counts, and with `vector` its eigenvector by inverse iteration.
double tridiagonal_top(const std::vector<double>& alpha, const std::vector<double>& beta, std::vector<double>* vector);

// y = A x (y resized to the order).
using LanczosApply = FunctionRef<void(const std::vector<double>&, std::vector<double>&)>;

// The largest eigenvalue of the symmetric operator `apply` (order n; y = A x)
// by at most `most` Lanczos steps from `start`. With `reorthogonalise` each
// new vector is taken once against every earlier one (modified
// Gram-Schmidt: the Ritz values then stay those of the operator, without
// ghosts); without, against the last two only: ghosts (copies of converged
// Ritz values) may appear, but every Ritz value stays within the spectrum to
// rounding, which is all a bound from below needs. Ritz values approach the
// top from below, so the run ends once one exceeds `enough`; with `settle`
// > 0 it ends too once the top lies below `enough` by more than `settle`
// times its rise over the last two steps (it has settled there). nullopt
// when a product is not finite or the caller asked to stop (`stopped`).
std::optional<Ritz> lanczos_top(std::size_t n, LanczosApply apply, std::vector<double> start, bool want_vector,
                                bool& stopped, std::size_t most, bool reorthogonalise = true,
                                double enough = std::numeric_limits<double>::infinity(), double settle = 0.0);

}  // namespace quorvane::heat_judgement
