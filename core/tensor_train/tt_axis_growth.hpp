// Does a periodic three-point operator L (the axis operator of a
// variable-coefficient evolver: zero row sums, a negative diagonal) have a
// mode that grows, exp(t L) u beyond max|u| however short the steps?
//
// Judged in order of cost:
// - a weighted-dissipativity certificate, O(n): with pi > 0 the left null
//   vector of L and P = diag(pi), P L + L^T P <= 2 tol P proves every
//   eigenvalue's real part <= tol. It holds wherever every coupling is >= 0
//   and, with pi about 1/|b|, for drifts of one sign at any Peclet number;
// - a search for a growing mode, O(64^2 n) per round: Arnoldi on
//   (s I - L)^-1 with s = |L|_inf (a diagonally dominant solve), whose
//   largest eigenvalues are L's rightmost, the pair accepted by its residual;
// - a dense QR of L, about 10 n^3 flops, up to a cap on n.
// An operator none of them decides is left undecided.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

#include "core/foundation/error.hpp"
#include "core/tensor_train/tt_varcoef_spectral.hpp"

namespace quorvane {

struct AxisGrowth {
    enum class Verdict {
        kBounded,   // no eigenvalue whose real part exceeds rounding
        kGrows,     // an eigenvalue (of L, or of a matrix within rounding of it) beyond rounding
        kUndecided  // more nodes than the dense solve takes, and the cheap tests decide nothing
    };
    Verdict verdict = Verdict::kBounded;
    std::complex<double> lambda;  // kGrows: the eigenvalue (the rightmost one where the QR found it)
    std::vector<double> weight;   // kGrows: |eigenvector| at each node, empty when not formed
};

// The real part an eigenvalue of L computed by QR may have from rounding
// alone. The QR is exact for some L + E with |E| ~ n eps |L|; a simple
// eigenvalue moves by |E| times its condition, but a double defective one
// (the central drift makes them at 0 wherever b vanishes at a node and the
// diffusion is below rounding there) splits into a pair +-sqrt(|E| |L|),
// half of it to the right: sqrt(n eps) |L|. Computed abscissas of operators
// whose exact ones are 0 reach 1e-8 |L| that way (n up to 200), 16 times that
// bound stays clear of them; a growth slower than the margin takes 1e5 to
// 1e6 / |L| (n = 512 to 16) to show by a factor e.
double growth_rounding(std::size_t n, double norm);

// The verdict on `op` (n >= 2 rows, |op|_inf = norm finite and > 0). Axes
// of at most kDenseFirst nodes go straight to the QR (a millisecond), which
// names the rightmost eigenvalue; larger ones try the certificate and the
// search first. A stop request (poll_stop) ends the work.
inline constexpr std::size_t kDenseFirst = 64;
Expected<AxisGrowth> judge_axis_growth(const PeriodicTridiag& op, double norm, std::size_t max_dense_nodes);

}  // namespace quorvane
