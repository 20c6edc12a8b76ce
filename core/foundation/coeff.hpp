// Coefficient functions of the 1-D kernels.
//
// A kernel reads a(x), a'(x), a''(x) (or drift and reaction functions) either
// from plain function pointers, from shared closures (`CoeffFn`, reference
// counted, callable from several threads at once) or from a constant.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
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
};
using SharedCoeff = std::shared_ptr<const CoeffFn>;

double coeff_one(double x);
double coeff_zero(double x);
double coeff_half(double x);
float coeff_one_f32(float x);
float coeff_zero_f32(float x);

// Closure returning a captured constant.
SharedCoeff constant_coeff(double c);

// How the samples of a coefficient continue beyond one end: the end sample
// itself (Constant), mirrored about the end sample without repeating it
// (Mirror), or repeated every n samples, the seam from the last sample to
// the first one spacing as on a periodic grid (Periodic, both ends).
enum class SampleEnd : unsigned char { Constant, Mirror, Periodic };
struct SampleEnds {
    SampleEnd left = SampleEnd::Constant;
    SampleEnd right = SampleEnd::Constant;
    // A mirror negates: the derivative of a function even about the end.
    bool odd = false;
};

// Closure over a shared sample store, evaluated by catmull_rom_sample.
SharedCoeff sampled_coeff(std::vector<double> samples, double x0, double h);
SharedCoeff sampled_coeff(std::shared_ptr<const std::vector<double>> samples, double x0, double h);
// The same over samples continued by `ends`.
SharedCoeff sampled_coeff(std::vector<double> samples, double x0, double h, SampleEnds ends);

// How samples a of a diffusion coefficient at spacing h, and their
// derivatives a' and a'', continue beyond the ends of a grid whose policy is
// `tag`. A periodic grid repeats them. A reflecting wall mirrors them (a and
// a'' even, a' odd) where the mirror image of a is smooth: u's even
// extension solves the equation of a's even extension, so the steps near
// the wall are those of the whole line. Where a has a slope at the wall,
// steeper than one spacing of its largest curvature, the mirror image has a
// kink, whose curvature the steps would pay for with a far smaller largest
// step; there, and at the other ends, the end samples are continued.
struct CoefficientEnds {
    SampleEnds a, a_prime, a_double_prime;
};
CoefficientEnds coefficient_ends(BoundaryTag tag, std::span<const double> a, double h);

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
// The same continued by `ends`: a mirrored or periodic end takes its ghost
// sample from the continued samples; a constant end as above.
double catmull_rom_sample(std::span<const double> f, double x0, double h, SampleEnds ends, double x);

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
