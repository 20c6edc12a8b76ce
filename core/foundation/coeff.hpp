// Coefficient functions of the 1-D kernels.
//
// A kernel reads a(x), a'(x), a''(x) (or drift and reaction functions) either
// from plain function pointers, from shared closures (`CoeffFn`, reference
// counted, callable from several threads at once) or from a constant.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/foundation/boundary.hpp"

namespace quorvane {

using PlainFn = double (*)(double);
using PlainFn32 = float (*)(float);

// A shared coefficient x -> f(x). Implementations must be callable
// concurrently: worker threads of a parallel step call the same closure.
class CoeffFn {
public:
    virtual ~CoeffFn() = default;
    virtual double operator()(double x) const = 0;
    // True when the closure is a fixed function of x that calls nothing
    // outside the library (samples, a constant): its values may then be
    // taken once and reused for a whole call.
    virtual bool fixed() const { return false; }
    // The value of a closure constant in x by construction, else none.
    virtual std::optional<double> constant() const { return std::nullopt; }
    // Bounds of the closure's values over [a, b] where it can give them in
    // closed form at about the cost of a few calls, else none.
    virtual std::optional<std::pair<double, double>> hull(double, double) const { return std::nullopt; }
};
using SharedCoeff = std::shared_ptr<const CoeffFn>;

double coeff_one(double x);
double coeff_zero(double x);
double coeff_half(double x);
float coeff_one_f32(float x);
float coeff_zero_f32(float x);

// Closure returning a captured constant.
SharedCoeff constant_coeff(double c);

// How the samples of a coefficient continue beyond the ends: the end
// samples themselves (Constant), mirrored about each end sample without
// repeating it (Mirror), or repeated every n samples, the seam from the last
// sample to the first one spacing as on a periodic grid (Periodic).
enum class SampleEnd : unsigned char { Constant, Mirror, Periodic };
struct SampleEnds {
    SampleEnd kind = SampleEnd::Constant;
    // A mirror negates: the derivative of a function even about the ends.
    bool odd = false;
    // A mirror continues f as p + the mirror image of f - p, where
    // p(s) = p[0] + p[1] s + p[2] s^2 in the sample index s, held at its
    // value one grid length beyond either end; p = 0 is the plain mirror.
    std::array<double, 3> p{};
    // Beyond a mirrored end, values below zero read as zero (a diffusion
    // coefficient, whose square root the steps take).
    bool nonnegative = false;
};

// Closure over a shared sample store, evaluated by catmull_rom_sample.
SharedCoeff sampled_coeff(std::vector<double> samples, double x0, double h);
// The same read held to the least and the greatest sample: between the
// nodes it never leaves what the samples say, so a flow whose bound depends
// on the coefficient's extremes (a reaction's e^{t max c}) is bounded by
// the samples' (the Catmull-Rom cubic overshoots a sample peak by up to an
// eighth of its second difference). Where the cubic stays within, the values
// are its own, bit for bit.
SharedCoeff sampled_coeff_within_samples(std::vector<double> samples, double x0, double h);
SharedCoeff sampled_coeff_within_samples(std::shared_ptr<const std::vector<double>> samples, double x0, double h);
SharedCoeff sampled_coeff(std::shared_ptr<const std::vector<double>> samples, double x0, double h);
// The same over samples continued by `ends`.
SharedCoeff sampled_coeff(std::vector<double> samples, double x0, double h, SampleEnds ends);

// How samples a of a diffusion coefficient at spacing h, and their
// derivatives a' and a'', continue beyond the ends of a grid whose policy is
// `tag`: a periodic grid repeats them; the other ends but "reflect"
// continue the end samples.
//
// At a reflecting wall x_w of slope s = a'(x_w) they continue by the
// slope-preserving reflection: a(x_w - y) = a(x_w + y) - 2 s y beyond the
// left wall, a(x_w + y) = a(x_w - y) + 2 s y beyond the right one, so
// a' = 2 s - a'(image) and a'' = a''(image). That matches a, a' and a''
// at the wall (no kink for the steps to pay for with shorter steps), is
// linear in the samples, and is the plain mirror where s = 0: there u's
// even extension solves the equation of a's even extension, so the steps
// near the wall are those of the whole line (where s != 0 they are not, and
// the wall costs the time order 1, as with a callable a of that slope).
// Both walls at once: a - q mirrored, plus q, the quadratic with the walls'
// slopes; q is held beyond one grid length from the ends, and a read there
// below zero as zero, so that a step however long reads a finite a >= 0
// and is judged like any other. s is a_prime's end sample where the caller
// gives a_prime (n samples), else the one-sided three-point difference of a.
struct CoefficientEnds {
    SampleEnds a, a_prime, a_double_prime;
};
CoefficientEnds coefficient_ends(BoundaryTag tag, std::span<const double> a, double h,
                                 std::span<const double> a_prime = {});

// Closure forwarding to any callable (the "boxed closure" of the kernel
// constructors).
template <class Fn>
SharedCoeff make_coeff(Fn fn) {
    struct Impl final : CoeffFn {
        Fn f;
        explicit Impl(Fn g) : f(std::move(g)) {}
        double operator()(double x) const override { return f(x); }
    };
    return std::make_shared<const Impl>(std::move(fn));
}

// Where a diffusion kernel takes a, a' and a'' from.
struct CoeffSource {
    enum class Tag : unsigned char { Plain = 0, Shared = 1, Constant = 2 };

    Tag tag = Tag::Plain;
    PlainFn pa = coeff_one, pa1 = coeff_zero, pa2 = coeff_zero;
    SharedCoeff sa, sa1, sa2;
    double c = 1.0;

    static CoeffSource plain(PlainFn a, PlainFn a1, PlainFn a2);
    static CoeffSource shared(SharedCoeff a, SharedCoeff a1, SharedCoeff a2);
    static CoeffSource constant(double c);
    // The unit-diffusion source: Plain(coeff_one, coeff_zero, coeff_zero).
    static CoeffSource unit() { return plain(coeff_one, coeff_zero, coeff_zero); }

    // The value of a where the source is constant by construction (then
    // a' = a'' = 0 everywhere): the Constant source, and the Plain source of
    // coeff_one or coeff_half with coeff_zero derivatives. A step with such a
    // coefficient needs neither the drift nor the correction: both vanish
    // identically.
    std::optional<double> constant_value() const;

    // True when a, a' and a'' are fixed functions (plain functions, a
    // constant, or closures whose fixed() holds): a call may take their
    // values once instead of every step.
    bool fixed() const;

    double eval_a(double x) const {
        switch (tag) {
            case Tag::Plain: return pa(x);
            case Tag::Shared: return (*sa)(x);
            case Tag::Constant: break;
        }
        return c;
    }
    double eval_a_prime(double x) const {
        switch (tag) {
            case Tag::Plain: return pa1(x);
            case Tag::Shared: return (*sa1)(x);
            case Tag::Constant: break;
        }
        return 0.0;
    }
    double eval_a_double_prime(double x) const {
        switch (tag) {
            case Tag::Plain: return pa2(x);
            case Tag::Shared: return (*sa2)(x);
            case Tag::Constant: break;
        }
        return 0.0;
    }
};

// Catmull-Rom evaluation of n samples at spacing h starting at x0, with
// constant continuation outside [x0, x0 + (n-1)h] and ghost ends 2f0 - f1.
double catmull_rom_sample(std::span<const double> f, double x0, double h, double x);
// The same continued by `ends`: between the nodes through the continued
// samples (a mirror or a seam gives the ghosts); beyond a mirrored end p
// plus the interpolant of the image of f - p (the interpolant reproduces
// quadratics, so the two agree); a constant end as above.
double catmull_rom_sample(std::span<const double> f, double x0, double h, SampleEnds ends, double x);
// Bounds of the constant-end read over [a, b], from the Bernstein coefficients of the
// cubics it meets; none where [a, b] is not finite or spans more than four
// sample intervals.
std::optional<std::pair<double, double>> catmull_rom_hull(std::span<const double> f, double x0, double h, double a,
                                                         double b);

// Derivative samples f'(x_i), f''(x_i) of an array at spacing h (fourth-order
// central in the interior, three-point formulas at the two nodes nearest each end);
// both need n = 0 or n >= 3 samples.
std::vector<double> fd_first_derivative(std::span<const double> f, double h);
std::vector<double> fd_second_derivative(std::span<const double> f, double h);
// The same with the samples continued by `ends` (even): next to a mirrored
// or periodic end the fourth-order central formula, its taps beyond the end
// taken from the continued samples.
std::vector<double> fd_first_derivative(std::span<const double> f, double h, SampleEnds ends);
std::vector<double> fd_second_derivative(std::span<const double> f, double h, SampleEnds ends);

}  // namespace quorvane
