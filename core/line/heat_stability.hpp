// Step-size limits of the variable-coefficient heat steps and of the zeta
// ladder.
//
// Rounding noise lives in every grid mode; a step whose symbol exceeds 1 in
// modulus for some mode amplifies it geometrically, so after enough steps the
// result is noise. The evolvers refuse such steps up front ("CflViolated"),
// naming the admissible range computed here, instead of returning the noise.
//
// - Unit diffusion, septic sampling (Heat1DZeta4, Heat1DZeta6): the step
//   commutes with grid translations and the cosine modes of a reflecting grid
//   are its eigenvectors. The heat4 step itself never amplifies (positive
//   weights summing to 1), but the Richardson rungs do: their first crossing of
//   |symbol| = 1 happens at the Nyquist mode (-1)^j, at
//   tau/dx^2 = 1.7889 (rung 4), 3.5031 (rung 6), 6.9905 (rung 8). The bound is
//   computed from the kernel's own Nyquist eigenvalue, so it follows the
//   kernel's sampling.
// - Chebyshev sampling (Heat1DZeta8): the resampling through the degree-64
//   polynomial is not the identity (its eigenvalues reach 1.04-1.05), and the
//   third rung amplifies any eigenvalue above 1 by about 9.7 per step at
//   tau = 0 (spectral radius 1.2-1.6 there). Diffusion damps those modes only
//   once tau/dx^2 exceeds about 0.05; above about 6.9 the Nyquist instability
//   of the rung takes over. The admissible window is the measured one with a
//   margin (see kZeta8ChebyshevMuMin/Max in the .cpp).
// - Variable coefficient (Heat1D, Heat1D4th, Heat1D6th from sampled or
//   callable a): the step is judged in the grid 2-norm sum w_i u_i^2 (w = 1/2
//   at the end nodes of a reflecting grid), in which the exact evolution
//   u_t = (a u')' contracts, applied to the data without its mean (the mean,
//   which the exact evolution keeps, the step keeps to first order: it reads
//   a and a' in non-conservative form). Two questions, both on the kernel and
//   the step alone, never on the step count:
//   1. Is the small-step limit G = a D2/dx^2 + a' D1/dx (the Hermite
//      interpolant's derivative estimates) dissipative there? For smooth
//      coefficients its symmetric part is <= 0 to rounding; where a' swings
//      from cell to cell (rough samples, a jump, a periodic seam the samples
//      do not continue) it is not, and then steps of every size grow some
//      data: small steps most of all, so no step count helps. That is
//      decided exactly (a Cholesky factorisation over G's band); such a
//      coefficient is refused whatever n_steps (CoefficientFault), naming
//      where the growth sits; so is any variable coefficient under "linear"
//      ends, whose end rows grow data.
//   2. Does one step of tau grow the data without its mean by more than
//      1e-10 in the norm? Decided exactly up to rounding by the Cholesky
//      factorisation of (1 + s) I - (P B P)^T (P B P), formed from the step
//      written out node by node, over the band of its reads (steps whose
//      reads spread over hundreds of cells, beyond that band, by Lanczos,
//      which bounds the growth from below). A call's own step is judged so:
//      nothing admitted grows data. A step that does grow is refused with
//      a bound X below it. On grids of fewer than 256 nodes X is the largest
//      step such that every step up to X passes, found by a scan from below
//      that certifies each leap by the margins at its ends (how far a step
//      is from growing anything) and steps through, 0.1 % at a time, where
//      they certify less: there windows of growing steps lie between
//      passing ones (a coefficient that varies a lot from cell to cell, or
//      a nearly constant one), and the scan costs tens to hundreds of steps.
//      On larger grids, where a scan would cost hundreds of calls, a search
//      climbs steps a factor 4 apart to the first that grows and narrows to
//      within 0.8 % of it, led by the margins: a few verdicts near X (where
//      a call factorises near X over a band dearer than a Lanczos run, by
//      Lanczos runs that follow the growth of the data the steps grow most,
//      and a factorisation of the passing end they close on, two where
//      that one grows). It
//      does not look between its points: a window narrower than their
//      spacing below X goes unseen (dense sweeps below the bounds of 108
//      drawn coefficients on 257 to 1001 nodes found two). A call whose
//      step falls in one is still refused, with a bound below it. Above X,
//      steps that pass on their own (islands between windows) still run.
//
// The variable-coefficient judgement's parts sit in heat_stability/:
//   kernel_view      the kernel as the judgement reads it (one view for heat2/4/6)
//   weighted_space   the grid 2-norm, the data without its mean, the band order
//   operators        the step (row by row, or kept as its reads) and its generator
//   generator_fault  question 1: a coefficient no step count cures
//   band_factor      question 2 exactly: the band Cholesky factor and its margin
//   lanczos          the bound from below where no band fits
//   step_verdict     one step's verdict, by the band or by Lanczos
//   step_bound       the bound a refusal names
//   verdict_cache    what is kept of each kernel between calls
// heat_stability.cpp ties them together and holds the zeta rungs' windows.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>

#include "core/line/diffusion.hpp"
#include "core/line/diffusion4_zeta4.hpp"
#include "core/line/diffusion6_zeta6.hpp"
#include "core/line/diffusion8_zeta8.hpp"

namespace quorvane {

// The admissible steps [tau_min, tau_max].
struct StepRange {
    double tau_min = 0.0;
    double tau_max = std::numeric_limits<double>::infinity();

    bool contains(double tau) const { return tau >= tau_min && tau <= tau_max; }
};

// Why a variable coefficient cannot be stepped stably at any step count.
struct CoefficientFault {
    enum class Kind {
        NotDissipative,  // the small-step limit grows data without its mean
        LinearEnds,      // "linear" ends, which a variable coefficient's steps grow data at
    };
    Kind kind = Kind::NotDissipative;
    std::size_t node = 0;    // where the growth sits
    double x = 0.0;          // that node's coordinate
    double a = 0.0, a_prime = 0.0;
    double cell_ratio = 0.0; // a' dx / a there
    double rate = 0.0;       // the small-step limit's growth rate in the grid 2-norm (NaN: not measured)
    bool seam = false;       // the node sits at the seam of a periodic grid ...
    double a_first = 0.0, a_last = 0.0;  // ... whose end samples are these
};

// The judgement of steps of tau of a variable-coefficient kernel: a fault of
// the coefficient (no step count passes), or the admissible steps when
// steps of tau are not, or neither when they are admitted (also when the
// step fails on its own, which is its error to report, or the caller asked
// to stop). Constant coefficients never grow data (their steps are convex
// combinations of reads): only a step whose reads lie beyond 2^53 cells,
// where no cell can be told apart, is refused, naming the longest step whose
// reads all lie within.
struct HeatJudgement {
    std::optional<CoefficientFault> fault;
    std::optional<StepRange> range;
    // Why steps beyond the range fail, where not for the kernel's usual
    // reason (instability_reason): a constant coefficient's giant steps,
    // whose reads lie where no cell can be told apart.
    const char* reason = nullptr;
    // Whether every step up to range->tau_max was judged (the certified scan
    // of small grids, a constant coefficient's reach); false where the
    // search of large grids measured only its own points below the bound,
    // so that a step below it may still grow.
    bool every_step_judged = true;
};
HeatJudgement judge_heat_step(const DiffusionChernoff& kernel, double tau);
HeatJudgement judge_heat_step(const Diffusion4thChernoff& kernel, double tau);
HeatJudgement judge_heat_step(const Diffusion6thChernoff& kernel, double tau);

// The admissible-step check of each zeta rung: nullopt when steps of tau are
// admissible, otherwise the admissible steps.
std::optional<StepRange> step_violation(const Diffusion4thZeta4Chernoff& k, double tau);
std::optional<StepRange> step_violation(const Diffusion6thZeta6Chernoff& k, double tau);
std::optional<StepRange> step_violation(const Diffusion8thZeta8Chernoff& k, double tau);

// A tenfold growth over a call: the measure of noise growth in the core
// tests.
inline constexpr double kCallAmplificationLimit = 10.0;

// Why a kernel's steps beyond its admissible range fail, for the message.
const char* instability_reason(const DiffusionChernoff&);
const char* instability_reason(const Diffusion4thChernoff&);
const char* instability_reason(const Diffusion6thChernoff&);
const char* instability_reason(const Diffusion4thZeta4Chernoff&);
const char* instability_reason(const Diffusion6thZeta6Chernoff&);
const char* instability_reason(const Diffusion8thZeta8Chernoff&);

// Eigenvalue of one unit-diffusion heat4 step (the kernel's sampling, a = 1)
// of mu = tau/dx^2 on the Nyquist mode, whatever the kernel's spacing.
double heat4_nyquist_eigenvalue(const Diffusion4thChernoff& kernel, double mu);

// The admissible steps of the zeta rung `level` (4, 6 or 8) over the
// unit-diffusion kernel `inner`.
StepRange zeta_stable_steps(const Diffusion4thChernoff& inner, int level);

}  // namespace quorvane
