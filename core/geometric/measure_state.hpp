// A signed measure on the real line: weighted Dirac atoms and weighted
// Gaussian components. The particle evolvers advance it without a grid; its
// moment rules are shared by every evolver that works on such measures.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorvane {

struct Atom {
    double x;
    double w;
};

// N(mean, var) scaled by w.
struct GaussianComponent {
    double mean;
    double var;
    double w;
};

struct MeasureState {
    std::vector<Atom> atoms;
    std::vector<GaussianComponent> gaussians;

    // Sum (mean^2 + var) w over the components plus sum x^2 w over the
    // atoms; each sum from 0.0 in list order, then the two added. Finite
    // data give the sum, or +-inf where it is beyond the double range, even
    // where x^2 or a partial sum alone overflows (see the .cpp).
    double second_moment() const;
    // Sum |w| over the components plus sum |w| over the atoms, likewise.
    double total_variation() const;
    // The first value that is not finite, atoms first (position, weight),
    // then components (mean, variance, weight); nullopt when all are.
    std::optional<double> first_non_finite() const;
};

// Atom i = (positions[i], weights[i]) for i below the shorter length; no
// Gaussian components.
MeasureState zip_positions_weights(std::span<const double> positions, std::span<const double> weights);

// The shifts of a branching step of tau for a f'' + b f': the diffusive
// children sit at x +- h, h = 2 sqrt(a tau) formed as sqrt(tau a) +
// sqrt(tau a); where tau a leaves the normal range (overflow, or underflow
// that drops digits or all of them) the root is taken of each factor,
// sqrt(tau) sqrt(a), which stays in range whenever h does. The drifted
// child sits at x + k, k = 2 b tau formed as tau (b + b); where b + b
// overflows (|b| above DBL_MAX/2) while k may be finite, (tau b) 2 is the
// same product, doubled exactly.
double diffusive_shift(double a, double tau);
double drift_shift(double b, double tau);

// The largest number of atoms any particle evolution may hold: 2^26 atoms
// take 1 GiB. Branching multiplies the count every step, so without a bound
// a handful of atoms and a few dozen steps would ask for terabytes.
inline constexpr std::uint64_t kMaxAtoms = std::uint64_t{1} << 26;

// The largest atom count of n_steps branching steps from n0 atoms: each step
// multiplies the count by `factor` and, with a cap, brings a count above the
// cap down to at most cap. nullopt when the count does not fit 64 bits.
std::optional<std::uint64_t> peak_atom_count(std::uint64_t n0, std::uint64_t factor, std::uint64_t n_steps,
                                             std::optional<std::uint64_t> cap);

}  // namespace quorvane
