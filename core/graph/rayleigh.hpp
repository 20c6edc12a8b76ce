// A lower bound of the largest eigenvalue of a symmetric Laplacian, to test
// a caller's spectral bound before a stability decision rests on it.
//
// Lanczos steps from a fixed start vector build an orthonormal basis V of a
// Krylov space and the tridiagonal T = V'LV. The largest eigenvalue of T (a
// Ritz value) is the Rayleigh quotient of its Ritz vector Vs, so it never
// exceeds lambda_max however few steps were taken: a caller's bound below
// it is provably wrong, and a valid bound (>= lambda_max) never is. In
// floating point, without reorthogonalization, the Ritz values stay within
// a few rounding units of ||L|| of the spectrum (Paige), which the refusal's
// margin (bound_below_lower) covers. Each step costs one sparse product, and
// the largest Ritz value converges towards lambda_max as a Chebyshev
// polynomial in the steps, much faster than power iterations.
//
// A Laplacian taken from caller arrays is probed through its symmetric part
// (L + L')/2, whose Rayleigh quotients are those of L: entries that disagree
// with their transposed partner in the last bits (float assembly), or a
// zero stored in one triangle only, change nothing. An operator whose
// products show an asymmetry beyond what rounding explains is not probed.
#pragma once

#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "core/graph/laplacian.hpp"

namespace quorvane {

// Lanczos steps of the probe of a fixed Laplacian (kept per object), and of
// largest_eigenvalue_lower_bound without a step count.
inline constexpr int kLanczosMaxIterations = 64;
inline constexpr int kRayleighIterations = 16;
// Relative asymmetry ||(L - L')v|| / (spectral_bound ||v||) above which an
// operator from caller arrays counts as not symmetric (the entrywise
// tolerance of the symmetric operators from caller arrays).
inline constexpr double kSymmetryTolerance = 1e-10;

struct RitzEstimate {
    // The largest Ritz value: a Rayleigh quotient of L, so <= lambda_max.
    double value = 0.0;
};

// max_iterations Lanczos steps (fewer when the Krylov space closes: T then
// holds eigenvalues of L), in double precision whatever F is. With x given,
// the steps start from x (the fixed start when x is empty, of another
// length or zero) and leave the Ritz vector in x, for a probe of a nearby
// operator to start from; they then keep their basis, max_iterations
// vectors. nullopt when L has no nodes, is malformed, is not symmetric
// (above), or its first product is not finite.
template <class F>
std::optional<RitzEstimate> largest_ritz_value(const Laplacian<F>& lap, int max_iterations,
                                               std::vector<double>* x = nullptr);

// The largest Ritz value of kRayleighIterations steps from the fixed start.
template <class F>
std::optional<double> largest_eigenvalue_lower_bound(const Laplacian<F>& lap);

// The same over `iterations` steps from x (the fixed start when x is empty
// or of another length than L's node count), leaving the Ritz vector in x:
// a caller probing an operator that changes little between probes starts
// each from the last one's vector, near the top eigenvector already, and
// needs fewer steps.
template <class F>
std::optional<double> largest_eigenvalue_lower_bound(const Laplacian<F>& lap, std::vector<double>& x, int iterations);

// The estimate of one operator of a SpectrumProbe.
struct SpectrumEstimate {
    // A Rayleigh quotient of L (of L^1/2 x for a single product with x and
    // a positive semi-definite L): never above lambda_max.
    double lower = 0.0;
    // How far above `lower` lambda_max may plausibly lie, from the residual
    // r = ||L y - theta y|| of the Ritz pair (theta, y) behind it (an
    // eigenvalue lies within r of theta): 2 r after Lanczos steps (on paths,
    // grids, weighted paths and random-weight grids lambda_max - theta
    // stayed below 1.9 r from the fourth step on), r after a single product
    // from a vector that leans towards the top eigenvector. Not a bound.
    double reach = 0.0;
};

// Lower bounds of the largest eigenvalues of a sequence of Laplacians that
// change little from one to the next (the samples of a time-dependent
// operator), each probe starting from the vector the last one left, in O(n)
// memory kept across the sequence.
//
// The first probe takes `cold_steps` Lanczos steps from the fixed start and
// keeps their Ritz vector. Each later one is a single product y = L x: x'Lx
// and, for the semi-definite kinds built from a graph, x'L^2 x / x'Lx (the
// quotient of L^1/2 x) are lower bounds, and y, one power step nearer the
// top eigenvector, is what the next probe starts from. A probe that
// leaves a decision in doubt can be refined: more Lanczos steps on the same
// operator, continuing the first probe's run or starting from the probe's
// vector, without reorthogonalization (the extreme Ritz value stays a
// quotient within rounding, Paige) and without keeping their basis, up to
// `refine_steps` steps over the whole sequence.
//
// The vector a probe starts from sees only the part of the graph its
// predecessors leaned on: a top eigenvalue that rises where it has no
// weight (a component or region whose weights jump between samples) stays
// invisible to the single products. What a probe is to see is given as a
// level (`watch`): an eigenvalue at or above it has an eigenvector whose
// largest entry lies on a row whose Gershgorin end (the sum of its entries'
// magnitudes) reaches the level, a hot row. The probe keeps, per node, the
// largest Gershgorin end at which a run from a start with weight on every
// node has seen the row; a sample with a hot row never seen so, or seen
// only at an end below its own by more than kRegrowth, takes such a run
// (`cold_steps` Lanczos steps from the last vector plus the fixed start plus
// the fixed start's entries on those rows) in place of the single product.
// A sample without hot rows has no eigenvalue at or above the level.
inline constexpr double kRegrowth = 1.01;

class SpectrumProbe {
public:
    SpectrumProbe(int cold_steps, int refine_steps);
    SpectrumProbe(const SpectrumProbe&) = delete;
    SpectrumProbe& operator=(const SpectrumProbe&) = delete;
    ~SpectrumProbe();

    // nullopt when L has no nodes, is malformed, is not symmetric (caller
    // arrays, see above), or its product with the start is not finite.
    // `watch` is the level of the eigenvalues to be seen (above); infinity
    // watches none and leaves the probe a single product after the first.
    template <class F>
    std::optional<SpectrumEstimate> probe(const Laplacian<F>& lap,
                                          double watch = std::numeric_limits<double>::infinity());

    // Whether L has a hot row for `watch` that no run from a wide start has
    // seen (above): a caller that would spare L a probe must not then. One
    // pass over L's values; a probe of the same L right after reuses it.
    template <class F>
    bool has_unseen_hot_rows(const Laplacian<F>& lap, double watch);

    // The estimate of the last probe's operator `lap` after further Lanczos
    // steps: at least `min_steps` (while steps are left), then until
    // `settled` holds for the estimate or the steps left run out. The
    // probe's own estimate when no step is left; nullopt as for probe.
    template <class F, class Settled>
    std::optional<SpectrumEstimate> refine(const Laplacian<F>& lap, int min_steps, Settled&& settled) {
        return refine_impl(lap, min_steps, EstimateTest(std::forward<Settled>(settled)));
    }

    int refine_steps_left() const { return refine_left_; }

private:
    using EstimateTest = std::function<bool(const SpectrumEstimate&)>;
    template <class F>
    std::optional<SpectrumEstimate> refine_impl(const Laplacian<F>& lap, int min_steps, const EstimateTest& settled);
    // The rows' Gershgorin ends of L into ends_ (once per L, see ends_of_),
    // and whether one of them is hot for `watch` and unseen.
    template <class F>
    bool scan_rows(const Laplacian<F>& lap, double watch);
    bool any_unseen_hot(double watch);
    bool unseen_hot(std::size_t i, double watch) const;

    struct Run;
    int cold_steps_;
    int refine_left_;
    // The vector the next probe starts from (any length, not normalized),
    // and its squared norm; empty before the first probe.
    std::vector<double> x_;
    double x_norm2_ = 0.0;
    // L x / ||x|| of the last single-product probe, and its squared norm: the
    // next start, once that probe is done with (pending_).
    std::vector<double> y_;
    double y_norm2_ = 0.0;
    bool pending_ = false;
    // The last probe's estimate and Lanczos run; live_ when the run is the
    // first probe's, which a refinement continues.
    std::optional<SpectrumEstimate> last_;
    std::unique_ptr<Run> run_;
    bool live_ = false;
    std::vector<double> transposed_;
    // Per node: the rows' Gershgorin ends of the last scanned operator
    // (ends_of_, compared by address only between a scan and the probe
    // that follows it), and the largest end at which a wide run saw the row.
    std::vector<double> ends_;
    const void* ends_of_ = nullptr;
    std::vector<double> seen_;
};

// A bound below `lower` by more than the rounding of the quotient (a few
// ulps per term of the sums) can account for.
inline bool bound_below_lower(double bound, double lower) { return bound < lower * (1.0 - 1e-6); }

// A rate mu >= 0 with ||exp(-t L)|| <= exp(t mu) in the 2-norm: minus the
// Gershgorin lower bound of the smallest eigenvalue of (L + L')/2 when that
// is negative (the logarithmic norm of -L), else 0. The kinds assembled from
// a graph are positive semi-definite (0); caller arrays take one pass.
template <class F>
double norm_growth_rate(const Laplacian<F>& lap);

extern template std::optional<RitzEstimate> largest_ritz_value<double>(const Laplacian<double>&, int,
                                                                        std::vector<double>*);
extern template std::optional<RitzEstimate> largest_ritz_value<float>(const Laplacian<float>&, int,
                                                                       std::vector<double>*);
extern template std::optional<double> largest_eigenvalue_lower_bound<double>(const Laplacian<double>&);
extern template std::optional<double> largest_eigenvalue_lower_bound<float>(const Laplacian<float>&);
extern template std::optional<double> largest_eigenvalue_lower_bound<double>(const Laplacian<double>&,
                                                                             std::vector<double>&, int);
extern template std::optional<double> largest_eigenvalue_lower_bound<float>(const Laplacian<float>&,
                                                                            std::vector<double>&, int);
extern template std::optional<SpectrumEstimate> SpectrumProbe::probe<double>(const Laplacian<double>&, double);
extern template std::optional<SpectrumEstimate> SpectrumProbe::probe<float>(const Laplacian<float>&, double);
extern template bool SpectrumProbe::has_unseen_hot_rows<double>(const Laplacian<double>&, double);
extern template bool SpectrumProbe::has_unseen_hot_rows<float>(const Laplacian<float>&, double);
extern template std::optional<SpectrumEstimate> SpectrumProbe::refine_impl<double>(const Laplacian<double>&, int,
                                                                                   const EstimateTest&);
extern template std::optional<SpectrumEstimate> SpectrumProbe::refine_impl<float>(const Laplacian<float>&, int,
                                                                                  const EstimateTest&);
extern template double norm_growth_rate<double>(const Laplacian<double>&);
extern template double norm_growth_rate<float>(const Laplacian<float>&);

}  // namespace quorvane
