// Subordinated heat semigroups exp(-t phi(-d^2)) for the alpha-stable law
// (phi = lambda^alpha), the Gamma law (log(1 + lambda/c)) and the
// inverse-Gaussian law (sqrt(c^2 + 2 lambda) - c), taken exactly on the
// grid's own operator: -d^2 is -L, L the unit diffusion's generator (the
// degree-7 second difference D2/dx^2, the limit of a heat step as tau -> 0,
// read through the ends as the end kind gives them), and a step multiplies
// each eigenvector of -L (eigenvalue mu >= 0) by exp(-tau phi(mu)).
//
// - Reflecting and periodic ends make L a circulant on the mirrored (period
//   2n - 2) or periodic (period n) index: its eigenvectors are cosines and
//   Fourier modes, taken by a transform (SubordinatedModes), O(n log n).
// - "zero" ends (L symmetric) and "linear" ends (real spectrum, the lines in
//   the kernel) take a contour integral of the resolvent, O(n) per node
//   (SubordinatedContour).
// Steps of the exact flow compose to the flow over their sum, so a call of
// any step count applies it once over t.
#pragma once

#include <complex>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "core/bounded/subordinated_contour.hpp"
#include "core/foundation/error.hpp"
#include "core/foundation/fft.hpp"
#include "core/foundation/grid_fn.hpp"
#include "core/foundation/parallel_pool.hpp"
#include "core/line/diffusion.hpp"

namespace quorvane {

struct Subordinator {
    enum class Tag : unsigned char { Stable = 0, Gamma = 1, InverseGaussian = 2 };
    Tag tag = Tag::Stable;
    double param = 0.5;  // alpha or c

    static Expected<Subordinator> stable(double alpha);
    static Expected<Subordinator> gamma(double c);
    static Expected<Subordinator> inverse_gaussian(double c);
};

// log phi(z/dx^2) for z != 0 in the law's sector (Re z > 0; for the stable
// law |arg z| < pi/(2 max(alpha, 1/2))), formed from logarithms so that no
// part over- or underflows for any dx, c and z: phi itself may lie beyond
// the doubles where t phi does not. -inf for z = 0.
std::complex<double> log_law_exponent(Subordinator law, std::complex<double> z, double dx);

// The power p of the sector |arg z| < pi/(2p) in which |exp(-t phi(z))| <= 1
// for every t >= 0: max(alpha, 1/2) for the stable law, 1 for the others.
double law_sector_power(Subordinator law);

// mu(theta) dx^2 of L's circulant, mu = (1080 sin^2(theta/2) -
// 108 sin^2 theta + 8 sin^2(3 theta/2))/(180 dx^2) >= 0.
double unit_mode_symbol(double theta);

// Reflecting or periodic ends: the modes cos(k pi i/(n - 1)) (the even
// extension of length 2n - 2) or e^{2 pi i k i/n}, eigenvalues
// mu_k = unit_mode_symbol(2 pi k/length)/dx^2.
struct SubordinatedModes {
    Dft dft;
    bool mirrored = true;
    std::vector<double> log_rates;  // log phi(mu_k), k = 0 .. length/2 (-inf at mu = 0)

    static Expected<SubordinatedModes> make(const Grid1D<double>& grid, Subordinator law);
    // src + T^-1 diag(e^{-t phi} - 1) T src: the change is formed from expm1,
    // so t = 0 returns src exactly and constants are kept to rounding.
    void apply(std::span<const double> src, std::span<double> dst, double t) const;
};

// The exact flow of one object: its modes, or its contour and log phi at
// the contour's nodes.
struct SubordinatedFlow {
    std::shared_ptr<const SubordinatedModes> modes;
    std::shared_ptr<const SubordinatedContour> contour;
    std::vector<std::complex<double>> log_phi;  // at contour->nodes

    static Expected<std::shared_ptr<const SubordinatedFlow>> make(const Grid1D<double>& grid, Subordinator law);
    // dst = exp(-t phi(-L)) src, t finite and >= 0.
    Status apply(std::span<const double> src, std::span<double> dst, double t) const;
};

struct SubordinatedChernoff {
    DiffusionChernoff inner;  // the unit diffusion whose generator L is subordinated
    Subordinator law;
    std::size_t n_nodes = 32;  // checked and kept; the exact flow needs no rule
    std::shared_ptr<const SubordinatedFlow> flow;

    // n_nodes in [1, 32].
    static Expected<SubordinatedChernoff> make(const Grid1D<double>& grid, Subordinator law, std::size_t n_nodes);

    // One step of size tau: the flow over tau.
    Status apply_into(const GridFn<double>& src, GridFn<double>& dst, ScratchPool<double>& pool, double tau) const;
    // The flow over t at once, what any number of steps of t/n_steps gives.
    Expected<std::vector<double>> evolve(std::vector<double> values, double t) const;
};

}  // namespace quorvane
